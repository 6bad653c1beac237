// Sheet and workbook protection from the per-sheet flag table.
#include "runtime/win32/sheet_protection.h"

#include <windows.h>

#include <string>
#include <vector>

#include "excel/excel_adapter.h"
#include "excel/excel_members.h"
#include "platform/win32/code_page.h"
#include "runtime/win32/runtime_host.h"

namespace cwbk {
namespace {

constexpr int32_t kSelectionUnrestricted = 0;
constexpr int32_t kSelectionUnlockedCells = 1;
constexpr int32_t kSelectionNone = -4142;

// The permission bits of the 15 arguments after the password, in Protect's argument order.
constexpr int kPermissionBits[] = {4, 5, 6, 7, 8, 12, 11, 13, 14, 15, 16, 17, 18, 10, 19};

bool bit(uint32_t flags, int n) {
  return (flags >> n) & 1;
}

uint32_t entryFlags(const PerSheetFlags& table, size_t i) {
  return i < table.sheets.size() ? table.sheets[i].flags & PerSheetFlags::kSheetFlagsMask : 0;
}
std::string_view entryPassword(const PerSheetFlags& table, size_t i) {
  return i < table.sheets.size() ? std::string_view(table.sheets[i].password) : std::string_view();
}

// Runs a step for one sheet; a failure ends the work on that sheet only.
template <class F> void onSheet(F&& step) {
  try {
    step();
  } catch (...) {
  }
}

} // namespace

void protectSheet(int32_t majorVersion, WorksheetWrapper& sheet, std::string_view password, uint32_t flags) {
  sheet.activate();
  const Variant text = Variant::text(systemCodePageToUtf16(password));
  if (majorVersion >= 10) {
    std::vector<Variant> arguments{text};
    for (int n : kPermissionBits)
      arguments.push_back(Variant::boolean(bit(flags, n)));
    sheet.protect(arguments);
  } else {
    sheet.invoke(dispid::worksheet::ProtectShort, DISPATCH_METHOD,
                 {text, Variant::boolean(bit(flags, 4)), Variant::boolean(bit(flags, 5)),
                  Variant::boolean(bit(flags, 6))});
  }
  sheet.putEnableSelection(bit(flags, 2)   ? kSelectionUnrestricted
                           : bit(flags, 3) ? kSelectionUnlockedCells
                                           : kSelectionNone);
}

void unprotectSheetsForLoad(RuntimeHost& host) {
  const std::optional<PerSheetFlags>& table = host.excelInfo.perSheetFlags;
  if (!table || table->empty()) return;
  SheetsWrapper sheets = host.workbook.sheets();
  const int32_t active = host.application.activeSheet().index();
  auto unprotect = [&](int32_t position) {
    onSheet([&] {
      WorksheetWrapper sheet = sheets.sheet(position);
      if (sheet.isWorksheet() && sheet.protectContents())
        sheet.unprotect(systemCodePageToUtf16(entryPassword(*table, size_t(position - 1))));
    });
  };
  const int32_t count = sheets.count();
  for (int32_t position = 1; position <= count; ++position)
    if (position != active) unprotect(position);
  unprotect(active);
}

void protectForLoad(RuntimeHost& host) {
  const std::optional<PerSheetFlags>& table = host.excelInfo.perSheetFlags;
  if (!table || table->empty()) return;
  ApplicationWrapper& app = host.application;
  if (table->workbookFlags & 3)
    host.workbook.protect(Variant::text(systemCodePageToUtf16(table->protectionPassword)),
                          Variant::boolean(table->workbookFlags & 1),
                          Variant::boolean(table->workbookFlags & 2));
  const bool events = app.enableEvents();
  app.putEnableEvents(false);
  WorksheetWrapper active = app.activeSheet();
  DispatchWrapper selection = app.selection();
  const int32_t activePosition = active.index();
  SheetsWrapper sheets = host.workbook.sheets();
  const int32_t count = sheets.count();
  for (int32_t position = 1; position <= count; ++position) {
    const uint32_t flags = entryFlags(*table, size_t(position - 1));
    if (position == activePosition || flags == 0) continue;
    onSheet([&] {
      WorksheetWrapper sheet = sheets.sheet(position);
      if (sheet.isWorksheet())
        protectSheet(host.excelInfo.majorVersion, sheet, entryPassword(*table, size_t(position - 1)), flags);
    });
  }
  onSheet([&] {
    const uint32_t flags = entryFlags(*table, size_t(activePosition - 1));
    if (flags)
      protectSheet(host.excelInfo.majorVersion, active, entryPassword(*table, size_t(activePosition - 1)),
                   flags);
    else
      active.activate();
    if (!selection.isEmpty()) selection.call(dispid::range::Select, {});
  });
  app.putEnableEvents(events);
}

void reprotectSheets(RuntimeHost& host, const SheetFlagTable& copy, int32_t activePosition) {
  const std::optional<PerSheetFlags>& table = host.excelInfo.perSheetFlags;
  if (!table) return;
  SheetsWrapper sheets = host.workbook.sheets();
  auto reprotect = [&](int32_t position) {
    bool protectedNow = false;
    onSheet([&] {
      const size_t i = size_t(position - 1);
      const uint32_t now = i < copy.flags.size() ? copy.flags[i] : 0;
      const uint32_t flags = entryFlags(*table, i);
      if (now == flags || !bit(flags, 5)) return;
      WorksheetWrapper sheet = sheets.sheet(position);
      if (!sheet.isWorksheet()) return;
      protectSheet(host.excelInfo.majorVersion, sheet, entryPassword(*table, i), flags);
      protectedNow = true;
    });
    return protectedNow;
  };
  for (int32_t position = 1; position <= int32_t(copy.flags.size()); ++position)
    if (position != activePosition) reprotect(position);
  if (!reprotect(activePosition)) onSheet([&] { sheets.sheet(activePosition).activate(); });
}

} // namespace cwbk
