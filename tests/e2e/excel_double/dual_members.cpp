// The members of the double's Application, Workbook and Worksheet that have slots in their classes'
// function tables: each runs as a call of the object's member table.
#include "excel/excel_members.h"
#include "excel_double/excel_double.h"

namespace cwbk::testing {

namespace app = cwbk::dispid::application;
namespace wb = cwbk::dispid::workbook;
namespace ws = cwbk::dispid::worksheet;

constexpr WORD kMethod = DISPATCH_METHOD;
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;

// ------------------------------------------------------------------ application

HRESULT ApplicationObject::Calculate(LCID locale) {
  return runThroughSlot(*this, app::Calculate, kMethod, locale);
}
HRESULT ApplicationObject::CalculateFull() {
  return runThroughSlot(*this, app::CalculateFull, kMethod);
}
HRESULT ApplicationObject::Quit() {
  return runThroughSlot(*this, app::Quit, kMethod);
}
HRESULT ApplicationObject::Run(VARIANT a0, VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5,
                               VARIANT a6, VARIANT a7, VARIANT a8, VARIANT a9, VARIANT a10, VARIANT a11,
                               VARIANT a12, VARIANT a13, VARIANT a14, VARIANT a15, VARIANT a16, VARIANT a17,
                               VARIANT a18, VARIANT a19, VARIANT a20, VARIANT a21, VARIANT a22, VARIANT a23,
                               VARIANT a24, VARIANT a25, VARIANT a26, VARIANT a27, VARIANT a28, VARIANT a29,
                               VARIANT a30, VARIANT* result) {
  return result ? runThroughSlot(*this, app::Run, kMethod, a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11,
                                 a12, a13, a14, a15, a16, a17, a18, a19, a20, a21, a22, a23, a24, a25, a26,
                                 a27, a28, a29, a30, result)
                : E_POINTER;
}
HRESULT ApplicationObject::get_Calculation(LCID locale, long* mode) {
  return mode ? runThroughSlot(*this, app::Calculation, kGet, locale, mode) : E_POINTER;
}
HRESULT ApplicationObject::put_Calculation(LCID locale, long mode) {
  return runThroughSlot(*this, app::Calculation, kPut, locale, mode);
}
HRESULT ApplicationObject::put_Visible(LCID locale, VARIANT_BOOL visible) {
  return runThroughSlot(*this, app::Visible, kPut, locale, visible);
}
HRESULT ApplicationObject::put_EnableEvents(VARIANT_BOOL enable) {
  return runThroughSlot(*this, app::EnableEvents, kPut, enable);
}

const std::vector<DualMember>* ApplicationObject::dualMembers() const {
  static const std::vector<DualMember> members = {
      dualMember<LCID>(app::Calculate, INVOKE_FUNC, slotOffset(&ApplicationObject::Calculate)),
      dualMember<>(app::CalculateFull, INVOKE_FUNC, slotOffset(&ApplicationObject::CalculateFull)),
      dualMember<>(app::Quit, INVOKE_FUNC, slotOffset(&ApplicationObject::Quit)),
      dualMember<VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
                 VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
                 VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
                 VARIANT, VARIANT*>(app::Run, INVOKE_FUNC, slotOffset(&ApplicationObject::Run)),
      dualMember<LCID, long*>(app::Calculation, INVOKE_PROPERTYGET,
                              slotOffset(&ApplicationObject::get_Calculation)),
      dualMember<LCID, long>(app::Calculation, INVOKE_PROPERTYPUT,
                             slotOffset(&ApplicationObject::put_Calculation)),
      dualMember<LCID, VARIANT_BOOL>(app::Visible, INVOKE_PROPERTYPUT,
                                     slotOffset(&ApplicationObject::put_Visible)),
      dualMember<VARIANT_BOOL>(app::EnableEvents, INVOKE_PROPERTYPUT,
                               slotOffset(&ApplicationObject::put_EnableEvents)),
  };
  return &members;
}

// ------------------------------------------------------------------ workbook

HRESULT WorkbookObject::Close(VARIANT saveChanges, VARIANT fileName, VARIANT route, LCID locale) {
  return runThroughSlot(*this, wb::Close, kMethod, saveChanges, fileName, route, locale);
}
HRESULT WorkbookObject::Save(LCID locale) {
  return runThroughSlot(*this, wb::Save, kMethod, locale);
}
HRESULT WorkbookObject::SaveAsBefore(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5, VARIANT a6,
                                     XlSaveAsAccessMode mode, VARIANT a8, VARIANT a9, VARIANT a10,
                                     VARIANT a11, LCID locale) {
  return runThroughSlot(*this, wb::SaveAs, kMethod, a1, a2, a3, a4, a5, a6, mode, a8, a9, a10, a11, locale);
}
HRESULT WorkbookObject::SaveAs(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5, VARIANT a6,
                               XlSaveAsAccessMode mode, VARIANT a8, VARIANT a9, VARIANT a10, VARIANT a11,
                               VARIANT a12, LCID locale) {
  return runThroughSlot(*this, wb::SaveAsLocal, kMethod, a1, a2, a3, a4, a5, a6, mode, a8, a9, a10, a11, a12,
                        locale);
}
HRESULT WorkbookObject::SaveCopyAs(VARIANT fileName, LCID locale) {
  return runThroughSlot(*this, wb::SaveCopyAs, kMethod, fileName, locale);
}
HRESULT WorkbookObject::get_Path(LCID locale, BSTR* path) {
  return path ? runThroughSlot(*this, wb::Path, kGet, locale, path) : E_POINTER;
}
HRESULT WorkbookObject::put_Password(LCID locale, BSTR password) {
  return runThroughSlot(*this, wb::Password, kPut, locale, password);
}

const std::vector<DualMember>* WorkbookObject::dualMembers() const {
  using V = VARIANT;
  static const std::vector<DualMember> members = {
      dualMember<V, V, V, LCID>(wb::Close, INVOKE_FUNC, slotOffset(&WorkbookObject::Close)),
      dualMember<LCID>(wb::Save, INVOKE_FUNC, slotOffset(&WorkbookObject::Save)),
      dualMember<V, V, V, V, V, V, XlSaveAsAccessMode, V, V, V, V, LCID>(
          wb::SaveAs, INVOKE_FUNC, slotOffset(&WorkbookObject::SaveAsBefore)),
      dualMember<V, V, V, V, V, V, XlSaveAsAccessMode, V, V, V, V, V, LCID>(
          wb::SaveAsLocal, INVOKE_FUNC, slotOffset(&WorkbookObject::SaveAs)),
      dualMember<V, LCID>(wb::SaveCopyAs, INVOKE_FUNC, slotOffset(&WorkbookObject::SaveCopyAs)),
      dualMember<LCID, BSTR*>(wb::Path, INVOKE_PROPERTYGET, slotOffset(&WorkbookObject::get_Path)),
      dualMember<LCID, BSTR>(wb::Password, INVOKE_PROPERTYPUT, slotOffset(&WorkbookObject::put_Password)),
  };
  return &members;
}

// ------------------------------------------------------------------ worksheet

HRESULT WorksheetObject::put_Name(BSTR name) {
  return runThroughSlot(*this, ws::Name, kPut, name);
}
HRESULT WorksheetObject::Protect(VARIANT a1, VARIANT a2, VARIANT a3, VARIANT a4, VARIANT a5, VARIANT a6,
                                 VARIANT a7, VARIANT a8, VARIANT a9, VARIANT a10, VARIANT a11, VARIANT a12,
                                 VARIANT a13, VARIANT a14, VARIANT a15, VARIANT a16) {
  return runThroughSlot(*this, ws::Protect, kMethod, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13,
                        a14, a15, a16);
}
HRESULT WorksheetObject::Unprotect(VARIANT password, LCID locale) {
  return runThroughSlot(*this, ws::Unprotect, kMethod, password, locale);
}
HRESULT WorksheetObject::put_EnableSelection(LCID locale, long mode) {
  return runThroughSlot(*this, ws::EnableSelection, kPut, locale, mode);
}
HRESULT WorksheetObject::Copy(VARIANT before, VARIANT after, LCID locale) {
  return runThroughSlot(*this, ws::Copy, kMethod, before, after, locale);
}

const std::vector<DualMember>* WorksheetObject::dualMembers() const {
  using V = VARIANT;
  static const std::vector<DualMember> members = {
      dualMember<BSTR>(ws::Name, INVOKE_PROPERTYPUT, slotOffset(&WorksheetObject::put_Name)),
      dualMember<V, V, V, V, V, V, V, V, V, V, V, V, V, V, V, V>(ws::Protect, INVOKE_FUNC,
                                                                 slotOffset(&WorksheetObject::Protect)),
      dualMember<V, LCID>(ws::Unprotect, INVOKE_FUNC, slotOffset(&WorksheetObject::Unprotect)),
      dualMember<LCID, long>(ws::EnableSelection, INVOKE_PROPERTYPUT,
                             slotOffset(&WorksheetObject::put_EnableSelection)),
      dualMember<V, V, LCID>(ws::Copy, INVOKE_FUNC, slotOffset(&WorksheetObject::Copy)),
  };
  return &members;
}

} // namespace cwbk::testing
