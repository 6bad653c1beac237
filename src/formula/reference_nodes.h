// Reference nodes: a cell, an area (fixed or computed by the range operator), an external link, a DDE
// item, and the union and intersection of references.
#pragma once

#include <string>
#include <string_view>

#include "formula/formula_node.h"

namespace cwbk {

// A reference to one cell of the workbook. Its value is the cell's value; setting its value sets the
// cell's. A reference to an address that names no cell (no sheet) has no cell and gives "#REF!".
class CellRefNode : public FormulaNode {
public:
  // Finds the cell in the workbook, creating an empty one when missing.
  CellRefNode(CompiledWorkbook& workbook, CellAddress address);
  Cell* cell() const { return cell_; }
  // The cell's address; the invalid address when there is no cell.
  CellAddress address() const;

  NodeKind kind() const override { return NodeKind::CellRef; }
  const CalcValue* value() override;
  const CalcValue* evaluateAsArray() override { return value(); }
  CalcValue& mutableValue() override;
  void setValue(const CalcValue& v) override;
  void setNumberValue(double x) override;
  void setReferenceValue(const Area& area) override;
  Area referenceArea() override;
  CellRefNode* asCellReference() override { return this; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;

private:
  Cell* cell_;
};

// An area between two corners, normalized at construction. With the computed flag (the range operator
// over computed operands) the corners come from the children at each evaluation.
class AreaRefNode : public CompositeNode {
public:
  static constexpr uint8_t kComputed = 0x1;
  AreaRefNode(CompiledWorkbook& workbook, CellAddress first, CellAddress second, uint8_t flags = 0);
  CellAddress first() const { return first_; }
  CellAddress second() const { return second_; }
  // Follows a renumbering of the workbook's sheets.
  void renumberSheet(const Area& area) { first_ = area.first, second_ = area.second; }
  bool isComputed() const { return (flags_ & kComputed) != 0; }

  NodeKind kind() const override { return NodeKind::AreaRef; }
  const CalcValue* evaluate() override;
  const CalcValue* evaluateAsArray() override;
  bool isReference() override { return true; }
  Area referenceArea() override { return Area{first_, second_}; }
  AreaRefNode* asAreaReference() override { return this; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
  std::u16string debugText() override;

private:
  // Recomputes the corners of a computed area from its first and last child.
  void recomputeCorners();

  CompiledWorkbook* workbook_;
  CellAddress first_;
  CellAddress second_;
  uint8_t flags_;
};

// A reference into a linked workbook: the link's index and the reference text.
class ExternalRefNode : public FormulaNode {
public:
  ExternalRefNode(CompiledWorkbook& workbook, int16_t linkIndex, std::u16string referenceText);
  int16_t linkIndex() const { return linkIndex_; }
  const std::u16string& referenceText() const { return text_; }

  NodeKind kind() const override { return NodeKind::ExternalRef; }
  const CalcValue* evaluate() override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;

private:
  CompiledWorkbook* workbook_;
  int16_t linkIndex_;
  std::u16string text_;
};

// A DDE item: the source's index and the item's index within the source.
class DdeRefNode : public FormulaNode {
public:
  DdeRefNode(CompiledWorkbook& workbook, int32_t sourceIndex, int32_t itemIndex);
  int32_t sourceIndex() const { return sourceIndex_; }
  int32_t itemIndex() const { return itemIndex_; }

  NodeKind kind() const override { return NodeKind::DdeRef; }
  const CalcValue* evaluate() override;
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;

private:
  CompiledWorkbook* workbook_;
  int32_t sourceIndex_;
  int32_t itemIndex_;
};

// A list of references. Evaluated as a single value it is "#VALUE!"; value() builds the
// ReferenceList of its members' areas on demand.
class UnionNode : public CompositeNode {
public:
  UnionNode();
  NodeKind kind() const override { return NodeKind::Union; }
  const CalcValue* value() override;
  const CalcValue* evaluate() override;
  const CalcValue* evaluateAsArray() override;
  UnionNode* asUnion() override { return this; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
};

// The common part of its reference children; "#NULL!" when they do not overlap.
class IntersectionNode : public CompositeNode {
public:
  NodeKind kind() const override { return NodeKind::Intersection; }
  const CalcValue* evaluate() override;
  bool isReference() override { return true; }
  void writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const override;
  std::u16string formulaText() const override;
};

} // namespace cwbk
