// The runtime's DDE client against a DDE server in a process of its own (dde_server.exe beside this
// program): the runtime module is loaded into the process that plays Excel, the workbook's DDE
// references read the server's items, and the server's announced changes recalculate their readers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

#include <windows.h>

#include "compiler/text_workbook.h"
#include "compiler/workbook_compiler.h"
#include "dde_server/dde_server_protocol.h"
#include "formula/compiled_workbook.h"
#include "formula/reference_nodes.h"
#include "formula/workbook_stream.h"
#include "runtime_in_double.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

// The server program serving the topic "Fruit" of the service "CwbkQuotes", started with the items
// given as "ITEM=VALUE" and ended by the destructor (killed when it does not end by itself).
class DdeServerProcess {
public:
  explicit DdeServerProcess(std::initializer_list<const wchar_t*> items) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring program(path);
    program.resize(program.find_last_of(L"\\/") + 1);
    std::wstring command = L"\"" + program + L"dde_server.exe\" CwbkQuotes Fruit";
    for (const wchar_t* item : items)
      command += L" \"" + std::wstring(item) + L"\"";

    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0)) return;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &info);
    CloseHandle(writeEnd); // the server's end closes when it exits, so the read below cannot hang
    if (started) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
      // The server writes its window once its service is registered.
      std::string line;
      char c = 0;
      DWORD got = 0;
      while (ReadFile(readEnd, &c, 1, &got, nullptr) && got == 1 && c != '\n')
        line.push_back(c);
      window_ = HWND(uintptr_t(std::strtoull(line.c_str(), nullptr, 10)));
    }
    CloseHandle(readEnd);
  }
  ~DdeServerProcess() { end(); }
  DdeServerProcess(const DdeServerProcess&) = delete;
  DdeServerProcess& operator=(const DdeServerProcess&) = delete;

  bool running() const { return window_ != nullptr; }

  // Sets an item's bytes and announces the change to its advise loops.
  void set(std::string_view item, std::string_view value) {
    std::string text = std::string(item) + "=" + std::string(value);
    COPYDATASTRUCT data = {0, DWORD(text.size()), text.data()};
    SendMessageW(window_, WM_COPYDATA, 0, LPARAM(&data));
  }
  long count(Counter counter) { return long(SendMessageW(window_, kCountMessage + counter, 0, 0)); }

  // Ends the server, letting this thread's messages run meanwhile: its conversations' ends reach the
  // runtime's client on this thread.
  void end() {
    if (!process_) return;
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    const DWORD deadline = GetTickCount() + 5000;
    for (;;) {
      const DWORD now = GetTickCount();
      const DWORD wait = now < deadline ? deadline - now : 0;
      if (MsgWaitForMultipleObjects(1, &process_, FALSE, wait, QS_ALLINPUT) != WAIT_OBJECT_0 + 1) break;
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    }
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
    process_ = nullptr;
    window_ = nullptr;
  }

private:
  HANDLE process_ = nullptr;
  HWND window_ = nullptr;
};

// The readers A1, C1 and E1 (volatile, so that every recalculation asks the server again) each read
// an item of the topic "Fruit"; B1, D1 and F1 compute from them; typing Y1, which X1 reads,
// recalculates. The readers' formulas differ in form so that each has a template of its own to replace.
constexpr char kWorkbook[] = R"([sheets]
Data

[cells]
Data!A1: =$Z$1
Data!B1: =A1*2
Data!C1: =-$Z$1
Data!D1: =C1+1
Data!E1: =-(-$Z$1)
Data!F1: =E1&"!"
Data!X1: =Y1+1
Data!Y1: 1

[flags]
Data!A1: volatile
Data!C1: volatile
Data!E1: volatile
)";

class DdeTest : public RuntimeInDoubleTest {
protected:
  DdeServerProcess quotes{L"Apple=12", L"Pear=12.5\\r\\n", L"Plum=ripe"};

  void SetUp() override { ASSERT_TRUE(quotes.running()); }

  // Starts the runtime with the readers of the items in order: the first in A1, the next in C1, E1.
  void start(std::initializer_list<const char16_t*> items) {
    CompiledWorkbook workbook;
    compiler::compileWorkbook(compiler::readTextWorkbook(kWorkbook), workbook);
    DdeSource source;
    source.application = u"CwbkQuotes";
    source.topic = u"Fruit";
    int32_t index = 0;
    for (const char16_t* item : items) {
      source.items.push_back({item, {}});
      Cell* reader = workbook.findCell(CellAddress::make(0, 2 * index, 0));
      workbook.formulaTemplates()[size_t(reader->templateIndex())] = new DdeRefNode(workbook, 0, index);
      ++index;
    }
    workbook.ddeSources().push_back(source);
    Bytes stream;
    writeWorkbook(workbook, stream);
    startWith(0, stream);
  }

  // A1 and B1 hold the reference error in the model and in Excel's cells.
  void expectReferenceErrors() {
    for (uint32_t column : {0u, 1u}) {
      EXPECT_EQ(cell(0, 0, column), u"#REF!");
      const Variant shown = sheet.value(column == 0 ? u"A1" : u"B1");
      EXPECT_EQ(shown.type(), VT_ERROR);
      EXPECT_EQ(uint32_t(shown.get().scode), 0x800A07E7u);
    }
  }
};

TEST_F(DdeTest, ItemsOfOneConversationAreReadEachWithItsAdviseLoop) {
  start({u"Apple", u"Pear", u"Plum"});
  EXPECT_EQ(cell(0, 0, 0), u"12");
  EXPECT_EQ(cell(0, 0, 1), u"24");
  EXPECT_EQ(cell(0, 0, 2), u"12.5"); // the line end is no part of the number
  EXPECT_EQ(cell(0, 0, 3), u"13.5");
  EXPECT_EQ(cell(0, 0, 4), u"ripe");
  EXPECT_EQ(cell(0, 0, 5), u"ripe!");
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 12);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 24);
  EXPECT_EQ(sheet.value(u"C1").toDouble(), 12.5);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 13.5);
  EXPECT_EQ(sheet.value(u"E1").toText(), u"ripe");
  EXPECT_EQ(sheet.value(u"F1").toText(), u"ripe!");
  EXPECT_EQ(quotes.count(Connects), 1);
  EXPECT_EQ(quotes.count(AdviseStarts), 3);
  EXPECT_EQ(quotes.count(Requests), 3);

  // A recalculation asks again through the live conversation, without a new advise loop.
  typed(sheet, u"Y1", 2);
  EXPECT_EQ(quotes.count(Requests), 6);
  EXPECT_EQ(quotes.count(Connects), 1);
  EXPECT_EQ(quotes.count(AdviseStarts), 3);
  EXPECT_EQ(sheet.value(u"D1").toDouble(), 13.5);
}

TEST_F(DdeTest, AnAnnouncedChangeGivesItsReadersTheirNewValues) {
  start({u"Apple", u"Pear"});
  quotes.set("Apple", "20");
  ASSERT_TRUE(pumpUntil([&] { return sheet.value(u"B1").toDouble() == 40; }));
  EXPECT_EQ(cell(0, 0, 0), u"20");
  EXPECT_EQ(cell(0, 0, 1), u"40");
  EXPECT_EQ(sheet.value(u"A1").toDouble(), 20);
  EXPECT_TRUE(eventsOn());
  // The other advise loop of the conversation updates its own readers.
  quotes.set("Pear", "7\r\n");
  ASSERT_TRUE(pumpUntil([&] { return sheet.value(u"D1").toDouble() == 8; }));
  EXPECT_EQ(cell(0, 0, 2), u"7");
  EXPECT_EQ(cell(0, 0, 3), u"8");
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 40);
  EXPECT_EQ(quotes.count(Connects), 1);
}

TEST_F(DdeTest, AChangeWhileExcelCalculatesManuallyOrWithoutEventsChangesNothing) {
  start({u"Apple"});
  excel.setState(dispid::application::Calculation, Variant::integer(-4135));
  const size_t before = recalculations();
  quotes.set("Apple", "30");
  pumpUntil([] { return false; });
  EXPECT_EQ(recalculations(), before);
  excel.setState(dispid::application::Calculation, Variant::integer(-4105));
  excel.setState(dispid::application::EnableEvents, Variant::boolean(false));
  quotes.set("Apple", "31");
  pumpUntil([] { return false; });
  EXPECT_EQ(recalculations(), before);
  EXPECT_EQ(sheet.value(u"B1").toDouble(), 24);
  EXPECT_EQ(cell(0, 0, 1), u"24");
}

TEST_F(DdeTest, AnItemTheServerRefusesIsAnErrorNeverAValue) {
  start({u"Fig"});
  expectReferenceErrors();
  EXPECT_EQ(quotes.count(AdviseStarts), 0);
}

TEST_F(DdeTest, AfterTheServerEndedItsItemIsAnErrorNeverTheOldValue) {
  start({u"Apple"});
  EXPECT_EQ(cell(0, 0, 1), u"24");
  quotes.end();
  typed(sheet, u"Y1", 2);
  expectReferenceErrors();
}

} // namespace
