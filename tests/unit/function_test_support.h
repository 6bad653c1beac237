// Shared by the tests of the worksheet-function families: a fixture with a two-sheet workbook whose
// current cell is Sheet1!Z100, builders for call trees, evaluation of a tree, and a host service that
// answers formula texts.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formula/array_node.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/host_services.h"
#include "formula/reference.h"
#include "formula/reference_nodes.h"
#include "values/conversions.h"

namespace cwbk::function_testing {

inline std::string narrow(std::u16string_view t) {
  return std::string(t.begin(), t.end());
}
inline CalcValue num(double x) {
  return CalcValue::number(x);
}
inline CalcValue txt(std::u16string_view t) {
  return CalcValue::text(t);
}
inline CalcValue err(int32_t code) {
  return CalcValue::error(code);
}

// A host service that answers every formula text with `answer` (42 unless changed) and keeps the texts
// it was given.
class TextService : public HostEvaluationService {
public:
  std::vector<std::u16string> texts;
  CalcValue answer = CalcValue::number(42);
  void callWorksheetFunction(int, const CalcValue* const*, int, CalcValue&) override {}
  void evaluateText(std::u16string_view text, CalcValue& result) override {
    texts.emplace_back(text);
    result.copyFrom(answer);
  }
  void callMacro(std::u16string_view, const CalcValue* const*, CalcValue&) override {}
  void evaluateCall(Cell*, const CallNode&, const CalcValue* const*, CalcValue&) override {}
};

// The fixture: Sheet1 and Sheet2, the evaluation context reading the workbook with Sheet1!Z100 as the
// current cell. A family's fixture fills its cells in its own SetUp after calling this one.
class FunctionTest : public ::testing::Test {
protected:
  void SetUp() override {
    evaluationContext() = EvaluationContext{};
    workbook.addSheet(u"Sheet1");
    workbook.addSheet(u"Sheet2");
    evaluationContext().workbook = &workbook;
    evaluationContext().currentCell = workbook.findOrCreateCell(cell(u"Z100"));
  }
  void TearDown() override { evaluationContext() = EvaluationContext{}; }

  static CellAddress cell(std::u16string_view a1, uint32_t sheet = 0) { return parseCell(a1, sheet); }
  void put(std::u16string_view a1, const CalcValue& v) { workbook.findOrCreateCell(cell(a1))->setValue(v); }

  FormulaNode* n(double x) { return new NumberNode(x); }
  FormulaNode* t(std::u16string_view s) { return new TextNode(s); }
  FormulaNode* b(bool v) { return new BooleanNode(v); }
  FormulaNode* e(int32_t code) { return new ErrorNode(code); }
  FormulaNode* missing() { return new EmptyNode(); }
  FormulaNode* cellNode(std::u16string_view a1) { return new CellRefNode(workbook, cell(a1)); }
  FormulaNode* area(std::u16string_view a, std::u16string_view b, uint32_t sheetB = 0) {
    return new AreaRefNode(workbook, cell(a), cell(b, sheetB));
  }
  FormulaNode* arr(std::initializer_list<std::initializer_list<CalcValue>> rows) {
    auto* node = new ArrayNode();
    for (const auto& row : rows) {
      CalcValue r;
      for (const CalcValue& v : row)
        r.appendToArray(v);
      node->appendRow(r);
    }
    return node;
  }
  FormulaNode* call(std::u16string name, std::initializer_list<FormulaNode*> children) {
    auto* node = new CallNode(std::move(name), 1);
    for (FormulaNode* child : children)
      node->addChild(child);
    return node;
  }

  // Evaluates a tree (taking ownership) and returns a copy of its value.
  CalcValue evaluate(FormulaNode* tree) {
    std::unique_ptr<FormulaNode> owner(tree);
    const CalcValue* v = tree->evaluate();
    return v ? *v : CalcValue();
  }

  CompiledWorkbook workbook;
};

} // namespace cwbk::function_testing
