// The double's Range, Areas, format and hyperlink objects, answering from the sheet's cells.
#include "excel_double/range_objects.h"

#include "excel/excel_members.h"

namespace cwbk::testing {

namespace {

namespace rng = cwbk::dispid::range;
namespace fmt = cwbk::dispid::format;

constexpr HRESULT kExcelRuntimeError = static_cast<HRESULT>(0x800A03EC);

// Deleting a hyperlink leaves its cell in the plain style: every format of the cell is reset.
void deleteLink(CellData& c) {
  c.link.reset();
  c.formats.clear();
}

Variant cellValue(const WorksheetObject& sheet, int32_t row, int32_t column) {
  const CellData* c = sheet.cell(row, column);
  return c ? c->value : Variant();
}

// Returns the 2-D block of a rectangle, lower bounds 1, as Excel answers a multi-cell read.
template <class F> HRESULT answerBlock(DispatchCall& call, const CellRect& a, F&& element) {
  if (a.rows() == 1 && a.columns() == 1) return call.answer(element(a.top, a.left));
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(a.rows()), 1}, {static_cast<ULONG>(a.columns()), 1}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (!array) return E_OUTOFMEMORY;
  for (int32_t r = a.top; r <= a.bottom; ++r)
    for (int32_t c = a.left; c <= a.right; ++c) {
      LONG index[2] = {r - a.top + 1, c - a.left + 1};
      Variant v = element(r, c);
      SafeArrayPutElement(array, index, &v.get());
    }
  Variant result;
  result.get().vt = VT_ARRAY | VT_VARIANT;
  result.get().parray = array;
  return call.answer(std::move(result));
}

// Writes a value or an array over every cell, as Excel does: a scalar fills the range; an array is
// laid from the top-left corner (a one-dimensional array across each row), #N/A where it ends.
HRESULT enterValues(RangeObject& range, const VARIANT& value, bool asFormula) {
  WorksheetObject& sheet = range.sheet();
  if (sheet.protectedContents) return kExcelRuntimeError;
  if (!(value.vt & VT_ARRAY)) {
    range.forEachCell([&](int32_t r, int32_t c) { sheet.enter(r, c, value, asFormula); });
    return S_OK;
  }
  SAFEARRAY* array = (value.vt & VT_BYREF) ? *value.pparray : value.parray;
  if (!array || (value.vt & VT_TYPEMASK) != VT_VARIANT) return DISP_E_TYPEMISMATCH;
  UINT dims = SafeArrayGetDim(array);
  if (dims != 1 && dims != 2) return DISP_E_TYPEMISMATCH;
  LONG lower[2] = {0, 0}, upper[2] = {-1, 0};
  for (UINT d = 1; d <= dims; ++d) {
    SafeArrayGetLBound(array, d, &lower[d - 1]);
    SafeArrayGetUBound(array, d, &upper[d - 1]);
  }
  const Variant notAvailable = excelError(2042);
  for (const CellRect& a : range.areas())
    for (int32_t r = a.top; r <= a.bottom; ++r)
      for (int32_t c = a.left; c <= a.right; ++c) {
        LONG index[2];
        bool inside;
        if (dims == 1) {
          index[0] = lower[0] + (c - a.left);
          inside = index[0] <= upper[0];
        } else {
          index[0] = lower[0] + (r - a.top);
          index[1] = lower[1] + (c - a.left);
          inside = index[0] <= upper[0] && index[1] <= upper[1];
        }
        if (!inside) {
          sheet.enter(r, c, notAvailable.get(), false);
          continue;
        }
        Variant element;
        if (FAILED(SafeArrayGetElement(array, index, element.out()))) return DISP_E_BADINDEX;
        sheet.enter(r, c, element.get(), asFormula);
      }
  return S_OK;
}

std::u16string constantText(const Variant& v) {
  switch (v.type()) {
  case VT_EMPTY:
    return {};
  case VT_BOOL:
    return readBoolean(v.get()) ? u"TRUE" : u"FALSE";
  case VT_R8: {
    wchar_t buffer[40];
    swprintf(buffer, 40, L"%.15g", v.get().dblVal);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer));
  }
  default:
    try {
      return v.toText();
    } catch (...) {
      return {};
    }
  }
}

class AreasObject : public DoubleObjectOf<AreasObject> {
public:
  explicit AreasObject(RangeObject& range) : DoubleObjectOf(range.excel()), range_(&range) {
    range_->AddRef();
  }
  ~AreasObject() override { range_->Release(); }
  std::string label() const override { return "Areas of " + range_->label(); }
  static const std::vector<Member<AreasObject>>& members() {
    static const std::vector<Member<AreasObject>> table = {
        {dispid::collection::Count, "Count",
         [](AreasObject& self, DispatchCall& call) {
           return call.answer(Variant::integer(static_cast<int32_t>(self.range_->areas().size())));
         }},
        {dispid::collection::Item, "Item",
         [](AreasObject& self, DispatchCall& call) -> HRESULT {
           int32_t i = call.intArg(0);
           if (i < 1 || i > static_cast<int32_t>(self.range_->areas().size())) return DISP_E_BADINDEX;
           return call.answerObject(makeRange(self.range_->sheet(), {self.range_->areas()[i - 1]}));
         }},
    };
    return table;
  }

private:
  RangeObject* range_;
};

// Interior, Font, Borders and one Border of a range.
constexpr int32_t kBorderEdges = 4;
class FormatObject : public DoubleObjectOf<FormatObject> {
public:
  FormatObject(RangeObject& range, FormatPart part, int32_t edge = 0)
      : DoubleObjectOf(range.excel()), range_(&range), part_(part), edge_(edge) {
    range_->AddRef();
  }
  ~FormatObject() override { range_->Release(); }
  std::string label() const override {
    static const char* names[] = {"Range", "Interior", "Font", "Borders"};
    std::string name = edge_ ? "Border " + std::to_string(edge_) : names[static_cast<int>(part_)];
    return name + " of " + range_->label();
  }
  static const std::vector<Member<FormatObject>>& members() {
    static const std::vector<Member<FormatObject>> table = {
        {fmt::Color, "Color", property},
        {fmt::ColorIndex, "ColorIndex", property},
        {fmt::Pattern, "Pattern", property},
        {fmt::PatternColor, "PatternColor", property},
        {fmt::PatternColorIndex, "PatternColorIndex", property},
        {fmt::LineStyle, "LineStyle", property},
        {fmt::Weight, "Weight", property},
        {dispid::collection::Count, "Count",
         [](FormatObject& self, DispatchCall& call) -> HRESULT {
           if (self.part_ != FormatPart::Borders || self.edge_) return DISP_E_MEMBERNOTFOUND;
           return call.answer(Variant::integer(kBorderEdges));
         }},
        {dispid::collection::Item, "Item",
         [](FormatObject& self, DispatchCall& call) -> HRESULT {
           if (self.part_ != FormatPart::Borders || self.edge_) return DISP_E_MEMBERNOTFOUND;
           return call.answerObject(new FormatObject(*self.range_, FormatPart::Borders, call.intArg(0)));
         }},
        {dispid::common::Parent, "Parent",
         [](FormatObject& self, DispatchCall& call) {
           self.range_->AddRef();
           return call.answerObject(self.range_);
         }},
    };
    return table;
  }

private:
  // Border edges share the Borders settings of their cells.
  static HRESULT property(FormatObject& self, DispatchCall& call) {
    if (defaultFormat(self.part_, call.id).isEmpty()) return DISP_E_MEMBERNOTFOUND;
    if (call.isGet()) return call.answer(readFormat(*self.range_, self.part_, call.id));
    return writeFormat(*self.range_, self.part_, call.id, *call.value);
  }
  RangeObject* range_;
  FormatPart part_;
  int32_t edge_;
};

class HyperlinkObject : public DoubleObjectOf<HyperlinkObject> {
public:
  HyperlinkObject(WorksheetObject& sheet, int32_t row, int32_t column)
      : DoubleObjectOf(sheet.excel()), view_(sheet), row_(row), column_(column) {}
  std::string label() const override {
    return "Hyperlink " + narrow(view_.sheet().name()) + "!" +
           narrow(rectText({row_, column_, row_, column_}));
  }
  static const std::vector<Member<HyperlinkObject>>& members() {
    static const std::vector<Member<HyperlinkObject>> table = {
        {dispid::hyperlink::Address, "Address", text<&HyperlinkData::address>},
        {dispid::hyperlink::SubAddress, "SubAddress", text<&HyperlinkData::subAddress>},
        {dispid::hyperlink::TextToDisplay, "TextToDisplay", text<&HyperlinkData::textToDisplay>},
        {dispid::hyperlink::Delete, "Delete",
         [](HyperlinkObject& self, DispatchCall&) -> HRESULT {
           CellData& c = self.view_.sheet().cellAt(self.row_, self.column_);
           if (!c.link) return DISP_E_EXCEPTION;
           deleteLink(c);
           return S_OK;
         }},
        // The text property answers the display text; the object property the link's cell.
        {dispid::hyperlink::TextProperty, "TextProperty", text<&HyperlinkData::textToDisplay>},
        {dispid::hyperlink::ObjectProperty, "ObjectProperty",
         [](HyperlinkObject& self, DispatchCall& call) -> HRESULT {
           if (call.isPut()) return DISP_E_MEMBERNOTFOUND;
           CellRect cell{self.row_, self.column_, self.row_, self.column_};
           return call.answerObject(makeRange(self.view_.sheet(), std::vector<CellRect>{cell}));
         }},
    };
    return table;
  }

private:
  template <std::u16string HyperlinkData::*Field>
  static HRESULT text(HyperlinkObject& self, DispatchCall& call) {
    CellData& c = self.view_.sheet().cellAt(self.row_, self.column_);
    if (!c.link) return call.raise(0x800A03EC, u"The hyperlink was deleted");
    if (call.isGet()) return call.answer(Variant::text((*c.link).*Field));
    try {
      (*c.link).*Field = Variant(*call.value).toText();
    } catch (...) {
      return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
  }
  SheetView view_;
  int32_t row_;
  int32_t column_;
};

class HyperlinksObject : public DoubleObjectOf<HyperlinksObject> {
public:
  explicit HyperlinksObject(RangeObject& range) : DoubleObjectOf(range.excel()), range_(&range) {
    range_->AddRef();
  }
  ~HyperlinksObject() override { range_->Release(); }
  std::string label() const override { return "Hyperlinks of " + range_->label(); }
  static const std::vector<Member<HyperlinksObject>>& members() {
    static const std::vector<Member<HyperlinksObject>> table = {
        {dispid::collection::Count, "Count",
         [](HyperlinksObject& self, DispatchCall& call) {
           return call.answer(Variant::integer(static_cast<int32_t>(self.linked().size())));
         }},
        {dispid::collection::Item, "Item",
         [](HyperlinksObject& self, DispatchCall& call) -> HRESULT {
           auto cells = self.linked();
           int32_t i = call.intArg(0);
           if (i < 1 || i > static_cast<int32_t>(cells.size())) return DISP_E_BADINDEX;
           return call.answerObject(
               new HyperlinkObject(self.range_->sheet(), cells[i - 1].first, cells[i - 1].second));
         }},
        {dispid::hyperlinks::Add, "Add",
         [](HyperlinksObject& self, DispatchCall& call) -> HRESULT {
           auto* anchor = dynamic_cast<RangeObject*>(call.objectArg(0));
           if (!anchor || anchor->areas().empty() || &anchor->sheet() != &self.range_->sheet())
             return call.raise(0x800A03EC, u"Anchor is not a range of this sheet");
           int32_t row = anchor->areas()[0].top, column = anchor->areas()[0].left;
           HyperlinkData link{call.textArg(1), call.textArg(2), call.textArg(4)};
           CellData& c = anchor->sheet().cellAt(row, column);
           if (c.value.isEmpty() && c.formula.empty())
             c.value = Variant::text(link.textToDisplay.empty() ? link.address : link.textToDisplay);
           c.link = std::move(link);
           return call.answerObject(new HyperlinkObject(anchor->sheet(), row, column));
         }},
        {dispid::common::Delete, "Delete",
         [](HyperlinksObject& self, DispatchCall&) -> HRESULT {
           for (auto [r, c] : self.linked())
             deleteLink(self.range_->sheet().cellAt(r, c));
           return S_OK;
         }},
    };
    return table;
  }

private:
  std::vector<std::pair<int32_t, int32_t>> linked() const {
    // Walks the sheet's cells rather than the areas: a sheet's whole Hyperlinks spans every cell.
    std::vector<std::pair<int32_t, int32_t>> found;
    for (const CellRect& a : range_->areas())
      for (const auto& [position, data] : range_->sheet().cells())
        if (data.link && a.contains(position.first, position.second)) found.push_back(position);
    return found;
  }
  RangeObject* range_;
};

HRESULT rangeFormat(RangeObject& self, DispatchCall& call) {
  if (call.isGet()) return call.answer(readFormat(self, FormatPart::Range, call.id));
  return writeFormat(self, FormatPart::Range, call.id, *call.value);
}

HRESULT value2(RangeObject& self, DispatchCall& call) {
  if (call.isPut()) return enterValues(self, *call.value, false);
  WorksheetObject& sheet = self.sheet();
  return answerBlock(call, self.areas()[0], [&](int32_t r, int32_t c) { return cellValue(sheet, r, c); });
}

HRESULT formula(RangeObject& self, DispatchCall& call) {
  if (call.isPut()) return enterValues(self, *call.value, true);
  WorksheetObject& sheet = self.sheet();
  return answerBlock(call, self.areas()[0], [&](int32_t r, int32_t c) {
    const CellData* d = sheet.cell(r, c);
    if (!d) return Variant::text(u"");
    return Variant::text(d->formula.empty() ? constantText(d->value) : d->formula);
  });
}

HRESULT hasFormula(RangeObject& self, DispatchCall& call) {
  int withFormula = 0, without = 0;
  self.forEachCell([&](int32_t r, int32_t c) {
    const CellData* d = self.sheet().cell(r, c);
    (d && !d->formula.empty() ? withFormula : without)++;
  });
  if (withFormula && without) return call.answer(Variant::null());
  return call.answer(Variant::boolean(withFormula > 0));
}

HRESULT address(RangeObject& self, DispatchCall& call) {
  std::u16string text;
  for (const CellRect& a : self.areas())
    text += (text.empty() ? u"" : u",") + rectText(a);
  return call.answer(Variant::text(text));
}

int64_t cellCount(const RangeObject& self) {
  int64_t n = 0;
  for (const CellRect& a : self.areas())
    n += int64_t(a.rows()) * a.columns();
  return n;
}

// Count is a Long: a range of more cells (a whole sheet) overflows, as in Excel.
HRESULT count(RangeObject& self, DispatchCall& call) {
  const int64_t n = cellCount(self);
  if (n > INT32_MAX) return call.raise(0x800A0006, u"Overflow");
  return call.answer(Variant::integer(int32_t(n)));
}

HRESULT countLarge(RangeObject& self, DispatchCall& call) {
  return call.answer(Variant::number(double(cellCount(self))));
}

HRESULT item(RangeObject& self, DispatchCall& call) {
  const CellRect& a = self.areas()[0];
  int32_t row, column;
  if (call.has(1)) {
    row = a.top + call.intArg(0) - 1;
    column = a.left + call.intArg(1) - 1;
  } else {
    int32_t k = call.intArg(0) - 1;
    if (k < 0) return DISP_E_BADINDEX;
    row = a.top + k / a.columns();
    column = a.left + k % a.columns();
  }
  if (row < 1 || column < 1) return DISP_E_BADINDEX;
  return call.answerObject(makeRange(self.sheet(), {CellRect{row, column, row, column}}));
}

HRESULT sheetOf(RangeObject& self, DispatchCall& call) {
  self.sheet().AddRef();
  return call.answerObject(&self.sheet());
}

} // namespace

std::string RangeObject::label() const {
  std::string text = "Range " + narrow(sheet().name()) + "!";
  for (size_t i = 0; i < areas_.size(); ++i)
    text += (i ? "," : "") + narrow(rectText(areas_[i]));
  return text;
}

const std::vector<Member<RangeObject>>& RangeObject::members() {
  static const std::vector<Member<RangeObject>> table = {
      {rng::Value2, "Value2", value2},
      {0x0006, "Value", value2},
      {rng::Formula, "Formula", formula},
      {rng::HasFormula, "HasFormula", hasFormula},
      {rng::Address, "Address", address},
      {rng::Count, "Count", count},
      {rng::CountLarge, "CountLarge", countLarge},
      {rng::Item, "Item", item},
      {rng::Worksheet, "Worksheet", sheetOf},
      {dispid::common::Parent, "Parent", sheetOf},
      {dispid::common::Application, "Application",
       [](RangeObject& self, DispatchCall& call) {
         self.excel().application()->AddRef();
         return call.answerObject(&self.excel().app());
       }},
      {rng::Interior, "Interior",
       [](RangeObject& self, DispatchCall& call) {
         return call.answerObject(new FormatObject(self, FormatPart::Interior));
       }},
      {rng::Font, "Font",
       [](RangeObject& self, DispatchCall& call) {
         return call.answerObject(new FormatObject(self, FormatPart::Font));
       }},
      {rng::Borders, "Borders",
       [](RangeObject& self, DispatchCall& call) {
         return call.answerObject(new FormatObject(self, FormatPart::Borders));
       }},
      {rng::Areas, "Areas",
       [](RangeObject& self, DispatchCall& call) { return call.answerObject(new AreasObject(self)); }},
      {rng::Hyperlinks, "Hyperlinks",
       [](RangeObject& self, DispatchCall& call) { return call.answerObject(new HyperlinksObject(self)); }},
      {rng::HorizontalAlignment, "HorizontalAlignment", rangeFormat},
      {rng::VerticalAlignment, "VerticalAlignment", rangeFormat},
      {rng::NumberFormat, "NumberFormat", rangeFormat},
      {rng::Orientation, "Orientation", rangeFormat},
      {rng::ShrinkToFit, "ShrinkToFit", rangeFormat},
      {rng::WrapText, "WrapText", rangeFormat},
      {rng::Select, "Select",
       [](RangeObject& self, DispatchCall&) -> HRESULT {
         self.excel().activeSheet = &self.sheet();
         self.excel().selection = self.areas()[0];
         return S_OK;
       }},
      {rng::Delete, "Delete",
       [](RangeObject& self, DispatchCall&) -> HRESULT {
         self.forEachCell([&](int32_t r, int32_t c) { self.sheet().cells().erase({r, c}); });
         return S_OK;
       }},
      {rng::Calculate, "Calculate", [](RangeObject&, DispatchCall&) -> HRESULT { return S_OK; }},
  };
  return table;
}

RangeObject* makeRange(WorksheetObject& sheet, std::vector<CellRect> areas) {
  return new RangeObject(sheet, std::move(areas));
}

DoubleObject* makeHyperlinks(RangeObject& range) {
  return new HyperlinksObject(range);
}

Variant defaultFormat(FormatPart part, DISPID id) {
  switch (part) {
  case FormatPart::Range:
    switch (id) {
    case rng::HorizontalAlignment:
      return Variant::integer(1);
    case rng::VerticalAlignment:
      return Variant::integer(-4107);
    case rng::NumberFormat:
      return Variant::text(u"General");
    case rng::Orientation:
      return Variant::integer(-4128);
    case rng::ShrinkToFit:
      return Variant::boolean(false);
    case rng::WrapText:
      return Variant::boolean(false);
    }
    break;
  case FormatPart::Interior:
    switch (id) {
    case fmt::Color:
      return Variant::number(16777215);
    case fmt::ColorIndex:
      return Variant::integer(-4142);
    case fmt::Pattern:
      return Variant::integer(-4142);
    case fmt::PatternColor:
      return Variant::number(0);
    case fmt::PatternColorIndex:
      return Variant::integer(-4105);
    }
    break;
  case FormatPart::Font:
    switch (id) {
    case fmt::Color:
      return Variant::number(0);
    case fmt::ColorIndex:
      return Variant::integer(-4105);
    }
    break;
  case FormatPart::Borders:
    switch (id) {
    case fmt::Color:
      return Variant::number(0);
    case fmt::ColorIndex:
      return Variant::integer(-4142);
    case fmt::LineStyle:
      return Variant::integer(-4142);
    case fmt::Weight:
      return Variant::integer(2);
    }
    break;
  }
  return Variant();
}

Variant readFormat(const RangeObject& range, FormatPart part, DISPID id) {
  std::optional<Variant> common;
  bool mixed = false;
  uint32_t key = formatKey(part, id);
  range.forEachCell([&](int32_t r, int32_t c) {
    const CellData* d = range.sheet().cell(r, c);
    Variant v = defaultFormat(part, id);
    if (d)
      if (auto it = d->formats.find(key); it != d->formats.end()) v = it->second;
    if (!common)
      common = std::move(v);
    else if (VarCmp(&common->get(), &v.get(), LOCALE_USER_DEFAULT, 0) != VARCMP_EQ)
      mixed = true;
  });
  if (mixed || !common) return Variant::null();
  return *common;
}

HRESULT writeFormat(RangeObject& range, FormatPart part, DISPID id, const VARIANT& value) {
  Variant converted;
  try {
    converted = Variant(value).as(defaultFormat(part, id).type());
  } catch (...) {
    return DISP_E_TYPEMISMATCH;
  }
  uint32_t key = formatKey(part, id);
  range.forEachCell([&](int32_t r, int32_t c) { range.sheet().cellAt(r, c).formats[key] = converted; });
  return S_OK;
}

} // namespace cwbk::testing
