// Proxy nodes: references to a defined name's formula, to one of the current cell's operand trees, to
// a shared expression and to a formula template.
#pragma once

#include "formula/formula_node.h"

namespace cwbk {

// Stands for the formula of a defined name (by index in the defined-name list). A name that reaches
// itself gives "#NAME?".
class NameRefNode : public ProxyNode {
public:
  NameRefNode(CompiledWorkbook& workbook, int32_t index) : ProxyNode(index), workbook_(&workbook) {}
  NodeKind kind() const override { return NodeKind::NameRef; }
  FormulaNode* target() override;

protected:
  int32_t faultCode() const override { return ErrName; }
  // Evaluates the name's formula as a child of this proxy and restores the current cell afterwards.
  void evaluateTarget(FormulaNode& target) override;

private:
  CompiledWorkbook* workbook_;
  FormulaNode* cached_ = nullptr;
};

// Stands for one of the current cell's operand trees, found anew at every use. An index out of range,
// or an operand that reaches itself, gives "#REF!".
class OperandRefNode : public ProxyNode {
public:
  explicit OperandRefNode(int32_t index) : ProxyNode(index) {}
  NodeKind kind() const override { return NodeKind::OperandRef; }
  FormulaNode* target() override;

protected:
  const CalcValue* missingTarget() override { return fault(); }
  // Returns "@index" (the form of a cell without a template).
  std::u16string missingTargetText() const override;

public:
  // Returns the operand's formula text; "@index" when the current cell has no template.
  std::u16string formulaText() const override;
};

// Stands for a shared expression (by index). One that reaches itself gives "#REF!".
class SharedRefNode : public ProxyNode {
public:
  SharedRefNode(CompiledWorkbook& workbook, int32_t index) : ProxyNode(index), workbook_(&workbook) {}
  NodeKind kind() const override { return NodeKind::SharedRef; }
  FormulaNode* target() override;

private:
  CompiledWorkbook* workbook_;
  FormulaNode* cached_ = nullptr;
};

// Stands for a formula template (by index). One that reaches itself gives "#REF!".
class TemplateRefNode : public ProxyNode {
public:
  TemplateRefNode(CompiledWorkbook& workbook, int32_t index) : ProxyNode(index), workbook_(&workbook) {}
  NodeKind kind() const override { return NodeKind::TemplateRef; }
  FormulaNode* target() override;

protected:
  // Evaluates the template with this proxy's parent as its parent.
  void evaluateTarget(FormulaNode& target) override;

private:
  CompiledWorkbook* workbook_;
  FormulaNode* cached_ = nullptr;
};

} // namespace cwbk
