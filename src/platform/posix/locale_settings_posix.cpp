// POSIX backend of the locale settings: the US-English defaults (the process has no user locale to
// follow; tests set other settings explicitly).
#include "platform/locale_settings.h"

namespace cwbk {

LocaleSettings readPlatformLocaleSettings() {
  return LocaleSettings();
}

} // namespace cwbk
