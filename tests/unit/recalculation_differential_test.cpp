// Differential test of recalculation: random edits on generated workbooks must leave the same values as a
// fresh build with full preparation, every one of them reported to the host.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "recalculation_support.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

enum class Shape { Chain, Range, Branch, Mixed, Intersection, ArrayBlock, Moving };

struct GeneratedFormula {
  Shape shape;
  CellAddress at;
  std::vector<CellAddress> refs; // for Range and Intersection: the two corners
  double k = 0;
  uint32_t arrayRows = 0; // for ArrayBlock: the block's height
};

struct GeneratedWorkbook {
  uint32_t rows = 0;
  uint32_t columns = 0; // formula columns, after the input column 0
  std::vector<GeneratedFormula> formulas;
};

class Generator {
public:
  explicit Generator(uint32_t seed) : random_(seed) {}
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(random_() % n); }

  GeneratedWorkbook workbook() {
    GeneratedWorkbook layout;
    layout.rows = 4 + below(5);
    layout.columns = 2 + below(4);
    for (uint32_t c = 1; c <= layout.columns; ++c) {
      for (uint32_t r = 0; r < layout.rows; ++r) {
        if (below(6) == 0) continue; // leave some holes
        GeneratedFormula f;
        f.at = at(c, r);
        f.k = below(5);
        uint32_t pick = below(11);
        if (pick == 0 && r + 3 <= layout.rows) {
          f.shape = Shape::ArrayBlock;
          f.arrayRows = 3;
          f.refs = {at(below(c), r), at(0, r + 2)};
          f.refs[1] = at(f.refs[0].column(), r + 2);
          layout.formulas.push_back(f);
          r += 2;
          continue;
        }
        if (pick <= 3) {
          f.shape = Shape::Chain;
          f.refs = {earlier(layout, c)};
        } else if (pick <= 5) {
          f.shape = Shape::Range;
          uint32_t column = below(c), first = below(layout.rows);
          f.refs = {at(column, first), at(column, first + below(layout.rows - first))};
        } else if (pick <= 7) {
          f.shape = Shape::Branch;
          f.refs = {earlier(layout, c), earlier(layout, c), earlier(layout, c)};
        } else if (pick == 8) {
          f.shape = Shape::Mixed;
          f.refs = {earlier(layout, c), earlier(layout, c)};
        } else if (pick == 10) {
          // OFFSET(top of an earlier column, an input's rows): its reference moves with the input.
          f.shape = Shape::Moving;
          f.refs = {at(below(c), 0), at(0, below(layout.rows))};
        } else {
          f.shape = Shape::Intersection;
          uint32_t column = below(c);
          f.refs = {at(column, r > 0 ? r - 1 : 0), at(column, std::min(r + 1, layout.rows - 1))};
        }
        layout.formulas.push_back(f);
      }
    }
    return layout;
  }

private:
  CellAddress earlier(const GeneratedWorkbook& layout, uint32_t column) {
    return at(below(column), below(layout.rows));
  }
  std::mt19937 random_;
};

// Builds the layout's formulas and the inputs of column 0 into a workbook.
void build(const GeneratedWorkbook& layout, const std::vector<CalcValue>& inputs,
           CompiledWorkbook& workbook) {
  workbook.addSheet(u"Sheet1");
  TreeBuilder t{workbook};
  for (uint32_t r = 0; r < layout.rows; ++r)
    workbook.findOrCreateCell(at(0, r))->setValue(inputs[r]);
  for (const GeneratedFormula& f : layout.formulas) {
    const auto& x = f.refs;
    switch (f.shape) {
    case Shape::Chain:
      t.formula(f.at, t.add(t.ref(x[0]), t.num(f.k)));
      break;
    case Shape::Range:
      t.formula(f.at, t.sum({t.range(x[0], x[1]), t.num(f.k)}));
      break;
    case Shape::Branch:
      t.formula(f.at,
                t.call(u"IF", &ifImpl(),
                       {t.greater(t.ref(x[0]), t.num(f.k)), t.ref(x[1]), t.add(t.ref(x[2]), t.num(1))}));
      break;
    case Shape::Mixed:
      t.formula(f.at, t.add(t.op(ArithmeticNode::Multiply, t.ref(x[0]), t.num(f.k)), t.ref(x[1])));
      break;
    case Shape::Intersection:
      t.formula(f.at, t.add(t.range(x[0], x[1]), t.num(f.k)));
      break;
    case Shape::Moving:
      t.formula(f.at,
                t.add(t.call(u"OFFSET", &offsetImpl(), {t.ref(x[0]), t.ref(x[1]), t.num(0)}), t.num(f.k)),
                CellDynamicReferences);
      break;
    case Shape::ArrayBlock: {
      Area area{f.at, at(f.at.column(), f.at.rowIndex() + f.arrayRows - 1)};
      int32_t index = t.addTemplate(t.op(ArithmeticNode::Add, t.range(x[0], x[1]), t.num(f.k)));
      for (uint32_t i = 0; i < f.arrayRows; ++i)
        t.formulaCell(at(f.at.column(), f.at.rowIndex() + i), index,
                      CellArrayFormula | (i == 0 ? uint32_t(CellArrayMaster) : 0u))
            ->setArrayArea(area);
      break;
    }
    }
  }
}

std::vector<CellAddress> formulaAddresses(const GeneratedWorkbook& layout) {
  std::vector<CellAddress> out;
  for (const GeneratedFormula& f : layout.formulas)
    for (uint32_t i = 0; i < std::max(1u, f.arrayRows); ++i)
      out.push_back(at(f.at.column(), f.at.rowIndex() + i));
  return out;
}

// Computes every cell from scratch: a fresh build, the preparation, and every cell treated as changed.
void computeFresh(const GeneratedWorkbook& layout, const std::vector<CalcValue>& inputs,
                  CompiledWorkbook& workbook) {
  build(layout, inputs, workbook);
  workbook.prepareAfterLoad();
  workbook.recalculate(workbook.allCells(), false);
}

const CalcValue& valueAt(CompiledWorkbook& workbook, CellAddress a) {
  Cell* cell = workbook.findCell(a);
  return cell ? workbook.cellValue(*cell) : emptyValue();
}

std::string describe(const CalcValue& v) {
  return v.isNumber() ? std::to_string(v.numberValue()) : "kind " + std::to_string(int(v.kind()));
}

TEST(RecalculationDifferential, IncrementalEqualsFreshAndEveryChangeIsReported) {
  constexpr uint32_t kWorkbooks = 25;
  constexpr uint32_t kEdits = 12;
  for (uint32_t seed = 1; seed <= kWorkbooks; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Generator generate(seed);
    GeneratedWorkbook layout = generate.workbook();
    std::vector<CalcValue> inputs(layout.rows);
    for (CalcValue& v : inputs)
      v = CalcValue::number(generate.below(10));
    std::vector<CellAddress> formulas = formulaAddresses(layout);

    evaluationContext() = EvaluationContext{};
    MirrorHost host;
    CompiledWorkbook live;
    computeFresh(layout, inputs, live);
    live.state().host = &host;
    for (Cell* cell : live.allCells())
      host.shown[addressKey(cell->address())].copyFrom(live.cellValue(*cell));

    for (uint32_t edit = 0; edit < kEdits; ++edit) {
      SCOPED_TRACE("edit " + std::to_string(edit));
      std::vector<Cell*> changed;
      for (uint32_t n = 1 + generate.below(2); n > 0; --n) {
        uint32_t r = generate.below(layout.rows);
        inputs[r] = generate.below(8) == 0 ? CalcValue() : CalcValue::number(generate.below(10));
        Cell* cell = live.findOrCreateCell(at(0, r));
        cell->setValue(inputs[r]);
        host.shown[addressKey(cell->address())].copyFrom(inputs[r]);
        changed.push_back(cell);
      }
      live.recalculate(changed, false);

      evaluationContext() = EvaluationContext{};
      CompiledWorkbook fresh;
      computeFresh(layout, inputs, fresh);
      for (CellAddress a : formulas) {
        const CalcValue& now = valueAt(live, a);
        const CalcValue& expected = valueAt(fresh, a);
        ASSERT_TRUE(now.sameAs(expected)) << "stale cell " << a.column() << "," << a.rowIndex() << ": "
                                          << describe(now) << " vs " << describe(expected);
        const CalcValue& shown = host.shown[addressKey(a)];
        ASSERT_TRUE(shown.sameAs(now)) << "unreported change at " << a.column() << "," << a.rowIndex() << ": "
                                       << describe(shown) << " vs " << describe(now);
      }
    }
  }
  evaluationContext() = EvaluationContext{};
}

// Growing ranges: columns of aggregates over ranges from one first cell down to each row, over inputs
// and over formulas, and a row of aggregates over blocks that grow by whole columns. The inputs mix
// numbers whose sums depend on the order of the additions with texts, Booleans, errors and empty cells,
// and the edits hit the shared start of the ranges as often as their ends.
struct GrowingSheet {
  static constexpr int kRows = 24;
  static constexpr const char* kFunctions[] = {"SUM", "PRODUCT", "AVERAGE", "COUNT", "COUNTA",
                                               "MAX", "MIN",     "MAXA",    "MINA"};

  // Returns the text of an input value, empty for no cell.
  static std::string inputText(std::mt19937& random) {
    switch (random() % 12) {
    case 0:
      return "\"text\"";
    case 1:
      return "TRUE";
    case 2:
      return "#N/A";
    case 3:
      return "";
    case 4:
      return "1E+16";
    case 5:
      return "-1E+16";
    default:
      return std::to_string(int(random() % 19) - 9) + "." + std::to_string(random() % 10);
    }
  }

  // Returns the workbook text: inputs in column A, formulas over them in B, the aggregate columns from
  // C on, and the column-growing aggregates below.
  static std::string text(const std::vector<std::string>& inputs) {
    std::string t = "[sheets]\nSheet1\n[cells]\n";
    auto columnName = [](int c) { return std::string(1, char('A' + c)); };
    for (int r = 1; r <= kRows; ++r) {
      std::string row = std::to_string(r);
      if (!inputs[r - 1].empty()) t += "Sheet1!A" + row + ": " + inputs[r - 1] + "\n";
      t += "Sheet1!B" + row + ": =IF(ISNUMBER(A" + row + "),A" + row + "/7,A" + row + ")\n";
      int column = 2;
      for (const char* f : kFunctions)
        for (const char* source : {"A", "B"})
          t += "Sheet1!" + columnName(column++) + row + ": =" + f + "($" + source + "$1:" + source + row +
               ")\n";
    }
    for (int c = 0; c < 6; ++c)
      for (int k = 0; k < 3; ++k)
        t += "Sheet1!" + columnName(c) + std::to_string(kRows + 2 + k) + ": =" + kFunctions[k * 3] +
             "($A$1:" + columnName(c) + "$" + std::to_string(kRows) + ")\n";
    return t;
  }
};

std::unique_ptr<CompiledWorkbook> calculatedFresh(const std::vector<std::string>& inputs) {
  auto workbook = std::make_unique<CompiledWorkbook>();
  compiler::CompileOptions options;
  options.storeFormulaValues = false;
  compiler::loadStreamBytes(
      compiler::compileToStream(compiler::readTextWorkbook(GrowingSheet::text(inputs)), options), *workbook);
  compiler::calculateAll(*workbook);
  return workbook;
}

TEST(RecalculationDifferential, GrowingRangesEqualFreshLoadsAndFullWalks) {
  std::mt19937 random(21);
  std::vector<std::string> inputs(GrowingSheet::kRows);
  for (std::string& v : inputs)
    v = GrowingSheet::inputText(random);
  evaluationContext() = EvaluationContext{};
  std::unique_ptr<CompiledWorkbook> live = calculatedFresh(inputs);
  for (int edit = 0; edit < 30; ++edit) {
    SCOPED_TRACE("edit " + std::to_string(edit));
    std::vector<std::pair<CellAddress, CalcValue>> changes;
    for (int n = 1 + int(random() % 2); n > 0; --n) {
      // Half of the edits fall into the first rows, which every range shares.
      uint32_t r = random() % 2 ? random() % 3 : random() % GrowingSheet::kRows;
      inputs[r] = GrowingSheet::inputText(random);
      changes.emplace_back(at(0, r), compiler::parseInputValue(inputs[r]));
    }
    compiler::applyChanges(*live, changes);

    evaluationContext() = EvaluationContext{};
    std::unique_ptr<CompiledWorkbook> fresh = calculatedFresh(inputs);
    for (Cell* cell : live->calculatedCells().cells()) {
      CellAddress a = cell->address();
      std::string name = compiler::addressName(*live, a);
      CalcValue now(valueAt(*live, a));
      ASSERT_TRUE(now.sameAs(valueAt(*fresh, a)))
          << name << ": " << describe(now) << " vs a fresh load " << describe(valueAt(*fresh, a));
      // Outside a pass nothing is reused: the formula walks its whole range again.
      EvaluationContext& context = evaluationContext();
      context = EvaluationContext{};
      context.currentCell = cell;
      live->evaluateFormula(*cell);
      ASSERT_TRUE(now.sameAs(valueAt(*live, a)))
          << name << ": " << describe(now) << " vs a full walk " << describe(valueAt(*live, a));
    }
  }
  evaluationContext() = EvaluationContext{};
}

} // namespace
