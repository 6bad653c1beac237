// The runtime module inside a process that plays Excel and the application executable: the double's
// hidden "XLMAIN" window with the watched children and a worksheet window, the testing build of the
// module loaded with LoadLibrary, and the host messages sent as the application sends them. Every
// buffer is allocated here with VirtualAlloc, so each scenario checks which ones the runtime freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "compiler/text_workbook.h"
#include "compiler/workbook_compiler.h"
#include "excel/excel_members.h"
#include "excel/excel_objects.h"
#include "excel_double/command_bars.h"
#include "excel_double/excel_double.h"
#include "excel_double/host_messages.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/compressed_block.h"
#include "runtime/encoded_strings.h"
#include "runtime/pe_resources.h"
#include "runtime/saved_executable.h"
#include "runtime/section_key.h"
#include "runtime/win32/registrar.h"
#include "runtime/win32/runtime_testing.h"
#include "values/conversions.h"

using namespace cwbk;
using namespace cwbk::testing;

// Excel's C API as the main module exports it: each call recorded with its arguments as texts.
struct CApiCall {
  int function;
  std::vector<std::string> arguments; // texts as they are, "<nil>" and "<number>" for the others
};
std::vector<CApiCall> capiCalls;

extern "C" __declspec(dllexport) int WINAPI
    MdCallBack(int function, int count, XlOper** arguments, XlOper* result) {
  CApiCall call{function, {}};
  for (int i = 0; i < count; ++i) {
    const XlOper* a = arguments[i];
    call.arguments.push_back(a->type == 0x0002
                                 ? std::string(reinterpret_cast<char*>(a->value.text + 1), a->value.text[0])
                             : a->type == 0x0001                      ? "<number>"
                             : a->type == 0x0008 || a->type == 0x0400 ? "<reference>"
                                                                      : "<nil>");
  }
  capiCalls.push_back(call);
  if (function == 0x4005 && result) { // xlSheetNm: the name with its workbook, in memory of its own
    static unsigned char name[] = "\x0f[Book.xlsx]Data";
    result->type = 0x0002;
    result->value.text = name;
  }
  if (function == 267 && result) { // xlfRegisterId: a registration id
    result->type = 0x0001;
    result->value.number = 1000 + double(capiCalls.size());
  }
  return 0;
}

namespace {

std::vector<std::u16string> messageBoxes;
std::vector<std::u16string> messageBoxCaptions;
std::vector<unsigned> endedProcesses;

std::vector<unsigned> messageBoxStyles;
int messageBoxAnswer = IDYES; // the button the recorded user chooses where there is a choice

int recordMessageBox(HWND, const char16_t* text, const char16_t* caption, unsigned style) {
  messageBoxes.emplace_back(text);
  messageBoxCaptions.emplace_back(caption);
  messageBoxStyles.push_back(style);
  return (style & 0xF) == MB_OK ? IDOK : messageBoxAnswer;
}
void recordEndProcess(unsigned code) {
  endedProcesses.push_back(code);
}
std::vector<std::u16string> startedProcesses; // command lines
bool recordStartProcess(const char16_t*, const char16_t* commandLine) {
  startedProcesses.emplace_back(commandLine);
  return true;
}

// The formulas' values come with the stream as Excel had them; the volatile D1 has none until the ready
// step's first evaluation.
constexpr char kWorkbook[] = R"([sheets]
Data

[cells]
Data!A1: 21
Data!B1: =A1*2
Data!C1: ="n="&B1
Data!A2: 0.5
Data!B2: =SUM(A1:A2)
Data!B3: =A1>20
Data!D1: =A1+1
Data!E1: =INFO("appname")&" "&INFO("appver")

[flags]
Data!D1: volatile
Data!E1: volatile

[cached]
Data!B1: 42
Data!C1: n=42
Data!B2: 21.5
Data!B3: TRUE
)";

// A compressed block of UTF-16 text, as the language messages carry it.
Bytes textBlock(std::u16string_view text) {
  Bytes bytes;
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  return CompressedBlock::write(bytes.data(), bytes.size());
}

LRESULT CALLBACK childProcedure(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  return DefWindowProcW(w, m, wp, lp);
}

HWND createChild(HWND parent, const wchar_t* className) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = childProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className;
  RegisterClassW(&windowClass); // fails harmlessly when registered before
  return CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, 10, 10, parent, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

// Returns an export of the module as a function pointer of type F; null when it is missing.
template <class F> F* entry(HMODULE module, const char* name) {
  return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool isFreed(void* allocation) {
  MEMORY_BASIC_INFORMATION info{};
  return VirtualQuery(allocation, &info, sizeof info) == sizeof info && info.State == MEM_FREE;
}

class RuntimeHostTest : public ::testing::Test {
protected:
  ExcelDouble excel;
  WorkbookObject& book = excel.addWorkbook(u"Book1.xlsx", {u"Data"});
  HWND main = excel.mainWindow();
  HWND editChild = nullptr, nameChild = nullptr, desk = nullptr, sheetWindow = nullptr;
  HMODULE module = nullptr;
  RuntimeTestQueryFn* query = nullptr;
  RuntimeTestCellTextFn* cellText = nullptr;
  RuntimeTestFunctionNameFn* functionName = nullptr;
  int32_t(WINAPI* dummyFunc9)(int32_t, int32_t, int32_t) = nullptr;
  std::vector<void*> allocations;
  std::string keyFile;

  void SetUp() override {
    messageBoxes.clear();
    messageBoxCaptions.clear();
    messageBoxStyles.clear();
    messageBoxAnswer = IDYES;
    endedProcesses.clear();
    startedProcesses.clear();
    ASSERT_NE(main, nullptr);
    editChild = createChild(main, L"XLCELLEDIT");
    nameChild = createChild(main, L"XLNAMEBOX");
    desk = createChild(main, L"XLDESK");
    sheetWindow = createChild(desk, L"EXCEL7");
    module = LoadLibraryW(L"DaverirIzaTesting.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    auto setEffects = entry<RuntimeTestSetEffectsFn>(module, "RuntimeTestSetEffects");
    query = entry<RuntimeTestQueryFn>(module, "RuntimeTestQuery");
    cellText = entry<RuntimeTestCellTextFn>(module, "RuntimeTestCellText");
    functionName = entry<RuntimeTestFunctionNameFn>(module, "RuntimeTestFunctionName");
    dummyFunc9 = entry<int32_t WINAPI(int32_t, int32_t, int32_t)>(module, "DummyFunc9");
    ASSERT_TRUE(setEffects && query && cellText && functionName && dummyFunc9);
    setEffects(recordMessageBox, recordEndProcess);
    entry<RuntimeTestSetStarterFn>(module, "RuntimeTestSetStarter")(recordStartProcess);
  }

  void TearDown() override {
    if (module) FreeLibrary(module);
    std::setlocale(LC_ALL, "C"); // the module shares the C runtime's locale with this process
    for (HWND w : {sheetWindow, desk, nameChild, editChild})
      if (w) DestroyWindow(w);
    if (!keyFile.empty()) std::remove(keyFile.c_str());
    // Buffers the runtime rightly refused are the sender's to free.
    for (void* p : allocations)
      if (!isFreed(p)) VirtualFree(p, 0, MEM_RELEASE);
  }

  RuntimeTestState state() {
    RuntimeTestState s{};
    s.size = sizeof s;
    EXPECT_EQ(query(&s), 1);
    return s;
  }

  std::u16string cell(uint32_t row, uint32_t column) {
    char16_t text[128] = {};
    return cellText(0, row, column, text, 128) < 0 ? u"<none>" : std::u16string(text);
  }

  // Copies bytes into a fresh allocation of the given size (at least one page) and returns it.
  void* allocate(const void* data, size_t bytes, size_t allocationSize = 0) {
    void* p = VirtualAlloc(nullptr, std::max<size_t>({bytes, allocationSize, 1}), MEM_COMMIT | MEM_RESERVE,
                           PAGE_READWRITE);
    EXPECT_NE(p, nullptr);
    if (bytes) std::memcpy(p, data, bytes);
    allocations.push_back(p);
    return p;
  }

  LRESULT send(UINT msg, WPARAM wParam, LPARAM lParam) { return SendMessageW(main, msg, wParam, lParam); }

  std::u16string nameOfFunction(int32_t number) {
    char16_t text[64] = {};
    return functionName(number, text, 64) < 0 ? u"<none>" : std::u16string(text);
  }

  // Sends a buffer message and returns whether the runtime freed the buffer.
  bool sendBuffer(UINT msg, const Bytes& bytes) {
    void* p = allocate(bytes.data(), bytes.size());
    send(msg, WPARAM(p), LPARAM(bytes.size()));
    return isFreed(p);
  }
  // Sends a text message (lParam counts UTF-16 units, no terminator); returns whether it was freed.
  bool sendText(UINT msg, std::u16string_view text) {
    std::u16string filled(text);
    filled += u"GARBAGE"; // what follows the counted units is not part of the text
    void* p = allocate(filled.data(), filled.size() * 2);
    send(msg, WPARAM(p), LPARAM(text.size()));
    return isFreed(p);
  }

  SectionKey writeKeyFile() {
    const std::string first = "the code section", second = "the read-only data";
    const Bytes image = keySourceImage(first, second);
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    char narrowFolder[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, folder, -1, narrowFolder, MAX_PATH, nullptr, nullptr);
    keyFile =
        std::string(narrowFolder) + "runtime_key_source_" + std::to_string(GetCurrentProcessId()) + ".exe";
    std::ofstream(keyFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    return SectionKey::fromSections({reinterpret_cast<const uint8_t*>(first.data()), first.size()},
                                    {reinterpret_cast<const uint8_t*>(second.data()), second.size()});
  }
  std::u16string keyFilePath() const { return std::u16string(keyFile.begin(), keyFile.end()); }

  // The compiled workbook as chunks combined with the key, as the application sends them.
  std::vector<Bytes> workbookChunks(const SectionKey& key, size_t chunkSize = 64) {
    const Bytes stream = compiler::compileToStream(compiler::readTextWorkbook(kWorkbook));
    std::vector<Bytes> chunks = compiler::streamToChunks(stream, chunkSize);
    for (Bytes& chunk : chunks)
      key.combineBlock(chunk);
    return chunks;
  }
};

TEST_F(RuntimeHostTest, StartUpLoadsTheWorkbookAndShutdownPutsBackWhatAttachChanged) {
  // Excel opened the workbook with the values it was saved with; the volatile D1 was saved empty.
  WorksheetObject& sheet = book.sheet(1);
  sheet.set(u"A1", Variant::number(21));
  sheet.set(u"B1", Variant::number(42));
  sheet.set(u"C1", Variant::text(u"n=42"));
  sheet.set(u"A2", Variant::number(0.5));
  sheet.set(u"B2", Variant::number(21.5));
  sheet.set(u"B3", Variant::boolean(true));
  RuntimeTestState s = state();
  EXPECT_EQ(s.mainWindowFound, 1);
  EXPECT_EQ(s.watchedChildren, 2);

  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0x0040, u"Loan planner")));
  const SectionKey key = writeKeyFile();
  const std::vector<Bytes> chunks = workbookChunks(key);
  ASSERT_GE(chunks.size(), 2u);
  // The first chunk arrives before the key and is decoded once the key is there.
  EXPECT_TRUE(sendBuffer(1157, chunks[0]));
  EXPECT_TRUE(sendText(1166, keyFilePath()));
  for (size_t i = 1; i < chunks.size(); ++i)
    EXPECT_TRUE(sendBuffer(1157, chunks[i])) << i;
  send(1157, 0, 0);
  EXPECT_TRUE(sendText(1165, u"C:\\Books\\Loan.xlsx"));
  // The application's executable gives its icon to the worksheet window.
  EXPECT_TRUE(sendText(1160, u"C:\\windows\\notepad.exe"));
  send(1152, WPARAM(excel.application()), 0);
  EXPECT_EQ(cell(0, 3), u"<none>");
  send(1167, 0, 0);

  s = state();
  EXPECT_EQ(s.settingsArrived, 1);
  EXPECT_EQ(s.settingsFlags, 0x0040u);
  EXPECT_EQ(s.appVersion, 0x01020300u);
  EXPECT_EQ(std::u16string(s.appName), u"Loan planner");
  EXPECT_EQ(std::u16string(s.workbookFile), u"C:\\Books\\Loan.xlsx");
  EXPECT_EQ(s.keyLength, 64);
  EXPECT_EQ(s.streamEnded, 1);
  EXPECT_EQ(s.modelLoaded, 1);
  EXPECT_EQ(s.modelPrepared, 1);
  EXPECT_EQ(s.connected, 1);
  EXPECT_EQ(s.majorVersion, 16);
  EXPECT_EQ(s.sheetWindows, 1);
  EXPECT_EQ(cell(0, 1), u"42");
  EXPECT_EQ(cell(0, 2), u"n=42");
  EXPECT_EQ(cell(1, 1), u"21.5");
  EXPECT_EQ(cell(2, 1), u"TRUE");
  EXPECT_EQ(cell(0, 3), u"22");
  EXPECT_EQ(cell(0, 4), u"Loan planner 1.2.3"); // the application's own name and version
  EXPECT_EQ(s.adapterConnected, 1);
  EXPECT_EQ(s.appIcon, 1);
  EXPECT_NE(SendMessageW(sheetWindow, WM_GETICON, ICON_BIG, 0), 0);
  // Every formula's value stands in Excel's cells: the ones saved with the workbook, and the volatile
  // one that the first evaluation computed, written by the adapter.
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 42);
  EXPECT_EQ(sheet.value(u"C1").toText(), u"n=42");
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 21.5);
  EXPECT_TRUE(sheet.value(u"B3").toBoolean());
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 22);
  // Kept hidden for the application, without a start-up macro: the ready step shows Excel.
  EXPECT_TRUE(excel.state(dispid::application::Visible).toBoolean());

  // Attach read DefaultSaveFormat and IgnoreRemoteRequests and changed them; the orderly shutdown
  // (command 13) puts them back, quits and ends the process.
  EXPECT_EQ(excel.log().count(dispid::application::DefaultSaveFormat, CallLog::Kind::Put), 1u);
  EXPECT_TRUE(excel.state(dispid::application::IgnoreRemoteRequests).toBoolean());
  EXPECT_EQ(send(1173, 13, 0), 1911);
  EXPECT_EQ(state().shutDown, 1);
  EXPECT_EQ(excel.state(dispid::application::DefaultSaveFormat).toInteger(), 51);
  EXPECT_FALSE(excel.state(dispid::application::IgnoreRemoteRequests).toBoolean());
  EXPECT_FALSE(excel.state(dispid::application::EnableEvents).toBoolean());
  EXPECT_EQ(excel.quitCalls, 1);
  EXPECT_EQ(endedProcesses, std::vector<unsigned>{0});
  EXPECT_TRUE(messageBoxes.empty());

  // After shutdown the handlers do nothing but still free their buffers.
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0x0001, u"Other")));
  EXPECT_EQ(state().settingsFlags, 0x0040u);
}

TEST_F(RuntimeHostTest, UntrustedPayloadsAreIgnoredAndOnlyTheSendersAllocationsFreed) {
  // Settings headers of every kind of size: nothing read beyond the block, each buffer freed.
  for (uint16_t size : {0, 1, 2, 23, 24, 28, 72, 80, 90, 103, 104, 105, 0x7FFF, 0xFFFF}) {
    Bytes block = settingsBlock(0x0001, u"Name");
    block[0] = uint8_t(size);
    block[1] = uint8_t(size >> 8);
    block[26] = 0xFF; // a name longer than the block
    put32(block, 32, 0xFFFFFFF0);
    EXPECT_TRUE(sendBuffer(1155, block)) << size;
  }
  for (size_t cut : {0, 1, 3, 27}) {
    Bytes block = settingsBlock(0x0001, u"Name");
    block.resize(cut);
    EXPECT_TRUE(sendBuffer(1155, block)) << cut;
  }

  // wParam and lParam that do not describe a whole allocation of this process: ignored, not freed.
  Bytes good = settingsBlock(0x0010, u"Valid");
  char* base = static_cast<char*>(allocate(good.data(), good.size()));
  uint8_t onStack[128] = {};
  struct Case {
    const char* what;
    WPARAM wParam;
    LPARAM lParam;
  } refused[] = {
      {"inside an allocation", WPARAM(base + 16), 16},
      {"longer than the allocation", WPARAM(base), 1 << 20},
      {"negative length", WPARAM(base), -1},
      {"stack memory", WPARAM(onStack), sizeof onStack},
      {"an address nobody allocated", WPARAM(0x10), 8},
      {"this module's image", WPARAM(GetModuleHandleW(nullptr)), 64},
  };
  for (const Case& c : refused) {
    send(1155, c.wParam, c.lParam);
    EXPECT_FALSE(isFreed(base)) << c.what;
    EXPECT_NE(state().settingsFlags, 0x0010u) << c.what;
  }
  send(1155, 0, 0); // no data came
  EXPECT_EQ(state().shutDown, 0);
  EXPECT_TRUE(sendBuffer(1155, good));
  EXPECT_EQ(state().settingsFlags, 0x0010u);

  // A text without a terminator is read with exactly lParam units.
  EXPECT_TRUE(sendText(1165, u"C:\\x.xlsx"));
  EXPECT_EQ(std::u16string(state().workbookFile), u"C:\\x.xlsx");
  // A text length whose byte count exceeds the allocation is refused.
  void* text = allocate(u"abc", 6);
  send(1165, WPARAM(text), 4096);
  EXPECT_FALSE(isFreed(text));

  // The macros' export refuses buffer messages (it would let a macro free any address) and forwards
  // the others; unknown numbers go on to Excel.
  void* viaMacro = allocate(good.data(), good.size());
  EXPECT_EQ(dummyFunc9(1155, int32_t(intptr_t(viaMacro)), int32_t(good.size())), 0);
  EXPECT_FALSE(isFreed(viaMacro));
  EXPECT_EQ(dummyFunc9(1173, 2, 0), 1911);
  dummyFunc9(1159, 0, 7);
  EXPECT_EQ(state().languageId, 7);
  EXPECT_EQ(send(1200, 1, 2), 0);
  EXPECT_EQ(send(1280, 3, LPARAM(u"Ignored")), 0);
  send(1280, 1, LPARAM(u"Startup"));
  EXPECT_EQ(std::u16string(state().startupMacro1), u"Startup");
  send(1280, 1, 0x10); // an address that cannot be read leaves the name empty
  EXPECT_EQ(std::u16string(state().startupMacro1), u"");
  EXPECT_EQ(state().shutDown, 0);
  EXPECT_TRUE(messageBoxes.empty());
}

TEST_F(RuntimeHostTest, BadChunksLeaveAnEmptyModel) {
  const SectionKey key = writeKeyFile();
  EXPECT_TRUE(sendText(1166, keyFilePath()));
  const Bytes good = workbookChunks(key, 1 << 16)[0];
  Bytes wrongMagic = good;
  wrongMagic[0] ^= 0xFF;
  Bytes truncated(good.begin(), good.begin() + good.size() / 2);
  Bytes wrongKey = workbookChunks(SectionKey::fromSections({}, {}), 1 << 16)[0];
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"wrong magic", wrongMagic}, {"truncated", truncated}, {"wrong key", wrongKey}, {"empty", {}}};
  for (const auto& [what, chunk] : cases)
    EXPECT_TRUE(sendBuffer(1157, chunk)) << what;
  send(1157, 0, 0);
  send(1167, 0, 0);
  RuntimeTestState s = state();
  EXPECT_EQ(s.streamEnded, 1);
  EXPECT_EQ(s.modelLoaded, 0);
  EXPECT_EQ(cell(0, 1), u"<none>");
  // A chunk after the end of the stream is freed and changes nothing.
  EXPECT_TRUE(sendBuffer(1157, good));
  send(1157, 0, 0);
  EXPECT_EQ(state().modelLoaded, 0);
  EXPECT_EQ(s.shutDown, 0);
}

TEST_F(RuntimeHostTest, AttachRunsOnce) {
  // The start-up macro runs inside the attach step and attaches again (nested).
  int runs = 0;
  excel.macros[u"Startup"] = [&](std::span<const Variant>) {
    ++runs;
    send(1152, WPARAM(excel.application()), LPARAM(u"Startup"));
    return Variant();
  };
  send(1152, WPARAM(excel.application()), LPARAM(u"Startup"));
  EXPECT_EQ(runs, 1);
  send(1152, WPARAM(excel.application()), 0);
  send(1152, 0, 0);
  EXPECT_EQ(excel.log().count(dispid::application::DefaultSaveFormat, CallLog::Kind::Put), 1u);
  EXPECT_EQ(excel.log().count(dispid::application::IgnoreRemoteRequests, CallLog::Kind::Put), 1u);
  EXPECT_EQ(state().sheetWindows, 1);
  EXPECT_EQ(excel.quitCalls, 0);
}

TEST_F(RuntimeHostTest, UnloadPutsBackEveryWindowProcedure) {
  FreeLibrary(module);
  module = nullptr;
  const HWND windows[] = {main, editChild, nameChild, sheetWindow};
  std::vector<LONG_PTR> before;
  for (HWND w : windows)
    before.push_back(GetWindowLongPtrW(w, GWLP_WNDPROC));
  module = LoadLibraryW(L"DaverirIzaTesting.dll");
  ASSERT_NE(module, nullptr);
  entry<RuntimeTestSetEffectsFn>(module, "RuntimeTestSetEffects")(recordMessageBox, recordEndProcess);
  send(1152, WPARAM(excel.application()), 0);
  for (size_t i = 0; i < std::size(windows); ++i)
    EXPECT_NE(GetWindowLongPtrW(windows[i], GWLP_WNDPROC), before[i]) << i;
  FreeLibrary(module);
  module = nullptr;
  for (size_t i = 0; i < std::size(windows); ++i)
    EXPECT_EQ(GetWindowLongPtrW(windows[i], GWLP_WNDPROC), before[i]) << i;
  // The unload ended the runtime's life as the process end would (recorded here).
  EXPECT_EQ(endedProcesses.size(), 2u);
  EXPECT_EQ(SendMessageW(main, 1155, 0, 0), 0);
}

TEST_F(RuntimeHostTest, AFailingAttachShowsItsTextAndShutsDownWithoutQuittingExcel) {
  excel.failWith("Application", dispid::application::Version, E_FAIL);
  send(1152, WPARAM(excel.application()), 0);
  RuntimeTestState s = state();
  EXPECT_EQ(s.shutDown, 1);
  EXPECT_EQ(s.applicationAttached, 0);
  ASSERT_EQ(messageBoxes.size(), 1u);
  EXPECT_FALSE(messageBoxes[0].empty());
  EXPECT_EQ(messageBoxCaptions[0], u"Calculation runtime");
  EXPECT_EQ(excel.quitCalls, 0);
  EXPECT_TRUE(endedProcesses.empty());
  // Nothing was read, so nothing is written back.
  EXPECT_EQ(excel.log().count(dispid::application::DefaultSaveFormat, CallLog::Kind::Put), 0u);
  EXPECT_EQ(excel.log().count(dispid::application::IgnoreRemoteRequests, CallLog::Kind::Put), 0u);
}

TEST_F(RuntimeHostTest, TheLanguageNamesFunctionsAndDisplayTextsAndSetsTheLocale) {
  const Bytes names = textBlock(u"Number;English;German\r\n4;SUM;SUMME\r\n5;AVERAGE;MITTELWERT");
  const Bytes texts = textBlock(u"Key;English;German\r\n#DIV/0!;#DIV/0!;#DIV/0!\r\n#VALUE!;#VALUE!;#WERT!");
  // Before the language arrives the runtime speaks English: nothing is translated.
  EXPECT_TRUE(sendBuffer(1156, names));
  EXPECT_EQ(nameOfFunction(4), u"SUM");
  send(1159, 0, 0x0407); // German (primary language 7)
  EXPECT_EQ(state().languageId, 7);
  EXPECT_TRUE(sendBuffer(1156, names));
  EXPECT_TRUE(sendBuffer(1158, texts));
  EXPECT_EQ(nameOfFunction(4), u"SUMME");
  EXPECT_EQ(nameOfFunction(5), u"MITTELWERT");
  EXPECT_EQ(nameOfFunction(1), u"IF");
  // A block that is none costs only its buffer.
  Bytes broken = names;
  broken[0] ^= 0xFF;
  EXPECT_TRUE(sendBuffer(1156, broken));
  EXPECT_TRUE(sendBuffer(1158, broken));
  EXPECT_EQ(state().shutDown, 0);

  // Error values now show in German.
  const SectionKey key = writeKeyFile();
  EXPECT_TRUE(sendText(1166, keyFilePath()));
  const Bytes stream = compiler::compileToStream(
      compiler::readTextWorkbook("[sheets]\nS\n[cells]\nS!A1: =1+\"x\"\n[flags]\nS!A1: volatile\n"));
  for (Bytes& chunk : compiler::streamToChunks(stream, 1 << 16)) {
    key.combineBlock(chunk);
    EXPECT_TRUE(sendBuffer(1157, chunk));
  }
  send(1157, 0, 0);
  send(1167, 0, 0);
  EXPECT_EQ(cell(0, 0), u"#WERT!");

  // The attach step sets the C runtime's collation and number locale to the language.
  const std::string before = std::setlocale(LC_NUMERIC, nullptr);
  send(1152, WPARAM(excel.application()), 0);
  EXPECT_NE(std::string(std::setlocale(LC_NUMERIC, nullptr)), before);
}

TEST_F(RuntimeHostTest, TheDialogHookLearnsTitlesAndClosesThoseDialogs) {
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0x0080, u"Restricted")));
  excel.dialogWindows = {{281, u"Open"}, {282, u"Save As"}, {283, u"Print"}};
  send(1152, WPARAM(excel.application()), 0);
  RuntimeTestState s = state();
  EXPECT_EQ(s.dialogHook, 1);
  EXPECT_EQ(s.hiddenMainHook, 0);
  EXPECT_EQ(s.learningTitles, 0);
  EXPECT_EQ(s.dialogTitles, 3);
  EXPECT_EQ(excel.log().count(dispid::dialog::Show), 3u);

  // A learned title is closed at every activation; another title of the same class is left alone.
  EXPECT_TRUE(ExcelDouble::pumpUntilClosed(excel.openDialog(u"Save As")));
  EXPECT_TRUE(ExcelDouble::pumpUntilClosed(excel.openDialog(u"Save As")));
  HWND other = excel.openDialog(u"Go To");
  EXPECT_FALSE(ExcelDouble::pumpUntilClosed(other, 5));
  DestroyWindow(other);
  // While Excel's events are off, a dialog holding the marked controls is closed whatever its title.
  excel.setState(dispid::application::EnableEvents, Variant::boolean(false));
  EXPECT_TRUE(ExcelDouble::pumpUntilClosed(
      excel.openDialog(u"Question", {L"Static", L"Edit", L"Button", L"Button"})));
  HWND unmarked = excel.openDialog(u"Question", {L"Static", L"Button", L"Button"});
  EXPECT_FALSE(ExcelDouble::pumpUntilClosed(unmarked, 5));
  DestroyWindow(unmarked);

  // Shutdown unhooks: the learned dialog stays open.
  send(1173, 13, 0);
  s = state();
  EXPECT_EQ(s.dialogHook, 0);
  HWND after = excel.openDialog(u"Save As");
  EXPECT_FALSE(ExcelDouble::pumpUntilClosed(after, 5));
  DestroyWindow(after);
}

TEST_F(RuntimeHostTest, KeptHiddenTheHookSuppressesOnlyTheFixedTitle) {
  // Kept hidden: one fixed title, no dialog shown.
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0x00C0, u"Hidden")));
  send(1152, WPARAM(excel.application()), 0);
  EXPECT_EQ(state().dialogTitles, 1);
  EXPECT_EQ(excel.log().count(dispid::dialog::Show), 0u);
}

TEST_F(RuntimeHostTest, AFailingDialogEndsLearningAndTheAttach) {
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0x0080, u"Restricted")));
  excel.failWith("Dialog", dispid::dialog::Show, E_FAIL);
  send(1152, WPARAM(excel.application()), 0);
  RuntimeTestState s = state();
  EXPECT_EQ(s.learningTitles, 0);
  EXPECT_EQ(s.shutDown, 1);
  EXPECT_EQ(s.dialogHook, 0);
  EXPECT_EQ(messageBoxes.size(), 1u);
  EXPECT_EQ(excel.quitCalls, 0);
}

TEST_F(RuntimeHostTest, AnUnattendedRunStaysHiddenAfterItsStartUpMacros) {
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0x0040, u"Hidden")));
  std::vector<std::u16string> ran;
  for (const char16_t* name : {u"First", u"Second"})
    excel.macros[name] = [&ran, name](std::span<const Variant>) {
      ran.emplace_back(name);
      return Variant();
    };
  EXPECT_EQ(send(1178, 1, 0), 0); // goes on to Excel as well
  send(1280, 1, LPARAM(u"First"));
  send(1280, 2, LPARAM(u"Second"));
  send(1152, WPARAM(excel.application()), 0);
  RuntimeTestState s = state();
  EXPECT_EQ(s.hiddenMainHook, 1);
  EXPECT_EQ(s.dialogHook, 0); // an unattended run shows no dialog to suppress
  send(1167, 0, 0);
  // The ready step schedules the start-up run instead of showing Excel.
  EXPECT_EQ(excel.log().count(dispid::application::OnTime), 1u);
  EXPECT_FALSE(excel.state(dispid::application::Visible).toBoolean());
  EXPECT_EQ(send(1173, 2, 0), 1911);
  EXPECT_EQ(ran, (std::vector<std::u16string>{u"Second", u"First"}));
  EXPECT_EQ(state().visibleRequested, 0);

  // Excel's main window may not come forward while Visible was last set false.
  excel.setState(dispid::application::Visible, Variant::boolean(true));
  ShowWindow(main, SW_SHOW);
  SetActiveWindow(main);
  EXPECT_FALSE(IsWindowVisible(main));
  EXPECT_FALSE(excel.state(dispid::application::Visible).toBoolean());
}

TEST_F(RuntimeHostTest, AFailingStartUpMacroSkipsTheOther) {
  int firstRuns = 0;
  excel.macros[u"First"] = [&](std::span<const Variant>) {
    ++firstRuns;
    return Variant();
  };
  send(1280, 1, LPARAM(u"First"));
  send(1280, 2, LPARAM(u"Missing")); // Run fails: no such macro
  send(1152, WPARAM(excel.application()), 0);
  EXPECT_EQ(send(1173, 2, 0), 1911);
  EXPECT_EQ(firstRuns, 0);
  EXPECT_EQ(state().shutDown, 0);
  EXPECT_EQ(send(1173, 99, 0), 1911); // an unknown command does nothing
  EXPECT_EQ(state().shutDown, 0);
}

TEST_F(RuntimeHostTest, TheRegistrationReachesExcelsCApiAndIsTakenBackAtClose) {
  capiCalls.clear();
  send(1152, WPARAM(excel.application()), 0);
  auto calls = [&](int function) {
    std::vector<std::vector<std::string>> found;
    for (const CApiCall& c : capiCalls)
      if (c.function == function) found.push_back(c.arguments);
    return found;
  };
  const auto registered = calls(149);
  ASSERT_EQ(registered.size(), 11u);
  // The stub module is not loaded here: its path is empty (Excel would refuse the registrations).
  EXPECT_EQ(registered[0], (std::vector<std::string>{"", "Stub0", "R", "Stub0", "", "0"}));
  EXPECT_EQ(registered[8], (std::vector<std::string>{"", "Stub8", "RJP", "AppCommand", "", "2"}));
  EXPECT_EQ(registered[10], (std::vector<std::string>{"", "Stub2", "B", "LastSeconds", "", "0"}));
  EXPECT_EQ(calls(267).size(), 11u);
  EXPECT_EQ(calls(0x80A8),
            (std::vector<std::vector<std::string>>{{"{F9}", "RequestRecalc"}, {"^%{F9}", "RequestRecalc"}}));
  EXPECT_EQ(calls(0x8118), (std::vector<std::vector<std::string>>{{"<nil>", "Stub6"}}));

  capiCalls.clear();
  auto autoClose = entry<int32_t WINAPI()>(module, "xlAutoClose");
  ASSERT_NE(autoClose, nullptr);
  autoClose();
  EXPECT_EQ(calls(88).size(), 11u);
  const auto unregistered = calls(201);
  ASSERT_EQ(unregistered.size(), 11u);
  EXPECT_EQ(unregistered[0], std::vector<std::string>{"<number>"});
  EXPECT_EQ(calls(0x80A8), (std::vector<std::vector<std::string>>{{"{F9}"}, {"^%{F9}"}}));
  EXPECT_EQ(state().shutDown, 1);
}

TEST_F(RuntimeHostTest, TheWatchedChildrensFocusChangesHoldEditing) {
  WINDOWPOS position{};
  auto post = [&](HWND window, UINT msg) {
    SendMessageW(window, msg, 0,
                 msg == WM_WINDOWPOSCHANGING || msg == WM_WINDOWPOSCHANGED ? LPARAM(&position) : 0);
  };
  // Focus in, a position change, focus out, a position change: the hold is set, then cleared.
  post(editChild, WM_SETFOCUS);
  post(editChild, WM_WINDOWPOSCHANGED); // never changes the state
  EXPECT_EQ(state().holdState, 1);
  post(editChild, WM_WINDOWPOSCHANGING);
  EXPECT_EQ(state().editHold, 1);
  post(editChild, WM_KILLFOCUS);
  EXPECT_EQ(state().holdState, 3);
  post(editChild, WM_SETFOCUS); // focus back: still held
  EXPECT_EQ(state().holdState, 2);
  post(editChild, WM_KILLFOCUS);
  // The second child passes on position changes without looking at them.
  post(nameChild, WM_WINDOWPOSCHANGING);
  EXPECT_EQ(state().holdState, 3);
  post(editChild, WM_WINDOWPOSCHANGING);
  RuntimeTestState s = state();
  EXPECT_EQ(s.holdState, 0);
  EXPECT_EQ(s.editHold, 0);
}

// The application as a user sees it: values typed into Excel reach the model, and what depends on
// them comes back into Excel's cells.
class ChangeRoadTest : public RuntimeHostTest {
protected:
  WorksheetObject& sheet = book.sheet(1);
  WorksheetWrapper sheetWrapper;
  Bytes settings = settingsBlock(0, u"Road");

  void SetUp() override {
    RuntimeHostTest::SetUp();
    EXPECT_TRUE(sendBuffer(1155, settings));
    for (auto [a1, value] : {std::pair{u"A1", Variant::number(21)},
                             {u"B1", Variant::number(42)},
                             {u"C1", Variant::text(u"n=42")},
                             {u"A2", Variant::number(0.5)},
                             {u"B2", Variant::number(21.5)},
                             {u"B3", Variant::boolean(true)}})
      sheet.set(a1, value);
    const SectionKey key = writeKeyFile();
    EXPECT_TRUE(sendText(1166, keyFilePath()));
    for (const Bytes& chunk : workbookChunks(key, 1 << 16))
      EXPECT_TRUE(sendBuffer(1157, chunk));
    send(1157, 0, 0);
    send(1152, WPARAM(excel.application()), 0);
    send(1167, 0, 0);
    sheetWrapper.attach(static_cast<IDispatch*>(&sheet));
  }

  // Excel's sheet-change message for a range the user changed.
  void changed(std::u16string_view a1) {
    RangeWrapper range = sheetWrapper.range(a1);
    send(1282, WPARAM(sheetWrapper.get()), LPARAM(range.get()));
  }
};

TEST_F(ChangeRoadTest, TypedValuesRecalculateTheirDependentsIntoExcel) {
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10);
  EXPECT_EQ(sheet.value(u"C1").toText(), u"n=10");
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 5.5);
  EXPECT_FALSE(sheet.value(u"B3").toBoolean());
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 6);
  EXPECT_EQ(excel.log().count(dispid::application::CalculateFull), 1u);
  EXPECT_TRUE(excel.state(dispid::application::EnableEvents).toBoolean());

  // Several cells at once: every value is read and taken.
  sheet.set(u"A1", Variant::number(1));
  sheet.set(u"A2", Variant::number(2));
  changed(u"A1:A2");
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 3);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 2);

  // The same value again changes nothing: no recalculation runs.
  changed(u"A1");
  EXPECT_EQ(excel.log().count(dispid::application::CalculateFull), 2u);

  // A cleared cell is recorded for undo, and Excel's Undo entry is installed.
  sheet.clear(2, 1);
  changed(u"A2");
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 1);
  EXPECT_GE(excel.log().count(dispid::application::OnUndo), 1u);
  EXPECT_EQ(state().shutDown, 0);
}

// The settings' per-sheet table protects the first sheet (contents, free selection) with a password.
class ProtectedChangeRoadTest : public ChangeRoadTest {
protected:
  void SetUp() override {
    sheet.protectedContents = true;
    sheet.protectionPassword = u"pw";
    Bytes block = settingsBlock(0, u"Protected");
    put32(block, 92, 0x02010000);    // entries carry passwords
    block.resize(block.size() + 12); // the fixed block
    const size_t table = block.size();
    block.resize(table + 8 + 4 + 4 + 2);
    put32(block, table, 0);     // workbook flags
    put32(block, table + 4, 1); // one entry
    put32(block, table + 8, 0x24);
    put32(block, table + 12, 2);
    block[table + 16] = 'p';
    block[table + 17] = 'w';
    settings = block;
    ChangeRoadTest::SetUp();
  }
};

TEST_F(ProtectedChangeRoadTest, SheetsAreProtectedAgainAfterEveryWrite) {
  // Loading unprotected the sheet and protected it again with its password.
  EXPECT_TRUE(sheet.protectedContents);
  EXPECT_EQ(sheet.protectionPassword, u"pw");
  EXPECT_EQ(excel.log().count(dispid::worksheet::Unprotect), 1u);
  EXPECT_EQ(excel.log().count(dispid::worksheet::Protect), 1u);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 22);

  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10);
  EXPECT_TRUE(sheet.protectedContents);
  EXPECT_EQ(sheet.protectionPassword, u"pw");
  EXPECT_EQ(excel.log().count(dispid::worksheet::Unprotect), 2u);
  EXPECT_EQ(excel.log().count(dispid::worksheet::Protect), 2u);
  EXPECT_EQ(state().shutDown, 0);
}

TEST_F(ChangeRoadTest, AFailingExcelLeavesItsEventsOnAndShutsTheRuntimeDown) {
  excel.failWith("Application", dispid::application::CalculateFull, E_FAIL);
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10); // the model's values were written before the failure
  EXPECT_TRUE(excel.state(dispid::application::ScreenUpdating).toBoolean());
  EXPECT_EQ(state().shutDown, 1);
  EXPECT_EQ(messageBoxes.size(), 1u);
  EXPECT_EQ(excel.quitCalls, 0);
}

TEST_F(ChangeRoadTest, ARecalculationAskedForWhileOneRunsGoesOnToExcel) {
  // A macro behind Excel's CalculateFull asks for another recalculation: it is not taken.
  LRESULT nested = -1;
  excel.script("Application", dispid::application::CalculateFull, [&](DispatchCall&) -> HRESULT {
    nested = send(1173, 10, 0);
    return S_OK;
  });
  EXPECT_EQ(send(1173, 10, 1), 1911);
  EXPECT_EQ(nested, 0);
}

TEST_F(ChangeRoadTest, AChangeDuringARecalculationIsRecalculatedAfterIt) {
  // A macro behind Excel's calculation changes A2 once: the change waits for the run, then gets its own.
  bool changedOnce = false;
  excel.script("Application", dispid::application::CalculateFull, [&](DispatchCall&) -> HRESULT {
    if (!changedOnce) {
      changedOnce = true;
      sheet.set(u"A2", Variant::number(100));
      changed(u"A2");
    }
    return S_OK;
  });
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10);
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 105);
  EXPECT_TRUE(excel.state(dispid::application::EnableEvents).toBoolean());
}

TEST_F(ChangeRoadTest, UndoTakesAChangeBackWithItsDependents) {
  auto dummyFunc6 = entry<int32_t WINAPI()>(module, "DummyFunc6");
  auto dummyFunc4 = entry<int32_t WINAPI()>(module, "DummyFunc4");
  ASSERT_TRUE(dummyFunc6 && dummyFunc4);
  dummyFunc6(); // the workbook's change handler asks for the next change to be recorded
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10);
  // Excel's Undo runs the undo entry: the old value goes back into Excel, whose change event brings it
  // into the model like any other change, without recording it again.
  EXPECT_EQ(dummyFunc4(), 0);
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 21);
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 42);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 22);
}

TEST_F(ChangeRoadTest, UndoWritesAnOldTextBackAsText) {
  auto dummyFunc6 = entry<int32_t WINAPI()>(module, "DummyFunc6");
  auto dummyFunc4 = entry<int32_t WINAPI()>(module, "DummyFunc4");
  ASSERT_TRUE(dummyFunc6 && dummyFunc4);
  sheet.set(u"A1", Variant::text(u"00123"));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 246);
  dummyFunc6();
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(dummyFunc4(), 0);
  // Excel would read "00123" written as it is as the number 123; the undo keeps it a text.
  EXPECT_EQ(sheet.value(u"A1").type(), VT_BSTR);
  EXPECT_EQ(sheet.value(u"A1").toText(), u"00123");
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 246);
}

TEST_F(ChangeRoadTest, AWriteIntoExcelThatFailsHalfwayLeavesExcelsStateAsItWas) {
  // Excel refuses the value of C1 (a cell some other code locked): the other dependents are written,
  // and events, screen updating and the calculation mode are what they were before.
  excel.failWith("Range Data!$C$1", dispid::range::Value2, E_FAIL);
  const Variant calculation = excel.state(dispid::application::Calculation);
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10);
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 5.5);
  EXPECT_EQ(sheet.value(u"C1").toText(), u"n=42"); // refused: Excel keeps its old value
  EXPECT_TRUE(excel.state(dispid::application::EnableEvents).toBoolean());
  EXPECT_TRUE(excel.state(dispid::application::ScreenUpdating).toBoolean());
  EXPECT_EQ(excel.state(dispid::application::Calculation).toInteger(), calculation.toInteger());
  EXPECT_EQ(state().shutDown, 0);
  // Once Excel takes values again, the next change writes them.
  excel.unscript("Range Data!$C$1", dispid::range::Value2);
  sheet.set(u"A1", Variant::number(6));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"C1").toText(), u"n=12");
}

TEST_F(ChangeRoadTest, APasteOfTenThousandCellsIsOneRecalculation) {
  for (int32_t row = 1; row <= 1000; ++row)
    for (int32_t column = 1; column <= 10; ++column)
      sheet.cellAt(row, column).value = Variant::number(row * 100 + column);
  const size_t before = excel.log().count(dispid::application::CalculateFull);
  changed(u"A1:J1000");
  EXPECT_EQ(excel.log().count(dispid::application::CalculateFull), before + 1);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 102); // D1 was pasted over: the paste's value stays
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 101 + 201);
}

TEST_F(ChangeRoadTest, AChangeOfWholeColumnsOrTheWholeSheetTakesOnlyWhatTheSheetHolds) {
  // The user clears column A: the model's cells in it become empty, their dependents follow.
  sheet.clear(1, 1);
  sheet.clear(2, 1);
  changed(u"A:A");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 0);
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 0);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 1);

  // A paste over the whole sheet: Count overflows, the large count says it is many cells, and only
  // the used range is read.
  sheet.set(u"A1", Variant::number(4));
  sheet.set(u"A2", Variant::number(1));
  changed(u"A1:XFD1048576");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 8);
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 5);
  EXPECT_EQ(excel.log().count(dispid::range::CountLarge), 2u);
  EXPECT_EQ(state().shutDown, 0);
}

// The settings allow data exchange: the menu has the data commands.
class DataExchangeTest : public ChangeRoadTest {
protected:
  void SetUp() override {
    settings = settingsBlock(0x0001, u"Road");
    ChangeRoadTest::SetUp();
  }
  CommandBarObject& submenu() {
    ControlObject* main = excel.commandBars().menuBar().find(10, 0, u"Korvel_MainMenu_Item_Tag", false);
    return *main->bar()->find(10, 0, u"Korvel_Package_Submenu", false)->bar();
  }
  // The command that a click posted to the host window (0 when none).
  WPARAM postedCommand() {
    MSG msg;
    WPARAM command = 0;
    while (PeekMessageW(&msg, excel.mainWindow(), 1173, 1173, PM_REMOVE))
      command = msg.wParam;
    return command;
  }
};

TEST_F(DataExchangeTest, TheMenuStandsBeforeHelpAndItsClicksPostTheirCommands) {
  CommandBarObject& bar = excel.commandBars().menuBar();
  ControlObject* main = bar.find(10, 0, u"Korvel_MainMenu_Item_Tag", false);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->caption, u"Application");
  EXPECT_TRUE(main->temporary);
  ASSERT_GE(bar.controls().size(), 2u);
  EXPECT_EQ(bar.controls()[bar.controls().size() - 2], main); // before Help
  EXPECT_EQ(bar.controls().back()->id, 30010);
  ControlObject* package = main->bar()->find(10, 0, u"Korvel_Package_Submenu", false);
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(package->caption, u"Application Road");

  const auto& buttons = submenu().controls();
  ASSERT_EQ(buttons.size(), 4u);
  const std::u16string captions[] = {u"Export Data", u"Import Data", u"Export Collected Data", u"About"};
  const WPARAM commands[] = {1168, 1169, 1174, 1170};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(buttons[i]->caption, captions[i]);
    EXPECT_EQ(buttons[i]->sinkCount(), 1u);
  }
  // Export waits for the first change from the user.
  EXPECT_FALSE(buttons[0]->enabled);
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_TRUE(buttons[0]->enabled);

  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(buttons[i]->click()) << i; // Excel's own action is cancelled
    EXPECT_EQ(postedCommand(), commands[i]) << i;
  }
  // A button of another tag opens the About box.
  buttons[1]->tag = u"Something else";
  buttons[1]->click();
  EXPECT_EQ(postedCommand(), 1170u);

  // Shutdown lets go of the sinks; the temporary controls stay for Excel to drop.
  EXPECT_EQ(send(1173, 13, 0), 1911);
  EXPECT_EQ(buttons[3]->sinkCount(), 0u);
  EXPECT_TRUE(messageBoxes.empty());
}

// A menu left by an earlier start is reused: nothing is made twice, and its buttons get their sinks.
TEST_F(RuntimeHostTest, AMenuLeftByAnEarlierStartIsReusedNotDuplicated) {
  CommandBarObject& bar = excel.commandBars().menuBar();
  ControlObject& main = bar.add(10, 1, 0, true);
  main.tag = u"Korvel_MainMenu_Item_Tag";
  ControlObject& package = main.bar()->add(10, 1, 0, true);
  package.tag = u"Korvel_Package_Submenu";
  ControlObject& about = package.bar()->add(1, 1, 0, true);
  about.tag = u"Korvel_About_Package_Button";
  const size_t controls = bar.controls().size();

  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0, u"Reused")));
  send(1152, WPARAM(excel.application()), 0);
  EXPECT_EQ(bar.controls().size(), controls);
  EXPECT_EQ(main.bar()->controls().size(), 1u);
  ASSERT_EQ(package.bar()->controls().size(), 1u);
  EXPECT_EQ(about.sinkCount(), 1u); // the button that stood gets its sink: its clicks reach the runtime
  EXPECT_TRUE(about.click());
  MSG posted;
  EXPECT_TRUE(PeekMessageW(&posted, excel.mainWindow(), 1173, 1173, PM_REMOVE));
  EXPECT_EQ(posted.wParam, 1170u);
}

TEST_F(RuntimeHostTest, ALongApplicationNameIsCutInTheSubmenusCaption) {
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0, u"A name of forty characters, quite long!!")));
  send(1152, WPARAM(excel.application()), 0);
  ControlObject* main = excel.commandBars().menuBar().find(10, 0, u"Korvel_MainMenu_Item_Tag", false);
  ASSERT_NE(main, nullptr);
  ASSERT_EQ(main->bar()->controls().size(), 1u);
  ControlObject* package = main->bar()->controls()[0];
  EXPECT_EQ(package->caption, u"Application A name of forty chara...");
  ASSERT_EQ(package->bar()->controls().size(), 1u); // About alone without data exchange
  EXPECT_EQ(package->bar()->controls()[0]->caption, u"About");
}

// What the About box showed: its title, its lines and buttons, and its picture.
struct AboutSeen {
  bool found = false;
  std::u16string title;
  std::vector<std::u16string> texts; // the children's texts, in creation order
  std::vector<RECT> rects;           // their places, in the window's client coordinates
  RECT client{};
  size_t darkPixels = 0, pixels = 0; // of the picture of the window's client area
};
AboutSeen aboutSeen;

std::u16string windowText(HWND window) {
  wchar_t text[1024] = {};
  const int n = GetWindowTextW(window, text, 1024);
  return std::u16string(reinterpret_cast<const char16_t*>(text), size_t(std::max(n, 0)));
}

// Takes the picture of a window's client area into a 24-bit bitmap file; returns its pixels, bottom-up.
std::vector<uint8_t> savePicture(HWND window, const char* path, int& width, int& height) {
  RECT client;
  GetClientRect(window, &client);
  width = client.right;
  height = client.bottom;
  HDC screen = GetDC(window);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ before = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
  std::vector<uint8_t> pixels(static_cast<uint8_t*>(bits), static_cast<uint8_t*>(bits) + stride * height);
  SelectObject(memory, before);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = DWORD(file.bfOffBits + pixels.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(reinterpret_cast<const char*>(pixels.data()), std::streamsize(pixels.size()));
  return pixels;
}

// While the About box runs its modal loop: look at it, take its picture, and press OK.
void CALLBACK lookAtTheAboutBox(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM found) -> BOOL {
        if (windowText(window).rfind(u"About ", 0) != 0 || !IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&box));
  if (!box) return;
  KillTimer(nullptr, timer);
  aboutSeen.found = true;
  aboutSeen.title = windowText(box);
  GetClientRect(box, &aboutSeen.client);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
    aboutSeen.texts.push_back(windowText(child));
    aboutSeen.rects.push_back(r);
  }
  RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  int width = 0, height = 0;
  const std::vector<uint8_t> picture = savePicture(box, "about_box.bmp", width, height);
  const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = picture.data() + size_t(y) * stride + size_t(x) * 3;
      aboutSeen.darkPixels += (p[0] + p[1] + p[2]) < 3 * 96;
      ++aboutSeen.pixels;
    }
  PostMessageW(box, WM_COMMAND, IDOK, 0);
}

TEST_F(RuntimeHostTest, TheAboutBoxShowsItsLinesWholeAndClosesWithOk) {
  const std::u16string notice =
      u"Copyright 2026 The Road Company. All rights reserved. This application and the workbook it carries "
      u"may be used only under the terms of the licence that came with it.";
  EXPECT_TRUE(sendBuffer(1155, settingsBlock(0, u"Road", notice)));
  send(1152, WPARAM(excel.application()), 0);
  aboutSeen = {};
  SetTimer(nullptr, 0, 50, lookAtTheAboutBox);
  EXPECT_EQ(send(1173, 1170, 0), 1911); // returns once the box is closed
  ASSERT_TRUE(aboutSeen.found);
  EXPECT_EQ(aboutSeen.title, u"About Road Application");
  auto shown = [&](std::u16string_view text) {
    return std::find(aboutSeen.texts.begin(), aboutSeen.texts.end(), text) != aboutSeen.texts.end();
  };
  EXPECT_TRUE(shown(u"Road"));
  EXPECT_TRUE(shown(u"Version: 1.2.3"));
  EXPECT_TRUE(shown(u"Application legal copyright:"));
  EXPECT_TRUE(shown(notice));
  EXPECT_TRUE(shown(u"OK"));
  // Every line lies inside the window, the long notice wrapped over several lines instead of cut.
  for (size_t i = 0; i < aboutSeen.rects.size(); ++i) {
    const RECT& r = aboutSeen.rects[i];
    EXPECT_GE(r.left, 0) << i;
    EXPECT_LE(r.right, aboutSeen.client.right) << i;
    EXPECT_LE(r.bottom, aboutSeen.client.bottom) << i;
    if (aboutSeen.texts[i] == notice) {
      EXPECT_GT(r.bottom - r.top, 2 * 15);
    }
  }
  // The picture shows text: dark pixels on the light face, neither none nor most.
  EXPECT_GT(aboutSeen.darkPixels, aboutSeen.pixels / 200);
  EXPECT_LT(aboutSeen.darkPixels, aboutSeen.pixels / 2);
}

XlOper textOperand(const std::string& text, std::string& storage) {
  storage = std::string(1, char(text.size())) + text;
  XlOper oper{};
  oper.value.text = reinterpret_cast<unsigned char*>(storage.data());
  oper.type = 0x0002;
  return oper;
}

TEST_F(ChangeRoadTest, TheMacrosEntryPoints) {
  auto dummyFunc8 = entry<XlOper * WINAPI(int32_t, XlOper*)>(module, "DummyFunc8");
  auto dummyFunc11 = entry<VARIANT WINAPI(int32_t)>(module, "DummyFunc11");
  auto dummyFunc12 = entry<BSTR WINAPI(int32_t)>(module, "DummyFunc12");
  auto dummyFunc2 = entry<double WINAPI()>(module, "DummyFunc2");
  auto dummyFunc4 = entry<int32_t WINAPI()>(module, "DummyFunc4");
  auto dummyFunc5 = entry<XlOper * WINAPI(XlOper*)>(module, "DummyFunc5");
  auto dummyFunc1 = entry<XlOper * WINAPI()>(module, "DummyFunc1");
  auto autoClose = entry<int32_t WINAPI()>(module, "xlAutoClose");
  ASSERT_TRUE(dummyFunc8 && dummyFunc11 && dummyFunc12 && dummyFunc2 && dummyFunc4 && dummyFunc5 &&
              dummyFunc1 && autoClose);
  auto integer = [](const XlOper* r) { return r->type == 0x0800 ? int(r->value.integer) : 9999; };
  auto text = [](const XlOper* r) {
    return r->type == 0x0002 ? std::string(reinterpret_cast<char*>(r->value.text + 1), r->value.text[0])
                             : "?";
  };
  std::string storage;

  EXPECT_EQ(dummyFunc2(), 0.0); // no recalculation yet
  EXPECT_EQ(integer(dummyFunc8(0, nullptr)), -2);
  EXPECT_EQ(integer(dummyFunc8(12, nullptr)), -2);
  EXPECT_EQ(integer(dummyFunc8(1, nullptr)), -2); // no data exchange in these settings
  XlOper number{};
  number.type = 0x0001;
  number.value.number = 3;
  EXPECT_EQ(integer(dummyFunc8(3, &number)), -3);
  XlOper key = textOperand("AppName", storage);
  EXPECT_EQ(text(dummyFunc8(3, &key)), "Road");
  key = textOperand("AppVersion", storage);
  EXPECT_EQ(text(dummyFunc8(3, &key)), "1.2.3");
  key = textOperand("Other", storage);
  EXPECT_EQ(integer(dummyFunc8(3, &key)), -2);

  VARIANT none = dummyFunc11(-1);
  EXPECT_EQ(none.vt, VT_EMPTY);
  BSTR empty = dummyFunc12(-1);
  EXPECT_EQ(SysStringByteLen(empty), 0u);
  SysFreeString(empty);
  EXPECT_EQ(dummyFunc4(), 0); // nothing to undo

  // Code 8 counts changes in manual calculation too.
  XlOper on{};
  on.type = 0x0004;
  on.value.boolean = 1;
  EXPECT_EQ(integer(dummyFunc8(8, &on)), 0);
  // A range given as text is read from Excel into the model; the next recalculation is asked for.
  sheet.set(u"A1", Variant::number(7));
  XlOper range = textOperand("Data!A1:A2", storage);
  EXPECT_EQ(dummyFunc5(&range)->type, 0x0100);
  dummyFunc1();
  MSG posted; // the posted recalculation runs
  while (PeekMessageW(&posted, nullptr, 0, 0, PM_REMOVE))
    DispatchMessageW(&posted);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 14);
  EXPECT_GT(dummyFunc2(), 0.0);

  // A reference: its first rectangle, on the sheet that Excel names for it.
  sheet.set(u"A1", Variant::number(9));
  XlMRef rects{1, {{0, 1, 0, 0}}}; // A1:A2
  XlOper reference{};
  reference.type = 0x0008;
  reference.value.multiRef = {&rects, 1};
  EXPECT_EQ(dummyFunc5(&reference)->type, 0x0100);
  EXPECT_EQ(capiCalls.back().function, 0x4005);
  EXPECT_EQ(capiCalls.back().arguments, std::vector<std::string>{"<reference>"});
  dummyFunc1();
  while (PeekMessageW(&posted, nullptr, 0, 0, PM_REMOVE))
    DispatchMessageW(&posted);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 18);

  // xlAutoClose ends the runtime and the process (recorded here).
  EXPECT_EQ(autoClose(), 0);
  EXPECT_EQ(state().shutDown, 1);
  EXPECT_EQ(endedProcesses, std::vector<unsigned>{0});
}

} // namespace

// The file and colour dialogs answered by the test: the path the user would type, the colour they
// would pick (none when empty or negative).
std::u16string chosenFile;
int chosenColor = -1;
std::vector<std::u16string> fileDialogTitles;

bool answerFileDialog(HWND, bool, const char16_t*, const char16_t* title, char16_t* path, unsigned capacity) {
  fileDialogTitles.emplace_back(title);
  if (chosenFile.empty() || chosenFile.size() >= capacity) return false;
  std::copy(chosenFile.begin(), chosenFile.end(), path);
  path[chosenFile.size()] = 0;
  return true;
}
bool answerColorDialog(HWND, unsigned* rgb) {
  if (chosenColor < 0) return false;
  *rgb = unsigned(chosenColor);
  return true;
}

class DataCommandsTest : public DataExchangeTest {
protected:
  void SetUp() override {
    DataExchangeTest::SetUp();
    entry<RuntimeTestSetDialogsFn>(module, "RuntimeTestSetDialogs")(answerFileDialog, answerColorDialog);
    chosenFile.clear();
    chosenColor = -1;
    fileDialogTitles.clear();
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    base = std::u16string(reinterpret_cast<const char16_t*>(folder)) + u"road_data_" +
           std::u16string(1, char16_t(u'0' + GetCurrentProcessId() % 10));
  }
  void TearDown() override {
    for (const char16_t* ending : {u".dat", u"2.dat", u"3.dat"})
      DeleteFileW(reinterpret_cast<const wchar_t*>((base + ending).c_str()));
    DataExchangeTest::TearDown();
  }
  // DummyFunc8 with a code and a path: the macros' way to the data commands.
  int command(int32_t code, const std::u16string& path) {
    auto dummyFunc8 = entry<XlOper * WINAPI(int32_t, XlOper*)>(module, "DummyFunc8");
    std::string storage;
    XlOper operand = textOperand(std::string(path.begin(), path.end()), storage);
    const XlOper* r = dummyFunc8(code, &operand);
    return r->type == 0x0800 ? r->value.integer : 9999;
  }
  void typeValue(std::u16string_view a1, double value) {
    sheet.set(a1, Variant::number(value));
    changed(a1);
  }
  std::u16string base; // the data files' path without their ending
};

TEST_F(DataCommandsTest, ExportThenImportBringsTheDataBackIntoTheModelAndExcel) {
  EXPECT_EQ(command(1, base + u".dat"), 0);
  EXPECT_TRUE(state().shutDown == 0);
  typeValue(u"A1", 5);
  typeValue(u"A2", 7);
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 12);
  // A silent import (a path given): no question, no success message; a path ending in .exe reads the
  // .dat beside it.
  EXPECT_EQ(command(2, base + u".exe"), 0);
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 21);
  EXPECT_EQ(sheet.value(u"A2").toDouble(), 0.5);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 42);
  EXPECT_EQ(sheet.value(u"B2").toDouble(), 21.5);
  EXPECT_EQ(cell(0, 0), u"21");
  EXPECT_TRUE(messageBoxes.empty());
  EXPECT_TRUE(excel.state(dispid::application::EnableEvents).toBoolean());
  EXPECT_TRUE(excel.state(dispid::application::ScreenUpdating).toBoolean());
  EXPECT_TRUE(excel.state(dispid::application::UserControl).toBoolean());
}

TEST_F(DataCommandsTest, FilesThatCannotBeReadSayWhyAndChangeNothing) {
  EXPECT_EQ(command(2, base + u"3.dat"), 0); // no such file
  ASSERT_EQ(messageBoxes.size(), 1u);
  EXPECT_EQ(messageBoxes[0], u"Cannot open file '" + base + u"3.dat'.");
  EXPECT_EQ(messageBoxCaptions[0], u"Warning");
  // A file that is no data file (and an upper-case .EXE is read as it is named).
  std::ofstream(std::string(base.begin(), base.end()) + "2.dat", std::ios::binary)
      << "not a data file at all, no";
  EXPECT_EQ(command(2, base + u"2.dat"), 0);
  ASSERT_EQ(messageBoxes.size(), 2u);
  EXPECT_EQ(messageBoxes[1], u"Data file '" + base + u"2.dat' is not a vaild file format or corrupted.");
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 21);
}

TEST_F(DataCommandsTest, TheExportDialogAddsTheEndingAndAsksBeforeOverwriting) {
  typeValue(u"A1", 6);
  chosenFile = base; // typed without an ending
  send(1173, 1168, 0);
  ASSERT_EQ(fileDialogTitles.size(), 1u);
  EXPECT_EQ(fileDialogTitles[0], u"Export Changes In File");
  ASSERT_EQ(messageBoxes.size(), 1u);
  EXPECT_EQ(messageBoxes[0], u"Export of data completed successfully.");
  EXPECT_EQ(messageBoxCaptions[0], u"Export Data from Road Application");
  EXPECT_NE(GetFileAttributesW(reinterpret_cast<const wchar_t*>((base + u".dat").c_str())),
            INVALID_FILE_ATTRIBUTES);
  // Again: the file exists; declining the question writes nothing.
  messageBoxAnswer = IDNO;
  typeValue(u"A1", 8);
  send(1173, 1168, 0);
  ASSERT_EQ(messageBoxes.size(), 2u);
  EXPECT_EQ(messageBoxes[1], u"File '" + base + u".dat' already exists.\nWould you like to overwrite it?");
  typeValue(u"A1", 1);
  EXPECT_EQ(command(2, base + u".dat"), 0);
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 6); // the first export's value
}

// The import dialog: the user types the path, picks a font colour and presses Import.
void CALLBACK fillTheImportDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM found) -> BOOL {
        if (windowText(window) != u"Import Data for Road Application" || !IsWindowVisible(window))
          return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&dialog));
  if (!dialog) return;
  KillTimer(nullptr, timer);
  SetDlgItemTextW(dialog, 1001, reinterpret_cast<const wchar_t*>(chosenFile.c_str()));
  SendMessageW(dialog, WM_COMMAND, 1006, 0); // the font colour's "..."
  SendMessageW(dialog, WM_COMMAND, IDOK, 0);
}

TEST_F(DataCommandsTest, TheImportDialogTakesItsPathAndColoursOnlyWhatWasChosen) {
  EXPECT_EQ(command(1, base + u".dat"), 0);
  typeValue(u"A1", 5);
  chosenFile = base + u".dat";
  chosenColor = 0x0000FF;
  SetTimer(nullptr, 0, 50, fillTheImportDialog);
  send(1173, 1169, 0);
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 21);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 42);
  ASSERT_EQ(messageBoxes.size(), 1u);
  EXPECT_EQ(messageBoxes[0], u"Import of data completed successfully.");
  EXPECT_EQ(messageBoxCaptions[0], u"Import Data for Road Application");
  EXPECT_EQ(sheet.format(u"A1", FormatPart::Font, dispid::format::Color).toInteger(), 0x0000FF);
  EXPECT_NE(sheet.format(u"A1", FormatPart::Interior, dispid::format::Color).toInteger(), 0x0000FF);
}

// Excel's own members, replaced in the function tables that every object of their interface shares:
// calls on the application's workbook and on Excel reach the runtime, calls on the user's other
// workbook reach Excel, and unloading the module puts every slot back.
class InterceptionTest : public ChangeRoadTest {
protected:
  WorkbookObject& other = excel.addWorkbook(u"Other.xlsx", {u"Notes"});
  void* originalSave = nullptr;
  void* originalCalculate = nullptr;
  void* originalSheetInvoke = nullptr;

  static void* slotOf(IDispatch* object, size_t offset) {
    return (*reinterpret_cast<void***>(object))[offset / sizeof(void*)];
  }
  void SetUp() override {
    originalSave = slotOf(&book, slotOffset(&WorkbookObject::Save));
    originalCalculate = slotOf(&excel.app(), slotOffset(&ApplicationObject::Calculate));
    originalSheetInvoke = slotOf(&sheet, kInvokeSlotOffset);
    excel.activeWorkbook = &book;
    ChangeRoadTest::SetUp();
    EXPECT_TRUE(sendText(1160, u"C:\\Apps\\Loan.exe"));
  }
  size_t calls(DISPID id, std::string_view object) {
    return excel.log().count(id, CallLog::Kind::Any, object);
  }
};

TEST_F(InterceptionTest, ExcelsMembersReachTheRuntimeForItsWorkbookAndExcelForOthers) {
  // The tables are patched: the slots hold the runtime's functions.
  EXPECT_NE(slotOf(&book, slotOffset(&WorkbookObject::Save)), originalSave);
  EXPECT_NE(slotOf(&excel.app(), slotOffset(&ApplicationObject::Calculate)), originalCalculate);
  EXPECT_NE(slotOf(&sheet, kInvokeSlotOffset), originalSheetInvoke);

  // Late-bound calls, as a macro makes them.
  ApplicationWrapper app(excel.application());
  excel.log().clear();
  app.call(dispid::application::Calculate);
  EXPECT_EQ(calls(dispid::application::Calculate, "Application"), 0u) << excel.log().dump();

  DispatchWrapper mine(static_cast<IDispatch*>(&book)), theirs(static_cast<IDispatch*>(&other));
  book.setProperty(dispid::workbook::Saved, Variant::boolean(false));
  other.setProperty(dispid::workbook::Saved, Variant::boolean(false));
  mine.call(dispid::workbook::Save);
  theirs.call(dispid::workbook::Save);
  EXPECT_EQ(calls(dispid::workbook::Save, "Workbook Book1"), 0u);
  EXPECT_FALSE(book.property(dispid::workbook::Saved).toBoolean());
  EXPECT_EQ(calls(dispid::workbook::Save, "Workbook Other"), 1u);
  EXPECT_TRUE(other.property(dispid::workbook::Saved).toBoolean());

  // SaveAs without saving into the executable does nothing for the application's workbook.
  mine.call(dispid::workbook::SaveAs, {Variant::text(u"C:\\Books\\Copy.xlsx")});
  EXPECT_EQ(book.property(dispid::workbook::FullName).toText(), u"C:\\Books\\Book1.xlsx");
  theirs.call(dispid::workbook::SaveAs, {Variant::text(u"C:\\Books\\Renamed.xlsx")});
  EXPECT_EQ(other.property(dispid::workbook::FullName).toText(), u"C:\\Books\\Renamed.xlsx");

  // Path answers the application's folder, not the temporary workbook's.
  EXPECT_EQ(mine.getText(dispid::workbook::Path), u"C:\\Apps");
  EXPECT_EQ(theirs.getText(dispid::workbook::Path), u"C:\\Books");

  // A sheet renamed by a macro is renamed in the model too; the other workbook's sheets are Excel's.
  DispatchWrapper sheetDispatch(static_cast<IDispatch*>(&sheet));
  sheetDispatch.putText(dispid::worksheet::Name, u"Figures");
  EXPECT_EQ(calls(dispid::worksheet::Name, "Worksheet"), 1u);

  // Unloading the module writes Excel's functions back; Excel's members work as before.
  FreeLibrary(module);
  module = nullptr;
  EXPECT_EQ(slotOf(&book, slotOffset(&WorkbookObject::Save)), originalSave);
  EXPECT_EQ(slotOf(&excel.app(), slotOffset(&ApplicationObject::Calculate)), originalCalculate);
  EXPECT_EQ(slotOf(&sheet, kInvokeSlotOffset), originalSheetInvoke);
  mine.call(dispid::workbook::Save);
  EXPECT_EQ(calls(dispid::workbook::Save, "Workbook Book1"), 1u);
}

TEST_F(InterceptionTest, QuitKeepsTheUsersUnsavedWorkForExcelToAskAbout) {
  ApplicationWrapper app(excel.application());
  other.setProperty(dispid::workbook::Saved, Variant::boolean(false));
  app.call(dispid::application::Quit);
  // Excel's own Quit asks about the other workbook; the runtime has shut down without ending the
  // process, and its workbook is not asked about.
  EXPECT_EQ(excel.quitCalls, 1);
  EXPECT_TRUE(endedProcesses.empty());
  EXPECT_EQ(state().shutDown, 1);
  EXPECT_TRUE(book.property(dispid::workbook::Saved).toBoolean());
}

TEST_F(InterceptionTest, QuitWithNothingElseUnsavedEndsTheProcess) {
  ApplicationWrapper app(excel.application());
  other.setProperty(dispid::workbook::Saved, Variant::boolean(true));
  app.call(dispid::application::Quit);
  EXPECT_EQ(excel.quitCalls, 0);
  EXPECT_EQ(endedProcesses.size(), 1u);
  // Shutdown's last step starts the application's executable with the clean-up options, once.
  ASSERT_EQ(startedProcesses.size(), 1u);
  EXPECT_TRUE(startedProcesses[0].starts_with(u"\"C:\\Apps\\Loan.exe\" -clnx \""));
  EXPECT_NE(startedProcesses[0].find(u"\" -clnd \""), std::u16string::npos);
  EXPECT_EQ(state().shutDown, 1);
  EXPECT_FALSE(excel.state(dispid::application::EnableEvents).toBoolean());
}

// Saving into the executable: the application's executable is a copy of a small program of the system,
// Excel's workbook file a file the double writes. What a save leaves in the executable is read back
// with the portable reader, as cwbk does.
class SaveIntoExecutableTest : public ChangeRoadTest {
protected:
  std::u16string folder, exePath, workbookPath;
  SectionKey key;

  static std::u16string tempPath() {
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    return std::u16string(reinterpret_cast<const char16_t*>(path));
  }
  static const wchar_t* w(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
  static Bytes fileBytes(const std::u16string& path) {
    Bytes bytes;
    HANDLE f = CreateFileW(w(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(f, nullptr));
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(f, bytes.data(), DWORD(bytes.size()), &got, nullptr);
    CloseHandle(f);
    return bytes;
  }

  void SetUp() override {
    settings = settingsBlock(0x0008, u"Road");
    const std::u16string id = std::u16string(u"_") + char16_t(u'a' + GetCurrentProcessId() % 26);
    folder = tempPath() + u"save_test" + id + u"\\";
    CreateDirectoryW(w(folder), nullptr);
    exePath = folder + u"Road.exe";
    workbookPath = folder + u"Road.xlsx";
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(CopyFileW((std::wstring(system) + L"\\notepad.exe").c_str(), w(exePath), FALSE));
    book.writesFiles = true;
    book.setProperty(dispid::workbook::FullName, Variant::text(workbookPath));
    excel.activeWorkbook = &book;
    ChangeRoadTest::SetUp();
    EXPECT_TRUE(sendText(1160, exePath));
    EXPECT_TRUE(sendText(1165, workbookPath));
    key = SectionKey::fromSections({reinterpret_cast<const uint8_t*>("the code section"), 16},
                                   {reinterpret_cast<const uint8_t*>("the read-only data"), 18});
  }
  void TearDown() override {
    ChangeRoadTest::TearDown();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(w(folder + u"*"), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
        if (name != u"." && name != u"..") {
          SetFileAttributesW(w(folder + name), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(w(folder + name));
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(w(folder));
  }

  // The stream the executable carries, loaded into a model of its own.
  std::unique_ptr<CompiledWorkbook> savedModel(const std::u16string& path) {
    const SavedStream saved = readSavedStream(fileBytes(path), key);
    EXPECT_EQ(saved.status, SavedStreamStatus::Read) << saved.message;
    if (saved.status != SavedStreamStatus::Read) return nullptr;
    auto model = std::make_unique<CompiledWorkbook>();
    compiler::loadStreamBytes(saved.stream, *model);
    return model;
  }
  // Every cell of the workbook in the saved model reads as in the runtime's model.
  void expectSameCells(const CompiledWorkbook& saved) {
    for (uint32_t row = 0; row < 3; ++row)
      for (uint32_t column = 0; column < 5; ++column) {
        const Cell* c = saved.findCell(CellAddress::make(0, column, row));
        const std::u16string text = c && c->value() ? displayText(*c->value()) : u"<none>";
        EXPECT_EQ(text, cell(row, column)) << "row " << row << " column " << column;
      }
  }
  DispatchWrapper workbook() { return DispatchWrapper(static_cast<IDispatch*>(&book)); }
};

TEST_F(SaveIntoExecutableTest, ExcelsSaveWritesTheWorkbookAndTheUsersValuesIntoTheExecutable) {
  // An earlier, longer save left more sections than the new stream has.
  HANDLE update = BeginUpdateResourceW(w(exePath), FALSE);
  ASSERT_NE(update, nullptr);
  char junk[] = "an old section";
  for (WORD id : {WORD(1201), WORD(1202)})
    ASSERT_TRUE(UpdateResourceW(update, L"EXTRSC", MAKEINTRESOURCEW(id), 1033, junk, sizeof junk));
  ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
  // The program's own resources (icons, version, ...), which the save keeps.
  auto ownResources = [&] {
    std::vector<std::tuple<std::u16string, uint16_t, std::u16string, uint16_t, Bytes>> own;
    const Bytes image = fileBytes(exePath);
    for (const PeResource& r : listResources(image).value_or(std::vector<PeResource>{}))
      if (!hasTypeName(r, u"EXTRSC"))
        own.emplace_back(r.typeName, r.typeId, r.name, r.nameId, Bytes(r.data.begin(), r.data.end()));
    return own;
  };
  const auto before = ownResources();
  EXPECT_FALSE(before.empty());

  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  ASSERT_EQ(cell(0, 1), u"10");
  workbook().call(dispid::workbook::Save);

  auto saved = savedModel(exePath);
  ASSERT_TRUE(saved);
  expectSameCells(*saved);
  EXPECT_EQ(displayText(*saved->findCell(CellAddress::make(0, 0, 0))->value()), u"5");

  const Bytes image = fileBytes(exePath);
  const auto resources = listResources(image);
  ASSERT_TRUE(resources);
  const PeResource* book =
      findResource(*resources, encodedString(EncodedString::WorkbookResourceType), kWorkbookResourceId, 1033);
  ASSERT_NE(book, nullptr);
  const auto workbookFile = readWorkbookBlock(book->data);
  ASSERT_TRUE(workbookFile);
  EXPECT_EQ(workbookFile->file, fileBytes(workbookPath));
  size_t sections = 0;
  for (const PeResource& r : *resources)
    sections += hasTypeName(r, u"EXTRSC");
  EXPECT_EQ(sections, 1u); // the surplus sections are gone
  auto after = ownResources();
  std::erase_if(after, [](const auto& r) { return std::get<0>(r) == u"CWBKBOOK"; });
  EXPECT_EQ(after, before);
}

TEST_F(SaveIntoExecutableTest, AFailedSaveLeavesTheExecutableUntouched) {
  const Bytes before = fileBytes(exePath);
  // Excel cannot save the workbook.
  book.failWith(dispid::workbook::Save, E_FAIL);
  EXPECT_THROW(workbook().call(dispid::workbook::Save), ComError);
  EXPECT_EQ(fileBytes(exePath), before);
  book.unscript(dispid::workbook::Save);

  // A read-only executable: the user is told and offered "Save As" (declined here).
  static bool offered = false;
  entry<RuntimeTestSetDialogsFn>(module, "RuntimeTestSetDialogs")(
      [](HWND, bool, const char16_t*, const char16_t* title, char16_t*, unsigned) {
        offered = std::u16string_view(title) == u"Save As";
        return false;
      },
      nullptr);
  SetFileAttributesW(w(exePath), FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(workbook().call(dispid::workbook::Save), ComError);
  ASSERT_EQ(messageBoxes.size(), 1u);
  EXPECT_NE(messageBoxes[0].find(exePath), std::u16string::npos);
  EXPECT_TRUE(offered);
  EXPECT_EQ(fileBytes(exePath), before);
}

TEST_F(SaveIntoExecutableTest, SaveAsWritesANewExecutableAndMakesItTheApplications) {
  sheet.set(u"A2", Variant::number(1.5));
  changed(u"A2");
  // Without an ending, ".exe" is added. The workbook is saved to the temporary folder under the title,
  // numbered past the names taken there (with or without ".xls").
  const std::u16string taken[] = {tempPath() + u"Copy", tempPath() + u"Copy(1).xls"};
  for (const std::u16string& name : taken)
    std::ofstream(std::string(name.begin(), name.end())) << "taken";
  DeleteFileW(w(tempPath() + u"Copy(1)"));
  DeleteFileW(w(tempPath() + u"Copy(2)"));
  workbook().call(dispid::workbook::SaveAs, {Variant::text(folder + u"Copy")});
  const std::u16string copy = folder + u"Copy.exe";
  auto saved = savedModel(copy);
  ASSERT_TRUE(saved);
  expectSameCells(*saved);
  EXPECT_EQ(cell(1, 1), u"22.5");
  EXPECT_EQ(book.property(dispid::workbook::FullName).toText(), tempPath() + u"Copy(2)");
  for (const std::u16string& name : taken)
    DeleteFileW(w(name));
  DeleteFileW(w(tempPath() + u"Copy(2)"));
  // The new executable is the application's now: Save writes into it.
  sheet.set(u"A1", Variant::number(1));
  changed(u"A1");
  workbook().call(dispid::workbook::Save);
  saved = savedModel(copy);
  ASSERT_TRUE(saved);
  expectSameCells(*saved);

  // An existing target is replaced only when the user says so; nothing is left half-written.
  messageBoxAnswer = IDNO;
  const Bytes before = fileBytes(copy);
  // Declined, the SaveAs fails as Excel's own does when the user keeps the existing file.
  EXPECT_THROW(workbook().call(dispid::workbook::SaveAs, {Variant::text(folder + u"Copy.EXE")}), ComError);
  EXPECT_EQ(messageBoxes.size(), 1u);
  EXPECT_EQ(fileBytes(copy), before);
  EXPECT_EQ(GetFileAttributesW(w(folder + u"Copy.EXE.part")), INVALID_FILE_ATTRIBUTES);
}

TEST_F(InterceptionTest, SwitchingFromManualToAutomaticRecalculatesPendingChangesOnce) {
  namespace app = dispid::application;
  ApplicationWrapper application(excel.application());
  application.putInteger(app::Calculation, dispid::constant::CalculationManual);
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 42); // manual: the change waits
  excel.log().clear();
  application.putInteger(app::Calculation, dispid::constant::CalculationAutomatic);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10);
  EXPECT_EQ(calls(app::CalculateFull, "Application"), 1u);
  EXPECT_EQ(excel.state(app::Calculation).toInteger(), dispid::constant::CalculationAutomatic);
  // Back to manual, and to automatic with nothing pending: no recalculation.
  application.putInteger(app::Calculation, dispid::constant::CalculationManual);
  application.putInteger(app::Calculation, dispid::constant::CalculationAutomatic);
  EXPECT_EQ(calls(app::CalculateFull, "Application"), 1u);
}

// With the restricted workbook, late-bound calls on the application's workbook pass the workbook
// filter first; the user's other workbook is Excel's.
class WorkbookFilterTest : public InterceptionTest {
protected:
  void SetUp() override {
    settings = settingsBlock(0x0080, u"Restricted");
    InterceptionTest::SetUp();
  }
};

TEST_F(WorkbookFilterTest, KeepsTheApplicationsWorkbookFromMembersThatWouldCopyOrExposeIt) {
  DispatchWrapper mine(static_cast<IDispatch*>(&book)), theirs(static_cast<IDispatch*>(&other));
  // The guarded text property answers empty for the application's workbook without reaching Excel.
  EXPECT_TRUE(mine.getVariant(dispid::workbook::GuardedText).isEmpty());
  EXPECT_THROW(theirs.getVariant(dispid::workbook::GuardedText), ComError); // the double has no such member
  excel.log().clear();
  mine.call(dispid::workbook::SaveCopyAs, {Variant::text(u"C:\\Books\\Stolen.xlsx")});
  theirs.call(dispid::workbook::SaveCopyAs, {Variant::text(u"C:\\Books\\Mine.xlsx")});
  EXPECT_EQ(calls(dispid::workbook::SaveCopyAs, "Workbook Book1"), 0u);
  EXPECT_EQ(calls(dispid::workbook::SaveCopyAs, "Workbook Other"), 1u);
  // A macro's password write is ignored; the runtime's own goes through Excel's member.
  mine.putText(dispid::workbook::Password, u"guess");
  EXPECT_EQ(calls(dispid::workbook::Password, "Workbook Book1"), 0u);
}

TEST_F(InterceptionTest, AMarkedMacroRunThroughExcelSwitchesRecalculationInManualModeOn) {
  int runs = 0;
  excel.macros[u"Application.xlsm!SetRecalcMode"] = [&](std::span<const Variant> arguments) {
    ++runs;
    return Variant::integer(int32_t(arguments.size()));
  };
  ApplicationWrapper application(excel.application());
  application.putInteger(dispid::application::Calculation, dispid::constant::CalculationManual);
  EXPECT_EQ(application.run(u"Application.xlsm!SetRecalcMode", std::vector<Variant>{Variant::integer(7)})
                .toInteger(),
            1);
  EXPECT_EQ(runs, 1);
  sheet.set(u"A1", Variant::number(5));
  changed(u"A1");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 10); // recalculated although Excel calculates manually
}
