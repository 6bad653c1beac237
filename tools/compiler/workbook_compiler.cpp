// The workbook compiler: parses every formula, turns each into a shared template plus the cell's own
// operand trees, builds the model's sheets, names, cells, array formulas and data tables, and writes the
// stream through the model's writer.
//
// Formulas are compiled in two passes. The first reduces every formula to its shape, in which each
// placeholder (a number, or a reference that moves with the cell) is left open, and gathers the cells of
// each shape into a group. For each placeholder the group then decides: a value that is the same in
// every cell of the group is baked into the template; one that varies becomes an operand of each cell,
// and placeholders that agree with each other in every cell share one operand. The second pass compiles
// each cell by its group's plan; cells share a template when their compiled keys are equal. A group
// compiles to one template, so only its first cell is compiled again: the others take that template
// and make their operands from the placeholders the shape pass kept.
#include "compiler/workbook_compiler.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>

#include "compiler/formula_parser.h"
#include "compiler/workbook_calc.h"
#include "formula/array_node.h"
#include "formula/call_node.h"
#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "formula/constant_nodes.h"
#include "formula/function_table.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"

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

// What a placeholder's node is made of: a number ('n'), a cell ('C') or an area ('A').
struct PlaceholderValue {
  char kind = 'n';
  double number = 0;
  CellAddress first;
  CellAddress second;
};

// What one formula compiles into: the template (or, for a name, the whole tree), the operands that
// the template reaches by index, the template's key, the flags its functions call for, and the single
// cells it reads.
struct FormulaBuild {
  bool extractOperands = true;      // false for defined names: every reference stays in the tree
  uint32_t sheet = 0;               // the sheet of the formula's cell (or of the name's scope)
  const SourceCell* cell = nullptr; // the formula's cell; none for a defined name
  // The shape pass writes a marker for each placeholder into the key and collects the placeholders'
  // values; the key is then the formula's shape.
  bool shapeOnly = false;
  // For each placeholder in order: -1 to bake it into the template, else the operand it becomes.
  // Without a plan, numbers are baked and moving references are operands.
  const std::vector<int32_t>* plan = nullptr;
  size_t placeholders = 0;               // placeholders met so far
  std::vector<std::string> values;       // shape pass: each placeholder's value, as the key writes it
  std::vector<bool> bakeable;            // shape pass: false for a placeholder that always stays an operand
  std::vector<PlaceholderValue> sources; // shape pass: what each placeholder's node is made of
  // Shape pass: for each of the precedents, the placeholder it comes from (-1 for a fixed reference).
  std::vector<int32_t> precedentSources;
  int32_t making = -1; // the placeholder whose node is being made, or -1
  std::vector<NodePtr> operands;
  std::map<std::string, int32_t> operandIndex; // without a plan: operand key -> index
  std::string key;
  uint32_t flags = 0;
  std::vector<CellAddress> precedents;
  std::u16string_view text; // the formula text the syntax tree's positions point into
  // For a defined name: collects the names its formula reaches. Null for a cell, whose formula fails
  // on a name left to the host instead.
  std::vector<int32_t>* usedNames = nullptr;
};

// A single cell a formula reads: a placeholder's cell, or a fixed cell.
struct Read {
  int32_t placeholder;
  CellAddress fixed;
};

// What the second pass needs of a group of formulas of one shape.
struct GroupPlan {
  std::vector<int32_t> plan;  // see FormulaBuild::plan
  size_t slots = 0;           // the operands the plan makes
  std::vector<Read> reads;    // the cells the formula reads, in the order it reads them
  int32_t templateIndex = -1; // once the group's first cell is compiled
  uint32_t flags = 0;
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
    planFormulas();
    cells();
    dataCells();
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

  // Every name is entered before any formula is compiled, so that names may use each other. A name
  // that cannot be compiled is left to the host, and so is every name that uses it; a cell formula
  // that reaches such a name fails with the reason. A name that is one reference across a range of
  // sheets still serves as a whole argument of SUM and its kin, one argument per sheet.
  void names() {
    for (const SourceName& name : source_.names) {
      DefinedName entry;
      entry.name = name.name;
      entry.scope = name.scope;
      nameIndex_.emplace(std::make_pair(upperAscii(name.name), name.scope),
                         static_cast<int32_t>(wb_.definedNames().size()));
      wb_.definedNames().push_back(std::move(entry));
    }
    size_t count = source_.names.size();
    nameSheets_.resize(count);
    nameFaults_.assign(count, std::string());
    for (size_t i = 0; i < count; ++i)
      nameSheets_[i] =
          parseReferenceAcrossSheets(source_.names[i].formula, FormulaSite{&source_, scopeSheet(i)});
    std::vector<std::vector<int32_t>> users(count); // each name's users among the names
    std::vector<size_t> faulty;
    for (size_t i = 0; i < count; ++i) {
      FormulaBuild build;
      build.extractOperands = false;
      build.sheet = scopeSheet(i);
      std::vector<int32_t> used;
      build.usedNames = &used;
      NodePtr root;
      try {
        root = compileText(source_.names[i].formula, build);
      } catch (const FormulaFault& fault) {
        nameFaults_[i] = fault.what;
        faulty.push_back(i);
        root = std::make_unique<ErrorNode>(ErrRef);
      }
      for (int32_t name : used)
        users[static_cast<size_t>(name)].push_back(static_cast<int32_t>(i));
      wb_.definedNames()[i].root = root.release();
    }
    for (size_t k = 0; k < faulty.size(); ++k) {
      size_t name = faulty[k];
      for (int32_t user : users[name]) {
        if (!nameFaults_[static_cast<size_t>(user)].empty()) continue;
        nameFaults_[static_cast<size_t>(user)] =
            "it uses the name " + utf16ToUtf8(source_.names[name].name) + ", which is left to the host";
        faulty.push_back(static_cast<size_t>(user));
      }
    }
    std::sort(faulty.begin(), faulty.end());
    for (size_t name : faulty)
      report_.hostComputed.push_back("name " + utf16ToUtf8(source_.names[name].name) + ": " +
                                     nameFaults_[name]);
  }

  // Returns the sheet a defined name's formula is read on: its scope's, or the first.
  uint32_t scopeSheet(size_t name) const {
    int32_t scope = source_.names[name].scope;
    return scope >= 0 ? static_cast<uint32_t>(scope) : 0;
  }

  static bool hasFormula(const SourceCell& sc) {
    return sc.kind == CellKind::Formula || sc.kind == CellKind::SharedFormula ||
           (sc.kind == CellKind::ArrayFormula && sc.master);
  }

  // The first pass: groups the formula cells by shape and makes each group's plan (see the top of the
  // file). A formula that cannot be compiled is left without a plan; the second pass reports it.
  void planFormulas() {
    struct Group {
      std::vector<std::string> first; // the placeholders' values in the group's first cell
      std::vector<bool> bakeable;
      std::vector<bool> constant;   // the value is the same in every cell so far
      std::vector<int32_t> classes; // placeholders of one class agree in every cell so far
    };
    std::map<std::string, int32_t> groupIndex;
    std::vector<Group> groups;
    // A data table finds its input cells among the operands of its first result cell, so a formula
    // there keeps every moving reference as an operand, in order, and is left out of the groups.
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> tableCells;
    for (const SourceDataTable& table : source_.dataTables)
      tableCells.emplace(table.sheet, table.range.firstRow, table.range.firstColumn);
    planOfCell_.assign(source_.cells.size(), -1);
    firstPlaceholder_.assign(source_.cells.size(), 0);
    size_t total = std::count_if(source_.cells.begin(), source_.cells.end(), hasFormula);
    size_t done = 0;
    for (size_t i = 0; i < source_.cells.size(); ++i) {
      const SourceCell& sc = source_.cells[i];
      if (!hasFormula(sc)) continue;
      if (options_.progress && ++done % kProgressStep == 0) options_.progress(done, total);
      if (tableCells.contains({sc.sheet, sc.row, sc.column})) continue;
      FormulaBuild build;
      build.sheet = sc.sheet;
      build.cell = &sc;
      build.shapeOnly = true;
      try {
        compileText(sc.formula, build);
      } catch (const FormulaFault&) {
        continue;
      }
      auto [it, fresh] = groupIndex.try_emplace(std::move(build.key), static_cast<int32_t>(groups.size()));
      size_t count = build.values.size();
      if (fresh) {
        Group& g = groups.emplace_back();
        g.first = build.values;
        g.bakeable = build.bakeable;
        g.constant.assign(count, true);
        g.classes.assign(count, 0);
        std::vector<Read>& reads = groups_.emplace_back().reads;
        for (size_t k = 0; k < build.precedents.size(); ++k)
          reads.push_back(Read{build.precedentSources[k], build.precedents[k]});
      }
      Group& g = groups[static_cast<size_t>(it->second)];
      if (g.first.size() != count) continue; // the shape holds the count; this is only a guard
      // Refines the classes: two placeholders stay in one class while they agree in every cell.
      std::map<std::pair<int32_t, std::string_view>, int32_t> refined;
      for (size_t p = 0; p < count; ++p) {
        if (g.constant[p] && build.values[p] != g.first[p]) g.constant[p] = false;
        auto [c, added] =
            refined.try_emplace({g.classes[p], build.values[p]}, static_cast<int32_t>(refined.size()));
        g.classes[p] = c->second;
      }
      planOfCell_[i] = it->second;
      firstPlaceholder_[i] = placeholders_.size();
      placeholders_.insert(placeholders_.end(), build.sources.begin(), build.sources.end());
    }
    if (options_.progress && total % kProgressStep != 0) options_.progress(total, total);
    for (size_t k = 0; k < groups.size(); ++k) {
      const Group& g = groups[k];
      std::vector<int32_t>& plan = groups_[k].plan;
      std::map<int32_t, int32_t> operandOfClass;
      for (size_t p = 0; p < g.first.size(); ++p) {
        if (g.constant[p] && g.bakeable[p]) {
          plan.push_back(-1);
          continue;
        }
        auto [it, added] =
            operandOfClass.try_emplace(g.classes[p], static_cast<int32_t>(operandOfClass.size()));
        plan.push_back(it->second);
      }
      groups_[k].slots = operandOfClass.size();
    }
  }

  void cells() {
    for (size_t i = 0; i < source_.cells.size(); ++i) {
      const SourceCell& sc = source_.cells[i];
      int32_t group = i < planOfCell_.size() ? planOfCell_[i] : -1;
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
        flags |= formulaCell(i, *cell, group);
        break;
      case CellKind::ArrayFormula:
        cell->setArrayArea(areaOf(sc.sheet, sc.range));
        if (sc.master) {
          flags |= formulaCell(i, *cell, group);
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

  // Marks the data cells (flag 0x80): the cells named in the options, else the cells the source marks
  // (unlocked or stated), else every cell holding a constant. Only cells without a formula of their own
  // are marked; an export leaves formula cells out anyway.
  void dataCells() {
    auto mark = [](Cell& cell) {
      if (!cell.hasFormula() && !cell.hasFlag(CellArrayFormula)) cell.setFlags(CellDirtyInput);
    };
    if (!options_.dataCells.empty()) {
      for (const std::string& text : options_.dataCells) {
        std::optional<Area> area = parseAreaName(wb_, text);
        if (!area) throw SourceError("data cells: '" + text + "' is not a cell or range of the workbook");
        wb_.forEachCellIn(*area, mark);
      }
      return;
    }
    auto marked = [](const SourceCell& sc) { return sc.unlocked || (sc.flags & kFlagDataCell) != 0; };
    bool anyMarked = std::any_of(source_.cells.begin(), source_.cells.end(), marked);
    for (const SourceCell& sc : source_.cells) {
      if (sc.kind != CellKind::Constant || sc.value.isNone() || (anyMarked && !marked(sc))) continue;
      if (Cell* cell = wb_.findCell(CellAddress::make(sc.sheet, sc.column, sc.row))) mark(*cell);
    }
  }

  // Compiles the formula of a formula cell or array master (source cell `index`) by its group's plan;
  // returns the flags its functions call for.
  uint32_t formulaCell(size_t index, Cell& cell, int32_t group) {
    const SourceCell& sc = source_.cells[index];
    GroupPlan* shape = group >= 0 ? &groups_[static_cast<size_t>(group)] : nullptr;
    if (shape && shape->templateIndex >= 0) return groupMember(index, cell, *shape);
    FormulaBuild build;
    build.sheet = sc.sheet;
    build.cell = &sc;
    build.plan = shape ? &shape->plan : nullptr;
    NodePtr root;
    try {
      root = compileText(sc.formula, build);
    } catch (const FormulaFault& fault) {
      if (!options_.lenient) throw CompileError(cellText(sc) + ": " + describe(fault, sc.formula));
      report_.hostComputed.push_back(cellText(sc) + ": " + fault.what);
      if (!sc.cached.isNone()) cell.setValue(toCalcValue(sc.cached));
      return CellHostComputed;
    }
    int32_t templateIndex;
    auto found = templates_.find(build.key);
    if (found != templates_.end()) {
      templateIndex = found->second;
    } else {
      templateIndex = static_cast<int32_t>(wb_.formulaTemplates().size());
      wb_.formulaTemplates().push_back(root.release());
      templates_.emplace(build.key, templateIndex);
    }
    if (shape) {
      shape->templateIndex = templateIndex;
      shape->flags = build.flags;
    }
    finishFormulaCell(sc, cell, templateIndex, build.operands, build.precedents);
    return build.flags;
  }

  // Compiles a cell of a group whose template is made: the same plan gives every cell of the group the
  // same key, so only the operands and the cells read differ, and the shape pass kept what they are
  // made of.
  uint32_t groupMember(size_t index, Cell& cell, const GroupPlan& shape) {
    const PlaceholderValue* values = &placeholders_[firstPlaceholder_[index]];
    // As compiling the formula would: a baked placeholder and the first of each operand make a node.
    std::vector<NodePtr> operands(shape.slots);
    std::vector<bool> made(shape.plan.size());
    for (size_t p = 0; p < shape.plan.size(); ++p) {
      int32_t slot = shape.plan[p];
      made[p] = slot < 0 || !operands[static_cast<size_t>(slot)];
      if (slot >= 0 && made[p]) operands[static_cast<size_t>(slot)] = placeholderNode(values[p]);
    }
    std::vector<CellAddress> precedents;
    for (const Read& read : shape.reads) {
      if (read.placeholder < 0)
        precedents.push_back(read.fixed);
      else if (made[static_cast<size_t>(read.placeholder)])
        precedents.push_back(values[read.placeholder].first);
    }
    finishFormulaCell(source_.cells[index], cell, shape.templateIndex, operands, precedents);
    return shape.flags;
  }

  // Gives the cell its template, operands, links to the cells it reads and its stored result.
  void finishFormulaCell(const SourceCell& sc, Cell& cell, int32_t templateIndex,
                         std::vector<NodePtr>& operands, const std::vector<CellAddress>& precedents) {
    cell.setTemplateIndex(templateIndex);
    for (NodePtr& operand : operands)
      cell.operandRoots().push_back(operand ? operand.release() : new ErrorNode(ErrRef));
    for (CellAddress read : precedents)
      if (Cell* target = wb_.findCell(read); target && target != &cell) wb_.link(cell, *target);
    if (options_.storeFormulaValues && !sc.cached.isNone()) cell.setValue(toCalcValue(sc.cached));
    ++report_.formulaCells;
  }

  NodePtr placeholderNode(const PlaceholderValue& v) {
    if (v.kind == 'n') return std::make_unique<NumberNode>(v.number);
    if (v.kind == 'C') return std::make_unique<CellRefNode>(wb_, v.first);
    return std::make_unique<AreaRefNode>(wb_, v.first, v.second, 0);
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
    FormulaSite site{&source_, build.sheet};
    if (build.cell) {
      site.inCell = true;
      site.row = build.cell->row;
      site.column = build.cell->column;
    }
    ParseResult parsed = parseFormula(text, &site);
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
      return placeholder(build, PlaceholderValue{'n', n.number, {}, {}}, "n" + numberKey(n.number), true,
                         [&] { return std::make_unique<NumberNode>(n.number); });
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
        // A corner that moves with the cell stays an operand: the range is the corners' reference, and
        // a corner kept in the tree would no longer count as one of the cell's references.
        for (size_t i = 0; i < n.children.size(); ++i) {
          if (i) key += ",";
          const AstNode& corner = n.children[i];
          bool plain = (corner.kind == AstKind::CellRef || corner.kind == AstKind::AreaRef) &&
                       !corner.isComputedArea();
          node->addChild((plain ? reference(corner, build, false) : compile(corner, build)).release());
        }
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
      if (build.usedNames) {
        build.usedNames->push_back(index);
      } else if (!nameFaults_[static_cast<size_t>(index)].empty()) {
        throw FormulaFault{"the name " + utf16ToUtf8(n.text) +
                               " is left to the host: " + nameFaults_[static_cast<size_t>(index)],
                           n.position};
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

  // Returns the shortest text that reads back as x: equal numbers and only they have equal keys.
  static std::string numberKey(double x) {
    char buffer[32];
    char* end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
    return std::string(buffer, end);
  }

  // Returns the sheet index a reference names (the formula's own sheet when it names none); throws
  // for a sheet the workbook does not have.
  uint32_t sheetOf(const AstNode& n, const FormulaBuild& build) {
    if (!n.sheet) return build.sheet;
    int32_t index = source_.findSheet(*n.sheet);
    if (index < 0) return CellAddress::kNoSheet;
    return static_cast<uint32_t>(index);
  }

  // A number or a reference that moves with the cell: baked into the template or made an operand of the
  // cell as the plan says. `value` is what the key writes for it when baked; `make` builds its node.
  template <class Make>
  NodePtr placeholder(FormulaBuild& build, const PlaceholderValue& source, std::string value, bool bakeable,
                      Make make) {
    char kind = source.kind;
    if (!build.extractOperands) {
      build.key += value;
      return make();
    }
    size_t position = build.placeholders++;
    if (build.shapeOnly) {
      build.key += '#';
      build.key += kind;
      build.values.push_back(std::move(value));
      build.bakeable.push_back(bakeable);
      build.sources.push_back(source);
      build.making = static_cast<int32_t>(position);
      NodePtr node = make();
      build.making = -1;
      return node;
    }
    int32_t slot;
    if (build.plan && position < build.plan->size()) {
      slot = (*build.plan)[position];
    } else if (bakeable && kind == 'n') {
      slot = -1;
    } else {
      auto [it, fresh] =
          build.operandIndex.try_emplace(value, static_cast<int32_t>(build.operandIndex.size()));
      slot = it->second;
    }
    if (slot < 0) {
      build.key += value;
      return make();
    }
    size_t index = static_cast<size_t>(slot);
    if (build.operands.size() <= index) build.operands.resize(index + 1);
    if (!build.operands[index]) build.operands[index] = make();
    build.key += "@" + std::to_string(slot);
    return std::make_unique<OperandRefNode>(slot);
  }

  // A cell or fixed area. A reference that moves with the cell (a relative part, or no sheet of its own)
  // is a placeholder; one that is fixed stays in the template. `bakeable` is false for a range corner,
  // which stays an operand when it moves.
  NodePtr reference(const AstNode& n, FormulaBuild& build, bool bakeable = true) {
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
    PlaceholderValue source{cell ? 'C' : 'A', 0, first, second};
    auto makeNode = [&]() -> NodePtr {
      if (cell) {
        build.precedents.push_back(first);
        if (build.shapeOnly) build.precedentSources.push_back(build.making);
      }
      return placeholderNode(source);
    };
    if (absolute && n.sheet) {
      build.key += refKey;
      return makeNode();
    }
    return placeholder(build, source, std::move(refKey), bakeable, makeNode);
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
    if (const FunctionDescriptor* d = table.descriptor(number)) {
      if (d->hasTrait(TraitVolatileCell)) build.flags |= CellVolatile;
      if (d->hasTrait(TraitDynamicReferences)) build.flags |= CellDynamicReferences;
      if (d->hasTrait(TraitSubtotal)) build.flags |= CellSubtotal;
    }
    build.key += "f" + utf16ToUtf8(n.text) + "/" + std::to_string(flags) + "(";
    auto node = std::make_unique<CallNode>(n.text, flags);
    bool acrossSheets = takesReferencesAcrossSheets(n.text);
    for (size_t i = 0; i < n.children.size(); ++i) {
      if (i) build.key += ",";
      const AstNode& argument = n.children[i];
      // A name that is a reference across sheets gives one argument per sheet, as the reference would.
      int32_t name = acrossSheets && argument.kind == AstKind::Name ? findName(argument, build.sheet) : -1;
      if (name >= 0 && nameSheets_[static_cast<size_t>(name)]) {
        const std::vector<AstNode>& references = *nameSheets_[static_cast<size_t>(name)];
        for (size_t k = 0; k < references.size(); ++k) {
          if (k) build.key += ",";
          node->addChild(compile(references[k], build).release());
        }
        continue;
      }
      node->addChild(compile(argument, build).release());
    }
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
  static constexpr size_t kProgressStep = 10000;
  std::vector<int32_t> planOfCell_; // source cell index -> its group (-1 for none)
  std::vector<GroupPlan> groups_;
  std::vector<size_t> firstPlaceholder_;       // source cell index -> its first in placeholders_
  std::vector<PlaceholderValue> placeholders_; // every grouped cell's placeholders, cell after cell
  std::map<std::pair<std::u16string, int32_t>, int32_t> nameIndex_;
  // For each defined name: its references, one per sheet, when it is a reference across sheets.
  std::vector<std::optional<std::vector<AstNode>>> nameSheets_;
  std::vector<std::string> nameFaults_; // for each defined name: why it is left to the host, or empty
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
