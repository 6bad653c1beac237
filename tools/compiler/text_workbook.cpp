// Reader of the plain-text workbook format: splits the text into lines, parses each line by the section
// it is in, and builds the SourceWorkbook; every fault is reported with its line number.
#include "compiler/text_workbook.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>

namespace cwbk::compiler {

namespace {

enum class Section { Cells, Sheets, Names, Flags, Cached, Tables, Hyperlinks, Workbook };

struct Position {
  uint32_t sheet;
  uint32_t row;
  uint32_t column;
  friend auto operator<=>(const Position&, const Position&) = default;
};

// A cell or range named at the start of a line, and where the rest of the line begins.
struct Target {
  uint32_t sheet = 0;
  SourceRange range;
  bool isRange = false;
  size_t rest = 0;
};

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
char upper(char c) {
  return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

// Parses an A1 cell name (each part may carry '$') at `pos`; on success advances `pos`.
bool parseCellName(std::string_view s, size_t& pos, uint32_t& row, uint32_t& column) {
  size_t i = pos;
  if (i < s.size() && s[i] == '$') ++i;
  uint64_t col = 0;
  size_t letters = 0;
  while (i < s.size() && isAsciiLetter(s[i]) && letters < 4) {
    col = col * 26 + uint64_t(upper(s[i]) - 'A' + 1);
    ++i;
    ++letters;
  }
  if (letters == 0 || letters > 3 || col > kMaxColumns) return false;
  if (i < s.size() && s[i] == '$') ++i;
  uint64_t r = 0;
  size_t digits = 0;
  while (i < s.size() && isDigit(s[i]) && digits < 8) {
    r = r * 10 + uint64_t(s[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0 || r == 0 || r > kMaxRows) return false;
  if (i < s.size() && (isAsciiLetter(s[i]) || isDigit(s[i]))) return false;
  row = static_cast<uint32_t>(r - 1);
  column = static_cast<uint32_t>(col - 1);
  pos = i;
  return true;
}

class TextReader {
public:
  explicit TextReader(const std::string& sourceName) : sourceName_(sourceName) {}

  SourceWorkbook read(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      ++line_;
      std::string_view lineText = text.substr(start, end - start);
      if (!lineText.empty() && lineText.back() == '\r') lineText.remove_suffix(1);
      if (!isAscii(lineText) && !utf8ToUtf16(lineText)) fail("the line is not valid UTF-8");
      if (lineText.find('\0') != std::string_view::npos) fail("the line holds a NUL character");
      parseLine(trim(lineText));
      start = end + 1;
    }
    finish();
    return std::move(workbook_);
  }

private:
  [[noreturn]] void fail(const std::string& message) const {
    throw SourceError(sourceName_ + ":" + std::to_string(line_) + ": " + message);
  }

  static bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  }

  static std::u16string u16(std::string_view s) {
    if (isAscii(s)) return std::u16string(s.begin(), s.end());
    return utf8ToUtf16(s).value_or(std::u16string());
  }

  void parseLine(std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    if (line.front() == '[') {
      if (line.back() != ']') fail("a section header must end with ']'");
      std::string_view name = trim(line.substr(1, line.size() - 2));
      static const std::pair<const char*, Section> kSections[] = {
          {"cells", Section::Cells},           {"sheets", Section::Sheets},    {"names", Section::Names},
          {"flags", Section::Flags},           {"cached", Section::Cached},    {"tables", Section::Tables},
          {"hyperlinks", Section::Hyperlinks}, {"workbook", Section::Workbook}};
      for (const auto& [word, section] : kSections) {
        if (equalsIgnoringCase(name, word)) {
          section_ = section;
          return;
        }
      }
      fail("unknown section [" + std::string(name) + "]");
    }
    switch (section_) {
    case Section::Cells:
      return parseCell(line);
    case Section::Sheets:
      return parseSheet(line);
    case Section::Names:
      return parseName(line);
    case Section::Flags:
      return parseFlags(line);
    case Section::Cached:
      return parseCached(line);
    case Section::Tables:
      return parseTable(line);
    case Section::Hyperlinks:
      return parseHyperlink(line);
    case Section::Workbook:
      return parseWorkbookSetting(line);
    }
  }

  // Reads a sheet name at `pos`: quoted ('It''s') or bare up to `stop`; advances `pos`.
  std::string readSheetName(std::string_view s, size_t& pos, char stop) const {
    std::string name;
    if (pos < s.size() && s[pos] == '\'') {
      size_t i = pos + 1;
      for (;;) {
        if (i >= s.size()) fail("a quoted sheet name has no closing quote");
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            name.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        name.push_back(s[i++]);
      }
      pos = i;
    } else {
      size_t end = s.find(stop, pos);
      if (end == std::string_view::npos) end = s.size();
      name = std::string(s.substr(pos, end - pos));
      pos = end;
    }
    if (name.empty()) fail("a sheet name is empty");
    return name;
  }

  // Returns the index of the named sheet, adding the sheet at the end when it is new.
  uint32_t sheetIndex(const std::string& name) {
    // Cells come sheet after sheet, so the sheet of the line before is most often the one.
    if (lastSheet_ && lastSheet_->first == name) return lastSheet_->second;
    std::u16string wide = u16(name);
    int32_t index = workbook_.findSheet(wide);
    if (index >= 0) {
      lastSheet_.emplace(name, static_cast<uint32_t>(index));
      return static_cast<uint32_t>(index);
    }
    SourceSheet sheet;
    sheet.name = wide;
    workbook_.sheets.push_back(sheet);
    listed_.push_back(false);
    return static_cast<uint32_t>(workbook_.sheets.size() - 1);
  }

  // Parses "Sheet!A1" or "Sheet!A1:B2" followed by ':' and a blank (or the end of the line).
  Target parseTarget(std::string_view line) {
    Target target;
    size_t pos = 0;
    std::string sheet = readSheetName(line, pos, '!');
    if (pos >= line.size() || line[pos] != '!') fail("expected 'Sheet!A1: ' at the start of the line");
    ++pos;
    if (!parseCellName(line, pos, target.range.firstRow, target.range.firstColumn))
      fail("expected a cell name such as A1 after '!'");
    target.range.lastRow = target.range.firstRow;
    target.range.lastColumn = target.range.firstColumn;
    if (pos + 1 < line.size() && line[pos] == ':' && (isAsciiLetter(line[pos + 1]) || line[pos + 1] == '$')) {
      ++pos;
      if (!parseCellName(line, pos, target.range.lastRow, target.range.lastColumn))
        fail("expected a cell name after ':' in the range");
      if (target.range.lastRow < target.range.firstRow || target.range.lastColumn < target.range.firstColumn)
        fail("a range must name its top-left cell first");
      target.isRange = true;
    }
    if (pos >= line.size() || line[pos] != ':' || (pos + 1 < line.size() && !isBlank(line[pos + 1])))
      fail("expected ': ' after the cell name");
    target.sheet = sheetIndex(sheet);
    target.rest = pos + 1;
    return target;
  }

  Target parseSingleTarget(std::string_view line) {
    Target target = parseTarget(line);
    if (target.isRange) fail("this section takes one cell, not a range");
    return target;
  }

  // Parses a value: "quoted text", TRUE/FALSE, an error literal, a number, or bare text.
  SourceValue parseValue(std::string_view text) const {
    if (text.empty()) return SourceValue();
    if (text.front() == '"') {
      std::string out;
      size_t i = 1;
      for (;;) {
        if (i >= text.size()) fail("quoted text has no closing '\"'");
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            out.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        out.push_back(text[i++]);
      }
      if (i != text.size()) fail("unexpected characters after the closing '\"'");
      return SourceValue::ofText(u16(out));
    }
    if (equalsIgnoringCase(text, "TRUE")) return SourceValue::ofBoolean(true);
    if (equalsIgnoringCase(text, "FALSE")) return SourceValue::ofBoolean(false);
    if (text.front() == '#') {
      std::optional<CalcError> error = errorFromEnglishText(u16(text));
      if (!error) fail("unknown error literal '" + std::string(text) + "' (quote text that starts with '#')");
      return SourceValue::ofError(*error);
    }
    if (std::optional<double> number = parseNumber(text)) return SourceValue::ofNumber(*number);
    return SourceValue::ofText(u16(text));
  }

  // Returns the number written in `text` (digits, one '.', an exponent, a leading sign), or nothing.
  std::optional<double> parseNumber(std::string_view text) const {
    if (text.empty()) return std::nullopt;
    for (char c : text)
      if (!isDigit(c) && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return std::nullopt;
    std::string_view digits = text;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
      negative = digits.front() == '-';
      digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
    double value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (end != digits.data() + digits.size()) return std::nullopt;
    if (error != std::errc() || !std::isfinite(value))
      fail("the number '" + std::string(text) + "' is out of range");
    return negative ? -value : value;
  }

  SourceCell& addCell(const Target& target) {
    Position position{target.sheet, target.range.firstRow, target.range.firstColumn};
    auto [it, fresh] = cellLines_.emplace(position, line_);
    if (!fresh)
      fail("cell " + cellName(position.row, position.column) + " was already given on line " +
           std::to_string(it->second));
    SourceCell& cell = workbook_.cells.emplace_back();
    cell.sheet = position.sheet;
    cell.row = position.row;
    cell.column = position.column;
    return cell;
  }

  void parseCell(std::string_view line) {
    Target target = parseTarget(line);
    std::string_view content = trim(line.substr(target.rest));
    if (!content.empty() && content.front() == '{') {
      if (content.size() < 3 || content[1] != '=' || content.back() != '}')
        fail("an array formula is written {=formula}");
      std::string_view formula = trim(content.substr(2, content.size() - 3));
      if (formula.empty()) fail("the array formula is empty");
      SourceCell& cell = addCell(target);
      cell.kind = CellKind::ArrayFormula;
      cell.formula = u16(formula);
      cell.range = target.range;
      cell.master = true;
      return;
    }
    if (target.isRange) fail("a range takes an array formula {=formula}");
    if (!content.empty() && content.front() == '=') {
      std::string_view formula = trim(content.substr(1));
      if (formula.empty()) fail("the formula is empty");
      SourceCell& cell = addCell(target);
      cell.kind = CellKind::Formula;
      cell.formula = u16(formula);
      return;
    }
    SourceValue value = parseValue(content);
    addCell(target).value = std::move(value);
  }

  void parseSheet(std::string_view line) {
    size_t pos = 0;
    std::string name = readSheetName(line, pos, '=');
    std::string_view rest = line.substr(pos);
    if (line.front() != '\'') {
      name = std::string(trim(name));
      if (name.empty()) fail("a sheet name is empty");
    }
    rest = trim(rest);
    std::u16string codeName;
    if (!rest.empty()) {
      if (rest.front() != '=') fail("expected 'Sheet name = CodeName' or just the sheet name");
      std::string_view code = trim(rest.substr(1));
      if (code.empty()) fail("the code name is empty");
      codeName = u16(code);
    }
    int32_t existing = workbook_.findSheet(u16(name));
    if (existing >= 0) {
      if (listed_[existing]) fail("sheet '" + name + "' is listed twice");
      fail("sheet '" + name + "' is listed after a line used it; list the sheets first");
    }
    uint32_t index = sheetIndex(name);
    listed_[index] = true;
    workbook_.sheets[index].codeName = std::move(codeName);
  }

  void parseName(std::string_view line) {
    size_t equals = std::string_view::npos;
    // The name part ends at the first '=' outside a quoted sheet name.
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\'') quoted = !quoted;
      if (line[i] == '=' && !quoted) {
        equals = i;
        break;
      }
    }
    if (equals == std::string_view::npos) fail("expected 'Name = formula'");
    std::string_view left = trim(line.substr(0, equals));
    std::string_view formula = trim(line.substr(equals + 1));
    if (!formula.empty() && formula.front() == '=') formula = trim(formula.substr(1));
    if (formula.empty()) fail("the name has no formula");

    SourceName name;
    size_t bang = left.rfind('!');
    if (bang != std::string_view::npos) {
      size_t pos = 0;
      std::string sheet = readSheetName(left, pos, '!');
      if (pos != bang) fail("expected 'Sheet!Name' before '='");
      name.scope = static_cast<int32_t>(sheetIndex(sheet));
      left = left.substr(bang + 1);
    }
    if (!validName(left)) fail("'" + std::string(left) + "' is not a valid defined name");
    name.name = u16(left);
    for (const SourceName& other : workbook_.names)
      if (other.scope == name.scope && equalsIgnoringCase(utf16ToUtf8(other.name), left))
        fail("the name '" + std::string(left) + "' is defined twice in one scope");
    name.formula = u16(formula);
    workbook_.names.push_back(std::move(name));
  }

  // Returns whether `name` may be a defined name: a letter, '_' or '\' (or any non-ASCII character)
  // first, then letters, digits, '_', '.', '\' or '?'; and not something that reads as a cell name.
  static bool validName(std::string_view name) {
    if (name.empty()) return false;
    auto letterLike = [](char c) {
      return isAsciiLetter(c) || c == '_' || c == '\\' || static_cast<unsigned char>(c) >= 0x80;
    };
    if (!letterLike(name.front())) return false;
    for (char c : name)
      if (!letterLike(c) && !isDigit(c) && c != '.' && c != '?') return false;
    if (equalsIgnoringCase(name, "TRUE") || equalsIgnoringCase(name, "FALSE")) return false;
    size_t pos = 0;
    uint32_t row, column;
    return !(parseCellName(name, pos, row, column) && pos == name.size());
  }

  void parseFlags(std::string_view line) {
    Target target = parseSingleTarget(line);
    std::string_view rest = line.substr(target.rest);
    uint32_t flags = 0;
    static const std::pair<const char*, uint32_t> kFlags[] = {
        {"volatile", kFlagVolatile},         {"stored", kFlagStored},     {"host", kFlagHostComputed},
        {"dynamic", kFlagDynamicReferences}, {"subtotal", kFlagSubtotal}, {"data", kFlagDataCell}};
    std::istringstream words{std::string(rest)};
    std::string word;
    while (words >> word) {
      bool known = false;
      for (const auto& [flagName, bit] : kFlags) {
        if (equalsIgnoringCase(word, flagName)) {
          flags |= bit;
          known = true;
        }
      }
      if (!known) fail("unknown cell flag '" + word + "' (volatile, stored, host, dynamic, subtotal, data)");
    }
    if (flags == 0) fail("no cell flag given");
    annotations_.push_back({Annotation::Flags, target.sheet, target.range, line_, flags, {}, {}});
  }

  void parseCached(std::string_view line) {
    Target target = parseSingleTarget(line);
    std::string_view content = trim(line.substr(target.rest));
    if (content.empty()) fail("the cached value is missing");
    annotations_.push_back(
        {Annotation::Cached, target.sheet, target.range, line_, 0, parseValue(content), {}});
  }

  void parseHyperlink(std::string_view line) {
    Target target = parseSingleTarget(line);
    std::string_view content = trim(line.substr(target.rest));
    if (content.empty()) fail("the hyperlink is missing");
    annotations_.push_back({Annotation::Hyperlink, target.sheet, target.range, line_, 0, {}, u16(content)});
  }

  void parseTable(std::string_view line) {
    Target target = parseTarget(line);
    SourceDataTable table;
    table.sheet = target.sheet;
    table.range = target.range;
    std::istringstream words{std::string(line.substr(target.rest))};
    std::string word;
    while (words >> word) {
      size_t equals = word.find('=');
      std::string key = word.substr(0, equals == std::string::npos ? word.size() : equals);
      std::string cell = equals == std::string::npos ? std::string() : word.substr(equals + 1);
      size_t pos = 0;
      uint32_t row, column;
      if (cell.empty() || !parseCellName(cell, pos, row, column) || pos != cell.size())
        fail("expected row=CELL and/or column=CELL, such as column=A1");
      std::u16string* input = equalsIgnoringCase(key, "row")      ? &table.rowInputCell
                              : equalsIgnoringCase(key, "column") ? &table.columnInputCell
                                                                  : nullptr;
      if (input == nullptr) fail("unknown data table input '" + key + "' (row, column)");
      if (!input->empty()) fail("the input '" + key + "' is given twice");
      *input = u16(cell);
    }
    if (table.rowInputCell.empty() && table.columnInputCell.empty())
      fail("a data table needs row=CELL, column=CELL or both");
    table.twoDimensional = !table.rowInputCell.empty() && !table.columnInputCell.empty();
    SourceCell& cell = addCell(target);
    cell.kind = CellKind::DataTable;
    cell.range = target.range;
    cell.master = true;
    cell.dataTable = static_cast<int32_t>(workbook_.dataTables.size());
    workbook_.dataTables.push_back(std::move(table));
  }

  void parseWorkbookSetting(std::string_view line) {
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) fail("expected 'setting = value'");
    std::string_view key = trim(line.substr(0, equals));
    std::string_view value = trim(line.substr(equals + 1));
    if (equalsIgnoringCase(key, "date1904")) {
      if (equalsIgnoringCase(value, "true") || value == "1")
        workbook_.date1904 = true;
      else if (equalsIgnoringCase(value, "false") || value == "0")
        workbook_.date1904 = false;
      else
        fail("date1904 takes true or false");
      return;
    }
    fail("unknown workbook setting '" + std::string(key) + "' (date1904)");
  }

  // Gives every annotated position a cell, finishes the workbook, then applies the annotations.
  void finish() {
    for (const Annotation& note : annotations_) {
      Position position{note.sheet, note.range.firstRow, note.range.firstColumn};
      if (cellLines_.emplace(position, note.line).second) {
        SourceCell cell;
        cell.sheet = position.sheet;
        cell.row = position.row;
        cell.column = position.column;
        workbook_.cells.push_back(cell);
      }
    }
    finishWorkbook(workbook_, sourceName_);
    for (const Annotation& note : annotations_) {
      line_ = note.line;
      SourceCell* cell = workbook_.findCell(note.sheet, note.range.firstRow, note.range.firstColumn);
      switch (note.kind) {
      case Annotation::Flags:
        cell->flags |= note.flags;
        break;
      case Annotation::Hyperlink:
        if (!cell->hyperlink.empty()) fail("the cell already has a hyperlink");
        cell->hyperlink = note.text;
        break;
      case Annotation::Cached:
        if (cell->kind == CellKind::Constant) fail("a cached value needs a formula, array or table cell");
        if (!cell->cached.isNone()) fail("the cell already has a cached value");
        cell->cached = note.value;
        break;
      }
    }
  }

  struct Annotation {
    enum Kind { Flags, Cached, Hyperlink } kind;
    uint32_t sheet;
    SourceRange range;
    size_t line;
    uint32_t flags;
    SourceValue value;
    std::u16string text;
  };

  std::string sourceName_;
  size_t line_ = 0;
  Section section_ = Section::Cells;
  SourceWorkbook workbook_;
  std::vector<bool> listed_; // per sheet: named in [sheets]
  std::map<Position, size_t> cellLines_;
  std::optional<std::pair<std::string, uint32_t>> lastSheet_; // the sheet sheetIndex last found
  std::vector<Annotation> annotations_;
};

} // namespace

SourceWorkbook readTextWorkbook(std::string_view text, const std::string& sourceName) {
  return TextReader(sourceName).read(text);
}

SourceWorkbook readTextWorkbookFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SourceError(path + ": cannot open the file");
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw SourceError(path + ": cannot read the file");
  return readTextWorkbook(content.str(), path);
}

} // namespace cwbk::compiler
