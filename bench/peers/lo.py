#!/usr/bin/env python3
# LibreOffice side of the workloads: turns the workload text (stdin) into a flat ODS document without
# cached results, then times a headless load + recalculation + save (convert to .xlsx) and its peak RSS.
import os, re, resource, subprocess, sys, tempfile, time
from xml.sax.saxutils import quoteattr

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
       'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" office:version="1.2" '
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
d = tempfile.mkdtemp()
src = os.path.join(d, name + '.fods')
open(src, 'w').write(''.join(out))
cmd = ['soffice', '--headless', '-env:UserInstallation=file://' + d + '/profile', '--convert-to', 'xlsx',
       '--outdir', d, src]
subprocess.run(cmd[:3] + ['--terminate_after_init'], capture_output=True)  # profile set-up, not timed
t = time.monotonic()
subprocess.run(cmd, capture_output=True, check=True)
ms = (time.monotonic() - t) * 1000
rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
print('libreoffice %s load_ms %.3f edit_ms nan bytes_per_formula %.1f peak_rss %d' % (name, ms, rss / formulas, rss))
