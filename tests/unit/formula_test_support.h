// Shared by the tests of the worksheet-function families: a formula as text is parsed and compiled
// into a small workbook of input cells, evaluated in the formula cell Sheet1!Z100, and checked against
// its expected value; a family's test is a table of such rows.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/text_workbook.h"
#include "compiler/workbook_compiler.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/reference.h"
#include "values/conversions.h"

#include "function_test_support.h"

namespace cwbk::formula_testing {

using function_testing::err;
using function_testing::num;
using function_testing::txt;
inline CalcValue boolean(bool b) {
  return CalcValue::boolean(b);
}
// Returns an array value given row by row.
inline CalcValue array(std::initializer_list<std::initializer_list<CalcValue>> rows) {
  CalcValue a;
  a.resizeArray(static_cast<uint32_t>(rows.begin()->size()), static_cast<uint32_t>(rows.size()));
  uint32_t r = 0;
  for (const auto& row : rows) {
    uint32_t c = 0;
    for (const CalcValue& v : row)
      *a.element(c++, r) = v;
    ++r;
  }
  return a;
}
// Returns the reference value of an A1 area on a sheet (0 is Sheet1), e.g. ref(u"B2:C3").
inline CalcValue ref(std::u16string_view a1, uint32_t sheet = 0) {
  ParsedArea area = parseArea(a1, sheet);
  CalcValue v;
  v.setReference(area.first, area.second);
  return v;
}

// Returns a value as a failure message shows it: numbers with every digit, texts quoted, references
// as corners, arrays element by element.
inline std::string describe(const CalcValue& v) {
  auto corner = [](CellAddress a) {
    return "[" + std::to_string(a.sheet()) + "]R" + std::to_string(a.rowIndex() + 1) + "C" +
           std::to_string(a.column() + 1);
  };
  if (v.isNumber()) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", v.numberValue());
    return buffer;
  }
  if (v.isText()) return "\"" + utf16ToUtf8(v.textView()) + "\"";
  if (v.isReference()) return "reference " + corner(v.firstCorner()) + ":" + corner(v.secondCorner());
  if (v.isArray()) {
    std::string out = "{";
    for (uint32_t r = 0; r < v.arrayRows(); ++r)
      for (uint32_t c = 0; c < v.arrayColumns(); ++c) {
        if (r + c > 0) out += c == 0 ? ";" : ",";
        out += describe(*v.element(c, r));
      }
    return out + "}";
  }
  if (v.isEmpty()) return "(empty)";
  return utf16ToUtf8(displayText(v));
}

// Returns true when a value is what a row expects: numbers within a relative 1e-14 (below 1 in size,
// within that absolute distance) or bit-equal when exact, everything else by kind and payload.
inline bool matches(const CalcValue& got, const CalcValue& expected, bool exact) {
  if (got.isNumber() && expected.isNumber()) {
    double x = got.numberValue(), y = expected.numberValue();
    return exact ? x == y : std::fabs(x - y) <= 1e-14 * std::max(1.0, std::fabs(y));
  }
  if (got.isArray() && expected.isArray()) {
    if (got.arrayColumns() != expected.arrayColumns() || got.arrayRows() != expected.arrayRows())
      return false;
    for (uint32_t r = 0; r < got.arrayRows(); ++r)
      for (uint32_t c = 0; c < got.arrayColumns(); ++c)
        if (!matches(*got.element(c, r), *expected.element(c, r), exact)) return false;
    return true;
  }
  return got.sameAs(expected);
}

// One row of a family's table: the formula as typed into the formula cell and the value it gives.
// "=..." is an ordinary formula: its value is the formula's own result before the cell keeps it (a
// reference stays a reference, an array an array). "{=...}" enters it as an array formula over as many
// cells, from Z100 on, as the expected array has elements, and checks each cell.
struct FormulaCase {
  std::string formula;
  CalcValue expected;
  bool exact = false; // numbers must be bit-equal rather than within a relative 1e-14
};

// The fixture: a workbook of Sheet1 and Sheet2 with the inputs a family's formulas read, given in the
// text workbook format (docs/text-workbook-format.md) and compiled afresh with each formula, so that no
// row sees what another left behind.
class FormulaTest : public ::testing::Test {
protected:
  explicit FormulaTest(std::string inputs = {}) : inputs_(std::move(inputs)) {}

  void SetUp() override { evaluationContext() = EvaluationContext{}; }
  void TearDown() override {
    evaluationContext() = EvaluationContext{};
    workbook_.reset();
  }

  // Compiles the inputs with the formula in Sheet1!Z100 (an array formula over `area` when given) and
  // makes it the current cell. Returns false, with a test failure, when the formula does not compile.
  bool load(std::string_view formula, std::string_view area = "Z100") {
    std::string text = "[sheets]\nSheet1\nSheet2\n[cells]\n" + inputs_ + "\n[cells]\nSheet1!" +
                       std::string(area) + ": " + std::string(formula) + "\n";
    workbook_ = std::make_unique<CompiledWorkbook>();
    try {
      compiler::CompileOptions options;
      options.storeFormulaValues = false;
      compiler::loadStreamBytes(
          compiler::compileToStream(compiler::readTextWorkbook(text, "inputs"), options), *workbook_);
    } catch (const std::exception& e) {
      ADD_FAILURE() << formula << ": " << e.what();
      return false;
    }
    EvaluationContext& context = evaluationContext();
    context.workbook = workbook_.get();
    context.currentCell = workbook_->findCell(parseCell(u"Z100", 0));
    context.arrayFormulaMode = false;
    return context.currentCell != nullptr;
  }

  // Returns the result of an ordinary formula ("=..."), evaluated once in Z100.
  CalcValue evaluate(std::string_view formula) {
    if (!load(formula)) return CalcValue();
    Cell* cell = evaluationContext().currentCell;
    FormulaNode* root = workbook_->formulaTemplate(cell->templateIndex());
    if (root == nullptr) {
      ADD_FAILURE() << formula << ": no formula was compiled";
      return CalcValue();
    }
    const CalcValue* v = root->evaluate();
    return v ? *v : CalcValue();
  }

  // Returns the values of the cells of an array formula ("{=...}") over `columns` by `rows` cells from
  // Z100, after a full calculation, as an array.
  CalcValue evaluateArray(std::string_view formula, uint32_t columns, uint32_t rows) {
    const uint32_t column = 25, row = 99; // Z100
    std::string area = "Z100:" + compiler::cellName(row + rows - 1, column + columns - 1);
    if (!load(formula, area)) return CalcValue();
    workbook_->prepareAfterLoad();
    workbook_->recalculate(workbook_->calculatedCells().cells(), true);
    CalcValue values;
    values.resizeArray(columns, rows);
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < columns; ++c) {
        Cell* cell = workbook_->findCell(CellAddress::make(0, column + c, row + r));
        if (cell == nullptr) continue;
        // The master keeps the whole array; what its cell shows is the first element.
        const CalcValue& shown = workbook_->cellValue(*cell);
        const CalcValue* element = shown.isArray() ? shown.element(0, 0) : &shown;
        if (element) *values.element(c, r) = *element;
      }
    return values;
  }

  // Checks every row; a failure names the formula, the expected and the computed value.
  void check(const std::vector<FormulaCase>& cases) {
    for (const FormulaCase& c : cases) {
      bool isArray = c.formula.rfind("{=", 0) == 0;
      CalcValue got;
      if (isArray) {
        uint32_t columns = c.expected.isArray() ? c.expected.arrayColumns() : 1;
        uint32_t rows = c.expected.isArray() ? c.expected.arrayRows() : 1;
        got = evaluateArray(c.formula, columns, rows);
        if (!c.expected.isArray()) got = CalcValue(*got.element(0, 0));
      } else {
        got = evaluate(c.formula);
      }
      EXPECT_TRUE(matches(got, c.expected, c.exact))
          << c.formula << "\n  expected " << describe(c.expected) << "\n  got      " << describe(got);
    }
  }

  // The workbook of the last formula; its formula cell is the context's current cell.
  CompiledWorkbook& workbook() { return *workbook_; }
  Cell* formulaCell() { return evaluationContext().currentCell; }

private:
  std::string inputs_;
  std::unique_ptr<CompiledWorkbook> workbook_;
};

} // namespace cwbk::formula_testing
