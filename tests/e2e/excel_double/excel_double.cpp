// The double's application, workbooks, workbook, sheets and worksheet objects, its small service
// objects (dialogs, language settings, worksheet functions), and the world that owns them.
#include "excel_double/excel_double.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "excel/excel_members.h"
#include "excel_double/command_bars.h"
#include "excel_double/range_objects.h"

namespace cwbk::testing {

namespace {

namespace app = cwbk::dispid::application;
namespace wb = cwbk::dispid::workbook;
namespace ws = cwbk::dispid::worksheet;

constexpr HRESULT kExcelRuntimeError = static_cast<HRESULT>(0x800A03EC);

struct ErrorName {
  int number;
  const char16_t* text;
};
constexpr ErrorName kErrors[] = {{2000, u"#NULL!"}, {2007, u"#DIV/0!"}, {2015, u"#VALUE!"}, {2023, u"#REF!"},
                                 {2029, u"#NAME?"}, {2036, u"#NUM!"},   {2042, u"#N/A"}};

bool sameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  return true;
}

// Reads a number as Excel reads typed text: the whole text (spaces aside) must be the number.
std::optional<double> typedNumber(std::u16string_view text) {
  std::wstring w(text.begin(), text.end());
  size_t first = w.find_first_not_of(L' '), last = w.find_last_not_of(L' ');
  if (first == std::wstring::npos) return std::nullopt;
  w = w.substr(first, last - first + 1);
  bool percent = !w.empty() && w.back() == L'%';
  if (percent) w.pop_back();
  if (w.empty() || !(std::iswdigit(w[0]) || w[0] == L'-' || w[0] == L'+' || w[0] == L'.'))
    return std::nullopt;
  wchar_t* end = nullptr;
  double d = std::wcstod(w.c_str(), &end);
  if (end != w.c_str() + w.size()) return std::nullopt;
  return percent ? d / 100 : d;
}

// A collection that holds nothing (Windows, AddIns).
class EmptyCollectionObject : public DoubleObjectOf<EmptyCollectionObject> {
public:
  EmptyCollectionObject(ExcelDouble& excel, std::string name)
      : DoubleObjectOf(excel), name_(std::move(name)) {}
  std::string label() const override { return name_; }
  static const std::vector<Member<EmptyCollectionObject>>& members() {
    static const std::vector<Member<EmptyCollectionObject>> table = {
        {dispid::collection::Count, "Count",
         [](EmptyCollectionObject&, DispatchCall& call) { return call.answer(Variant::integer(0)); }},
        {dispid::collection::Item, "Item",
         [](EmptyCollectionObject&, DispatchCall&) -> HRESULT { return DISP_E_BADINDEX; }},
    };
    return table;
  }

private:
  std::string name_;
};

class DialogObject : public DoubleObjectOf<DialogObject> {
public:
  DialogObject(ExcelDouble& excel, int32_t which) : DoubleObjectOf(excel), which_(which) {}
  std::string label() const override { return "Dialog " + std::to_string(which_); }
  static const std::vector<Member<DialogObject>>& members() {
    static const std::vector<Member<DialogObject>> table = {
        {dispid::dialog::Show, "Show",
         [](DialogObject& self, DispatchCall& call) {
           auto shown = self.excel().dialogWindows.find(self.which_);
           if (shown != self.excel().dialogWindows.end())
             ExcelDouble::pumpUntilClosed(self.excel().openDialog(shown->second));
           return call.answer(Variant::boolean(self.excel().dialogAnswer));
         }},
    };
    return table;
  }

private:
  int32_t which_;
};

class DialogsObject : public DoubleObjectOf<DialogsObject> {
public:
  using DoubleObjectOf::DoubleObjectOf;
  std::string label() const override { return "Dialogs"; }
  static const std::vector<Member<DialogsObject>>& members() {
    static const std::vector<Member<DialogsObject>> table = {
        {dispid::collection::Item, "Item",
         [](DialogsObject& self, DispatchCall& call) {
           return call.answerObject(new DialogObject(self.excel(), call.intArg(0)));
         }},
    };
    return table;
  }
};

class LanguageSettingsObject : public DoubleObjectOf<LanguageSettingsObject> {
public:
  using DoubleObjectOf::DoubleObjectOf;
  std::string label() const override { return "LanguageSettings"; }
  static const std::vector<Member<LanguageSettingsObject>>& members() {
    static const std::vector<Member<LanguageSettingsObject>> table = {
        {dispid::languageSettings::LanguageID, "LanguageID",
         [](LanguageSettingsObject& self, DispatchCall& call) -> HRESULT {
           if (!call.has(0)) return DISP_E_PARAMNOTOPTIONAL;
           return call.answer(Variant::integer(self.excel().languageId));
         }},
    };
    return table;
  }
};

// Worksheet functions answer only what a test scripts on this object.
class WorksheetFunctionObject : public DoubleObjectOf<WorksheetFunctionObject> {
public:
  using DoubleObjectOf::DoubleObjectOf;
  std::string label() const override { return "WorksheetFunction"; }
  static const std::vector<Member<WorksheetFunctionObject>>& members() {
    static const std::vector<Member<WorksheetFunctionObject>> table;
    return table;
  }
};

class WorkbooksObject : public DoubleObjectOf<WorkbooksObject> {
public:
  using DoubleObjectOf::DoubleObjectOf;
  std::string label() const override { return "Workbooks"; }
  static const std::vector<Member<WorkbooksObject>>& members() {
    static const std::vector<Member<WorkbooksObject>> table = {
        {dispid::collection::Count, "Count",
         [](WorkbooksObject& self, DispatchCall& call) {
           return call.answer(Variant::integer(static_cast<int32_t>(self.excel().workbooks().size())));
         }},
        {dispid::collection::Item, "Item",
         [](WorkbooksObject& self, DispatchCall& call) -> HRESULT {
           const auto& books = self.excel().workbooks();
           WorkbookObject* found = nullptr;
           if (call.arg(0).vt == VT_BSTR) {
             found = self.excel().findWorkbook(call.textArg(0));
           } else {
             int32_t i = call.intArg(0);
             if (i >= 1 && i <= static_cast<int32_t>(books.size())) found = books[i - 1];
           }
           if (!found) return DISP_E_BADINDEX;
           found->AddRef();
           return call.answerObject(found);
         }},
        {dispid::workbooks::Add, "Add",
         [](WorkbooksObject& self, DispatchCall& call) {
           WorkbookObject& book = addNewWorkbook(self.excel());
           book.AddRef();
           return call.answerObject(&book);
         }},
        {dispid::workbooks::Open, "Open",
         [](WorkbooksObject& self, DispatchCall& call) -> HRESULT {
           std::u16string path = call.textArg(0);
           if (path.empty()) return call.raise(kExcelRuntimeError, u"No file name");
           size_t slash = path.find_last_of(u"\\/");
           WorkbookObject& book =
               self.excel().addWorkbook(slash == std::u16string::npos ? path : path.substr(slash + 1));
           book.AddRef();
           return call.answerObject(&book);
         }},
    };
    return table;
  }
};

class SheetsObject : public DoubleObjectOf<SheetsObject> {
public:
  explicit SheetsObject(WorkbookObject& book) : DoubleObjectOf(book.excel()), book_(&book) {
    book_->AddRef();
  }
  ~SheetsObject() override { book_->Release(); }
  std::string label() const override { return "Sheets of " + narrow(book_->name()); }
  static const std::vector<Member<SheetsObject>>& members() {
    static const std::vector<Member<SheetsObject>> table = {
        {dispid::collection::Count, "Count",
         [](SheetsObject& self, DispatchCall& call) {
           return call.answer(Variant::integer(static_cast<int32_t>(self.book_->sheets().size())));
         }},
        {dispid::collection::Item, "Item",
         [](SheetsObject& self, DispatchCall& call) -> HRESULT {
           WorksheetObject* found = call.arg(0).vt == VT_BSTR ? self.book_->findSheet(call.textArg(0))
                                                              : self.book_->findSheet(call.intArg(0));
           if (!found) return DISP_E_BADINDEX;
           found->AddRef();
           return call.answerObject(found);
         }},
        {dispid::sheets::Worksheets, "Worksheets",
         [](SheetsObject& self, DispatchCall& call) {
           return call.answerObject(new SheetsObject(*self.book_));
         }},
    };
    return table;
  }

private:
  WorkbookObject* book_;
};

HRESULT answerApplication(ExcelDouble& excel, DispatchCall& call) {
  excel.app().AddRef();
  return call.answerObject(&excel.app());
}

Variant defaultEvaluation(std::u16string_view formula) {
  std::u16string_view text = formula;
  if (!text.empty() && text[0] == u'=') text.remove_prefix(1);
  if (auto d = typedNumber(text)) return Variant::number(*d);
  if (sameIgnoringCase(text, u"TRUE")) return Variant::boolean(true);
  if (sameIgnoringCase(text, u"FALSE")) return Variant::boolean(false);
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"')
    return Variant::text(text.substr(1, text.size() - 2));
  return excelError(2029);
}

} // namespace

// ------------------------------------------------------------------ addresses and errors

std::optional<CellRect> parseRect(std::u16string_view text) {
  auto parseCell = [](std::u16string_view t, int32_t& row, int32_t& column) {
    size_t i = 0;
    if (i < t.size() && t[i] == u'$') ++i;
    int64_t c = 0;
    size_t letters = 0;
    for (; i < t.size() && std::iswalpha(t[i]) && letters < 3; ++i, ++letters)
      c = c * 26 + (std::towupper(t[i]) - u'A' + 1);
    if (!letters) return false;
    if (i < t.size() && t[i] == u'$') ++i;
    int64_t r = 0;
    size_t digits = 0;
    for (; i < t.size() && t[i] >= u'0' && t[i] <= u'9' && digits < 8; ++i, ++digits)
      r = r * 10 + (t[i] - u'0');
    if (!digits || i != t.size() || r < 1 || r > 1048576 || c > 16384) return false;
    row = static_cast<int32_t>(r);
    column = static_cast<int32_t>(c);
    return true;
  };
  // Whole columns ("A:C", "$A:$C") and whole rows ("1:3", "$1:$3"), as Excel writes them.
  auto parseLine = [](std::u16string_view t, bool letters, int32_t& at) {
    size_t i = t.size() && t[0] == u'$' ? 1 : 0;
    if (i == t.size() || t.size() - i > 7) return false;
    int64_t n = 0;
    for (; i < t.size(); ++i) {
      if (letters ? !std::iswalpha(t[i]) : (t[i] < u'0' || t[i] > u'9')) return false;
      n = letters ? n * 26 + (std::towupper(t[i]) - u'A' + 1) : n * 10 + (t[i] - u'0');
    }
    if (n < 1 || n > (letters ? 16384 : 1048576)) return false;
    at = static_cast<int32_t>(n);
    return true;
  };
  CellRect rect;
  size_t colon = text.find(u':');
  if (colon != std::u16string_view::npos) {
    int32_t first = 0, last = 0;
    for (bool letters : {true, false})
      if (parseLine(text.substr(0, colon), letters, first) &&
          parseLine(text.substr(colon + 1), letters, last)) {
        if (last < first) std::swap(first, last);
        return letters ? CellRect{1, first, 1048576, last} : CellRect{first, 1, last, 16384};
      }
  }
  if (!parseCell(text.substr(0, colon), rect.top, rect.left)) return std::nullopt;
  rect.bottom = rect.top;
  rect.right = rect.left;
  if (colon != std::u16string_view::npos && !parseCell(text.substr(colon + 1), rect.bottom, rect.right))
    return std::nullopt;
  if (rect.bottom < rect.top) std::swap(rect.bottom, rect.top);
  if (rect.right < rect.left) std::swap(rect.right, rect.left);
  return rect;
}

std::u16string rectText(const CellRect& rect) {
  auto number = [](int32_t n) {
    std::u16string digits;
    for (char ch : std::to_string(n))
      digits.push_back(static_cast<char16_t>(ch));
    return digits;
  };
  auto letters = [](int32_t column) {
    std::u16string text;
    for (int32_t c = column; c > 0; c = (c - 1) / 26)
      text.insert(text.begin(), static_cast<char16_t>(u'A' + (c - 1) % 26));
    return text;
  };
  // Whole rows (the whole sheet among them) and whole columns, as Excel's Address writes them.
  if (rect.left == 1 && rect.right == 16384) return u"$" + number(rect.top) + u":$" + number(rect.bottom);
  if (rect.top == 1 && rect.bottom == 1048576) return u"$" + letters(rect.left) + u":$" + letters(rect.right);
  auto cellText = [&](int32_t row, int32_t column) { return u"$" + letters(column) + u"$" + number(row); };
  std::u16string text = cellText(rect.top, rect.left);
  if (rect.bottom != rect.top || rect.right != rect.left) text += u":" + cellText(rect.bottom, rect.right);
  return text;
}

Variant excelError(int number) {
  return Variant::error(static_cast<int32_t>(0x800A0000u | static_cast<uint32_t>(number)));
}

// ------------------------------------------------------------------ application

ApplicationObject::ApplicationObject(ExcelDouble& excel) : DoubleObjectOf(excel) {
  defineProperty(app::Caption, "Caption", Variant::text(u"Excel"));
  defineProperty(app::Calculation, "Calculation", Variant::integer(dispid::constant::CalculationAutomatic));
  defineProperty(app::DisplayAlerts, "DisplayAlerts", Variant::boolean(true));
  defineProperty(app::IgnoreRemoteRequests, "IgnoreRemoteRequests", Variant::boolean(false));
  defineProperty(app::Iteration, "Iteration", Variant::boolean(false));
  defineProperty(app::MaxChange, "MaxChange", Variant::number(0.001));
  defineProperty(app::MaxIterations, "MaxIterations", Variant::integer(100));
  defineProperty(app::ScreenUpdating, "ScreenUpdating", Variant::boolean(true));
  defineProperty(app::Version, "Version", Variant::text(u"16.0"));
  defineProperty(app::WindowState, "WindowState", Variant::integer(-4143));
  defineProperty(app::Visible, "Visible", Variant::boolean(false));
  defineProperty(app::OnEntry, "OnEntry", Variant::text(u""));
  defineProperty(app::SavedSetting, "SavedSetting", Variant::integer(0));
  defineProperty(app::DefaultSaveFormat, "DefaultSaveFormat", Variant::integer(51));
  defineProperty(app::UserControl, "UserControl", Variant::boolean(true));
  defineProperty(app::EnableEvents, "EnableEvents", Variant::boolean(true));
}

const std::vector<Member<ApplicationObject>>& ApplicationObject::members() {
  static const std::vector<Member<ApplicationObject>> table = {
      {app::Evaluate, "Evaluate",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         if (!call.has(0)) return DISP_E_PARAMNOTOPTIONAL;
         std::u16string text = call.textArg(0);
         ExcelDouble& excel = self.excel();
         return call.answer(excel.evaluator ? excel.evaluator(text, call.locale) : defaultEvaluation(text));
       }},
      {app::CommandBars, "CommandBars",
       [](ApplicationObject& self, DispatchCall& call) {
         self.excel().commandBars().AddRef();
         return call.answerObject(&self.excel().commandBars());
       }},
      {app::Application, "Application",
       [](ApplicationObject& self, DispatchCall& call) { return answerApplication(self.excel(), call); }},
      {app::Parent, "Parent",
       [](ApplicationObject& self, DispatchCall& call) { return answerApplication(self.excel(), call); }},
      {app::Selection, "Selection",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         if (!self.excel().activeSheet) return call.answerObject(nullptr);
         return call.answerObject(makeRange(*self.excel().activeSheet, {self.excel().selection}));
       }},
      {app::Run, "Run",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         std::u16string name = call.textArg(0);
         auto macro = self.excel().macros.find(name);
         if (macro == self.excel().macros.end())
           return call.raise(kExcelRuntimeError, u"Cannot run the macro");
         std::vector<Variant> arguments;
         size_t last = 0;
         for (size_t i = 1; i < call.args.size(); ++i)
           if (call.has(i)) last = i;
         for (size_t i = 1; i <= last; ++i)
           arguments.emplace_back(call.arg(i));
         return call.answer(macro->second(arguments));
       }},
      {app::Calculate, "Calculate", [](ApplicationObject&, DispatchCall&) -> HRESULT { return S_OK; }},
      {app::CalculateFull, "CalculateFull",
       [](ApplicationObject&, DispatchCall&) -> HRESULT { return S_OK; }},
      {app::Quit, "Quit",
       [](ApplicationObject& self, DispatchCall&) -> HRESULT {
         ++self.excel().quitCalls;
         return S_OK;
       }},
      {app::ActiveSheet, "ActiveSheet",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         WorksheetObject* sheet = self.excel().activeSheet;
         if (sheet) sheet->AddRef();
         return call.answerObject(sheet);
       }},
      {app::ActiveWorkbook, "ActiveWorkbook",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         WorkbookObject* book = self.excel().activeWorkbook;
         if (book) book->AddRef();
         return call.answerObject(book);
       }},
      {app::Workbooks, "Workbooks",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answerObject(new WorkbooksObject(self.excel()));
       }},
      {app::Sheets, "Sheets",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         WorkbookObject* book = self.excel().activeWorkbook;
         if (!book) return call.raise(kExcelRuntimeError, u"No active workbook");
         return call.answerObject(new SheetsObject(*book));
       }},
      {app::Windows, "Windows",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answerObject(new EmptyCollectionObject(self.excel(), "Windows"));
       }},
      {app::AddIns, "AddIns",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answerObject(new EmptyCollectionObject(self.excel(), "AddIns"));
       }},
      {app::Dialogs, "Dialogs",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answerObject(new DialogsObject(self.excel()));
       }},
      {app::LanguageSettings, "LanguageSettings",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answerObject(new LanguageSettingsObject(self.excel()));
       }},
      {app::WorksheetFunction, "WorksheetFunction",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answerObject(new WorksheetFunctionObject(self.excel()));
       }},
      {app::OnTime, "OnTime",
       [](ApplicationObject&, DispatchCall& call) -> HRESULT {
         return call.has(0) && call.has(1) ? S_OK : DISP_E_PARAMNOTOPTIONAL;
       }},
      {app::OnUndo, "OnUndo",
       [](ApplicationObject&, DispatchCall& call) -> HRESULT {
         return call.args.size() >= 2 ? S_OK : DISP_E_PARAMNOTOPTIONAL;
       }},
      // A Long, as Excel answers it: window handles keep their value in the low 32 bits.
      {app::Hwnd, "Hwnd",
       [](ApplicationObject& self, DispatchCall& call) {
         return call.answer(
             Variant::integer(static_cast<int32_t>(reinterpret_cast<intptr_t>(self.excel().mainWindow()))));
       }},
      {app::Caption, "Caption",
       [](ApplicationObject& self, DispatchCall& call) -> HRESULT {
         if (call.isGet()) return call.answer(self.property(app::Caption));
         std::u16string caption;
         try {
           caption = Variant(*call.value).toText();
         } catch (...) {
           return DISP_E_TYPEMISMATCH;
         }
         self.excel().setState(app::Caption, Variant::text(caption));
         return S_OK;
       }},
      {app::Intersect, "Intersect",
       [](ApplicationObject&, DispatchCall& call) -> HRESULT {
         RangeObject* first = nullptr;
         CellRect common;
         for (size_t i = 0; i < call.args.size(); ++i) {
           if (!call.has(i)) continue;
           auto* range = dynamic_cast<RangeObject*>(call.objectArg(i));
           if (!range) return DISP_E_TYPEMISMATCH;
           const CellRect& a = range->areas()[0];
           if (!first) {
             first = range;
             common = a;
             continue;
           }
           if (&range->sheet() != &first->sheet())
             return call.raise(kExcelRuntimeError, u"Ranges on other sheets");
           common = {std::max(common.top, a.top), std::max(common.left, a.left),
                     std::min(common.bottom, a.bottom), std::min(common.right, a.right)};
         }
         if (!first) return DISP_E_PARAMNOTOPTIONAL;
         if (common.top > common.bottom || common.left > common.right) return call.answerObject(nullptr);
         return call.answerObject(makeRange(first->sheet(), {common}));
       }},
  };
  return table;
}

// ------------------------------------------------------------------ workbook

WorkbookObject::WorkbookObject(ExcelDouble& excel, std::u16string_view name) : DoubleObjectOf(excel) {
  defineProperty(wb::Name, "Name", Variant::text(name));
  defineProperty(wb::FullName, "FullName", Variant::text(u"C:\\Books\\" + std::u16string(name)));
  defineProperty(wb::FileFormat, "FileFormat", Variant::integer(51));
  defineProperty(wb::Saved, "Saved", Variant::boolean(true));
  defineProperty(wb::Date1904, "Date1904", Variant::boolean(false));
  defineProperty(wb::Password, "Password", Variant::text(u""));
}

WorkbookObject::~WorkbookObject() {
  for (WorksheetObject* s : sheets_)
    s->Release();
}

std::u16string WorkbookObject::name() const {
  return property(wb::Name).toText();
}

WorksheetObject& WorkbookObject::addSheet(std::u16string_view name, int32_t position) {
  auto* sheet = new WorksheetObject(excel(), *this, name);
  if (position >= 1 && position <= static_cast<int32_t>(sheets_.size()))
    sheets_.insert(sheets_.begin() + (position - 1), sheet);
  else
    sheets_.push_back(sheet);
  return *sheet;
}

WorksheetObject* WorkbookObject::findSheet(int32_t index) const {
  return index >= 1 && index <= static_cast<int32_t>(sheets_.size()) ? sheets_[index - 1] : nullptr;
}

WorksheetObject* WorkbookObject::findSheet(std::u16string_view name) const {
  for (WorksheetObject* s : sheets_)
    if (sameIgnoringCase(s->name(), name)) return s;
  return nullptr;
}

// Saves as Excel does: the file under its new name, which becomes the workbook's name.
static HRESULT saveAs(WorkbookObject& self, DispatchCall& call) {
  std::u16string path = call.textArg(0);
  if (path.empty()) return call.raise(kExcelRuntimeError, u"No file name");
  if (!self.writeFile(path)) return call.raise(kExcelRuntimeError, u"Cannot save the file");
  size_t slash = path.find_last_of(u"\\/");
  self.setProperty(wb::Name, Variant::text(slash == std::u16string::npos ? path : path.substr(slash + 1)));
  self.setProperty(wb::FullName, Variant::text(path));
  if (call.has(1)) self.setProperty(wb::FileFormat, Variant::integer(call.intArg(1)));
  self.setProperty(wb::Saved, Variant::boolean(true));
  return S_OK;
}

bool WorkbookObject::writeFile(const std::u16string& path) {
  if (!writesFiles) return true;
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string content = "workbook " + narrow(name()) + " saved " + std::to_string(++saves);
  DWORD written = 0;
  const bool ok =
      WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr) && written == content.size();
  CloseHandle(file);
  return ok;
}

const std::vector<Member<WorkbookObject>>& WorkbookObject::members() {
  static const std::vector<Member<WorkbookObject>> table = {
      {wb::Close, "Close",
       [](WorkbookObject& self, DispatchCall&) -> HRESULT {
         self.excel().closeWorkbook(self);
         return S_OK;
       }},
      {wb::Save, "Save",
       [](WorkbookObject& self, DispatchCall&) -> HRESULT {
         self.writeFile(self.property(wb::FullName).toText());
         self.setProperty(wb::Saved, Variant::boolean(true));
         return S_OK;
       }},
      {wb::SaveAs, "SaveAs", saveAs},
      {wb::SaveAsLocal, "SaveAs", saveAs},
      {wb::SaveCopyAs, "SaveCopyAs",
       [](WorkbookObject& self, DispatchCall& call) -> HRESULT {
         self.writeFile(call.textArg(0));
         return S_OK;
       }},
      {wb::Path, "Path",
       [](WorkbookObject& self, DispatchCall& call) -> HRESULT {
         const std::u16string full = self.property(wb::FullName).toText();
         const size_t slash = full.find_last_of(u"\\/");
         return call.answer(Variant::text(slash == std::u16string::npos ? u"" : full.substr(0, slash)));
       }},
      {wb::Protect, "Protect", [](WorkbookObject&, DispatchCall&) -> HRESULT { return S_OK; }},
      {wb::Unprotect, "Unprotect", [](WorkbookObject&, DispatchCall&) -> HRESULT { return S_OK; }},
      {wb::SetPasswordEncryptionOptions, "SetPasswordEncryptionOptions",
       [](WorkbookObject&, DispatchCall&) -> HRESULT { return S_OK; }},
      {wb::Worksheets, "Worksheets",
       [](WorkbookObject& self, DispatchCall& call) { return call.answerObject(new SheetsObject(self)); }},
      {wb::Sheets, "Sheets",
       [](WorkbookObject& self, DispatchCall& call) { return call.answerObject(new SheetsObject(self)); }},
      {dispid::common::Application, "Application",
       [](WorkbookObject& self, DispatchCall& call) { return answerApplication(self.excel(), call); }},
      {dispid::common::Parent, "Parent",
       [](WorkbookObject& self, DispatchCall& call) { return answerApplication(self.excel(), call); }},
  };
  return table;
}

// ------------------------------------------------------------------ worksheet

WorksheetObject::WorksheetObject(ExcelDouble& excel, WorkbookObject& book, std::u16string_view name)
    : DoubleObjectOf(excel), book_(&book) {
  defineProperty(ws::Name, "Name", Variant::text(name));
  std::u16string code = u"Sheet";
  for (char ch : std::to_string(book.sheets().size() + 1))
    code.push_back(static_cast<char16_t>(ch));
  defineProperty(ws::CodeName, "CodeName", Variant::text(code));
  defineProperty(ws::Type, "Type", Variant::integer(dispid::worksheet::TypeWorksheet));
  defineProperty(ws::EnableSelection, "EnableSelection", Variant::integer(0));
  defineProperty(ws::ProtectDrawingObjects, "ProtectDrawingObjects", Variant::boolean(false));
}

std::u16string WorksheetObject::name() const {
  return property(ws::Name).toText();
}

int32_t WorksheetObject::index() const {
  const auto& sheets = book_->sheets();
  auto it = std::find(sheets.begin(), sheets.end(), this);
  return static_cast<int32_t>(it - sheets.begin()) + 1;
}

void WorksheetObject::set(std::u16string_view a1, const Variant& value) {
  auto rect = parseRect(a1);
  if (!rect) return;
  CellData& c = cellAt(rect->top, rect->left);
  c.value = value;
  c.formula.clear();
}

void WorksheetObject::setFormula(std::u16string_view a1, std::u16string_view formula, const Variant& value) {
  auto rect = parseRect(a1);
  if (!rect) return;
  CellData& c = cellAt(rect->top, rect->left);
  c.value = value;
  c.formula = formula;
}

Variant WorksheetObject::value(std::u16string_view a1) const {
  auto rect = parseRect(a1);
  const CellData* c = rect ? cell(rect->top, rect->left) : nullptr;
  return c ? c->value : Variant();
}

std::u16string WorksheetObject::formula(std::u16string_view a1) const {
  auto rect = parseRect(a1);
  const CellData* c = rect ? cell(rect->top, rect->left) : nullptr;
  return c ? c->formula : std::u16string();
}

bool WorksheetObject::hasFormula(std::u16string_view a1) const {
  return !formula(a1).empty();
}

Variant WorksheetObject::format(std::u16string_view a1, FormatPart part, DISPID id) const {
  auto rect = parseRect(a1);
  const CellData* c = rect ? cell(rect->top, rect->left) : nullptr;
  if (c)
    if (auto it = c->formats.find(formatKey(part, id)); it != c->formats.end()) return it->second;
  return defaultFormat(part, id);
}

void WorksheetObject::setFormat(std::u16string_view a1, FormatPart part, DISPID id, const Variant& value) {
  if (auto rect = parseRect(a1)) cellAt(rect->top, rect->left).formats[formatKey(part, id)] = value;
}

std::optional<HyperlinkData> WorksheetObject::hyperlink(std::u16string_view a1) const {
  auto rect = parseRect(a1);
  const CellData* c = rect ? cell(rect->top, rect->left) : nullptr;
  return c ? c->link : std::nullopt;
}

void WorksheetObject::setHyperlink(std::u16string_view a1, HyperlinkData link) {
  if (auto rect = parseRect(a1)) cellAt(rect->top, rect->left).link = std::move(link);
}

const CellData* WorksheetObject::cell(int32_t row, int32_t column) const {
  auto it = cells_.find({row, column});
  return it == cells_.end() ? nullptr : &it->second;
}

CellData& WorksheetObject::cellAt(int32_t row, int32_t column) {
  return cells_[{row, column}];
}

void WorksheetObject::clear(int32_t row, int32_t column) {
  if (auto it = cells_.find({row, column}); it != cells_.end()) {
    it->second.value = Variant();
    it->second.formula.clear();
  }
}

void WorksheetObject::enter(int32_t row, int32_t column, const VARIANT& value, bool asFormula) {
  (void)asFormula; // Value2 and Formula read typed text alike; both turn "=..." into a formula
  CellData& c = cellAt(row, column);
  c.formula.clear();
  if (value.vt != VT_BSTR) {
    try {
      c.value = Variant(value);
    } catch (...) {
      c.value = Variant();
    }
    if (c.value.type() == VT_I4 || c.value.type() == VT_I2 || c.value.type() == VT_R4)
      c.value = c.value.as(VT_R8);
    return;
  }
  std::u16string text = bstrText(value.bstrVal);
  if (text.empty()) {
    c.value = Variant();
    return;
  }
  // Excel turns wrapping on for a text that holds a line feed.
  if (text.find(u'\n') != std::u16string::npos)
    c.formats[formatKey(FormatPart::Range, dispid::range::WrapText)] = Variant::boolean(true);
  if (text[0] == u'\'') {
    c.value = Variant::text(std::u16string_view(text).substr(1));
    return;
  }
  if (text[0] == u'=') {
    c.formula = text;
    c.value = Variant();
    return;
  }
  if (auto d = typedNumber(text)) {
    c.value = Variant::number(*d);
    return;
  }
  if (sameIgnoringCase(text, u"TRUE") || sameIgnoringCase(text, u"FALSE")) {
    c.value = Variant::boolean(sameIgnoringCase(text, u"TRUE"));
    return;
  }
  for (const ErrorName& e : kErrors)
    if (sameIgnoringCase(text, e.text)) {
      c.value = excelError(e.number);
      return;
    }
  c.value = Variant::text(text);
}

CellRect WorksheetObject::usedRect() const {
  std::optional<CellRect> used;
  for (const auto& [position, data] : cells_) {
    if (data.value.isEmpty() && data.formula.empty()) continue;
    auto [r, c] = position;
    if (!used) used = CellRect{r, c, r, c};
    used->top = std::min(used->top, r);
    used->left = std::min(used->left, c);
    used->bottom = std::max(used->bottom, r);
    used->right = std::max(used->right, c);
  }
  return used.value_or(CellRect{1, 1, 1, 1}); // an empty sheet's used range is its first cell
}

const std::vector<Member<WorksheetObject>>& WorksheetObject::members() {
  static const std::vector<Member<WorksheetObject>> table = {
      {ws::Range, "Range",
       [](WorksheetObject& self, DispatchCall& call) -> HRESULT {
         std::u16string text = call.textArg(0);
         std::vector<CellRect> areas;
         size_t start = 0;
         while (start <= text.size()) {
           size_t comma = text.find(u',', start);
           auto rect = parseRect(std::u16string_view(text).substr(start, comma - start));
           if (!rect) return call.raise(kExcelRuntimeError, u"Method 'Range' failed");
           areas.push_back(*rect);
           if (comma == std::u16string::npos) break;
           start = comma + 1;
         }
         if (call.has(1)) {
           auto second = parseRect(call.textArg(1));
           if (!second) return call.raise(kExcelRuntimeError, u"Method 'Range' failed");
           CellRect& a = areas[0];
           a = {std::min(a.top, second->top), std::min(a.left, second->left),
                std::max(a.bottom, second->bottom), std::max(a.right, second->right)};
         }
         return call.answerObject(makeRange(self, std::move(areas)));
       }},
      {ws::UsedRange, "UsedRange",
       [](WorksheetObject& self, DispatchCall& call) {
         return call.answerObject(makeRange(self, {self.usedRect()}));
       }},
      {dispid::range::Hyperlinks, "Hyperlinks",
       [](WorksheetObject& self, DispatchCall& call) {
         RangeObject* all = makeRange(self, {CellRect{1, 1, 1048576, 16384}});
         DoubleObject* links = makeHyperlinks(*all);
         all->Release();
         return call.answerObject(links);
       }},
      {ws::Index, "Index",
       [](WorksheetObject& self, DispatchCall& call) { return call.answer(Variant::integer(self.index())); }},
      {ws::ProtectContents, "ProtectContents",
       [](WorksheetObject& self, DispatchCall& call) {
         return call.answer(Variant::boolean(self.protectedContents));
       }},
      {ws::Activate, "Activate",
       [](WorksheetObject& self, DispatchCall&) -> HRESULT {
         self.excel().activeSheet = &self;
         self.excel().activeWorkbook = &self.workbook();
         return S_OK;
       }},
      {ws::Protect, "Protect",
       [](WorksheetObject& self, DispatchCall& call) -> HRESULT {
         self.protectedContents = true;
         self.protectionPassword = call.textArg(0);
         self.setProperty(ws::ProtectDrawingObjects, Variant::boolean(call.boolArg(1, true)));
         return S_OK;
       }},
      {ws::Unprotect, "Unprotect",
       [](WorksheetObject& self, DispatchCall& call) -> HRESULT {
         if (self.protectedContents && call.textArg(0) != self.protectionPassword)
           return call.raise(kExcelRuntimeError, u"The password is not correct");
         self.protectedContents = false;
         self.setProperty(ws::ProtectDrawingObjects, Variant::boolean(false));
         return S_OK;
       }},
      {ws::Calculate, "Calculate", [](WorksheetObject&, DispatchCall&) -> HRESULT { return S_OK; }},
      {dispid::common::Parent, "Parent",
       [](WorksheetObject& self, DispatchCall& call) {
         self.workbook().AddRef();
         return call.answerObject(&self.workbook());
       }},
      {dispid::common::Application, "Application",
       [](WorksheetObject& self, DispatchCall& call) { return answerApplication(self.excel(), call); }},
  };
  return table;
}

// ------------------------------------------------------------------ the world

namespace {

LRESULT CALLBACK mainWindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  return DefWindowProcW(window, message, w, l);
}

} // namespace

ExcelDouble::ExcelDouble() {
  app_ = new ApplicationObject(*this);
  commandBars_ = new CommandBarsObject(*this);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = mainWindowProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"XLMAIN";
  RegisterClassW(&windowClass); // fails harmlessly when a previous double registered it
  std::u16string caption = app_->property(app::Caption).toText();
  window_ =
      CreateWindowExW(0, L"XLMAIN", reinterpret_cast<const wchar_t*>(caption.c_str()), WS_OVERLAPPEDWINDOW, 0,
                      0, 640, 480, nullptr, nullptr, windowClass.hInstance, nullptr);
}

HWND ExcelDouble::openDialog(std::u16string_view title, std::initializer_list<const wchar_t*> controls) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW; // closes on WM_CLOSE
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"bosa_sdm_XL9";
  RegisterClassW(&windowClass);
  const std::u16string text(title);
  HWND dialog = CreateWindowExW(0, L"bosa_sdm_XL9", reinterpret_cast<const wchar_t*>(text.c_str()),
                                WS_POPUP | WS_CAPTION, 100, 100, 300, 200, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  for (const wchar_t* control : controls)
    CreateWindowExW(0, control, L"", WS_CHILD, 0, 0, 10, 10, dialog, nullptr, windowClass.hInstance, nullptr);
  ShowWindow(dialog, SW_SHOW);
  SetActiveWindow(dialog);
  return dialog;
}

bool ExcelDouble::pumpUntilClosed(HWND window, int rounds) {
  for (int i = 0; i < rounds && IsWindow(window); ++i) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (IsWindow(window)) Sleep(5);
  }
  return !IsWindow(window);
}

ExcelDouble::~ExcelDouble() {
  if (window_) DestroyWindow(window_);
  activeSheet = nullptr;
  activeWorkbook = nullptr;
  for (WorkbookObject* b : workbooks_)
    b->Release();
  for (WorkbookObject* b : closed_)
    b->Release();
  commandBars_->Release();
  app_->Release();
}

WorkbookObject& ExcelDouble::addWorkbook(std::u16string_view name,
                                         std::initializer_list<std::u16string_view> sheets) {
  auto* book = new WorkbookObject(*this, name);
  workbooks_.push_back(book);
  for (std::u16string_view s : sheets)
    book->addSheet(s);
  if (!activeWorkbook) {
    activeWorkbook = book;
    activeSheet = book->findSheet(1);
  }
  return *book;
}

WorkbookObject* ExcelDouble::findWorkbook(std::u16string_view name) const {
  for (WorkbookObject* b : workbooks_)
    if (sameIgnoringCase(b->name(), name)) return b;
  return nullptr;
}

void ExcelDouble::closeWorkbook(WorkbookObject& book) {
  auto it = std::find(workbooks_.begin(), workbooks_.end(), &book);
  if (it == workbooks_.end()) return;
  workbooks_.erase(it);
  closed_.push_back(&book);
  book.closed = true;
  if (activeWorkbook == &book) {
    activeWorkbook = workbooks_.empty() ? nullptr : workbooks_.front();
    activeSheet = activeWorkbook ? activeWorkbook->findSheet(1) : nullptr;
  }
}

void ExcelDouble::setState(DISPID id, Variant value) {
  if (id == app::Caption && window_) {
    std::u16string caption = value.toText();
    SetWindowTextW(window_, reinterpret_cast<const wchar_t*>(caption.c_str()));
  }
  app_->setProperty(id, std::move(value));
}

WorkbookObject& addNewWorkbook(ExcelDouble& excel) {
  std::u16string name = u"Book";
  for (char ch : std::to_string(excel.nextBook_++))
    name.push_back(static_cast<char16_t>(ch));
  return excel.addWorkbook(name);
}

void logCall(ExcelDouble& excel, LoggedCall call) {
  excel.log().add(std::move(call));
}

void ExcelDouble::script(std::string objectPrefix, DISPID id, ScriptedMember handler) {
  unscript(objectPrefix, id);
  scripts_.emplace_back(std::move(objectPrefix), id, std::move(handler));
}

void ExcelDouble::failWith(std::string objectPrefix, DISPID id, HRESULT result) {
  script(std::move(objectPrefix), id, [result](DispatchCall&) { return result; });
}

void ExcelDouble::unscript(const std::string& objectPrefix, DISPID id) {
  std::erase_if(scripts_,
                [&](const auto& s) { return std::get<0>(s) == objectPrefix && std::get<1>(s) == id; });
}

const ScriptedMember* findScript(const ExcelDouble& excel, const std::string& label, DISPID id) {
  for (const auto& [prefix, member, handler] : excel.scripts_)
    if (member == id && std::string_view(label).starts_with(prefix)) return &handler;
  return nullptr;
}

} // namespace cwbk::testing
