// Information functions: the IS tests, N, NA, TYPE, ERROR.TYPE, COUNTBLANK, and CELL and INFO, which
// answer what they know themselves and hand every other question to the host.
#include <cmath>
#include <string>

#include "formula/host_services.h"
#include "formula/reference.h"
#include "functions/arguments.h"
#include "functions/logical.h"
#include "platform/text_services.h"

namespace cwbk {

namespace {

std::optional<ApplicationInfo>& applicationInfoSlot() {
  static std::optional<ApplicationInfo> info;
  return info;
}

const CalcValue& argumentOrEmpty(const CalcValue* const* args, size_t i) {
  const CalcValue* v = argumentAt(args, i);
  return v ? *v : emptyValue();
}

// A range that a value argument could not reduce to one cell, which the tests read as "#VALUE!".
bool isUnreducedRange(const CalcValue& v) {
  return v.isReference() || v.isReferenceList();
}

bool isBlank(const CalcValue& v) {
  return v.isEmpty();
}
bool isErrOtherThanNA(const CalcValue& v) {
  return (v.isErrorValue() && v.errorCode() != ErrNA) || isUnreducedRange(v);
}
bool isAnyError(const CalcValue& v) {
  return v.isErrorValue() || isUnreducedRange(v);
}
bool isNotAvailable(const CalcValue& v) {
  return v.isErrorValue() && v.errorCode() == ErrNA;
}
bool isLogical(const CalcValue& v) {
  return v.isBoolean();
}
bool isNumber(const CalcValue& v) {
  return v.isNumber();
}
bool isText(const CalcValue& v) {
  return v.isText();
}
bool isNonText(const CalcValue& v) {
  return !v.isText();
}
bool isRef(const CalcValue& v) {
  return v.isReference() || v.isReferenceList();
}

// ISBLANK, ISERR, ISERROR, ISNA, ISLOGICAL, ISNUMBER, ISTEXT, ISNONTEXT, ISREF: a Boolean test of the
// one argument. A text that reads like an error ("#N/A" typed) is a text, not an error.
template <bool (*Test)(const CalcValue&)>
void informationTest(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  result.setBoolean(Test(argumentOrEmpty(args, 0)));
}

// ISEVEN(x), ISODD(x): whether x truncated toward zero is even or odd (ISEVEN(-1.5) reads -1, so it is
// FALSE). Empty reads 0, a numeric text its number; a Boolean is "#VALUE!".
template <bool Odd> void parityTest(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue& x = reducedSingleCell(argumentOrEmpty(args, 0));
  if (x.isBoolean()) {
    result.setError(ErrValue);
    return;
  }
  double n = 0;
  if (!argNumber(x, n, result)) return;
  bool odd = std::fmod(std::trunc(n), 2.0) != 0;
  result.setBoolean(odd == Odd);
}

// Returns the value at the top-left cell of a Reference (Empty for a missing cell), or null for a
// reference that is invalid or spans sheets.
const CalcValue* topLeftValue(const CalcValue& ref) {
  Area area;
  if (!oneSheetArea(ref, area)) return nullptr;
  return &cellArgumentValue(area.first);
}

// N(x): x as a number: a number itself, a Boolean 0 or 1, Empty and texts 0, an error itself. An array
// reads its first element, a range its top-left cell.
void nFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* x = &argumentOrEmpty(args, 0);
  if (x->isArray()) x = x->element(0, 0);
  if (x && x->isReference()) x = topLeftValue(*x);
  if (!x || x->isReferenceList()) {
    result.setError(x ? ErrValue : ErrRef);
    return;
  }
  if (x->isErrorValue())
    result.copyFrom(*x);
  else if (x->isText())
    result.setInteger(0);
  else
    result.setNumber(x->isBoolean() ? (x->booleanValue() ? 1 : 0) : x->numberValue());
}

void naFunction(EvaluationContext&, const CalcValue* const*, CalcValue& result) {
  result.setError(ErrNA);
}

// TYPE(x): 1 number (and Empty), 2 text, 4 Boolean, 16 error, 64 array. In an array formula a range is
// an array; elsewhere its top-left cell is typed (a single cell's value in any case).
void typeFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue* x = &argumentOrEmpty(args, 0);
  if (x->isReference()) {
    Area area;
    bool single = oneSheetArea(*x, area) && area.first == area.second;
    if (context.arrayFormulaMode && !single) {
      result.setInteger(64);
      return;
    }
    x = topLeftValue(*x);
  }
  int type = 1;
  if (!x || x->isErrorValue() || x->isReferenceList())
    type = 16;
  else if (x->isText())
    type = 2;
  else if (x->isBoolean())
    type = 4;
  else if (x->isArray())
    type = 64;
  result.setInteger(type);
}

// ERROR.TYPE(x): the number of an error, 1 "#NULL!" to 7 "#N/A" in display order; a range that did not
// reduce to one cell counts as "#VALUE!" (3). Anything that is not an error, texts naming errors
// included, gives "#N/A".
void errorTypeFunction(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  const CalcValue& x = argumentOrEmpty(args, 0);
  if (isUnreducedRange(x))
    result.setInteger(3);
  else if (x.isErrorValue())
    result.setInteger(errorIndex(x.errorCode()) + 1);
  else
    result.setError(ErrNA);
}

// COUNTBLANK(range): the cells of the range that are empty or hold the empty text (a formula's ""
// result too). Only the cells that exist are visited: the rest of the rectangle is blank, so a whole
// sheet answers as fast as its filled cells allow.
void countblankFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue& range = argumentOrEmpty(args, 0);
  if (range.isEmpty()) {
    result.setInteger(1);
    return;
  }
  if (range.isErrorValue()) {
    result.copyFrom(range);
    return;
  }
  if (!range.isReference()) {
    result.setInteger(0);
    return;
  }
  Area area;
  if (!oneSheetArea(range, area)) {
    result.setError(ErrRef);
    return;
  }
  uint64_t filled = 0;
  walkReference(context, range, [&](const CalcValue& v, Cell&) {
    if (!v.isEmpty() && !(v.isText() && v.textLength() == 0)) ++filled;
    return true;
  });
  uint64_t cells = uint64_t(areaWidth(area)) * areaHeight(area);
  result.setNumber(static_cast<double>(cells - filled));
}

// Returns true when a name must be quoted in a reference text. A workbook file name may hold dots and
// digits anywhere; the sheet name follows the rule of formula texts.
bool fileNameNeedsQuotes(std::u16string_view name) {
  for (char16_t c : name) {
    bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                 c == u'_' || c == u'.';
    if (!plain) return true;
  }
  return false;
}

// The sheet prefix of CELL("address") for a cell on another sheet than the formula's:
// [Book.xlsx]Sheet2! or, when a name needs it, '[My Book.xlsx]It''s here'!.
std::u16string otherSheetPrefix(std::u16string_view sheetName) {
  const ApplicationInfo* info = applicationInfo();
  std::u16string_view book = info ? std::u16string_view(info->workbookName) : std::u16string_view();
  std::u16string text = book.empty() ? std::u16string(sheetName) : u"[" + std::u16string(book) + u"]" +
                                                                       std::u16string(sheetName);
  bool quote = sheetNameNeedsQuotes(sheetName) || fileNameNeedsQuotes(book);
  return (quote ? quotedSheetName(text) : text) + u"!";
}

// CELL(type, reference): facts about the top-left cell of reference (without one, the formula's own
// cell). "type": "b" blank, "l" text, "v" anything else; "address": $B$3, with the workbook and sheet
// when the cell lies on another sheet; "row", "col": its numbers; "contents": its value; "filename":
// the workbook's folder, [file name] and the sheet's name, when the host has told them. Every other
// type, and "filename" without a known workbook, is the host's to answer ("#VALUE!" without a host).
void cellFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  const CalcValue& type = argumentOrEmpty(args, 0);
  const CalcValue* reference = argumentAt(args, 1);
  if (type.isErrorValue()) {
    result.copyFrom(type);
    return;
  }
  if (reference && reference->isErrorValue()) {
    result.copyFrom(*reference);
    return;
  }
  if (!type.isText()) {
    result.setError(ErrValue);
    return;
  }
  CellAddress current = context.currentAddress();
  CellAddress cell = current;
  if (reference && !reference->isEmpty()) {
    Area area;
    if (!reference->isReference() || !oneSheetArea(*reference, area)) {
      result.setError(reference->isReference() ? ErrRef : ErrValue);
      return;
    }
    cell = area.first;
  }
  std::u16string_view key = type.textView();
  CompiledWorkbook* workbook = context.cellWorkbook();
  const SheetInfo* sheet = workbook && cell.isValid() ? workbook->sheet(cell.sheet()) : nullptr;
  const ApplicationInfo* info = applicationInfo();
  if (cell.isValid() && equalIgnoringCase(key, u"type")) {
    // The formula's own cell is read from its current value, never re-evaluated.
    const CalcValue& v = cell == current && context.currentCell ? workbook->cellValue(*context.currentCell)
                                                                : cellArgumentValue(cell);
    const CalcValue& shown = v.isArray() && v.element(0, 0) ? *v.element(0, 0) : v;
    result.setText(shown.isEmpty() ? u"b" : shown.isText() ? u"l" : u"v");
  } else if (cell.isValid() && equalIgnoringCase(key, u"address")) {
    std::u16string text = absoluteCellText(cell);
    if (cell.sheet() != current.sheet() && sheet) text = otherSheetPrefix(sheet->name) + text;
    result.setText(text);
  } else if (cell.isValid() && equalIgnoringCase(key, u"row")) {
    result.setNumber(cell.rowIndex() + 1);
  } else if (cell.isValid() && equalIgnoringCase(key, u"col")) {
    result.setNumber(cell.column() + 1);
  } else if (cell.isValid() && equalIgnoringCase(key, u"contents") && cell != current) {
    result.copyFrom(cellArgumentValue(cell));
  } else if (sheet && info && !info->workbookName.empty() && equalIgnoringCase(key, u"filename")) {
    // The file name is printed as it is: no quotes, apostrophes not doubled.
    result.setText(info->workbookFolder + u"[" + info->workbookName + u"]" + sheet->name);
  } else {
    result.setError(ErrValue);
    hostCallWorksheetFunction(context, 125, args, 2, result);
  }
}

// INFO(type): "isexe" TRUE (the workbook always runs inside its application), "appname" and "appver"
// the application's name and version. Every other type is the host's to answer ("#VALUE!" without a
// host).
void infoFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  if (propagateErrors(args, result, ErrorReading::Functions)) return;
  const CalcValue& type = argumentOrEmpty(args, 0);
  if (!type.isText()) {
    result.setError(ErrValue);
    return;
  }
  std::u16string_view key = type.textView();
  const ApplicationInfo* info = applicationInfo();
  if (equalIgnoringCase(key, u"isexe")) {
    result.setBoolean(true);
  } else if (equalIgnoringCase(key, u"appname") || equalIgnoringCase(key, u"appver")) {
    const std::u16string* text = info ? equalIgnoringCase(key, u"appname") ? &info->name : &info->version : nullptr;
    if (!text)
      result.setError(ErrValue);
    else if (!text->empty())
      result.setText(*text);
  } else {
    result.setError(ErrValue);
    hostCallWorksheetFunction(context, 244, args, 1, result);
  }
}

const ImplementationRow kInformationRoutines[] = {
    {u"ISBLANK", informationTest<isBlank>},
    {u"ISERR", informationTest<isErrOtherThanNA>},
    {u"ISERROR", informationTest<isAnyError>},
    {u"ISNA", informationTest<isNotAvailable>},
    {u"ISLOGICAL", informationTest<isLogical>},
    {u"ISNUMBER", informationTest<isNumber>},
    {u"ISTEXT", informationTest<isText>},
    {u"ISNONTEXT", informationTest<isNonText>},
    {u"ISREF", informationTest<isRef>},
    {u"ISEVEN", parityTest<false>},
    {u"ISODD", parityTest<true>},
    {u"N", nFunction},
    {u"NA", naFunction},
    {u"TYPE", typeFunction},
    {u"ERROR.TYPE", errorTypeFunction},
    {u"COUNTBLANK", countblankFunction},
    {u"CELL", cellFunction},
    {u"INFO", infoFunction},
};

} // namespace

std::span<const ImplementationRow> informationRoutines() {
  return kInformationRoutines;
}

void setApplicationInfo(std::optional<ApplicationInfo> info) {
  applicationInfoSlot() = std::move(info);
}

const ApplicationInfo* applicationInfo() {
  const std::optional<ApplicationInfo>& info = applicationInfoSlot();
  return info ? &*info : nullptr;
}

} // namespace cwbk
