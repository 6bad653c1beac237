// The About box: the application's name, version and legal notice, and the product line, in a small
// modal window owned by the active window.
#pragma once

#include <cstdint>
#include <string>

namespace cwbk {

struct RuntimeHost;

// The version line of a packed version (major << 24 | minor << 16 | build << 8): "Version: 1.2.3", or
// "Version: 1.2" when the build is 0; empty for version 0.
std::u16string aboutVersionLine(uint32_t version);

// Opens the About box modally and returns when it is closed.
void showAbout(RuntimeHost& host);

} // namespace cwbk
