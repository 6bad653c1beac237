// The registration of the stub module's procedures with Excel through Excel's C API (the main module's
// MdCallBack), so that Excel's macros, Run, OnTime, OnUndo and key assignments reach the runtime's
// entry points by name; two keys and the double-click are assigned at attach and taken back at close.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace cwbk {

// Excel's operand record as the C API passes it: an 8-byte value, then the type word.
struct XlRef {
  uint16_t rowFirst, rowLast;
  uint8_t columnFirst, columnLast;
};
// The rectangles of a reference to a sheet by id.
struct XlMRef {
  uint16_t count;
  XlRef refs[1];
};
struct XlOper {
  union {
    double number;
    unsigned char* text; // length byte, then the characters of the system code page
    uint16_t boolean;
    int16_t integer;
    struct {
      uint16_t count;
      XlRef ref;
    } singleRef; // a reference to the current sheet
    struct {
      XlMRef* mref;
      uint32_t sheetId;
    } multiRef; // a reference to a sheet by id
  } value;
  uint16_t type;
};
inline constexpr uint16_t kXlTypeNumber = 0x0001, kXlTypeText = 0x0002, kXlTypeBoolean = 0x0004,
                          kXlTypeRef = 0x0008, kXlTypeNil = 0x0100, kXlTypeSRef = 0x0400,
                          kXlTypeInteger = 0x0800, kXlTypeExcelOwned = 0x1000;

class Registrar {
public:
  struct Registration {
    std::string procedure, functionText, typeText, macroType;
    XlOper registerId{};
  };

  Registrar();
  ~Registrar();
  Registrar(const Registrar&) = delete;
  Registrar& operator=(const Registrar&) = delete;

  // Fills the table (entries already there stay).
  void buildTable();
  // Registers every entry with Excel, then assigns the two keys and the double-click. A failure ends
  // it silently.
  void install();
  // Removes every registration and gives the keys back their meaning. A failure ends it silently.
  void uninstall();
  const std::map<uint32_t, Registration>& table() const { return table_; }

private:
  std::map<uint32_t, Registration> table_;
  std::string stubPath_;
};

// Calls Excel's C API through the main module's MdCallBack: 32 when there is none, 4 for more than
// 255 arguments. A result that Excel owns is handed back to it (xlFree) afterwards by the callers.
int excel4(int function, XlOper* result, int count, XlOper* const* arguments);

// The name of the sheet a reference operand points into, as Excel gives it (xlSheetNm: "[Book]Sheet");
// nothing when Excel cannot tell.
std::optional<std::string> referenceSheetName(const XlOper& reference);

} // namespace cwbk
