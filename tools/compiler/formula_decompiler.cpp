// Reading compiled formulas back into syntax trees: each node class maps onto its syntax node; proxies
// are followed to what they stand for, with a bound on the depth for trees that reach themselves.
#include "compiler/formula_decompiler.h"

#include "compiler/formula_parser.h"
#include "formula/call_node.h"
#include "formula/compiled_workbook.h"
#include "formula/operator_nodes.h"
#include "formula/reference_nodes.h"

namespace cwbk::compiler {

namespace {

constexpr int kMaxDepth = 2048;

class Decompiler {
public:
  Decompiler(const CompiledWorkbook& workbook, const Cell* cell) : wb_(workbook), cell_(cell) {}

  AstNode node(FormulaNode& n, int depth) {
    AstNode out;
    if (depth > kMaxDepth) return errorNode(ErrRef);
    const CalcValue* v = nullptr;
    switch (n.kind()) {
    case NodeKind::Empty:
      out.kind = AstKind::Missing;
      return out;
    case NodeKind::Number:
    case NodeKind::Text:
    case NodeKind::Boolean:
    case NodeKind::Error:
      v = n.value();
      return v ? constant(*v) : errorNode(ErrNA);
    case NodeKind::CellRef: {
      auto& ref = static_cast<CellRefNode&>(n);
      out.kind = AstKind::CellRef;
      setCorner(out.first, ref.address());
      out.sheet = sheetName(ref.address().sheet());
      return out;
    }
    case NodeKind::AreaRef: {
      auto& ref = static_cast<AreaRefNode&>(n);
      out.kind = AstKind::AreaRef;
      if (ref.isComputed()) {
        children(out, n, depth);
        return out;
      }
      setCorner(out.first, ref.first());
      setCorner(out.second, ref.second());
      out.sheet = sheetName(ref.first().sheet());
      if (out.first.row == 0 && out.second.row == kSheetRows - 1) {
        out.wholeColumns = true;
      } else if (out.first.column == 0 && out.second.column == kSheetColumns - 1) {
        out.wholeRows = true;
      }
      return out;
    }
    case NodeKind::ExternalRef: {
      auto& ref = static_cast<ExternalRefNode&>(n);
      out.kind = AstKind::ExternalRef;
      out.externalIndex = ref.linkIndex() + 1;
      ParseResult parsed = parseFormula(ref.referenceText());
      out.children.push_back(parsed.ok() ? parsed.tree : errorNode(ErrRef));
      return out;
    }
    case NodeKind::DdeRef:
      return errorNode(ErrRef);
    case NodeKind::Union:
      out.kind = AstKind::Union;
      children(out, n, depth);
      return out;
    case NodeKind::Intersection:
      out.kind = AstKind::Intersection;
      children(out, n, depth);
      return out;
    case NodeKind::Array:
      return array(n);
    case NodeKind::NameRef: {
      auto& proxy = static_cast<ProxyNode&>(n);
      const auto& names = wb_.definedNames();
      if (proxy.index() < 0 || static_cast<size_t>(proxy.index()) >= names.size()) return errorNode(ErrName);
      const DefinedName& name = names[proxy.index()];
      out.kind = AstKind::Name;
      out.text = name.name;
      // A name of the formula's own sheet is written without the sheet, as formulas use it.
      if (name.scope >= 0 && !(cell_ && cell_->address().sheet() == static_cast<uint32_t>(name.scope)))
        out.sheet = sheetName(static_cast<uint32_t>(name.scope));
      return out;
    }
    case NodeKind::OperandRef: {
      auto& proxy = static_cast<ProxyNode&>(n);
      if (!cell_ || proxy.index() < 0 || static_cast<size_t>(proxy.index()) >= cell_->operandRoots().size() ||
          !cell_->operandRoots()[proxy.index()])
        return errorNode(ErrRef);
      return node(*cell_->operandRoots()[proxy.index()], depth + 1);
    }
    case NodeKind::SharedRef:
    case NodeKind::TemplateRef: {
      auto& proxy = static_cast<ProxyNode&>(n);
      const auto& list = n.kind() == NodeKind::SharedRef ? wb_.sharedExpressions() : wb_.formulaTemplates();
      if (proxy.index() < 0 || static_cast<size_t>(proxy.index()) >= list.size() || !list[proxy.index()])
        return errorNode(ErrRef);
      return node(*list[proxy.index()], depth + 1);
    }
    case NodeKind::Call: {
      auto* call = dynamic_cast<CallNode*>(&n);
      out.kind = AstKind::Call;
      if (call) out.text = call->name();
      children(out, n, depth);
      return out;
    }
    case NodeKind::Compare: {
      auto* op = dynamic_cast<OperatorNode*>(&n);
      out.kind = AstKind::Compare;
      if (op) out.compareOp = static_cast<CompareOp>(op->operatorCode());
      children(out, n, depth);
      return out;
    }
    case NodeKind::Arithmetic: {
      auto* op = dynamic_cast<OperatorNode*>(&n);
      out.kind = AstKind::Operator;
      if (op) out.arithmeticOp = static_cast<ArithmeticOp>(op->operatorCode());
      children(out, n, depth);
      return out;
    }
    }
    return errorNode(ErrRef);
  }

private:
  static AstNode errorNode(CalcError e) {
    AstNode out;
    out.kind = AstKind::Error;
    out.error = e;
    return out;
  }

  static AstNode constant(const CalcValue& v) {
    AstNode out;
    if (v.isNumber()) {
      out.kind = AstKind::Number;
      out.number = v.numberValue();
    } else if (v.isText()) {
      out.kind = AstKind::Text;
      out.text = std::u16string(v.textView());
    } else if (v.isBoolean()) {
      out.kind = AstKind::Boolean;
      out.boolean = v.booleanValue();
    } else if (v.isErrorValue()) {
      out.kind = AstKind::Error;
      out.error = static_cast<CalcError>(v.errorCode());
    } else {
      out.kind = AstKind::Missing;
    }
    return out;
  }

  AstNode array(FormulaNode& n) {
    AstNode out;
    out.kind = AstKind::Array;
    const CalcValue* v = n.value();
    if (!v || !v->isArray()) return out;
    out.columns = v->arrayColumns();
    for (uint32_t r = 0; r < v->arrayRows(); ++r)
      for (uint32_t c = 0; c < v->arrayColumns(); ++c)
        if (const CalcValue* e = v->element(c, r)) out.children.push_back(constant(*e));
    return out;
  }

  void children(AstNode& out, FormulaNode& n, int depth) {
    if (const auto* list = n.children())
      for (FormulaNode* child : *list)
        if (child) out.children.push_back(node(*child, depth + 1));
  }

  static void setCorner(RefCorner& corner, CellAddress a) {
    corner.row = a.rowIndex();
    corner.column = a.column();
  }

  std::optional<std::u16string> sheetName(uint32_t index) const {
    if (const SheetInfo* info = wb_.sheet(index)) return info->name;
    return u"#REF";
  }

  const CompiledWorkbook& wb_;
  const Cell* cell_;
};

void qualify(AstNode& n, const std::u16string& ownSheet) {
  switch (n.kind) {
  case AstKind::CellRef:
  case AstKind::AreaRef:
    if (!n.isComputedArea() && !n.sheet) n.sheet = ownSheet;
    n.first.rowAbsolute = n.first.columnAbsolute = n.second.rowAbsolute = n.second.columnAbsolute = false;
    if (n.wholeColumns) n.first.row = 0, n.second.row = kSheetRows - 1;
    if (n.wholeRows) n.first.column = 0, n.second.column = kSheetColumns - 1;
    break;
  case AstKind::ExternalRef:
    return; // the other workbook's reference text is kept as written
  case AstKind::Name:
    if (n.sheet && *n.sheet == ownSheet) n.sheet.reset();
    break;
  default:
    break;
  }
  n.position = 0;
  for (AstNode& child : n.children)
    qualify(child, ownSheet);
}

} // namespace

AstNode decompileNode(const CompiledWorkbook& workbook, FormulaNode& node, const Cell* cell) {
  return Decompiler(workbook, cell).node(node, 0);
}

AstNode decompileCell(const CompiledWorkbook& workbook, const Cell& cell) {
  FormulaNode* root = cell.templateIndex() >= 0
                          ? const_cast<CompiledWorkbook&>(workbook).formulaTemplate(cell.templateIndex())
                          : nullptr;
  if (!root) return AstNode{};
  return decompileNode(workbook, *root, &cell);
}

std::string cellFormulaText(const CompiledWorkbook& workbook, const Cell& cell) {
  if (cell.templateIndex() < 0) return {};
  return formulaToTextUtf8(decompileCell(workbook, cell));
}

AstNode qualifyReferences(const AstNode& tree, const std::u16string& ownSheet) {
  AstNode out = tree;
  qualify(out, ownSheet);
  return out;
}

} // namespace cwbk::compiler
