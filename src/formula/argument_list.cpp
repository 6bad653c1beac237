// Argument lists: the process-wide stack of scratch blocks, cell values as arguments, error propagation
// and the shape and broadcasting rules of element-by-element evaluation.
#include "formula/argument_list.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "formula/cell.h"
#include "formula/compiled_workbook.h"

namespace cwbk {

// One block: the argument pointers with room for the terminating null, the nodes they came from, and
// the scratch values that hold arguments built during preparation.
struct ArgumentList::Block {
  const CalcValue* pointers[kMaxArguments + 1] = {};
  FormulaNode* nodes[kMaxArguments] = {};
  CalcValue values[kMaxArguments + 1];
  size_t count = 0;
  size_t usedValues = 0;
};

namespace {

// The blocks of the evaluations in progress, innermost last; blocks beyond `depth` are free.
struct BlockStack {
  std::vector<std::unique_ptr<ArgumentList::Block>> blocks;
  size_t depth = 0;
};

BlockStack& blockStack() {
  static BlockStack stack;
  return stack;
}

} // namespace

ArgumentList::ArgumentList() {
  BlockStack& stack = blockStack();
  if (stack.depth == stack.blocks.size()) stack.blocks.push_back(std::make_unique<Block>());
  block_ = stack.blocks[stack.depth].get();
  ++stack.depth;
  block_->count = 0;
  block_->usedValues = 0;
  block_->pointers[0] = nullptr;
}

ArgumentList::~ArgumentList() {
  for (size_t i = 0; i < block_->usedValues; ++i)
    block_->values[i].setEmpty(); // large arrays and texts are not kept alive by a free block
  block_->count = 0;
  block_->usedValues = 0;
  --blockStack().depth;
}

bool ArgumentList::push(const CalcValue* value, FormulaNode* node) {
  if (block_->count >= kMaxArguments) return false;
  if (!value) value = &emptyValue();
  if (value->isArray()) hasArray = true;
  block_->nodes[block_->count] = node;
  block_->pointers[block_->count++] = value;
  block_->pointers[block_->count] = nullptr;
  return true;
}

CalcValue* ArgumentList::scratch() {
  if (block_->usedValues >= kMaxArguments + 1) return nullptr;
  return &block_->values[block_->usedValues++];
}

bool ArgumentList::pushReference(const Area& area, FormulaNode* node) {
  if (block_->count >= kMaxArguments) return false;
  CalcValue* v = scratch();
  if (!v) return false;
  v->setReference(area);
  return push(v, node);
}

void ArgumentList::replace(size_t i, const CalcValue* value) {
  if (i < block_->count) block_->pointers[i] = value ? value : &emptyValue();
}

void ArgumentList::truncate(size_t n) {
  if (n >= block_->count) return;
  block_->count = n;
  block_->pointers[n] = nullptr;
}

const CalcValue* const* ArgumentList::data() const {
  return block_->pointers;
}

size_t ArgumentList::size() const {
  return block_->count;
}

const CalcValue* ArgumentList::operator[](size_t i) const {
  return i < block_->count ? block_->pointers[i] : nullptr;
}

FormulaNode* ArgumentList::node(size_t i) const {
  return i < block_->count ? block_->nodes[i] : nullptr;
}

// ---------------------------------------------------------------- cell values

namespace {

const CalcValue& asArgument(const CalcValue* v) {
  if (!v) return emptyValue();
  if (v->isArray()) {
    const CalcValue* first = v->element(0, 0);
    return first ? *first : emptyValue();
  }
  return *v;
}

} // namespace

// The model gives a member of an array formula its element of the master's value.
const CalcValue& cellArgumentValue(CellAddress address) {
  CompiledWorkbook* workbook = evaluationWorkbook();
  Cell* cell = workbook ? workbook->findCell(address) : nullptr;
  return cell ? asArgument(&workbook->cellValue(*cell)) : emptyValue();
}

const CalcValue& cellArgumentValueCreating(CellAddress address) {
  CompiledWorkbook* workbook = evaluationWorkbook();
  Cell* cell = workbook ? workbook->findOrCreateCell(address) : nullptr;
  if (!cell) return emptyValue();
  cell->ensureValue();
  return asArgument(&workbook->cellValue(*cell));
}

// ---------------------------------------------------------------- error propagation

bool propagateErrors(const CalcValue* const* arguments, CalcValue& result, ErrorReading reading,
                     uint64_t mask) {
  if (!arguments) return false;
  bool functions = reading == ErrorReading::Functions;
  for (size_t i = 0; const CalcValue* a = arguments[i]; ++i) {
    const CalcValue& v = *a;
    // Only errors and references can give one; the others need no look at the mask.
    if (!v.isErrorValue() && !v.isReference()) continue;
    bool selected = i < 64 ? ((mask >> i) & 1) != 0 : mask == ~uint64_t(0);
    if (!selected) continue;
    if (v.isErrorValue()) {
      result.copyFrom(v);
      return true;
    }
    if (!v.isReference()) continue;
    Area area = functions ? canonicalReferenceArea(v.referenceArea()) : v.referenceArea();
    if (!area.isValid() || !area.isOneSheet()) {
      result.setError(ErrRef);
      return true;
    }
    if (area.first == area.second) {
      const CalcValue& cell = cellArgumentValue(area.first);
      if (functions ? cell.isErrorValue() : cell.isError()) {
        result.copyFrom(cell);
        return true;
      }
    }
  }
  return false;
}

// ---------------------------------------------------------------- elements

const CalcValue* plainArgumentElement(const CalcValue& argument, uint32_t column, uint32_t row) {
  if (!argument.isReference()) return argument.element(column, row);
  Area area = argument.referenceArea();
  if (!area.isValid()) return nullptr;
  uint64_t width = uint64_t(area.second.column()) - area.first.column() + 1;
  uint64_t height = uint64_t(area.second.rowIndex()) - area.first.rowIndex() + 1;
  if (area.second.column() < area.first.column() || area.second.rowIndex() < area.first.rowIndex())
    return nullptr;
  if (column >= width || row >= height) return nullptr;
  return &cellArgumentValue(
      CellAddress::make(area.first.sheet(), area.first.column() + column, area.first.rowIndex() + row));
}

namespace detail {

const CalcValue& notAvailableValue() {
  static const CalcValue value = CalcValue::error(ErrNA);
  return value;
}

namespace {

// Returns the width and height an argument gives the result.
void extentOf(const CalcValue& v, uint64_t& columns, uint64_t& rows) {
  columns = rows = 1;
  if (v.isReference()) {
    Area area = v.referenceArea();
    if (!area.isValid()) return;
    if (area.second.column() >= area.first.column())
      columns = uint64_t(area.second.column()) - area.first.column() + 1;
    if (area.second.rowIndex() >= area.first.rowIndex())
      rows = uint64_t(area.second.rowIndex()) - area.first.rowIndex() + 1;
  } else if (v.isArray() || v.isReferenceList()) {
    columns = v.arrayColumns();
    rows = v.arrayRows();
  }
}

} // namespace

bool elementwiseShape(const CalcValue* const* arguments, const bool* passWhole, uint32_t& columns,
                      uint32_t& rows) {
  uint64_t width = 1, height = 1;
  size_t i = 0;
  for (const CalcValue* const* a = arguments; a && *a; ++a, ++i) {
    if (passWhole && passWhole[i]) continue;
    uint64_t c = 1, r = 1;
    extentOf(**a, c, r);
    width = std::max(width, c);
    height = std::max(height, r);
  }
  if (width * height > kMaxElementwiseCells) return false;
  columns = static_cast<uint32_t>(width);
  rows = static_cast<uint32_t>(height);
  return true;
}

bool broadcastPosition(const CalcValue& argument, uint32_t& column, uint32_t& row) {
  if (argument.isArray()) {
    if (argument.arrayColumns() == 1) column = 0;
    if (argument.arrayRows() == 1) row = 0;
    return true;
  }
  if (argument.isReference()) {
    Area area = argument.referenceArea();
    // An area spanning two sheets is read where it stands; the others repeat a single row or column.
    if (!area.isValid() || !area.isOneSheet()) return true;
    if (area.first.column() == area.second.column()) column = 0;
    if (area.first.rowIndex() == area.second.rowIndex()) row = 0;
    uint64_t columns = 1, rows = 1;
    extentOf(argument, columns, rows);
    return column < columns && row < rows;
  }
  return true;
}

} // namespace detail

} // namespace cwbk
