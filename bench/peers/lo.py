#!/usr/bin/python3
# LibreOffice side of the workloads (run with Debian's /usr/bin/python3, which has the uno module): turns
# the workload text (stdin) into a flat ODS document without cached results, starts a headless office of
# its own and drives it in-process through the UNO bridge. Load: loading the document and calculating
# every formula (calculate(), all cells being dirty). Edit: setValue of A1 with automatic calculation on,
# then calculate() for the cells the edit made dirty (the office would otherwise only calculate cells as
# they are read) and a dependent read back; the mean of five. Memory: the office process's resident
# memory growth over the load, per formula cell.
import os, re, shutil, subprocess, sys, tempfile, time
from xml.sax.saxutils import quoteattr

import uno
from com.sun.star.beans import PropertyValue

name = sys.argv[1]
cells, formulas = {}, 0
for line in sys.stdin:
    m = re.match(r'^Sheet1!([A-Z]+)(\d+): (.*)$', line.rstrip('\n'))
    if not m:
        continue
    cells[(int(m.group(2)), ord(m.group(1)) - 65)] = m.group(3)
    formulas += m.group(3).startswith('=')

def of(formula):
    f = re.sub(r'(\$?[A-Z]+\$?\d+):(\$?[A-Z]+\$?\d+)', r'[.\1:.\2]', formula[1:])
    f = re.sub(r'(?<![.\w$])(\$?[A-Z]+\$?\d+)(?![\w(])', r'[.\1]', f)
    return 'of:=' + f.replace(',', ';')

rows = max(r for r, _ in cells)
out = ['<?xml version="1.0" encoding="UTF-8"?>\n<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
       'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
       'xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" office:version="1.2" '
       'office:mimetype="application/vnd.oasis.opendocument.spreadsheet"><office:body><office:spreadsheet>'
       '<table:table table:name="Sheet1">']
for r in range(1, rows + 1):
    out.append('<table:table-row>')
    for c in range(5):
        t = cells.get((r, c))
        if t is None:
            out.append('<table:table-cell/>')
        elif t.startswith('='):
            out.append('<table:table-cell table:formula=%s/>' % quoteattr(of(t)))
        else:
            out.append('<table:table-cell office:value-type="float" office:value="%s"/>' % t)
    out.append('</table:table-row>')
out.append('</table:table></office:spreadsheet></office:body></office:document>')

# The first formula that reads A1, read back after each edit to be sure the edit recalculated.
probe = min(k for k, t in cells.items() if re.match(r'^=(.*[^$\w])?\$?A\$?1(?!\d)', t))

def rss(pid):
    with open('/proc/%d/status' % pid) as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith('VmRSS:'))

d = tempfile.mkdtemp()
office = None
try:
    src = os.path.join(d, name + '.fods')
    with open(src, 'w') as f:
        f.write(''.join(out))
    pipe = 'cwbk-bench-%d' % os.getpid()
    profile = '-env:UserInstallation=' + uno.systemPathToFileUrl(d + '/profile')
    # The profile is made first (the office restarts itself after making one), so that the office
    # process started next is the one that loads the document.
    subprocess.run(['soffice', '--headless', profile, '--terminate_after_init'], capture_output=True)
    office = subprocess.Popen(['/usr/lib/libreoffice/program/soffice.bin', '--headless', '--invisible',
                               '--norestore', '--nologo', '--nodefault', '--nolockcheck', profile,
                               '--accept=pipe,name=%s;urp;' % pipe],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    resolver = uno.getComponentContext().ServiceManager.createInstanceWithContext(
        'com.sun.star.bridge.UnoUrlResolver', uno.getComponentContext())
    deadline = time.monotonic() + 120
    while True:
        try:
            context = resolver.resolve('uno:pipe,name=%s;urp;StarOffice.ComponentContext' % pipe)
            break
        except Exception:
            if time.monotonic() > deadline or office.poll() is not None:
                raise RuntimeError('the office did not start')
            time.sleep(0.2)
    desktop = context.ServiceManager.createInstanceWithContext('com.sun.star.frame.Desktop', context)
    hidden = PropertyValue()
    hidden.Name, hidden.Value = 'Hidden', True

    # The spreadsheet module is loaded once before timing, as it is for an office already in use.
    desktop.loadComponentFromURL('private:factory/scalc', '_blank', 0, (hidden,)).close(True)
    before = rss(office.pid)
    t = time.monotonic()
    doc = desktop.loadComponentFromURL(uno.systemPathToFileUrl(src), '_blank', 0, (hidden,))
    doc.calculate()
    load_ms = (time.monotonic() - t) * 1000
    grown = rss(office.pid) - before

    sheet = doc.Sheets.getByIndex(0)
    errors = sheet.queryFormulaCells(uno.getConstantByName('com.sun.star.sheet.FormulaResult.ERROR'))
    if errors.getCount():
        raise RuntimeError('formulas with errors: ' + errors.getRangeAddressesAsString())
    a1 = sheet.getCellByPosition(0, 0)
    dependent = sheet.getCellByPosition(probe[1], probe[0] - 1)
    assert doc.isAutomaticCalculationEnabled()
    edit_ms, seen = 0.0, []
    for i in range(5):
        t = time.monotonic()
        a1.setValue(100 + i)
        doc.calculate()
        seen.append(dependent.getValue())
        edit_ms += (time.monotonic() - t) * 1000
    if len(set(seen)) != len(seen):
        raise RuntimeError('an edit did not recalculate: %s (%s, error %d)' %
                           (seen, dependent.getFormula(), dependent.getError()))
    doc.close(True)
    print('libreoffice %s load_ms %.3f edit_ms %.4f bytes_per_formula %.1f rss_growth %d' %
          (name, load_ms, edit_ms / 5, grown / formulas, grown))
finally:
    if office:
        try:
            desktop.terminate()
        except Exception:
            pass
        try:
            office.wait(timeout=30)
        except subprocess.TimeoutExpired:
            office.kill()
    shutil.rmtree(d, ignore_errors=True)
