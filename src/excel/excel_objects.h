// The typed wrappers of Excel's objects: each member is one late-bound call by its fixed DISPID.
// Members marked "quiet" swallow a COM failure (kept in lastResult) and answer a neutral result; every
// other member lets ComError reach its caller.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "excel/dispatch_wrapper.h"
#include "values/calc_value.h"

namespace cwbk {

class RangeWrapper;
class WorksheetWrapper;

// Interior, Font, Borders and Border: colours, patterns and lines. Values are VARIANTs because Excel
// answers Null for a range whose cells differ.
class FormatWrapper : public DispatchCollection {
public:
  using DispatchCollection::DispatchCollection;
  Variant color() { return getVariant(dispid::format::Color); }
  void putColor(const Variant& v) { putVariant(dispid::format::Color, v); }
  Variant colorIndex() { return getVariant(dispid::format::ColorIndex); }
  void putColorIndex(const Variant& v) { putVariant(dispid::format::ColorIndex, v); }
  // Interior only.
  Variant pattern() { return getVariant(dispid::format::Pattern); }
  void putPattern(const Variant& v) { putVariant(dispid::format::Pattern, v); }
  Variant patternColor() { return getVariant(dispid::format::PatternColor); }
  void putPatternColor(const Variant& v) { putVariant(dispid::format::PatternColor, v); }
  Variant patternColorIndex() { return getVariant(dispid::format::PatternColorIndex); }
  void putPatternColorIndex(const Variant& v) { putVariant(dispid::format::PatternColorIndex, v); }
  // Borders and Border only.
  Variant lineStyle() { return getVariant(dispid::format::LineStyle); }
  void putLineStyle(const Variant& v) { putVariant(dispid::format::LineStyle, v); }
  Variant weight() { return getVariant(dispid::format::Weight); }
  void putWeight(const Variant& v) { putVariant(dispid::format::Weight, v); }
  // Borders only: one edge.
  FormatWrapper border(int32_t which) { return adoptAs<FormatWrapper>(item(which)); }
};

class HyperlinkWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  std::u16string address() { return getText(dispid::hyperlink::Address); }
  void putAddress(std::u16string_view t) { putText(dispid::hyperlink::Address, t); }
  std::u16string subAddress() { return getText(dispid::hyperlink::SubAddress); }
  void putSubAddress(std::u16string_view t) { putText(dispid::hyperlink::SubAddress, t); }
  std::u16string textToDisplay() { return getText(dispid::hyperlink::TextToDisplay); }
  void putTextToDisplay(std::u16string_view t) { putText(dispid::hyperlink::TextToDisplay, t); }
  void deleteLink() { call(dispid::hyperlink::Delete); }
  // The two further hyperlink properties the adapter keeps: a text and an object.
  std::u16string textProperty() { return getText(dispid::hyperlink::TextProperty); }
  void putTextProperty(std::u16string_view t) { putText(dispid::hyperlink::TextProperty, t); }
  DispatchWrapper objectProperty() { return getObject(dispid::hyperlink::ObjectProperty); }
};

// A query table of a worksheet: its two state properties and its refresh method.
class QueryTableWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  bool stateA() { return getBoolean(dispid::queryTable::StateA); }
  bool stateB() { return getBoolean(dispid::queryTable::StateB); }
  bool refresh(bool background) {
    return readBoolean(call(dispid::queryTable::Refresh, {Variant::boolean(background)}).get());
  }
};

class HyperlinksWrapper : public DispatchCollection {
public:
  using DispatchCollection::DispatchCollection;
  HyperlinkWrapper link(int32_t index) { return adoptAs<HyperlinkWrapper>(item(index)); }
  // Adds a link on `anchor` to `address`; sub-address, screen tip and text to display are omitted.
  HyperlinkWrapper add(const DispatchWrapper& anchor, std::u16string_view address);
  void deleteAll() { call(dispid::common::Delete); }
};

// A callback of block reads: the row and column of a cell (the range's top-left plus the element's
// offset) and its value.
using CellVisitor = std::function<void(uint32_t row, uint32_t column, const CalcValue& value)>;

class RangeWrapper : public DispatchCollection {
public:
  using DispatchCollection::DispatchCollection;

  // Quiet: stores Value2 in `value` and returns true; on failure returns false, leaves `value` empty
  // and keeps the HRESULT, so that a failed read is never taken for a blank cell.
  bool value2(Variant& value);
  // Reads Value2 and hands every cell on to `visit`: element (i, j) of an array answer as the cell
  // (top + i - lower bound 1, left + j - lower bound 2), a single answer as the cell (top, left).
  // Quiet: returns false (nothing visited) when the read fails.
  bool readBlock(uint32_t top, uint32_t left, const CellVisitor& visit);
  // Writes Value2 (through Excel's own implementation when it is saved).
  void putValue2(const Variant& value);
  // The formula in English syntax.
  std::u16string formula() {
    return invoke(dispid::range::Formula, DISPATCH_PROPERTYGET, {}, kLocaleEnglish).toText();
  }
  std::u16string address() { return invoke(dispid::range::Address, DISPATCH_PROPERTYGET, {}).toText(); }
  // The number of cells, also beyond Count's 32 bits (a whole sheet holds 2^34); Excel before version
  // 12 has no CountLarge, and its sheets fit Count.
  double countLarge(int32_t majorVersion) {
    return majorVersion >= 12 ? getDouble(dispid::range::CountLarge) : count();
  }
  // True when every cell holds a formula (Null, for a mix, reads as false).
  bool hasFormula() { return getBoolean(dispid::range::HasFormula); }
  RangeWrapper cell(int32_t row, int32_t column);
  FormatWrapper interior() { return adoptAs<FormatWrapper>(getObject(dispid::range::Interior)); }
  FormatWrapper font() { return adoptAs<FormatWrapper>(getObject(dispid::range::Font)); }
  // Quiet: an empty wrapper when Borders cannot be read.
  FormatWrapper borders();
  DispatchCollection areas() { return adoptAs<DispatchCollection>(getObject(dispid::range::Areas)); }
  RangeWrapper area(int32_t index) { return adoptAs<RangeWrapper>(areas().item(index)); }
  WorksheetWrapper worksheet();
  HyperlinksWrapper hyperlinks() { return adoptAs<HyperlinksWrapper>(getObject(dispid::range::Hyperlinks)); }
  DispatchWrapper precedentAreas() { return getObject(dispid::range::PrecedentAreas); }
  void select() { call(dispid::range::Select); }
  void deleteCells() { call(dispid::range::Delete); }
  void calculate() { call(dispid::range::Calculate); }

  // Cell formats: reads raise; writes are quiet and return whether they succeeded.
  Variant horizontalAlignment() { return getVariant(dispid::range::HorizontalAlignment); }
  Variant verticalAlignment() { return getVariant(dispid::range::VerticalAlignment); }
  Variant numberFormat() { return getVariant(dispid::range::NumberFormat); }
  Variant orientation() { return getVariant(dispid::range::Orientation); }
  Variant shrinkToFit() { return getVariant(dispid::range::ShrinkToFit); }
  Variant wrapText() { return getVariant(dispid::range::WrapText); }
  bool putHorizontalAlignment(const Variant& v) { return putQuietly(dispid::range::HorizontalAlignment, v); }
  bool putVerticalAlignment(const Variant& v) { return putQuietly(dispid::range::VerticalAlignment, v); }
  bool putNumberFormat(const Variant& v) { return putQuietly(dispid::range::NumberFormat, v); }
  bool putOrientation(const Variant& v) { return putQuietly(dispid::range::Orientation, v); }
  bool putShrinkToFit(const Variant& v) { return putQuietly(dispid::range::ShrinkToFit, v); }
  bool putWrapText(const Variant& v) { return putQuietly(dispid::range::WrapText, v); }

private:
  bool putQuietly(DISPID id, const Variant& v) {
    return quietly([&] { putVariant(id, v); });
  }
};

// One value to write into a cell: 0-based row and column.
struct CellWrite {
  uint32_t row = 0;
  uint32_t column = 0;
  CalcValue value;
};

class WorksheetWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  int32_t type() { return getInteger(dispid::worksheet::Type); }
  bool isWorksheet() { return type() == dispid::worksheet::TypeWorksheet; }
  std::u16string name() {
    return invoke(dispid::worksheet::Name, DISPATCH_PROPERTYGET, {}, kLocaleSystemDefault, VT_BSTR).toText();
  }
  void putName(std::u16string_view name) { putText(dispid::worksheet::Name, name); }
  // The range of an A1 address text.
  RangeWrapper range(std::u16string_view address);
  bool protectContents() {
    return readBoolean(invoke(dispid::worksheet::ProtectContents, DISPATCH_PROPERTYGET, {}).get());
  }
  bool protectDrawingObjects() {
    return readBoolean(invoke(dispid::worksheet::ProtectDrawingObjects, DISPATCH_PROPERTYGET, {}).get());
  }
  void activate() { invoke(dispid::worksheet::Activate, DISPATCH_METHOD, {}); }
  RangeWrapper usedRange();
  // Index within the workbook's sheets (the answer must be VT_I4).
  int32_t index() {
    return invoke(dispid::worksheet::Index, DISPATCH_PROPERTYGET, {}, kLocaleSystemDefault, VT_I4).get().lVal;
  }
  // CodeName (the answer must be VT_BSTR).
  std::u16string codeName() {
    return invoke(dispid::worksheet::CodeName, DISPATCH_PROPERTYGET, {}, kLocaleSystemDefault, VT_BSTR)
        .toText();
  }
  // Returns the code name, or "Sheet<Index>" for a sheet created at run time (empty CodeName).
  std::u16string nameForCode();
  DispatchWrapper shapes() { return invokeObject(dispid::worksheet::Shapes); }
  DispatchCollection queryTables() {
    return adoptAs<DispatchCollection>(getObject(dispid::worksheet::QueryTables));
  }
  void putEnableSelection(int32_t mode);
  // Protect with the password and the 15 permissions as given (missing beyond).
  void protect(std::span<const Variant> arguments);
  void unprotect(std::u16string_view password);
  void calculate() { call(dispid::worksheet::Calculate); }
  // Writes the values into their cells: each run of adjacent cells of a row in one Value2 write, texts
  // protected. Cells not listed are left alone (their formulas and texts stay as they are).
  void writeCells(std::span<const CellWrite> cells);
};

class SheetsWrapper : public DispatchCollection {
public:
  using DispatchCollection::DispatchCollection;
  WorksheetWrapper sheet(int32_t index) { return adoptAs<WorksheetWrapper>(item(index)); }
  WorksheetWrapper sheet(std::u16string_view name) { return adoptAs<WorksheetWrapper>(item(name)); }
  SheetsWrapper worksheets() { return adoptAs<SheetsWrapper>(invokeObject(dispid::sheets::Worksheets)); }
};

class WorkbookWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  std::u16string name() { return getText(dispid::workbook::Name); }
  std::u16string fullName() { return getText(dispid::workbook::FullName); }
  // Closes without saving. Close, Save and SaveAs go through Excel's own implementations when they
  // are saved: the runtime replaces them for the application's workbook.
  void close();
  void save();
  // Saves under a new name with a file format and, when given, a password (others omitted).
  void saveAs(std::u16string_view fileName, const Variant& fileFormat,
              const Variant& password = Variant::missing());
  int32_t fileFormat() { return invoke(dispid::workbook::FileFormat, DISPATCH_PROPERTYGET, {}).toInteger(); }
  bool saved() { return readBoolean(invoke(dispid::workbook::Saved, DISPATCH_PROPERTYGET, {}).get()); }
  void protect(const Variant& password, const Variant& structure, const Variant& windows);
  void unprotect(std::u16string_view password);
  bool date1904() { return getBoolean(dispid::workbook::Date1904); }
  // Sets the password (through Excel's own implementation when it is saved).
  void putPassword(std::u16string_view password);
  void setPasswordEncryptionOptions(std::u16string_view provider, std::u16string_view algorithm,
                                    int32_t keyLength, bool encryptProperties);
  SheetsWrapper worksheets() { return adoptAs<SheetsWrapper>(invokeObject(dispid::workbook::Worksheets)); }
  SheetsWrapper sheets() { return adoptAs<SheetsWrapper>(getObject(dispid::workbook::Sheets)); }
};

class WorkbooksWrapper : public DispatchCollection {
public:
  using DispatchCollection::DispatchCollection;
  WorkbookWrapper workbook(int32_t index) { return adoptAs<WorkbookWrapper>(item(index)); }
  WorkbookWrapper workbook(std::u16string_view name) { return adoptAs<WorkbookWrapper>(item(name)); }
  WorkbookWrapper add() { return adoptAs<WorkbookWrapper>(objectResult(call(dispid::workbooks::Add))); }
  WorkbookWrapper open(std::u16string_view fileName);
};

class DialogWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  // Shows the dialog with up to 30 arguments; returns its answer.
  bool show(std::span<const Variant> arguments = {});
};

class WorksheetFunctionWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  // Calls the worksheet function `id` with the arguments; raises ComError when Excel fails.
  Variant compute(DISPID id, std::span<const Variant> arguments) {
    return invoke(id, DISPATCH_METHOD, arguments);
  }
};

class ApplicationWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;

  // Creates a secondary Excel instance (a local server) and holds it; the HRESULT is kept.
  bool createInstance();

  // Evaluates a formula text, in English syntax or in the user's.
  Variant evaluate(std::u16string_view formula, bool englishSyntax);
  // Runs a macro with up to 30 arguments (the others passed as missing); returns its result.
  Variant run(std::u16string_view macro, std::span<const Variant> arguments = {});
  // Excel's own calculation (through its implementation when it is saved).
  void calculate();
  void calculateFull();
  // Quiet: returns whether Excel accepted the call.
  bool quit();

  DispatchWrapper selection() { return getObject(dispid::application::Selection); }
  std::u16string caption() { return getText(dispid::application::Caption); }
  WorksheetWrapper activeSheet() {
    return adoptAs<WorksheetWrapper>(getObject(dispid::application::ActiveSheet));
  }
  WorkbookWrapper activeWorkbook() {
    return adoptAs<WorkbookWrapper>(getObject(dispid::application::ActiveWorkbook));
  }
  WorkbooksWrapper workbooks() {
    return adoptAs<WorkbooksWrapper>(getObject(dispid::application::Workbooks));
  }
  SheetsWrapper sheets() { return adoptAs<SheetsWrapper>(getObject(dispid::application::Sheets)); }
  DispatchCollection windows() {
    return adoptAs<DispatchCollection>(getObject(dispid::application::Windows));
  }
  DispatchCollection addIns() { return adoptAs<DispatchCollection>(getObject(dispid::application::AddIns)); }
  DispatchCollection dialogs() {
    return adoptAs<DispatchCollection>(getObject(dispid::application::Dialogs));
  }
  DialogWrapper dialog(int32_t which) { return adoptAs<DialogWrapper>(dialogs().item(which)); }
  DispatchWrapper commandBars() { return getObject(dispid::application::CommandBars); }
  WorksheetFunctionWrapper worksheetFunction() {
    return adoptAs<WorksheetFunctionWrapper>(getObject(dispid::application::WorksheetFunction));
  }
  DispatchWrapper languageSettings() { return getObject(dispid::application::LanguageSettings); }
  // The user-interface language id (LanguageSettings.LanguageID of the user interface).
  int32_t userInterfaceLanguage();

  // Calculation mode (through Excel's own implementation when it is saved). The write is quiet.
  int32_t calculation();
  bool putCalculation(int32_t mode);
  // EnableEvents; the write is quiet and goes through Excel's own implementation when it is saved.
  bool enableEvents() { return getBoolean(dispid::application::EnableEvents); }
  bool putEnableEvents(bool enable);
  bool screenUpdating() { return getBoolean(dispid::application::ScreenUpdating); }
  bool putScreenUpdating(bool on) {
    return quietly([&] { putBoolean(dispid::application::ScreenUpdating, on); });
  }
  bool ignoreRemoteRequests() { return getBoolean(dispid::application::IgnoreRemoteRequests); }
  bool putIgnoreRemoteRequests(bool on) {
    return quietly([&] { putBoolean(dispid::application::IgnoreRemoteRequests, on); });
  }
  bool putOnEntry(std::u16string_view procedure) {
    return quietly([&] { putText(dispid::application::OnEntry, procedure); });
  }
  bool displayAlerts() { return getBoolean(dispid::application::DisplayAlerts); }
  void putDisplayAlerts(bool on) { putBoolean(dispid::application::DisplayAlerts, on); }
  bool visible() { return getBoolean(dispid::application::Visible); }
  void putVisible(bool on);
  bool iteration() { return getBoolean(dispid::application::Iteration); }
  double maxChange() { return getDouble(dispid::application::MaxChange); }
  int32_t maxIterations() { return getInteger(dispid::application::MaxIterations); }
  std::u16string version() { return getText(dispid::application::Version); }
  // The integer part of Version (0 when it does not start with digits).
  int32_t majorVersion();
  void putWindowState(int32_t state) { putInteger(dispid::application::WindowState, state); }
  int32_t savedSetting() { return getInteger(dispid::application::SavedSetting); }
  void putSavedSetting(int32_t v) { putInteger(dispid::application::SavedSetting, v); }
  int32_t defaultSaveFormat() { return getInteger(dispid::application::DefaultSaveFormat); }
  void putDefaultSaveFormat(int32_t v) { putInteger(dispid::application::DefaultSaveFormat, v); }
  void putUserControl(bool on) { putBoolean(dispid::application::UserControl, on); }
  int32_t hwnd() { return getInteger(dispid::application::Hwnd); }

  // Schedules `procedure` at `when` (a date serial).
  void onTime(double when, std::u16string_view procedure);
  // Sets the undo text and procedure (two empty texts clear them).
  void onUndo(std::u16string_view text, std::u16string_view procedure);
  // The intersection of up to 30 ranges; an empty wrapper when they do not meet.
  RangeWrapper intersect(std::span<const DispatchWrapper> ranges);
  // DDE through Excel.
  int32_t ddeInitiate(std::u16string_view application, std::u16string_view topic);
  Variant ddeRequest(int32_t channel, std::u16string_view item);
  void ddeTerminate(int32_t channel);
};

// Returns Excel's main window: Hwnd for versions above 9 when it is not 0, otherwise the top-level
// window of class "XLMAIN" in this process whose title is Excel's Caption; null when none is found.
// Raises ComError when Excel cannot be asked.
HWND findMainWindow(ApplicationWrapper& excel);

// Gives each object of the running object table to `accept` and returns the first it accepts
// (an empty wrapper when none).
DispatchWrapper findRunningObject(const std::function<bool(IDispatch*)>& accept);

} // namespace cwbk
