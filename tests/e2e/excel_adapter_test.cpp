// The Excel adapter against the double: changed cells written with their hyperlinks, formats,
// wrapping and sheet protection kept right; block writes of imported values; Excel's own computations;
// calculation suspension; linked workbooks in a secondary instance. Scenarios assert on the double's
// cells and on the exact calls in its log.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "excel/excel_adapter.h"
#include "excel/variant_bridge.h"
#include "excel_double/range_objects.h"
#include "excel_fixture.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "values/calc_error.h"

namespace cwbk::testing {
namespace {

namespace appid = cwbk::dispid::application;
namespace rng = cwbk::dispid::range;
namespace fmt = cwbk::dispid::format;
using Kind = CallLog::Kind;

bool sameVariant(const Variant& a, const Variant& b) {
  return VarCmp(const_cast<VARIANT*>(&a.get()), const_cast<VARIANT*>(&b.get()), 0, 0) ==
         static_cast<HRESULT>(VARCMP_EQ);
}

ExternalLink linkTo(std::u16string folder, std::u16string fileName) {
  ExternalLink link;
  link.folder = std::move(folder);
  link.fileName = std::move(fileName);
  return link;
}

class ExcelAdapterTest : public ExcelFixture {
protected:
  ExcelAdapterTest() {
    model.addSheet(u"Data");
    model.addSheet(u"Calc");
    model.addSheet(u"Extra");
  }

  // The adapter of the fixture's workbook; options given before the first call.
  ExcelAdapter& adapter() {
    if (!adapter_) adapter_ = std::make_unique<ExcelAdapter>(app, app.workbooks().workbook(1), options);
    return *adapter_;
  }
  // The model cell at an A1 text of a sheet (0-based index), created when missing.
  Cell& modelCell(uint32_t sheetIndex, std::u16string_view a1) {
    auto rect = parseRect(a1);
    return *model.findOrCreateCell(CellAddress::make(sheetIndex, rect->left - 1, rect->top - 1));
  }
  CellAddress at(uint32_t sheetIndex, std::u16string_view a1) {
    auto rect = parseRect(a1);
    return CellAddress::make(sheetIndex, rect->left - 1, rect->top - 1);
  }
  size_t count(DISPID id, Kind kind, std::string_view object) { return excel.log().count(id, kind, object); }

  CompiledWorkbook model;
  ExcelAdapter::Options options;
  std::unique_ptr<ExcelAdapter> adapter_;
};

// ------------------------------------------------------------------ cellChanged: values

TEST_F(ExcelAdapterTest, ChangedCellsAreWrittenWithValue2AsExcelShouldKeepThem) {
  CalcValue array;
  array.resizeArray(2, 2);
  *array.element(0, 0) = CalcValue::number(7);
  *array.element(1, 0) = CalcValue::number(8);
  struct Case {
    const char16_t* a1;
    CalcValue value;
    Variant expected;
  } cases[] = {
      {u"A1", CalcValue::number(2.5), Variant::number(2.5)},
      {u"A2", CalcValue::text(u"plain"), Variant::text(u"plain")},
      // Texts Excel would re-read stay texts.
      {u"A3", CalcValue::text(u"123"), Variant::text(u"123")},
      {u"A4", CalcValue::text(u"=A1"), Variant::text(u"=A1")},
      {u"A5", CalcValue::boolean(true), Variant::boolean(true)},
      {u"A6", CalcValue::error(ErrDiv0), excelError(2007)},
      // An array formula's cell shows its first element.
      {u"A7", array, Variant::number(7)},
  };
  for (Case& c : cases) {
    Cell& cell = modelCell(0, c.a1);
    cell.setValue(c.value);
    excel.log().clear();
    EXPECT_EQ(adapter().cellChanged(cell), 1) << narrow(c.a1);
    EXPECT_TRUE(sameVariant(sheet.value(c.a1), c.expected)) << narrow(c.a1) << "\n" << excel.log().dump();
    EXPECT_FALSE(sheet.hasFormula(c.a1)) << narrow(c.a1);
    EXPECT_EQ(count(rng::Value2, Kind::Put, "Range Data!$" + narrow(c.a1).substr(0, 1)), 1u);
    EXPECT_EQ(count(rng::Value2, Kind::NotPut, ""), 0u) << "a cell write never reads the cell";
  }
}

TEST_F(ExcelAdapterTest, AValueThatBecameEmptyClearsTheExcelCell) {
  sheet.set(u"B2", Variant::number(5));
  sheet.set(u"B3", Variant::text(u"old"));
  Cell& emptied = modelCell(0, u"B2");
  emptied.setValue(CalcValue());
  Cell& withoutValue = modelCell(0, u"B3");
  EXPECT_EQ(adapter().cellChanged(emptied), 1);
  EXPECT_EQ(adapter().cellChanged(withoutValue), 1);
  EXPECT_TRUE(sheet.value(u"B2").isEmpty());
  EXPECT_TRUE(sheet.value(u"B3").isEmpty());
}

TEST_F(ExcelAdapterTest, CellsWithoutARangeOrWithAComErrorAnswerTheirStatus) {
  model.addSheet(u"OnlyInTheModel");
  Cell& noSheet = modelCell(3, u"A1");
  noSheet.setValue(CalcValue::number(1));
  EXPECT_EQ(adapter().cellChanged(noSheet), 0);

  excel.failWith("Range", rng::Value2, E_FAIL);
  Cell& failing = modelCell(0, u"C1");
  failing.setValue(CalcValue::number(1));
  EXPECT_EQ(adapter().cellChanged(failing), -1);
  CalcValue read;
  EXPECT_EQ(adapter().readCell(at(0, u"C1"), read), -1);
  EXPECT_EQ(adapter().readCell(at(3, u"C1"), read), 0);
}

TEST_F(ExcelAdapterTest, WrapTextIsWhatItWasBeforeATextWithALineFeed) {
  // The double, as Excel, turns wrapping on when such a text is entered.
  sheet.setFormat(u"B1", FormatPart::Range, rng::WrapText, Variant::boolean(true));
  struct Case {
    const char16_t* a1;
    std::u16string text;
    bool wrapAfter;
    size_t wrapWrites;
  } cases[] = {
      {u"A1", u"two\nlines", false, 1},
      {u"B1", u"two\nlines", true, 0},
      {u"C1", u"one line", false, 0},
  };
  for (const Case& c : cases) {
    Cell& cell = modelCell(0, c.a1);
    cell.setValue(CalcValue::text(c.text));
    excel.log().clear();
    ASSERT_EQ(adapter().cellChanged(cell), 1);
    EXPECT_TRUE(holdsText(sheet.value(c.a1), c.text));
    EXPECT_TRUE(
        sameVariant(sheet.format(c.a1, FormatPart::Range, rng::WrapText), Variant::boolean(c.wrapAfter)))
        << narrow(c.a1);
    EXPECT_EQ(count(rng::WrapText, Kind::Put, "Range"), c.wrapWrites) << narrow(c.a1);
  }
}

TEST_F(ExcelAdapterTest, NotificationEntriesSurroundTheWriteAndTheirExceptionsAreSwallowed) {
  std::vector<std::string> seen;
  options.beforeWrite = [&](Cell&) {
    seen.push_back("before:" + std::to_string(sheet.value(u"A1").isEmpty()));
    throw std::runtime_error("ignored");
  };
  options.afterWrite = [&](Cell&) {
    seen.push_back("after:" + std::to_string(sheet.value(u"A1").isEmpty()));
  };
  Cell& cell = modelCell(0, u"A1");
  cell.setValue(CalcValue::number(3));
  EXPECT_EQ(adapter().cellChanged(cell), 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"before:1", "after:0"}));
}

// ------------------------------------------------------------------ cellChanged: protection

TEST_F(ExcelAdapterTest, TheFirstWriteIntoAFlaggedSheetUnprotectsItWithItsPassword) {
  WorksheetObject& calc = book.sheet(2);
  calc.protectedContents = true;
  calc.protectionPassword = u"secret";
  sheet.protectedContents = true; // Data: protected, but its flag word does not ask for unprotection
  SheetFlagTable table{{0x01, 0x21}, {"", "secret"}};
  std::vector<bool> recording;
  options.protectionRecording = [&](bool on) { recording.push_back(on); };
  adapter().setSheetFlags(&table);

  Cell& first = modelCell(1, u"A1");
  first.setValue(CalcValue::number(1));
  Cell& second = modelCell(1, u"A2");
  second.setValue(CalcValue::number(2));
  EXPECT_EQ(adapter().cellChanged(first), 1);
  EXPECT_EQ(adapter().cellChanged(second), 1);
  EXPECT_FALSE(calc.protectedContents);
  EXPECT_TRUE(holdsNumber(calc.value(u"A2"), 2));
  auto unprotects = excel.log().find(dispid::worksheet::Unprotect, Kind::Any, "Worksheet");
  ASSERT_EQ(unprotects.size(), 1u) << excel.log().dump();
  EXPECT_EQ(unprotects[0]->object, "Worksheet Calc");
  EXPECT_TRUE(holdsText(unprotects[0]->args[0], u"secret"));
  EXPECT_EQ(recording, (std::vector<bool>{false, true}));
  EXPECT_EQ(table.flags, (std::vector<uint32_t>{0x01, 0}));

  // The sheet whose word lacks 0x20 stays protected and refuses the write.
  Cell& data = modelCell(0, u"A1");
  data.setValue(CalcValue::number(3));
  EXPECT_EQ(adapter().cellChanged(data), -1);
  EXPECT_TRUE(sheet.protectedContents);
}

TEST_F(ExcelAdapterTest, AFailedUnprotectIsTriedOnceMoreAndSwallowed) {
  sheet.protectedContents = true;
  sheet.protectionPassword = u"right";
  SheetFlagTable table{{0x20}, {"wrong"}};
  adapter().setSheetFlags(&table);
  Cell& cell = modelCell(0, u"A1");
  cell.setValue(CalcValue::number(1));
  EXPECT_EQ(adapter().cellChanged(cell), -1); // the write itself is refused
  EXPECT_EQ(count(dispid::worksheet::Unprotect, Kind::Any, "Worksheet Data"), 2u);
  EXPECT_EQ(table.flags[0], 0u);
}

// ------------------------------------------------------------------ cellChanged: hyperlinks

TEST_F(ExcelAdapterTest, APendingHyperlinkIsWrittenAndMarkedWritten) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  options.applicationFolder = reinterpret_cast<const char16_t*>(folder);
  std::u16string expectedFile = options.applicationFolder;
  if (expectedFile.back() != u'\\') expectedFile += u'\\';
  expectedFile += u"docs\\manual.pdf";

  struct Case {
    const char16_t* a1;
    std::u16string text;
    HyperlinkRecord record;
    HyperlinkData expected;
  } cases[] = {
      {u"A1",
       u"Home",
       HyperlinkRecord::parse(u"http://example.org/"),
       {u"http://example.org/", u"", u"Home"}},
      {u"A2", u"Jump", HyperlinkRecord::parse(u"#Calc!B2"), {u"", u"Calc!B2", u"Jump"}},
      {u"A3", u"Manual", HyperlinkRecord::parse(u"docs\\manual.pdf"), {expectedFile, u"", u"Manual"}},
  };
  wchar_t before[MAX_PATH], after[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  for (Case& c : cases) {
    Cell& cell = modelCell(0, c.a1);
    cell.setValue(CalcValue::text(c.text));
    cell.setHyperlink(std::make_unique<HyperlinkRecord>(c.record));
    cell.setFlags(CellHyperlinkPending);
    ASSERT_EQ(adapter().cellChanged(cell), 1) << narrow(c.a1);
    auto link = sheet.hyperlink(c.a1);
    ASSERT_TRUE(link) << narrow(c.a1);
    EXPECT_EQ(link->address, c.expected.address) << narrow(c.a1);
    EXPECT_EQ(link->subAddress, c.expected.subAddress) << narrow(c.a1);
    EXPECT_EQ(link->textToDisplay, c.expected.textToDisplay) << narrow(c.a1);
    EXPECT_FALSE(cell.hasFlag(CellHyperlinkPending));
    EXPECT_EQ(cell.hyperlink()->kind, HyperlinkRecord::Written);
  }
  GetCurrentDirectoryW(MAX_PATH, after);
  EXPECT_EQ(std::wstring(before), std::wstring(after));
  // Written links reuse the existing hyperlink rather than adding one.
  Cell& again = modelCell(0, u"A1");
  again.setFlags(CellHyperlinkPending);
  again.hyperlink()->kind = HyperlinkRecord::Web;
  excel.log().clear();
  ASSERT_EQ(adapter().cellChanged(again), 1);
  EXPECT_EQ(count(dispid::hyperlinks::Add, Kind::Any, "Hyperlinks"), 0u);
}

TEST_F(ExcelAdapterTest, AHyperlinkNoLongerRenewedIsDeletedAndTheCellKeepsItsFormats) {
  struct Format {
    FormatPart part;
    DISPID id;
    Variant value;
  } formats[] = {
      {FormatPart::Borders, fmt::LineStyle, Variant::integer(1)},
      {FormatPart::Borders, fmt::Weight, Variant::integer(-4138)},
      {FormatPart::Borders, fmt::Color, Variant::number(255)},
      {FormatPart::Range, rng::HorizontalAlignment, Variant::integer(-4108)},
      {FormatPart::Range, rng::NumberFormat, Variant::text(u"0.00")},
      {FormatPart::Range, rng::WrapText, Variant::boolean(true)},
      {FormatPart::Interior, fmt::Color, Variant::number(65535)},
      {FormatPart::Interior, fmt::Pattern, Variant::integer(1)},
  };
  sheet.set(u"D4", Variant::text(u"Home"));
  sheet.setHyperlink(u"D4", {u"http://example.org/", u"", u"Home"});
  for (const Format& f : formats)
    sheet.setFormat(u"D4", f.part, f.id, f.value);
  Cell& cell = modelCell(0, u"D4");
  cell.setValue(CalcValue::number(12));
  cell.ensureHyperlink().kind = HyperlinkRecord::Written;

  ASSERT_EQ(adapter().cellChanged(cell), 1) << excel.log().dump();
  EXPECT_FALSE(sheet.hyperlink(u"D4"));
  EXPECT_EQ(count(dispid::hyperlink::Delete, Kind::Any, "Hyperlink Data!$D$4"), 1u);
  EXPECT_TRUE(holdsNumber(sheet.value(u"D4"), 12));
  for (const Format& f : formats)
    EXPECT_TRUE(sameVariant(sheet.format(u"D4", f.part, f.id), f.value)) << "DISPID 0x" << std::hex << f.id;

  // Nothing left to delete: the next change only writes the value.
  excel.log().clear();
  ASSERT_EQ(adapter().cellChanged(cell), 1);
  EXPECT_EQ(count(dispid::hyperlink::Delete, Kind::Any, ""), 0u);
}

TEST_F(ExcelAdapterTest, ALocationRecordGetsAHyperlinkOnlyWhenTheCellHasNone) {
  Cell& cell = modelCell(0, u"E1");
  cell.setValue(CalcValue::text(u"Go"));
  cell.setHyperlink(std::make_unique<HyperlinkRecord>(HyperlinkRecord::parse(u"#Extra!A1")));
  ASSERT_EQ(adapter().cellChanged(cell), 1);
  auto link = sheet.hyperlink(u"E1");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->subAddress, u"Extra!A1");
  EXPECT_EQ(link->textToDisplay, u"Go");
  excel.log().clear();
  ASSERT_EQ(adapter().cellChanged(cell), 1);
  EXPECT_EQ(count(dispid::hyperlinks::Add, Kind::Any, ""), 0u);
}

// ------------------------------------------------------------------ block write

TEST_F(ExcelAdapterTest, ABlockWriteWritesOnlyTheRecordCellsAndRestoresEventsAndScreen) {
  // Cells between the records hold a formula and a text that must not be touched.
  sheet.setFormula(u"B1", u"=A1*2", Variant::number(2));
  sheet.set(u"C2", Variant::text(u"0012"));
  WorksheetObject& chart = book.sheet(3);
  chart.setProperty(dispid::worksheet::Type, Variant::integer(-4169));
  std::vector<BlockValue> values = {
      {at(0, u"A1"), CalcValue::number(1)},  {at(0, u"C1"), CalcValue::number(3)},
      {at(0, u"D1"), CalcValue::text(u"5")}, {at(0, u"A3"), CalcValue::boolean(false)},
      {at(1, u"B2"), CalcValue::number(9)},  {at(2, u"A1"), CalcValue::number(4)},
      {at(7, u"A1"), CalcValue::number(8)}, // a sheet Excel does not have
  };
  adapter().writeBlockValues(values);

  EXPECT_EQ(sheet.formula(u"B1"), u"=A1*2");
  EXPECT_TRUE(holdsText(sheet.value(u"C2"), u"0012"));
  EXPECT_TRUE(holdsNumber(sheet.value(u"A1"), 1));
  EXPECT_TRUE(holdsNumber(sheet.value(u"C1"), 3));
  EXPECT_TRUE(holdsText(sheet.value(u"D1"), u"5"));
  EXPECT_TRUE(sameVariant(sheet.value(u"A3"), Variant::boolean(false)));
  EXPECT_TRUE(holdsNumber(book.sheet(2).value(u"B2"), 9));
  EXPECT_TRUE(chart.value(u"A1").isEmpty());
  EXPECT_EQ(count(rng::Value2, Kind::NotPut, ""), 0u) << "a block write never reads a rectangle back";
  std::vector<std::string> written;
  for (const LoggedCall* c : excel.log().find(rng::Value2, Kind::Put))
    written.push_back(c->object);
  EXPECT_EQ(written, (std::vector<std::string>{"Range Data!$A$1", "Range Data!$C$1:$D$1", "Range Data!$A$3",
                                               "Range Calc!$B$2"}));
  EXPECT_TRUE(excel.state(appid::EnableEvents).toBoolean());
  EXPECT_TRUE(excel.state(appid::ScreenUpdating).toBoolean());
  auto events = excel.log().find(appid::EnableEvents, Kind::Put);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0]->args.back().toBoolean());
}

TEST_F(ExcelAdapterTest, ABlockWriteUnprotectsAndRestoresStateWhenExcelFails) {
  WorksheetObject& calc = book.sheet(2);
  calc.protectedContents = true;
  SheetFlagTable table{{0, 0x20}, {}};
  adapter().setSheetFlags(&table);
  excel.setState(appid::ScreenUpdating, Variant::boolean(false)); // restored to what it was
  std::vector<BlockValue> values = {{at(1, u"A1"), CalcValue::number(1)}};
  adapter().writeBlockValues(values);
  EXPECT_TRUE(holdsNumber(calc.value(u"A1"), 1));
  EXPECT_EQ(table.flags[1], 0u);

  excel.failWith("Range", rng::Value2, E_FAIL);
  EXPECT_THROW(adapter().writeBlockValues(values), ComError);
  EXPECT_TRUE(excel.state(appid::EnableEvents).toBoolean());
  EXPECT_FALSE(excel.state(appid::ScreenUpdating).toBoolean());
}

// ------------------------------------------------------------------ Excel's computations

TEST_F(ExcelAdapterTest, WorksheetFunctionsAreCalledByNumberWithRangesForReferences) {
  sheet.set(u"A1", Variant::number(2));
  sheet.set(u"A2", Variant::number(3));
  std::vector<std::string> seen;
  excel.script("WorksheetFunction", 0x4004, [&](DispatchCall& call) -> HRESULT {
    double sum = 0;
    for (size_t i = 0; i < call.args.size(); ++i) {
      if (!call.has(i)) {
        seen.push_back("missing");
      } else if (auto* range = dynamic_cast<RangeObject*>(call.objectArg(i))) {
        seen.push_back(range->label());
        range->forEachCell([&](int32_t r, int32_t c) {
          if (const CellData* d = range->sheet().cell(r, c)) sum += d->value.toDouble();
        });
      } else {
        seen.push_back("value");
        sum += call.doubleArg(i);
      }
    }
    return call.answer(Variant::number(sum));
  });
  CalcValue reference, number = CalcValue::number(10), missing;
  reference.setReference(CellAddress::make(0, 0, 0), CellAddress::make(0, 0, 1));
  const CalcValue* arguments[] = {&reference, &number, &missing, nullptr};
  CalcValue result;
  adapter().callWorksheetFunction(4, arguments, 30, result);
  EXPECT_DOUBLE_EQ(result.numberValue(), 15);
  EXPECT_EQ(seen, (std::vector<std::string>{"Range Data!$A$1:$A$2", "value", "missing"}));

  // maxArgs bounds what is passed.
  seen.clear();
  adapter().callWorksheetFunction(4, arguments, 1, result);
  EXPECT_DOUBLE_EQ(result.numberValue(), 5);
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ExcelAdapterTest, WorksheetFunctionCallsThatCannotBeMadeAnswerValueError) {
  std::vector<CalcValue> many(31, CalcValue::number(1));
  std::vector<const CalcValue*> pointers;
  for (const CalcValue& v : many)
    pointers.push_back(&v);
  pointers.push_back(nullptr);
  CalcValue one = CalcValue::number(1);
  const CalcValue* single[] = {&one, nullptr};
  struct Case {
    const char* what;
    int number;
    const CalcValue* const* arguments;
    int maxArgs;
  } cases[] = {
      {"31 arguments", 4, pointers.data(), 255},
      {"a function Excel fails", 5, single, 30},
      {"a number beyond the identifiers", 0x4000, single, 30},
      {"a negative number", -1, single, 30},
  };
  // Function 4 would answer any number of arguments: the adapter must refuse more than the slots.
  excel.script("WorksheetFunction", 0x4004,
               [](DispatchCall& call) { return call.answer(Variant::number(1)); });
  excel.failWith("WorksheetFunction", 0x4005, DISP_E_EXCEPTION);
  for (const Case& c : cases) {
    excel.log().clear();
    CalcValue result = CalcValue::number(99);
    adapter().callWorksheetFunction(c.number, c.arguments, c.maxArgs, result);
    EXPECT_EQ(result.errorCode(), ErrValue) << c.what;
    if (c.number != 5) {
      EXPECT_EQ(excel.log().count(0x4004), 0u) << c.what;
    }
  }
}

TEST_F(ExcelAdapterTest, FormulaTextsAreEvaluatedInTheAskedSyntaxAndRangesAreRead) {
  sheet.set(u"A1", Variant::number(4));
  std::vector<LCID> locales;
  excel.evaluator = [&](std::u16string_view formula, LCID locale) -> Variant {
    locales.push_back(locale);
    if (formula != u"=Data!A1") return Variant::number(1);
    RangeObject* range = makeRange(sheet, {CellRect{1, 1, 1, 1}});
    Variant answer = Variant::dispatch(range);
    range->Release();
    return answer;
  };
  CalcValue result;
  EXPECT_EQ(adapter().evaluateText(u"=Data!A1", true, result), 1);
  EXPECT_DOUBLE_EQ(result.numberValue(), 4);
  adapter().evaluateText(u"=1", result);
  EXPECT_EQ(locales, (std::vector<LCID>{0x0409, 0x0400}));

  excel.failWith("Application", appid::Evaluate, E_FAIL);
  CalcValue untouched = CalcValue::number(5);
  EXPECT_EQ(adapter().evaluateText(u"=1", false, untouched), -1);
  EXPECT_DOUBLE_EQ(untouched.numberValue(), 5);
}

TEST_F(ExcelAdapterTest, MacrosRunWithTheirArgumentsAndTooManyAnswerValueError) {
  excel.macros[u"Twice"] = [](std::span<const Variant> args) {
    return Variant::number(args.empty() ? 0 : args[0].toDouble() * 2);
  };
  CalcValue three = CalcValue::number(3);
  const CalcValue* arguments[] = {&three, nullptr};
  CalcValue result;
  adapter().callMacro(u"Twice", arguments, result);
  EXPECT_DOUBLE_EQ(result.numberValue(), 6);

  std::vector<const CalcValue*> many(30, &three);
  many.push_back(nullptr);
  excel.log().clear();
  adapter().callMacro(u"Twice", many.data(), result);
  EXPECT_EQ(result.errorCode(), ErrValue);
  EXPECT_EQ(count(appid::Run, Kind::Any, ""), 0u);
}

TEST_F(ExcelAdapterTest, AWholeCallRunsAsAMacroWithReferencesPassedAsRanges) {
  sheet.set(u"B1", Variant::number(6));
  std::vector<std::string> seen;
  excel.macros[u"MyTotal"] = [&](std::span<const Variant> args) {
    double sum = 0;
    for (const Variant& a : args) {
      auto* range =
          a.type() == VT_DISPATCH ? dynamic_cast<RangeObject*>(doubleObjectOf(a.get().pdispVal)) : nullptr;
      if (range) {
        seen.push_back(range->label());
        sum += range->sheet().value(rectText(range->areas()[0])).toDouble();
      } else {
        seen.push_back("value");
        sum += a.toDouble();
      }
    }
    return Variant::number(sum);
  };
  CallNode call(u"MyTotal", 0);
  CalcValue reference, number = CalcValue::number(1);
  reference.setReference(CellAddress::make(0, 1, 0), CellAddress::make(0, 1, 0));
  const CalcValue* arguments[] = {&reference, &number, nullptr};
  CalcValue result;
  adapter().evaluateCall(nullptr, call, arguments, result);
  EXPECT_DOUBLE_EQ(result.numberValue(), 7);
  EXPECT_EQ(seen, (std::vector<std::string>{"Range Data!$B$1", "value"}));
}

TEST_F(ExcelAdapterTest, PrecedentAreasAreGivenInModelAddressesAndCellsAreCalculatedBeforeReading) {
  WorksheetObject& calc = book.sheet(2);
  excel.script("Range Data!$C$3", rng::PrecedentAreas, [&](DispatchCall& call) {
    return call.answerObject(makeRange(calc, {CellRect{1, 1, 2, 2}, CellRect{5, 3, 5, 3}}));
  });
  std::vector<Area> areas;
  EXPECT_EQ(adapter().visitPrecedentAreas(modelCell(0, u"C3"), [&](const Area& a) { areas.push_back(a); }),
            1);
  ASSERT_EQ(areas.size(), 2u);
  EXPECT_EQ(areas[0], (Area{CellAddress::make(1, 0, 0), CellAddress::make(1, 1, 1)}));
  EXPECT_EQ(areas[1], (Area{CellAddress::make(1, 2, 4), CellAddress::make(1, 2, 4)}));
  excel.failWith("Range Data!$C$4", rng::PrecedentAreas, E_FAIL);
  EXPECT_EQ(adapter().visitPrecedentAreas(modelCell(0, u"C4"), [](const Area&) {}), -1);

  sheet.setFormula(u"D1", u"=1+1", Variant::number(2));
  excel.log().clear();
  CalcValue value;
  EXPECT_TRUE(adapter().calculateAndReadCell(at(0, u"D1"), value));
  EXPECT_DOUBLE_EQ(value.numberValue(), 2);
  std::vector<std::string> members;
  for (const LoggedCall& c : excel.log().calls())
    if (c.object.starts_with("Range")) members.push_back(c.member);
  EXPECT_EQ(members, (std::vector<std::string>{"Calculate", "Value2"}));
  EXPECT_FALSE(adapter().calculateAndReadCell(at(5, u"D1"), value));
  excel.failWith("Range", rng::Value2, E_FAIL);
  EXPECT_THROW(adapter().calculateAndReadCell(at(0, u"D1"), value), ComError);
}

TEST_F(ExcelAdapterTest, NestedSuspensionsSwitchCalculationOnceAndRestoreItAtTheOutermost) {
  ExcelAdapter& a = adapter();
  EXPECT_TRUE(a.suspendCalculation());
  EXPECT_TRUE(a.suspendCalculation());
  EXPECT_EQ(excel.state(appid::Calculation).toInteger(), dispid::constant::CalculationManual);
  EXPECT_TRUE(a.resumeCalculation());
  EXPECT_EQ(excel.state(appid::Calculation).toInteger(), dispid::constant::CalculationManual);
  EXPECT_TRUE(a.resumeCalculation());
  EXPECT_EQ(excel.state(appid::Calculation).toInteger(), dispid::constant::CalculationAutomatic);
  EXPECT_EQ(count(appid::Calculation, Kind::Put, ""), 2u);
  EXPECT_EQ(count(appid::Calculation, Kind::NotPut, ""), 1u);

  // Already manual: nothing is written; an unmatched resume does nothing.
  excel.setState(appid::Calculation, Variant::integer(dispid::constant::CalculationManual));
  excel.log().clear();
  a.suspendCalculation();
  a.resumeCalculation();
  a.resumeCalculation();
  EXPECT_EQ(count(appid::Calculation, Kind::Put, ""), 0u);
}

TEST_F(ExcelAdapterTest, SmallQueriesAnswerFromExcel) {
  CalcValue version;
  adapter().info(u"VER", version);
  EXPECT_DOUBLE_EQ(version.numberValue(), 16);
  CalcValue untouched;
  adapter().info(u"version", untouched);
  EXPECT_TRUE(untouched.isEmpty());

  EXPECT_EQ(adapter().uiLanguage(), 1033);
  EXPECT_FALSE(adapter().uses1904Dates());
  book.setProperty(dispid::workbook::Date1904, Variant::boolean(true));
  EXPECT_TRUE(adapter().uses1904Dates());

  EXPECT_EQ(adapter().setInteriorColor(at(0, u"A1"), 0x00FF00), 0);
  EXPECT_EQ(adapter().setFontColor(at(0, u"A1"), 0x0000FF), 0);
  EXPECT_TRUE(holdsNumber(sheet.format(u"A1", FormatPart::Interior, fmt::Color), 0x00FF00));
  EXPECT_TRUE(holdsNumber(sheet.format(u"A1", FormatPart::Font, fmt::Color), 0x0000FF));

  ASSERT_TRUE(adapter().refreshSheetList());
  EXPECT_EQ(adapter().listedSheet(2).name(), u"Calc");
  EXPECT_TRUE(adapter().listedSheet(4).isEmpty());
}

TEST_F(ExcelAdapterTest, WorkbookSetUpReadsHyperlinksAndCodeNames) {
  sheet.set(u"B2", Variant::text(u"Site"));
  sheet.setHyperlink(u"B2", {u"http://example.org/", u"", u"Site"});
  Cell& linked = modelCell(0, u"B2");
  linked.setValue(CalcValue::text(u"Site"));
  book.sheet(2).setProperty(dispid::worksheet::CodeName, Variant::text(u""));
  adapter().collectSheetData(model);
  adapter().applyToSheets(model);
  ASSERT_TRUE(linked.hyperlink());
  EXPECT_EQ(linked.hyperlink()->kind, HyperlinkRecord::Web);
  EXPECT_EQ(linked.hyperlink()->address, u"http://example.org/");
  EXPECT_EQ(model.sheet(0)->codeName, u"Sheet1");
  EXPECT_EQ(model.sheet(1)->codeName, u"Sheet2"); // from Index: the code name was empty
}

// A worksheet's query tables, each with its two state properties and a refresh count.
struct QueryTableState {
  bool stateA;
  bool stateB;
  int refreshed = 0;
};

class QueryTableObject : public DoubleObjectOf<QueryTableObject> {
public:
  QueryTableObject(ExcelDouble& excel, QueryTableState& state) : DoubleObjectOf(excel), state_(state) {}
  std::string label() const override { return "QueryTable"; }
  static const std::vector<Member<QueryTableObject>>& members() {
    static const std::vector<Member<QueryTableObject>> table = {
        {dispid::queryTable::StateA, "StateA",
         [](QueryTableObject& self, DispatchCall& call) {
           return call.answer(Variant::boolean(self.state_.stateA));
         }},
        {dispid::queryTable::StateB, "StateB",
         [](QueryTableObject& self, DispatchCall& call) {
           return call.answer(Variant::boolean(self.state_.stateB));
         }},
        {dispid::queryTable::Refresh, "Refresh",
         [](QueryTableObject& self, DispatchCall& call) {
           ++self.state_.refreshed;
           return call.answer(Variant::boolean(true));
         }},
    };
    return table;
  }

private:
  QueryTableState& state_;
};

class QueryTablesObject : public DoubleObjectOf<QueryTablesObject> {
public:
  QueryTablesObject(ExcelDouble& excel, std::vector<QueryTableState>& tables)
      : DoubleObjectOf(excel), tables_(tables) {}
  std::string label() const override { return "QueryTables"; }
  static const std::vector<Member<QueryTablesObject>>& members() {
    static const std::vector<Member<QueryTablesObject>> table = {
        {dispid::collection::Count, "Count",
         [](QueryTablesObject& self, DispatchCall& call) {
           return call.answer(Variant::integer(static_cast<int32_t>(self.tables_.size())));
         }},
        {dispid::collection::Item, "Item",
         [](QueryTablesObject& self, DispatchCall& call) -> HRESULT {
           int32_t i = call.intArg(0);
           if (i < 1 || i > static_cast<int32_t>(self.tables_.size())) return DISP_E_BADINDEX;
           return call.answerObject(new QueryTableObject(self.excel(), self.tables_[i - 1]));
         }},
    };
    return table;
  }

private:
  std::vector<QueryTableState>& tables_;
};

TEST_F(ExcelAdapterTest, QueryTablesAreRefreshedWhenTheirStateAsksAndAFailingSheetIsSkipped) {
  std::vector<QueryTableState> data = {{true, false}, {true, true}, {false, false}};
  std::vector<QueryTableState> extra = {{true, false}};
  auto tablesOf = [&](std::vector<QueryTableState>& tables) {
    return [&](DispatchCall& call) { return call.answerObject(new QueryTablesObject(excel, tables)); };
  };
  sheet.script(dispid::worksheet::QueryTables, tablesOf(data));
  book.sheet(2).failWith(dispid::worksheet::QueryTables, E_FAIL);
  book.sheet(3).script(dispid::worksheet::QueryTables, tablesOf(extra));
  adapter().refreshQueryTables(model);
  EXPECT_EQ(data[0].refreshed, 1);
  EXPECT_EQ(data[1].refreshed, 0);
  EXPECT_EQ(data[2].refreshed, 0);
  EXPECT_EQ(extra[0].refreshed, 1);
}

// ------------------------------------------------------------------ linked workbooks

TEST_F(ExcelAdapterTest, LinkedWorkbooksOpenInASecondaryInstanceThatIsClosedWithTheAdapter) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  std::u16string directory = reinterpret_cast<const char16_t*>(folder);
  std::wstring file = std::wstring(folder) + L"LinkedPrices.xlsx";
  { std::ofstream(file.c_str()) << "x"; }
  ExcelDouble secondary;
  secondary.setState(appid::Caption, Variant::text(u"Secondary"));
  options.applicationFolder = directory;
  options.createSecondary = [&](ApplicationWrapper& instance) {
    return instance.attach(secondary.application());
  };

  model.externalLinks().push_back(linkTo(u"", u"LinkedPrices.xlsx"));
  model.externalLinks().push_back(linkTo(u"", u"NotOnDisk.xlsx"));
  adapter().openLinkedWorkbooks(model);
  ASSERT_TRUE(adapter().hasSecondaryInstance());
  ASSERT_EQ(secondary.workbooks().size(), 1u);
  WorkbookObject& opened = *secondary.workbooks()[0];
  EXPECT_EQ(opened.name(), u"LinkedPrices.xlsx");
  EXPECT_TRUE(secondary.state(appid::IgnoreRemoteRequests).toBoolean());
  EXPECT_EQ(excel.workbooks().size(), 1u) << "the hosting Excel opens nothing";

  opened.addSheet(u"Prices").set(u"C3", Variant::number(42));
  CalcValue value;
  EXPECT_EQ(adapter().readLinkedCell(u"linkedprices.xlsx", u"'Prices'!C3", value), 1);
  EXPECT_DOUBLE_EQ(value.numberValue(), 42);
  EXPECT_EQ(adapter().readLinkedCell(u"Book1.xlsx", u"Data!A1", value), 1); // the hosting Excel's
  EXPECT_EQ(adapter().readLinkedCell(u"Missing.xlsx", u"A1", value), 0);

  adapter_.reset();
  EXPECT_TRUE(opened.closed);
  EXPECT_EQ(secondary.quitCalls, 1);
  DeleteFileW(file.c_str());
}

TEST_F(ExcelAdapterTest, NoSecondaryInstanceIsMadeWhenNoLinkedFileIsFound) {
  int created = 0;
  options.createSecondary = [&](ApplicationWrapper&) { return ++created, false; };
  model.externalLinks().push_back(linkTo(u"C:\\nowhere\\", u"Absent.xlsx"));
  adapter().openLinkedWorkbooks(model);
  EXPECT_EQ(created, 0);
  EXPECT_FALSE(adapter().hasSecondaryInstance());
  EXPECT_FALSE(adapter().openLinkedWorkbook(u"C:\\nowhere\\Absent.xlsx"));
  EXPECT_EQ(created, 1);
}

} // namespace
} // namespace cwbk::testing
