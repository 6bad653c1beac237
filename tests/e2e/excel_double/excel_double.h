// The scripted Excel double: an in-process object model of IDispatch objects that stands in for
// Excel in the Windows tests. It keeps workbooks, sheets and their cells, the application's state,
// owns a hidden "XLMAIN" window, and logs every call so that tests can check what the runtime did.
//
//   ExcelDouble excel;
//   WorksheetObject& sheet = excel.addWorkbook(u"Book1.xlsx").sheet(1);
//   sheet.set(u"A1", Variant::number(2));
//   sheet.setFormula(u"B1", u"=A1*2", Variant::number(4));
//   ApplicationWrapper app(excel.application());
#pragma once

#include <ocidl.h>
#include <olectl.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "excel_double/double_object.h"
#include "excel_double/dual_interface.h"

namespace cwbk::testing {

class CommandBarsObject;
class WorkbookObject;
class WorksheetObject;

// A rectangle of cells, 1-based and inclusive.
struct CellRect {
  int32_t top = 1;
  int32_t left = 1;
  int32_t bottom = 1;
  int32_t right = 1;
  int32_t rows() const { return bottom - top + 1; }
  int32_t columns() const { return right - left + 1; }
  bool contains(int32_t row, int32_t column) const {
    return row >= top && row <= bottom && column >= left && column <= right;
  }
};
// Returns the rectangle of an A1 text ("B2", "$A$1:$C$3"); nullopt when it is not one.
std::optional<CellRect> parseRect(std::u16string_view text);
// Returns the absolute A1 text of a rectangle ("$A$1" or "$A$1:$B$2").
std::u16string rectText(const CellRect& rect);

// The parts of a cell's formatting, each a group of properties by DISPID.
enum class FormatPart : uint32_t { Range = 0, Interior = 1, Font = 2, Borders = 3 };

struct HyperlinkData {
  std::u16string address;
  std::u16string subAddress;
  std::u16string textToDisplay;
};

struct CellData {
  Variant value;
  std::u16string formula; // empty when the cell holds a constant
  std::map<uint32_t, Variant> formats;
  std::optional<HyperlinkData> link;
};

// Excel's application event interface.
inline constexpr IID kAppEventsIid = {0x00024413, 0x0000, 0x0000, {0xC0, 0x00, 0, 0, 0, 0, 0, 0x46}};

// Arguments of an application event: an object (the caller keeps its reference), a Boolean, and a
// Boolean flag by reference that the sinks may set.
VARIANT objectArgument(IDispatch* object);
VARIANT flagArgument(bool on);
VARIANT flagReference(VARIANT_BOOL* flag);

class ApplicationObject : public DoubleObjectOf<ApplicationObject> {
public:
  explicit ApplicationObject(ExcelDouble& excel);
  ~ApplicationObject() override;
  std::string label() const override { return "Application"; }
  static const std::vector<Member<ApplicationObject>>& members();

  // The members with slots, with Excel's signatures.
  virtual HRESULT STDMETHODCALLTYPE Calculate(LCID locale);
  virtual HRESULT STDMETHODCALLTYPE CalculateFull();
  virtual HRESULT STDMETHODCALLTYPE Quit();
  // Run: the macro's name and 30 arguments.
  virtual HRESULT STDMETHODCALLTYPE Run(VARIANT a0, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4,
                                        VARIANT a5, VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9,
                                        VARIANT a10, VARIANT a11, VARIANT a12, VARIANT a13, VARIANT a14,
                                        VARIANT a15, VARIANT a16, VARIANT a17, VARIANT a18, VARIANT a19,
                                        VARIANT a20, VARIANT a21, VARIANT a22, VARIANT a23, VARIANT a24,
                                        VARIANT a25, VARIANT a26, VARIANT a27, VARIANT a28, VARIANT a29,
                                        VARIANT a30, VARIANT* result);
  virtual HRESULT STDMETHODCALLTYPE get_Calculation(LCID locale, long* mode);
  virtual HRESULT STDMETHODCALLTYPE put_Calculation(LCID locale, long mode);
  virtual HRESULT STDMETHODCALLTYPE put_Visible(LCID locale, VARIANT_BOOL visible);
  virtual HRESULT STDMETHODCALLTYPE put_EnableEvents(VARIANT_BOOL enable);

protected:
  const IID* dualInterface() const override { return &kApplicationIid; }
  const std::vector<DualMember>* dualMembers() const override;

public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

  // Raises an application event with its arguments, first to last, at every connected sink; returns
  // the first failure a sink answered (S_OK when none failed).
  HRESULT raiseEvent(DISPID id, std::initializer_list<VARIANT> arguments);
  size_t eventSinkCount() const { return sinks_.size(); }

private:
  // The application's event source: one container with one connection point, for the application
  // event interface only; it counts its references on the application.
  class EventSource : public IConnectionPointContainer, public IConnectionPoint {
  public:
    explicit EventSource(ApplicationObject& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  private:
    ApplicationObject& owner_;
  };

  std::vector<std::pair<DWORD, IDispatch*>> sinks_; // one reference each
  DWORD nextCookie_ = 1;
  EventSource events_{*this};
};

class WorksheetObject : public DoubleObjectOf<WorksheetObject> {
public:
  WorksheetObject(ExcelDouble& excel, WorkbookObject& book, std::u16string_view name);
  std::string label() const override { return "Worksheet " + narrow(name()); }
  static const std::vector<Member<WorksheetObject>>& members();

  // The members with slots, with Excel's signatures.
  virtual HRESULT STDMETHODCALLTYPE put_Name(BSTR name);
  virtual HRESULT STDMETHODCALLTYPE Protect(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                                            VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9, VARIANT a10,
                                            VARIANT a11, VARIANT a12, VARIANT a13, VARIANT a14, VARIANT a15,
                                            VARIANT a16);
  virtual HRESULT STDMETHODCALLTYPE Unprotect(VARIANT password, LCID locale);
  virtual HRESULT STDMETHODCALLTYPE put_EnableSelection(LCID locale, long mode);
  virtual HRESULT STDMETHODCALLTYPE Copy(VARIANT before, VARIANT after, LCID locale);

  std::u16string name() const;
  WorkbookObject& workbook() const { return *book_; }
  // 1-based position in the workbook.
  int32_t index() const;

  // --- test set-up and inspection, by A1 text
  void set(std::u16string_view a1, const Variant& value);
  void setFormula(std::u16string_view a1, std::u16string_view formula, const Variant& value = {});
  Variant value(std::u16string_view a1) const;
  std::u16string formula(std::u16string_view a1) const;
  bool hasFormula(std::u16string_view a1) const;
  Variant format(std::u16string_view a1, FormatPart part, DISPID id) const;
  void setFormat(std::u16string_view a1, FormatPart part, DISPID id, const Variant& value);
  std::optional<HyperlinkData> hyperlink(std::u16string_view a1) const;
  void setHyperlink(std::u16string_view a1, HyperlinkData link);

  // --- cells by position (1-based)
  const CellData* cell(int32_t row, int32_t column) const;
  CellData& cellAt(int32_t row, int32_t column);
  // Writes a value as Excel does when it is typed or assigned: an apostrophe keeps the rest as text,
  // "=..." becomes a formula, numbers, TRUE/FALSE and error texts are read as such, "" empties the cell.
  void enter(int32_t row, int32_t column, const VARIANT& value, bool asFormula);
  void clear(int32_t row, int32_t column);
  // The rectangle that holds every cell with a value or formula ($A$1 for an empty sheet).
  CellRect usedRect() const;
  std::map<std::pair<int32_t, int32_t>, CellData>& cells() { return cells_; }

  // Protection, as Protect and Unprotect leave it.
  bool protectedContents = false;
  std::u16string protectionPassword;

protected:
  const IID* dualInterface() const override { return &kWorksheetIid; }
  const std::vector<DualMember>* dualMembers() const override;

private:
  WorkbookObject* book_;
  std::map<std::pair<int32_t, int32_t>, CellData> cells_;
};

class WorkbookObject : public DoubleObjectOf<WorkbookObject> {
public:
  WorkbookObject(ExcelDouble& excel, std::u16string_view name);
  ~WorkbookObject() override;
  std::string label() const override { return "Workbook " + narrow(name()); }
  static const std::vector<Member<WorkbookObject>>& members();

  // The members with slots, with Excel's signatures (two forms of SaveAs: before and after the
  // argument Local was added).
  virtual HRESULT STDMETHODCALLTYPE Close(VARIANT saveChanges, VARIANT fileName, VARIANT route, LCID locale);
  virtual HRESULT STDMETHODCALLTYPE Save(LCID locale);
  virtual HRESULT STDMETHODCALLTYPE SaveAsBefore(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                                                 VARIANT a6, XlSaveAsAccessMode mode, VARIANT a8, VARIANT a9,
                                                 VARIANT a10, VARIANT a11, LCID locale);
  virtual HRESULT STDMETHODCALLTYPE SaveAs(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                                           VARIANT a6, XlSaveAsAccessMode mode, VARIANT a8, VARIANT a9,
                                           VARIANT a10, VARIANT a11, VARIANT a12, LCID locale);
  virtual HRESULT STDMETHODCALLTYPE SaveCopyAs(VARIANT fileName, LCID locale);
  virtual HRESULT STDMETHODCALLTYPE get_Path(LCID locale, BSTR* path);
  virtual HRESULT STDMETHODCALLTYPE put_Password(LCID locale, BSTR password);

  std::u16string name() const;
  // Adds a sheet at a 1-based position, after the last one when the position is 0 or past the end.
  WorksheetObject& addSheet(std::u16string_view name, int32_t position = 0);
  // The sheet by 1-based position or by name (case-insensitive); null when none.
  WorksheetObject* findSheet(int32_t index) const;
  WorksheetObject* findSheet(std::u16string_view name) const;
  WorksheetObject& sheet(int32_t index) const { return *findSheet(index); }
  WorksheetObject& sheet(std::u16string_view name) const { return *findSheet(name); }
  const std::vector<WorksheetObject*>& sheets() const { return sheets_; }
  bool closed = false;
  // Save, SaveAs and SaveCopyAs write a small file when set (its text names the workbook and counts
  // the saves); returns false when the file cannot be written.
  bool writesFiles = false;
  int saves = 0;
  bool writeFile(const std::u16string& path);

protected:
  const IID* dualInterface() const override { return &kWorkbookIid; }
  const std::vector<DualMember>* dualMembers() const override;

private:
  std::vector<WorksheetObject*> sheets_; // one reference each
};

class ExcelDouble {
public:
  ExcelDouble();
  ~ExcelDouble();
  ExcelDouble(const ExcelDouble&) = delete;
  ExcelDouble& operator=(const ExcelDouble&) = delete;

  // The Application object (the double keeps its own reference; callers add theirs).
  IDispatch* application() const { return app_; }
  ApplicationObject& app() const { return *app_; }
  // Adds an open workbook with the named sheets; the first workbook and sheet become active.
  WorkbookObject& addWorkbook(std::u16string_view name,
                              std::initializer_list<std::u16string_view> sheets = {u"Sheet1"});
  WorkbookObject* findWorkbook(std::u16string_view name) const;
  const std::vector<WorkbookObject*>& workbooks() const { return workbooks_; }
  void closeWorkbook(WorkbookObject& book);

  // The hidden main window of class "XLMAIN", titled with the Caption.
  HWND mainWindow() const { return window_; }
  // Application.CommandBars: the classic menu bar and its popups.
  CommandBarsObject& commandBars() const { return *commandBars_; }
  CallLog& log() { return log_; }

  // Application state by DISPID (EnableEvents, Calculation, Version, ...).
  const Variant& state(DISPID id) const { return app_->property(id); }
  void setState(DISPID id, Variant value);

  // Scripted behaviour.
  // Answers member `id` of every object whose label starts with `objectPrefix` ("Range", "Workbooks")
  // with `handler`; an object's own script comes first.
  void script(std::string objectPrefix, DISPID id, ScriptedMember handler);
  // Makes member `id` of those objects fail with `result`.
  void failWith(std::string objectPrefix, DISPID id, HRESULT result);
  void unscript(const std::string& objectPrefix, DISPID id);
  // Evaluate's answer for a text and locale; the default reads numbers, TRUE/FALSE and "texts" and
  // answers #NAME? otherwise.
  std::function<Variant(std::u16string_view formula, LCID locale)> evaluator;
  // Macros that Run reaches, by name; an unknown name raises Excel's run-time error.
  std::map<std::u16string, std::function<Variant(std::span<const Variant> arguments)>> macros;
  // The answer of every Dialog.Show.
  bool dialogAnswer = true;
  // Built-in dialogs that Dialog.Show puts on screen as windows, by number, with their titles; Show
  // then waits (pumping messages, a bounded while) until the window is closed.
  std::map<int32_t, std::u16string> dialogWindows;
  // Shows a top-level window of Excel's dialog class with the title and child controls of the named
  // classes, and activates it. Returns the window.
  HWND openDialog(std::u16string_view title, std::initializer_list<const wchar_t*> controls = {});
  // Pumps this thread's messages until the window is gone or the rounds are spent; returns whether it
  // is gone.
  static bool pumpUntilClosed(HWND window, int rounds = 200);
  // The user-interface language of LanguageSettings.
  int32_t languageId = 1033;
  // The active workbook and sheet, and the selection (a rectangle on the active sheet).
  WorkbookObject* activeWorkbook = nullptr;
  WorksheetObject* activeSheet = nullptr;
  CellRect selection;
  // Set by Quit.
  int quitCalls = 0;

private:
  ApplicationObject* app_ = nullptr;
  CommandBarsObject* commandBars_ = nullptr;
  std::vector<WorkbookObject*> workbooks_; // open ones, one reference each
  std::vector<WorkbookObject*> closed_;    // kept alive for wrappers that still hold them
  HWND window_ = nullptr;
  CallLog log_;
  int nextBook_ = 1;
  std::vector<std::tuple<std::string, DISPID, ScriptedMember>> scripts_;

  friend class ApplicationObject;
  friend WorkbookObject& addNewWorkbook(ExcelDouble&);
  friend const ScriptedMember* findScript(const ExcelDouble&, const std::string&, DISPID);
};

// Adds a new workbook "Book<n>" with one sheet (Workbooks.Add).
WorkbookObject& addNewWorkbook(ExcelDouble& excel);
// Returns the Variant of an Excel error number (2007 for #DIV/0!, ...).
Variant excelError(int number);

} // namespace cwbk::testing
