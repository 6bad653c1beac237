// References: address limits, intersections, implicit intersection, the value an area yields for
// the current cell, and the A1 and R1C1 texts of cells, areas and sheet names.
#include "formula/reference.h"

#include <algorithm>
#include <array>
#include <optional>

#include "formula/function_table.h"

namespace cwbk {

namespace {

AddressLimits gLimits;

// The rows and columns an area covers, with the sheets of its two corners.
struct Bounds {
  uint32_t sheet = 0;       // the first corner's sheet
  uint32_t secondSheet = 0; // the second corner's sheet
  uint32_t left = 0, right = 0, top = 0, bottom = 0;
  bool oneSheet() const { return sheet == secondSheet; }
};

// Returns the bounds of an area; none when its first corner is invalid. An invalid second corner
// stands for the first, and rows are taken as their 20-bit index.
std::optional<Bounds> boundsOf(const Area& area) {
  if (!area.first.isValid()) return std::nullopt;
  const CellAddress& a = area.first;
  const CellAddress& b = area.second.isValid() ? area.second : area.first;
  Bounds r;
  r.sheet = a.sheet();
  r.secondSheet = b.sheet();
  r.left = std::min(a.column(), b.column());
  r.right = std::max(a.column(), b.column());
  r.top = std::min(a.rowIndex(), b.rowIndex());
  r.bottom = std::max(a.rowIndex(), b.rowIndex());
  return r;
}

bool isAsciiLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool isDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
char16_t asciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

// Numbers read from text saturate here: far above every row and column number, far below overflow.
constexpr uint32_t kNumberCap = 0x10000000;

// Reads decimal digits at pos (at least one); the value saturates at kNumberCap.
std::optional<uint32_t> readNumber(std::u16string_view text, size_t& pos) {
  size_t start = pos;
  uint32_t value = 0;
  while (pos < text.size() && isDigit(text[pos])) {
    value = std::min<uint32_t>(value * 10 + (text[pos] - u'0'), kNumberCap);
    ++pos;
  }
  if (pos == start) return std::nullopt;
  return value;
}

// Reads "$?letters" at pos: the 0-based column of one to three letters within the current limit.
std::optional<uint32_t> readColumn(std::u16string_view text, size_t& pos) {
  if (pos < text.size() && text[pos] == u'$') ++pos;
  uint32_t number = 0;
  size_t count = 0;
  while (pos < text.size() && isAsciiLetter(text[pos])) {
    if (++count > 3) return std::nullopt;
    number = number * 26 + (asciiUpper(text[pos]) - u'A' + 1);
    ++pos;
  }
  if (count == 0 || number - 1 > gLimits.lastColumn) return std::nullopt;
  return number - 1;
}

// Reads "$?digits" at pos: the 0-based row; row 0 is no row, rows beyond the last read as the last.
std::optional<uint32_t> readRow(std::u16string_view text, size_t& pos) {
  if (pos < text.size() && text[pos] == u'$') ++pos;
  std::optional<uint32_t> number = readNumber(text, pos);
  if (!number || *number == 0) return std::nullopt;
  return std::min(*number - 1, gLimits.lastRow);
}

// The three forms a part of an A1 area text takes.
enum class PartForm { Cell, Column, Row };

struct Part {
  PartForm form = PartForm::Cell;
  uint32_t column = 0;
  uint32_t row = 0;
};

// Reads one part of an A1 area text: a cell, a column alone or a row alone, nothing else.
std::optional<Part> readA1Part(std::u16string_view text) {
  size_t pos = 0;
  size_t afterDollar = !text.empty() && text[0] == u'$' ? 1 : 0;
  Part part;
  if (afterDollar < text.size() && isDigit(text[afterDollar])) {
    std::optional<uint32_t> row = readRow(text, pos);
    if (!row || pos != text.size()) return std::nullopt;
    part.form = PartForm::Row;
    part.row = *row;
    return part;
  }
  std::optional<uint32_t> column = readColumn(text, pos);
  if (!column) return std::nullopt;
  part.column = *column;
  if (pos == text.size()) {
    part.form = PartForm::Column;
    return part;
  }
  std::optional<uint32_t> row = readRow(text, pos);
  if (!row || pos != text.size()) return std::nullopt;
  part.row = *row;
  return part;
}

// Reads "RnCm" ('r' and 'c' too): the 0-based cell with both numbers within the current limits.
std::optional<Part> readR1C1Part(std::u16string_view text) {
  size_t pos = 0;
  if (pos >= text.size() || asciiUpper(text[pos]) != u'R') return std::nullopt;
  ++pos;
  std::optional<uint32_t> row = readNumber(text, pos);
  if (!row || pos >= text.size() || asciiUpper(text[pos]) != u'C') return std::nullopt;
  ++pos;
  std::optional<uint32_t> column = readNumber(text, pos);
  if (!column || pos != text.size()) return std::nullopt;
  if (*row == 0 || *row - 1 > gLimits.lastRow || *column == 0 || *column - 1 > gLimits.lastColumn)
    return std::nullopt;
  return Part{PartForm::Cell, *column - 1, *row - 1};
}

// Reads an area text of parts joined by ':' into the area spanning them all; every part must be
// readable and of the first part's form. A text without ':' must be a single cell.
template <typename ReadPart>
ParsedArea readArea(std::u16string_view text, uint32_t sheet, ReadPart readPart) {
  ParsedArea none;
  std::optional<Part> first;
  uint32_t left = 0, right = 0, top = 0, bottom = 0;
  size_t start = 0;
  while (true) {
    size_t colon = text.find(u':', start);
    std::u16string_view piece =
        text.substr(start, colon == std::u16string_view::npos ? colon : colon - start);
    std::optional<Part> part = readPart(piece);
    if (!part || (first && part->form != first->form)) return none;
    if (!first) {
      first = part;
      left = right = part->column;
      top = bottom = part->row;
    } else {
      left = std::min(left, part->column);
      right = std::max(right, part->column);
      top = std::min(top, part->row);
      bottom = std::max(bottom, part->row);
    }
    if (colon == std::u16string_view::npos) break;
    start = colon + 1;
  }
  ParsedArea result;
  if (first->form == PartForm::Column) {
    if (start == 0) return none; // a column alone is no cell
    top = 0;
    bottom = gLimits.lastRow;
    result.kind = 2;
  } else if (first->form == PartForm::Row) {
    if (start == 0) return none; // a row alone is no cell
    left = 0;
    right = gLimits.lastColumn;
    result.kind = 1;
  }
  result.first = CellAddress::make(sheet, left, top);
  result.second = CellAddress::make(sheet, right, bottom);
  return result;
}

std::u16string decimalText(uint32_t n) {
  std::array<char16_t, 10> digits{};
  size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + n % 10);
    n /= 10;
  } while (n != 0);
  std::u16string out;
  while (count > 0)
    out.push_back(digits[--count]);
  return out;
}

std::u16string refErrorText() {
  return std::u16string(errorText(ErrRef));
}

} // namespace

const AddressLimits& addressLimits() {
  return gLimits;
}

void setReducedLimits(bool reduced) {
  gLimits = reduced ? AddressLimits{0xFFFF, 0xFF} : AddressLimits{};
}

bool reducedLimitsApply(int hostMajorVersion, int fileFormatCode) {
  return hostMajorVersion < 12 || fileFormatCode == 56;
}

bool isWithinLimits(CellAddress address) {
  return address.isValid() && address.rowIndex() <= gLimits.lastRow && address.column() <= gLimits.lastColumn;
}

Area intersect(const Area& a, const Area& b) {
  std::optional<Bounds> x = boundsOf(a);
  std::optional<Bounds> y = boundsOf(b);
  if (!x || !y || x->sheet != y->sheet) return Area::invalid();
  if (x->right < y->left || y->right < x->left || x->bottom < y->top || y->bottom < x->top)
    return Area::invalid();
  return Area{CellAddress::make(x->sheet, std::max(x->left, y->left), std::max(x->top, y->top)),
              CellAddress::make(x->sheet, std::min(x->right, y->right), std::min(x->bottom, y->bottom))};
}

bool isLine(const Area& area) {
  std::optional<Bounds> b = boundsOf(area);
  if (!b || !b->oneSheet()) return false;
  return b->left == b->right || b->top == b->bottom;
}

CellAddress implicitIntersection(const Area& area, CellAddress current) {
  std::optional<Bounds> b = boundsOf(area);
  if (!b || !b->oneSheet() || !current.isValid()) return CellAddress::invalid();
  uint32_t column = current.column();
  uint32_t row = current.rowIndex();
  if (b->top == b->bottom && column >= b->left && column <= b->right)
    return CellAddress::make(b->sheet, column, b->top);
  if (b->left == b->right && row >= b->top && row <= b->bottom)
    return CellAddress::make(b->sheet, b->left, row);
  return CellAddress::invalid();
}

void valueForCell(const Area& area, CellAddress current, const CellValueLookup& lookup, CalcValue& result) {
  std::optional<Bounds> b = boundsOf(area);
  CellAddress cell = CellAddress::invalid();
  if (b && b->oneSheet() && current.isValid()) {
    if (b->left == b->right && b->top == b->bottom) {
      cell = CellAddress::make(b->sheet, b->left, b->top);
    } else if (b->left == b->right || b->top == b->bottom) {
      cell = implicitIntersection(area, current);
    } else if (b->sheet != current.sheet()) {
      // A block on the current cell's own sheet would be the cell reading itself.
      uint32_t column = current.column();
      uint32_t row = current.rowIndex();
      if (column >= b->left && column <= b->right && row >= b->top && row <= b->bottom)
        cell = CellAddress::make(b->sheet, column, row);
    }
  }
  if (!cell.isValid()) {
    result.setError(ErrValue);
    return;
  }
  const CalcValue* value = lookup ? lookup(cell) : nullptr;
  if (value == &result) return;
  if (value)
    result.copyFrom(*value);
  else
    result.setEmpty();
}

CellAddress parseCell(std::u16string_view text, uint32_t sheet) {
  size_t pos = 0;
  std::optional<uint32_t> column = readColumn(text, pos);
  if (!column) return CellAddress::invalid();
  std::optional<uint32_t> row = readRow(text, pos);
  if (!row || pos != text.size()) return CellAddress::invalid();
  return CellAddress::make(sheet, *column, *row);
}

ParsedArea parseArea(std::u16string_view text, uint32_t sheet) {
  return readArea(text, sheet, readA1Part);
}

CellAddress parseCellR1C1(std::u16string_view text, uint32_t sheet) {
  std::optional<Part> part = readR1C1Part(text);
  return part ? CellAddress::make(sheet, part->column, part->row) : CellAddress::invalid();
}

ParsedArea parseAreaR1C1(std::u16string_view text, uint32_t sheet) {
  size_t colon = text.find(u':');
  if (colon != std::u16string_view::npos && text.find(u':', colon + 1) != std::u16string_view::npos)
    return ParsedArea{};
  return readArea(text, sheet, readR1C1Part);
}

namespace {

// Reads a decimal number of at most 7 digits at pos; false when there is none.
bool readDigits(std::u16string_view t, size_t& pos, int64_t& out) {
  size_t start = pos;
  out = 0;
  while (pos < t.size() && t[pos] >= u'0' && t[pos] <= u'9' && pos - start < 8)
    out = out * 10 + (t[pos++] - u'0');
  return pos > start && (pos >= t.size() || t[pos] < u'0' || t[pos] > u'9');
}

// Reads one R1C1 coordinate after its letter: "[n]" relative to base, "n" absolute (1-based), or
// nothing (the base itself). False when the text is not readable there.
bool readR1C1Coordinate(std::u16string_view t, size_t& pos, int64_t base, int64_t& out) {
  if (pos < t.size() && t[pos] == u'[') {
    ++pos;
    bool negative = false;
    if (pos < t.size() && (t[pos] == u'-' || t[pos] == u'+')) negative = t[pos++] == u'-';
    int64_t n = 0;
    if (!readDigits(t, pos, n) || pos >= t.size() || t[pos] != u']') return false;
    ++pos;
    out = base + (negative ? -n : n);
    return true;
  }
  if (pos < t.size() && t[pos] >= u'0' && t[pos] <= u'9') {
    int64_t n = 0;
    if (!readDigits(t, pos, n) || n < 1) return false;
    out = n - 1;
    return true;
  }
  out = base;
  return true;
}

// Reads one part of an R1C1 reference (R2C3, R[-1]C, R5, C[2], RC) relative to the cell `base`:
// both coordinates give a cell; a row alone a whole row, a column alone a whole column.
bool parseR1C1Part(std::u16string_view t, CellAddress base, uint32_t sheet, Area& out) {
  size_t pos = 0;
  int64_t row = 0, column = 0;
  bool hasRow = false, hasColumn = false;
  if (pos < t.size() && (t[pos] == u'R' || t[pos] == u'r')) {
    ++pos;
    if (!readR1C1Coordinate(t, pos, base.rowIndex(), row)) return false;
    hasRow = true;
  }
  if (pos < t.size() && (t[pos] == u'C' || t[pos] == u'c')) {
    ++pos;
    if (!readR1C1Coordinate(t, pos, base.column(), column)) return false;
    hasColumn = true;
  }
  if (pos != t.size() || (!hasRow && !hasColumn)) return false;
  const AddressLimits& limits = addressLimits();
  if (hasRow && (row < 0 || row > int64_t(limits.lastRow))) return false;
  if (hasColumn && (column < 0 || column > int64_t(limits.lastColumn))) return false;
  auto r = static_cast<uint32_t>(row);
  auto c = static_cast<uint32_t>(column);
  if (hasRow && hasColumn)
    out = Area{CellAddress::make(sheet, c, r), CellAddress::make(sheet, c, r)};
  else if (hasRow)
    out = Area{CellAddress::make(sheet, 0, r), CellAddress::make(sheet, limits.lastColumn, r)};
  else
    out = Area{CellAddress::make(sheet, c, 0), CellAddress::make(sheet, c, limits.lastRow)};
  return true;
}

} // namespace

// Reads an R1C1 reference relative to a cell (see the header).
bool parseRelativeR1C1(std::u16string_view t, CellAddress base, uint32_t sheet, Area& out) {
  size_t colon = t.find(u':');
  if (colon == std::u16string_view::npos) return parseR1C1Part(t, base, sheet, out);
  Area a, b;
  if (!parseR1C1Part(t.substr(0, colon), base, sheet, a) ||
      !parseR1C1Part(t.substr(colon + 1), base, sheet, b))
    return false;
  CellAddress first = CellAddress::make(sheet, std::min(a.first.column(), b.first.column()),
                                        std::min(a.first.rowIndex(), b.first.rowIndex()));
  CellAddress second = CellAddress::make(sheet, std::max(a.second.column(), b.second.column()),
                                         std::max(a.second.rowIndex(), b.second.rowIndex()));
  out = Area{first, second};
  return true;
}

std::u16string columnLetters(uint32_t column) {
  if (column > CellAddress::kColumnMask) return {};
  // Bijective base 26: A..Z, AA..ZZ, AAA..XFD.
  char16_t letters[3];
  size_t count = 0;
  uint32_t n = column + 1;
  while (n > 0) {
    --n;
    letters[count++] = static_cast<char16_t>(u'A' + n % 26);
    n /= 26;
  }
  std::u16string out;
  while (count > 0)
    out.push_back(letters[--count]);
  return out;
}

std::u16string cellText(CellAddress address) {
  if (!address.isValid()) return refErrorText();
  return columnLetters(address.column()) + decimalText(std::min(address.rowIndex(), gLimits.lastRow) + 1);
}

std::u16string absoluteCellText(CellAddress address) {
  if (!address.isValid()) return refErrorText();
  return u"$" + columnLetters(address.column()) + u"$" +
         decimalText(std::min(address.rowIndex(), gLimits.lastRow) + 1);
}

std::u16string quotedSheetName(std::u16string_view name) {
  std::u16string out;
  out.reserve(name.size() + 2);
  out.push_back(u'\'');
  for (char16_t c : name) {
    out.push_back(c);
    if (c == u'\'') out.push_back(u'\'');
  }
  out.push_back(u'\'');
  return out;
}

namespace {

// Returns true when text would read as a cell in A1 style (one to three letters and a row number) or
// R1C1 style (R and C, each optionally followed by digits, in that order, at least one of them).
bool looksLikeCell(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && isAsciiLetter(text[i]))
    ++i;
  if (i >= 1 && i <= 3 && i < text.size()) {
    size_t j = i;
    while (j < text.size() && isDigit(text[j]))
      ++j;
    if (j == text.size()) return true;
  }
  size_t k = 0;
  bool any = false;
  if (k < text.size() && (text[k] == u'R' || text[k] == u'r')) {
    any = true;
    ++k;
    while (k < text.size() && isDigit(text[k]))
      ++k;
  }
  if (k < text.size() && (text[k] == u'C' || text[k] == u'c')) {
    any = true;
    ++k;
    while (k < text.size() && isDigit(text[k]))
      ++k;
  }
  return any && k == text.size();
}

} // namespace

bool sheetNameNeedsQuotes(std::u16string_view name) {
  if (name.empty() || isDigit(name[0]) || name[0] == u'.') return true;
  for (char16_t c : name)
    if (!isAsciiLetter(c) && !isDigit(c) && c != u'_' && c != u'.') return true;
  return looksLikeCell(name);
}

bool splitSheetPrefix(std::u16string_view text, SheetPrefix& out) {
  out = SheetPrefix{};
  out.address = text;
  if (!text.empty() && text[0] == u'\'') {
    size_t i = 1;
    for (; i < text.size(); ++i) {
      if (text[i] != u'\'') {
        out.sheet += text[i];
      } else if (i + 1 < text.size() && text[i + 1] == u'\'') {
        out.sheet += u'\'';
        ++i;
      } else {
        break;
      }
    }
    if (i + 1 >= text.size() || text[i + 1] != u'!') return false;
    out.address = text.substr(i + 2);
    out.hasSheet = true;
  } else if (size_t bang = text.rfind(u'!'); bang != std::u16string_view::npos) {
    out.sheet = std::u16string(text.substr(0, bang));
    out.address = text.substr(bang + 1);
    out.hasSheet = true;
  }
  if (out.hasSheet && !out.sheet.empty() && out.sheet[0] == u'[') {
    if (out.sheet.find(u']') == std::u16string::npos) return false;
    out.otherWorkbook = true;
  }
  return true;
}

bool rowNumbersOnSheet(std::u16string_view text) {
  uint64_t number = 0;
  bool inNumber = false;
  auto numberOk = [&] { return !inNumber || (number >= 1 && number <= uint64_t(gLimits.lastRow) + 1); };
  for (char16_t c : text) {
    if (isDigit(c)) {
      number = std::min<uint64_t>(number * 10 + (c - u'0'), uint64_t(1) << 40);
      inNumber = true;
      continue;
    }
    if (!numberOk()) return false;
    number = 0;
    inNumber = false;
    if (!isAsciiLetter(c) && c != u'$' && c != u':') return false;
  }
  return numberOk();
}

std::u16string secondCornerText(CellAddress corner) {
  if (!corner.isValid() || corner.rowIndex() > gLimits.lastRow) return refErrorText();
  return cellText(corner);
}

std::u16string referenceText(CellAddress cell, std::u16string_view quotedName) {
  if (!cell.isValid()) return refErrorText();
  std::u16string out(quotedName);
  if (!out.empty()) out.push_back(u'!');
  return out + cellText(cell);
}

std::u16string referenceText(const Area& area, std::u16string_view quotedName, bool bothCorners) {
  if (!area.first.isValid()) return refErrorText();
  CellAddress second = area.second.isValid() ? area.second : area.first;
  std::u16string out = referenceText(area.first, quotedName);
  bool differ = second.rowIndex() != area.first.rowIndex() || second.sheetColumn != area.first.sheetColumn;
  if (bothCorners || differ) out += u":" + secondCornerText(second);
  return out;
}

bool isVolatileFunctionName(std::u16string_view name) {
  std::u16string upper(name);
  for (char16_t& c : upper)
    c = asciiUpper(c);
  const FunctionTable& table = functionTable();
  const FunctionDescriptor* descriptor = table.descriptor(table.lookupNumber(upper));
  return descriptor && descriptor->hasTrait(TraitHostVolatile);
}

} // namespace cwbk
