// Tests of the .xlsx reader on small packages built here with libzip, of shared-formula shifting, of
// faulty input, and (when present) on the Excel-saved reference workbooks beside the project.
#include "compiler/xlsx_reader.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>

#include <gtest/gtest.h>
#include <zip.h>

namespace cwbk::compiler {
namespace {

using Parts = std::map<std::string, std::string>;

std::string u8(std::u16string_view text) {
  return utf16ToUtf8(text);
}

// Returns the bytes of a zip archive holding `parts` (deflated).
std::string buildZip(const Parts& parts) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_source_keep(buffer);
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("cannot create a zip");
  for (const auto& [name, content] : parts) {
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    if (zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0)
      throw std::runtime_error("cannot add " + name);
  }
  if (zip_close(archive) < 0) throw std::runtime_error("cannot write the zip");
  std::string bytes;
  zip_source_open(buffer);
  char chunk[4096];
  zip_int64_t got;
  while ((got = zip_source_read(buffer, chunk, sizeof chunk)) > 0)
    bytes.append(chunk, static_cast<size_t>(got));
  zip_source_close(buffer);
  zip_source_free(buffer);
  zip_error_fini(&error);
  return bytes;
}

const char* const kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* const kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

std::string sheetXml(const std::string& body, const std::string& extra = "") {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet xmlns=\"") +
         kMain + "\" xmlns:r=\"" + kRel + "\">" + extra + "<sheetData>" + body + "</sheetData></worksheet>";
}

// A package with one worksheet "Sheet1" whose sheetData is `body`, plus optional shared strings.
Parts minimalPackage(const std::string& body, const std::string& sharedStrings = "") {
  Parts parts;
  parts["_rels/.rels"] = std::string("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                                     "relationships\"><Relationship Id=\"rId1\" Type=\"") +
                         kRel + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
  parts["xl/workbook.xml"] =
      std::string("<workbook xmlns=\"") + kMain + "\" xmlns:r=\"" + kRel +
      "\"><sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
  std::string rels = std::string("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                                 "relationships\"><Relationship Id=\"rId1\" Type=\"") +
                     kRel + "/worksheet\" Target=\"worksheets/sheet1.xml\"/>";
  if (!sharedStrings.empty()) {
    rels += std::string("<Relationship Id=\"rId2\" Type=\"") + kRel +
            "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
    parts["xl/sharedStrings.xml"] = std::string("<sst xmlns=\"") + kMain + "\">" + sharedStrings + "</sst>";
  }
  parts["xl/_rels/workbook.xml.rels"] = rels + "</Relationships>";
  parts["xl/worksheets/sheet1.xml"] = sheetXml(body);
  return parts;
}

// The feature package: two worksheets and a chart sheet, shared strings with rich text, every cell
// type, shared, array and data-table formulas, scoped names, hyperlinks and the 1904 flag.
Parts featurePackage() {
  Parts parts;
  const std::string relsHead =
      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
  parts["[Content_Types].xml"] =
      "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>";
  parts["_rels/.rels"] = relsHead + "<Relationship Id=\"rId1\" Type=\"" + kRel +
                         "/officeDocument\" Target=\"/xl/workbook.xml\"/></Relationships>";
  parts["xl/workbook.xml"] =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:workbook xmlns:x=\"") + kMain +
      "\" xmlns:r=\"" + kRel +
      "\"><x:workbookPr date1904=\"1\" codeName=\"ThisWorkbook\"/><x:sheets>"
      "<x:sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/>"
      "<x:sheet name=\"Calc &amp; more\" sheetId=\"2\" r:id=\"rId2\"/>"
      "<x:sheet name=\"Chart1\" sheetId=\"3\" r:id=\"rId4\"/></x:sheets>"
      "<x:externalReferences><x:externalReference r:id=\"rId5\"/></x:externalReferences>"
      "<x:definedNames>"
      "<x:definedName name=\"Total\">Data!$A$1:$A$3</x:definedName>"
      "<x:definedName name=\"Local\" localSheetId=\"1\">'Calc &amp; more'!$B$1</x:definedName>"
      "<x:definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" "
      "hidden=\"1\">Data!$A$1:$C$3</x:definedName>"
      "</x:definedNames></x:workbook>";
  parts["xl/_rels/workbook.xml.rels"] =
      relsHead + "<Relationship Id=\"rId1\" Type=\"" + kRel +
      "/worksheet\" Target=\"worksheets/sheet1.xml\"/>" + "<Relationship Id=\"rId2\" Type=\"" + kRel +
      "/worksheet\" Target=\"/xl/worksheets/sheet%202.xml\"/>" + "<Relationship Id=\"rId3\" Type=\"" + kRel +
      "/sharedStrings\" Target=\"./sharedStrings.xml\"/>" + "<Relationship Id=\"rId4\" Type=\"" + kRel +
      "/chartsheet\" Target=\"chartsheets/sheet1.xml\"/>" + "<Relationship Id=\"rId5\" Type=\"" + kRel +
      "/externalLink\" Target=\"externalLinks/externalLink1.xml\"/>" + "</Relationships>";
  parts["xl/externalLinks/_rels/externalLink1.xml.rels"] =
      relsHead + "<Relationship Id=\"rId1\" Type=\"" + kRel +
      "/externalLinkPath\" Target=\"file:///C:/books/Rates.xlsx\" TargetMode=\"External\"/></Relationships>";
  parts["xl/sharedStrings.xml"] =
      std::string("<sst xmlns=\"") + kMain + "\" count=\"3\" uniqueCount=\"3\">" +
      "<si><t>Hello</t></si>"
      "<si><r><rPr><b/></rPr><t>Bold</t></r><r><t xml:space=\"preserve\"> text</t></r>"
      "<rPh sb=\"0\" eb=\"1\"><t>PHONETIC</t></rPh></si>"
      "<si><t>line_x000D__x000A_two _x005F_x0041_</t></si></sst>";
  parts["xl/worksheets/sheet1.xml"] =
      sheetXml("<row r=\"1\">"
               "<c r=\"A1\"><v>1</v></c>"
               "<c r=\"B1\" t=\"s\"><v>0</v></c>"
               "<c r=\"C1\" t=\"b\"><v>1</v></c>"
               "<c r=\"D1\"><f t=\"shared\" ref=\"D1:E3\" "
               "si=\"0\">A1*$A$1+SUM(A$1:A1)+Data!B1&amp;\"A1\"&amp;'D1'!C1</f>"
               "<v>3</v></c>"
               "<c r=\"F1\" s=\"3\"/>"
               "<c r=\"G1\" t=\"d\"><v>1904-01-02T12:00:00</v></c>"
               "</row>"
               "<row r=\"2\">"
               "<c r=\"A2\"><v>2.5E-1</v></c>"
               "<c r=\"B2\" t=\"s\"><v>1</v></c>"
               "<c r=\"C2\" t=\"e\"><v>#DIV/0!</v></c>"
               "<c r=\"D2\"><f t=\"shared\" si=\"0\"/><v>4</v></c>"
               "</row>"
               "<row r=\"3\">"
               "<c r=\"A3\"><v>3</v></c>"
               "<c r=\"B3\" t=\"inlineStr\"><is>\n  <r><rPr><b/></rPr><t>in</t></r>\n  "
               "<r><t>line</t></r><rPh><t>X</t></rPh>\n</is></c>"
               "<c r=\"C3\" t=\"str\"><f ca=\"1\">NOW()&amp;\"x\"</f><v>now x</v></c>"
               "<c r=\"E3\"><f t=\"shared\" si=\"0\"/></c>"
               "<c t=\"e\"><v>#SPILL!</v></c>" // no r: the next column, F3
               "</row>",
               "<sheetPr codeName=\"DataCode\"/>");
  parts["xl/worksheets/sheet 2.xml"] = sheetXml(
      "<row r=\"1\">"
      "<c r=\"A1\"><f t=\"array\" ref=\"A1:A3\">Data!A1:A3*2</f><v>2</v></c>"
      "<c r=\"B1\"><v>7</v></c>"
      "</row>"
      "<row r=\"2\"><c r=\"A2\"><v>0.5</v></c>"
      "<c r=\"C2\"><f t=\"dataTable\" ref=\"C2:D3\" dt2D=\"1\" dtr=\"1\" r1=\"B1\" r2=\"B2\" del2=\"1\"/>"
      "<v>10</v></c><c r=\"D2\"><v>11</v></c></row>"
      "<row r=\"3\"><c r=\"C3\"><v>12</v></c>"
      "<c r=\"F3\"><f t=\"dataTable\" ref=\"F3:F4\" dt2D=\"0\" dtr=\"0\" r1=\"E1\"/><v>1</v></c></row>",
      "<hyperlinks><hyperlink ref=\"B1\" r:id=\"rId1\"/>"
      "<hyperlink ref=\"H8\" location=\"Data!A1\" display=\"go\"/></hyperlinks>");
  // A hyperlinks element after sheetData, as the file format orders it.
  std::string& calc = parts["xl/worksheets/sheet 2.xml"];
  size_t links = calc.find("<hyperlinks>");
  size_t linksEnd = calc.find("<sheetData>");
  std::string hyperlinks = calc.substr(links, linksEnd - links);
  calc.erase(links, linksEnd - links);
  calc.insert(calc.find("</worksheet>"), hyperlinks);
  parts["xl/worksheets/_rels/sheet 2.xml.rels"] =
      relsHead + "<Relationship Id=\"rId1\" Type=\"" + kRel +
      "/hyperlink\" Target=\"https://example.com/x?a=1&amp;b=2\" TargetMode=\"External\"/></Relationships>";
  parts["xl/chartsheets/sheet1.xml"] = std::string("<chartsheet xmlns=\"") + kMain + "\"/>";
  return parts;
}

const SourceCell& cellAt(const SourceWorkbook& workbook, uint32_t sheet, uint32_t row, uint32_t column) {
  const SourceCell* cell = workbook.findCell(sheet, row, column);
  if (cell == nullptr) throw std::runtime_error("no cell at " + cellName(row, column));
  return *cell;
}

TEST(XlsxReader, ReadsWorkbookSheetsAndNames) {
  SourceWorkbook wb = readXlsxBuffer(buildZip(featurePackage()));
  EXPECT_TRUE(wb.date1904);
  ASSERT_EQ(wb.sheets.size(), 3u);
  EXPECT_EQ(u8(wb.sheets[0].name), "Data");
  EXPECT_EQ(u8(wb.sheets[0].codeName), "DataCode");
  EXPECT_EQ(u8(wb.sheets[1].name), "Calc & more");
  EXPECT_TRUE(wb.sheets[1].codeName.empty());
  EXPECT_EQ(wb.sheets[2].kind, SheetKind::ChartSheet);

  ASSERT_EQ(wb.names.size(), 3u);
  EXPECT_EQ(u8(wb.names[0].name), "Total");
  EXPECT_EQ(wb.names[0].scope, -1);
  EXPECT_EQ(u8(wb.names[0].formula), "Data!$A$1:$A$3");
  EXPECT_EQ(u8(wb.names[1].name), "Local");
  EXPECT_EQ(wb.names[1].scope, 1);
  EXPECT_EQ(u8(wb.names[1].formula), "'Calc & more'!$B$1");
  EXPECT_EQ(wb.names[2].scope, 0);
  EXPECT_TRUE(wb.names[2].hidden);

  ASSERT_EQ(wb.externalLinks.size(), 1u);
  EXPECT_EQ(u8(wb.externalLinks[0]), "file:///C:/books/Rates.xlsx");
}

TEST(XlsxReader, ReadsEveryCellType) {
  SourceWorkbook wb = readXlsxBuffer(buildZip(featurePackage()));
  EXPECT_EQ(cellAt(wb, 0, 0, 0).value, SourceValue::ofNumber(1));
  EXPECT_EQ(cellAt(wb, 0, 1, 0).value, SourceValue::ofNumber(0.25));
  EXPECT_EQ(cellAt(wb, 0, 0, 1).value, SourceValue::ofText(u"Hello"));
  EXPECT_EQ(cellAt(wb, 0, 1, 1).value, SourceValue::ofText(u"Bold text")); // runs joined, phonetics left out
  EXPECT_EQ(cellAt(wb, 0, 2, 1).value, SourceValue::ofText(u"inline"));
  EXPECT_EQ(cellAt(wb, 0, 0, 2).value, SourceValue::ofBoolean(true));
  EXPECT_EQ(cellAt(wb, 0, 1, 2).value, SourceValue::ofError(ErrDiv0));
  EXPECT_EQ(cellAt(wb, 0, 0, 6).value, SourceValue::ofNumber(1.5)); // 2 Jan 1904 noon, 1904 system
  EXPECT_EQ(wb.findCell(0, 0, 5), nullptr);                         // styled but empty

  const SourceCell& spill = cellAt(wb, 0, 2, 5);
  EXPECT_EQ(spill.value.kind, SourceValue::Error);
  EXPECT_EQ(u8(spill.value.text), "#SPILL!");

  const SourceCell& volatileCell = cellAt(wb, 0, 2, 2);
  EXPECT_EQ(volatileCell.kind, CellKind::Formula);
  EXPECT_EQ(u8(volatileCell.formula), "NOW()&\"x\"");
  EXPECT_EQ(volatileCell.cached, SourceValue::ofText(u"now x"));
  EXPECT_TRUE(volatileCell.value.isNone());
  EXPECT_EQ(volatileCell.flags, kFlagVolatile);
}

TEST(XlsxReader, ReadsWhichCellsTheirFormatLeavesUnlocked) {
  // Format 0 locks (the default), 1 unlocks, 2 states locked="1"; a style index beyond the list locks.
  Parts parts = minimalPackage("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>1</v></c><c r=\"B1\"><v>2</v></c>"
                               "<c r=\"C1\" s=\"2\"><v>3</v></c><c r=\"D1\" s=\"9\"><v>4</v></c>"
                               "<c r=\"E1\" s=\"1\"><f>A1</f><v>1</v></c></row>");
  parts["xl/styles.xml"] = std::string("<styleSheet xmlns=\"") + kMain +
                           "\"><cellStyleXfs count=\"1\"><xf><protection locked=\"0\"/></xf></cellStyleXfs>"
                           "<cellXfs count=\"3\"><xf numFmtId=\"0\"/>"
                           "<xf applyProtection=\"1\"><alignment/><protection locked=\"0\"/></xf>"
                           "<xf><protection locked=\"1\" hidden=\"1\"/></xf></cellXfs></styleSheet>";
  std::string& rels = parts["xl/_rels/workbook.xml.rels"];
  rels.insert(rels.rfind("</Relationships>"),
              std::string("<Relationship Id=\"rId9\" Type=\"") + kRel + "/styles\" Target=\"styles.xml\"/>");
  SourceWorkbook wb = readXlsxBuffer(buildZip(parts));
  std::vector<bool> unlocked;
  for (const SourceCell& cell : wb.cells)
    unlocked.push_back(cell.unlocked);
  EXPECT_EQ(unlocked, (std::vector<bool>{true, false, false, false, true}));
}

TEST(XlsxReader, DecodesEscapesInStrings) {
  Parts parts = minimalPackage("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>",
                               "<si><t>line_x000D__x000A_two _x005F_x0041_ _xZZZZ_</t></si>");
  SourceWorkbook wb = readXlsxBuffer(buildZip(parts));
  EXPECT_EQ(wb.cells[0].value, SourceValue::ofText(u"line\r\ntwo _x0041_ _xZZZZ_"));
}

TEST(XlsxReader, ShiftsSharedFormulasPerCell) {
  SourceWorkbook wb = readXlsxBuffer(buildZip(featurePackage()));
  const SourceCell& master = cellAt(wb, 0, 0, 3);
  EXPECT_EQ(master.kind, CellKind::SharedFormula);
  EXPECT_EQ(master.sharedGroup, 0);
  EXPECT_EQ(u8(master.formula), "A1*$A$1+SUM(A$1:A1)+Data!B1&\"A1\"&'D1'!C1");
  EXPECT_EQ(master.cached, SourceValue::ofNumber(3));
  const SourceCell& down = cellAt(wb, 0, 1, 3);
  EXPECT_EQ(down.kind, CellKind::SharedFormula);
  EXPECT_EQ(u8(down.formula), "A2*$A$1+SUM(A$1:A2)+Data!B2&\"A1\"&'D1'!C2");
  EXPECT_EQ(down.cached, SourceValue::ofNumber(4));
  const SourceCell& diagonal = cellAt(wb, 0, 2, 4);
  EXPECT_EQ(u8(diagonal.formula), "B3*$A$1+SUM(B$1:B3)+Data!C3&\"A1\"&'D1'!D3");
  EXPECT_TRUE(diagonal.cached.isNone());
}

TEST(XlsxReader, ReadsArrayFormulasDataTablesAndHyperlinks) {
  SourceWorkbook wb = readXlsxBuffer(buildZip(featurePackage()));
  SourceRange array{0, 0, 2, 0};
  const SourceCell& master = cellAt(wb, 1, 0, 0);
  EXPECT_EQ(master.kind, CellKind::ArrayFormula);
  EXPECT_TRUE(master.master);
  EXPECT_EQ(master.range, array);
  EXPECT_EQ(u8(master.formula), "Data!A1:A3*2");
  EXPECT_EQ(master.cached, SourceValue::ofNumber(2));
  const SourceCell& member = cellAt(wb, 1, 1, 0);
  EXPECT_EQ(member.kind, CellKind::ArrayFormula);
  EXPECT_FALSE(member.master);
  EXPECT_EQ(member.range, array);
  EXPECT_EQ(member.cached, SourceValue::ofNumber(0.5));
  EXPECT_TRUE(member.value.isNone());
  const SourceCell& missingMember = cellAt(wb, 1, 2, 0); // not in the file, made by the reader
  EXPECT_EQ(missingMember.kind, CellKind::ArrayFormula);
  EXPECT_TRUE(missingMember.cached.isNone());

  ASSERT_EQ(wb.dataTables.size(), 2u);
  const SourceDataTable& twoWay = wb.dataTables[0];
  EXPECT_EQ(twoWay.sheet, 1u);
  EXPECT_EQ(twoWay.range, (SourceRange{1, 2, 2, 3}));
  EXPECT_TRUE(twoWay.twoDimensional);
  EXPECT_EQ(u8(twoWay.rowInputCell), "B1");
  EXPECT_EQ(u8(twoWay.columnInputCell), "#REF!"); // del2: the input cell was deleted
  const SourceDataTable& oneWay = wb.dataTables[1];
  EXPECT_FALSE(oneWay.twoDimensional);
  EXPECT_TRUE(oneWay.rowInputCell.empty());
  EXPECT_EQ(u8(oneWay.columnInputCell), "E1");
  const uint32_t tableCells[][2] = {{1, 2}, {1, 3}, {2, 2}, {2, 3}};
  const double tableValues[] = {10, 11, 12, 0};
  for (size_t i = 0; i < 4; ++i) {
    const SourceCell& cell = cellAt(wb, 1, tableCells[i][0], tableCells[i][1]);
    EXPECT_EQ(cell.kind, CellKind::DataTable);
    EXPECT_EQ(cell.dataTable, 0);
    EXPECT_EQ(cell.master, i == 0);
    EXPECT_EQ(cell.range, twoWay.range);
    if (tableValues[i] != 0) {
      EXPECT_EQ(cell.cached, SourceValue::ofNumber(tableValues[i]));
    }
  }
  EXPECT_EQ(cellAt(wb, 1, 3, 5).dataTable, 1);

  EXPECT_EQ(u8(cellAt(wb, 1, 0, 1).hyperlink), "https://example.com/x?a=1&b=2");
  EXPECT_EQ(cellAt(wb, 1, 0, 1).value, SourceValue::ofNumber(7));
  const SourceCell& place = cellAt(wb, 1, 7, 7); // an empty cell made for its link
  EXPECT_EQ(u8(place.hyperlink), "#Data!A1");
  EXPECT_TRUE(place.value.isNone());
}

// A shared formula's master is parsed once and its tree moved to each cell of the group, then printed
// in canonical form: relative parts move, '$' parts stay, whole rows and columns move along their own
// axis only, a reference moved off the grid becomes #REF!, and a formula that does not parse is left
// as it is (compiling reports it).
TEST(XlsxReader, ShiftFormulaTable) {
  struct Case {
    const char16_t* formula;
    int64_t rows, columns;
    const char16_t* expected;
  };
  const Case cases[] = {
      // Cells, mixed anchors and ranges.
      {u"A1", 1, 1, u"B2"},
      {u"a1+$A$1", 5, 5, u"F6+$A$1"},
      {u"A$1+$A1", 2, 3, u"D$1+$A3"},
      {u"B2", -1, -1, u"A1"},
      {u"SUM(A1:B2)+SUM($A$1:B2)", 1, 1, u"SUM(B2:C3)+SUM($A$1:C3)"},
      {u"A1 B1:C1", 1, 0, u"A2 B2:C2"},
      {u"(A1,B1)", 0, 1, u"(B1,C1)"},
      {u"A1:INDEX(B:B,2)", 1, 1, u"B2:INDEX(C:C,2)"},
      // Whole columns move only sideways, whole rows only down.
      {u"SUM(A:A)+SUM($A:B)", 0, 2, u"SUM(C:C)+SUM($A:D)"},
      {u"SUM(A:A)", 5, 0, u"SUM(A:A)"},
      {u"SUM(1:3)+SUM($1:2)", 2, 0, u"SUM(3:5)+SUM($1:4)"},
      {u"SUM(1:3)", 0, 7, u"SUM(1:3)"},
      // Past the sheet's edge: #REF!, for the whole range when one corner leaves.
      {u"A1048576+1", 1, 0, u"#REF!+1"},
      {u"Sheet1!A1:A1048576", 1, 0, u"#REF!"},
      {u"XFD1", 0, 1, u"#REF!"},
      {u"$XFD1", 0, 1, u"$XFD1"},
      {u"B2", -2, 0, u"#REF!"},
      {u"SUM(B:C)", 0, -2, u"SUM(#REF!)"},
      {u"SUM(1:2)", 1048575, 0, u"SUM(#REF!)"},
      // Sheets, other workbooks, names, texts, numbers, arrays and error literals.
      {u"'A1'!A1+'It''s A1'!B1", 1, 0, u"'A1'!A2+'It''s A1'!B2"},
      {u"\u00E9t\u00E9!A1", 1, 0, u"'\u00E9t\u00E9'!A2"},
      {u"[1]Sheet1!A1", 1, 0, u"[1]Sheet1!A2"},
      {u"Rate*A1", 3, 0, u"Rate*A4"},
      {u"\"A1\"\"B1\"&A1", 1, 0, u"\"A1\"\"B1\"&A2"},
      {u"LOG10(A1)+ATAN2(1,B2)", 1, 0, u"LOG10(A2)+ATAN2(1,B3)"},
      {u"_xlfn.STDEV.S(A1:A3)", 1, 0, u"STDEV.S(A2:A4)"},
      {u"1E+5+E5+1.5", 1, 0, u"1E+05+E6+1.5"},
      {u"{1,2;3,4}+TRUE", 1, 1, u"{1,2;3,4}+TRUE"},
      {u"#REF!+A1+#N/A", 1, 0, u"#REF!+A2+#N/A"},
      // Not parsed: left as they are.
      {u"Jan:Feb!A1", 0, 1, u"Jan:Feb!A1"},
      {u"Table1[[#This Row],[A1]]+A1", 1, 0, u"Table1[[#This Row],[A1]]+A1"},
      {u"\"open", 1, 0, u"\"open"},
      {u"[1", 1, 0, u"[1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.formula));
    EXPECT_EQ(u8(shiftFormula(c.formula, c.rows, c.columns)), u8(c.expected));
  }
}

// minimalPackage with the table part `table` reached through Sheet1's relationships.
Parts tablePackage(const std::string& body, const std::string& table) {
  Parts parts = minimalPackage(body);
  parts["xl/worksheets/_rels/sheet1.xml.rels"] =
      std::string("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                  "<Relationship Id=\"rId1\" Type=\"") +
      kRel + "/table\" Target=\"../tables/table1.xml\"/></Relationships>";
  parts["xl/tables/table1.xml"] = std::string("<table xmlns=\"") + kMain + "\" " + table + "</table>";
  return parts;
}

const char* const kItemsTable =
    "id=\"1\" name=\"Table1\" displayName=\"Items\" ref=\"A1:C4\" totalsRowCount=\"1\">"
    "<tableColumns count=\"3\"><tableColumn id=\"1\" name=\"Name\"/>"
    "<tableColumn id=\"2\" name=\"Qty\"/><tableColumn id=\"3\" name=\"Line_x000A_Total\"/>"
    "</tableColumns>";

TEST(XlsxReader, ReadsTablesAndTheirReferencesInSharedFormulas) {
  // The shared formula's master stands in the table's first data row; its current-row reference moves
  // down with the group like the relative reference beside it.
  SourceWorkbook wb = readXlsxBuffer(
      buildZip(tablePackage("<row r=\"2\"><c r=\"C2\"><f t=\"shared\" ref=\"C2:C3\" si=\"0\">Items[[#This "
                            "Row],[Qty]]*E2+$E$1</f></c></row>"
                            "<row r=\"3\"><c r=\"C3\"><f t=\"shared\" si=\"0\"/></c></row>"
                            "<row r=\"4\"><c r=\"C4\"><f>SUM(Items[Line\nTotal])</f></c></row>",
                            kItemsTable)));
  ASSERT_EQ(wb.tables.size(), 1u);
  const SourceTable& table = wb.tables[0];
  EXPECT_EQ(u8(table.name), "Items"); // the name formulas use
  EXPECT_EQ(table.sheet, 0u);
  EXPECT_EQ(table.range, (SourceRange{0, 0, 3, 2}));
  EXPECT_EQ(table.headerRows, 1u);
  EXPECT_EQ(table.totalsRows, 1u);
  EXPECT_EQ(table.columns, (std::vector<std::u16string>{u"Name", u"Qty", u"Line\nTotal"}));
  // The master and other formulas keep their text, translated when compiled at their cells.
  EXPECT_EQ(u8(cellAt(wb, 0, 1, 2).formula), "Items[[#This Row],[Qty]]*E2+$E$1");
  EXPECT_EQ(u8(cellAt(wb, 0, 2, 2).formula), "Sheet1!$B3*E3+$E$1");
  EXPECT_EQ(u8(cellAt(wb, 0, 3, 2).formula), "SUM(Items[Line\nTotal])");
}

TEST(XlsxReader, RefusesFaultyTables) {
  const std::pair<std::string, const char*> cases[] = {
      {"ref=\"A1:C4\"><tableColumns/>", "a table lacks its name or area"},
      {"displayName=\"T\" ref=\"A1:C\">", "table T has a bad area 'A1:C'"},
      {"displayName=\"T\" ref=\"A1:B1\" totalsRowCount=\"1\">",
       "table T has more header and totals rows than rows"},
      {"displayName=\"T\" ref=\"A1:B3\" headerRowCount=\"2\">", "table T has a bad headerRowCount"},
      {"displayName=\"T\" ref=\"A1:B3\"><tableColumn name=\"x\"/>",
       "table T names 1 columns for an area 2 wide"},
  };
  for (const auto& [table, expected] : cases) {
    try {
      readXlsxBuffer(buildZip(tablePackage("", table)), "book.xlsx");
      ADD_FAILURE() << table << " was accepted";
    } catch (const SourceError& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

// The content types of the workbook part that read as a workbook: .xlsx, .xltx, .xlsm, .xltm.
const char* const kWorkbookTypes[] = {
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.ms-excel.template.macroEnabled.main+xml"};

// Returns `parts` with [Content_Types].xml stating `type` for the workbook part.
Parts withWorkbookType(Parts parts, const std::string& type) {
  parts["[Content_Types].xml"] =
      "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
      "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
      "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" +
      type + "\"/></Types>";
  return parts;
}

// Excel opens a package wherever its relationships put the workbook part, with entry names in other
// letter case or written with backslashes, as a workbook, template or either with macros, and without
// the shared-strings part its relationships name.
TEST(XlsxReader, ReadsPackagesAsTheirWritersLaidThemOut) {
  const std::string body = "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\" t=\"s\"><v></v></c>"
                           "<c r=\"C1\" t=\"s\"/></row>";
  std::vector<std::pair<std::string, Parts>> packages;
  Parts moved;
  for (const auto& [name, content] : minimalPackage(body)) {
    std::string renamed = name.starts_with("xl/") ? "book/" + name.substr(3) : name;
    moved[renamed] = content;
  }
  moved["_rels/.rels"].replace(moved["_rels/.rels"].find("xl/workbook.xml"), 15, "/book/workbook.xml");
  packages.emplace_back("moved", moved);
  Parts written;
  for (const auto& [name, content] : minimalPackage(body)) {
    std::string renamed = name;
    std::replace(renamed.begin(), renamed.end(), '/', '\\');
    if (renamed.starts_with("xl\\worksheets"))
      std::transform(renamed.begin(), renamed.end(), renamed.begin(), ::toupper);
    written[renamed] = content;
  }
  packages.emplace_back("backslashes and capitals", written);
  for (const char* type : kWorkbookTypes)
    packages.emplace_back(type, withWorkbookType(minimalPackage(body), type));
  Parts noStrings = minimalPackage(body, "<si><t>x</t></si>");
  noStrings.erase("xl/sharedStrings.xml");
  packages.emplace_back("no shared strings", noStrings);

  for (const auto& [what, parts] : packages) {
    SCOPED_TRACE(what);
    SourceWorkbook wb = readXlsxBuffer(buildZip(parts));
    ASSERT_EQ(wb.sheets.size(), 1u);
    ASSERT_EQ(wb.cells.size(), 1u); // the shared-string cells without a value are empty
    EXPECT_EQ(cellAt(wb, 0, 0, 0).value, SourceValue::ofNumber(1));
    EXPECT_TRUE(wb.warnings.empty());
  }
}

// A sheet whose relationship is empty or missing is skipped with a warning, with the names scoped to
// it; the names scoped to later sheets follow their sheets.
TEST(XlsxReader, SkipsSheetsWithoutAPart) {
  Parts parts = minimalPackage("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
  parts["xl/workbook.xml"] =
      std::string("<workbook xmlns=\"") + kMain + "\" xmlns:r=\"" + kRel +
      "\"><sheets><sheet name=\"Macro1\" sheetId=\"1\" r:id=\"\"/>"
      "<sheet name=\"Sheet1\" sheetId=\"2\" r:id=\"rId1\"/>"
      "<sheet name=\"Dialog1\" sheetId=\"3\" r:id=\"rId7\"/><sheet name=\"Bare\" sheetId=\"4\"/></sheets>"
      "<definedNames><definedName name=\"InMacro\" localSheetId=\"0\">1</definedName>"
      "<definedName name=\"InSheet\" localSheetId=\"1\">Sheet1!$A$1</definedName>"
      "<definedName name=\"Everywhere\">2</definedName></definedNames></workbook>";
  SourceWorkbook wb = readXlsxBuffer(buildZip(parts), "book.xlsm");
  ASSERT_EQ(wb.sheets.size(), 1u);
  EXPECT_EQ(u8(wb.sheets[0].name), "Sheet1");
  EXPECT_EQ(cellAt(wb, 0, 0, 0).value, SourceValue::ofNumber(1));
  ASSERT_EQ(wb.names.size(), 2u);
  EXPECT_EQ(u8(wb.names[0].name), "InSheet");
  EXPECT_EQ(wb.names[0].scope, 0);
  EXPECT_EQ(wb.names[1].scope, -1);
  EXPECT_EQ(wb.warnings, (std::vector<std::string>{
                             "book.xlsm: sheet Macro1 is skipped: it names no relationship",
                             "book.xlsm: sheet Dialog1 is skipped: its relationship rId7 does not exist",
                             "book.xlsm: sheet Bare is skipped: it names no relationship"}));
}

TEST(XlsxReader, RefusesFaultyPackages) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* expected; // a piece of the message
  };
  auto withSheet = [](const std::string& body, const std::string& strings = "") {
    return buildZip(minimalPackage(body, strings));
  };
  Parts noWorkbook = minimalPackage("");
  noWorkbook.erase("xl/workbook.xml");
  Parts badXml = minimalPackage("");
  badXml["xl/worksheets/sheet1.xml"] = "<worksheet><sheetData><row></sheetData>";
  Parts doctype = minimalPackage("");
  doctype["xl/worksheets/sheet1.xml"] =
      "<!DOCTYPE lol [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]><worksheet>&b;</worksheet>";
  Parts badScope = minimalPackage("");
  badScope["xl/workbook.xml"] =
      std::string("<workbook xmlns:r=\"") + kRel +
      "\"><sheets><sheet name=\"Sheet1\" r:id=\"rId1\"/></sheets><definedNames>"
      "<definedName name=\"x\" localSheetId=\"4\">1</definedName></definedNames></workbook>";
  Parts noRelationship = minimalPackage("");
  noRelationship["xl/workbook.xml"] = std::string("<workbook xmlns:r=\"") + kRel +
                                      "\"><sheets><sheet name=\"Sheet1\" r:id=\"rId9\"/></sheets></workbook>";
  Parts noMainPart = minimalPackage("");
  noMainPart.erase("_rels/.rels");
  Parts noSheets = minimalPackage("");
  noSheets["xl/workbook.xml"] = "<workbook><sheets/></workbook>";
  Parts twoNames = minimalPackage("");
  twoNames["xl/workbook.xml"] =
      std::string("<workbook xmlns:r=\"") + kRel +
      "\"><sheets><sheet name=\"S\" r:id=\"rId1\"/><sheet name=\"s\" r:id=\"rId1\"/>"
      "</sheets></workbook>";
  std::string valid = buildZip(minimalPackage("<row><c><v>1</v></c></row>"));

  const Case cases[] = {
      {"not a zip", "hello, world", "not a readable zip archive"},
      {"empty", "", "not a spreadsheet package"},
      {"cut short", valid.substr(0, valid.size() / 2), "not a readable zip archive"},
      {"no workbook part", buildZip(noWorkbook), "the part xl/workbook.xml is missing"},
      {"malformed XML", buildZip(badXml), "part xl/worksheets/sheet1.xml, line 1: malformed XML"},
      {"entities", buildZip(doctype),
       "a document type declaration is refused: its entities could expand without limit"},
      {"name scope", buildZip(badScope), "scoped to a sheet that does not exist"},
      {"sheet relationship", buildZip(noRelationship), "the workbook has no sheets"},
      {"no main part", buildZip(noMainPart), "the package relationships name no main part"},
      {"a document",
       buildZip(withWorkbookType(
           minimalPackage(""),
           "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml")),
       "not a spreadsheet package: the main part xl/workbook.xml is of type application/"
       "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"},
      {"binary workbook",
       buildZip(
           withWorkbookType(minimalPackage(""), "application/vnd.ms-excel.sheet.binary.macroEnabled.main")),
       "binary .xlsb workbook: save it as .xlsx"},
      {"no sheets", buildZip(noSheets), "the workbook has no sheets"},
      {"two sheets, one name", buildZip(twoNames), "two sheets are named s"},
      {"string index", withSheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>1</v></c></row>", "<si><t>a</t></si>"),
       "cell A1: shared string index '1' is out of range"},
      {"no strings", withSheet("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>"), "out of range"},
      {"bad reference", withSheet("<row r=\"1\"><c r=\"A0\"><v>1</v></c></row>"), "bad cell reference 'A0'"},
      {"column off the grid", withSheet("<row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row>"),
       "bad cell reference"},
      {"bad row", withSheet("<row r=\"1048577\"/>"), "bad row number"},
      {"bad number", withSheet("<row r=\"1\"><c r=\"A1\"><v>1x</v></c></row>"), "cell A1: bad number '1x'"},
      {"infinite number", withSheet("<row r=\"1\"><c r=\"A1\"><v>1e999</v></c></row>"), "bad number"},
      {"bad boolean", withSheet("<row r=\"1\"><c r=\"A1\" t=\"b\"><v>2</v></c></row>"), "bad boolean"},
      {"bad date", withSheet("<row r=\"1\"><c r=\"A1\" t=\"d\"><v>yesterday</v></c></row>"), "bad date"},
      {"unknown type", withSheet("<row r=\"1\"><c r=\"A1\" t=\"q\"><v>1</v></c></row>"),
       "unknown cell type 'q'"},
      {"twice", withSheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"A1\"><v>2</v></c></row>"),
       "cell A1 appears twice"},
      {"orphan shared", withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"shared\" si=\"3\"/><v>1</v></c></row>"),
       "uses shared formula 3, which has no master cell"},
      {"shared without index", withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"shared\">1</f></c></row>"),
       "lacks its index"},
      {"bad array area", withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"array\" ref=\"A1:Q\">1</f></c></row>"),
       "bad array formula area"},
      {"array not at its corner",
       withSheet("<row r=\"2\"><c r=\"A2\"><f t=\"array\" ref=\"A1:A3\">1</f></c></row>"),
       "does not start at the top-left cell"},
      {"formula inside an array",
       withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"array\" ref=\"A1:A2\">1</f></c></row>"
                 "<row r=\"2\"><c r=\"A2\"><f>2</f></c></row>"),
       "lies inside the array formula"},
      {"huge array",
       withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"array\" ref=\"A1:XFD1048576\">1</f></c></row>"),
       "covers too many cells"},
      {"bad table input",
       withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"dataTable\" ref=\"A1:A2\" r1=\"nowhere\"/></c></row>"),
       "bad data table input"},
      {"unknown formula type", withSheet("<row r=\"1\"><c r=\"A1\"><f t=\"magic\">1</f></c></row>"),
       "unknown formula type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      readXlsxBuffer(c.bytes, "book.xlsx");
      ADD_FAILURE() << "no error";
    } catch (const SourceError& e) {
      std::string message = e.what();
      EXPECT_EQ(message.rfind("book.xlsx: ", 0), 0u) << message;
      EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    }
  }
}

TEST(XlsxReader, CapsInflatedSizesAndRepeatedTexts) {
  // A sheet of 4 MB of blanks deflates to a few kilobytes.
  Parts parts = minimalPackage("");
  parts["xl/worksheets/sheet1.xml"] = sheetXml(std::string(4 << 20, ' '));
  std::string bytes = buildZip(parts);
  ASSERT_LT(bytes.size(), 64u << 10);
  XlsxReadOptions options;
  options.maxPartSize = 1 << 20;
  try {
    readXlsxBuffer(bytes, "bomb.xlsx", options);
    ADD_FAILURE() << "no error";
  } catch (const SourceError& e) {
    EXPECT_NE(std::string(e.what()).find("inflates to more than 1048576 bytes"), std::string::npos)
        << e.what();
  }
  options.maxPartSize = 16 << 20;
  options.maxTotalSize = 2 << 20;
  EXPECT_THROW(readXlsxBuffer(bytes, "bomb.xlsx", options), SourceError);
  EXPECT_NO_THROW(readXlsxBuffer(bytes, "bomb.xlsx"));

  // One long shared string or shared formula used by many cells: each cell holds its own copy.
  std::string strings = "<si><t>" + std::string(20000, 'x') + "</t></si>";
  std::string formula = "A1&amp;\"" + std::string(20000, 'y') + "\"";
  std::string manyStrings, manyFormulas;
  for (int row = 1; row <= 200; ++row) {
    std::string r = std::to_string(row);
    manyStrings += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"s\"><v>0</v></c></row>";
    manyFormulas += "<row r=\"" + r + "\"><c r=\"B" + r + "\"><f t=\"shared\" si=\"0\"" +
                    (row == 1 ? " ref=\"B1:B200\">" + formula + "</f>" : "/>") + "</c></row>";
  }
  XlsxReadOptions small;
  small.maxTextUnits = 1 << 20;
  for (const std::string& package :
       {buildZip(minimalPackage(manyStrings, strings)), buildZip(minimalPackage(manyFormulas))}) {
    EXPECT_NO_THROW(readXlsxBuffer(package, "ok.xlsx"));
    try {
      readXlsxBuffer(package, "many.xlsx", small);
      ADD_FAILURE() << "no error";
    } catch (const SourceError& e) {
      EXPECT_NE(std::string(e.what()).find("exceed the limit"), std::string::npos) << e.what();
    }
  }
}

TEST(XlsxReader, ReadsTheReferenceWorkbooks) {
  namespace fs = std::filesystem;
  fs::path root = fs::path(CWBK_SOURCE_DIR) / ".." / "shared" / "oracle";
  if (!fs::is_directory(root)) GTEST_SKIP() << "no reference workbooks at " << root;
  size_t books = 0, cells = 0, formulas = 0, cached = 0, shared = 0, arrays = 0, members = 0, names = 0;
  std::vector<fs::path> paths;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().extension() == ".xlsx") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    try {
      SourceWorkbook wb = readXlsxFile(path.string());
      ++books;
      cells += wb.cells.size();
      formulas += wb.formulaCount();
      names += wb.names.size();
      for (const SourceCell& cell : wb.cells) {
        cached += !cell.formula.empty() && !cell.cached.isNone();
        shared += cell.kind == CellKind::SharedFormula;
        arrays += cell.kind == CellKind::ArrayFormula && cell.master;
        members += cell.kind == CellKind::ArrayFormula && !cell.master;
      }
    } catch (const SourceError& e) {
      ADD_FAILURE() << e.what();
    }
  }
  std::cout << "reference workbooks: " << books << " of " << paths.size() << " read, " << cells << " cells, "
            << formulas << " formulas (" << shared << " in shared groups, " << arrays
            << " array formulas over " << members << " further cells), " << cached << " with cached values, "
            << names << " defined names\n";
}

} // namespace
} // namespace cwbk::compiler
