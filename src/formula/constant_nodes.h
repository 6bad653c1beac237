// Constant nodes: the missing argument, numbers, texts, booleans and error constants.
#pragma once

#include <string>
#include <string_view>

#include "formula/formula_node.h"

namespace cwbk {

// A missing argument; its value is Empty.
class EmptyNode : public FormulaNode {
public:
  EmptyNode();
  NodeKind kind() const override { return NodeKind::Empty; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override { return {}; }
};

// A number constant, stored with setNumber; a NaN or infinity is stored as the Double 0.
class NumberNode : public FormulaNode {
public:
  explicit NumberNode(double x);
  NodeKind kind() const override { return NodeKind::Number; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
};

// A text constant. The stored form (as in a record) loses one pair of surrounding double quotes and
// has every doubled double quote turned into one.
class TextNode : public FormulaNode {
public:
  // Builds the node from the text exactly as given.
  explicit TextNode(std::u16string_view text);
  // Returns the text of a stored text: outer quotes stripped, doubled quotes undoubled.
  static std::u16string unquote(std::u16string_view stored);
  NodeKind kind() const override { return NodeKind::Text; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
};

class BooleanNode : public FormulaNode {
public:
  explicit BooleanNode(bool b);
  NodeKind kind() const override { return NodeKind::Boolean; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
};

// An error constant; an unknown code leaves the value Empty.
class ErrorNode : public FormulaNode {
public:
  explicit ErrorNode(int32_t code);
  NodeKind kind() const override { return NodeKind::Error; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
};

} // namespace cwbk
