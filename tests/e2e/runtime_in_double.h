// The fixture of the scenarios that load the runtime module into a process that plays Excel: the
// double with one workbook of one sheet, the module started as the application starts it, and the
// helpers that send Excel's messages, read the model's cells and let this thread's messages run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>

#include "compiler/workbook_compiler.h"
#include "excel/excel_members.h"
#include "excel/excel_objects.h"
#include "excel_double/excel_double.h"
#include "excel_double/host_messages.h"
#include "runtime/section_key.h"
#include "runtime/win32/runtime_testing.h"

namespace cwbk::testing {

// What the runtime showed and what its dialogs answer.
inline std::vector<std::u16string> boxes;
inline std::vector<unsigned> boxStyles;
inline int boxAnswer = IDYES;
inline std::u16string exportFile;

inline int recordBox(HWND, const char16_t* text, const char16_t*, unsigned style) {
  boxes.emplace_back(text);
  boxStyles.push_back(style);
  return (style & 0xF) == MB_OK ? IDOK : boxAnswer;
}
inline void recordEnd(unsigned) {}
inline bool chooseExportFile(HWND, bool, const char16_t*, const char16_t*, char16_t* path,
                             unsigned capacity) {
  if (exportFile.size() >= capacity) return false;
  std::copy(exportFile.begin(), exportFile.end(), path);
  path[exportFile.size()] = 0;
  return true;
}
inline bool chooseNoColor(HWND, unsigned*) {
  return false;
}

template <class F> F* moduleEntry(HMODULE module, const char* name) {
  return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class RuntimeInDoubleTest : public ::testing::Test {
protected:
  ExcelDouble excel;
  WorkbookObject& book = excel.addWorkbook(u"Book1.xlsx", {u"Data"});
  WorksheetObject& sheet = book.sheet(1);
  HMODULE module = nullptr;
  RuntimeTestCellTextFn* cellText = nullptr;
  std::string keyFile;

  // Starts the runtime as the application does: the settings with their flags, the key, the workbook
  // stream in chunks, the attach and the ready message.
  void startWith(uint16_t flags, const Bytes& stream) {
    boxes.clear();
    boxStyles.clear();
    boxAnswer = IDYES;
    module = LoadLibraryW(L"DaverirIzaTesting.dll");
    ASSERT_NE(module, nullptr);
    moduleEntry<RuntimeTestSetEffectsFn>(module, "RuntimeTestSetEffects")(recordBox, recordEnd);
    moduleEntry<RuntimeTestSetDialogsFn>(module, "RuntimeTestSetDialogs")(chooseExportFile, chooseNoColor);
    cellText = moduleEntry<RuntimeTestCellTextFn>(module, "RuntimeTestCellText");
    ASSERT_NE(cellText, nullptr);
    sendBuffer(1155, settingsBlock(flags, u"Quotes"));
    const SectionKey key = writeKeyFile();
    sendText(1166, std::u16string(keyFile.begin(), keyFile.end()));
    for (Bytes& chunk : compiler::streamToChunks(stream)) {
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

  // The model's cell as text; "<none>" when the model has no such cell.
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
};

} // namespace cwbk::testing
