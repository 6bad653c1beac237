// Formula parser: operator precedence and grouping, references and names, canonical printing with
// its round trip, positioned errors for malformed formulas, nesting and length limits.
#include "compiler/formula_parser.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <random>

using namespace cwbk;
using namespace cwbk::compiler;

namespace {

std::string u8(std::u16string_view text) {
  return utf16ToUtf8(text);
}

// Returns a fully grouped form of a tree: operators as (op a b), references as canonical text,
// names as @name, missing arguments as _.
std::string shape(const AstNode& n) {
  auto list = [&](std::string head) {
    std::string out = "(" + head;
    for (const auto& child : n.children)
      out += " " + shape(child);
    return out + ")";
  };
  switch (n.kind) {
  case AstKind::Missing:
    return "_";
  case AstKind::Name:
    return "@" + u8(formulaToText(n));
  case AstKind::AreaRef:
    return n.isComputedArea() ? list("range") : u8(formulaToText(n));
  case AstKind::Union:
    return list("union");
  case AstKind::Intersection:
    return list("isect");
  case AstKind::Call:
    return list(u8(n.text));
  case AstKind::Compare: {
    static const char* ops[] = {"?", "<", ">", "<=", ">=", "=", "<>"};
    return list(ops[static_cast<int>(n.compareOp)]);
  }
  case AstKind::Operator: {
    static const char* ops[] = {"?", "+", "-", "*", "/", "^", "neg", "&", "%"};
    return list(ops[static_cast<int>(n.arithmeticOp)]);
  }
  default:
    return u8(formulaToText(n));
  }
}

AstNode parseOk(std::u16string_view text) {
  ParseResult r = parseFormula(text);
  EXPECT_TRUE(r.ok()) << u8(text) << ": " << (r.error ? r.error->message() : "");
  return r.tree;
}

// Checks that printing a tree and parsing the text gives the same tree, and that the text is stable.
void expectRoundTrip(const AstNode& tree, const std::string& source) {
  std::u16string printed = formulaToText(tree);
  ParseResult again = parseFormula(printed);
  ASSERT_TRUE(again.ok()) << source << " printed as " << u8(printed) << ": " << again.error->message();
  EXPECT_TRUE(again.tree == tree) << source << " printed as " << u8(printed) << " reads back as "
                                  << shape(again.tree) << ", not " << shape(tree);
  EXPECT_EQ(u8(formulaToText(again.tree)), u8(printed)) << source;
}

struct ShapeCase {
  std::u16string_view formula;
  const char* shape;
};

const ShapeCase kShapes[] = {
    // Precedence: comparison < & < + - < * / < ^ < % < prefix sign < ' ' < ':'.
    {u"-2^2", "(^ (neg 2) 2)"},
    {u"2^3^2", "(^ (^ 2 3) 2)"},
    {u"1+2*3", "(+ 1 (* 2 3))"},
    {u"(1+2)*3", "(* (+ 1 2) 3)"},
    {u"1-2-3", "(- (- 1 2) 3)"},
    {u"8/4*2", "(* (/ 8 4) 2)"},
    {u"\"a\"&1+2", "(& \"a\" (+ 1 2))"},
    {u"1&2=\"12\"", "(= (& 1 2) \"12\")"},
    {u"=1=1=1", "(= (= 1 1) 1)"},
    {u"1<2<>TRUE", "(<> (< 1 2) TRUE)"},
    {u"A1>=B1", "(>= A1 B1)"},
    {u"A1<=B1", "(<= A1 B1)"},
    {u"5%^2", "(^ (% 5) 2)"},
    {u"-A1%", "(% (neg A1))"},
    {u"5%%", "(% (% 5))"},
    {u"2^-1", "(^ 2 (neg 1))"},
    {u"2^-1%", "(^ 2 (% (neg 1)))"},
    {u"--A1", "(neg (neg A1))"},
    {u"+A1", "A1"},
    {u"1-+2", "(- 1 2)"},
    {u"-A1:B2", "(neg A1:B2)"},
    // Reference operators and whitespace.
    {u"A1:B2 C1:D4", "(isect A1:B2 C1:D4)"},
    {u"A1 B1 C1", "(isect A1 B1 C1)"},
    {u"(A1 B1) C1", "(isect (isect A1 B1) C1)"},
    {u"A1 + B1", "(+ A1 B1)"},
    {u"A1 -B1", "(- A1 B1)"},
    {u" A1 \n* 2 ", "(* A1 2)"},
    {u"A1 % ", "(% A1)"},
    {u"A1:B2:C3", "(range A1:B2 C3)"},
    {u"A1 : B2", "A1:B2"},
    {u"A1:INDEX(B:B,2)", "(range A1 (INDEX B:B 2))"},
    {u"Sheet1!A1:Sheet2!B2", "(range Sheet1!A1 Sheet2!B2)"},
    {u"Sheet1!A1:sheet1!B2", "Sheet1!A1:B2"},
    {u"SUM((A1,B2))", "(SUM (union A1 B2))"},
    {u"SUM((A1,B2 C3),D4)", "(SUM (union A1 (isect B2 C3)) D4)"},
    {u"SUM( A1 , B2 )", "(SUM A1 B2)"},
    {u"Sheet1!$A$1:$B$2,Sheet1!$D$1", "(union Sheet1!$A$1:$B$2 Sheet1!$D$1)"},
    {u"name1 name2", "(isect @name1 @name2)"},
    {u"SUM(#REF!,A1)", "(SUM #REF! A1)"},
    {u"Sheet1!#REF!+1", "(+ #REF! 1)"},
    {u"SUM(#REF!A1,#REF!$B:$C)", "(SUM #REF! #REF!)"},
    // Calls, names, missing arguments.
    {u"IF(A1,,2)", "(IF A1 _ 2)"},
    {u"SUM(,)", "(SUM _ _)"},
    {u"IF(A1,2,)", "(IF A1 2 _)"},
    {u"NOW()", "(NOW)"},
    {u"TRUE()", "(TRUE)"},
    {u"true", "TRUE"},
    {u"False", "FALSE"},
    {u"sum(1)", "(SUM 1)"},
    {u"_xlfn.STDEV.S(A1:A3)", "(STDEV.S A1:A3)"},
    {u"_xlfn._xlws.SORT(A1:A3)", "(SORT A1:A3)"},
    {u"_xll.MyAddin(1)", "(MYADDIN 1)"},
    {u"LOG10(100)+ATAN2(1,2)", "(+ (LOG10 100) (ATAN2 1 2))"},
    {u"A1A+XFE1+AAAA1+R1C1+RC+A0", "(+ (+ (+ (+ (+ @A1A @XFE1) @AAAA1) @R1C1) @RC) @A0)"},
    {u"XFD1048576+RC1", "(+ XFD1048576 RC1)"},
    {u"My.Name_2*\\x", "(* @My.Name_2 @\\x)"},
    {u"Sheet1!MyName", "@Sheet1!MyName"},
    {u"SUM (A1)", "(isect @SUM A1)"},
    // Literals.
    {u"1E+3+.5+1.+1e3", "(+ (+ (+ 1000 0.5) 1) 1000)"},
    {u"1e-400", "0"},
    {u"\"say \"\"hi\"\"\"", "\"say \"\"hi\"\"\""},
    {u"#DIV/0!&#n/a", "(& #DIV/0! #N/A)"},
    {u"{1,-2;\"a\",TRUE}", "{1,-2;\"a\",TRUE}"},
    {u"{#N/A;+3}", "{#N/A;3}"},
    // Sheets, whole rows and columns, external workbooks.
    {u"'It''s'!A1", "'It''s'!A1"},
    {u"'My Sheet'!C:C", "'My Sheet'!C:C"},
    {u"Sheet2!$3:5", "Sheet2!$3:5"},
    {u"[1]Sheet1!A1:B2", "[1]Sheet1!A1:B2"},
    {u"'[1]Sheet 1'!A1", "'[1]Sheet 1'!A1"},
    {u"[2]!Total", "[2]!Total"},
};

TEST(FormulaParser, GroupsByExcelPrecedence) {
  for (const auto& c : kShapes) {
    AstNode tree = parseOk(c.formula);
    EXPECT_EQ(shape(tree), c.shape) << u8(c.formula);
    expectRoundTrip(tree, u8(c.formula));
  }
}

TEST(FormulaParser, PrintsCanonicalText) {
  struct Case {
    std::u16string_view formula;
    std::u16string_view text;
  };
  const Case cases[] = {
      {u"=sum( a1 , $b$2 )", u"SUM(A1,$B$2)"},
      {u"-(2^2)", u"-(2^2)"},
      {u"(-2)^2", u"-2^2"},
      {u"(1+2)%", u"(1+2)%"},
      {u"-(A1%)", u"-(A1%)"},
      {u"1-(2-3)", u"1-(2-3)"},
      {u"(1-2)-3", u"1-2-3"},
      {u"2^(3^2)", u"2^(3^2)"},
      {u"(1=1)=(1=1)", u"1=1=(1=1)"},
      {u"1&(2&3)", u"1&(2&3)"},
      {u"'Sheet1'!A1", u"Sheet1!A1"},
      {u"'A1'!B2+'R2C3'!A1+'2019'!A1", u"'A1'!B2+'R2C3'!A1+'2019'!A1"},
      {u"A1:(B2:C3)", u"A1:(B2:C3)"},
      {u"(A1:B2):C3", u"A1:B2:C3"},
      {u"((A1,B2),C3)", u"((A1,B2),C3)"},
      {u"(((A1)))", u"A1"},
      {u"1.5E-10*1E+300", u"1.5E-10*1E+300"},
      {u"0.1+123456789012", u"0.1+123456789012"},
      {u"$A:$C+3:5", u"$A:$C+3:5"},
      {u"_xlfn.CONCAT(\"a\",\"b\")", u"CONCAT(\"a\",\"b\")"},
      {u"ab :c", u"ab : c"},
      {u"Jan :Mar!A1", u"Jan : Mar!A1"},
      {u"x:A1:yy:zzzz+x:A1:(y:z)", u"x : A1:yy : zzzz+x : A1:(Y:Z)"},
  };
  for (const auto& c : cases) {
    AstNode tree = parseOk(c.formula);
    EXPECT_EQ(u8(formulaToText(tree)), u8(c.text)) << u8(c.formula);
    expectRoundTrip(tree, u8(c.formula));
  }
}

TEST(FormulaParser, KeepsReferenceFields) {
  AstNode area = parseOk(u"Sheet2!$B3:C$4");
  ASSERT_EQ(area.kind, AstKind::AreaRef);
  EXPECT_EQ(area.sheet, std::u16string(u"Sheet2"));
  EXPECT_EQ(area.first, (RefCorner{2, 1, false, true}));
  EXPECT_EQ(area.second, (RefCorner{3, 2, true, false}));
  EXPECT_FALSE(area.wholeRows || area.wholeColumns || area.isComputedArea());

  AstNode corner = parseOk(u"XFD1048576");
  ASSERT_EQ(corner.kind, AstKind::CellRef);
  EXPECT_FALSE(corner.sheet.has_value());
  EXPECT_EQ(corner.first, (RefCorner{kSheetRows - 1, kSheetColumns - 1, false, false}));

  AstNode columns = parseOk(u"$A:C");
  ASSERT_EQ(columns.kind, AstKind::AreaRef);
  EXPECT_TRUE(columns.wholeColumns);
  EXPECT_EQ(columns.first, (RefCorner{0, 0, false, true}));
  EXPECT_EQ(columns.second, (RefCorner{kSheetRows - 1, 2, false, false}));

  AstNode rows = parseOk(u"3:$5");
  ASSERT_EQ(rows.kind, AstKind::AreaRef);
  EXPECT_TRUE(rows.wholeRows);
  EXPECT_EQ(rows.first, (RefCorner{2, 0, false, false}));
  EXPECT_EQ(rows.second, (RefCorner{4, kSheetColumns - 1, true, false}));

  AstNode external = parseOk(u"'[2]Data ''x'''!B1");
  ASSERT_EQ(external.kind, AstKind::ExternalRef);
  EXPECT_EQ(external.externalIndex, 2);
  ASSERT_EQ(external.children.size(), 1u);
  EXPECT_EQ(external.children[0].kind, AstKind::CellRef);
  EXPECT_EQ(external.children[0].sheet, std::u16string(u"Data 'x'"));

  AstNode text = parseOk(u"\"a\"\"b\"");
  EXPECT_EQ(text.text, u"a\"b");

  AstNode array = parseOk(u"{1,2,3;4,5,6}");
  EXPECT_EQ(array.columns, 3u);
  EXPECT_EQ(array.children.size(), 6u);

  // Positions are code unit offsets of each node's first character.
  AstNode sum = parseOk(u"=1 + SUM(A1)");
  EXPECT_EQ(sum.children[1].position, 5u);
  EXPECT_EQ(sum.children[1].children[0].position, 9u);
}

TEST(FormulaParser, RejectsMalformedFormulasWithPosition) {
  struct Case {
    std::u16string_view formula;
    const char* message;
  };
  const Case cases[] = {
      {u"SUM(1,2))", "unexpected ')' at 8"},
      {u"", "empty formula at 0"},
      {u"=", "empty formula at 1"},
      {u"1+", "unexpected end of formula at 2"},
      {u"1+*2", "unexpected '*' at 2"},
      {u"()", "unexpected ')' at 1"},
      {u"SUM(1", "missing ')' at 5"},
      {u"(1+2", "missing ')' at 4"},
      {u"SUM(1;2)", "unexpected ';' at 5"},
      {u"2A", "unexpected 'A' at 1"},
      {u"A1\"x\"", "unexpected '\"x\"' at 2"},
      {u"A1:", "unexpected end of formula at 3"},
      {u"A1@", "unexpected character '@' at 2"},
      {u"\"abc", "unterminated text at 0"},
      {u"'Sheet1!A1", "unterminated sheet name at 0"},
      {u"'Sheet1'A1", "expected '!' after a quoted sheet name at 8"},
      {u"Sheet1!", "expected a reference after '!' at 7"},
      {u"Sheet1!1", "expected a reference after '!' at 7"},
      {u"Sheet1!#N/A", "expected a reference after '!' at 7"},
      {u"Sheet1!F(1)", "unexpected '(' at 8"},
      {u"$A$1A", "invalid reference at 0"},
      {u"1E+", "invalid number at 0"},
      {u"1E999", "number out of range at 0"},
      {u"#BOGUS!", "invalid error literal at 0"},
      {u"#GETTING_DATA", "#GETTING_DATA is not supported at 0"},
      {u"Sheet1:Sheet3!A1", "3D references are not supported at 0"},
      {u"SUM('Jan:Mar'!B2)", "3D references are not supported at 4"},
      {u"Table1[Col]", "structured references are not supported at 0"},
      {u"[@Col]*2", "structured references are not supported at 0"},
      {u"[Book1.xlsx]Sheet1!A1", "external workbooks named by path are not supported at 0"},
      {u"'C:\\x\\[Book1.xlsx]Sheet1'!A1", "external workbooks named by path are not supported at 0"},
      {u"1 2", "missing operator at 2"},
      {u"A1 1", "missing operator at 3"},
      {u"SUM(1 A1)", "missing operator at 6"},
      {u"(1,2)", "expected a reference at 1"},
      {u"A1,1+2", "expected a reference at 3"},
      {u"1:A1", "expected a reference at 0"},
      {u"{1,2;3}", "array rows differ in length at 6"},
      {u"{1;2,3}", "array rows differ in length at 6"},
      {u"{1,A1}", "invalid array element at 3"},
      {u"{-\"a\"}", "invalid array element at 1"},
      {u"{1,2", "missing '}' at 4"},
      {u"{}", "invalid array element at 1"},
      {u"_xlfn.(1)", "missing function name at 0"},
      {u"_xlfn..X(1)", "invalid function name at 0"},
      {u"''!A1", "empty sheet name at 0"},
      {u"[1]+1", "expected a sheet name and '!' after the external workbook index at 3"},
      {u"[1]Jan:Mar!A1", "3D references are not supported at 0"},
  };
  for (const auto& c : cases) {
    ParseResult r = parseFormula(c.formula);
    ASSERT_FALSE(r.ok()) << u8(c.formula) << " parsed as " << shape(r.tree);
    EXPECT_EQ(r.error->message(), c.message) << u8(c.formula);
  }
}

// Two tables: Sales on Data!B2:E7 (header row 2, data rows 3 to 6, totals row 7) and Keys on
// 'Calc sheet'!A1:B3, without header or totals rows.
SourceWorkbook tableWorkbook() {
  SourceWorkbook wb;
  wb.sheets = {{u"Data", u""}, {u"Calc sheet", u""}};
  wb.tables.push_back({u"Sales", 0, {1, 1, 6, 4}, 1, 1, {u"Region", u"Jan", u"Feb", u"Net [\u20AC]"}});
  wb.tables.push_back({u"Keys", 1, {0, 0, 2, 1}, 0, 0, {u"Key", u"Val"}});
  return wb;
}

TEST(FormulaParser, ReadsStructuredReferencesAsPlainReferences) {
  SourceWorkbook wb = tableWorkbook();
  struct Case {
    std::u16string formula;
    const char* cell; // the formula's cell on Data
    std::string text;
  };
  // E4 lies inside Sales (its fourth column, second data row); H4 beside it on the same row.
  const Case cases[] = {
      {u"Sales[Jan]", "E4", "Data!$C$3:$C$6"},
      {u"SUM(sales[JAN])", "H4", "SUM(Data!$C$3:$C$6)"},
      {u"Sales[[#Totals],[Jan]]", "H4", "Data!$C$7"},
      {u"Sales[[#Totals], [Jan]]", "H4", "Data!$C$7"},
      {u"Sales[@Jan]", "H4", "Data!$C4"},
      {u"Sales[[#This Row],[Jan]]", "E5", "Data!$C5"},
      {u"[@Jan]*2", "E4", "Data!$C4*2"},
      {u"[@[Net '[\u20AC']]]+[@Feb]", "E6", "Data!$E6+Data!$D6"},
      {u"Sales[@]", "H4", "Data!$B4:$E4"},
      {u"Sales[#All]", "H4", "Data!$B$2:$E$7"},
      {u"Sales[#Data]", "H4", "Data!$B$3:$E$6"},
      {u"Sales[]", "H4", "Data!$B$3:$E$6"},
      {u"VLOOKUP(\"x\",Sales,2,FALSE)", "H4", "VLOOKUP(\"x\",Data!$B$3:$E$6,2,FALSE)"},
      {u"Sales[#Headers]", "H4", "Data!$B$2:$E$2"},
      {u"Sales[[#Headers],[#Data]]", "H4", "Data!$B$2:$E$6"},
      {u"Sales[[#Data],[#Totals],[Feb]]", "H4", "Data!$D$3:$D$7"},
      {u"Sales[[Jan]:[Feb]]", "H4", "Data!$C$3:$D$6"},
      {u"Sales[[#Totals],[Feb]:[Jan]]", "H4", "Data!$C$7:$D$7"},
      {u"Sales[[Net '[\u20AC']]]", "H4", "Data!$E$3:$E$6"},
      {u"[Jan]", "C5", "Data!$C$3:$C$6"},
      {u"Keys[Val]", "H4", "'Calc sheet'!$B$1:$B$3"},
      {u"Keys[#Headers]", "H4", "#REF!"},
      {u"Keys[[#Totals],[Key]]", "H4", "#REF!"},
      {u"Keys[@Val]", "H4", "#VALUE!"}, // row 4 is not one of Keys' rows
      {u"Sales[@Jan]", "H9", "#VALUE!"},
      {u"Sales[@Jan]", "H2", "#VALUE!"}, // the header row
  };
  for (const auto& c : cases) {
    FormulaSite site{&wb, 0, true};
    uint32_t row = 0;
    std::from_chars(c.cell + 1, c.cell + std::strlen(c.cell), row);
    site.row = row - 1;
    site.column = static_cast<uint32_t>(c.cell[0] - 'A');
    ParseResult r = parseFormula(c.formula, &site);
    ASSERT_TRUE(r.ok()) << u8(c.formula) << ": " << r.error->message();
    EXPECT_EQ(formulaToTextUtf8(r.tree), c.text) << u8(c.formula) << " at " << c.cell;
  }
}

TEST(FormulaParser, RejectsFaultyStructuredReferencesWithPosition) {
  SourceWorkbook wb = tableWorkbook();
  struct Case {
    std::u16string formula;
    bool inCell;
    std::string message;
  };
  const Case cases[] = {
      {u"Nope[Jan]", true, "unknown table 'Nope' at 0"},
      {u"1+Sales[Apr]", true, "table Sales has no column 'Apr' at 8"},
      {u"[@Jan]", true, "a structured reference without a table name outside a table at 0"},
      {u"Sales[#Bogus]", true, "unknown item '#Bogus' in a structured reference at 6"},
      {u"Sales[[#Headers],[#Totals]]", true, "the headers and totals of a table are not adjacent at 0"},
      {u"Sales[[#This Row],[#Data],[Jan]]", true, "the current row does not combine with other items at 0"},
      {u"Sales[Jan", true, "missing ']' at 5"},
      {u"Sales[[Jan],[Feb]]", true, "a structured reference names one column or one range of columns at 13"},
      {u"Sales[[#Data]:[Jan]]", true, "a range in a structured reference joins two columns at 7"},
      {u"Sales[[Jan] [Feb]]", true, "expected ',' or ']' in a structured reference at 12"},
      {u"Data!Sales[Jan]", true, "a structured reference takes no sheet name at 5"},
      {u"Sales[@Jan]", false, "a reference to the current row outside a cell at 0"},
  };
  for (const auto& c : cases) {
    FormulaSite site{&wb, 1, c.inCell, 3, 7}; // 'Calc sheet'!H4, or a defined name
    ParseResult r = parseFormula(c.formula, &site);
    ASSERT_FALSE(r.ok()) << u8(c.formula) << " parsed as " << shape(r.tree);
    EXPECT_EQ(r.error->message(), c.message) << u8(c.formula);
  }
}

// Mutated structured references and references across sheets fail with a position inside the text or
// read as plain references that print and parse back alike.
TEST(FormulaParser, StructuredReferencesSurviveMutatedInput) {
  SourceWorkbook wb = tableWorkbook();
  const std::u16string seeds[] = {u"Sales[[#Totals],[Jan]:[Feb]]", u"[@[Net '[\u20AC']]]*Keys[@Val]",
                                  u"SUM(Sales[#All],Keys)", u"SUM('Data:Calc sheet'!A1:B2,Data:Data!C3)"};
  const std::u16string alphabet = u"[]@#':, ,!AJaz";
  std::mt19937 random(2024);
  for (int round = 0; round < 4000; ++round) {
    std::u16string text = seeds[random() % std::size(seeds)];
    for (int e = 1 + static_cast<int>(random() % 3); e > 0; --e) {
      size_t at = random() % (text.size() + 1);
      if (random() % 2 == 0)
        text.insert(text.begin() + static_cast<ptrdiff_t>(at), alphabet[random() % alphabet.size()]);
      else if (at < text.size())
        text.erase(at, 1);
    }
    FormulaSite site{&wb, 0, true, static_cast<uint32_t>(random() % 8), static_cast<uint32_t>(random() % 6)};
    ParseResult r = parseFormula(text, &site);
    if (!r.ok()) {
      EXPECT_LE(r.error->position, text.size()) << u8(text);
      continue;
    }
    ParseResult again = parseFormula(formulaToText(r.tree));
    ASSERT_TRUE(again.ok()) << u8(text) << " printed as " << formulaToTextUtf8(r.tree);
    EXPECT_TRUE(again.tree == r.tree) << u8(text);
  }
}

TEST(FormulaParser, SpreadsReferencesAcrossSheetsIntoArguments) {
  SourceWorkbook wb;
  wb.sheets = {{u"Jan", u""}, {u"Feb", u""}, {u"Mar", u""}, {u"Q 4", u""}};
  FormulaSite site{&wb, 0, true, 0, 0};
  const std::pair<std::u16string, std::string> cases[] = {
      {u"SUM(Feb:Mar!A1:C3)", "SUM(Feb!A1:C3,Mar!A1:C3)"},
      {u"COUNT(Mar:jan!$A$1,1)", "COUNT(Jan!$A$1,Feb!$A$1,Mar!$A$1,1)"},
      {u"_xlfn.STDEV.S('Feb:Q 4'!B2)", "STDEV.S(Feb!B2,Mar!B2,'Q 4'!B2)"},
      {u"MAX(Jan:Feb!A:A)", "MAX(Jan!A:A,Feb!A:A)"},
  };
  for (const auto& [formula, text] : cases) {
    ParseResult r = parseFormula(formula, &site);
    ASSERT_TRUE(r.ok()) << u8(formula) << ": " << r.error->message();
    EXPECT_EQ(formulaToTextUtf8(r.tree), text) << u8(formula);
  }
  const std::string onlyArguments = "3D references are supported only as whole arguments of SUM, AVERAGE, "
                                    "COUNT, MAX, MIN, PRODUCT and their kin";
  const std::pair<std::u16string, std::string> faults[] = {
      {u"Jan:Feb!A1+1", onlyArguments + " at 0"},
      {u"SUM(Jan:Feb!A1+1)", onlyArguments + " at 4"},
      {u"SUM(Jan:Feb!A1:Mar!B2)", onlyArguments + " at 4"},
      {u"VLOOKUP(1,Jan:Feb!A1:B2,2)", onlyArguments + " at 10"},
      {u"SUM(Jan:Nope!A1)", "unknown sheet in a 3D reference at 4"},
  };
  for (const auto& [formula, message] : faults) {
    ParseResult r = parseFormula(formula, &site);
    ASSERT_FALSE(r.ok()) << u8(formula) << " parsed as " << shape(r.tree);
    EXPECT_EQ(r.error->message(), message) << u8(formula);
  }
}

TEST(FormulaParser, CapsNestingAndLength) {
  auto nested = [](const std::u16string& open, const std::u16string& close, int levels) {
    std::u16string text;
    for (int i = 0; i < levels; ++i)
      text += open;
    text += u"1";
    for (int i = 0; i < levels; ++i)
      text += close;
    return text;
  };
  EXPECT_TRUE(parseFormula(nested(u"(", u")", kMaxNesting)).ok());
  for (const auto& text :
       {nested(u"(", u")", 100000), nested(u"SUM(", u")", 1000), nested(u"-", u"", 5000)}) {
    ParseResult r = parseFormula(text.substr(0, kMaxFormulaLength));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error->what, "nesting deeper than 256 levels");
  }
  ParseResult tooLong = parseFormula(nested(u"(", u")", 5000));
  ASSERT_FALSE(tooLong.ok());
  EXPECT_EQ(tooLong.error->message(), "formula longer than 8192 characters at 8192");

  // A long operator chain within the length limit parses and prints back.
  std::u16string chain = u"A1";
  while (chain.size() + 3 <= kMaxFormulaLength)
    chain += u"+A1";
  AstNode tree = parseOk(chain);
  EXPECT_EQ(formulaToText(tree), chain);
  expectRoundTrip(tree, "long chain");
}

TEST(FormulaParser, ReadsUtf8WithByteOffsets) {
  ParseResult ok = parseFormulaUtf8("'Caf\xC3\xA9'!A1&\"\xE2\x82\xAC\xF0\x9F\x98\x80\"");
  ASSERT_TRUE(ok.ok()) << ok.error->message();
  EXPECT_EQ(ok.tree.children[0].sheet, std::u16string(u"Caf\u00E9"));
  EXPECT_EQ(ok.tree.children[1].text, u"\u20AC\U0001F600");
  EXPECT_EQ(formulaToTextUtf8(ok.tree), "'Caf\xC3\xA9'!A1&\"\xE2\x82\xAC\xF0\x9F\x98\x80\"");

  // The fault's position counts bytes: "\xF0\x9F\x98\x80" is four bytes but two code units.
  ParseResult bad = parseFormulaUtf8("\"\xF0\x9F\x98\x80\"+)");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error->message(), "unexpected ')' at 7");
  EXPECT_EQ(parseFormula(u"\"\U0001F600\"+)").error->message(), "unexpected ')' at 5");

  // Invalid bytes become U+FFFD inside text rather than failing the read.
  ParseResult replaced = parseFormulaUtf8("\"\xFF\xC3\"");
  ASSERT_TRUE(replaced.ok());
  EXPECT_EQ(replaced.tree.text, u"\uFFFD\uFFFD");
}

// Mutations of valid formulas must never crash, and whatever parses must print back to itself.
TEST(FormulaParser, SurvivesMutatedInput) {
  const std::u16string alphabet = u"()+-*/^&%=<>:,; {}\"'![]#$.1AZaz_E\u00E9";
  std::mt19937 random(12345);
  int parsed = 0;
  for (int round = 0; round < 6000; ++round) {
    const auto& seed = kShapes[random() % std::size(kShapes)];
    std::u16string text(seed.formula);
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = text.empty() ? 0 : random() % (text.size() + 1);
      switch (random() % 3) {
      case 0:
        text.insert(text.begin() + static_cast<ptrdiff_t>(at), alphabet[random() % alphabet.size()]);
        break;
      case 1:
        if (at < text.size()) text.erase(at, 1);
        break;
      default:
        if (at < text.size()) text[at] = alphabet[random() % alphabet.size()];
        break;
      }
    }
    ParseResult r = parseFormula(text);
    if (!r.ok()) {
      EXPECT_LE(r.error->position, text.size()) << u8(text);
      continue;
    }
    ++parsed;
    expectRoundTrip(r.tree, u8(text));
    if (HasFailure()) break;
  }
  EXPECT_GT(parsed, 0);
}

} // namespace
