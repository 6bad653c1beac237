#include "runtime/win32/save_executable.h"

namespace cwbk {

bool saveIntoExecutable(RuntimeHost&) { return false; }
bool saveAsExecutable(RuntimeHost&, std::u16string) { return false; }
void showSaveAsDialog(RuntimeHost&) {}

} // namespace cwbk
