// SourceWorkbook: lookups, the finishing step shared by the readers (ordering, array formula and data
// table members) and the text helpers.
#include "compiler/source_workbook.h"

#include <algorithm>
#include <tuple>

namespace cwbk::compiler {

SourceValue SourceValue::ofNumber(double x) {
  SourceValue v;
  v.kind = Number;
  v.number = x;
  return v;
}

SourceValue SourceValue::ofText(std::u16string t) {
  SourceValue v;
  v.kind = Text;
  v.text = std::move(t);
  return v;
}

SourceValue SourceValue::ofBoolean(bool b) {
  SourceValue v;
  v.kind = Boolean;
  v.boolean = b;
  return v;
}

SourceValue SourceValue::ofError(CalcError e) {
  SourceValue v;
  v.kind = Error;
  v.error = e;
  int index = errorIndex(e);
  if (index >= 0) v.text = defaultDisplayTexts()[index];
  return v;
}

namespace {

char16_t asciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
}

bool positionLess(const SourceCell& a, const SourceCell& b) {
  return std::tie(a.sheet, a.row, a.column) < std::tie(b.sheet, b.row, b.column);
}

bool samePosition(const SourceCell& a, const SourceCell& b) {
  return a.sheet == b.sheet && a.row == b.row && a.column == b.column;
}

template <typename Cells> auto* findIn(Cells& cells, uint32_t sheet, uint32_t row, uint32_t column) {
  SourceCell key;
  key.sheet = sheet;
  key.row = row;
  key.column = column;
  auto it = std::lower_bound(cells.begin(), cells.end(), key, positionLess);
  return it != cells.end() && samePosition(*it, key) ? &*it : nullptr;
}

std::string label(const SourceWorkbook& workbook, uint32_t sheet, uint32_t row, uint32_t column) {
  std::string name = sheet < workbook.sheets.size() ? utf16ToUtf8(workbook.sheets[sheet].name) : "?";
  return name + "!" + cellName(row, column);
}

// Largest area that one array formula or data table may cover, and the most member cells that the
// finishing step creates in all; beyond them a source is refused rather than exhausting memory.
constexpr uint64_t kMaxMemberArea = uint64_t(1) << 20;
constexpr uint64_t kMaxCreatedMembers = uint64_t(1) << 22;

// Makes every position of `range` a member of the array formula or data table whose top-left cell is
// `owner` (an index into the sorted cells); missing members are appended to `created`.
void claimMembers(SourceWorkbook& workbook, size_t owner, std::vector<SourceCell>& created,
                  const std::string& context) {
  const SourceCell master = workbook.cells[owner];
  const SourceRange& range = master.range;
  const char* what = master.kind == CellKind::ArrayFormula ? "array formula" : "data table";
  if (range.firstRow > range.lastRow || range.firstColumn > range.lastColumn || range.lastRow >= kMaxRows ||
      range.lastColumn >= kMaxColumns)
    throw SourceError(context + ": " + what + " at " +
                      label(workbook, master.sheet, master.row, master.column) + " has a bad area");
  if (master.row != range.firstRow || master.column != range.firstColumn)
    throw SourceError(context + ": " + what + " at " +
                      label(workbook, master.sheet, master.row, master.column) +
                      " does not start at the top-left cell of its area");
  if (range.cellCount() > kMaxMemberArea || created.size() + range.cellCount() > kMaxCreatedMembers)
    throw SourceError(context + ": " + what + " at " +
                      label(workbook, master.sheet, master.row, master.column) + " covers too many cells");
  for (uint32_t row = range.firstRow; row <= range.lastRow; ++row) {
    for (uint32_t column = range.firstColumn; column <= range.lastColumn; ++column) {
      if (row == master.row && column == master.column) continue;
      SourceCell* cell = workbook.findCell(master.sheet, row, column);
      if (cell == nullptr) {
        SourceCell member;
        member.sheet = master.sheet;
        member.row = row;
        member.column = column;
        created.push_back(member);
        cell = &created.back();
      } else if (cell->kind != CellKind::Constant) {
        throw SourceError(context + ": cell " + label(workbook, master.sheet, row, column) +
                          " lies inside the " + what + " at " +
                          label(workbook, master.sheet, master.row, master.column) +
                          " but has a formula of its own");
      } else if (cell->cached.isNone()) {
        // A member's stored value is the formula's cached result at that position.
        cell->cached = std::move(cell->value);
      }
      cell->value = SourceValue();
      cell->kind = master.kind;
      cell->range = range;
      cell->master = false;
      cell->dataTable = master.dataTable;
    }
  }
}

} // namespace

bool sameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return asciiUpper(x) == asciiUpper(y);
         });
}

int32_t SourceWorkbook::findSheet(std::u16string_view name) const {
  for (size_t i = 0; i < sheets.size(); ++i) {
    if (sameName(sheets[i].name, name)) return static_cast<int32_t>(i);
  }
  return -1;
}

const SourceTable* SourceWorkbook::findTable(std::u16string_view name) const {
  for (const SourceTable& table : tables) {
    if (sameName(table.name, name)) return &table;
  }
  return nullptr;
}

const SourceTable* SourceWorkbook::tableAt(uint32_t sheet, uint32_t row, uint32_t column) const {
  for (const SourceTable& table : tables) {
    if (table.sheet == sheet && table.range.contains(row, column)) return &table;
  }
  return nullptr;
}

const SourceCell* SourceWorkbook::findCell(uint32_t sheet, uint32_t row, uint32_t column) const {
  return findIn(cells, sheet, row, column);
}

SourceCell* SourceWorkbook::findCell(uint32_t sheet, uint32_t row, uint32_t column) {
  return findIn(cells, sheet, row, column);
}

std::u16string_view SourceWorkbook::numberFormat(uint32_t sheet, uint32_t row, uint32_t column) const {
  const SourceCell* cell = findCell(sheet, row, column);
  if (cell && cell->format < cellFormats.size()) return cellFormats[cell->format];
  return u"General";
}

size_t SourceWorkbook::formulaCount() const {
  return static_cast<size_t>(
      std::count_if(cells.begin(), cells.end(), [](const SourceCell& c) { return !c.formula.empty(); }));
}

uint32_t compiledFlags(const SourceCell& cell) {
  uint32_t flags = cell.flags & ~kFlagDataCell; // the compiler decides which cells are data cells
  if (cell.kind == CellKind::ArrayFormula) flags |= kFlagArrayFormula | (cell.master ? kFlagArrayMaster : 0);
  if (cell.kind == CellKind::DataTable) flags |= kFlagArrayMaster;
  return flags;
}

void finishWorkbook(SourceWorkbook& workbook, const std::string& context) {
  auto sortAndCheck = [&](const char* why) {
    if (!std::is_sorted(workbook.cells.begin(), workbook.cells.end(), positionLess))
      std::stable_sort(workbook.cells.begin(), workbook.cells.end(), positionLess);
    auto twin = std::adjacent_find(workbook.cells.begin(), workbook.cells.end(), samePosition);
    if (twin != workbook.cells.end())
      throw SourceError(context + ": cell " + label(workbook, twin->sheet, twin->row, twin->column) + " " +
                        why);
  };
  sortAndCheck("is stated twice");
  for (const SourceCell& cell : workbook.cells)
    if (cell.sheet >= workbook.sheets.size())
      throw SourceError(context + ": a cell names sheet index " + std::to_string(cell.sheet) +
                        ", which does not exist");

  std::vector<SourceCell> created;
  for (size_t i = 0; i < workbook.cells.size(); ++i) {
    const SourceCell& cell = workbook.cells[i];
    bool owner = (cell.kind == CellKind::ArrayFormula || cell.kind == CellKind::DataTable) && cell.master;
    if (owner) claimMembers(workbook, i, created, context);
  }
  for (SourceDataTable& table : workbook.dataTables) {
    const SourceCell* top = workbook.findCell(table.sheet, table.range.firstRow, table.range.firstColumn);
    if (top == nullptr || top->kind != CellKind::DataTable || !top->master)
      throw SourceError(context + ": data table at " +
                        label(workbook, table.sheet, table.range.firstRow, table.range.firstColumn) +
                        " has no top-left cell");
  }
  if (!created.empty()) {
    workbook.cells.insert(workbook.cells.end(), std::make_move_iterator(created.begin()),
                          std::make_move_iterator(created.end()));
    sortAndCheck("lies in two array formulas or data tables");
  }
}

std::string cellName(uint32_t row, uint32_t column) {
  std::string letters;
  uint64_t n = uint64_t(column) + 1;
  while (n > 0) {
    letters.insert(letters.begin(), static_cast<char>('A' + (n - 1) % 26));
    n = (n - 1) / 26;
  }
  return letters + std::to_string(uint64_t(row) + 1);
}

std::optional<CalcError> errorFromEnglishText(std::u16string_view text) {
  const DisplayTexts& texts = defaultDisplayTexts();
  for (size_t i = 0; i < kAllErrors.size(); ++i)
    if (texts[i] == text) return kAllErrors[i];
  return std::nullopt;
}

} // namespace cwbk::compiler
