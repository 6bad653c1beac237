// The typed wrappers' members that do more than one plain call: block reads and writes, Excel's
// own implementations, macros, Evaluate, the main window and the running object table.
#include "excel/excel_objects.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "excel/interception.h"
#include "excel/variant_bridge.h"
#include "formula/reference.h"

namespace cwbk {

namespace {

// Returns `arguments` padded with missing arguments to `slots` (those beyond are dropped).
std::vector<Variant> padded(std::span<const Variant> arguments, size_t slots,
                            const Variant* first = nullptr) {
  std::vector<Variant> all;
  all.reserve(slots + 1);
  if (first) all.push_back(*first);
  for (size_t i = 0; i < slots; ++i)
    all.push_back(i < arguments.size() ? arguments[i] : Variant::missing());
  return all;
}

constexpr size_t kMacroArguments = 30;

} // namespace

// ------------------------------------------------------------------ hyperlinks

HyperlinkWrapper HyperlinksWrapper::add(const DispatchWrapper& anchor, std::u16string_view address) {
  std::array<Variant, 5> args = {Variant::dispatch(anchor.get()), Variant::text(address), Variant::missing(),
                                 Variant::missing(), Variant::missing()};
  return adoptAs<HyperlinkWrapper>(objectResult(tracked(
      [&] { return callMethod(dispatch_, dispid::hyperlinks::Add, DISPATCH_METHOD, VT_EMPTY, args); })));
}

// ------------------------------------------------------------------ range

bool RangeWrapper::value2(Variant& value) {
  value = Variant();
  return quietly([&] { value = getVariant(dispid::range::Value2); });
}

bool RangeWrapper::readBlock(uint32_t top, uint32_t left, const CellVisitor& visit) {
  Variant answer;
  if (!value2(answer)) return false;
  const VARIANT& v = answer.get();
  if (!(v.vt & VT_ARRAY)) {
    visit(top, left, fromVariant(v));
    return true;
  }
  SAFEARRAY* array = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
  if (!array) return true;
  UINT dims = SafeArrayGetDim(array);
  if (dims != 1 && dims != 2) return true;
  // fromVariant reads the elements with the array's own bounds; element (column c, row r) of the
  // result is the cell (top + r, left + c).
  CalcValue block = fromVariant(v);
  if (!block.isArray()) return true;
  for (uint32_t r = 0; r < block.arrayRows(); ++r)
    for (uint32_t c = 0; c < block.arrayColumns(); ++c)
      if (const CalcValue* element = block.element(c, r)) visit(top + r, left + c, *element);
  return true;
}

void RangeWrapper::putValue2(const Variant& value) {
  if (viaExcel(excelImplementations().putValue2, kLocaleUserDefault, value.get())) return;
  putVariant(dispid::range::Value2, value);
}

RangeWrapper RangeWrapper::cell(int32_t row, int32_t column) {
  return adoptAs<RangeWrapper>(
      getObject(dispid::range::Item, {Variant::integer(row), Variant::integer(column)}));
}

FormatWrapper RangeWrapper::borders() {
  FormatWrapper result;
  quietly([&] { result = adoptAs<FormatWrapper>(getObject(dispid::range::Borders)); });
  return result;
}

WorksheetWrapper RangeWrapper::worksheet() {
  return adoptAs<WorksheetWrapper>(getObject(dispid::range::Worksheet));
}

// ------------------------------------------------------------------ worksheet

RangeWrapper WorksheetWrapper::range(std::u16string_view address) {
  return adoptAs<RangeWrapper>(
      invokeObject(dispid::worksheet::Range, {Variant::text(address), Variant::missing()}));
}

RangeWrapper WorksheetWrapper::usedRange() {
  return adoptAs<RangeWrapper>(invokeObject(dispid::worksheet::UsedRange));
}

std::u16string WorksheetWrapper::nameForCode() {
  std::u16string code = codeName();
  if (!code.empty()) return code;
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "Sheet%d", static_cast<int>(index()));
  return std::u16string(buffer, buffer + std::char_traits<char>::length(buffer));
}

void WorksheetWrapper::putEnableSelection(int32_t mode) {
  Variant value = Variant::integer(mode);
  invoke(dispid::worksheet::EnableSelection, DISPATCH_PROPERTYPUT, Arguments(&value, 1));
}

void WorksheetWrapper::protect(std::span<const Variant> arguments) {
  std::vector<Variant> all = padded(arguments, 16); // the password and 15 permissions
  invoke(dispid::worksheet::Protect, DISPATCH_METHOD, all);
}

void WorksheetWrapper::unprotect(std::u16string_view password) {
  ProtectionQuiet own; // the runtime's own unprotection is not recorded as the user's
  invoke(dispid::worksheet::Unprotect, DISPATCH_METHOD, {Variant::text(password)});
}

void WorksheetWrapper::writeCells(std::span<const CellWrite> cells) {
  std::vector<const CellWrite*> order;
  order.reserve(cells.size());
  for (const CellWrite& c : cells)
    order.push_back(&c);
  std::stable_sort(order.begin(), order.end(), [](const CellWrite* a, const CellWrite* b) {
    return a->row != b->row ? a->row < b->row : a->column < b->column;
  });
  // A later write of the same cell wins.
  std::vector<const CellWrite*> unique;
  for (const CellWrite* c : order) {
    if (!unique.empty() && unique.back()->row == c->row && unique.back()->column == c->column)
      unique.back() = c;
    else
      unique.push_back(c);
  }
  size_t i = 0;
  while (i < unique.size()) {
    size_t end = i + 1;
    while (end < unique.size() && unique[end]->row == unique[i]->row &&
           unique[end]->column == unique[end - 1]->column + 1)
      ++end;
    CellAddress first = CellAddress::make(0, unique[i]->column, unique[i]->row);
    std::u16string address = absoluteCellText(first);
    Variant value;
    if (end - i == 1) {
      value = toVariant(unique[i]->value, true);
    } else {
      address += u":" + absoluteCellText(CellAddress::make(0, unique[end - 1]->column, unique[end - 1]->row));
      CalcValue run;
      run.resizeArray(static_cast<uint32_t>(end - i), 1);
      for (size_t k = i; k < end; ++k)
        *run.element(static_cast<uint32_t>(k - i), 0) = unique[k]->value;
      value = toVariant(run, true);
    }
    RangeWrapper target = range(address);
    target.putValue2(value);
    lastResult_ = target.lastResult();
    i = end;
  }
}

// ------------------------------------------------------------------ workbook and workbooks

void WorkbookWrapper::close() {
  const Variant no = Variant::boolean(false), missing = Variant::missing();
  if (viaExcel(excelImplementations().workbookClose, no.get(), missing.get(), missing.get(),
               kLocaleUserDefault))
    return;
  invoke(dispid::workbook::Close, DISPATCH_METHOD, {no});
}

void WorkbookWrapper::save() {
  if (viaExcel(excelImplementations().workbookSave, kLocaleUserDefault)) return;
  invoke(dispid::workbook::Save, DISPATCH_METHOD, {});
}

void WorkbookWrapper::saveAs(std::u16string_view fileName, const Variant& fileFormat,
                             const Variant& password) {
  const Variant name = Variant::text(fileName), m = Variant::missing();
  constexpr long kNoChange = 1; // the access mode left as it is
  if (viaExcel(excelImplementations().workbookSaveAs, name.get(), fileFormat.get(), password.get(), m.get(),
               m.get(), m.get(), kNoChange, m.get(), m.get(), m.get(), m.get(), kLocaleUserDefault))
    return;
  if (password.isMissing())
    invoke(dispid::workbook::SaveAs, DISPATCH_METHOD, {name, fileFormat});
  else
    invoke(dispid::workbook::SaveAs, DISPATCH_METHOD, {name, fileFormat, password});
}

void WorkbookWrapper::protect(const Variant& password, const Variant& structure, const Variant& windows) {
  invoke(dispid::workbook::Protect, DISPATCH_METHOD, {password, structure, windows});
}

void WorkbookWrapper::unprotect(std::u16string_view password) {
  invoke(dispid::workbook::Unprotect, DISPATCH_METHOD, {Variant::text(password)});
}

void WorkbookWrapper::putPassword(std::u16string_view password) {
  if (excelImplementations().putWorkbookPassword) {
    BSTR text = makeBstr(password);
    try {
      viaExcel(excelImplementations().putWorkbookPassword, kLocaleUserDefault, text);
    } catch (...) {
      SysFreeString(text);
      throw;
    }
    SysFreeString(text);
    return;
  }
  putText(dispid::workbook::Password, password);
}

void WorkbookWrapper::setPasswordEncryptionOptions(std::u16string_view provider,
                                                   std::u16string_view algorithm, int32_t keyLength,
                                                   bool encryptProperties) {
  call(dispid::workbook::SetPasswordEncryptionOptions,
       {Variant::text(provider), Variant::text(algorithm), Variant::integer(keyLength),
        Variant::boolean(encryptProperties)});
}

WorkbookWrapper WorkbooksWrapper::open(std::u16string_view fileName) {
  return adoptAs<WorkbookWrapper>(
      objectResult(invoke(dispid::workbooks::Open, DISPATCH_METHOD, {Variant::text(fileName)})));
}

// ------------------------------------------------------------------ dialogs

bool DialogWrapper::show(std::span<const Variant> arguments) {
  std::vector<Variant> all = padded(arguments, kMacroArguments);
  return readBoolean(invoke(dispid::dialog::Show, DISPATCH_METHOD, all).get());
}

// ------------------------------------------------------------------ application

bool ApplicationWrapper::createInstance() {
  CLSID id;
  lastResult_ = CLSIDFromProgID(L"Excel.Application", &id);
  if (FAILED(lastResult_)) return false;
  IDispatch* object = nullptr;
  lastResult_ =
      CoCreateInstance(id, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&object));
  if (FAILED(lastResult_)) return false;
  take(object);
  return true;
}

Variant ApplicationWrapper::evaluate(std::u16string_view formula, bool englishSyntax) {
  return invoke(dispid::application::Evaluate, DISPATCH_METHOD, {Variant::text(formula)},
                englishSyntax ? kLocaleEnglish : kLocaleUserDefault);
}

Variant ApplicationWrapper::run(std::u16string_view macro, std::span<const Variant> arguments) {
  Variant name = Variant::text(macro);
  std::vector<Variant> all = padded(arguments, kMacroArguments, &name);
  return invoke(dispid::application::Run, DISPATCH_METHOD, all);
}

void ApplicationWrapper::calculate() {
  if (!viaExcel(excelImplementations().applicationCalculate, kLocaleUserDefault))
    call(dispid::application::Calculate);
}

void ApplicationWrapper::calculateFull() {
  if (!viaExcel(excelImplementations().applicationCalculateFull)) call(dispid::application::CalculateFull);
}

void ApplicationWrapper::putVisible(bool on) {
  if (!viaExcel(excelImplementations().putVisible, kLocaleUserDefault, on ? VARIANT_TRUE : VARIANT_FALSE))
    putBoolean(dispid::application::Visible, on);
}

bool ApplicationWrapper::quit() {
  return quietly([&] {
    if (!viaExcel(excelImplementations().applicationQuit)) call(dispid::application::Quit);
  });
}

int32_t ApplicationWrapper::userInterfaceLanguage() {
  DispatchWrapper settings = languageSettings();
  return settings
      .getVariant(dispid::languageSettings::LanguageID,
                  {Variant::integer(dispid::languageSettings::UserInterface)})
      .toInteger();
}

int32_t ApplicationWrapper::calculation() {
  long mode = 0;
  if (viaExcel(excelImplementations().getCalculation, kLocaleUserDefault, &mode)) return mode;
  return getInteger(dispid::application::Calculation);
}

bool ApplicationWrapper::putCalculation(int32_t mode) {
  return quietly([&] {
    if (!viaExcel(excelImplementations().putCalculation, kLocaleUserDefault, static_cast<long>(mode)))
      putInteger(dispid::application::Calculation, mode);
  });
}

bool ApplicationWrapper::putEnableEvents(bool enable) {
  return quietly([&] {
    if (!viaExcel(excelImplementations().putEnableEvents, enable ? VARIANT_TRUE : VARIANT_FALSE))
      putBoolean(dispid::application::EnableEvents, enable);
  });
}

int32_t ApplicationWrapper::majorVersion() {
  std::u16string text = version();
  int64_t major = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9' && major < 100000; ++i)
    major = major * 10 + (text[i] - u'0');
  return static_cast<int32_t>(major);
}

void ApplicationWrapper::onTime(double when, std::u16string_view procedure) {
  invoke(dispid::application::OnTime, DISPATCH_METHOD, {Variant::number(when), Variant::text(procedure)});
}

void ApplicationWrapper::onUndo(std::u16string_view text, std::u16string_view procedure) {
  invoke(dispid::application::OnUndo, DISPATCH_METHOD, {Variant::text(text), Variant::text(procedure)});
}

RangeWrapper ApplicationWrapper::intersect(std::span<const DispatchWrapper> ranges) {
  std::vector<Variant> all;
  for (size_t i = 0; i < kMacroArguments; ++i)
    all.push_back(i < ranges.size() ? Variant::dispatch(ranges[i].get()) : Variant::missing());
  Variant result =
      invoke(dispid::application::Intersect, DISPATCH_METHOD, all, kLocaleSystemDefault, VT_DISPATCH);
  IDispatch* d = result.toDispatch();
  return RangeWrapper(d, adopt);
}

int32_t ApplicationWrapper::ddeInitiate(std::u16string_view application, std::u16string_view topic) {
  return invoke(dispid::application::DDEInitiate, DISPATCH_METHOD,
                {Variant::text(application), Variant::text(topic)})
      .toInteger();
}

Variant ApplicationWrapper::ddeRequest(int32_t channel, std::u16string_view item) {
  return invoke(dispid::application::DDERequest, DISPATCH_METHOD,
                {Variant::integer(channel), Variant::text(item)});
}

void ApplicationWrapper::ddeTerminate(int32_t channel) {
  invoke(dispid::application::DDETerminate, DISPATCH_METHOD, {Variant::integer(channel)});
}

// ------------------------------------------------------------------ main window and running objects

namespace {

struct WindowSearch {
  std::u16string caption;
  HWND found = nullptr;
};

BOOL CALLBACK matchMainWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId()) return TRUE;
  wchar_t className[16] = {};
  if (!GetClassNameW(window, className, 16) || std::wstring_view(className) != L"XLMAIN") return TRUE;
  int length = GetWindowTextLengthW(window);
  std::u16string title(static_cast<size_t>(std::max(length, 0)) + 1, u'\0');
  int got = GetWindowTextW(window, reinterpret_cast<wchar_t*>(title.data()), length + 1);
  title.resize(static_cast<size_t>(std::max(got, 0)));
  if (title != search->caption) return TRUE;
  search->found = window;
  return FALSE;
}

} // namespace

HWND findMainWindow(ApplicationWrapper& excel) {
  if (excel.majorVersion() > 9) {
    // Hwnd is a 32-bit Long; window handles keep their value in 32 bits and widen by sign extension
    // in 64-bit processes.
    if (int32_t handle = excel.hwnd()) return reinterpret_cast<HWND>(static_cast<intptr_t>(handle));
  }
  WindowSearch search{excel.caption()};
  EnumWindows(matchMainWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

DispatchWrapper findRunningObject(const std::function<bool(IDispatch*)>& accept) {
  IRunningObjectTable* table = nullptr;
  if (FAILED(GetRunningObjectTable(0, &table)) || !table) return {};
  IEnumMoniker* monikers = nullptr;
  DispatchWrapper found;
  if (SUCCEEDED(table->EnumRunning(&monikers)) && monikers) {
    IMoniker* moniker = nullptr;
    while (found.isEmpty() && monikers->Next(1, &moniker, nullptr) == S_OK) {
      // The table's own entry answers first; binding the moniker is the fallback.
      IDispatch* object = nullptr;
      IUnknown* running = nullptr;
      if (SUCCEEDED(table->GetObject(moniker, &running)) && running) {
        if (FAILED(running->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object))))
          object = nullptr;
        running->Release();
      }
      IBindCtx* context = nullptr;
      if (!object && SUCCEEDED(CreateBindCtx(0, &context))) {
        if (FAILED(moniker->BindToObject(context, nullptr, IID_IDispatch, reinterpret_cast<void**>(&object))))
          object = nullptr;
        context->Release();
      }
      if (object) {
        if (accept(object))
          found.take(object);
        else
          object->Release();
      }
      moniker->Release();
    }
    monikers->Release();
  }
  table->Release();
  return found;
}

} // namespace cwbk
