// ArrayNode: an array constant such as {1,2;3,4}, held as one Array value built row by row.
#pragma once

#include "formula/formula_node.h"

namespace cwbk {

class ArrayNode : public CompositeNode {
public:
  // Starts with an empty Array value.
  ArrayNode();
  // Appends a row (an Array of one row, or a scalar as a row of one element).
  void appendRow(const CalcValue& row);

  NodeKind kind() const override { return NodeKind::Array; }
  // Consumes the child: a constant (kinds 2-5) or an array constant adds its value, an arithmetic node
  // (a negated number) is evaluated and adds its value; the child is destroyed. Returns false.
  bool addChild(FormulaNode* child) override;
  const CalcValue* evaluateAsArray() override { return value_; }
  ArrayNode* asArrayConstant() override { return this; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  // Returns "{", the elements separated by the list separator, rows by ";", texts quoted, "}".
  std::u16string formulaText() const override;
};

} // namespace cwbk
