// The two effects of the runtime that reach beyond Excel's process state: the message box that reports
// a failure and the end of the process. Both go through this table so that the test build of the
// module (and only it) can record them instead; the product never changes the table.
#pragma once

#include <string>

namespace cwbk {

struct HostEffects {
  // Shows a message box with the text (no owner window, exclamation icon, OK button).
  void (*messageBox)(const char16_t* text, const char16_t* caption);
  // Ends the process with the exit code.
  void (*endProcess)(unsigned code);
};

HostEffects& hostEffects();

// Shows a failure text with the runtime's caption through the table.
void reportFailure(const std::u16string& text);

} // namespace cwbk
