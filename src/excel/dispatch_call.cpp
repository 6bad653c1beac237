// The dispatch routine and the direct invoke: DISPPARAMS building, Invoke, result conversion.
#include "excel/dispatch_call.h"

#include "excel/com_error.h"
#include "excel/excel_members.h"

namespace cwbk {

namespace {

// Calls Invoke with the arguments reversed into DISPPARAMS (and the written value first, as the
// named argument DISPID_PROPERTYPUT); raises ComError on failure.
Variant invoke(IDispatch* object, DISPID id, WORD flags, Arguments args, const VARIANT* putValue, LCID locale,
               HRESULT* stored) {
  if (!object) {
    if (stored) *stored = E_POINTER;
    throw ComError(E_POINTER);
  }
  std::vector<VARIANTARG> slots;
  slots.reserve(args.size() + 1);
  if (putValue) slots.push_back(*putValue);
  for (size_t i = args.size(); i-- > 0;)
    slots.push_back(args[i].get());
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{slots.data(), putValue ? &named : nullptr, static_cast<UINT>(slots.size()),
                    putValue ? 1u : 0u};
  Variant result;
  EXCEPINFO info{};
  UINT badArgument = 0;
  HRESULT hr = object->Invoke(id, IID_NULL, locale, flags, &params, putValue ? nullptr : result.out(), &info,
                              &badArgument);
  if (stored) *stored = hr;
  if (FAILED(hr)) throwComError(hr, hr == DISP_E_EXCEPTION ? &info : nullptr);
  return result;
}

Variant converted(Variant value, VARTYPE resultType) {
  if (resultType == VT_EMPTY || value.type() == resultType) return value;
  return value.as(resultType);
}

} // namespace

Variant getProperty(IDispatch* object, DISPID id, VARTYPE resultType, Arguments args) {
  return converted(invoke(object, id, DISPATCH_PROPERTYGET, args, nullptr, kLocaleNeutral, nullptr),
                   resultType);
}

void putProperty(IDispatch* object, DISPID id, const VARIANT& value, Arguments args) {
  VARTYPE vt = value.vt & VT_TYPEMASK;
  WORD flags = (vt == VT_DISPATCH || vt == VT_UNKNOWN) ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
  invoke(object, id, flags, args, &value, kLocaleNeutral, nullptr);
}

Variant callMethod(IDispatch* object, DISPID id, WORD flags, VARTYPE resultType, Arguments args) {
  return converted(invoke(object, id, flags, args, nullptr, kLocaleNeutral, nullptr), resultType);
}

Variant invokeDirect(IDispatch* object, DISPID id, WORD flags, Arguments args, LCID locale, VARTYPE expected,
                     HRESULT& stored) {
  bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  if (isPut) {
    // The last argument is the written value.
    if (args.empty()) throw ComError(DISP_E_BADPARAMCOUNT);
    invoke(object, id, flags, args.first(args.size() - 1), &args.back().get(), locale, &stored);
    return Variant();
  }
  Variant result = invoke(object, id, flags, args, nullptr, locale, &stored);
  if (expected != VT_EMPTY && result.type() != expected) {
    stored = DISP_E_TYPEMISMATCH;
    throw ComError(DISP_E_TYPEMISMATCH);
  }
  return result;
}

ExcelImplementations& excelImplementations() {
  static ExcelImplementations implementations;
  return implementations;
}

} // namespace cwbk
