// Excel's application events, with the runtime module loaded into a process that plays Excel: the
// double raises the events at the runtime's sink.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "compiler/text_workbook.h"
#include "compiler/workbook_compiler.h"
#include "formula/compiled_workbook.h"
#include "formula/workbook_stream.h"
#include "runtime_in_double.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

// B1 computes from A1, D1 from the typed C1, F1 from E1, which holds nothing yet. The workbook links to
// C:\Books\Linked.xlsx; the option buttons Option1 and Option2 of one group set C1 and E1, the check
// box Check1 sets C1.
constexpr char kWorkbook[] = R"([sheets]
Data

[cells]
Data!A1: =Z1
Data!B1: =A1*2
Data!C1: 5
Data!D1: =C1*3
Data!F1: =E1+1
)";

class AppEventsTest : public RuntimeInDoubleTest {
protected:
  // Starts the runtime as the application does, with the settings flags.
  void start(uint16_t flags) {
    sheet.set(u"C1", Variant::number(5));
    sheet.set(u"D1", Variant::number(15));
    startWith(flags, workbookStream());
  }

  Bytes workbookStream() {
    CompiledWorkbook workbook;
    compiler::compileWorkbook(compiler::readTextWorkbook(kWorkbook), workbook);
    ExternalLink link;
    link.folder = u"C:\\Books";
    link.fileName = u"Linked.xlsx";
    workbook.externalLinks().push_back(link);
    auto& controls = workbook.sheetControls()[0];
    controls[u"Option1"] = {0, 0, CellAddress::make(0, 2, 0), u"Option1", {}, {}, u"Choice"};
    controls[u"Option2"] = {0, 0, CellAddress::make(0, 4, 0), u"Option2", {}, {}, u"Choice"};
    controls[u"Check1"] = {0, 0, CellAddress::make(0, 2, 0), u"Check1", {}, {}, {}};
    Bytes stream;
    writeWorkbook(workbook, stream);
    return stream;
  }

  HRESULT raiseClose(WorkbookObject& target, VARIANT_BOOL& cancel) {
    return excel.app().raiseEvent(0x0622, {objectArgument(&target), flagReference(&cancel)});
  }
  HRESULT raiseSave(WorkbookObject& target, bool saveAsDialog, VARIANT_BOOL& cancel) {
    return excel.app().raiseEvent(
        0x0623, {objectArgument(&target), flagArgument(saveAsDialog), flagReference(&cancel)});
  }
};

constexpr uint16_t kDataExchange = 0x0001;
constexpr uint16_t kSaveIntoExe = 0x0008;

TEST_F(AppEventsTest, TheSinkIsConnectedAtAttachAndChecksItsArguments) {
  start(0);
  ASSERT_EQ(excel.app().eventSinkCount(), 1u);
  VARIANT_BOOL cancel = VARIANT_FALSE;
  EXPECT_EQ(excel.app().raiseEvent(0x0622, {objectArgument(&book)}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x0622, {objectArgument(&book), flagArgument(true)}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x0623, {objectArgument(&book), flagReference(&cancel)}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x061C, {objectArgument(&sheet), flagArgument(true)}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x061B, {}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x061F, {flagArgument(true)}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x0625, {objectArgument(&book)}), E_INVALIDARG);
  EXPECT_EQ(excel.app().raiseEvent(0x0620, {objectArgument(&book)}), S_OK); // an event without handler
  // The unload takes the sink back.
  FreeLibrary(module);
  module = nullptr;
  EXPECT_EQ(excel.app().eventSinkCount(), 0u);
}

TEST_F(AppEventsTest, AChangeInALinkedWorkbookRecalculatesAndOneInAnotherDoesNot) {
  start(0);
  WorkbookObject& linked = excel.addWorkbook(u"Linked.xlsx");
  WorkbookObject& other = excel.addWorkbook(u"Other.xlsx");
  const size_t before = recalculations();
  EXPECT_EQ(
      excel.app().raiseEvent(0x061C, {objectArgument(&other.sheet(1)), objectArgument(&other.sheet(1))}),
      S_OK);
  EXPECT_EQ(recalculations(), before);
  EXPECT_TRUE(eventsOn());
  // The application's own changes come through the sheet-change message, not this event.
  excel.app().raiseEvent(0x061C, {objectArgument(&sheet), objectArgument(&sheet)});
  EXPECT_EQ(recalculations(), before);
  excel.app().raiseEvent(0x061C, {objectArgument(&linked.sheet(1)), objectArgument(&linked.sheet(1))});
  EXPECT_EQ(recalculations(), before + 1);
  EXPECT_TRUE(eventsOn());
}

TEST_F(AppEventsTest, ClosingWithUnexportedDataAsksOnceAndCancelKeepsTheWorkbookOpen) {
  start(kDataExchange);
  typed(sheet, u"C1", 7);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 21);
  book.setProperty(dispid::workbook::Saved, Variant::boolean(false));

  boxAnswer = IDCANCEL;
  VARIANT_BOOL cancel = VARIANT_FALSE;
  EXPECT_EQ(raiseClose(book, cancel), S_OK);
  EXPECT_EQ(cancel, VARIANT_TRUE);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxStyles[0], unsigned(MB_ICONWARNING | MB_YESNOCANCEL));
  // The workbook stays open: Excel's events and alerts are as they were.
  EXPECT_TRUE(eventsOn());
  EXPECT_TRUE(excel.state(dispid::application::DisplayAlerts).toBoolean());

  // Yes exports (the file chosen in the dialog); the close then goes on without a further question.
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  exportFile = std::u16string(reinterpret_cast<const char16_t*>(folder)) + u"app_events_export.dat";
  DeleteFileW(reinterpret_cast<const wchar_t*>(exportFile.c_str()));
  boxAnswer = IDYES;
  cancel = VARIANT_FALSE;
  raiseClose(book, cancel);
  EXPECT_EQ(cancel, VARIANT_FALSE);
  EXPECT_EQ(GetFileAttributesW(reinterpret_cast<const wchar_t*>(exportFile.c_str())) !=
                INVALID_FILE_ATTRIBUTES,
            true);
  DeleteFileW(reinterpret_cast<const wchar_t*>(exportFile.c_str()));
  size_t questions = 0;
  for (unsigned style : boxStyles)
    questions += (style & 0xF) == MB_YESNOCANCEL;
  EXPECT_EQ(questions, 2u);
  // The application's workbook closes: the runtime leaves Excel's events off.
  EXPECT_FALSE(eventsOn());
  EXPECT_FALSE(excel.state(dispid::application::DisplayAlerts).toBoolean());

  // After the export nothing is asked.
  excel.setState(dispid::application::EnableEvents, Variant::boolean(true));
  cancel = VARIANT_FALSE;
  raiseClose(book, cancel);
  EXPECT_EQ(cancel, VARIANT_FALSE);
  questions = 0;
  for (unsigned style : boxStyles)
    questions += (style & 0xF) == MB_YESNOCANCEL;
  EXPECT_EQ(questions, 2u);
}

TEST_F(AppEventsTest, ClosingAnotherWorkbookKeepsChangeReportingOn) {
  start(kDataExchange);
  typed(sheet, u"C1", 7);
  book.setProperty(dispid::workbook::Saved, Variant::boolean(false));
  WorkbookObject& other = excel.addWorkbook(u"Other.xlsx");
  VARIANT_BOOL cancel = VARIANT_FALSE;
  raiseClose(other, cancel);
  EXPECT_EQ(cancel, VARIANT_FALSE);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(eventsOn());
  EXPECT_TRUE(excel.state(dispid::application::DisplayAlerts).toBoolean());
  typed(sheet, u"C1", 8);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 24);
}

TEST_F(AppEventsTest, SavingWithoutSaveIntoTheExecutableWarnsAndSavesNothing) {
  start(kDataExchange);
  VARIANT_BOOL cancel = VARIANT_FALSE;
  EXPECT_EQ(raiseSave(book, false, cancel), S_OK);
  EXPECT_EQ(cancel, VARIANT_TRUE);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find(u"Quotes"), std::u16string::npos);
  EXPECT_EQ(boxStyles[0], unsigned(MB_ICONWARNING | MB_OK));
  EXPECT_EQ(excel.log().count(dispid::workbook::Save), 0u);
  EXPECT_TRUE(eventsOn());
  // Another workbook is Excel's to save.
  WorkbookObject& other = excel.addWorkbook(u"Other.xlsx");
  cancel = VARIANT_FALSE;
  raiseSave(other, false, cancel);
  EXPECT_EQ(cancel, VARIANT_FALSE);
  EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(AppEventsTest, SaveAsWithSaveIntoTheExecutableIsTheRuntimesOwn) {
  start(kSaveIntoExe);
  VARIANT_BOOL cancel = VARIANT_FALSE;
  raiseSave(book, true, cancel);
  EXPECT_EQ(cancel, VARIANT_TRUE);
  EXPECT_TRUE(eventsOn());
}

TEST_F(AppEventsTest, ANewSheetTakesItsPlaceInTheModel) {
  start(0);
  EXPECT_EQ(cell(1, 0, 0), u"<none>");
  WorksheetObject& added = book.addSheet(u"Extra");
  EXPECT_EQ(excel.app().raiseEvent(0x0625, {objectArgument(&book), objectArgument(&added)}), S_OK);
  typed(added, u"A1", 9);
  EXPECT_EQ(cell(1, 0, 0), u"9");
  // A sheet of another workbook is none of the model's.
  WorkbookObject& other = excel.addWorkbook(u"Other.xlsx");
  WorksheetObject& foreign = other.addSheet(u"More");
  excel.app().raiseEvent(0x0625, {objectArgument(&other), objectArgument(&foreign)});
  EXPECT_EQ(cell(2, 0, 0), u"<none>");
}

TEST_F(AppEventsTest, ASheetInsertedBeforeOthersMovesThemWithTheirUndoEntries) {
  start(0);
  auto recordNext = moduleEntry<int32_t WINAPI()>(module, "DummyFunc6");
  auto undo = moduleEntry<int32_t WINAPI()>(module, "DummyFunc4");
  ASSERT_TRUE(recordNext && undo);
  recordNext();
  typed(sheet, u"C1", 7);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 21);
  WorksheetObject& front = book.addSheet(u"Front", 1);
  EXPECT_EQ(excel.app().raiseEvent(0x0625, {objectArgument(&book), objectArgument(&front)}), S_OK);
  EXPECT_EQ(cell(1, 0, 2), u"7"); // Data!C1, now the second sheet's
  EXPECT_EQ(cell(0, 0, 2), u"<none>");
  // Recalculated values go to Data, not to the sheet now at Data's old position.
  typed(sheet, u"C1", 2);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 6);
  EXPECT_TRUE(front.value(u"D1").isEmpty());
  typed(front, u"A1", 9);
  EXPECT_EQ(cell(0, 0, 0), u"9");
  // The undo entry recorded before the insertion puts Data!C1 back.
  EXPECT_EQ(undo(), 0);
  EXPECT_EQ(sheet.value(u"C1").toDouble(), 5);
  EXPECT_TRUE(front.value(u"C1").isEmpty());
}

TEST_F(AppEventsTest, AControlTakesItsLinkedCellOrThoseOfItsWholeGroup) {
  start(0);
  std::u16string check = u"Check1", option = u"Option2", unknown = u"Nothing";
  sheet.set(u"C1", Variant::number(2));
  sheet.set(u"E1", Variant::number(4));
  send(1153, WPARAM(check.c_str()), 0);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 6);
  EXPECT_EQ(sheet.value(u"F1").toDouble(), 0); // E1 is not Check1's cell
  // A button of a group takes every button's cell; E1, new to the model, counts as changed.
  send(1153, WPARAM(option.c_str()), 0);
  EXPECT_EQ(sheet.value(u"F1").toDouble(), 5);
  const size_t before = recalculations();
  send(1153, WPARAM(unknown.c_str()), 0);
  EXPECT_EQ(recalculations(), before);
  // Calculating manually, the value is taken without a recalculation.
  excel.setState(dispid::application::Calculation, Variant::integer(-4135));
  sheet.set(u"C1", Variant::number(3));
  send(1153, WPARAM(check.c_str()), 0);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 6);
  EXPECT_EQ(cell(0, 0, 2), u"3");
}

} // namespace
