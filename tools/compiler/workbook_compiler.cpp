// The workbook compiler: parses every formula, turns each into a shared template plus the cell's own
// operand trees, builds the model's sheets, names, cells, array formulas and data tables, and writes the
// stream through the model's writer.
#include "compiler/workbook_compiler.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "compiler/formula_parser.h"
#include "formula/array_node.h"
#include "formula/call_node.h"
#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "formula/constant_nodes.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"
#include "functions/function_table.h"

namespace cwbk::compiler {

namespace {

using NodePtr = std::unique_ptr<FormulaNode>;

// Returns the text with ASCII letters in upper case (names compare without regard to case).
std::u16string upperAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

CalcValue toCalcValue(const SourceValue& v) {
  switch (v.kind) {
  case SourceValue::Number:
    return CalcValue::number(v.number);
  case SourceValue::Text:
    return CalcValue::text(v.text);
  case SourceValue::Boolean:
    return CalcValue::boolean(v.boolean);
  case SourceValue::Error:
    return CalcValue::error(v.error);
  default:
    return CalcValue();
  }
}

// What one formula compiles into: the template (or, for a name, the whole tree), the operands that
// the template reaches by index, the template's shape key, the flags its functions call for, and the
// single cells it reads.
struct FormulaBuild {
  bool extractOperands = true; // false for defined names: every reference stays in the tree
  uint32_t sheet = 0;          // the sheet of the formula's cell (or of the name's scope)
  std::vector<NodePtr> operands;
  std::map<std::string, int32_t> operandIndex; // operand key -> index
  std::string key;
  uint32_t flags = 0;
  std::vector<CellAddress> precedents;
  std::u16string_view text; // the formula text the syntax tree's positions point into
};

// A fault in one formula, at a code unit position.
struct FormulaFault {
  std::string what;
  uint32_t position;
};

class Compiler {
public:
  Compiler(const SourceWorkbook& source, CompiledWorkbook& workbook, const CompileOptions& options,
           CompileReport& report)
      : source_(source), wb_(workbook), options_(options), report_(report) {}

  void run() {
    sheets();
    externalLinks();
    names();
    cells();
    dataTables();
    usedRanges();
    report_.templates = wb_.formulaTemplates().size();
  }

private:
  // ------------------------------------------------------------------ workbook parts

  void sheets() {
    if (source_.sheets.size() >= CellAddress::kNoSheet) throw SourceError("too many sheets");
    for (uint32_t i = 0; i < source_.sheets.size(); ++i) {
      SheetInfo info;
      info.name = source_.sheets[i].name;
      info.codeName = source_.sheets[i].codeName;
      wb_.setSheet(i, std::move(info));
    }
  }

  void externalLinks() {
    for (const std::u16string& path : source_.externalLinks) {
      ExternalLink link;
      size_t cut = path.find_last_of(u"\\/");
      if (cut == std::u16string::npos) {
        link.fileName = path;
      } else {
        link.folder = path.substr(0, cut + 1);
        link.fileName = path.substr(cut + 1);
      }
      wb_.externalLinks().push_back(std::move(link));
    }
  }

  // Every name is entered before any formula is compiled, so that names may use each other.
  void names() {
    for (const SourceName& name : source_.names) {
      DefinedName entry;
      entry.name = name.name;
      entry.scope = name.scope;
      nameIndex_.emplace(std::make_pair(upperAscii(name.name), name.scope),
                         static_cast<int32_t>(wb_.definedNames().size()));
      wb_.definedNames().push_back(std::move(entry));
    }
    for (size_t i = 0; i < source_.names.size(); ++i) {
      const SourceName& name = source_.names[i];
      FormulaBuild build;
      build.extractOperands = false;
      build.sheet = name.scope >= 0 ? static_cast<uint32_t>(name.scope) : 0;
      NodePtr root;
      try {
        root = compileText(name.formula, build);
      } catch (const FormulaFault& fault) {
        std::string where = "name " + utf16ToUtf8(name.name);
        if (!options_.lenient) throw CompileError(where + ": " + describe(fault, name.formula));
        report_.hostComputed.push_back(where + ": " + fault.what);
        root = std::make_unique<ErrorNode>(ErrRef);
      }
      wb_.definedNames()[i].root = root.release();
    }
  }

  void cells() {
    for (const SourceCell& sc : source_.cells) {
      CellAddress address = CellAddress::make(sc.sheet, sc.column, sc.row);
      Cell* cell = wb_.findOrCreateCell(address);
      if (!cell) throw SourceError("the model cannot hold cell " + cellText(sc));
      uint32_t flags = compiledFlags(sc);
      // The workbook already shows its own hyperlinks, so they are not marked as pending for the host.
      if (!sc.hyperlink.empty())
        cell->setHyperlink(std::make_unique<HyperlinkRecord>(HyperlinkRecord::parse(sc.hyperlink)));
      switch (sc.kind) {
      case CellKind::Constant:
        if (!sc.value.isNone()) cell->setValue(toCalcValue(sc.value));
        break;
      case CellKind::Formula:
      case CellKind::SharedFormula:
        flags |= formulaCell(sc, *cell);
        break;
      case CellKind::ArrayFormula:
        cell->setArrayArea(areaOf(sc.sheet, sc.range));
        if (sc.master) {
          flags |= formulaCell(sc, *cell);
        } else if (!sc.cached.isNone()) {
          cell->setValue(toCalcValue(sc.cached));
        }
        break;
      case CellKind::DataTable:
        // Result cells of a data table hold the values the table last produced; the table's area, as
        // the model keeps it, takes in the input row above and the input column to the left.
        if (sc.dataTable >= 0 && static_cast<size_t>(sc.dataTable) < source_.dataTables.size())
          cell->setArrayArea(tableArea(source_.dataTables[sc.dataTable]));
        if (!sc.cached.isNone()) cell->setValue(toCalcValue(sc.cached));
        break;
      }
      cell->setFlags(flags);
      wb_.enterCell(*cell);
    }
  }

  // Compiles the formula of a formula cell or array master; returns the flags its functions call for.
  uint32_t formulaCell(const SourceCell& sc, Cell& cell) {
    FormulaBuild build;
    build.sheet = sc.sheet;
    NodePtr root;
    try {
      root = compileText(sc.formula, build);
    } catch (const FormulaFault& fault) {
      if (!options_.lenient) throw CompileError(cellText(sc) + ": " + describe(fault, sc.formula));
      report_.hostComputed.push_back(cellText(sc) + ": " + fault.what);
      if (!sc.cached.isNone()) cell.setValue(toCalcValue(sc.cached));
      return CellHostComputed;
    }
    int32_t index;
    auto found = templates_.find(build.key);
    if (found != templates_.end()) {
      index = found->second;
    } else {
      index = static_cast<int32_t>(wb_.formulaTemplates().size());
      wb_.formulaTemplates().push_back(root.release());
      templates_.emplace(build.key, index);
    }
    cell.setTemplateIndex(index);
    for (NodePtr& operand : build.operands)
      cell.operandRoots().push_back(operand.release());
    for (CellAddress read : build.precedents)
      if (Cell* target = wb_.findCell(read); target && target != &cell) wb_.link(cell, *target);
    if (options_.storeFormulaValues && !sc.cached.isNone()) cell.setValue(toCalcValue(sc.cached));
    ++report_.formulaCells;
    return build.flags;
  }

  // Enters every data table's area and gives the table's first result cell its two operands: the row
  // input cell and the column input cell (an empty node for an input the table does not have).
  void dataTables() {
    for (const SourceDataTable& table : source_.dataTables) {
      Area area = tableArea(table);
      wb_.addToAreaSet(area);
      Cell* first =
          wb_.findOrCreateCell(CellAddress::make(table.sheet, table.range.firstColumn, table.range.firstRow));
      if (!first) continue;
      for (const std::u16string* input : {&table.rowInputCell, &table.columnInputCell}) {
        NodePtr operand;
        if (input->empty()) {
          operand = std::make_unique<EmptyNode>();
        } else {
          ParseResult parsed = parseFormula(*input);
          if (parsed.ok() && parsed.tree.kind == AstKind::CellRef) {
            FormulaBuild build;
            build.extractOperands = false;
            build.sheet = table.sheet;
            operand = compile(parsed.tree, build);
          } else {
            operand = std::make_unique<ErrorNode>(ErrRef);
          }
        }
        first->operandRoots().push_back(operand.release());
      }
    }
  }

  // Sets every sheet's first and last used cell.
  void usedRanges() {
    std::map<uint32_t, SourceRange> used;
    for (const SourceCell& sc : source_.cells) {
      auto [it, fresh] = used.try_emplace(sc.sheet, SourceRange{sc.row, sc.column, sc.row, sc.column});
      if (fresh) continue;
      SourceRange& r = it->second;
      r.firstRow = std::min(r.firstRow, sc.row);
      r.lastRow = std::max(r.lastRow, sc.row);
      r.firstColumn = std::min(r.firstColumn, sc.column);
      r.lastColumn = std::max(r.lastColumn, sc.column);
    }
    for (const auto& [sheet, r] : used) {
      const SheetInfo* old = wb_.sheet(sheet);
      if (!old) continue;
      SheetInfo info = *old;
      info.firstUsed = CellAddress::make(sheet, r.firstColumn, r.firstRow);
      info.lastUsed = CellAddress::make(sheet, r.lastColumn, r.lastRow);
      wb_.setSheet(sheet, std::move(info));
    }
  }

  // ------------------------------------------------------------------ formulas

  NodePtr compileText(const std::u16string& text, FormulaBuild& build) {
    ParseResult parsed = parseFormula(text);
    if (!parsed.ok()) throw FormulaFault{parsed.error->what, parsed.error->position};
    build.text = text;
    return compile(parsed.tree, build);
  }

  // Returns the node tree of a syntax tree, appending the tree's shape to build.key.
  NodePtr compile(const AstNode& n, FormulaBuild& build) {
    std::string& key = build.key;
    switch (n.kind) {
    case AstKind::Missing:
      key += "M";
      return std::make_unique<EmptyNode>();
    case AstKind::Number:
      key += "n" + numberKey(n.number);
      return std::make_unique<NumberNode>(n.number);
    case AstKind::Text:
      key += "t" + std::to_string(n.text.size()) + ":" + utf16ToUtf8(n.text);
      return std::make_unique<TextNode>(n.text);
    case AstKind::Boolean:
      key += n.boolean ? "T" : "F";
      return std::make_unique<BooleanNode>(n.boolean);
    case AstKind::Error:
      key += "e" + std::to_string(n.error);
      return std::make_unique<ErrorNode>(n.error);
    case AstKind::CellRef:
    case AstKind::AreaRef:
      if (n.isComputedArea()) {
        key += "R(";
        auto node = std::make_unique<AreaRefNode>(wb_, CellAddress::invalid(), CellAddress::invalid(),
                                                  AreaRefNode::kComputed);
        addChildren(*node, n, build);
        key += ")";
        return node;
      }
      return reference(n, build);
    case AstKind::ExternalRef:
      return external(n, build);
    case AstKind::Union: {
      key += "U(";
      auto node = std::make_unique<UnionNode>();
      addChildren(*node, n, build);
      key += ")";
      return node;
    }
    case AstKind::Intersection: {
      key += "I(";
      auto node = std::make_unique<IntersectionNode>();
      addChildren(*node, n, build);
      key += ")";
      return node;
    }
    case AstKind::Array:
      return arrayConstant(n, build);
    case AstKind::Name: {
      int32_t index = findName(n, build.sheet);
      if (index < 0) {
        key += "e" + std::to_string(ErrName);
        return std::make_unique<ErrorNode>(ErrName);
      }
      key += "N" + std::to_string(index);
      return std::make_unique<NameRefNode>(wb_, index);
    }
    case AstKind::Call:
      return call(n, build);
    case AstKind::Compare: {
      key += "c" + std::to_string(static_cast<int>(n.compareOp)) + "(";
      auto node = std::make_unique<CompareNode>(static_cast<uint32_t>(n.compareOp));
      addChildren(*node, n, build);
      key += ")";
      return node;
    }
    case AstKind::Operator: {
      key += "o" + std::to_string(static_cast<int>(n.arithmeticOp)) + "(";
      auto node = std::make_unique<ArithmeticNode>(static_cast<uint32_t>(n.arithmeticOp));
      addChildren(*node, n, build);
      key += ")";
      return node;
    }
    }
    throw FormulaFault{"unsupported formula element", n.position};
  }

  void addChildren(FormulaNode& parent, const AstNode& n, FormulaBuild& build) {
    for (size_t i = 0; i < n.children.size(); ++i) {
      if (i) build.key += ",";
      parent.addChild(compile(n.children[i], build).release());
    }
  }

  static std::string numberKey(double x) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", x);
    return buffer;
  }

  // Returns the sheet index a reference names (the formula's own sheet when it names none); throws
  // for a sheet the workbook does not have.
  uint32_t sheetOf(const AstNode& n, const FormulaBuild& build) {
    if (!n.sheet) return build.sheet;
    int32_t index = source_.findSheet(*n.sheet);
    if (index < 0) return CellAddress::kNoSheet;
    return static_cast<uint32_t>(index);
  }

  // A cell or fixed area. A reference that moves with the cell (a relative part, or no sheet of its own)
  // becomes an operand of the cell, so that cells whose formulas differ only there share a template.
  NodePtr reference(const AstNode& n, FormulaBuild& build) {
    uint32_t sheet = sheetOf(n, build);
    if (sheet == CellAddress::kNoSheet) {
      build.key += "e" + std::to_string(ErrRef);
      return std::make_unique<ErrorNode>(ErrRef);
    }
    bool cell = n.kind == AstKind::CellRef;
    RefCorner a = n.first, b = cell ? n.first : n.second;
    bool absolute;
    if (n.wholeColumns) {
      a.row = 0, b.row = kSheetRows - 1;
      absolute = a.columnAbsolute && b.columnAbsolute;
    } else if (n.wholeRows) {
      a.column = 0, b.column = kSheetColumns - 1;
      absolute = a.rowAbsolute && b.rowAbsolute;
    } else {
      absolute = a.rowAbsolute && a.columnAbsolute && b.rowAbsolute && b.columnAbsolute;
    }
    CellAddress first = CellAddress::make(sheet, a.column, a.row);
    CellAddress second = CellAddress::make(sheet, b.column, b.row);
    std::string refKey =
        (cell ? "C" : "A") + std::to_string(first.sheetColumn) + "." + std::to_string(first.row) +
        (cell ? "" : ":" + std::to_string(second.sheetColumn) + "." + std::to_string(second.row));
    auto makeNode = [&]() -> NodePtr {
      if (cell) {
        build.precedents.push_back(first);
        return std::make_unique<CellRefNode>(wb_, first);
      }
      return std::make_unique<AreaRefNode>(wb_, first, second, 0);
    };
    if (!build.extractOperands || (absolute && n.sheet)) {
      build.key += refKey;
      return makeNode();
    }
    auto [it, fresh] = build.operandIndex.try_emplace(refKey, static_cast<int32_t>(build.operands.size()));
    if (fresh) build.operands.push_back(makeNode());
    build.key += "@" + std::to_string(it->second);
    return std::make_unique<OperandRefNode>(it->second);
  }

  // A reference into another workbook ([1]Sheet1!A1); [0] names this workbook itself.
  NodePtr external(const AstNode& n, FormulaBuild& build) {
    if (n.children.empty()) throw FormulaFault{"empty external reference", n.position};
    if (n.externalIndex == 0) return compile(n.children[0], build);
    int32_t index = n.externalIndex - 1;
    if (index < 0 || index > 0x7FFF) throw FormulaFault{"external workbook index out of range", n.position};
    std::u16string text = formulaToText(n.children[0]);
    build.flags |= CellVolatile;
    build.key += "X" + std::to_string(index) + ":" + utf16ToUtf8(text);
    return std::make_unique<ExternalRefNode>(wb_, static_cast<int16_t>(index), text);
  }

  NodePtr arrayConstant(const AstNode& n, FormulaBuild& build) {
    auto node = std::make_unique<ArrayNode>();
    uint32_t columns = std::max<uint32_t>(n.columns, 1);
    build.key += "a" + std::to_string(columns) + "{";
    CalcValue row;
    size_t inRow = 0;
    for (const AstNode& element : n.children) {
      CalcValue v;
      switch (element.kind) {
      case AstKind::Number:
        v.setNumber(element.number);
        build.key += "n" + numberKey(element.number);
        break;
      case AstKind::Text:
        v.setText(element.text);
        build.key += "t" + std::to_string(element.text.size()) + ":" + utf16ToUtf8(element.text);
        break;
      case AstKind::Boolean:
        v.setBoolean(element.boolean);
        build.key += element.boolean ? "T" : "F";
        break;
      case AstKind::Error:
        v.setError(element.error);
        build.key += "e" + std::to_string(element.error);
        break;
      default:
        throw FormulaFault{"array constants hold only numbers, texts, booleans and errors", element.position};
      }
      build.key += ",";
      row.appendToArray(v);
      if (++inRow == columns) {
        node->appendRow(row);
        row = CalcValue();
        inRow = 0;
      }
    }
    if (inRow) node->appendRow(row);
    build.key += "}";
    return node;
  }

  NodePtr call(const AstNode& n, FormulaBuild& build) {
    const FunctionTable& table = functionTable();
    int number = table.lookupNumber(n.text);
    // Worksheet functions carry the call marker: the functions the table knows, and the newer ones that
    // files store with a prefix (_xlfn.CONCAT); any other name is a macro of the workbook.
    int32_t flags = number >= 0 || storedWithPrefix(n, build.text) ? 1 : 0;
    if (const FunctionDescriptor* d = number >= 0 ? table.descriptor(number) : nullptr)
      if (d->flags & FuncVolatile) build.flags |= CellVolatile;
    if (n.text == u"OFFSET") build.flags |= CellVolatile | CellDynamicReferences;
    if (n.text == u"INDIRECT") build.flags |= CellDynamicReferences;
    if (n.text == u"SUBTOTAL" || n.text == u"AGGREGATE") build.flags |= CellSubtotal;
    build.key += "f" + utf16ToUtf8(n.text) + "/" + std::to_string(flags) + "(";
    auto node = std::make_unique<CallNode>(n.text, flags);
    addChildren(*node, n, build);
    build.key += ")";
    return node;
  }

  // Returns true when the call's name is written with a worksheet-function prefix in the source text.
  static bool storedWithPrefix(const AstNode& n, std::u16string_view text) {
    if (n.position >= text.size()) return false;
    std::u16string head = upperAscii(text.substr(n.position, 6));
    return head == u"_XLFN." || head == u"_XLWS.";
  }

  // Returns the index of the name a formula on `sheet` means: a name qualified with a sheet is that
  // sheet's; otherwise the sheet's own name first, then the workbook's. -1 when there is none.
  int32_t findName(const AstNode& n, uint32_t sheet) {
    std::u16string upper = upperAscii(n.text);
    if (n.sheet) {
      int32_t scope = source_.findSheet(*n.sheet);
      auto it = nameIndex_.find({upper, scope});
      return it == nameIndex_.end() ? -1 : it->second;
    }
    auto it = nameIndex_.find({upper, static_cast<int32_t>(sheet)});
    if (it == nameIndex_.end()) it = nameIndex_.find({upper, -1});
    return it == nameIndex_.end() ? -1 : it->second;
  }

  // ------------------------------------------------------------------ helpers

  Area areaOf(uint32_t sheet, const SourceRange& r) const {
    return Area{CellAddress::make(sheet, r.firstColumn, r.firstRow),
                CellAddress::make(sheet, r.lastColumn, r.lastRow)};
  }

  Area tableArea(const SourceDataTable& table) const {
    SourceRange r = table.range;
    if (r.firstRow > 0) --r.firstRow;
    if (r.firstColumn > 0) --r.firstColumn;
    return areaOf(table.sheet, r);
  }

  std::string cellText(const SourceCell& sc) const {
    std::string sheet = sc.sheet < source_.sheets.size() ? utf16ToUtf8(source_.sheets[sc.sheet].name) : "?";
    return sheet + "!" + cellName(sc.row, sc.column);
  }

  // The position counts from the '=' that the message puts before the formula (0-based).
  static std::string describe(const FormulaFault& fault, const std::u16string& formula) {
    return fault.what + " at " + std::to_string(fault.position + 1) + " in =" + utf16ToUtf8(formula);
  }

  const SourceWorkbook& source_;
  CompiledWorkbook& wb_;
  const CompileOptions& options_;
  CompileReport& report_;
  std::map<std::string, int32_t> templates_;
  std::map<std::pair<std::u16string, int32_t>, int32_t> nameIndex_;
};

} // namespace

void compileWorkbook(const SourceWorkbook& source, CompiledWorkbook& workbook, const CompileOptions& options,
                     CompileReport* report) {
  CompileReport local;
  Compiler(source, workbook, options, report ? *report : local).run();
}

std::vector<uint8_t> compileToStream(const SourceWorkbook& source, const CompileOptions& options,
                                     CompileReport* report) {
  CompiledWorkbook workbook;
  compileWorkbook(source, workbook, options, report);
  std::vector<uint8_t> bytes;
  WriteResult result = writeWorkbook(workbook, bytes);
  if (!result.ok) {
    CellAddress a = result.failedCell;
    throw CompileError("the stored value of " + cellName(a.rowIndex(), a.column()) + " on sheet " +
                       std::to_string(a.sheet()) + " is too long for the stream");
  }
  return bytes;
}

void loadStreamBytes(const std::vector<uint8_t>& bytes, CompiledWorkbook& workbook) {
  StreamReader reader;
  reader.addInflated(bytes);
  loadWorkbook(reader, workbook);
}

std::vector<std::vector<uint8_t>> streamToChunks(const std::vector<uint8_t>& bytes, size_t chunkSize) {
  std::vector<std::vector<uint8_t>> chunks;
  if (chunkSize == 0) chunkSize = 1 << 16;
  for (size_t at = 0; at < bytes.size(); at += chunkSize) {
    size_t n = std::min(chunkSize, bytes.size() - at);
    std::vector<uint8_t> block = CompressedBlock::write(bytes.data() + at, n);
    if (block.empty()) throw CompileError("a stream chunk could not be compressed");
    chunks.push_back(std::move(block));
  }
  return chunks;
}

} // namespace cwbk::compiler
