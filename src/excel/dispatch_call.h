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
};
// Returns the process-wide saved implementations.
ExcelImplementations& excelImplementations();

} // namespace cwbk
