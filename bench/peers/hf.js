// HyperFormula side of the workloads: reads the workload text (from workload_driver --text) on stdin,
// builds it with buildFromArray, then five edits of A1 with setCellContents; prints one line of figures.
const { HyperFormula } = require('hyperformula');
const name = process.argv[2];
const lines = require('fs').readFileSync(0, 'utf8').split('\n');
const rows = [];
let formulas = 0;
for (const line of lines) {
  const m = /^Sheet1!([A-Z]+)(\d+): (.*)$/.exec(line);
  if (!m) continue;
  const col = m[1].charCodeAt(0) - 65, row = Number(m[2]) - 1;
  const text = m[3];
  while (rows.length <= row) rows.push([]);
  rows[row][col] = text.startsWith('=') ? text : Number(text);
  if (text.startsWith('=')) formulas++;
}
global.gc && global.gc();
const before = process.memoryUsage().heapUsed;
let t = process.hrtime.bigint();
const hf = HyperFormula.buildFromArray(rows, { licenseKey: 'gpl-v3', maxRows: 1048576 });
const loadMs = Number(process.hrtime.bigint() - t) / 1e6;
global.gc && global.gc();
const bytes = process.memoryUsage().heapUsed - before;
let editMs = 0, changed = 0;
for (let i = 0; i < 5; i++) {
  t = process.hrtime.bigint();
  changed += hf.setCellContents({ sheet: 0, col: 0, row: 0 }, [[100 + i]]).length;
  editMs += Number(process.hrtime.bigint() - t) / 1e6;
}
console.log(`hyperformula ${name} load_ms ${loadMs.toFixed(3)} edit_ms ${(editMs / 5).toFixed(4)} ` +
  `bytes_per_formula ${(bytes / formulas).toFixed(1)} changed ${changed / 5}`);
