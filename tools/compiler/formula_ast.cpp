// Formula syntax trees: equality, the reference test and the canonical printing back to text.
#include "compiler/formula_ast.h"

#include <array>
#include <charconv>
#include <cmath>

#include "formula/reference.h"

namespace cwbk::compiler {

namespace {

struct ErrorLiteral {
  CalcError error;
  std::u16string_view text;
};
constexpr std::array<ErrorLiteral, 7> kErrorLiterals = {{
    {ErrNull, u"#NULL!"},
    {ErrDiv0, u"#DIV/0!"},
    {ErrValue, u"#VALUE!"},
    {ErrRef, u"#REF!"},
    {ErrName, u"#NAME?"},
    {ErrNum, u"#NUM!"},
    {ErrNA, u"#N/A"},
}};

// Binding strength of a node when printed, higher binds tighter; a child weaker than its operator
// demands is put in parentheses.
enum Strength : int {
  kCompare = 1,
  kConcat = 2,
  kAdditive = 3,
  kMultiplicative = 4,
  kPower = 5,
  kPercent = 6,
  kNegate = 7,
  kIntersection = 8,
  kRange = 9,
  kPrimary = 10,
};

int strengthOf(const AstNode& node) {
  switch (node.kind) {
  case AstKind::Compare:
    return kCompare;
  case AstKind::Operator:
    switch (node.arithmeticOp) {
    case ArithmeticOp::Concat:
      return kConcat;
    case ArithmeticOp::Add:
    case ArithmeticOp::Subtract:
      return kAdditive;
    case ArithmeticOp::Multiply:
    case ArithmeticOp::Divide:
      return kMultiplicative;
    case ArithmeticOp::Power:
      return kPower;
    case ArithmeticOp::Percent:
      return kPercent;
    case ArithmeticOp::Negate:
      return kNegate;
    }
    return kCompare;
  case AstKind::Intersection:
    return kIntersection;
  case AstKind::AreaRef:
    // Fixed or computed, an area is a range expression: as the right operand of ':' it needs
    // parentheses, as the left one it does not (':' groups from the left).
    return kRange;
  case AstKind::ExternalRef:
    return !node.children.empty() && node.children[0].kind == AstKind::AreaRef ? kRange : kPrimary;
  default:
    return kPrimary;
  }
}

std::u16string_view compareText(CompareOp op) {
  switch (op) {
  case CompareOp::Less:
    return u"<";
  case CompareOp::Greater:
    return u">";
  case CompareOp::LessEqual:
    return u"<=";
  case CompareOp::GreaterEqual:
    return u">=";
  case CompareOp::Equal:
    return u"=";
  case CompareOp::NotEqual:
    return u"<>";
  }
  return u"=";
}

std::u16string_view binaryText(ArithmeticOp op) {
  switch (op) {
  case ArithmeticOp::Add:
    return u"+";
  case ArithmeticOp::Subtract:
    return u"-";
  case ArithmeticOp::Multiply:
    return u"*";
  case ArithmeticOp::Divide:
    return u"/";
  case ArithmeticOp::Power:
    return u"^";
  case ArithmeticOp::Concat:
    return u"&";
  default:
    return u"?";
  }
}

void appendQuoted(std::u16string& out, std::u16string_view text, char16_t quote) {
  out += quote;
  for (char16_t c : text) {
    if (c == quote) out += quote;
    out += c;
  }
  out += quote;
}

void appendColumn(std::u16string& out, uint32_t column) {
  char16_t letters[4];
  int n = 0;
  uint32_t c = column + 1;
  while (c > 0 && n < 4) {
    uint32_t r = (c - 1) % 26;
    letters[n++] = static_cast<char16_t>(u'A' + r);
    c = (c - 1) / 26;
  }
  while (n > 0)
    out += letters[--n];
}

void appendRow(std::u16string& out, uint32_t row) {
  std::string digits = std::to_string(static_cast<uint64_t>(row) + 1);
  out.append(digits.begin(), digits.end());
}

void appendCorner(std::u16string& out, const RefCorner& corner) {
  if (corner.columnAbsolute) out += u'$';
  appendColumn(out, corner.column);
  if (corner.rowAbsolute) out += u'$';
  appendRow(out, corner.row);
}

void appendNumber(std::u16string& out, double value) {
  if (!std::isfinite(value)) {
    out += u"#NUM!";
    return;
  }
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  for (char* p = buffer; p != result.ptr; ++p)
    out += static_cast<char16_t>(*p == 'e' ? 'E' : *p);
}

void appendSheetPrefix(std::u16string& out, const std::optional<std::u16string>& sheet,
                       int32_t externalIndex) {
  std::u16string book;
  if (externalIndex >= 0) {
    std::string digits = std::to_string(externalIndex);
    book = u"[";
    book.append(digits.begin(), digits.end());
    book += u"]";
  }
  if (!sheet) {
    if (!book.empty()) out += book + u"!";
    return;
  }
  if (sheetNameNeedsQuotes(*sheet)) {
    appendQuoted(out, book + *sheet, u'\'');
  } else {
    out += book;
    out += *sheet;
  }
  out += u'!';
}

void appendConstant(std::u16string& out, const AstNode& node) {
  switch (node.kind) {
  case AstKind::Number:
    appendNumber(out, node.number);
    break;
  case AstKind::Text:
    appendQuoted(out, node.text, u'"');
    break;
  case AstKind::Boolean:
    out += node.boolean ? u"TRUE" : u"FALSE";
    break;
  case AstKind::Error: {
    std::u16string_view text = errorLiteralText(node.error);
    out += text.empty() ? u"#N/A" : text;
    break;
  }
  default:
    break;
  }
}

void appendNode(std::u16string& out, const AstNode& node, int32_t externalIndex = -1);

// Returns true when the printed text of a node ends with a defined name.
bool endsWithName(const AstNode& node) {
  switch (node.kind) {
  case AstKind::Name:
    return true;
  case AstKind::ExternalRef:
    return !node.children.empty() && node.children[0].kind == AstKind::Name;
  case AstKind::AreaRef:
    // A computed area ends with its right operand, which is printed bare unless it is an area.
    return node.isComputedArea() && node.children.back().kind != AstKind::AreaRef &&
           endsWithName(node.children.back());
  default:
    return false;
  }
}

void appendChild(std::u16string& out, const AstNode& child, bool parenthesize) {
  if (parenthesize) out += u'(';
  appendNode(out, child);
  if (parenthesize) out += u')';
}

void appendNode(std::u16string& out, const AstNode& node, int32_t externalIndex) {
  const auto& kids = node.children;
  switch (node.kind) {
  case AstKind::Missing:
    break;
  case AstKind::Number:
  case AstKind::Text:
  case AstKind::Boolean:
  case AstKind::Error:
    appendConstant(out, node);
    break;
  case AstKind::CellRef:
    appendSheetPrefix(out, node.sheet, externalIndex);
    appendCorner(out, node.first);
    break;
  case AstKind::AreaRef:
    if (node.isComputedArea()) {
      // Built by ':' from two operands; ':' groups from the left. After a name the ':' is spaced, so
      // that "ab : c" does not read back as the whole columns AB:C, nor "s1 : s3!A1" as sheets s1 to s3.
      for (size_t i = 0; i < kids.size(); ++i) {
        if (i > 0) out += endsWithName(kids[i - 1]) ? u" : " : u":";
        int need = i == 0 ? kRange : kRange + 1;
        appendChild(out, kids[i], strengthOf(kids[i]) < need);
      }
      break;
    }
    appendSheetPrefix(out, node.sheet, externalIndex);
    if (node.wholeColumns) {
      if (node.first.columnAbsolute) out += u'$';
      appendColumn(out, node.first.column);
      out += u':';
      if (node.second.columnAbsolute) out += u'$';
      appendColumn(out, node.second.column);
    } else if (node.wholeRows) {
      if (node.first.rowAbsolute) out += u'$';
      appendRow(out, node.first.row);
      out += u':';
      if (node.second.rowAbsolute) out += u'$';
      appendRow(out, node.second.row);
    } else {
      appendCorner(out, node.first);
      out += u':';
      appendCorner(out, node.second);
    }
    break;
  case AstKind::ExternalRef:
    if (!kids.empty()) appendNode(out, kids[0], node.externalIndex < 0 ? 0 : node.externalIndex);
    break;
  case AstKind::Name:
    appendSheetPrefix(out, node.sheet, externalIndex);
    out += node.text;
    break;
  case AstKind::Union:
    out += u'(';
    for (size_t i = 0; i < kids.size(); ++i) {
      if (i > 0) out += u',';
      appendNode(out, kids[i]);
    }
    out += u')';
    break;
  case AstKind::Intersection:
    for (size_t i = 0; i < kids.size(); ++i) {
      if (i > 0) out += u' ';
      appendChild(out, kids[i], strengthOf(kids[i]) <= kIntersection);
    }
    break;
  case AstKind::Array:
    out += u'{';
    for (size_t i = 0; i < kids.size(); ++i) {
      if (i > 0) out += node.columns > 0 && i % node.columns == 0 ? u';' : u',';
      appendConstant(out, kids[i]);
    }
    out += u'}';
    break;
  case AstKind::Call:
    out += node.text;
    out += u'(';
    for (size_t i = 0; i < kids.size(); ++i) {
      if (i > 0) out += u',';
      appendNode(out, kids[i]);
    }
    out += u')';
    break;
  case AstKind::Compare:
  case AstKind::Operator: {
    int strength = strengthOf(node);
    if (node.kind == AstKind::Operator && node.arithmeticOp == ArithmeticOp::Negate) {
      out += u'-';
      if (!kids.empty()) appendChild(out, kids[0], strengthOf(kids[0]) < strength);
      break;
    }
    if (node.kind == AstKind::Operator && node.arithmeticOp == ArithmeticOp::Percent) {
      if (!kids.empty()) appendChild(out, kids[0], strengthOf(kids[0]) < strength);
      out += u'%';
      break;
    }
    // Binary operators group from the left: the right operand needs parentheses at equal strength.
    for (size_t i = 0; i < kids.size(); ++i) {
      if (i > 0)
        out += node.kind == AstKind::Compare ? compareText(node.compareOp) : binaryText(node.arithmeticOp);
      int childStrength = strengthOf(kids[i]);
      appendChild(out, kids[i], i == 0 ? childStrength < strength : childStrength <= strength);
    }
    break;
  }
  }
}

} // namespace

bool AstNode::isReferenceValued() const {
  switch (kind) {
  case AstKind::CellRef:
  case AstKind::AreaRef:
  case AstKind::ExternalRef:
  case AstKind::Name:
  case AstKind::Call:
  case AstKind::Union:
  case AstKind::Intersection:
    return true;
  case AstKind::Error:
    // A deleted reference is written as #REF! in its place.
    return error == ErrRef;
  default:
    return false;
  }
}

bool operator==(const AstNode& a, const AstNode& b) {
  return a.kind == b.kind && a.number == b.number && a.boolean == b.boolean && a.error == b.error &&
         a.compareOp == b.compareOp && a.arithmeticOp == b.arithmeticOp && a.text == b.text &&
         a.sheet == b.sheet && a.first == b.first && a.second == b.second && a.wholeRows == b.wholeRows &&
         a.wholeColumns == b.wholeColumns && a.externalIndex == b.externalIndex && a.columns == b.columns &&
         a.children == b.children;
}

std::u16string formulaToText(const AstNode& node) {
  std::u16string out;
  appendNode(out, node);
  return out;
}

std::string formulaToTextUtf8(const AstNode& node) {
  return utf16ToUtf8(formulaToText(node));
}

std::u16string_view errorLiteralText(CalcError error) {
  for (const auto& literal : kErrorLiterals) {
    if (literal.error == error) return literal.text;
  }
  return {};
}

} // namespace cwbk::compiler
