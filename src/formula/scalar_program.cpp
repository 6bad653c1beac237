// ScalarProgram: compiling arithmetic templates into postfix steps, and running them for a cell.
#include "formula/scalar_program.h"

#include <cmath>

#include "formula/cell.h"
#include "formula/formula_node.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"

namespace cwbk {

namespace {

// Takes a value as a number as the operators do on their fast path: a number as it is, an absent or
// empty value as 0. Anything else (text, booleans, errors, arrays, references) is left to the tree.
bool numberOf(const CalcValue* v, double& x) {
  if (!v || v->isEmpty()) {
    x = 0;
    return true;
  }
  if (!v->isNumber()) return false;
  x = v->numberValue();
  return true;
}

// Returns what a cell reference gives, reading the cell directly; the node itself answers for a member of
// an array formula (whose value comes from its master) and for a reference without a cell.
const CalcValue* cellReferenceValue(CellRefNode& node) {
  const Cell* cell = node.cell();
  if (!cell || cell->isArrayMember()) return node.value();
  return cell->value();
}

} // namespace

std::unique_ptr<ScalarProgram> ScalarProgram::compile(FormulaNode& root) {
  auto program = std::unique_ptr<ScalarProgram>(new ScalarProgram);
  // Post-order without recursion: a node is emitted after its children.
  struct Frame {
    FormulaNode* node;
    bool expanded;
  };
  std::vector<Frame> stack{{&root, false}};
  size_t depth = 0, deepest = 0;
  while (!stack.empty()) {
    Frame frame = stack.back();
    stack.pop_back();
    FormulaNode* node = frame.node;
    switch (node->kind()) {
    case NodeKind::Number: {
      double x = 0;
      if (!numberOf(node->value(), x)) return nullptr;
      program->steps_.push_back({Op::Constant, 0, x, nullptr});
      deepest = std::max(deepest, ++depth);
      break;
    }
    case NodeKind::CellRef:
      program->steps_.push_back({Op::Node, 0, 0, node});
      deepest = std::max(deepest, ++depth);
      break;
    case NodeKind::OperandRef: {
      int32_t index = static_cast<ProxyNode*>(node)->index();
      if (index < 0) return nullptr;
      program->steps_.push_back({Op::Operand, static_cast<uint32_t>(index), 0, nullptr});
      deepest = std::max(deepest, ++depth);
      break;
    }
    case NodeKind::Arithmetic: {
      auto* arithmetic = static_cast<ArithmeticNode*>(node);
      const std::vector<FormulaNode*>& children = *node->children();
      uint32_t code = arithmetic->operatorCode();
      bool unary = code == ArithmeticNode::Negate || code == ArithmeticNode::Percent;
      if (code == ArithmeticNode::Concatenate || code < ArithmeticNode::Add || code > ArithmeticNode::Percent)
        return nullptr;
      if (children.size() != (unary ? 1u : 2u)) return nullptr;
      for (FormulaNode* child : children)
        if (!child) return nullptr;
      if (frame.expanded) {
        static constexpr Op kOps[] = {Op::Add,   Op::Add,    Op::Subtract, Op::Multiply, Op::Divide,
                                      Op::Power, Op::Negate, Op::Add,      Op::Percent};
        program->steps_.push_back({kOps[code], 0, 0, nullptr});
        if (!unary) --depth;
        break;
      }
      stack.push_back({node, true});
      for (auto it = children.rbegin(); it != children.rend(); ++it)
        stack.push_back({*it, false});
      break;
    }
    default:
      return nullptr;
    }
    if (deepest > kMaxStack || program->steps_.size() > 256) return nullptr;
  }
  return program;
}

bool ScalarProgram::run(const Cell& cell, double& result) const {
  double stack[kMaxStack];
  size_t top = 0;
  for (const Step& step : steps_) {
    switch (step.op) {
    case Op::Constant:
      stack[top++] = step.constant;
      break;
    case Op::Node:
      if (!numberOf(cellReferenceValue(*static_cast<CellRefNode*>(step.node)), stack[top++])) return false;
      break;
    case Op::Operand: {
      const PointerList<FormulaNode*>& roots = cell.operandRoots();
      if (step.operand >= roots.size()) return false;
      FormulaNode* operand = roots[step.operand];
      if (!operand) return false;
      NodeKind kind = operand->kind();
      const CalcValue* v;
      if (kind == NodeKind::CellRef)
        v = cellReferenceValue(*static_cast<CellRefNode*>(operand));
      else if (kind == NodeKind::Number)
        v = operand->value();
      else
        return false;
      if (!numberOf(v, stack[top++])) return false;
      break;
    }
    case Op::Negate:
      stack[top - 1] = -stack[top - 1];
      break;
    case Op::Percent:
      stack[top - 1] /= 100;
      break;
    default: {
      double y = stack[--top];
      double& x = stack[top - 1];
      switch (step.op) {
      case Op::Add:
        x += y;
        break;
      case Op::Subtract:
        x -= y;
        break;
      case Op::Multiply:
        x *= y;
        break;
      case Op::Divide:
        if (y == 0) return false;
        x /= y;
        break;
      default: // Power
        if (x == 0 && y <= 0) return false;
        x = std::pow(x, y);
        break;
      }
      if (!std::isfinite(x)) return false;
    }
    }
  }
  if (top != 1 || !std::isfinite(stack[0])) return false;
  result = stack[0];
  return true;
}

} // namespace cwbk
