// Excel's application events and the runtime's DDE client, with the runtime module loaded into a
// process that plays Excel: the double raises the events at the runtime's sink, and a DDE server on a
// thread of this process answers the workbook's DDE references and announces changes of its items.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include <ddeml.h>

#include "compiler/text_workbook.h"
#include "compiler/workbook_compiler.h"
#include "excel/excel_members.h"
#include "excel/excel_objects.h"
#include "excel_double/excel_double.h"
#include "excel_double/host_messages.h"
#include "formula/compiled_workbook.h"
#include "formula/reference_nodes.h"
#include "formula/workbook_stream.h"
#include "runtime/section_key.h"
#include "runtime/win32/runtime_testing.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

// ------------------------------------------------------------------ the DDE server

constexpr UINT kPostAdvise = WM_APP + 1; // lParam: the item's index in kItems
const wchar_t* const kItems[] = {L"Apple", L"Pear", L"Plum"};
const wchar_t* const kTopics[] = {L"Prices", L"Fruit", L"Fruit"}; // the topic of each item

// What the server holds and counts; its callback runs on the server thread.
struct DdeServerState {
  std::mutex lock;
  std::map<std::wstring, std::string> values;
  std::atomic<int> connects{0};
  std::atomic<int> adviseStarts{0};
  DWORD instance = 0;
} server;

HDDEDATA CALLBACK serverCallback(UINT type, UINT format, HCONV, HSZ topic, HSZ item, HDDEDATA, ULONG_PTR,
                                 ULONG_PTR) {
  wchar_t text[64] = {};
  switch (type) {
  case XTYP_CONNECT:
    DdeQueryStringW(server.instance, topic, text, 64, CP_WINUNICODE);
    if (std::wstring(text) != L"Prices" && std::wstring(text) != L"Fruit") return nullptr;
    ++server.connects;
    return HDDEDATA(TRUE);
  case XTYP_ADVSTART:
    ++server.adviseStarts;
    return HDDEDATA(TRUE);
  case XTYP_ADVSTOP:
    return nullptr;
  case XTYP_REQUEST:
  case XTYP_ADVREQ: {
    if (format != CF_TEXT) return nullptr;
    DdeQueryStringW(server.instance, item, text, 64, CP_WINUNICODE);
    std::lock_guard<std::mutex> guard(server.lock);
    auto it = server.values.find(text);
    if (it == server.values.end()) return nullptr;
    return DdeCreateDataHandle(server.instance, LPBYTE(it->second.c_str()), DWORD(it->second.size() + 1), 0,
                               item, CF_TEXT, 0);
  }
  default:
    return nullptr;
  }
}

// The server: registers the service "CwbkQuotes" on this thread, whose message loop serves it (the
// runtime's synchronous transactions run that loop while they wait).
class DdeServer {
public:
  DdeServer() {
    server.instance = 0;
    DdeInitializeW(&server.instance, serverCallback, APPCLASS_STANDARD | CBF_SKIP_ALLNOTIFICATIONS, 0);
    service_ = DdeCreateStringHandleW(server.instance, L"CwbkQuotes", CP_WINUNICODE);
    DdeNameService(server.instance, service_, nullptr, DNS_REGISTER);
  }
  ~DdeServer() {
    DdeNameService(server.instance, service_, nullptr, DNS_UNREGISTER);
    DdeFreeStringHandle(server.instance, service_);
    DdeUninitialize(server.instance);
  }
  void set(const wchar_t* item, std::string value) {
    std::lock_guard<std::mutex> guard(server.lock);
    server.values[item] = std::move(value);
  }
  // Announces a change of the item to the advise loops.
  void postAdvise(int item) {
    HSZ topic = DdeCreateStringHandleW(server.instance, kTopics[item], CP_WINUNICODE);
    HSZ name = DdeCreateStringHandleW(server.instance, kItems[item], CP_WINUNICODE);
    DdePostAdvise(server.instance, topic, name);
    DdeFreeStringHandle(server.instance, name);
    DdeFreeStringHandle(server.instance, topic);
  }

private:
  HSZ service_ = nullptr;
};

// ------------------------------------------------------------------ the runtime in the double

std::vector<std::u16string> boxes;
std::vector<unsigned> boxStyles;
int boxAnswer = IDYES;
std::u16string exportFile;

int recordBox(HWND, const char16_t* text, const char16_t*, unsigned style) {
  boxes.emplace_back(text);
  boxStyles.push_back(style);
  return (style & 0xF) == MB_OK ? IDOK : boxAnswer;
}
void recordEnd(unsigned) {}
bool chooseExportFile(HWND, bool, const char16_t*, const char16_t*, char16_t* path, unsigned capacity) {
  if (exportFile.size() >= capacity) return false;
  std::copy(exportFile.begin(), exportFile.end(), path);
  path[exportFile.size()] = 0;
  return true;
}
bool chooseNoColor(HWND, unsigned*) {
  return false;
}

template <class F> F* entry(HMODULE module, const char* name) {
  return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A1 (volatile, so that the first evaluation reads it) reads a DDE item of the service CwbkQuotes when
// the scenario asks for one; B1 computes from A1, D1 from the typed C1, F1 from E1, which holds nothing yet.
// The workbook links to C:\Books\Linked.xlsx; the option buttons Option1 and Option2 of one group set C1 and
// E1, the check box Check1 sets C1.
constexpr char kWorkbook[] = R"([sheets]
Data

[cells]
Data!A1: =Z1
Data!B1: =A1*2
Data!C1: 5
Data!D1: =C1*3
Data!F1: =E1+1

[flags]
Data!A1: volatile
)";

class AppEventsTest : public ::testing::Test {
protected:
  ExcelDouble excel;
  WorkbookObject& book = excel.addWorkbook(u"Book1.xlsx", {u"Data"});
  WorksheetObject& sheet = book.sheet(1);
  HMODULE module = nullptr;
  RuntimeTestCellTextFn* cellText = nullptr;
  std::string keyFile;

  // Starts the runtime as the application does, with the settings flags; A1 reads the DDE item of
  // that index in kItems (none when negative).
  void start(uint16_t flags, int ddeItem = -1) {
    boxes.clear();
    boxStyles.clear();
    boxAnswer = IDYES;
    module = LoadLibraryW(L"DaverirIzaTesting.dll");
    ASSERT_NE(module, nullptr);
    entry<RuntimeTestSetEffectsFn>(module, "RuntimeTestSetEffects")(recordBox, recordEnd);
    entry<RuntimeTestSetDialogsFn>(module, "RuntimeTestSetDialogs")(chooseExportFile, chooseNoColor);
    cellText = entry<RuntimeTestCellTextFn>(module, "RuntimeTestCellText");
    ASSERT_NE(cellText, nullptr);
    sheet.set(u"C1", Variant::number(5));
    sheet.set(u"D1", Variant::number(15));
    sendBuffer(1155, settingsBlock(flags, u"Quotes"));
    const SectionKey key = writeKeyFile();
    sendText(1166, std::u16string(keyFile.begin(), keyFile.end()));
    for (Bytes& chunk : compiler::streamToChunks(workbookStream(ddeItem))) {
      key.combineBlock(chunk);
      sendBuffer(1157, chunk);
    }
    send(1157, 0, 0);
    send(1152, WPARAM(excel.application()), 0);
    send(1167, 0, 0);
  }

  void TearDown() override {
    if (module) FreeLibrary(module);
    if (!keyFile.empty()) std::remove(keyFile.c_str());
  }

  Bytes workbookStream(int ddeItem) {
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
    if (ddeItem >= 0) {
      DdeSource dde;
      dde.application = u"CwbkQuotes";
      dde.topic = reinterpret_cast<const char16_t*>(kTopics[ddeItem]);
      dde.items.push_back({std::u16string(reinterpret_cast<const char16_t*>(kItems[ddeItem])), {}});
      workbook.ddeSources().push_back(dde);
      Cell* cell = workbook.findCell(CellAddress::make(0, 0, 0));
      workbook.formulaTemplates()[size_t(cell->templateIndex())] = new DdeRefNode(workbook, 0, 0);
    }
    Bytes stream;
    writeWorkbook(workbook, stream);
    return stream;
  }

  SectionKey writeKeyFile() {
    const std::string first = "events code", second = "events data";
    const Bytes image = keySourceImage(first, second);
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    keyFile = std::string(folder) + "app_events_key_" + std::to_string(GetCurrentProcessId()) + ".exe";
    std::ofstream(keyFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    return SectionKey::fromSections({reinterpret_cast<const uint8_t*>(first.data()), first.size()},
                                    {reinterpret_cast<const uint8_t*>(second.data()), second.size()});
  }

  LRESULT send(UINT msg, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(excel.mainWindow(), msg, wParam, lParam);
  }
  void sendBuffer(UINT msg, const Bytes& bytes) {
    void* p =
        VirtualAlloc(nullptr, std::max<size_t>(bytes.size(), 1), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    memcpy(p, bytes.data(), bytes.size());
    send(msg, WPARAM(p), LPARAM(bytes.size()));
  }
  void sendText(UINT msg, std::u16string_view text) {
    void* p = VirtualAlloc(nullptr, text.size() * 2 + 2, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    memcpy(p, text.data(), text.size() * 2);
    send(msg, WPARAM(p), LPARAM(text.size()));
  }

  std::u16string cell(uint32_t sheetIndex, uint32_t row, uint32_t column) {
    char16_t text[128] = {};
    return cellText(sheetIndex, row, column, text, 128) < 0 ? u"<none>" : std::u16string(text);
  }

  // The user typed into a cell of the application's sheet (Excel's sheet-change message).
  void typed(WorksheetObject& target, std::u16string_view a1, double value) {
    target.set(a1, Variant::number(value));
    WorksheetWrapper sheetWrapper(static_cast<IDispatch*>(&target));
    RangeWrapper range = sheetWrapper.range(a1);
    send(1282, WPARAM(sheetWrapper.get()), LPARAM(range.get()));
  }

  // Lets this thread's messages run until the test holds or about two seconds have passed.
  template <class Test> bool pumpUntil(Test test) {
    for (int round = 0; round < 200; ++round) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (test()) return true;
      Sleep(10);
    }
    return false;
  }

  bool eventsOn() { return excel.state(dispid::application::EnableEvents).toBoolean(); }
  size_t recalculations() { return excel.log().count(dispid::application::CalculateFull); }

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
  auto recordNext = entry<int32_t WINAPI()>(module, "DummyFunc6");
  auto undo = entry<int32_t WINAPI()>(module, "DummyFunc4");
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

// Under Wine, a conversation of a client and a server in one process answers its first request only:
// each scenario therefore reads one item once.
class DdeTest : public AppEventsTest {
protected:
  void SetUp() override {
    quotes.set(L"Apple", "12");
    quotes.set(L"Pear", "12.5\r\n");
    quotes.set(L"Plum", "ripe");
    server.connects = 0;
    server.adviseStarts = 0;
  }
  DdeServer quotes;
};

TEST_F(DdeTest, AnItemIsReadThroughAConversationWithItsAdviseLoop) {
  start(0, 0);
  EXPECT_EQ(server.connects.load(), 1);
  EXPECT_EQ(server.adviseStarts.load(), 1);
  EXPECT_EQ(cell(0, 0, 0), u"12");
  EXPECT_EQ(cell(0, 0, 1), u"24");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 24);
}

TEST_F(DdeTest, AnItemWithAFractionIsANumberWithoutItsLineEnd) {
  start(0, 1);
  EXPECT_EQ(cell(0, 0, 0), u"12.5");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 25);
}

TEST_F(DdeTest, AnItemThatIsNoNumberStaysText) {
  start(0, 2);
  EXPECT_EQ(cell(0, 0, 0), u"ripe");
  EXPECT_EQ(sheet.value(u"A1").toText(), u"ripe");
}

TEST_F(DdeTest, AnAnnouncedChangeRecalculatesItsReaders) {
  start(0, 0);
  const size_t before = recalculations();
  quotes.set(L"Apple", "20");
  quotes.postAdvise(0);
  EXPECT_TRUE(pumpUntil([&] { return recalculations() > before; }));
  EXPECT_TRUE(eventsOn());
}

TEST_F(DdeTest, AChangeWhileExcelCalculatesManuallyOrWithoutEventsChangesNothing) {
  start(0, 0);
  excel.setState(dispid::application::Calculation, Variant::integer(-4135));
  const size_t before = recalculations();
  quotes.set(L"Apple", "30");
  quotes.postAdvise(0);
  pumpUntil([] { return false; });
  EXPECT_EQ(recalculations(), before);
  excel.setState(dispid::application::Calculation, Variant::integer(-4105));
  excel.setState(dispid::application::EnableEvents, Variant::boolean(false));
  quotes.postAdvise(0);
  pumpUntil([] { return false; });
  EXPECT_EQ(recalculations(), before);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 24);
}

} // namespace
