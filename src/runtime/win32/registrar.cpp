// The registration with Excel's C API.
#include "runtime/win32/registrar.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

#include "runtime/encoded_strings.h"

namespace cwbk {
namespace {

constexpr int kXlFree = 0x4000;
constexpr int kXlSheetNm = 0x4005;
constexpr int kXlfRegister = 149;
constexpr int kXlfRegisterId = 267;
constexpr int kXlfSetName = 88;
constexpr int kXlfUnregister = 201;
constexpr int kXlcOnKey = 0x80A8;
constexpr int kXlcOnDoubleClick = 0x8118;
constexpr int kFailed = 32;
constexpr int kInvalidCount = 4;

using MdCallBackFn = int(WINAPI*)(int function, int count, XlOper** arguments, XlOper* result);

std::string narrow(const std::u16string& text) {
  return std::string(text.begin(), text.end()); // the registration's texts are ASCII
}

// An 8-bit text operand that owns its bytes; cut to 255 characters.
class TextOper {
public:
  explicit TextOper(std::string_view text) : bytes_(1, char(std::min<size_t>(text.size(), 255))) {
    bytes_.append(text.substr(0, 255));
    oper_.type = kXlTypeText;
    oper_.value.text = reinterpret_cast<unsigned char*>(bytes_.data());
  }
  TextOper(const TextOper&) = delete;
  XlOper* get() { return &oper_; }

private:
  std::string bytes_;
  XlOper oper_{};
};

// Calls the C API and hands a result that Excel owns back to it; a failed hand-back is raised.
int call(int function, XlOper* result, std::initializer_list<XlOper*> arguments) {
  std::vector<XlOper*> list(arguments);
  const int code = excel4(function, result, int(list.size()), list.data());
  if (result && (result->type & kXlTypeExcelOwned)) {
    XlOper* owned[] = {result};
    const int freed = excel4(kXlFree, nullptr, 1, owned);
    *result = {};
    result->type = kXlTypeNil;
    if (freed != 0) throw std::runtime_error("the C API could not free a result: " + std::to_string(freed));
  }
  return code;
}

} // namespace

std::optional<std::string> referenceSheetName(const XlOper& reference) {
  XlOper result{};
  result.type = kXlTypeNil;
  XlOper* arguments[] = {const_cast<XlOper*>(&reference)};
  if (excel4(kXlSheetNm, &result, 1, arguments) != 0) return std::nullopt;
  std::optional<std::string> name;
  if ((result.type & ~kXlTypeExcelOwned) == kXlTypeText && result.value.text)
    name.emplace(reinterpret_cast<const char*>(result.value.text + 1), result.value.text[0]);
  if (result.type & kXlTypeExcelOwned) {
    XlOper* owned[] = {&result};
    excel4(kXlFree, nullptr, 1, owned);
  }
  return name;
}

int excel4(int function, XlOper* result, int count, XlOper* const* arguments) {
  static const MdCallBackFn callBack = reinterpret_cast<MdCallBackFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(nullptr), "MdCallBack")));
  if (!callBack) return kFailed;
  if (count > 255 || count < 0) return kInvalidCount;
  return callBack(function, count, const_cast<XlOper**>(arguments), result);
}

Registrar::Registrar() = default;
Registrar::~Registrar() = default;

void Registrar::buildTable() {
  struct Row {
    uint32_t key;
    int procedure, functionText;
    const char* typeText;
    const char* macroType;
  };
  static constexpr Row kRows[] = {
      {0, 0, 0, "R", "0"},    {1, 1, 13, "R", "0"},  {2, 2, 14, "B", "0"},   {3, 3, 17, "J", "0"},
      {4, 4, 4, "J", "0"},    {5, 5, 18, "RR", "0"}, {6, 6, 6, "J", "0"},    {7, 7, 7, "RR", "0"},
      {8, 8, 16, "RJP", "2"}, {9, 9, 9, "J", "2"},   {502, 2, 15, "B", "0"},
  };
  for (const Row& row : kRows) {
    if (table_.count(row.key)) continue;
    Registration entry;
    entry.procedure = narrow(registrarString(row.procedure));
    entry.functionText = narrow(registrarString(row.functionText));
    entry.typeText = row.typeText;
    entry.macroType = row.macroType;
    entry.registerId.type = kXlTypeNil;
    table_.emplace(row.key, std::move(entry));
  }
}

void Registrar::install() {
  try {
    buildTable();
    wchar_t path[261] = {};
    const std::u16string stub = registrarString(kRegistrarStubModule);
    HMODULE module = GetModuleHandleW(reinterpret_cast<const wchar_t*>(stub.c_str()));
    const DWORD n = module ? GetModuleFileNameW(module, path, 260) : 0;
    stubPath_.clear();
    for (DWORD i = 0; i < n; ++i)
      stubPath_.push_back(path[i] < 0x80 ? char(path[i]) : '?');
    for (auto& [key, entry] : table_) {
      TextOper module8(stubPath_), procedure(entry.procedure), type(entry.typeText), name(entry.functionText),
          arguments(""), macroType(entry.macroType);
      XlOper registered{};
      registered.type = kXlTypeNil;
      call(kXlfRegister, &registered,
           {module8.get(), procedure.get(), type.get(), name.get(), arguments.get(), macroType.get()});
      TextOper module8Again(stubPath_), procedureAgain(entry.procedure);
      XlOper id{};
      id.type = kXlTypeNil;
      // Only a call that succeeded gives an id to keep; a number is kept as it is, anything Excel owns
      // was handed back by `call`.
      if (call(kXlfRegisterId, &id, {module8Again.get(), procedureAgain.get()}) == 0 &&
          id.type == kXlTypeNumber)
        entry.registerId = id;
    }
    if (auto recalculation = table_.find(1); recalculation != table_.end())
      for (int keyText : {10, 11}) {
        TextOper key(narrow(registrarString(keyText))), procedure(recalculation->second.functionText);
        call(kXlcOnKey, nullptr, {key.get(), procedure.get()});
      }
    XlOper allSheets{};
    allSheets.type = kXlTypeNil;
    TextOper recordNext(narrow(registrarString(6)));
    call(kXlcOnDoubleClick, nullptr, {&allSheets, recordNext.get()});
  } catch (...) {
  }
}

void Registrar::uninstall() {
  try {
    for (auto& [key, entry] : table_) {
      TextOper name(entry.functionText);
      call(kXlfSetName, nullptr, {name.get()});
      if (entry.registerId.type == kXlTypeNumber) call(kXlfUnregister, nullptr, {&entry.registerId});
    }
    for (int keyText : {10, 11}) {
      TextOper key(narrow(registrarString(keyText)));
      call(kXlcOnKey, nullptr, {key.get()});
    }
  } catch (...) {
  }
}

} // namespace cwbk
