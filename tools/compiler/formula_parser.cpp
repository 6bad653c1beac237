// The formula parser: a hand-written tokenizer that reads references, names and literals in one
// token each, and a precedence-climbing parser over the operator levels of the formula language.
#include "compiler/formula_parser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <initializer_list>
#include <utility>

namespace cwbk::compiler {

namespace {

enum class Tok {
  End,
  Number,
  Text,
  Error,
  Cell,     // A1, Sheet1!$B$2, [1]Sheet1!C3
  Area,     // the fixed area a structured reference stands for
  Columns,  // A:C
  Rows,     // 3:5
  Name,     // a defined name, or TRUE / FALSE
  Function, // a name and its '(' together
  LParen,
  RParen,
  LBrace,
  RBrace,
  Comma,
  Semicolon,
  Colon,
  Percent,
  Caret,
  Star,
  Slash,
  Plus,
  Minus,
  Amp,
  Equal,
  NotEqual,
  Less,
  Greater,
  LessEqual,
  GreaterEqual,
};

struct Token {
  Tok kind = Tok::End;
  uint32_t start = 0;
  uint32_t end = 0;
  bool spaceBefore = false; // whitespace separates it from the previous token
  double number = 0;
  std::u16string text; // text constant, name, function name
  std::optional<std::u16string> sheet;
  std::optional<std::u16string> lastSheet; // a reference across sheets: Sheet2:Sheet5!A1 (with a site)
  int32_t externalIndex = -1;
  RefCorner first;
  RefCorner second;
  CalcError error = ErrNA;
};

// Thrown inside the parser to abandon the parse; caught by parseFormula.
struct Failure {
  ParseError error;
};

[[noreturn]] void fail(std::string what, size_t position) {
  throw Failure{ParseError{std::move(what), static_cast<uint32_t>(position)}};
}

constexpr std::u16string_view kGettingData = u"#GETTING_DATA";

constexpr std::array<std::u16string_view, 3> kFunctionPrefixes = {u"_xlfn.", u"_xlws.", u"_xll."};

bool isSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}
bool isDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool isLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool isNameStart(char16_t c) {
  return isLetter(c) || c == u'_' || c == u'\\' || c >= 0x80;
}
bool isNameChar(char16_t c) {
  return isNameStart(c) || isDigit(c) || c == u'.' || c == u'?';
}
char16_t upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

bool startsWithIgnoreCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// Returns a short quoted excerpt of source text for a message.
std::string quoteSource(std::u16string_view source) {
  constexpr size_t kLongest = 24;
  std::string out = "'" + utf16ToUtf8(source.substr(0, kLongest));
  if (source.size() > kLongest) out += "...";
  return out + "'";
}

class Lexer {
public:
  Lexer(std::u16string_view text, const FormulaSite* site) : s_(text), site_(site) {}

  std::u16string_view source() const { return s_; }

  // Returns the next token; throws Failure for text that forms no token.
  Token next() {
    size_t before = p_;
    while (p_ < s_.size() && isSpace(s_[p_]))
      ++p_;
    Token t;
    t.spaceBefore = p_ > before;
    t.start = static_cast<uint32_t>(p_);
    lex(t);
    t.end = static_cast<uint32_t>(p_);
    return t;
  }

private:
  char16_t at(size_t i) const { return i < s_.size() ? s_[i] : u'\0'; }

  void single(Token& t, Tok kind, size_t length = 1) {
    t.kind = kind;
    p_ += length;
  }

  void lex(Token& t) {
    if (p_ >= s_.size()) {
      t.kind = Tok::End;
      return;
    }
    char16_t c = s_[p_];
    switch (c) {
    case u'"':
      return lexText(t);
    case u'#':
      return lexError(t);
    case u'\'':
      return lexQuotedSheet(t);
    case u'[':
      return lexExternal(t);
    case u'(':
      return single(t, Tok::LParen);
    case u')':
      return single(t, Tok::RParen);
    case u'{':
      return single(t, Tok::LBrace);
    case u'}':
      return single(t, Tok::RBrace);
    case u',':
      return single(t, Tok::Comma);
    case u';':
      return single(t, Tok::Semicolon);
    case u':':
      return single(t, Tok::Colon);
    case u'%':
      return single(t, Tok::Percent);
    case u'^':
      return single(t, Tok::Caret);
    case u'*':
      return single(t, Tok::Star);
    case u'/':
      return single(t, Tok::Slash);
    case u'+':
      return single(t, Tok::Plus);
    case u'-':
      return single(t, Tok::Minus);
    case u'&':
      return single(t, Tok::Amp);
    case u'=':
      return single(t, Tok::Equal);
    case u'<':
      if (at(p_ + 1) == u'=') return single(t, Tok::LessEqual, 2);
      if (at(p_ + 1) == u'>') return single(t, Tok::NotEqual, 2);
      return single(t, Tok::Less);
    case u'>':
      if (at(p_ + 1) == u'=') return single(t, Tok::GreaterEqual, 2);
      return single(t, Tok::Greater);
    default:
      break;
    }
    if (isNameChar(c) || c == u'$') return lexWord(t);
    fail("unexpected character " + quoteSource(s_.substr(p_, 1)), p_);
  }

  void lexText(Token& t) {
    size_t start = p_;
    size_t i = p_ + 1;
    for (;;) {
      if (i >= s_.size()) fail("unterminated text", start);
      if (s_[i] == u'"') {
        if (at(i + 1) != u'"') break;
        ++i;
      }
      t.text += s_[i];
      ++i;
    }
    t.kind = Tok::Text;
    p_ = i + 1;
  }

  // Reads an error literal at p_ into t; false when there is none.
  bool scanErrorLiteral(Token& t) {
    std::u16string_view rest = s_.substr(p_);
    for (CalcError error : kAllErrors) {
      std::u16string_view literal = errorLiteralText(error);
      if (startsWithIgnoreCase(rest, literal)) {
        t.kind = Tok::Error;
        t.error = error;
        p_ += literal.size();
        return true;
      }
    }
    return false;
  }

  void lexError(Token& t) {
    if (scanErrorLiteral(t)) {
      // A reference on a deleted sheet is written #REF!A1; it stands for #REF! as a whole.
      char16_t c = at(p_);
      if (t.error == ErrRef && (isNameStart(c) || isDigit(c) || c == u'$')) {
        Token dropped;
        lexItem(dropped, false);
      }
      return;
    }
    if (startsWithIgnoreCase(s_.substr(p_), kGettingData)) fail("#GETTING_DATA is not supported", p_);
    fail("invalid error literal", p_);
  }

  // Returns the end of the run of name characters that starts at i (i itself when there is none).
  size_t nameRunEnd(size_t i) const {
    while (i < s_.size() && isNameChar(s_[i]))
      ++i;
    return i;
  }

  // Reads `$?letters` naming a column up to XFD.
  // Sets the outputs only on success.
  bool scanColumn(size_t i, uint32_t& column, bool& absolute, size_t& end) const {
    bool dollar = at(i) == u'$';
    if (dollar) ++i;
    size_t first = i;
    uint32_t value = 0;
    while (i < s_.size() && isLetter(s_[i]) && i - first < 4) {
      value = value * 26 + (upper(s_[i]) - u'A' + 1);
      ++i;
    }
    size_t count = i - first;
    if (count == 0 || count > 3 || (i < s_.size() && isLetter(s_[i])) || value > kSheetColumns) return false;
    column = value - 1;
    absolute = dollar;
    end = i;
    return true;
  }

  // Reads `$?digits` naming a row from 1 to the last row; sets the outputs only on success.
  bool scanRow(size_t i, uint32_t& row, bool& absolute, size_t& end) const {
    bool dollar = at(i) == u'$';
    if (dollar) ++i;
    size_t first = i;
    uint64_t value = 0;
    while (i < s_.size() && isDigit(s_[i])) {
      if (value <= kSheetRows) value = value * 10 + (s_[i] - u'0');
      ++i;
    }
    if (i == first || value == 0 || value > kSheetRows) return false;
    row = static_cast<uint32_t>(value - 1);
    absolute = dollar;
    end = i;
    return true;
  }

  // Returns true when the text at i..end is followed by something that continues a name.
  bool continuesName(size_t end) const { return end < s_.size() && isNameChar(s_[end]); }

  // Reads a cell (A1, $B$2) at i; the cell must not run on into a name.
  bool scanCell(size_t i, RefCorner& corner, size_t& end) const {
    size_t middle = 0;
    if (!scanColumn(i, corner.column, corner.columnAbsolute, middle)) return false;
    if (!scanRow(middle, corner.row, corner.rowAbsolute, end)) return false;
    return !continuesName(end);
  }

  // Reads a reference or name at p_ (after any sheet prefix): whole rows, whole columns, a cell, or a
  // name. With allowFree, also a number or a function call (only where no sheet prefix was given).
  void lexItem(Token& t, bool allowFree) {
    size_t start = p_;
    size_t end = 0;
    size_t middle = 0;
    RefCorner first;
    RefCorner second;
    auto take = [&](Tok kind) {
      t.kind = kind;
      t.first = first;
      t.second = second;
      p_ = end;
    };
    // Whole rows: 3:5.
    if (scanRow(start, first.row, first.rowAbsolute, middle) && at(middle) == u':' &&
        scanRow(middle + 1, second.row, second.rowAbsolute, end) && !continuesName(end))
      return take(Tok::Rows);
    if (allowFree && (isDigit(at(start)) || (at(start) == u'.' && isDigit(at(start + 1)))))
      return lexNumber(t);
    // Whole columns: A:C.
    first = second = RefCorner{};
    if (scanColumn(start, first.column, first.columnAbsolute, middle) && at(middle) == u':' &&
        scanColumn(middle + 1, second.column, second.columnAbsolute, end) && !continuesName(end) &&
        at(end) != u'(')
      return take(Tok::Columns);
    first = second = RefCorner{};
    if (scanCell(start, first, end) && at(end) != u'(') return take(Tok::Cell);
    if (at(start) == u'$') fail("invalid reference", start);
    if (!isNameStart(at(start))) {
      if (allowFree) fail("unexpected character " + quoteSource(s_.substr(start, 1)), start);
      fail("expected a reference after '!'", start);
    }
    end = nameRunEnd(start);
    std::u16string_view word = s_.substr(start, end - start);
    if (at(end) == u'[') {
      if (!allowFree) fail("a structured reference takes no sheet name", start);
      return lexStructured(t, start, word, end);
    }
    t.text.assign(word);
    if (allowFree && at(end) == u'(') {
      t.kind = Tok::Function;
      p_ = end + 1;
      return;
    }
    // A table's name alone stands for its data rows.
    if (allowFree && site_ && site_->workbook && site_->workbook->findTable(word))
      return lexStructured(t, start, word, end);
    t.kind = Tok::Name;
    p_ = end;
  }

  void lexNumber(Token& t) {
    size_t start = p_;
    size_t i = p_;
    while (isDigit(at(i)))
      ++i;
    size_t integerEnd = i;
    if (at(i) == u'.') {
      ++i;
      while (isDigit(at(i)))
        ++i;
    }
    bool negativeExponent = false;
    if (at(i) == u'e' || at(i) == u'E') {
      size_t j = i + 1;
      if (at(j) == u'+' || at(j) == u'-') {
        negativeExponent = at(j) == u'-';
        ++j;
      }
      if (!isDigit(at(j))) fail("invalid number", start);
      while (isDigit(at(j)))
        ++j;
      i = j;
    }
    std::string ascii;
    ascii.reserve(i - start);
    for (size_t k = start; k < i; ++k)
      ascii += static_cast<char>(s_[k]);
    double value = 0;
    auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
      // Too small to represent reads as 0; too large is an error.
      size_t k = start;
      while (k < integerEnd && s_[k] == u'0')
        ++k;
      bool large = !negativeExponent && k < integerEnd;
      if (large) fail("number out of range", start);
      value = 0;
    } else if (result.ec != std::errc() || result.ptr != ascii.data() + ascii.size()) {
      fail("invalid number", start);
    }
    t.kind = Tok::Number;
    t.number = value;
    p_ = i;
  }

  // Reads the reference after "sheet!" or "[n]sheet!" at p_; drops the sheet of "Sheet1!#REF!".
  void lexTarget(Token& t, std::optional<std::u16string> sheet, int32_t externalIndex) {
    if (at(p_) == u'#') {
      size_t start = p_;
      if (scanErrorLiteral(t) && t.error == ErrRef) return;
      fail("expected a reference after '!'", start);
    }
    lexItem(t, false);
    t.sheet = std::move(sheet);
    t.externalIndex = externalIndex;
  }

  // Returns true when a run of name characters reads as a cell, so "A1:Sheet2!B1" is a range.
  bool runIsCell(size_t start, size_t end) const {
    RefCorner corner;
    size_t cellEnd = 0;
    return scanCell(start, corner, cellEnd) && cellEnd == end;
  }

  void lexWord(Token& t) {
    size_t start = p_;
    size_t runEnd = nameRunEnd(start);
    if (runEnd > start && at(runEnd) == u'!') {
      p_ = runEnd + 1;
      return lexTarget(t, std::u16string(s_.substr(start, runEnd - start)), -1);
    }
    if (runEnd > start && at(runEnd) == u':') {
      size_t secondEnd = nameRunEnd(runEnd + 1);
      if (secondEnd > runEnd + 1 && at(secondEnd) == u'!' && !runIsCell(start, runEnd)) {
        if (!site_ || !site_->workbook) fail("3D references are not supported", start);
        p_ = secondEnd + 1;
        lexTarget(t, std::u16string(s_.substr(start, runEnd - start)), -1);
        t.lastSheet = std::u16string(s_.substr(runEnd + 1, secondEnd - runEnd - 1));
        return;
      }
    }
    lexItem(t, true);
  }

  void lexQuotedSheet(Token& t) {
    size_t start = p_;
    size_t i = p_ + 1;
    std::u16string name;
    for (;;) {
      if (i >= s_.size()) fail("unterminated sheet name", start);
      if (s_[i] == u'\'') {
        if (at(i + 1) != u'\'') break;
        ++i;
      }
      name += s_[i];
      ++i;
    }
    ++i;
    if (at(i) != u'!') fail("expected '!' after a quoted sheet name", i);
    int32_t externalIndex = -1;
    std::u16string_view sheet = name;
    if (!sheet.empty() && sheet[0] == u'[') {
      size_t close = sheet.find(u']');
      externalIndex = close == std::u16string_view::npos ? -1 : parseIndex(sheet.substr(1, close - 1));
      if (externalIndex < 0) fail("external workbooks named by path are not supported", start);
      sheet = sheet.substr(close + 1);
    }
    if (sheet.find(u'[') != std::u16string_view::npos || sheet.find(u']') != std::u16string_view::npos)
      fail("external workbooks named by path are not supported", start);
    size_t colon = sheet.find(u':');
    if (colon != std::u16string_view::npos && (externalIndex >= 0 || !site_ || !site_->workbook))
      fail("3D references are not supported", start);
    if (sheet.empty() && externalIndex < 0) fail("empty sheet name", start);
    p_ = i + 1;
    std::optional<std::u16string> sheetName;
    if (!sheet.empty()) sheetName = std::u16string(sheet.substr(0, colon));
    lexTarget(t, std::move(sheetName), externalIndex);
    if (colon != std::u16string_view::npos) t.lastSheet = std::u16string(sheet.substr(colon + 1));
  }

  // Returns the number written in digits (at most nine), or -1.
  static int32_t parseIndex(std::u16string_view digits) {
    if (digits.empty() || digits.size() > 9) return -1;
    int32_t value = 0;
    for (char16_t c : digits) {
      if (!isDigit(c)) return -1;
      value = value * 10 + (c - u'0');
    }
    return value;
  }

  // Reads [n]Sheet1!A1 or [n]!Name.
  void lexExternal(Token& t) {
    size_t start = p_;
    size_t close = s_.find(u']', start);
    int32_t externalIndex =
        close == std::u16string_view::npos ? -1 : parseIndex(s_.substr(start + 1, close - start - 1));
    size_t after = close == std::u16string_view::npos ? s_.size() : close + 1;
    size_t runEnd = nameRunEnd(after);
    bool sheetFollows = at(runEnd) == u'!';
    if (externalIndex < 0) {
      if (sheetFollows) fail("external workbooks named by path are not supported", start);
      return lexStructured(t, start, u"", start);
    }
    if (!sheetFollows) {
      if (at(runEnd) == u':') fail("3D references are not supported", start);
      fail("expected a sheet name and '!' after the external workbook index", after);
    }
    p_ = runEnd + 1;
    std::optional<std::u16string> sheet;
    if (runEnd > after) sheet = std::u16string(s_.substr(after, runEnd - after));
    lexTarget(t, std::move(sheet), externalIndex);
  }

  // ------------------------------------------------------------------ structured references

  // What a structured reference selects: rows by item, and columns by index into the table's columns.
  enum RowItem : uint8_t { kHeaders = 1, kData = 2, kTotals = 4, kAll = 8, kThisRow = 16 };
  struct Selection {
    uint8_t rows = 0;
    std::optional<size_t> firstColumn;
    std::optional<size_t> lastColumn;
  };

  size_t skipSpaces(size_t i) const {
    while (i < s_.size() && s_[i] == u' ')
      ++i;
    return i;
  }

  // Reads the text of one bracketed item from i (just after its '[') up to its ']', undoing the '''
  // escapes; returns the position after the ']'.
  size_t readItem(size_t i, size_t open, std::u16string& text) const {
    text.clear();
    for (;;) {
      if (i >= s_.size()) fail("missing ']'", open);
      char16_t c = s_[i];
      if (c == u']') return i + 1;
      if (c == u'[') fail("unexpected '[' in a structured reference", i);
      if (c == u'\'' && i + 1 < s_.size()) ++i;
      text += s_[i];
      ++i;
    }
  }

  static size_t columnIndex(const SourceTable& table, std::u16string_view name, size_t position) {
    for (size_t i = 0; i < table.columns.size(); ++i) {
      if (equalsIgnoreCase(table.columns[i], name)) return i;
    }
    fail("table " + utf16ToUtf8(table.name) + " has no column " + quoteSource(name), position);
  }

  // Adds one item, read at `position` from the source text there, to the selection: a special item
  // (#All, #Data, #Headers, #Totals, #This Row) when it starts with an unescaped '#', else a column.
  void addItem(Selection& selection, const SourceTable& table, std::u16string_view text, size_t position) {
    if (at(position) == u'#') {
      static constexpr std::pair<std::u16string_view, RowItem> kItems[] = {{u"#All", kAll},
                                                                           {u"#Data", kData},
                                                                           {u"#Headers", kHeaders},
                                                                           {u"#Totals", kTotals},
                                                                           {u"#This Row", kThisRow}};
      for (const auto& [name, item] : kItems) {
        if (equalsIgnoreCase(text, name)) {
          selection.rows |= item;
          return;
        }
      }
      fail("unknown item " + quoteSource(text) + " in a structured reference", position);
    }
    if (selection.firstColumn)
      fail("a structured reference names one column or one range of columns", position);
    selection.firstColumn = selection.lastColumn = columnIndex(table, text, position);
  }

  // Reads a structured reference whose table name (empty: the table around the formula's cell) starts
  // at `start` and whose brackets, if any, open at `bracket`, into a reference or error token.
  void lexStructured(Token& t, size_t start, std::u16string_view tableName, size_t bracket) {
    if (!site_ || !site_->workbook) fail("structured references are not supported", start);
    const SourceWorkbook& workbook = *site_->workbook;
    const SourceTable* table = nullptr;
    if (!tableName.empty()) {
      table = workbook.findTable(tableName);
      if (!table) fail("unknown table " + quoteSource(tableName), start);
    } else if (site_->inCell) {
      table = workbook.tableAt(site_->sheet, site_->row, site_->column);
    }
    if (!table) fail("a structured reference without a table name outside a table", start);

    Selection selection;
    size_t i = bracket;
    if (at(i) == u'[') {
      ++i;
      std::u16string text;
      if (at(i) == u'@') {
        selection.rows |= kThisRow;
        ++i;
      }
      if (at(i) != u'[') {
        size_t itemStart = i;
        i = readItem(i, bracket, text);
        if (!text.empty()) addItem(selection, *table, text, itemStart);
      } else {
        for (;;) {
          i = skipSpaces(i);
          if (at(i) != u'[') fail("expected '[' in a structured reference", i);
          size_t itemStart = i + 1;
          i = readItem(itemStart, i, text);
          addItem(selection, *table, text, itemStart);
          i = skipSpaces(i);
          if (at(i) == u':') {
            if (at(itemStart) == u'#') fail("a range in a structured reference joins two columns", itemStart);
            i = skipSpaces(i + 1);
            if (at(i) != u'[' || at(i + 1) == u'#')
              fail("a range in a structured reference joins two columns", i);
            size_t lastStart = i + 1;
            i = readItem(lastStart, i, text);
            selection.lastColumn = columnIndex(*table, text, lastStart);
            i = skipSpaces(i);
          }
          if (at(i) == u',') {
            ++i;
            continue;
          }
          if (at(i) != u']') fail("expected ',' or ']' in a structured reference", i);
          ++i;
          break;
        }
      }
    }
    p_ = i;
    resolveSelection(t, *table, selection, start);
  }

  // Sets the token to the area of the table that the selection stands for, or to the error it gives.
  void resolveSelection(Token& t, const SourceTable& table, const Selection& selection, size_t start) {
    const SourceRange& area = table.range;
    int64_t dataTop = int64_t(area.firstRow) + table.headerRows;
    int64_t dataBottom = int64_t(area.lastRow) - table.totalsRows;
    int64_t top = 0;
    int64_t bottom = -1;
    uint8_t rows = selection.rows == 0 ? uint8_t(kData) : selection.rows;
    auto error = [&](CalcError e) {
      t.kind = Tok::Error;
      t.error = e;
    };
    if (rows & kThisRow) {
      if (rows != kThisRow) fail("the current row does not combine with other items", start);
      if (!site_->inCell) fail("a reference to the current row outside a cell", start);
      // Outside the table's data rows the current row has no cell to give.
      if (site_->row < dataTop || site_->row > dataBottom) return error(ErrValue);
      top = bottom = site_->row;
    } else if (rows & kAll) {
      top = area.firstRow;
      bottom = area.lastRow;
    } else {
      if ((rows & kHeaders) && (rows & kTotals) && !(rows & kData))
        fail("the headers and totals of a table are not adjacent", start);
      auto add = [&](int64_t first, int64_t last) {
        if (first > last) return;
        if (bottom < top) top = first;
        bottom = last;
      };
      if ((rows & kHeaders) && table.headerRows > 0) add(area.firstRow, area.firstRow);
      if (rows & kData) add(dataTop, dataBottom);
      if ((rows & kTotals) && table.totalsRows > 0) add(area.lastRow, area.lastRow);
      if (bottom < top) return error(ErrRef);
    }
    size_t first = selection.firstColumn.value_or(0);
    size_t last = selection.firstColumn ? *selection.lastColumn : table.columns.size() - 1;
    if (first > last) std::swap(first, last);
    t.sheet = site_->workbook->sheets[table.sheet].name;
    t.first = RefCorner{uint32_t(top), uint32_t(area.firstColumn + first), rows != kThisRow, true};
    t.second = RefCorner{uint32_t(bottom), uint32_t(area.firstColumn + last), rows != kThisRow, true};
    t.kind = t.first == t.second ? Tok::Cell : Tok::Area;
  }

  std::u16string_view s_;
  const FormulaSite* site_;
  size_t p_ = 0;
};

class Parser {
public:
  Parser(std::u16string_view text, const FormulaSite* site) : lexer_(text, site), site_(site) {}

  AstNode parseAll() {
    advance();
    if (token_.kind == Tok::Equal) advance();
    if (token_.kind == Tok::End) fail("empty formula", token_.start);
    AstNode tree = parseUnionList();
    if (token_.kind != Tok::End) unexpected();
    return tree;
  }

  // Reads a formula that is one fixed reference across a range of sheets; returns its references, one
  // per sheet, or nothing for any other formula.
  std::optional<std::vector<AstNode>> parseAcrossSheetsAll() {
    advance();
    if (token_.kind == Tok::Equal) advance();
    if (!token_.lastSheet) return std::nullopt;
    AstNode holder;
    addAcrossSheets(holder);
    if (token_.kind != Tok::End) return std::nullopt;
    return std::move(holder.children);
  }

private:
  // Counts one level of nesting for its lifetime; too deep a level ends the parse.
  class Nesting {
  public:
    Nesting(Parser& parser, uint32_t position) : parser_(parser) {
      if (++parser_.depth_ > kMaxNesting)
        fail("nesting deeper than " + std::to_string(kMaxNesting) + " levels", position);
    }
    ~Nesting() { --parser_.depth_; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

  private:
    Parser& parser_;
  };

  void advance() { token_ = lexer_.next(); }

  [[noreturn]] void unexpected() const {
    if (token_.kind == Tok::End) fail("unexpected end of formula", token_.start);
    fail("unexpected " + quoteSource(lexer_.source().substr(token_.start, token_.end - token_.start)),
         token_.start);
  }

  [[noreturn]] void expectClose(const char* what) {
    if (token_.kind == Tok::End) fail(std::string("missing '") + what + "'", token_.start);
    unexpected();
  }

  static AstNode node(AstKind kind, uint32_t position) {
    AstNode n;
    n.kind = kind;
    n.position = position;
    return n;
  }

  static void requireReference(const AstNode& operand) {
    if (!operand.isReferenceValued()) fail("expected a reference", operand.position);
  }

  static AstNode binary(AstKind kind, AstNode left, AstNode right) {
    AstNode n = node(kind, left.position);
    n.children.push_back(std::move(left));
    n.children.push_back(std::move(right));
    return n;
  }

  // Expression lists joined by ',' are unions: at the top level and inside parentheses.
  AstNode parseUnionList() {
    AstNode first = parseComparison();
    if (token_.kind != Tok::Comma) return first;
    requireReference(first);
    AstNode u = node(AstKind::Union, first.position);
    u.children.push_back(std::move(first));
    while (token_.kind == Tok::Comma) {
      advance();
      AstNode member = parseComparison();
      requireReference(member);
      u.children.push_back(std::move(member));
    }
    return u;
  }

  AstNode parseComparison() {
    AstNode left = parseConcat();
    for (;;) {
      CompareOp op;
      switch (token_.kind) {
      case Tok::Equal:
        op = CompareOp::Equal;
        break;
      case Tok::NotEqual:
        op = CompareOp::NotEqual;
        break;
      case Tok::Less:
        op = CompareOp::Less;
        break;
      case Tok::Greater:
        op = CompareOp::Greater;
        break;
      case Tok::LessEqual:
        op = CompareOp::LessEqual;
        break;
      case Tok::GreaterEqual:
        op = CompareOp::GreaterEqual;
        break;
      default:
        return left;
      }
      advance();
      AstNode n = binary(AstKind::Compare, std::move(left), parseConcat());
      n.compareOp = op;
      left = std::move(n);
    }
  }

  // One level of left-grouping binary operators: `next` parses the operands.
  template <typename Next>
  AstNode parseLevel(Next next, std::initializer_list<std::pair<Tok, ArithmeticOp>> ops) {
    AstNode left = (this->*next)();
    for (;;) {
      const std::pair<Tok, ArithmeticOp>* match = nullptr;
      for (const auto& op : ops) {
        if (op.first == token_.kind) match = &op;
      }
      if (!match) return left;
      ArithmeticOp op = match->second;
      advance();
      AstNode n = binary(AstKind::Operator, std::move(left), (this->*next)());
      n.arithmeticOp = op;
      left = std::move(n);
    }
  }

  AstNode parseConcat() { return parseLevel(&Parser::parseAdditive, {{Tok::Amp, ArithmeticOp::Concat}}); }
  AstNode parseAdditive() {
    return parseLevel(&Parser::parseMultiplicative,
                      {{Tok::Plus, ArithmeticOp::Add}, {Tok::Minus, ArithmeticOp::Subtract}});
  }
  AstNode parseMultiplicative() {
    return parseLevel(&Parser::parsePower,
                      {{Tok::Star, ArithmeticOp::Multiply}, {Tok::Slash, ArithmeticOp::Divide}});
  }
  // '^' groups from the left: 2^3^2 is (2^3)^2.
  AstNode parsePower() { return parseLevel(&Parser::parsePercent, {{Tok::Caret, ArithmeticOp::Power}}); }

  // '%' binds looser than a prefix sign: -A1% is (-A1)%.
  AstNode parsePercent() {
    AstNode operand = parseUnary();
    while (token_.kind == Tok::Percent) {
      advance();
      AstNode n = node(AstKind::Operator, operand.position);
      n.arithmeticOp = ArithmeticOp::Percent;
      n.children.push_back(std::move(operand));
      operand = std::move(n);
    }
    return operand;
  }

  // A prefix sign binds tighter than '^': -2^2 is (-2)^2. A prefix '+' changes nothing and is dropped.
  AstNode parseUnary() {
    if (token_.kind != Tok::Minus && token_.kind != Tok::Plus) return parseIntersection();
    bool negate = token_.kind == Tok::Minus;
    uint32_t position = token_.start;
    Nesting nesting(*this, position);
    advance();
    AstNode operand = parseUnary();
    if (!negate) return operand;
    AstNode n = node(AstKind::Operator, position);
    n.arithmeticOp = ArithmeticOp::Negate;
    n.children.push_back(std::move(operand));
    return n;
  }

  static bool startsOperand(Tok kind) {
    switch (kind) {
    case Tok::Number:
    case Tok::Text:
    case Tok::Error:
    case Tok::Cell:
    case Tok::Area:
    case Tok::Columns:
    case Tok::Rows:
    case Tok::Name:
    case Tok::Function:
    case Tok::LParen:
    case Tok::LBrace:
      return true;
    default:
      return false;
    }
  }

  // Whitespace between two reference operands is the intersection operator; anywhere else an operand
  // following an operand lacks its operator.
  AstNode parseIntersection() {
    AstNode left = parseRange();
    if (!token_.spaceBefore || !startsOperand(token_.kind)) return left;
    if (!left.isReferenceValued()) fail("missing operator", token_.start);
    AstNode n = node(AstKind::Intersection, left.position);
    n.children.push_back(std::move(left));
    while (token_.spaceBefore && startsOperand(token_.kind)) {
      uint32_t position = token_.start;
      AstNode right = parseRange();
      if (!right.isReferenceValued()) fail("missing operator", position);
      n.children.push_back(std::move(right));
    }
    return n;
  }

  static bool sameSheet(const std::optional<std::u16string>& left,
                        const std::optional<std::u16string>& right) {
    return !right || (left && equalsIgnoreCase(*left, *right));
  }

  // Returns the area of two cells, when ':' joins two cells of one sheet; otherwise none.
  static std::optional<AstNode> fixedArea(const AstNode& left, const AstNode& right) {
    if (right.kind != AstKind::CellRef) return std::nullopt;
    const AstNode* cell = &left;
    if (left.kind == AstKind::ExternalRef) {
      if (right.sheet) return std::nullopt;
      cell = &left.children[0];
    }
    if (cell->kind != AstKind::CellRef || !sameSheet(cell->sheet, right.sheet)) return std::nullopt;
    AstNode area = node(AstKind::AreaRef, left.position);
    area.sheet = cell->sheet;
    area.first = cell->first;
    area.second = right.first;
    if (left.kind != AstKind::ExternalRef) return area;
    AstNode external = node(AstKind::ExternalRef, left.position);
    external.externalIndex = left.externalIndex;
    external.children.push_back(std::move(area));
    return external;
  }

  // ':' binds tightest of all operators and groups from the left.
  AstNode parseRange() {
    AstNode left = parsePrimary();
    while (token_.kind == Tok::Colon) {
      advance();
      AstNode right = parsePrimary();
      requireReference(left);
      requireReference(right);
      if (auto area = fixedArea(left, right)) {
        left = std::move(*area);
        continue;
      }
      left = binary(AstKind::AreaRef, std::move(left), std::move(right));
    }
    return left;
  }

  // Wraps a reference read with a workbook index into its external-reference node.
  AstNode qualify(AstNode reference, const Token& t) const {
    if (t.externalIndex < 0) return reference;
    AstNode external = node(AstKind::ExternalRef, reference.position);
    external.externalIndex = t.externalIndex;
    external.children.push_back(std::move(reference));
    return external;
  }

  AstNode parsePrimary() {
    const Token t = token_;
    if (t.lastSheet)
      fail("3D references are supported only as whole arguments of SUM, AVERAGE, COUNT, MAX, MIN, PRODUCT "
           "and their kin",
           t.start);
    switch (t.kind) {
    case Tok::Number: {
      advance();
      AstNode n = node(AstKind::Number, t.start);
      n.number = t.number;
      return n;
    }
    case Tok::Text: {
      advance();
      AstNode n = node(AstKind::Text, t.start);
      n.text = t.text;
      return n;
    }
    case Tok::Error: {
      advance();
      AstNode n = node(AstKind::Error, t.start);
      n.error = t.error;
      return n;
    }
    case Tok::Cell: {
      advance();
      AstNode n = node(AstKind::CellRef, t.start);
      n.sheet = t.sheet;
      n.first = t.first;
      return qualify(std::move(n), t);
    }
    case Tok::Area: {
      advance();
      AstNode n = node(AstKind::AreaRef, t.start);
      n.sheet = t.sheet;
      n.first = t.first;
      n.second = t.second;
      return n;
    }
    case Tok::Columns:
    case Tok::Rows: {
      advance();
      AstNode n = node(AstKind::AreaRef, t.start);
      n.sheet = t.sheet;
      n.first = t.first;
      n.second = t.second;
      if (t.kind == Tok::Columns) {
        n.wholeColumns = true;
        n.second.row = kSheetRows - 1;
      } else {
        n.wholeRows = true;
        n.second.column = kSheetColumns - 1;
      }
      return qualify(std::move(n), t);
    }
    case Tok::Name: {
      advance();
      if (!t.sheet && t.externalIndex < 0 &&
          (equalsIgnoreCase(t.text, u"TRUE") || equalsIgnoreCase(t.text, u"FALSE"))) {
        AstNode n = node(AstKind::Boolean, t.start);
        n.boolean = equalsIgnoreCase(t.text, u"TRUE");
        return n;
      }
      AstNode n = node(AstKind::Name, t.start);
      n.sheet = t.sheet;
      n.text = t.text;
      return qualify(std::move(n), t);
    }
    case Tok::Function:
      return parseCall();
    case Tok::LParen: {
      Nesting nesting(*this, t.start);
      advance();
      if (token_.kind == Tok::RParen) unexpected();
      AstNode inner = parseUnionList();
      if (token_.kind != Tok::RParen) expectClose(")");
      advance();
      return inner;
    }
    case Tok::LBrace:
      return parseArray();
    default:
      unexpected();
    }
  }

  // Returns a function name without its storage prefixes (_xlfn. and the like), in upper case.
  static std::u16string functionName(std::u16string_view written, uint32_t position) {
    bool stripped = true;
    while (stripped) {
      stripped = false;
      for (auto prefix : kFunctionPrefixes) {
        if (startsWithIgnoreCase(written, prefix)) {
          written.remove_prefix(prefix.size());
          stripped = true;
        }
      }
    }
    if (written.empty()) fail("missing function name", position);
    if (!isNameStart(written[0])) fail("invalid function name", position);
    std::u16string name;
    for (char16_t c : written)
      name += upper(c);
    return name;
  }

  AstNode parseCall() {
    const Token t = token_;
    Nesting nesting(*this, t.start);
    AstNode call = node(AstKind::Call, t.start);
    call.text = functionName(t.text, t.start);
    advance();
    if (token_.kind == Tok::RParen) {
      advance();
      return call;
    }
    for (;;) {
      if (token_.kind == Tok::Comma || token_.kind == Tok::RParen)
        call.children.push_back(node(AstKind::Missing, token_.start));
      else if (token_.lastSheet && takesReferencesAcrossSheets(call.text))
        addAcrossSheets(call);
      else
        call.children.push_back(parseComparison());
      if (token_.kind == Tok::Comma) {
        advance();
        continue;
      }
      if (token_.kind != Tok::RParen) expectClose(")");
      advance();
      return call;
    }
  }

  // Reads a whole argument that reaches across a range of sheets (Sheet2:Sheet5!A1:C3) as one
  // argument per sheet, the sheets taken in the workbook's order.
  void addAcrossSheets(AstNode& call) {
    const Token t = token_;
    token_.lastSheet.reset();
    AstNode reference = parseRange();
    bool fixed = reference.kind == AstKind::CellRef ||
                 (reference.kind == AstKind::AreaRef && !reference.isComputedArea());
    if (!fixed || (token_.kind != Tok::Comma && token_.kind != Tok::RParen && token_.kind != Tok::End))
      fail("3D references are supported only as whole arguments of SUM, AVERAGE, COUNT, MAX, MIN, PRODUCT "
           "and their kin",
           t.start);
    const SourceWorkbook& workbook = *site_->workbook;
    int32_t first = workbook.findSheet(*t.sheet);
    int32_t last = workbook.findSheet(*t.lastSheet);
    if (first < 0 || last < 0) fail("unknown sheet in a 3D reference", t.start);
    if (first > last) std::swap(first, last);
    for (int32_t sheet = first; sheet <= last; ++sheet) {
      reference.sheet = workbook.sheets[sheet].name;
      call.children.push_back(reference);
    }
  }

  // Reads one element of an array constant: a number with an optional sign, text, boolean or error.
  AstNode parseArrayElement() {
    const Token t = token_;
    if (t.kind == Tok::Minus || t.kind == Tok::Plus) {
      advance();
      if (token_.kind != Tok::Number) fail("invalid array element", t.start);
      AstNode n = node(AstKind::Number, t.start);
      n.number = t.kind == Tok::Minus ? -token_.number : token_.number;
      advance();
      return n;
    }
    if (t.kind == Tok::Name && !t.sheet && t.externalIndex < 0 &&
        (equalsIgnoreCase(t.text, u"TRUE") || equalsIgnoreCase(t.text, u"FALSE"))) {
      return parsePrimary();
    }
    if (t.kind == Tok::Number || t.kind == Tok::Text || t.kind == Tok::Error) return parsePrimary();
    if (t.kind == Tok::End) expectClose("}");
    fail("invalid array element", t.start);
  }

  AstNode parseArray() {
    Nesting nesting(*this, token_.start);
    AstNode array = node(AstKind::Array, token_.start);
    advance();
    uint32_t rows = 0;
    uint32_t inRow = 0;
    for (;;) {
      array.children.push_back(parseArrayElement());
      ++inRow;
      if (token_.kind == Tok::Comma) {
        advance();
        continue;
      }
      if (token_.kind != Tok::Semicolon && token_.kind != Tok::RBrace) expectClose("}");
      if (rows == 0)
        array.columns = inRow;
      else if (inRow != array.columns)
        fail("array rows differ in length", token_.start);
      ++rows;
      inRow = 0;
      bool last = token_.kind == Tok::RBrace;
      advance();
      if (last) return array;
    }
  }

  Lexer lexer_;
  const FormulaSite* site_;
  Token token_;
  int depth_ = 0;
};

} // namespace

bool takesReferencesAcrossSheets(std::u16string_view function) {
  static constexpr std::u16string_view kFunctions[] = {
      u"SUM",  u"AVERAGE", u"AVERAGEA", u"COUNT",   u"COUNTA",  u"MAX",    u"MAXA",   u"MIN",
      u"MINA", u"PRODUCT", u"STDEV",    u"STDEV.S", u"STDEV.P", u"STDEVA", u"STDEVP", u"STDEVPA",
      u"VAR",  u"VAR.S",   u"VAR.P",    u"VARA",    u"VARP",    u"VARPA"};
  return std::find(std::begin(kFunctions), std::end(kFunctions), function) != std::end(kFunctions);
}

std::optional<std::vector<AstNode>> parseReferenceAcrossSheets(std::u16string_view text,
                                                               const FormulaSite& site) {
  if (text.size() > kMaxFormulaLength || site.workbook == nullptr) return std::nullopt;
  try {
    return Parser(text, &site).parseAcrossSheetsAll();
  } catch (const Failure&) {
    return std::nullopt;
  }
}

ParseResult parseFormula(std::u16string_view text, const FormulaSite* site) {
  ParseResult result;
  try {
    if (text.size() > kMaxFormulaLength)
      fail("formula longer than " + std::to_string(kMaxFormulaLength) + " characters", kMaxFormulaLength);
    result.tree = Parser(text, site).parseAll();
  } catch (const Failure& failure) {
    result.tree = AstNode{};
    result.error = failure.error;
  }
  return result;
}

namespace {

// Returns the UTF-16 form of UTF-8 text and the byte offset of every UTF-16 code unit in it, then the
// text's length. ASCII maps byte for byte; each run of other bytes is converted as a whole, its units
// placed by their UTF-8 lengths, or all at the run's start when the run is not well-formed (its
// ill-formed parts then read as U+FFFD).
std::u16string withByteOffsets(std::string_view text, std::vector<uint32_t>& byteOffsets) {
  std::u16string out;
  out.reserve(text.size());
  byteOffsets.clear();
  size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      out += static_cast<char16_t>(text[i]);
      byteOffsets.push_back(static_cast<uint32_t>(i));
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80)
      ++end;
    std::string_view run = text.substr(i, end - i);
    if (std::optional<std::u16string> wide = utf8ToUtf16(run)) {
      size_t offset = i;
      for (size_t k = 0; k < wide->size(); ++k) {
        char16_t unit = (*wide)[k];
        byteOffsets.push_back(static_cast<uint32_t>(offset));
        if (unit >= 0xD800 && unit <= 0xDBFF && k + 1 < wide->size()) {
          byteOffsets.push_back(static_cast<uint32_t>(offset)); // the pair's second unit: same character
          ++k;
          offset += 4;
        } else {
          offset += unit < 0x800 ? 2 : 3;
        }
      }
      out += *wide;
    } else {
      std::u16string replaced = utf8ToUtf16Replacing(run);
      byteOffsets.insert(byteOffsets.end(), replaced.size(), static_cast<uint32_t>(i));
      out += replaced;
    }
    i = end;
  }
  byteOffsets.push_back(static_cast<uint32_t>(text.size()));
  return out;
}

} // namespace

ParseResult parseFormulaUtf8(std::string_view text) {
  std::vector<uint32_t> byteOffsets;
  std::u16string wide = withByteOffsets(text, byteOffsets);
  ParseResult result = parseFormula(wide);
  if (result.error && result.error->position < byteOffsets.size())
    result.error->position = byteOffsets[result.error->position];
  return result;
}

} // namespace cwbk::compiler
