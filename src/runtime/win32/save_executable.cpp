#include "runtime/win32/save_executable.h"

#include "platform/win32/code_page.h"
#include "runtime/win32/runtime_host.h"

namespace cwbk {

bool saveIntoExecutable(RuntimeHost&) { return false; }
bool saveAsExecutable(RuntimeHost&, std::u16string) { return false; }
void showSaveAsDialog(RuntimeHost&) {}
bool writeIntoExecutable(RuntimeHost&) { return false; }

void applyWorkbookPassword(RuntimeHost& host) {
  if (!host.settings.has(SettingsFlag::restrictedWorkbook) || host.workbook.isEmpty()) return;
  WorkbookWrapper active = host.application.activeWorkbook();
  if (active.get() != host.workbook.get()) return;
  host.workbook.putPassword(systemCodePageToUtf16(host.settings.workbookPassword));
}

} // namespace cwbk
