// CompiledWorkbook: the sheet table and lists, cell creation and walks, links and the area index, the
// evaluation of one cell with the result rules of a formula, array formulas and change reporting.
#include "formula/compiled_workbook.h"

#include <algorithm>
#include <cstring>

#include "formula/formula_node.h"
#include "formula/recalculation.h"
#include "formula/reference.h"
#include "formula/scalar_program.h"
#include "platform/text_services.h"

namespace cwbk {

constinit CompiledWorkbook* CompiledWorkbook::liveWorkbooks_ = nullptr;
constinit CompiledWorkbook* detail::soleLiveWorkbook = nullptr;

CompiledWorkbook* detail::workbookHolding(const Cell& cell) {
  return CompiledWorkbook::holding(cell);
}

CompiledWorkbook::CompiledWorkbook() : nextLive_(liveWorkbooks_) {
  liveWorkbooks_ = this;
  detail::soleLiveWorkbook = nextLive_ ? nullptr : this;
}

CompiledWorkbook::~CompiledWorkbook() {
  // Leaves the live list first: destroying the cells and trees asks no cell for its workbook.
  for (CompiledWorkbook** link = &liveWorkbooks_; *link; link = &(*link)->nextLive_)
    if (*link == this) {
      *link = nextLive_;
      break;
    }
  detail::soleLiveWorkbook = liveWorkbooks_ && !liveWorkbooks_->nextLive_ ? liveWorkbooks_ : nullptr;
  for (DefinedName& name : definedNames_)
    delete name.root;
  for (FormulaNode* root : formulaTemplates_)
    delete root;
  for (FormulaNode* root : sharedExpressions_)
    delete root;
}

// ---------------------------------------------------------------- sheets and lists

uint32_t CompiledWorkbook::addSheet(std::u16string name) {
  uint32_t index = sheets_.empty() ? 0 : sheets_.rbegin()->first + 1;
  SheetInfo info;
  info.name = std::move(name);
  setSheet(index, std::move(info));
  return index;
}

void CompiledWorkbook::setSheet(uint32_t index, SheetInfo info) {
  info.quotedName = quotedSheetName(info.name);
  info.upperName = toUpperText(info.name);
  sheets_[index] = std::move(info);
}

const SheetInfo* CompiledWorkbook::sheet(uint32_t index) const {
  auto it = sheets_.find(index);
  return it == sheets_.end() ? nullptr : &it->second;
}

int32_t CompiledWorkbook::sheetIndex(std::u16string_view name) const {
  std::u16string upper = toUpperText(name);
  for (const auto& [index, info] : sheets_)
    if (info.upperName == upper) return static_cast<int32_t>(index);
  return -1;
}

const SheetControl* CompiledWorkbook::control(uint32_t sheet, std::u16string_view name) const {
  auto s = controls_.find(sheet);
  if (s == controls_.end()) return nullptr;
  auto c = s->second.find(std::u16string(name));
  return c == s->second.end() ? nullptr : &c->second;
}

void CompiledWorkbook::addToAreaSet(const Area& area) {
  auto it = std::lower_bound(areaSet_.begin(), areaSet_.end(), area, AreaLess());
  if (it != areaSet_.end() && *it == area) return;
  areaSet_.insert(it, area);
}

namespace {
template <typename T> T* entryAt(std::vector<T>& list, int64_t index) {
  return index >= 0 && static_cast<uint64_t>(index) < list.size() ? &list[static_cast<size_t>(index)]
                                                                  : nullptr;
}
} // namespace

DefinedName* CompiledWorkbook::definedName(int64_t index) {
  return entryAt(definedNames_, index);
}

ExternalLink* CompiledWorkbook::externalLink(int64_t index) {
  ExternalLink* link = entryAt(externalLinks_, index);
  if (link && link->firstWithPath >= 0 && link->firstWithPath < index)
    return entryAt(externalLinks_, link->firstWithPath);
  return link;
}

DdeSource* CompiledWorkbook::ddeSource(int64_t index) {
  return entryAt(ddeSources_, index);
}

FormulaNode* CompiledWorkbook::formulaTemplate(int64_t index) {
  FormulaNode** entry = entryAt(formulaTemplates_, index);
  return entry ? *entry : nullptr;
}

FormulaNode* CompiledWorkbook::sharedExpression(int64_t index) {
  FormulaNode** entry = entryAt(sharedExpressions_, index);
  return entry ? *entry : nullptr;
}

int32_t CompiledWorkbook::findDefinedName(std::u16string_view name) const {
  for (size_t i = 0; i < definedNames_.size(); ++i)
    if (definedNames_[i].name == name) return static_cast<int32_t>(i);
  return -1;
}

// ---------------------------------------------------------------- cells

std::vector<Cell*> CompiledWorkbook::allCells() const {
  std::vector<Cell*> cells;
  cells.reserve(cellCount_);
  grid_.forEachCell([&](Cell& c) { cells.push_back(&c); });
  std::sort(cells.begin(), cells.end(), std::less<Cell*>());
  return cells;
}

CompiledWorkbook* CompiledWorkbook::holding(const Cell& cell) {
  if (detail::soleLiveWorkbook) return detail::soleLiveWorkbook;
  for (CompiledWorkbook* w = liveWorkbooks_; w; w = w->nextLive_)
    if (w->findCell(cell.address()) == &cell) return w;
  return nullptr;
}

Cell* CompiledWorkbook::findOrCreateCell(CellAddress address) {
  if (!address.isValid() || address.sheet() == CellAddress::kNoSheet) return nullptr;
  if (Cell* cell = grid_.find(address)) return cell;
  Cell** slot = grid_.slotFor(address);
  if (!slot) return nullptr;
  if (!*slot) {
    *slot = new Cell(CellAddress::make(address.sheet(), address.column(), address.rowIndex()));
    ++cellCount_;
  }
  return *slot;
}

void CompiledWorkbook::forEachCellIn(const Area& input, const std::function<void(Cell&)>& f) const {
  Area area = canonicalArea(input);
  if (!area.isValid() || !area.isOneSheet()) return;
  grid_.forEachCellIn(area.first.sheet(), area.first.column(), area.second.column(), area.first.rowIndex(),
                      area.second.rowIndex(), f);
}

void CompiledWorkbook::forEachCell(const std::function<void(Cell&)>& f) const {
  grid_.forEachCell(f);
}

// The array has the area's width and height. An area of more than kFullShapeAreaLimit cells (a whole
// column or sheet) is cut to the sheet's used rectangle, so that its cost follows the used cells and
// areas of one shape on one sheet keep one shape; the cut-off elements would all be Empty. Even so, more than
// kMaxLoadedAreaElements elements give "#NUM!" rather than exhausting memory.
void CompiledWorkbook::loadArea(const Area& input, CalcValue& result) const {
  Area area = canonicalArea(input);
  if (!area.isValid() || !area.isOneSheet()) {
    result.setError(ErrRef);
    return;
  }
  uint32_t c1 = area.first.column(), r1 = area.first.rowIndex();
  uint64_t width = uint64_t(area.second.column()) - c1 + 1;
  uint64_t height = uint64_t(area.second.rowIndex()) - r1 + 1;
  if (width * height > kFullShapeAreaLimit) {
    // A large area (whole columns or rows) is cut to the sheet's used rectangle, not to its own used
    // part, so that areas of the same shape on one sheet (A:A and B:B) load with the same shape.
    uint32_t lastColumn = c1, lastRow = r1;
    if (grid_.sheetExtent(area.first.sheet(), lastColumn, lastRow)) {
      lastColumn = std::clamp(lastColumn, c1, area.second.column());
      lastRow = std::clamp(lastRow, r1, area.second.rowIndex());
    } else {
      lastColumn = c1;
      lastRow = r1;
    }
    width = uint64_t(lastColumn) - c1 + 1;
    height = uint64_t(lastRow) - r1 + 1;
  }
  if (width * height > kMaxLoadedAreaElements) {
    result.setError(ErrNum);
    return;
  }
  CalcValue array;
  array.resizeArray(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  forEachCellIn(area, [&](Cell& cell) {
    if (!cell.value()) return;
    uint32_t c = cell.address().column() - c1, r = cell.address().rowIndex() - r1;
    if (c >= width || r >= height) return;
    if (CalcValue* element = array.element(c, r)) element->copyFrom(*cell.value());
  });
  result = std::move(array);
}

// Only inserts: removing from a set that is being filled out of order would sort it each time, and
// loading would grow quadratic. The operations that take a formula or the volatile flag away remove.
void CompiledWorkbook::enterCell(Cell& cell) {
  if (cell.hasFormula()) calculatedCells_.insert(&cell);
  if (cell.hasFlag(CellVolatile)) volatileCells_.insert(&cell);
  noteCellInUse(cell);
}

void CompiledWorkbook::leaveSets(Cell& cell) {
  if (!cell.hasFormula()) calculatedCells_.erase(&cell);
  if (!cell.hasFlag(CellVolatile)) volatileCells_.erase(&cell);
}

void CompiledWorkbook::setHostComputed(Cell& cell) {
  cell.setFlags(CellHostComputed);
  enterCell(cell);
}

void CompiledWorkbook::setVolatile(Cell& cell, bool on) {
  if (on) {
    cell.setFlags(CellVolatile);
    volatileCells_.insert(&cell);
  } else if (cell.hasFlag(CellVolatile)) {
    cell.clearFlags(CellVolatile);
    volatileCells_.erase(&cell);
  }
}

void CompiledWorkbook::noteCellInUse(Cell& cell) {
  if (!areaIndex_.empty()) areaIndex_.noteCell(cell);
}

// ---------------------------------------------------------------- links and areas

Recalculator& CompiledWorkbook::recalculator() {
  if (!recalculator_) recalculator_ = std::make_unique<Recalculator>(*this);
  return *recalculator_;
}

void CompiledWorkbook::prepareAfterLoad() {
  recalculator().prepareAfterLoad();
  // The sets grew cell by cell while loading; what they hold now is what they will mostly keep.
  calculatedCells_.shrinkToFit();
  volatileCells_.shrinkToFit();
}

bool CompiledWorkbook::recalculate(std::vector<Cell*> changed, bool refresh) {
  return recalculator().recalculate(std::move(changed), refresh);
}

bool CompiledWorkbook::link(Cell& reader, Cell& read) {
  bool added = insertByIdentity(reader.precedentCells(), &read);
  insertByIdentity(read.dependents(), &reader);
  if (added) {
    linksChanged_ = true;
    reader.clearFlags(CellOutsideAreas);
    read.clearFlags(CellOutsideAreas);
  }
  return added;
}

bool CompiledWorkbook::unlink(Cell& reader, Cell& read) {
  bool removed = eraseByIdentity(reader.precedentCells(), &read);
  eraseByIdentity(read.dependents(), &reader);
  if (removed) {
    linksChanged_ = true;
    reader.clearFlags(CellOutsideAreas);
    read.clearFlags(CellOutsideAreas);
  }
  return removed;
}

// A new area may contain cells that the dependents walk has cached as lying outside every area: the
// area index's walk takes that mark away, or a change in them would not reach the area's readers.
AreaEntry* CompiledWorkbook::registerArea(Cell& reader, const Area& area) {
  AreaEntry* entry = areaIndex_.enter(
      area, [this](const Area& a, const std::function<void(Cell&)>& f) { forEachCellIn(a, f); });
  if (!entry) return nullptr;
  if (insertByIdentity(entry->readers, &reader)) linksChanged_ = true;
  PointerList<AreaEntry*>& areas = reader.mutablePrecedentAreas();
  if (std::find(areas.begin(), areas.end(), entry) == areas.end()) areas.push_back(entry);
  return entry;
}

bool CompiledWorkbook::unregisterArea(Cell& reader, const Area& area) {
  AreaEntry* entry = areaIndex_.find(canonicalArea(area));
  if (!entry || reader.precedentAreas().empty()) return false;
  PointerList<AreaEntry*>& areas = reader.mutablePrecedentAreas();
  auto it = std::find(areas.begin(), areas.end(), entry);
  if (it == areas.end()) return false;
  areas.erase(it);
  eraseByIdentity(entry->readers, &reader);
  linksChanged_ = true;
  return true;
}

Area CompiledWorkbook::valueExtent(const Area& input) const {
  const AreaEntry* entry = areaIndex_.find(input);
  if (!entry || !entry->valueExtent.isValid()) {
    Area area = canonicalArea(input);
    return area.isValid() ? area : input;
  }
  const Area& extent = entry->valueExtent;
  const Area& area = entry->area;
  uint32_t sheet = area.first.sheet();
  return Area{extent.first, CellAddress::make(sheet, std::min(extent.second.column(), area.second.column()),
                                              std::min(extent.second.rowIndex(), area.second.rowIndex()))};
}

// ---------------------------------------------------------------- values

const CalcValue& CompiledWorkbook::cellValue(Cell& cell) {
  // A member of an array formula shows its element of the master's value.
  const Area* area = cell.isArrayMember() ? &cell.arrayArea() : nullptr;
  if (area && area->isValid() && cell.address() != area->first) {
    Cell* master = findCell(area->first);
    const CalcValue* whole = master ? master->value() : nullptr;
    // Cells outside the area wrap to huge offsets, which no array has. A single-column array is
    // repeated across the area's columns as a single row is repeated down its rows.
    uint32_t c = cell.address().column() - area->first.column();
    uint32_t r = cell.address().rowIndex() - area->first.rowIndex();
    if (whole && whole->isArray() && whole->arrayColumns() == 1 &&
        c < area->second.column() - area->first.column() + 1)
      c = 0;
    const CalcValue* element = whole ? whole->element(c, r) : nullptr;
    CalcValue& v = cell.ensureValue();
    if (element)
      v.copyFrom(*element);
    else
      v.setError(ErrNA);
  }
  const CalcValue* v = cell.value();
  return v ? *v : emptyValue();
}

void CompiledWorkbook::setCellValue(const CalcValue& value, Cell& cell) {
  cell.setValue(value);
}

bool CompiledWorkbook::detachFormula(Cell& cell) {
  if (cell.templateIndex() < 0 || !cellIndexMode_ || cell.parkedTemplateIndex() >= 0) return false;
  cell.setParkedTemplateIndex(cell.templateIndex());
  cell.setTemplateIndex(-1);
  leaveSets(cell);
  return true;
}

bool CompiledWorkbook::restoreFormula(Cell& cell) {
  if (cell.templateIndex() >= 0 || cell.parkedTemplateIndex() < 0) return false;
  cell.setTemplateIndex(cell.parkedTemplateIndex());
  cell.setParkedTemplateIndex(-1);
  enterCell(cell);
  return true;
}

// ---------------------------------------------------------------- evaluation

namespace {

// Makes a cell the context's current cell, with the array-formula mode it implies, for a scope.
class EvaluationScope {
public:
  explicit EvaluationScope(Cell& cell)
      : context_(evaluationContext()), savedCell_(context_.currentCell),
        savedMode_(context_.arrayFormulaMode) {
    context_.currentCell = &cell;
    context_.arrayFormulaMode = cell.hasFlag(CellArrayFormula);
  }
  ~EvaluationScope() {
    context_.currentCell = savedCell_;
    context_.arrayFormulaMode = savedMode_;
  }
  EvaluationScope(const EvaluationScope&) = delete;
  EvaluationScope& operator=(const EvaluationScope&) = delete;

private:
  EvaluationContext& context_;
  Cell* savedCell_;
  bool savedMode_;
};

// Copies the value of an existing cell into out (Empty when the cell is missing or has no value).
void copyCellValue(const CompiledWorkbook& workbook, CellAddress address, CalcValue& out) {
  Cell* cell = workbook.findCell(address);
  const CalcValue* v = cell ? cell->value() : nullptr;
  if (v && v != &out)
    out.copyFrom(*v);
  else if (!v)
    out.setEmpty();
}

} // namespace

// The result rules: a single-cell reference is that cell's value; an array keeps its first element
// outside array-formula mode, and has its reference elements resolved inside it; a union is no value;
// a remaining reference is loaded as an array in array-formula mode and otherwise yields the value
// where it meets the current cell's row or column; and an empty result is 0.
void CompiledWorkbook::evaluateFormula(Cell& cell) {
  bool arrayMode = evaluationContext().arrayFormulaMode;
  FormulaNode* root = formulaTemplate(cell.templateIndex());
  // Plain arithmetic on numbers goes the quick way; its result is a number, stored as any result is.
  if (root && !arrayMode && !cell.hasFlag(CellDynamicReferences))
    if (const ScalarProgram* program = scalarProgram(cell.templateIndex(), root)) {
      double x;
      if (program->run(cell, x)) {
        cell.ensureValue().setNumber(x);
        return;
      }
    }
  CalcValue result;
  if (root) {
    const CalcValue* r = root->evaluate();
    if (root->isUnion())
      result.setError(ErrValue);
    else if (r)
      result.copyFrom(*r);
  }
  if (result.isReference()) {
    Area area = result.referenceArea();
    if (area.isValid() && area.isOneSheet() && area.first == area.second) {
      CalcValue single;
      copyCellValue(*this, area.first, single);
      result = std::move(single);
    }
  }
  if (result.isArray()) {
    if (!arrayMode) {
      const CalcValue* first = result.element(0, 0);
      CalcValue kept;
      if (first) kept.copyFrom(*first);
      result = std::move(kept);
    } else if (CalcArray* a = result.array()) {
      for (uint32_t i = 0; i < a->count; ++i) {
        CalcValue& element = a->elements[i];
        if (element.isReference()) {
          CellAddress corner = element.referenceArea().first;
          CalcValue resolved;
          if (corner.isValid()) copyCellValue(*this, corner, resolved);
          element = std::move(resolved);
        }
      }
    }
  }
  if (result.isReference()) {
    Area area = result.referenceArea();
    if (arrayMode) {
      loadArea(area, result);
    } else if (!area.isValid() || !area.isOneSheet()) {
      result.setError(ErrRef);
    } else if (area.first == area.second) {
      Cell* target = findOrCreateCell(area.first);
      CalcValue single;
      if (target && target->value()) single.copyFrom(*target->value());
      result = std::move(single);
    } else {
      CalcValue single;
      valueForCell(
          area, cell.address(),
          [this](CellAddress a) -> const CalcValue* {
            Cell* c = findCell(a);
            return c ? c->value() : nullptr;
          },
          single);
      result = std::move(single);
    }
  }
  if (result.isEmpty()) result.setInteger(0);
  // An array formula shows an empty source cell as 0, like a single formula does.
  if (CalcArray* a = result.array(); a && result.isArray())
    for (uint32_t i = 0; i < a->count; ++i)
      if (a->elements[i].isEmpty()) a->elements[i].setInteger(0);
  cell.ensureValue() = std::move(result);
}

const ScalarProgram* CompiledWorkbook::scalarProgram(int32_t index, FormulaNode* root) {
  if (index < 0) return nullptr;
  if (static_cast<size_t>(index) >= scalarPrograms_.size()) {
    if (static_cast<size_t>(index) >= formulaTemplates_.size()) return nullptr;
    scalarPrograms_.resize(formulaTemplates_.size());
  }
  ScalarEntry& entry = scalarPrograms_[static_cast<size_t>(index)];
  if (entry.root != root) {
    entry.root = root;
    entry.program = ScalarProgram::compile(*root);
  }
  return entry.program.get();
}

bool CompiledWorkbook::evaluateCell(Cell& cell) {
  if (cell.hasFlag(CellEvaluated) || !cell.hasFlag(CellReached | CellDirtyInput))
    return cell.hasFlag(CellValueChanged);
  cell.setFlags(CellEvaluated);
  if (!cell.hasFormula()) return cell.hasFlag(CellValueChanged);
  // A data-table cell takes its value from the table's computation, never from its own formula.
  if ((cell.flags() & (CellArrayMaster | CellArrayFormula)) == CellArrayMaster)
    return cell.hasFlag(CellValueChanged);

  EvaluationScope scope(cell);
  ++state_.formulaEvaluations;
  CalcValue old;
  if (cell.value()) old.copyFrom(*cell.value());
  CalcValue& value = cell.ensureValue();
  const Area& area = cell.arrayArea();
  bool hostComputed = cell.hasFlag(CellHostComputed);
  // A failure while computing (a host failure, a fault in a function) leaves the value as it stands.
  bool failed = false;
  try {
    if (cell.isArrayMember() && area.isValid() && cell.address() != area.first) {
      cellValue(cell);
    } else if (hostComputed) {
      HostInterface* host = state_.host;
      bool computed = false;
      try {
        computed = host && host->calculateAndReadCell(cell.address(), value);
      } catch (...) {
        computed = false;
        failed = true;
      }
      if (!computed) {
        CalcValue shown;
        if (host && host->readCell(cell.address(), shown) == 1) value = shown;
        old.copyFrom(value); // what the host shows is no change
      }
    } else {
      evaluateFormula(cell);
      if (value.isArray() && !area.isValid()) {
        const CalcValue* first = value.element(0, 0);
        CalcValue kept;
        if (first) kept.copyFrom(*first);
        value = std::move(kept);
      }
    }
  } catch (...) {
    failed = true;
  }
  noteEvaluationOutcome(cell, failed);

  // Changes are detected exactly: kind, bits and case. A text that only changes case, or a number
  // that changes in its last digit, must still reach the host.
  if (!old.sameAs(value) || cell.hasFlag(CellHyperlinkPending)) {
    cell.setFlags(CellValueChanged);
    if (!hostComputed) reportChange(cell, &old);
  } else {
    cell.clearFlags(CellValueChanged);
  }
  return cell.hasFlag(CellValueChanged);
}

void CompiledWorkbook::noteEvaluationOutcome(Cell& cell, bool failed) {
  if (failed == cell.hasFlag(CellEvaluationFailed)) return;
  if (failed) {
    cell.setFlags(CellEvaluationFailed);
    ++state_.failedCells;
  } else {
    cell.clearFlags(CellEvaluationFailed);
    --state_.failedCells;
  }
}

void CompiledWorkbook::reportChange(Cell& cell, const CalcValue* oldValue) {
  if (cell.hasFlag(CellSuppressReport)) return;
  const Area& area = cell.arrayArea();
  const CalcValue* now = cell.value();
  if (oldValue && area.isValid() && area.isOneSheet() && now && now->isArray()) {
    uint32_t width = area.second.column() - area.first.column() + 1;
    uint32_t height = area.second.rowIndex() - area.first.rowIndex() + 1;
    if (now->arrayColumns() == width && now->arrayRows() == height) {
      uint32_t sheet = area.first.sheet();
      for (uint32_t r = 0; r < height; ++r)
        for (uint32_t c = 0; c < width; ++c) {
          if (!now->element(c, r) || !oldValue->element(c, r)) continue;
          Cell* member =
              findOrCreateCell(CellAddress::make(sheet, area.first.column() + c, area.first.rowIndex() + r));
          if (!member) continue;
          if (member != &cell && member->isArrayMember()) cellValue(*member);
          reportChange(*member, nullptr);
        }
      return;
    }
  }
  if (state_.reporting == ReportingMode::Immediate && !cell.hasFlag(CellHostComputed) && state_.host)
    state_.host->cellChanged(cell);
}

} // namespace cwbk
