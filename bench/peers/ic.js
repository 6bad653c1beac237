// IronCalc side of the workloads: reads the workload text (from workload_driver --text) on stdin, enters
// every cell with evaluation paused and evaluates once (load), then five edits of A1 with setUserInput,
// each followed by IronCalc's own recalculation; prints one line of figures. Its model lives in the
// WebAssembly module's linear memory, which only grows: the memory figure is that growth over the load.
const fs = require('fs');
const path = require('path');
const name = process.argv[2];

(async () => {
  const dir = path.dirname(require.resolve('@ironcalc/wasm/package.json'));
  const ic = await import(path.join(dir, 'wasm.js'));
  const wasm = ic.initSync({ module: fs.readFileSync(path.join(dir, 'wasm_bg.wasm')) });
  const cells = [];
  let formulas = 0;
  for (const line of fs.readFileSync(0, 'utf8').split('\n')) {
    const m = /^Sheet1!([A-Z]+)(\d+): (.*)$/.exec(line);
    if (!m) continue;
    cells.push([Number(m[2]), ic.columnNumberFromName(m[1]), m[3]]);
    if (m[3].startsWith('=')) formulas++;
  }
  // The first formula that reads A1 is read back after each edit, to be sure the edit recalculated.
  const probe = cells.find(([, , text]) => /^=(.*[^$\w])?\$?A\$?1(?!\d)/.test(text));
  const before = wasm.memory.buffer.byteLength;
  let t = process.hrtime.bigint();
  const model = new ic.Model('workload', 'en', 'UTC', 'en');
  model.pauseEvaluation();
  for (const [row, col, text] of cells) model.setUserInput(0, row, col, text);
  model.resumeEvaluation();
  model.evaluate();
  const loadMs = Number(process.hrtime.bigint() - t) / 1e6;
  model.flushSendQueue(); // the change log meant for collaborators, drained as a host would
  const bytes = wasm.memory.buffer.byteLength - before;
  let editMs = 0;
  const seen = [];
  for (let i = 0; i < 5; i++) {
    t = process.hrtime.bigint();
    model.setUserInput(0, 1, 1, String(100 + i));
    seen.push(model.getFormattedCellValue(0, probe[0], probe[1]));
    editMs += Number(process.hrtime.bigint() - t) / 1e6;
  }
  if (new Set(seen).size !== seen.length) throw new Error(`ironcalc ${name}: an edit did not recalculate (${seen})`);
  console.log(`ironcalc ${name} load_ms ${loadMs.toFixed(3)} edit_ms ${(editMs / 5).toFixed(4)} ` +
    `bytes_per_formula ${(bytes / formulas).toFixed(1)} wasm_memory ${wasm.memory.buffer.byteLength}`);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
