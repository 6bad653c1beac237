// The double's transient objects: Range with its Areas, the format objects (Interior, Font, Borders,
// Border), Hyperlinks and Hyperlink; each a new object per access, viewing a sheet's cells.
#pragma once

#include <vector>

#include "excel_double/excel_double.h"

namespace cwbk::testing {

// Holds a reference to its sheet for as long as it lives.
class SheetView {
public:
  explicit SheetView(WorksheetObject& sheet) : sheet_(&sheet) { sheet_->AddRef(); }
  ~SheetView() { sheet_->Release(); }
  SheetView(const SheetView&) = delete;
  SheetView& operator=(const SheetView&) = delete;
  WorksheetObject& sheet() const { return *sheet_; }

private:
  WorksheetObject* sheet_;
};

class RangeObject : public DoubleObjectOf<RangeObject> {
public:
  RangeObject(WorksheetObject& sheet, std::vector<CellRect> areas)
      : DoubleObjectOf(sheet.excel()), view_(sheet), areas_(std::move(areas)) {}
  std::string label() const override;
  static const std::vector<Member<RangeObject>>& members();

  WorksheetObject& sheet() const { return view_.sheet(); }
  const std::vector<CellRect>& areas() const { return areas_; }
  // Calls `f` for every cell (row, column) of every area.
  template <class F> void forEachCell(F&& f) const {
    for (const CellRect& a : areas_)
      for (int32_t r = a.top; r <= a.bottom; ++r)
        for (int32_t c = a.left; c <= a.right; ++c)
          f(r, c);
  }

private:
  SheetView view_;
  std::vector<CellRect> areas_;
};

// Returns a new Range object (one reference, the caller's).
RangeObject* makeRange(WorksheetObject& sheet, std::vector<CellRect> areas);
// Returns a new Hyperlinks collection of the range's cells (one reference, the caller's).
DoubleObject* makeHyperlinks(RangeObject& range);

// The default of a format property, which also fixes the type a write is converted to.
Variant defaultFormat(FormatPart part, DISPID id);
// The key of a format property in a cell's format map.
inline uint32_t formatKey(FormatPart part, DISPID id) {
  return (static_cast<uint32_t>(part) << 16) | static_cast<uint32_t>(id & 0xFFFF);
}
// Reads a format property over the range: the common value, or Null when the cells differ.
Variant readFormat(const RangeObject& range, FormatPart part, DISPID id);
// Writes a format property into every cell of the range; DISP_E_TYPEMISMATCH when it does not convert.
HRESULT writeFormat(RangeObject& range, FormatPart part, DISPID id, const VARIANT& value);

} // namespace cwbk::testing
