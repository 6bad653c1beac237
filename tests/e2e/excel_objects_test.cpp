// The typed wrappers against the double: application state, which members swallow COM errors,
// block reads and writes, sheets, ranges, formats, hyperlinks, macros, Evaluate and the main window.
#include <gtest/gtest.h>

#include <functional>

#include "excel/variant_bridge.h"
#include "excel_double/range_objects.h"
#include "excel_fixture.h"

namespace cwbk::testing {
namespace {

namespace app = cwbk::dispid::application;
namespace rng = cwbk::dispid::range;

using ExcelObjectsTest = ExcelFixture;

TEST_F(ExcelObjectsTest, ApplicationStateIsReadAndWritten) {
  EXPECT_EQ(app.version(), u"16.0");
  EXPECT_EQ(app.majorVersion(), 16);
  EXPECT_TRUE(app.enableEvents());
  EXPECT_TRUE(app.screenUpdating());
  EXPECT_FALSE(app.iteration());
  EXPECT_EQ(app.maxIterations(), 100);
  EXPECT_DOUBLE_EQ(app.maxChange(), 0.001);
  EXPECT_EQ(app.calculation(), dispid::constant::CalculationAutomatic);

  struct Case {
    std::function<void()> write;
    DISPID id;
    Variant expected;
  } cases[] = {
      {[&] { EXPECT_TRUE(app.putEnableEvents(false)); }, app::EnableEvents, Variant::boolean(false)},
      {[&] { EXPECT_TRUE(app.putScreenUpdating(false)); }, app::ScreenUpdating, Variant::boolean(false)},
      {[&] { EXPECT_TRUE(app.putCalculation(dispid::constant::CalculationManual)); }, app::Calculation,
       Variant::integer(-4135)},
      {[&] { EXPECT_TRUE(app.putIgnoreRemoteRequests(true)); }, app::IgnoreRemoteRequests,
       Variant::boolean(true)},
      {[&] { EXPECT_TRUE(app.putOnEntry(u"")); }, app::OnEntry, Variant::text(u"")},
      {[&] { app.putDisplayAlerts(false); }, app::DisplayAlerts, Variant::boolean(false)},
      {[&] { app.putVisible(true); }, app::Visible, Variant::boolean(true)},
      {[&] { app.putWindowState(dispid::constant::WindowMaximized); }, app::WindowState,
       Variant::integer(-4137)},
      {[&] { app.putDefaultSaveFormat(56); }, app::DefaultSaveFormat, Variant::integer(56)},
      {[&] { app.putSavedSetting(3); }, app::SavedSetting, Variant::integer(3)},
      {[&] { app.putUserControl(false); }, app::UserControl, Variant::boolean(false)},
  };
  for (Case& c : cases) {
    c.write();
    const Variant& state = excel.state(c.id);
    EXPECT_EQ(VarCmp(const_cast<VARIANT*>(&state.get()), &c.expected.get(), 0, 0),
              static_cast<HRESULT>(VARCMP_EQ))
        << "DISPID 0x" << std::hex << c.id;
  }
  EXPECT_EQ(app.calculation(), dispid::constant::CalculationManual);
  EXPECT_FALSE(app.enableEvents());
}

TEST_F(ExcelObjectsTest, QuietMembersSwallowComErrorsAndKeepTheResult) {
  constexpr HRESULT kFailure = static_cast<HRESULT>(0x800A9C68);
  RangeWrapper cells = dataSheet().range(u"A1:B2");
  struct Case {
    DISPID id;
    std::string object;
    std::function<bool()> call;
  } cases[] = {
      {app::Calculation, "Application", [&] { return app.putCalculation(-4135); }},
      {app::EnableEvents, "Application", [&] { return app.putEnableEvents(false); }},
      {app::ScreenUpdating, "Application", [&] { return app.putScreenUpdating(false); }},
      {app::IgnoreRemoteRequests, "Application", [&] { return app.putIgnoreRemoteRequests(true); }},
      {app::OnEntry, "Application", [&] { return app.putOnEntry(u""); }},
      {app::Quit, "Application", [&] { return app.quit(); }},
      {rng::HorizontalAlignment, "Range",
       [&] { return cells.putHorizontalAlignment(Variant::integer(-4108)); }},
      {rng::VerticalAlignment, "Range", [&] { return cells.putVerticalAlignment(Variant::integer(-4108)); }},
      {rng::NumberFormat, "Range", [&] { return cells.putNumberFormat(Variant::text(u"@")); }},
      {rng::Orientation, "Range", [&] { return cells.putOrientation(Variant::integer(90)); }},
      {rng::ShrinkToFit, "Range", [&] { return cells.putShrinkToFit(Variant::boolean(true)); }},
      {rng::WrapText, "Range", [&] { return cells.putWrapText(Variant::boolean(true)); }},
      {rng::Value2, "Range",
       [&] {
         Variant v;
         return cells.value2(v);
       }},
  };
  for (Case& c : cases) {
    excel.failWith(c.object, c.id, kFailure);
    bool succeeded = true;
    EXPECT_NO_THROW(succeeded = c.call()) << "DISPID 0x" << std::hex << c.id;
    EXPECT_FALSE(succeeded) << "DISPID 0x" << std::hex << c.id;
    excel.unscript(c.object, c.id);
  }
  EXPECT_EQ(app.lastResult(), kFailure);
  EXPECT_EQ(cells.lastResult(), kFailure);
  excel.failWith("Range", rng::Borders, kFailure);
  EXPECT_TRUE(cells.borders().isEmpty());

  // Everything else passes the error on.
  excel.failWith("Application", app::DisplayAlerts, kFailure);
  excel.failWith("Application", app::Visible, kFailure);
  excel.failWith("Application", app::Calculation, kFailure);
  EXPECT_THROW(app.putDisplayAlerts(false), ComError);
  EXPECT_THROW(app.putVisible(true), ComError);
  EXPECT_THROW(app.calculation(), ComError);
  excel.failWith("Range", rng::Formula, kFailure);
  EXPECT_THROW(cells.formula(), ComError);
}

// Stand-ins for Excel's own implementations, recording how they were called.
IDispatch* seenObject;
LCID seenLocale;
long seenMode;
VARIANT_BOOL seenEvents;
Variant seenValue;

HRESULT STDMETHODCALLTYPE savedPutCalculation(IDispatch* self, LCID locale, long mode) {
  seenObject = self;
  seenLocale = locale;
  seenMode = mode;
  return S_OK;
}
HRESULT STDMETHODCALLTYPE savedPutEnableEvents(IDispatch*, VARIANT_BOOL enable) {
  seenEvents = enable;
  return E_FAIL;
}
HRESULT STDMETHODCALLTYPE savedPutValue2(IDispatch*, LCID locale, VARIANT value) {
  seenLocale = locale;
  seenValue = Variant(value);
  return S_OK;
}

TEST_F(ExcelObjectsTest, ExcelsOwnImplementationsAreUsedOnceSaved) {
  ExcelImplementations& saved = excelImplementations();
  saved.putCalculation = savedPutCalculation;
  saved.putEnableEvents = savedPutEnableEvents;
  saved.putValue2 = savedPutValue2;
  EXPECT_TRUE(app.putCalculation(dispid::constant::CalculationManual));
  EXPECT_FALSE(app.putEnableEvents(false)); // Excel's failure is swallowed here too
  EXPECT_EQ(app.lastResult(), E_FAIL);
  EXPECT_EQ(seenEvents, VARIANT_FALSE);
  EXPECT_EQ(seenObject, app.get());
  EXPECT_EQ(seenMode, -4135);
  dataSheet().range(u"C3").putValue2(Variant::number(8));
  EXPECT_EQ(seenLocale, kLocaleUserDefault);
  EXPECT_TRUE(holdsNumber(seenValue, 8));
  saved = ExcelImplementations{};
  seenValue = Variant();
  // Neither went through IDispatch.
  EXPECT_EQ(calls(app::Calculation, CallLog::Kind::Put).size(), 0u);
  EXPECT_EQ(calls(app::EnableEvents, CallLog::Kind::Put).size(), 0u);
  EXPECT_EQ(calls(rng::Value2).size(), 0u);
  EXPECT_TRUE(sheet.value(u"C3").isEmpty());
}

TEST_F(ExcelObjectsTest, WorksheetMembers) {
  WorksheetWrapper data = dataSheet();
  EXPECT_EQ(data.name(), u"Data");
  EXPECT_TRUE(data.isWorksheet());
  EXPECT_EQ(data.index(), 1);
  EXPECT_EQ(data.nameForCode(), u"Sheet1");
  // A sheet created at run time has no code name: its index stands in.
  WorksheetWrapper extra = app.workbooks().workbook(1).worksheets().sheet(3);
  book.sheet(3).setProperty(dispid::worksheet::CodeName, Variant::text(u""));
  EXPECT_EQ(extra.nameForCode(), u"Sheet3");

  const Variant protectArguments[] = {Variant::text(u"pw"), Variant::boolean(true)};
  data.protect(protectArguments);
  EXPECT_TRUE(data.protectContents());
  auto protect = calls(dispid::worksheet::Protect);
  ASSERT_EQ(protect.size(), 1u);
  EXPECT_EQ(protect[0]->args.size(), 16u); // the password and the 15 permissions, the last included
  EXPECT_TRUE(protect[0]->args[15].isMissing());
  EXPECT_THROW(data.unprotect(u"wrong"), ComError);
  data.unprotect(u"pw");
  EXPECT_FALSE(data.protectContents());

  extra.activate();
  EXPECT_EQ(app.activeSheet().name(), u"Extra");
  data.putName(u"Renamed");
  EXPECT_EQ(sheet.name(), u"Renamed");
  data.putEnableSelection(1);
  EXPECT_EQ(sheet.property(dispid::worksheet::EnableSelection).toInteger(), 1);
  sheet.set(u"B2", Variant::number(1));
  sheet.set(u"D5", Variant::number(1));
  EXPECT_EQ(data.usedRange().address(), u"$B$2:$D$5");
}

TEST_F(ExcelObjectsTest, BlockReadsVisitEveryCellAtItsPosition) {
  sheet.set(u"B2", Variant::number(1.5));
  sheet.set(u"C2", Variant::text(u"two"));
  sheet.set(u"B3", Variant::boolean(true));
  sheet.set(u"C4", excelError(2007));
  std::map<std::pair<uint32_t, uint32_t>, CalcValue> seen;
  auto cell = [](uint32_t row, uint32_t column) { return std::make_pair(row, column); };
  auto visit = [&](uint32_t row, uint32_t column, const CalcValue& v) { seen[{row, column}] = v; };
  // Rows 2..4, columns B..C, reported 0-based.
  ASSERT_TRUE(dataSheet().range(u"B2:C4").readBlock(1, 1, visit));
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_TRUE(seen[cell(1, 1)].sameAs(CalcValue::number(1.5)));
  EXPECT_TRUE(seen[cell(1, 2)].sameAs(CalcValue::text(u"two")));
  EXPECT_TRUE(seen[cell(2, 1)].sameAs(CalcValue::boolean(true)));
  EXPECT_TRUE(seen[cell(3, 2)].sameAs(CalcValue::error(ErrDiv0)));
  EXPECT_TRUE(seen[cell(3, 1)].isEmpty());

  seen.clear();
  ASSERT_TRUE(dataSheet().range(u"C2").readBlock(1, 2, visit));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[cell(1, 2)].sameAs(CalcValue::text(u"two")));

  // An answer with other lower bounds is still laid from the top-left cell.
  excel.script("Range", rng::Value2, [](DispatchCall& call) {
    SAFEARRAYBOUND bounds[2] = {{1, 0}, {2, 5}};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
    LONG at[2] = {0, 6};
    Variant v = Variant::integer(7);
    SafeArrayPutElement(array, at, &v.get());
    Variant answer;
    answer.get().vt = VT_ARRAY | VT_VARIANT;
    answer.get().parray = array;
    return call.answer(std::move(answer));
  });
  seen.clear();
  ASSERT_TRUE(dataSheet().range(u"A1:B1").readBlock(10, 20, visit));
  EXPECT_TRUE(seen[cell(10, 21)].sameAs(CalcValue::number(7)));
  EXPECT_TRUE(seen[cell(10, 20)].isEmpty());

  // A failed read is reported, never visited as blank cells.
  excel.failWith("Range", rng::Value2, E_FAIL);
  seen.clear();
  RangeWrapper failing = dataSheet().range(u"B2:C4");
  EXPECT_FALSE(failing.readBlock(1, 1, visit));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(failing.lastResult(), E_FAIL);
}

TEST_F(ExcelObjectsTest, WritingCellsLeavesTheOthersAndProtectsTexts) {
  sheet.setFormula(u"B1", u"=A1*2", Variant::number(4));
  sheet.set(u"C1", Variant::text(u"00123"));
  std::vector<CellWrite> writes;
  writes.push_back({0, 0, CalcValue::text(u"00123")});
  writes.push_back({0, 3, CalcValue::number(5)});
  writes.push_back({2, 0, CalcValue::text(u"=not a formula")});
  writes.push_back({2, 1, CalcValue::boolean(true)});
  writes.push_back({2, 2, CalcValue::text(u"TRUE")});
  writes.push_back({0, 3, CalcValue::number(6)}); // a later write of the same cell wins
  dataSheet().writeCells(writes);

  EXPECT_TRUE(holdsText(sheet.value(u"A1"), u"00123"));
  EXPECT_TRUE(holdsNumber(sheet.value(u"D1"), 6));
  EXPECT_TRUE(sheet.hasFormula(u"B1"));
  EXPECT_EQ(sheet.formula(u"B1"), u"=A1*2");
  EXPECT_TRUE(holdsText(sheet.value(u"C1"), u"00123"));
  EXPECT_TRUE(holdsText(sheet.value(u"A3"), u"=not a formula"));
  EXPECT_FALSE(sheet.hasFormula(u"A3"));
  EXPECT_EQ(sheet.value(u"B3").type(), VT_BOOL);
  EXPECT_TRUE(holdsText(sheet.value(u"C3"), u"TRUE"));

  // One Value2 write per run of adjacent cells in a row.
  auto ranges = calls(dispid::worksheet::Range);
  std::vector<std::u16string> addresses;
  for (const LoggedCall* c : ranges)
    addresses.push_back(c->args[0].toText());
  EXPECT_EQ(addresses, (std::vector<std::u16string>{u"$A$1", u"$D$1", u"$A$3:$C$3"}));
  EXPECT_EQ(calls(rng::Value2, CallLog::Kind::Put).size(), 3u);
}

TEST_F(ExcelObjectsTest, UnprotectedWritesShowWhatExcelWouldDoToTexts) {
  RangeWrapper a1 = dataSheet().range(u"A1");
  a1.putValue2(Variant::text(u"00123"));
  EXPECT_TRUE(holdsNumber(sheet.value(u"A1"), 123));
  a1.putValue2(toVariant(CalcValue::text(u"00123"), true));
  EXPECT_TRUE(holdsText(sheet.value(u"A1"), u"00123"));
}

TEST_F(ExcelObjectsTest, RangeMembers) {
  sheet.setFormula(u"A1", u"=1+1", Variant::number(2));
  sheet.set(u"A2", Variant::number(3));
  WorksheetWrapper data = dataSheet();
  RangeWrapper both = data.range(u"A1:B2,D4");
  EXPECT_EQ(both.address(), u"$A$1:$B$2,$D$4");
  EXPECT_EQ(both.count(), 5);
  EXPECT_EQ(both.areas().count(), 2);
  EXPECT_EQ(both.area(2).address(), u"$D$4");
  EXPECT_EQ(both.cell(2, 1).address(), u"$A$2");
  EXPECT_EQ(both.worksheet().name(), u"Data");
  EXPECT_TRUE(data.range(u"A1").hasFormula());
  EXPECT_FALSE(data.range(u"A1:A2").hasFormula()); // mixed reads as false
  EXPECT_EQ(data.range(u"A1").formula(), u"=1+1");
  EXPECT_EQ(calls(rng::Formula)[0]->locale, kLocaleEnglish);
  Variant v;
  ASSERT_TRUE(data.range(u"A2").value2(v));
  EXPECT_TRUE(holdsNumber(v, 3));
  data.range(u"A1:B1").select();
  EXPECT_EQ(RangeWrapper(app.selection().get()).address(), u"$A$1:$B$1");
  data.range(u"A2").deleteCells();
  EXPECT_TRUE(sheet.value(u"A2").isEmpty());
}

TEST_F(ExcelObjectsTest, FormatsAreReadAndWritten) {
  RangeWrapper cells = dataSheet().range(u"A1:B2");
  cells.interior().putColor(Variant::number(255));
  EXPECT_TRUE(holdsNumber(cells.interior().color(), 255));
  EXPECT_TRUE(holdsNumber(sheet.format(u"B2", FormatPart::Interior, dispid::format::Color), 255));
  cells.font().putColorIndex(Variant::integer(3));
  EXPECT_TRUE(holdsNumber(cells.font().colorIndex(), 3));
  cells.borders().putLineStyle(Variant::integer(1));
  EXPECT_TRUE(holdsNumber(cells.borders().border(9).lineStyle(), 1));
  EXPECT_TRUE(cells.putWrapText(Variant::boolean(true)));
  EXPECT_TRUE(readBoolean(cells.wrapText().get()));
  // Cells that differ answer Null.
  dataSheet().range(u"A1").putNumberFormat(Variant::text(u"0.00"));
  EXPECT_EQ(cells.numberFormat().type(), VT_NULL);
  EXPECT_THROW(cells.interior().putColor(Variant::text(u"not a colour")), ComError);
}

TEST_F(ExcelObjectsTest, Hyperlinks) {
  RangeWrapper b2 = dataSheet().range(u"B2");
  HyperlinkWrapper link = b2.hyperlinks().add(b2, u"https://example.invalid/");
  EXPECT_EQ(link.address(), u"https://example.invalid/");
  auto add = calls(dispid::hyperlinks::Add);
  ASSERT_EQ(add.size(), 1u);
  ASSERT_EQ(add[0]->args.size(), 5u);
  EXPECT_TRUE(add[0]->args[2].isMissing() && add[0]->args[3].isMissing() && add[0]->args[4].isMissing());
  link.putSubAddress(u"Data!A1");
  EXPECT_EQ(sheet.hyperlink(u"B2")->subAddress, u"Data!A1");
  EXPECT_EQ(b2.hyperlinks().count(), 1);
  EXPECT_EQ(b2.hyperlinks().link(1).textToDisplay(), u"");
  link.deleteLink();
  EXPECT_FALSE(sheet.hyperlink(u"B2").has_value());
  EXPECT_EQ(b2.hyperlinks().count(), 0);
}

TEST_F(ExcelObjectsTest, RunPassesThirtyArgumentSlots) {
  std::vector<Variant> received;
  excel.macros[u"Book1.xlsx!Startup"] = [&](std::span<const Variant> arguments) {
    received.assign(arguments.begin(), arguments.end());
    return Variant::number(42);
  };
  const Variant arguments[] = {Variant::text(u"a"), Variant::integer(2)};
  Variant result = app.run(u"Book1.xlsx!Startup", arguments);
  EXPECT_TRUE(holdsNumber(result, 42));
  ASSERT_EQ(received.size(), 2u);
  EXPECT_TRUE(holdsText(received[0], u"a"));
  auto run = calls(app::Run);
  ASSERT_EQ(run.size(), 1u);
  EXPECT_EQ(run[0]->args.size(), 31u);
  EXPECT_TRUE(holdsText(run[0]->args[0], u"Book1.xlsx!Startup"));
  EXPECT_TRUE(run[0]->args[30].isMissing());
  EXPECT_EQ(run[0]->locale, kLocaleSystemDefault);
  EXPECT_EQ(run[0]->flags, DISPATCH_METHOD);
}

TEST_F(ExcelObjectsTest, EvaluateChoosesItsLocale) {
  EXPECT_TRUE(holdsNumber(app.evaluate(u"=2.5", true), 2.5));
  Variant name = app.evaluate(u"=NOSUCH()", false);
  EXPECT_EQ(name.type(), VT_ERROR);
  EXPECT_EQ(name.get().scode, static_cast<SCODE>(ErrName));
  auto evaluate = calls(app::Evaluate);
  ASSERT_EQ(evaluate.size(), 2u);
  EXPECT_EQ(evaluate[0]->locale, kLocaleEnglish);
  EXPECT_EQ(evaluate[1]->locale, kLocaleUserDefault);
  EXPECT_EQ(evaluate[0]->flags, DISPATCH_METHOD);
  excel.app().failWith(app::Evaluate, E_FAIL);
  EXPECT_THROW(app.evaluate(u"=1", true), ComError);
}

TEST_F(ExcelObjectsTest, TheMainWindowIsFoundByHwndOrByClassAndCaption) {
  ASSERT_NE(excel.mainWindow(), nullptr);
  EXPECT_EQ(findMainWindow(app), excel.mainWindow());
  EXPECT_EQ(calls(app::Hwnd).size(), 1u);

  // Version 9 is searched for by class and caption even though it would answer Hwnd.
  excel.log().clear();
  excel.setState(app::Version, Variant::text(u"9.0"));
  excel.setState(app::Caption, Variant::text(u"Book1 - Excel"));
  EXPECT_EQ(findMainWindow(app), excel.mainWindow());
  EXPECT_EQ(calls(app::Hwnd).size(), 0u);
  EXPECT_EQ(calls(app::Caption).size(), 1u);

  // A newer version without a window handle falls back to the search; another caption finds nothing.
  excel.setState(app::Version, Variant::text(u"12.0"));
  excel.app().script(app::Hwnd, [](DispatchCall& call) { return call.answer(Variant::integer(0)); });
  EXPECT_EQ(findMainWindow(app), excel.mainWindow());
  excel.app().script(app::Caption, [](DispatchCall& call) { return call.answer(Variant::text(u"Other")); });
  EXPECT_EQ(findMainWindow(app), nullptr);
}

TEST_F(ExcelObjectsTest, ServiceObjects) {
  EXPECT_EQ(app.userInterfaceLanguage(), 1033);
  auto language = calls(dispid::languageSettings::LanguageID);
  ASSERT_EQ(language.size(), 1u);
  EXPECT_TRUE(holdsNumber(language[0]->args[0], 2));

  excel.dialogAnswer = false;
  const Variant dialogArguments[] = {Variant::text(u"file.dat")};
  EXPECT_FALSE(app.dialog(1).show(dialogArguments));
  EXPECT_EQ(calls(dispid::dialog::Show)[0]->args.size(), 30u);

  excel.script("WorksheetFunction", 0x4001, [](DispatchCall& call) {
    return call.answer(Variant::number(call.doubleArg(0) + call.doubleArg(1)));
  });
  const Variant operands[] = {Variant::number(2), Variant::number(3)};
  EXPECT_TRUE(holdsNumber(app.worksheetFunction().compute(0x4001, operands), 5));
  EXPECT_THROW(app.worksheetFunction().compute(0x4002, operands), ComError);

  WorksheetWrapper data = dataSheet();
  const DispatchWrapper ranges[] = {data.range(u"A1:C3"), data.range(u"B2:D4")};
  EXPECT_EQ(app.intersect(ranges).address(), u"$B$2:$C$3");
  const DispatchWrapper apart[] = {data.range(u"A1"), data.range(u"C3")};
  EXPECT_TRUE(app.intersect(apart).isEmpty());

  app.onTime(45000.5, u"Later");
  app.onUndo(u"", u"");
  EXPECT_EQ(calls(app::OnTime).size(), 1u);
  EXPECT_EQ(calls(app::OnUndo)[0]->args.size(), 2u);
  EXPECT_TRUE(app.quit());
  EXPECT_EQ(excel.quitCalls, 1);
  EXPECT_EQ(app.windows().count(), 0);
  EXPECT_EQ(app.addIns().count(), 0);
}

TEST_F(ExcelObjectsTest, WorkbookMembers) {
  WorkbookWrapper first = app.activeWorkbook();
  EXPECT_EQ(first.name(), u"Book1.xlsx");
  EXPECT_EQ(first.fullName(), u"C:\\Books\\Book1.xlsx");
  EXPECT_FALSE(first.date1904());
  EXPECT_TRUE(first.saved());
  EXPECT_EQ(first.sheets().count(), 3);
  first.putPassword(u"secret");
  EXPECT_EQ(book.property(dispid::workbook::Password).toText(), u"secret");
  first.setPasswordEncryptionOptions(u"provider", u"algorithm", 128, true);
  EXPECT_EQ(calls(dispid::workbook::SetPasswordEncryptionOptions)[0]->args.size(), 4u);
  first.saveAs(u"C:\\Out\\Saved.xlsb", Variant::integer(50));
  EXPECT_EQ(first.name(), u"Saved.xlsb");
  EXPECT_EQ(first.fileFormat(), 50);

  WorkbookWrapper added = app.workbooks().add();
  EXPECT_EQ(added.name(), u"Book1");
  EXPECT_EQ(app.workbooks().count(), 2);
  added.close();
  EXPECT_EQ(app.workbooks().count(), 1);
  auto close = calls(dispid::workbook::Close);
  ASSERT_EQ(close.size(), 1u);
  EXPECT_EQ(close[0]->args[0].type(), VT_BOOL);
  EXPECT_EQ(close[0]->args[0].get().boolVal, VARIANT_FALSE);
  EXPECT_EQ(app.workbooks().open(u"C:\\Linked\\Prices.xlsx").name(), u"Prices.xlsx");
}

TEST_F(ExcelObjectsTest, ASecondaryInstanceThatCannotBeCreatedLeavesTheWrapperEmpty) {
  ApplicationWrapper secondary;
  EXPECT_FALSE(secondary.createInstance());
  EXPECT_TRUE(secondary.isEmpty());
  EXPECT_TRUE(FAILED(secondary.lastResult()));
}

TEST_F(ExcelObjectsTest, RunningObjectsAreOfferedToTheVisitor) {
  IRunningObjectTable* table = nullptr;
  ASSERT_EQ(GetRunningObjectTable(0, &table), S_OK);
  IMoniker* moniker = nullptr;
  ASSERT_EQ(CreateItemMoniker(L"!", L"ExcelDoubleForTest", &moniker), S_OK);
  DWORD cookie = 0;
  HRESULT registered =
      table->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, excel.application(), moniker, &cookie);
  if (SUCCEEDED(registered)) {
    int offered = 0;
    DispatchWrapper found = findRunningObject([&](IDispatch* object) {
      ++offered;
      return doubleObjectOf(object) == &excel.app();
    });
    EXPECT_EQ(found.get(), excel.application());
    EXPECT_GE(offered, 1);
    EXPECT_TRUE(findRunningObject([](IDispatch*) { return false; }).isEmpty());
    table->Revoke(cookie);
  }
  moniker->Release();
  table->Release();
  if (FAILED(registered))
    GTEST_SKIP() << "the running object table refused the registration (hr 0x" << std::hex
                 << static_cast<unsigned long>(registered) << ")";
}

} // namespace
} // namespace cwbk::testing
