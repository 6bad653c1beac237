// The three ways the runtime calls a member of an Excel object: the dispatch routine (locale 0,
// result converted to the requested type), the direct invoke (own DISPPARAMS and locale, result type
// checked), and Excel's own implementation through a pointer saved by the interception.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <initializer_list>
#include <span>
#include <vector>

#include "excel/variant.h"

namespace cwbk {

// Arguments of a call, in their natural (first to last) order.
using Arguments = std::span<const Variant>;

// --- way 1: the dispatch routine. Each raises ComError (with the object's exception information)
// on failure; a null object fails with E_POINTER.

// Returns a property's value, converted to `resultType` unless that is VT_EMPTY.
Variant getProperty(IDispatch* object, DISPID id, VARTYPE resultType = VT_EMPTY, Arguments args = {});
// Writes a property: by reference for objects, by value otherwise.
void putProperty(IDispatch* object, DISPID id, const VARIANT& value, Arguments args = {});
// Calls a member with `flags` (DISPATCH_METHOD, possibly with DISPATCH_PROPERTYGET) and returns its
// result converted to `resultType` unless that is VT_EMPTY.
Variant callMethod(IDispatch* object, DISPID id, WORD flags, VARTYPE resultType, Arguments args = {});

// --- way 2: the direct invoke.

// Returns the result of Invoke at `locale`, the HRESULT stored in `stored`. Raises ComError when the
// call fails or when `expected` is not VT_EMPTY and the result is of another type.
Variant invokeDirect(IDispatch* object, DISPID id, WORD flags, Arguments args, LCID locale, VARTYPE expected,
                     HRESULT& stored);

// --- way 3: Excel's own implementations of the members the runtime intercepts. The interception
// saves them when it patches an interface's function table; null until then, and the wrappers fall
// back to way 1 or 2.
struct ExcelImplementations {
  HRESULT(STDMETHODCALLTYPE* applicationQuit)(IDispatch* self) = nullptr;
  HRESULT(STDMETHODCALLTYPE* getCalculation)(IDispatch* self, LCID locale, long* mode) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putCalculation)(IDispatch* self, LCID locale, long mode) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putEnableEvents)(IDispatch* self, VARIANT_BOOL enable) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putWorkbookPassword)(IDispatch* self, LCID locale, BSTR password) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putValue2)(IDispatch* self, LCID locale, VARIANT value) = nullptr;
  // The members the runtime replaces, for the replacements to call on and for the runtime's own calls
  // (a late-bound call would reach the replacement again).
  HRESULT(STDMETHODCALLTYPE* applicationCalculate)(IDispatch* self, LCID locale) = nullptr;
  // Run: the macro's name and 30 arguments.
  HRESULT(STDMETHODCALLTYPE* applicationRun)
  (IDispatch* self, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
   VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
   VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
   VARIANT* result) = nullptr;
  HRESULT(STDMETHODCALLTYPE* applicationCalculateFull)(IDispatch* self) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putVisible)(IDispatch* self, LCID locale, VARIANT_BOOL visible) = nullptr;
  HRESULT(STDMETHODCALLTYPE* getActiveChart)(IDispatch* self, IDispatch** chart) = nullptr;
  HRESULT(STDMETHODCALLTYPE* workbookClose)
  (IDispatch* self, VARIANT saveChanges, VARIANT fileName, VARIANT route, LCID locale) = nullptr;
  HRESULT(STDMETHODCALLTYPE* workbookSave)(IDispatch* self, LCID locale) = nullptr;
  // SaveAs before and after the argument Local was added (the access mode is the seventh argument).
  HRESULT(STDMETHODCALLTYPE* workbookSaveAs)
  (IDispatch* self, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, long, VARIANT, VARIANT, VARIANT,
   VARIANT, LCID locale) = nullptr;
  HRESULT(STDMETHODCALLTYPE* workbookSaveAsLocal)
  (IDispatch* self, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, long, VARIANT, VARIANT, VARIANT,
   VARIANT, VARIANT, LCID locale) = nullptr;
  HRESULT(STDMETHODCALLTYPE* workbookSaveCopyAs)(IDispatch* self, VARIANT fileName, LCID locale) = nullptr;
  HRESULT(STDMETHODCALLTYPE* workbookFifteen)
  (IDispatch* self, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
   VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) = nullptr;
  HRESULT(STDMETHODCALLTYPE* getWorkbookPath)(IDispatch* self, LCID locale, BSTR* path) = nullptr;
  HRESULT(STDMETHODCALLTYPE* setPasswordEncryptionOptions)
  (IDispatch* self, VARIANT, VARIANT, VARIANT, VARIANT) = nullptr;
  HRESULT(STDMETHODCALLTYPE* workbookInvoke)
  (IDispatch* self, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) = nullptr;
  HRESULT(STDMETHODCALLTYPE* worksheetInvoke)
  (IDispatch* self, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putSheetName)(IDispatch* self, BSTR name) = nullptr;
  HRESULT(STDMETHODCALLTYPE* sheetProtect)
  (IDispatch* self, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
   VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) = nullptr;
  HRESULT(STDMETHODCALLTYPE* sheetUnprotect)(IDispatch* self, VARIANT password, LCID locale) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putEnableSelection)(IDispatch* self, LCID locale, long mode) = nullptr;
  HRESULT(STDMETHODCALLTYPE* sheetCopy)
  (IDispatch* self, VARIANT before, VARIANT after, LCID locale) = nullptr;
  // Recorded only: Excel's own functions, never replaced.
  HRESULT(STDMETHODCALLTYPE* rangeInvoke)
  (IDispatch* self, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putValue)(IDispatch* self, VARIANT type, LCID locale, VARIANT value) = nullptr;
  HRESULT(STDMETHODCALLTYPE* putFormula)(IDispatch* self, LCID locale, VARIANT value) = nullptr;
};
// Returns the process-wide saved implementations.
ExcelImplementations& excelImplementations();

} // namespace cwbk
