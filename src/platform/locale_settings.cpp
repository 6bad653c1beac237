// The process-wide locale settings record: read from the platform backend on first use, replaced by
// start-up code and tests.
#include "platform/locale_settings.h"

namespace cwbk {

static LocaleSettings& currentSettings() {
  static LocaleSettings settings = readPlatformLocaleSettings();
  return settings;
}

const LocaleSettings& localeSettings() {
  return currentSettings();
}

void setLocaleSettings(const LocaleSettings& settings) {
  currentSettings() = settings;
}

} // namespace cwbk
