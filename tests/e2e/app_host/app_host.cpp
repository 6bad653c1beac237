// The application as its user runs it, on a machine without Excel: this program plays the application
// executable and Excel (the scripted double, hidden), loads the runtime module, opens the compiled
// workbook in it as the executable would, and then types inputs the way a user does, printing what
// Excel's cells show at each step.
//
//   app_host WORKBOOK.txt --runtime DaverirIza.dll --cells Loan!B1:B11 [--set Loan!B1=30000 ...]
//            [--save APP.exe]
//   app_host --from APP.exe --runtime DaverirIza.dll --cells Loan!B1:B11
//
// With --save saving into the executable is on: APP.exe (a copy of app_executable.exe, beside this
// program, when it does not exist yet) is the application's executable, and after the inputs the user saves, which
// writes the workbook and the user's values into APP.exe. With --from the application starts from
// what such a save left in APP.exe instead of a text workbook.
//
// With --time each input is also timed: the road through the runtime (the change message in, every
// changed value written into Excel's cells), beside the engine's own recalculation of the same change
// in a model of its own.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "compiler/text_workbook.h"
#include "compiler/workbook_calc.h"
#include "compiler/workbook_compiler.h"
#include "excel/excel_members.h"
#include "excel/excel_objects.h"
#include "excel/variant_bridge.h"
#include "excel_double/excel_double.h"
#include "excel_double/host_messages.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/reference.h"
#include "functions/function_library.h"
#include "platform/utf8.h"
#include "runtime/saved_executable.h"
#include "runtime/section_key.h"
#include "values/conversions.h"

using namespace cwbk;
using namespace cwbk::testing;

namespace {

struct Options {
  std::string workbook, runtime, saveInto, from;
  std::vector<std::string> cells; // areas to print, "Sheet!A1:B5"
  std::vector<std::pair<std::string, std::string>> inputs;
  bool time = false;
};

double secondsNow() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return double(count.QuadPart) / double(frequency.QuadPart);
}

std::u16string wide(const std::string& text) {
  return utf8ToUtf16Replacing(text);
}
std::string utf8(std::u16string_view text) {
  return utf16ToUtf8(text);
}

// The two sections of the application's executable that make the section key.
constexpr std::string_view kKeyCode = "the application's code";
constexpr std::string_view kKeyData = "the application's data";

class Host {
public:
  Host(const Options& options) : options_(options) {}

  int run() {
    const Bytes stream = options_.from.empty()
                             ? savedStream(compiler::readTextWorkbookFile(options_.workbook))
                             : streamOf(options_.from);
    openAsExcelDoes(stream);
    if (options_.time) {
      engine_ = std::make_unique<CompiledWorkbook>();
      compiler::loadStreamBytes(stream, *engine_);
      compiler::calculateAll(*engine_);
    }
    HWND main = excel_.mainWindow();
    for (const wchar_t* name : {L"XLCELLEDIT", L"XLNAMEBOX", L"XLDESK"})
      child(main, name);
    module_ = LoadLibraryW(reinterpret_cast<const wchar_t*>(wide(options_.runtime).c_str()));
    if (!module_) {
      std::printf("the runtime module %s cannot be loaded (error %lu)\n", options_.runtime.c_str(),
                  GetLastError());
      return 1;
    }
    std::printf("=== the application starts: Excel (hidden), the runtime loaded into it\n");
    if (!options_.from.empty())
      std::printf("    the compiled workbook comes from the sections saved in %s\n", options_.from.c_str());
    const bool saving = !options_.saveInto.empty();
    sendBuffer(1155,
               settingsBlock(saving ? 0x0008 : 0, u"Demo application")); // 0x0008: saving into the executable
    const SectionKey key = writeKeySource();
    std::vector<Bytes> chunks = compiler::streamToChunks(stream, 2048);
    for (Bytes& chunk : chunks) {
      key.combineBlock(chunk);
      sendBuffer(1157, chunk);
    }
    SendMessageW(main, 1157, 0, 0);
    std::printf("    settings, the section key's source, %zu chunks of the compiled workbook sent\n",
                chunks.size());
    if (saving) prepareSaving();
    SendMessageW(main, 1152, WPARAM(excel_.application()), 0);
    SendMessageW(main, 1167, 0, 0);
    std::printf("    attached to Excel; the workbook is ready\n\n=== Excel's cells\n");
    const auto start = snapshot();
    print(start, nullptr);

    auto recordNext = entry<int32_t WINAPI()>("DummyFunc6");
    auto undo = entry<int32_t WINAPI()>("DummyFunc4");
    for (const auto& [cell, value] : options_.inputs) {
      std::printf("\n=== the user types %s into %s\n", value.c_str(), cell.c_str());
      const auto before = snapshot();
      if (recordNext) recordNext(); // as the workbook's change handler does, so that Undo can take it back
      type(cell, value);
      print(snapshot(), &before);
      if (options_.time) printTimes(cell);
    }
    if (saving) save();
    for (size_t i = options_.inputs.size(); i-- > 0 && undo;) {
      std::printf("\n=== the user chooses Undo (%s)\n", options_.inputs[i].first.c_str());
      const auto before = snapshot();
      undo();
      changed(options_.inputs[i].first);
      print(snapshot(), &before);
    }
    std::printf("\n=== the application closes: the runtime shuts down and ends the process\n");
    std::fflush(stdout);
    SendMessageW(main, 1173, 13, 0);
    return 0; // reached only when the runtime did not end the process
  }

private:
  // Cells by sheet position, row and column: their names and what they show.
  using Snapshot = std::map<std::tuple<int32_t, int32_t, int32_t>, std::pair<std::string, std::string>>;

  template <class F> F* entry(const char* name) {
    return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  // The compiled stream of a workbook as its spreadsheet saved it, every formula with its value: the
  // engine computes the values here, as the spreadsheet did when it saved the workbook.
  static Bytes savedStream(compiler::SourceWorkbook source) {
    CompiledWorkbook computed;
    compiler::loadStreamBytes(compiler::compileToStream(source), computed);
    compiler::calculateAll(computed);
    for (compiler::SourceCell& cell : source.cells) {
      const Cell* result = computed.findCell(CellAddress::make(cell.sheet, cell.column, cell.row));
      if (cell.formula.empty() || !result || !result->value()) continue;
      const CalcValue& v = *result->value();
      if (v.isNumber()) cell.cached = compiler::SourceValue::ofNumber(v.numberValue());
      if (v.isText()) cell.cached = compiler::SourceValue::ofText(std::u16string(v.textView()));
      if (v.isBoolean()) cell.cached = compiler::SourceValue::ofBoolean(v.booleanValue());
      if (v.isErrorValue()) cell.cached = compiler::SourceValue::ofError(CalcError(v.errorCode()));
    }
    return compiler::compileToStream(source);
  }

  // The section key of the application: the Whirlpool digest of its two sections.
  static SectionKey applicationKey() {
    return SectionKey::fromSections({reinterpret_cast<const uint8_t*>(kKeyCode.data()), kKeyCode.size()},
                                    {reinterpret_cast<const uint8_t*>(kKeyData.data()), kKeyData.size()});
  }

  // The compiled stream that a save left in an executable.
  static Bytes streamOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SavedStream saved = readSavedStream(image, applicationKey());
    if (saved.status != SavedStreamStatus::Read) throw std::runtime_error(path + ": " + saved.message);
    return std::move(saved.stream);
  }

  std::u16string fullPath(const std::string& path) {
    wchar_t full[MAX_PATH];
    GetFullPathNameW(reinterpret_cast<const wchar_t*>(wide(path).c_str()), MAX_PATH, full, nullptr);
    return reinterpret_cast<const char16_t*>(full);
  }

  // The application's executable and the file Excel saves the workbook to.
  void prepareSaving() {
    const std::u16string exe = fullPath(options_.saveInto);
    if (GetFileAttributesW(reinterpret_cast<const wchar_t*>(exe.c_str())) == INVALID_FILE_ATTRIBUTES) {
      wchar_t self[MAX_PATH];
      const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
      std::wstring folder(self, n);
      folder.resize(folder.find_last_of(L'\\') + 1);
      CopyFileW((folder + L"app_executable.exe").c_str(), reinterpret_cast<const wchar_t*>(exe.c_str()), FALSE);
    }
    const std::u16string workbookFile = fullPath("app_host_workbook.xlsx");
    book_->writesFiles = true;
    book_->setProperty(dispid::workbook::FullName, Variant::text(workbookFile));
    sendText(1160, exe);
    sendText(1165, workbookFile);
  }

  // The user saves: Excel's own Save on the workbook reaches the runtime, which writes into the
  // application's executable.
  void save() {
    std::printf(
        "\n=== the user saves (Excel's Save): the runtime writes the workbook and the values into %s\n",
        options_.saveInto.c_str());
    DispatchWrapper workbook(static_cast<IDispatch*>(book_));
    try {
      workbook.call(dispid::workbook::Save);
    } catch (const ComError&) {
      std::printf("    the save failed\n");
      return;
    }
    std::ifstream in(options_.saveInto, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const SavedStream saved = readSavedStream(image, applicationKey());
    std::printf("    %s now carries %zu section(s): a stream of %zu bytes\n", options_.saveInto.c_str(),
                saved.sections.size(), saved.stream.size());
  }

  // Excel opens the workbook with the values it was saved with.
  void openAsExcelDoes(const Bytes& stream) {
    CompiledWorkbook saved;
    compiler::loadStreamBytes(stream, saved);
    std::vector<std::u16string> names;
    for (const auto& [index, info] : saved.sheets())
      names.push_back(info.name);
    if (names.empty()) throw std::runtime_error("the workbook has no sheet");
    WorkbookObject& book = excel_.addWorkbook(u"Application.xlsx", {names[0]});
    for (size_t i = 1; i < names.size(); ++i)
      book.addSheet(names[i]);
    saved.forEachCell([&](Cell& cell) {
      if (!cell.value() || cell.value()->isEmpty()) return;
      WorksheetObject* sheet = book.findSheet(names[cell.address().sheet()]);
      Variant value = toVariant(*cell.value(), false);
      sheet->cellAt(int32_t(cell.address().rowIndex()) + 1, int32_t(cell.address().column()) + 1).value =
          value;
    });
    book_ = &book;
  }

  void child(HWND parent, const wchar_t* className) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    CreateWindowExW(0, className, L"", WS_CHILD, 0, 0, 10, 10, parent, nullptr, windowClass.hInstance,
                    nullptr);
  }

  void sendBuffer(UINT msg, const Bytes& bytes) {
    void* buffer =
        VirtualAlloc(nullptr, std::max<size_t>(bytes.size(), 1), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(buffer));
    SendMessageW(excel_.mainWindow(), msg, WPARAM(buffer), LPARAM(bytes.size()));
  }
  void sendText(UINT msg, const std::u16string& text) {
    Bytes bytes(reinterpret_cast<const uint8_t*>(text.data()),
                reinterpret_cast<const uint8_t*>(text.data()) + text.size() * 2);
    void* buffer = VirtualAlloc(nullptr, bytes.size() + 2, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(buffer));
    SendMessageW(excel_.mainWindow(), msg, WPARAM(buffer), LPARAM(text.size()));
  }

  // The executable whose two sections make the section key: written beside the program.
  SectionKey writeKeySource() {
    const Bytes image = keySourceImage(std::string(kKeyCode), std::string(kKeyData));
    const std::string path = "app_host_key_source.exe";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    wchar_t full[MAX_PATH];
    GetFullPathNameW(L"app_host_key_source.exe", MAX_PATH, full, nullptr);
    sendText(1166, std::u16string(reinterpret_cast<const char16_t*>(full)));
    return applicationKey();
  }

  std::pair<WorksheetObject*, std::u16string> split(const std::string& reference) {
    const size_t bang = reference.rfind('!');
    if (bang == std::string::npos) return {nullptr, {}};
    return {book_->findSheet(wide(reference.substr(0, bang))), wide(reference.substr(bang + 1))};
  }

  // What the user does: the value goes into Excel's cell, and the workbook's change handler tells the
  // runtime.
  void type(const std::string& reference, const std::string& text) {
    auto [sheet, a1] = split(reference);
    auto rect = parseRect(a1);
    if (!sheet || !rect) return;
    Variant typed = Variant::text(wide(text));
    sheet->enter(rect->top, rect->left, typed.get(), false);
    changed(reference);
  }

  // The engine alone: the same change in its own model, then the road's time beside it.
  void printTimes(const std::string& reference) {
    auto [sheet, a1] = split(reference);
    auto rect = parseRect(a1);
    const std::optional<CellAddress> address = compiler::parseCellName(*engine_, reference);
    if (!sheet || !rect || !address) return;
    const CalcValue value = fromVariant(sheet->cell(rect->top, rect->left)->value.get());
    const double start = secondsNow();
    compiler::applyChanges(*engine_, {{*address, value}});
    const double engine = secondsNow() - start;
    std::printf("    time: through the runtime and Excel %.1f ms; the engine's own recalculation %.1f ms "
                "(%.2fx)\n",
                lastRoad_ * 1e3, engine * 1e3, engine > 0 ? lastRoad_ / engine : 0.0);
  }

  void changed(const std::string& reference) {
    auto [sheet, a1] = split(reference);
    if (!sheet) return;
    WorksheetWrapper wrapper;
    wrapper.attach(static_cast<IDispatch*>(sheet));
    RangeWrapper range = wrapper.range(a1);
    const double start = secondsNow();
    SendMessageW(excel_.mainWindow(), 1282, WPARAM(wrapper.get()), LPARAM(range.get()));
    lastRoad_ = secondsNow() - start;
  }

  Snapshot snapshot() {
    Snapshot cells;
    for (const std::string& area : options_.cells) {
      auto [sheet, a1] = split(area);
      auto rect = parseRect(a1);
      if (!sheet || !rect) continue;
      for (int32_t row = rect->top; row <= rect->bottom; ++row)
        for (int32_t column = rect->left; column <= rect->right; ++column) {
          const CellData* data = sheet->cell(row, column);
          std::u16string shown = data ? displayText(fromVariant(data->value.get())) : u"";
          const std::string name = utf8(sheet->name()) + "!" + utf8(rectText({row, column, row, column}));
          cells[{sheet->index(), row, column}] = {name, utf8(shown)};
        }
    }
    return cells;
  }

  // Prints every cell, or with an earlier snapshot only the cells that changed, before and after.
  static void print(const Snapshot& now, const Snapshot* before) {
    size_t changes = 0;
    for (const auto& [where, cell] : now) {
      const auto& [name, shown] = cell;
      if (!before) {
        std::printf("    %-16s %s\n", name.c_str(), shown.c_str());
      } else if (before->at(where).second != shown) {
        std::printf("    %-16s %-22s -> %s\n", name.c_str(), before->at(where).second.c_str(), shown.c_str());
        ++changes;
      }
    }
    if (before) std::printf("    (%zu cells changed in Excel)\n", changes);
  }

  Options options_;
  ExcelDouble excel_;
  WorkbookObject* book_ = nullptr;
  HMODULE module_ = nullptr;
  std::unique_ptr<CompiledWorkbook> engine_; // the engine's own model, for --time
  double lastRoad_ = 0;                      // seconds of the last change message
};

} // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--time") {
      options.time = true;
    } else if (arg == "--save" && i + 1 < argc) {
      options.saveInto = argv[++i];
    } else if (arg == "--from" && i + 1 < argc) {
      options.from = argv[++i];
    } else if (arg == "--runtime" && i + 1 < argc) {
      options.runtime = argv[++i];
    } else if (arg == "--cells" && i + 1 < argc) {
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        const size_t comma = list.find(',', at);
        options.cells.push_back(list.substr(at, comma - at));
        at = comma == std::string::npos ? list.size() + 1 : comma + 1;
      }
    } else if (arg == "--set" && i + 1 < argc) {
      const std::string assignment = argv[++i];
      const size_t equals = assignment.find('=');
      if (equals != std::string::npos)
        options.inputs.emplace_back(assignment.substr(0, equals), assignment.substr(equals + 1));
    } else if (options.workbook.empty()) {
      options.workbook = arg;
    }
  }
  if ((options.workbook.empty() && options.from.empty()) || options.runtime.empty()) {
    std::fprintf(
        stderr,
        "usage: app_host WORKBOOK.txt --runtime DaverirIza.dll [--cells AREAS] [--set CELL=VALUE ...] "
        "[--save APP.exe]\n       app_host --from APP.exe --runtime DaverirIza.dll [--cells AREAS]\n");
    return 2;
  }
  installFunctionLibrary();
  try {
    return Host(options).run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "app_host: %s\n", e.what());
    return 1;
  }
}
