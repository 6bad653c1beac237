// The database worksheet functions DSUM, DMIN and DGET. A database is an area whose first row names the
// fields and whose further rows are records. A criteria area's first row names fields too; each further
// row is a set of conditions that a record must all meet, and a record is selected when it meets any
// row (a row without conditions is met by every record). A condition under a header that names no field
// is computed: the criteria cell's formula is evaluated for each record as though its references into
// the database stood in that record's row. The cells it borrows for that, the criteria cell itself and
// the recalculation caches are put back after every evaluation, and nothing of it reaches the host.
#include "functions/database.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formula/argument_list.h"
#include "formula/criteria.h"
#include "formula/recalculation.h"
#include "functions/arguments.h"
#include "platform/text_services.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// Returns the offset of the first header cell of the database whose display text is not empty and
// equals the name without regard to case, or -1. Only the header cells that exist are read.
int64_t headerOffset(const EvaluationContext& context, const Area& database, std::u16string_view name) {
  int64_t offset = -1;
  if (name.empty()) return offset;
  CalcValue headers;
  headers.setReference(database.first, CellAddress::make(database.first.sheet(), database.second.column(),
                                                         database.first.rowIndex()));
  walkReference(context, headers, [&](const CalcValue& v, Cell& cell) {
    std::u16string header = displayText(v);
    if (header.empty() || !equalIgnoringCase(header, name)) return true;
    offset = cell.address().column() - database.first.column();
    return false;
  });
  return offset;
}

// Returns the existing cells of an area, row by row and left to right within a row.
std::vector<Cell*> cellsInRows(const EvaluationContext& context, const Area& area) {
  CalcValue ref;
  ref.setReference(area);
  std::vector<Cell*> cells;
  walkReference(context, ref, [&](const CalcValue&, Cell& cell) {
    cells.push_back(&cell);
    return true;
  });
  std::stable_sort(cells.begin(), cells.end(), [](const Cell* x, const Cell* y) {
    return x->address().rowIndex() < y->address().rowIndex();
  });
  return cells;
}

// Returns true for a Reference to one area on one sheet of more than one row; `area` gets it.
bool tableArea(const CalcValue* v, Area& area) {
  return v && v->isReference() && oneSheetArea(*v, area) && areaHeight(area) > 1;
}

// Takes the field argument as a column offset of the database: a text names a header, a number or
// logical value counts the columns from 1 (truncated), a single cell stands for its value. Returns
// false with the result set: the field's own error, or "#VALUE!" for anything else, a column outside
// the database included.
bool fieldColumn(const EvaluationContext& context, const CalcValue& argument, const Area& database,
                 int64_t& offset, CalcValue& result) {
  const CalcValue* field = &argument;
  if (argument.isReference()) field = cellValueOfSingleRef(argument);
  if (!field) return false;
  if (errorCodeOf(*field) != 0) {
    setErrorOf(*field, result);
    return false;
  }
  if (field->isText()) {
    offset = headerOffset(context, database, field->textView());
  } else if (field->isNumber() || field->isBoolean()) {
    double n = field->isBoolean() ? (field->booleanValue() ? 1 : 0) : field->numberValue();
    offset = n >= 1 && n < 1e6 ? static_cast<int64_t>(n) - 1 : -1;
  } else {
    offset = -1;
  }
  return offset >= 0 && offset < static_cast<int64_t>(areaWidth(database));
}

// A database cell that a computed condition's formula reads, with its row relative to the first record:
// for the record in row r it shows the cell of its column in row r + rowOffset.
struct BorrowedCell {
  Cell* cell;
  int64_t rowOffset;
};

// One condition of a criteria row: a criterion on a database column, or a computed one.
struct Condition {
  bool computed = false;
  uint32_t column = 0; // database column offset of a column condition
  Criterion criterion;
  Cell* cell = nullptr; // the criteria cell of a computed condition with a formula of its own
  CalcValue constant;   // the value of a computed condition without one
  std::vector<BorrowedCell> borrowed;
};

// Returns the criterion of a criteria cell's value. A text without an operator selects the texts that
// begin with it, as a filter does; "=text" selects the text itself.
Criterion columnCriterion(const CalcValue& value) {
  Criterion criterion = compileCriterion(value);
  if (criterion.comparison == CriterionOperator::Equal && criterion.prefixLength == 0 &&
      criterion.operand.isText() && criterion.operand.textLength() > 0)
    return compileCriterion(CalcValue::text(u"=" + std::u16string(criterion.operand.textView()) + u"*"));
  return criterion;
}

// The criteria cells whose formulas are being evaluated for a database function, innermost last. A
// criteria formula that reaches its own cell again (through another database function) reads the value
// the cell holds instead of starting over.
std::vector<Cell*>& cellsUnderEvaluation() {
  static std::vector<Cell*> cells;
  return cells;
}

// Evaluates a computed condition's formula for one record with the borrowed cells showing that record's
// row, and puts everything back afterwards, also when the evaluation throws: the borrowed cells' and
// the criteria cell's values, the current cell and the recalculation caches, which the workbook keeps
// aside for the whole call (see CachesAside) and which are emptied of what this evaluation filled.
class BorrowedEvaluation {
public:
  // Takes the record's values for the borrowed cells and saves what every touched cell holds; nothing
  // changes before run().
  BorrowedEvaluation(CompiledWorkbook& workbook, const Condition& condition, uint32_t recordRow)
      : workbook_(workbook), condition_(condition), sources_(condition.borrowed.size()) {
    for (size_t i = 0; i < sources_.size(); ++i) {
      const BorrowedCell& b = condition.borrowed[i];
      int64_t row = int64_t(recordRow) + b.rowOffset;
      if (row < 0 || row > CellAddress::kRowMask) continue;
      CellAddress at = b.cell->address();
      if (Cell* source = workbook.findCell(CellAddress::make(at.sheet(), at.column(), uint32_t(row))))
        sources_[i].copyFrom(cellArgument(*source));
    }
    saved_.reserve(sources_.size() + 1);
    save(*condition.cell);
    for (const BorrowedCell& b : condition.borrowed)
      save(*b.cell);
    cellsUnderEvaluation().push_back(condition.cell);
  }
  ~BorrowedEvaluation() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->had)
        it->cell->ensureValue().copyFrom(it->value);
      else
        it->cell->clearValue();
    }
    evaluationContext().currentCell = savedCurrent_;
    evaluationContext().arrayFormulaMode = savedArrayMode_;
    workbook_.state().clearCaches();
    cellsUnderEvaluation().pop_back();
  }
  BorrowedEvaluation(const BorrowedEvaluation&) = delete;
  BorrowedEvaluation& operator=(const BorrowedEvaluation&) = delete;

  // Returns the criteria cell's value computed for the record (what it held when the formula failed).
  CalcValue run() {
    // Every source was read before any borrowed cell is written: one can be another's source.
    for (size_t i = 0; i < sources_.size(); ++i)
      condition_.borrowed[i].cell->ensureValue().copyFrom(sources_[i]);
    EvaluationContext& context = evaluationContext();
    context.currentCell = condition_.cell;
    context.arrayFormulaMode = false;
    try {
      workbook_.evaluateFormula(*condition_.cell);
    } catch (...) {
      // A failing formula leaves the value as it stood, which the condition then reads.
    }
    CalcValue computed;
    if (const CalcValue* v = condition_.cell->value()) computed.copyFrom(*v);
    return computed;
  }

private:
  struct Saved {
    Cell* cell;
    bool had;
    CalcValue value;
  };
  void save(Cell& cell) {
    saved_.push_back({&cell, cell.value() != nullptr, {}});
    if (cell.value()) saved_.back().value.copyFrom(*cell.value());
  }

  CompiledWorkbook& workbook_;
  const Condition& condition_;
  std::vector<CalcValue> sources_;
  std::vector<Saved> saved_;
  Cell* savedCurrent_ = evaluationContext().currentCell;
  bool savedArrayMode_ = evaluationContext().arrayFormulaMode;
};

// Keeps the workbook's recalculation caches aside while computed conditions evaluate formulas over
// borrowed values, so that nothing computed from those values outlives the call.
class CachesAside {
public:
  explicit CachesAside(CompiledWorkbook* workbook) : workbook_(workbook) {
    if (workbook_)
      for (size_t i = 0; i < kCacheKinds; ++i)
        saved_[i] = std::move(workbook_->state().caches[i]);
  }
  ~CachesAside() {
    if (workbook_)
      for (size_t i = 0; i < kCacheKinds; ++i)
        workbook_->state().caches[i] = std::move(saved_[i]);
  }
  CachesAside(const CachesAside&) = delete;
  CachesAside& operator=(const CachesAside&) = delete;

private:
  CompiledWorkbook* workbook_;
  std::unique_ptr<RecalculationCache> saved_[kCacheKinds];
};

// Returns true when a computed value counts as met: a number or logical value that is not 0, the true
// text in any case, an array by its first element; anything else (an error, a reference) is not.
bool truthOf(const CalcValue& v) {
  if (v.isNumber()) return v.numberValue() != 0;
  if (v.isBoolean()) return v.booleanValue();
  if (v.isText()) return equalIgnoringCase(v.textView(), displayText(CalcValue::boolean(true)));
  if (v.isArray()) {
    const CalcValue* first = v.element(0, 0);
    return first && truthOf(*first);
  }
  return false;
}

// The records of a database that the criteria select, as the addresses of their field cells.
class Selection {
public:
  // Compiles the criteria; the database and criteria areas are one-sheet areas of two rows or more.
  // Only the criteria cells that exist are read: a cell that does not exist, like an empty one, sets
  // no condition, and a criteria row of such cells alone is met by every record.
  Selection(const EvaluationContext& context, const Area& database, const Area& criteria)
      : context_(context), database_(database) {
    workbook_ = context.cellWorkbook();
    uint32_t sheet = criteria.first.sheet(), headerRow = criteria.first.rowIndex();
    std::map<uint32_t, int64_t> fields; // criteria column -> database column offset, or -1
    auto fieldOf = [&](uint32_t column) {
      auto it = fields.find(column);
      if (it == fields.end()) {
        std::u16string header =
            displayText(cellValueIn(context, CellAddress::make(sheet, column, headerRow)));
        it = fields.emplace(column, headerOffset(context, database, header)).first;
      }
      return it->second;
    };
    Area body{CellAddress::make(sheet, criteria.first.column(), headerRow + 1), criteria.second};
    uint32_t rowsWithCells = 0, lastRow = headerRow;
    for (Cell* cell : cellsInRows(context, body)) {
      CellAddress at = cell->address();
      if (at.rowIndex() != lastRow) {
        rows_.emplace_back();
        lastRow = at.rowIndex();
        ++rowsWithCells;
      }
      const CalcValue& value = cellArgument(*cell);
      int64_t field = fieldOf(at.column());
      if (field >= 0) {
        if (value.isEmpty()) continue;
        Condition& condition = rows_.back().emplace_back();
        condition.column = static_cast<uint32_t>(field);
        condition.criterion = columnCriterion(value);
      } else if (!value.isEmpty() || cell->hasFormula()) {
        rows_.back().push_back(computedCondition(*cell, value));
      }
    }
    if (rowsWithCells < areaHeight(criteria) - 1) rows_.emplace_back();
  }

  // Returns the field cells of the selected records, in record order.
  std::vector<CellAddress> select(uint32_t fieldOffset) {
    std::vector<CellAddress> selected;
    uint32_t sheet = database_.first.sheet(), column = database_.first.column() + fieldOffset;
    CachesAside caches(computesFormulas_ ? workbook_ : nullptr);
    uint32_t lastRow = lastRecordRow();
    for (uint32_t r = database_.first.rowIndex() + 1; r <= lastRow; ++r)
      for (const std::vector<Condition>& row : rows_)
        if (meets(row, r)) {
          selected.push_back(CellAddress::make(sheet, column, r));
          break;
        }
    return selected;
  }

private:
  // Returns the computed condition of a criteria cell under a header that names no field.
  Condition computedCondition(Cell& cell, const CalcValue& value) {
    Condition condition;
    condition.computed = true;
    if (cell.templateIndex() < 0 || cell.hasFlag(CellHostComputed)) {
      condition.constant.copyFrom(value);
      if (cell.hasFlag(CellHostComputed)) condition.constant.setBoolean(false);
      return condition;
    }
    condition.cell = &cell;
    uint32_t firstRecord = database_.first.rowIndex() + 1;
    for (Cell* read : workbook_->recalculator().collectReferences(cell, false).cells) {
      CellAddress a = read->address();
      if (a.sheet() == database_.first.sheet() && a.column() >= database_.first.column() &&
          a.column() <= database_.second.column() && a.rowIndex() >= database_.first.rowIndex() &&
          a.rowIndex() <= database_.second.rowIndex())
        condition.borrowed.push_back({read, int64_t(a.rowIndex()) - int64_t(firstRecord)});
    }
    // A formula that reads nothing of the database has nothing to compute per record: never met.
    if (condition.borrowed.empty()) {
      condition.cell = nullptr;
      condition.constant.setBoolean(false);
    } else {
      computesFormulas_ = true;
    }
    return condition;
  }

  // Returns the last row holding a record cell that exists (the records below it are all empty).
  uint32_t lastRecordRow() {
    uint32_t last = database_.first.rowIndex();
    CalcValue ref;
    ref.setReference(database_);
    walkReference(context_, ref, [&](const CalcValue&, Cell& cell) {
      last = std::max(last, cell.address().rowIndex());
      return true;
    });
    return last;
  }

  // Returns true when a record meets every condition of a criteria row (a row without conditions is
  // met by every record).
  bool meets(const std::vector<Condition>& row, uint32_t recordRow) {
    for (const Condition& condition : row) {
      if (!condition.computed) {
        CellAddress at = CellAddress::make(database_.first.sheet(),
                                           database_.first.column() + condition.column, recordRow);
        if (!matchCriterion(condition.criterion, cellValueIn(context_, at))) return false;
        continue;
      }
      CalcValue computed;
      if (!condition.cell) {
        computed.copyFrom(condition.constant);
      } else if (std::find(cellsUnderEvaluation().begin(), cellsUnderEvaluation().end(), condition.cell) !=
                 cellsUnderEvaluation().end()) {
        if (const CalcValue* v = condition.cell->value()) computed.copyFrom(*v);
      } else {
        BorrowedEvaluation evaluation(*workbook_, condition, recordRow);
        computed = evaluation.run();
      }
      if (!computed.isEmpty() && !truthOf(computed)) return false;
    }
    return true;
  }

  const EvaluationContext& context_;
  CompiledWorkbook* workbook_ = nullptr;
  Area database_;
  std::vector<std::vector<Condition>> rows_;
  bool computesFormulas_ = false;
};

// Prepares a database call: the database, the field's column and the criteria. Returns false with the
// result set ("#VALUE!", or the field's own error).
bool prepare(const EvaluationContext& context, const CalcValue* const* args, Area& database, int64_t& field,
             Area& criteria, CalcValue& result) {
  result.setError(ErrValue);
  const CalcValue* fieldArgument = argumentAt(args, 1);
  return tableArea(argumentAt(args, 0), database) && fieldArgument &&
         fieldColumn(context, *fieldArgument, database, field, result) &&
         tableArea(argumentAt(args, 2), criteria);
}

// DSUM(database, field, criteria): the sum of the numbers in the field of the selected records; other
// values are passed over.
void dsumFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  Area database, criteria;
  int64_t field = 0;
  if (!prepare(context, args, database, field, criteria, result)) return;
  std::vector<CellAddress> selected =
      Selection(context, database, criteria).select(static_cast<uint32_t>(field));
  CalcValue sum;
  sum.setInteger(0);
  for (CellAddress at : selected) {
    const CalcValue& v = cellValueIn(context, at);
    if (v.isNumber()) addToSum(sum, v.numberValue());
  }
  setNumberResult(result, sum.numberValue());
}

// DMIN(database, field, criteria): the smallest number in the field of the selected records, 0 when
// there is none. A text that reads as a number counts as that number; an error, or a text naming one,
// becomes the result.
void dminFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  Area database, criteria;
  int64_t field = 0;
  if (!prepare(context, args, database, field, criteria, result)) return;
  std::vector<CellAddress> selected =
      Selection(context, database, criteria).select(static_cast<uint32_t>(field));
  bool found = false;
  double smallest = 0;
  for (CellAddress at : selected) {
    const CalcValue& v = cellValueIn(context, at);
    if (errorCodeOf(v) != 0) return setErrorOf(v, result);
    double x = 0;
    if (v.isBoolean() || v.isEmpty() || !valueNumber(v, x)) continue;
    if (!found || x < smallest) smallest = x;
    found = true;
  }
  setNumberResult(result, smallest);
}

// DGET(database, field, criteria): the field of the one selected record; no record is "#VALUE!", more
// than one "#NUM!".
void dgetFunction(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) {
  Area database, criteria;
  int64_t field = 0;
  if (!prepare(context, args, database, field, criteria, result)) return;
  std::vector<CellAddress> selected =
      Selection(context, database, criteria).select(static_cast<uint32_t>(field));
  if (selected.size() > 1) return result.setError(ErrNum);
  CompiledWorkbook* workbook = context.cellWorkbook();
  Cell* cell = selected.empty() || !workbook ? nullptr : workbook->findCell(selected.front());
  if (cell) result.copyFrom(cellArgument(*cell));
}

} // namespace

std::span<const ImplementationRow> databaseRoutines() {
  static constexpr ImplementationRow rows[] = {
      {u"DGET", dgetFunction},
      {u"DMIN", dminFunction},
      {u"DSUM", dsumFunction},
  };
  return rows;
}

} // namespace cwbk
