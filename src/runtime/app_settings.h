// The application settings that the host sends at start-up (message 1155): a header in one of several
// layouts, a variable part of texts, and the per-sheet flag table that says how each sheet is protected.
// Parsing is portable and treats every byte as untrusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cwbk {

// The settings flags (bits of AppSettings::flags).
enum class SettingsFlag : uint16_t {
  dataExchange = 1u << 0,       // import and export of user data exist
  saveIntoExe = 1u << 3,        // saving into the executable exists
  quietRecalc = 1u << 4,        // screen updating is off while the runtime recalculates
  keepHidden = 1u << 6,         // Excel's main window stays hidden while Visible was last set false
  restrictedWorkbook = 1u << 7, // workbook filter, dialog hook and workbook password
  cellIndexMode = 1u << 11,     // handed to the workbook model at load
};

// One sheet's entry of the per-sheet flag table: its protection flags (low 24 bits; 0 leaves the sheet
// unprotected) and its protection password (8-bit; empty in the older entry form).
struct SheetProtection {
  uint32_t flags = 0;
  std::string password;
  bool operator==(const SheetProtection&) const = default;
};

// The per-sheet flag table: entry i belongs to the sheet at position i + 1 of the workbook.
struct PerSheetFlags {
  static constexpr uint32_t kSheetFlagsMask = 0x00FFFFFF;
  // Bit 0 protects the workbook's structure, bit 1 its windows.
  uint32_t workbookFlags = 0;
  std::vector<SheetProtection> sheets;
  // The settings' protection password (text 3), used for the workbook's protection.
  std::string protectionPassword;

  // True when the table says anything: workbook flags, or at least one entry.
  bool empty() const { return workbookFlags == 0 && sheets.empty(); }
  // Returns the flags of the sheet at a 1-based position; 0 beyond the last entry.
  uint32_t sheetFlags(size_t position) const {
    return position >= 1 && position <= sheets.size() ? sheets[position - 1].flags : 0;
  }
  // Follows a sheet inserted at a 1-based position: it has no entry (no protection), and the entries
  // of the sheets from there on move with them.
  void insertSheet(size_t position) {
    if (position >= 1 && position <= sheets.size())
      sheets.insert(sheets.begin() + static_cast<std::ptrdiff_t>(position - 1), SheetProtection{});
  }
  bool operator==(const PerSheetFlags&) const = default;
};

// The settings block, parsed. Texts marked UTF-16 keep their code units; 8-bit texts keep their bytes
// (the Windows layer converts them with the system code page). A field that was absent is empty.
struct AppSettings {
  // The header size as the block declared it: 104 for the current layout; older layouts (24, 28, 72,
  // 80) are widened to the 104-byte layout, other sizes read as that many bytes of it.
  static constexpr size_t kCurrentHeaderSize = 104;
  // The sheet entries carry a password from this settings writer version (2.0.0) on.
  static constexpr uint32_t kPasswordEntriesAfter = 0x02000000;

  uint16_t headerSize = 0;
  // Packed: major in bits 24-31, minor in bits 16-23, build in bits 8-15.
  uint32_t appVersion = 0;
  // The application's version as its users read it: "major.minor.build".
  std::u16string appVersionText() const;
  uint16_t flags = 0;
  std::u16string AppName;           // the application name (UTF-16)
  std::u16string legalNotice;       // text 2
  std::string protectionPassword;   // text 3
  std::u16string text4;             // not used by the runtime
  std::u16string text5;             // a list separated by '|'; not used by the runtime
  std::vector<uint8_t> byteString6; // not used by the runtime
  std::u16string text7;             // not used by the runtime
  std::string text8;                // not used by the runtime
  std::string workbookPassword;     // text 9
  // The workbook tag, rotated right by 5 bits as it is kept.
  uint32_t workbookTag = 0;
  // Packed like appVersion; decides the entry form of the per-sheet flag table.
  uint32_t settingsWriterVersion = 0;
  // Present when more than one byte followed text 9. When it is not empty and text 3 is not, it carries
  // text 3 as its protection password.
  std::optional<PerSheetFlags> perSheetFlags;

  bool has(SettingsFlag flag) const { return (flags & static_cast<uint16_t>(flag)) != 0; }
  // Returns text 5 cut at its separators.
  std::vector<std::u16string> text5Items() const;
};

// Returns the settings of a block as the host sent it. A block that starts with the compressed-block
// magic is inflated first (one that does not inflate counts as empty). Nothing is read beyond the
// block: the declared header size and the table's entry count are capped by the bytes that are there,
// and a field whose length exceeds what remains is left out.
AppSettings parseAppSettings(std::span<const uint8_t> block);

// Returns the 104-byte header of the current layout that a declared header size and the block's header
// bytes widen to (the size field keeps the declared size; fields the bytes do not hold stay zero).
std::vector<uint8_t> widenSettingsHeader(uint16_t declaredSize, std::span<const uint8_t> header);

} // namespace cwbk
