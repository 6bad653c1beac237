// Variant: the owning VARIANT and the BSTR conversions of the automation layer.
#include "excel/variant.h"

#include "excel/com_error.h"

namespace cwbk {

std::u16string bstrText(BSTR text) {
  if (!text) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
}

BSTR makeBstr(std::u16string_view text) {
  if (text.size() > 0x7FFFFFF0u) throw ComError(E_OUTOFMEMORY);
  BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
  if (!b) throw ComError(E_OUTOFMEMORY);
  return b;
}

bool readBoolean(const VARIANT& v) {
  return (v.vt & VT_TYPEMASK) == VT_BOOL && v.boolVal != 0;
}

Variant::Variant(const Variant& other) : Variant() {
  checkResult(VariantCopy(&v_, const_cast<VARIANT*>(&other.v_)));
}

Variant::Variant(const VARIANT& source) : Variant() {
  checkResult(VariantCopy(&v_, const_cast<VARIANT*>(&source)));
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    VariantClear(&v_);
    v_ = other.v_;
    other.v_.vt = VT_EMPTY;
  }
  return *this;
}

Variant Variant::integer(int32_t i) {
  Variant r;
  r.v_.vt = VT_I4;
  r.v_.lVal = i;
  return r;
}

Variant Variant::number(double d) {
  Variant r;
  r.v_.vt = VT_R8;
  r.v_.dblVal = d;
  return r;
}

Variant Variant::boolean(bool b) {
  Variant r;
  r.v_.vt = VT_BOOL;
  r.v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return r;
}

Variant Variant::text(std::u16string_view t) {
  Variant r;
  r.v_.bstrVal = makeBstr(t);
  r.v_.vt = VT_BSTR;
  return r;
}

Variant Variant::error(int32_t code) {
  Variant r;
  r.v_.vt = VT_ERROR;
  r.v_.scode = code;
  return r;
}

Variant Variant::null() {
  Variant r;
  r.v_.vt = VT_NULL;
  return r;
}

Variant Variant::missing() {
  return error(DISP_E_PARAMNOTFOUND);
}

Variant Variant::dispatch(IDispatch* object) {
  Variant r;
  r.v_.vt = VT_DISPATCH;
  r.v_.pdispVal = object;
  if (object) object->AddRef();
  return r;
}

Variant Variant::adopt(VARIANT& source) {
  Variant r;
  r.v_ = source;
  source.vt = VT_EMPTY;
  return r;
}

VARIANT* Variant::out() {
  VariantClear(&v_);
  return &v_;
}

VARIANT Variant::release() {
  VARIANT r = v_;
  v_.vt = VT_EMPTY;
  return r;
}

Variant Variant::as(VARTYPE type) const {
  if (v_.vt == type) return *this;
  Variant r;
  checkResult(VariantChangeType(&r.v_, const_cast<VARIANT*>(&v_), 0, type));
  return r;
}

int32_t Variant::toInteger() const {
  return as(VT_I4).v_.lVal;
}
double Variant::toDouble() const {
  return as(VT_R8).v_.dblVal;
}
std::u16string Variant::toText() const {
  return bstrText(as(VT_BSTR).v_.bstrVal);
}

IDispatch* Variant::toDispatch() const {
  const VARIANT* v = &v_;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  IUnknown* unknown = nullptr;
  switch (v->vt) {
  case VT_DISPATCH:
    unknown = v->pdispVal;
    break;
  case VT_UNKNOWN:
    unknown = v->punkVal;
    break;
  case VT_DISPATCH | VT_BYREF:
    unknown = v->ppdispVal ? *v->ppdispVal : nullptr;
    break;
  case VT_UNKNOWN | VT_BYREF:
    unknown = v->ppunkVal ? *v->ppunkVal : nullptr;
    break;
  default:
    return nullptr;
  }
  if (!unknown) return nullptr;
  IDispatch* d = nullptr;
  if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) return nullptr;
  return d;
}

} // namespace cwbk
