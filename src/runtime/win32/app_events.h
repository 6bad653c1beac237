// Excel's application events: the sink connected to the Application's event source, with the
// handlers of a change in a linked workbook, of Excel's calculation, of workbooks opening, closing and
// saving and of a new sheet; and the control event of message 1153.
#pragma once

#include <oaidl.h>

#include <string_view>

namespace cwbk {

struct RuntimeHost;

// Excel's application event interface, the one the sink answers.
inline constexpr IID kAppEventsIid = {0x00024413, 0x0000, 0x0000, {0xC0, 0x00, 0, 0, 0, 0, 0, 0x46}};

// The application events by DISPID.
namespace appEvent {
inline constexpr DISPID SheetCalculate = 0x061B;
inline constexpr DISPID SheetChange = 0x061C;
inline constexpr DISPID WorkbookOpen = 0x061F;
inline constexpr DISPID WorkbookBeforeClose = 0x0622;
inline constexpr DISPID WorkbookBeforeSave = 0x0623;
inline constexpr DISPID WorkbookNewSheet = 0x0625;
} // namespace appEvent

// Receives the application events; answers IUnknown, IDispatch and the event interface. An event with
// the wrong number or kinds of arguments is answered E_INVALIDARG, any other event S_OK whatever its
// handler met.
class AppEventSink final : public IDispatch {
public:
  explicit AppEventSink(RuntimeHost& host) : host_(host) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override;

  // The handlers; cancel is read and written by the close and save handlers.
  void linkedChange(IDispatch* sheet);
  void calculate();
  void workbookOpen(IDispatch* workbook);
  void beforeClose(IDispatch* workbook, bool& cancel);
  void beforeSave(IDispatch* workbook, bool saveAsDialog, bool& cancel);
  void newSheet(IDispatch* workbook, IDispatch* sheet);

private:
  RuntimeHost& host_;
  ULONG references_ = 1;
};

// Creates the sink and connects it to the Application's event source; without an event source the
// runtime goes on without events.
void connectEventSink(RuntimeHost& host);
// Disconnects and releases the sink, when there is one.
void disconnectEventSink(RuntimeHost& host);

// A click on a control of the active sheet (message 1153): its linked cell, or the linked cells of
// every control of its group, take Excel's values; a change recalculates unless Excel calculates
// manually or an import is applying its data.
void controlEvent(RuntimeHost& host, std::u16string_view name);

} // namespace cwbk
