// Running a workbook outside the host: full calculation, input changes, the cells the engine cannot
// compute, value texts, and the comparison with cached values (loading files is in workbook_files.cpp).
#include "compiler/workbook_calc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "compiler/formula_decompiler.h"
#include "compiler/formula_parser.h"
#include "format/number_format.h"
#include "formula/call_node.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"
#include "formula/workbook_stream.h"

namespace cwbk::compiler {

void calculateAll(CompiledWorkbook& workbook) {
  workbook.prepareAfterLoad();
  std::vector<Cell*> all = workbook.calculatedCells().cells();
  workbook.recalculate(std::move(all), true);
}

CalcValue parseInputValue(std::string_view text) {
  CalcValue v;
  if (text.empty()) return v;
  std::string s(text);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
    std::string inner;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
      inner.push_back(s[i]);
      if (s[i] == '"' && i + 2 < s.size() && s[i + 1] == '"') ++i;
    }
    v.setText(utf8ToUtf16Replacing(inner));
    return v;
  }
  std::string upper = s;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "TRUE" || upper == "FALSE") {
    v.setBoolean(upper == "TRUE");
    return v;
  }
  if (auto error = errorFromEnglishText(utf8ToUtf16Replacing(upper))) {
    v.setError(*error);
    return v;
  }
  char* end = nullptr;
  double x = std::strtod(s.c_str(), &end);
  if (end && *end == 0 && std::isfinite(x) && !std::isspace(static_cast<unsigned char>(s[0])) &&
      s.find_first_of("xXpPnN") == std::string::npos) {
    v.setNumber(x);
    return v;
  }
  v.setText(utf8ToUtf16Replacing(s));
  return v;
}

namespace {

// Returns the sheet index of a reference's sheet (the first sheet when it names none), or -1.
int32_t sheetOfName(const CompiledWorkbook& workbook, const AstNode& n) {
  if (n.sheet) return workbook.sheetIndex(*n.sheet);
  if (workbook.sheets().empty()) return -1;
  return static_cast<int32_t>(workbook.sheets().begin()->first);
}

bool plainSheetName(std::u16string_view name) {
  if (name.empty() || (name[0] >= u'0' && name[0] <= u'9')) return false;
  for (char16_t c : name)
    if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
          c == u'.' || c > 0x7F))
      return false;
  // A name that reads as a cell (A1, R1C1) must be quoted too.
  ParseResult parsed = parseFormula(name);
  return !parsed.ok() || parsed.tree.kind == AstKind::Name;
}

} // namespace

std::optional<Area> parseAreaName(const CompiledWorkbook& workbook, std::string_view text) {
  ParseResult parsed = parseFormulaUtf8(text);
  if (!parsed.ok()) return std::nullopt;
  const AstNode& n = parsed.tree;
  if (n.kind != AstKind::CellRef && !(n.kind == AstKind::AreaRef && !n.isComputedArea())) return std::nullopt;
  int32_t sheet = sheetOfName(workbook, n);
  if (sheet < 0) return std::nullopt;
  RefCorner b = n.kind == AstKind::CellRef ? n.first : n.second;
  Area area{CellAddress::make(sheet, n.first.column, n.first.row), CellAddress::make(sheet, b.column, b.row)};
  normalize(area);
  return area;
}

std::optional<CellAddress> parseCellName(const CompiledWorkbook& workbook, std::string_view text) {
  std::optional<Area> area = parseAreaName(workbook, text);
  if (!area || area->first != area->second) return std::nullopt;
  return area->first;
}

std::string sheetPrefix(const CompiledWorkbook& workbook, uint32_t sheet) {
  const SheetInfo* info = workbook.sheet(sheet);
  if (!info) return "#REF!";
  if (plainSheetName(info->name)) return utf16ToUtf8(info->name) + "!";
  std::string quoted = "'";
  for (char c : utf16ToUtf8(info->name)) {
    quoted.push_back(c);
    if (c == '\'') quoted.push_back(c);
  }
  return quoted + "'!";
}

std::string addressName(const CompiledWorkbook& workbook, CellAddress address) {
  return sheetPrefix(workbook, address.sheet()) + cellName(address.rowIndex(), address.column());
}

void applyChanges(CompiledWorkbook& workbook, const std::vector<std::pair<CellAddress, CalcValue>>& changes) {
  std::vector<Cell*> changed;
  for (const auto& [address, value] : changes) {
    Cell* cell = workbook.findOrCreateCell(address);
    if (!cell) throw SourceError(addressName(workbook, address) + ": no such cell");
    if (cell->hasFormula() || cell->hasFlag(CellArrayFormula))
      throw SourceError(addressName(workbook, address) + " holds a formula; only input cells can be set");
    workbook.setCellValue(value, *cell);
    changed.push_back(cell);
  }
  workbook.recalculate(std::move(changed), true);
}

// ---------------------------------------------------------------- cells the engine does not compute

namespace {

// Walks a cell's formula: what it reads, and the first thing in it the engine cannot compute.
class FormulaWalk {
public:
  FormulaWalk(const CompiledWorkbook& workbook, const Cell& cell, bool changingValues)
      : wb_(workbook), cell_(cell), changingValues_(changingValues) {}

  void run() {
    if (cell_.hasFlag(CellHostComputed)) reason = "a formula left to the host";
    if (cell_.templateIndex() >= 0)
      if (FormulaNode* root = const_cast<CompiledWorkbook&>(wb_).formulaTemplate(cell_.templateIndex()))
        walk(*root, 0);
  }

  std::string reason;
  std::vector<CellAddress> cells;
  std::vector<Area> areas;

private:
  void walk(FormulaNode& n, int depth) {
    if (depth > 2048) return;
    switch (n.kind()) {
    case NodeKind::CellRef:
      cells.push_back(static_cast<CellRefNode&>(n).address());
      break;
    case NodeKind::AreaRef: {
      auto& area = static_cast<AreaRefNode&>(n);
      if (!area.isComputed()) areas.push_back(Area{area.first(), area.second()});
      break;
    }
    case NodeKind::ExternalRef:
      note("a reference to another workbook");
      break;
    case NodeKind::DdeRef:
      note("a DDE link");
      break;
    case NodeKind::Call:
      if (auto* call = dynamic_cast<CallNode*>(&n)) {
        const std::u16string& name = call->name();
        if (!call->implementation())
          note(utf16ToUtf8(name));
        else if ((name == u"TEXT" || name == u"LINEST") && !evaluationContext().functionService)
          note(name == u"TEXT" ? "TEXT (formatted by the host)" : "LINEST (computed by the host)");
        else if (changingValues_ &&
                 (name == u"RAND" || name == u"RANDBETWEEN" || name == u"NOW" || name == u"TODAY"))
          note(utf16ToUtf8(name) + " (a new value in every calculation)");
      }
      break;
    case NodeKind::OperandRef: {
      auto index = static_cast<ProxyNode&>(n).index();
      const auto& roots = cell_.operandRoots();
      if (index >= 0 && static_cast<size_t>(index) < roots.size() && roots[index])
        walk(*roots[index], depth + 1);
      return;
    }
    case NodeKind::NameRef: {
      auto index = static_cast<ProxyNode&>(n).index();
      const auto& names = wb_.definedNames();
      if (index >= 0 && static_cast<size_t>(index) < names.size() && names[index].root &&
          seenNames_.insert(index).second)
        walk(*names[index].root, depth + 1);
      return;
    }
    case NodeKind::TemplateRef:
    case NodeKind::SharedRef: {
      auto index = static_cast<ProxyNode&>(n).index();
      const auto& list = n.kind() == NodeKind::SharedRef ? wb_.sharedExpressions() : wb_.formulaTemplates();
      if (index >= 0 && static_cast<size_t>(index) < list.size() && list[index] &&
          seenLists_.insert({static_cast<int>(n.kind()), index}).second)
        walk(*list[index], depth + 1);
      return;
    }
    default:
      break;
    }
    if (const auto* children = n.children())
      for (FormulaNode* child : *children)
        if (child) walk(*child, depth + 1);
  }

  void note(std::string what) {
    if (reason.empty()) reason = std::move(what);
  }

  const CompiledWorkbook& wb_;
  const Cell& cell_;
  bool changingValues_;
  std::set<int32_t> seenNames_;
  std::set<std::pair<int, int32_t>> seenLists_;
};

} // namespace

std::map<const Cell*, std::string> notComputedCells(const CompiledWorkbook& workbook, bool changingValues) {
  std::map<const Cell*, std::string> result;
  std::map<const Cell*, std::vector<const Cell*>> readers;
  std::deque<const Cell*> queue;
  auto readBy = [&](const Cell* read, const Cell* reader) {
    if (read != reader) readers[read].push_back(reader);
  };
  for (const Cell* cell : workbook.calculatedCells().cells()) {
    FormulaWalk walk(workbook, *cell, changingValues);
    walk.run();
    if (!walk.reason.empty()) {
      result.emplace(cell, walk.reason);
      queue.push_back(cell);
    }
    for (CellAddress a : walk.cells)
      if (const Cell* read = workbook.findCell(a)) readBy(read, cell);
    for (Area area : walk.areas) {
      normalize(area);
      if (!area.isValid() || !area.isOneSheet()) continue;
      workbook.forEachCellIn(area, [&](Cell& read) {
        if (read.hasFormula() || read.hasFlag(CellArrayFormula)) readBy(&read, cell);
      });
    }
  }
  // Members of an array formula show what their master computes.
  workbook.forEachCell([&](Cell& cell) {
    if (!cell.isArrayMember() || !cell.arrayArea().isValid()) return;
    if (const Cell* master = workbook.findCell(cell.arrayArea().first)) readBy(master, &cell);
  });
  while (!queue.empty()) {
    const Cell* cell = queue.front();
    queue.pop_front();
    auto it = readers.find(cell);
    if (it == readers.end()) continue;
    const std::string reason = result[cell];
    for (const Cell* reader : it->second)
      if (result.emplace(reader, reason).second) queue.push_back(reader);
  }
  return result;
}

// ---------------------------------------------------------------- value texts

namespace {

std::string shortestNumber(double x) {
  if (x == 0) return "0";
  if (!std::isfinite(x)) return x != x ? "NaN" : x > 0 ? "Infinity" : "-Infinity";
  char buffer[64];
  int precision = 1;
  for (; precision < 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, x);
    if (std::strtod(buffer, nullptr) == x) break;
  }
  // Plain notation for the usual magnitudes, exponent notation beyond them.
  double magnitude = std::fabs(x);
  if (magnitude >= 1e-5 && magnitude < 1e15) {
    int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
    int decimals = std::max(0, precision - 1 - exponent);
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, x);
    if (std::strtod(buffer, nullptr) != x) std::snprintf(buffer, sizeof buffer, "%.*g", precision, x);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, x);
  }
  return buffer;
}

} // namespace

std::string valueText(const CalcValue& value) {
  switch (value.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double:
    return shortestNumber(value.numberValue());
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return utf16ToUtf8(value.textView());
  case CalcValue::Boolean:
    return value.booleanValue() ? "TRUE" : "FALSE";
  case CalcValue::Error:
    return utf16ToUtf8(errorLiteralText(static_cast<CalcError>(value.errorCode())));
  case CalcValue::Array: {
    const CalcValue* first = value.element(0, 0);
    return first ? valueText(*first) : std::string();
  }
  default:
    return {};
  }
}

std::string formattedText(const CalcValue& value, std::u16string_view code, bool date1904) {
  switch (value.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double: {
    std::optional<std::u16string> shown = formatNumber(value.numberValue(), code, dateSystemOf(date1904));
    return shown ? utf16ToUtf8(*shown) : "########";
  }
  case CalcValue::ShortText:
  case CalcValue::LongText: {
    std::optional<std::u16string> shown = formatText(value.textView(), code);
    return utf16ToUtf8(shown ? *shown : std::u16string(value.textView()));
  }
  case CalcValue::Array: {
    const CalcValue* first = value.element(0, 0);
    return first ? formattedText(*first, code, date1904) : std::string();
  }
  default:
    return valueText(value);
  }
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        out += buffer;
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
  }
  return out + "\"";
}

std::string valueJson(const CalcValue& value) {
  switch (value.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double:
    return shortestNumber(value.numberValue());
  case CalcValue::ShortText:
  case CalcValue::LongText:
    return jsonString(utf16ToUtf8(value.textView()));
  case CalcValue::Boolean:
    return value.booleanValue() ? "true" : "false";
  case CalcValue::Error:
    return "{\"error\": " + jsonString(valueText(value)) + "}";
  case CalcValue::Array: {
    const CalcValue* first = value.element(0, 0);
    return first ? valueJson(*first) : "null";
  }
  default:
    return "null";
  }
}

// ---------------------------------------------------------------- checking against cached values

bool valuesMatch(const SourceValue& expected, const CalcValue& got, double tolerance) {
  switch (expected.kind) {
  case SourceValue::Number: {
    if (!got.isNumber()) return false;
    double a = expected.number, b = got.numberValue();
    double diff = std::fabs(a - b);
    return diff <= tolerance * std::max({std::fabs(a), std::fabs(b), 1.0});
  }
  case SourceValue::Text:
    return got.isText() && got.textView() == std::u16string_view(expected.text);
  case SourceValue::Boolean:
    return got.isBoolean() && got.booleanValue() == expected.boolean;
  case SourceValue::Error:
    return got.isErrorValue() && got.errorCode() == expected.error;
  default:
    return got.isEmpty();
  }
}

namespace {

std::string sourceValueText(const SourceValue& v) {
  switch (v.kind) {
  case SourceValue::Number:
    return shortestNumber(v.number);
  case SourceValue::Text:
    return jsonString(utf16ToUtf8(v.text));
  case SourceValue::Boolean:
    return v.boolean ? "TRUE" : "FALSE";
  case SourceValue::Error:
    return utf16ToUtf8(v.text.empty() ? errorLiteralText(v.error) : std::u16string_view(v.text));
  default:
    return "(empty)";
  }
}

std::string shownValue(const CalcValue& v) {
  if (v.isText()) return jsonString(valueText(v));
  if (v.isEmpty()) return "(empty)";
  return valueText(v);
}

} // namespace

CheckResult checkAgainstCache(const SourceWorkbook& source, CompiledWorkbook& workbook,
                              const CheckOptions& options) {
  CheckResult result;
  std::map<const Cell*, std::string> notComputed = notComputedCells(workbook, true);
  for (const SourceCell& sc : source.cells) {
    bool formula = sc.kind == CellKind::Formula || sc.kind == CellKind::SharedFormula ||
                   sc.kind == CellKind::ArrayFormula;
    if (sc.kind == CellKind::DataTable) {
      ++result.skipped;
      continue;
    }
    if (!formula) continue;
    Cell* cell = workbook.findCell(CellAddress::make(sc.sheet, sc.column, sc.row));
    bool knownError = sc.cached.kind != SourceValue::Error ||
                      errorFromEnglishText(sc.cached.text).has_value() || sc.cached.text.empty();
    if (!cell || sc.cached.isNone() || !knownError || notComputed.count(cell)) {
      ++result.skipped;
      continue;
    }
    CalcValue got;
    got.copyFrom(workbook.cellValue(*cell));
    if (got.isArray()) {
      const CalcValue* first = got.element(0, 0);
      CalcValue kept;
      if (first) kept.copyFrom(*first);
      got = std::move(kept);
    }
    if (valuesMatch(sc.cached, got, options.tolerance)) {
      ++result.passed;
      continue;
    }
    ++result.failed;
    CheckMismatch m;
    m.cell = addressName(workbook, cell->address());
    const SourceCell* master = &sc;
    if (sc.kind == CellKind::ArrayFormula && !sc.master)
      master = source.findCell(sc.sheet, sc.range.firstRow, sc.range.firstColumn);
    if (master)
      m.formula = (sc.kind == CellKind::ArrayFormula ? "{=" : "=") + utf16ToUtf8(master->formula) +
                  (sc.kind == CellKind::ArrayFormula ? "}" : "");
    m.expected = sourceValueText(sc.cached);
    m.got = shownValue(got);
    result.mismatches.push_back(std::move(m));
  }
  return result;
}

} // namespace cwbk::compiler
