// DispatchWrapper and DispatchCollection: object holding, reference counting and the call helpers.
#include "excel/dispatch_wrapper.h"

namespace cwbk {

DispatchWrapper& DispatchWrapper::operator=(const DispatchWrapper& other) {
  if (this != &other) attachFrom(other);
  return *this;
}

DispatchWrapper::DispatchWrapper(DispatchWrapper&& other) noexcept
    : dispatch_(other.dispatch_), lastResult_(other.lastResult_) {
  other.dispatch_ = nullptr;
}

DispatchWrapper& DispatchWrapper::operator=(DispatchWrapper&& other) noexcept {
  if (this != &other) {
    IDispatch* old = dispatch_;
    dispatch_ = other.dispatch_;
    lastResult_ = other.lastResult_;
    other.dispatch_ = nullptr;
    if (old) old->Release();
  }
  return *this;
}

DispatchWrapper::~DispatchWrapper() {
  if (dispatch_) dispatch_->Release();
}

bool DispatchWrapper::attachFrom(const DispatchWrapper& other) {
  return attach(other.get());
}

bool DispatchWrapper::attach(IUnknown* object) {
  // The new reference is taken before the old one is released: re-attaching the held object (or
  // one that only the held object keeps alive) must not use it after its release.
  IDispatch* fresh = nullptr;
  if (object) {
    lastResult_ = object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&fresh));
    if (FAILED(lastResult_)) fresh = nullptr;
  }
  IDispatch* old = dispatch_;
  dispatch_ = fresh;
  if (old) old->Release();
  return dispatch_ != nullptr;
}

void DispatchWrapper::take(IDispatch* object) {
  // The caller's reference keeps `object` alive even when it is the one held already.
  IDispatch* old = dispatch_;
  dispatch_ = object;
  if (old) old->Release();
}

IDispatch* DispatchWrapper::release() {
  IDispatch* d = dispatch_;
  dispatch_ = nullptr;
  return d;
}

DispatchWrapper DispatchWrapper::objectResult(const Variant& v) {
  IDispatch* d = v.toDispatch();
  if (!d) {
    lastResult_ = DISP_E_TYPEMISMATCH;
    throw ComError(DISP_E_TYPEMISMATCH);
  }
  return DispatchWrapper(d, adopt);
}

Variant DispatchWrapper::getVariant(DISPID id, std::initializer_list<Variant> args) {
  return tracked([&] { return getProperty(dispatch_, id, VT_EMPTY, Arguments(args.begin(), args.size())); });
}

bool DispatchWrapper::getBoolean(DISPID id) {
  return getVariant(id).toBoolean();
}

int32_t DispatchWrapper::getInteger(DISPID id) {
  return tracked([&] { return getProperty(dispatch_, id, VT_I4).get().lVal; });
}

double DispatchWrapper::getDouble(DISPID id) {
  return tracked([&] { return getProperty(dispatch_, id, VT_R8).get().dblVal; });
}

std::u16string DispatchWrapper::getText(DISPID id) {
  return tracked([&] { return bstrText(getProperty(dispatch_, id, VT_BSTR).get().bstrVal); });
}

DispatchWrapper DispatchWrapper::getObject(DISPID id, std::initializer_list<Variant> args) {
  return objectResult(getVariant(id, args));
}

void DispatchWrapper::putVariant(DISPID id, const Variant& value) {
  tracked([&] {
    putProperty(dispatch_, id, value.get());
    return 0;
  });
}

void DispatchWrapper::putBoolean(DISPID id, bool value) {
  putVariant(id, Variant::boolean(value));
}
void DispatchWrapper::putInteger(DISPID id, int32_t value) {
  putVariant(id, Variant::integer(value));
}
void DispatchWrapper::putText(DISPID id, std::u16string_view value) {
  putVariant(id, Variant::text(value));
}

Variant DispatchWrapper::call(DISPID id, std::initializer_list<Variant> args) {
  return tracked([&] {
    return callMethod(dispatch_, id, DISPATCH_METHOD, VT_EMPTY, Arguments(args.begin(), args.size()));
  });
}

Variant DispatchWrapper::invoke(DISPID id, WORD flags, Arguments args, LCID locale, VARTYPE expected) {
  return invokeDirect(dispatch_, id, flags, args, locale, expected, lastResult_);
}

DispatchWrapper DispatchWrapper::invokeObject(DISPID id, std::initializer_list<Variant> args) {
  return objectResult(invoke(id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, args));
}

int32_t DispatchCollection::count() {
  return invoke(dispid::collection::Count, DISPATCH_PROPERTYGET, {}).toInteger();
}

DispatchWrapper DispatchCollection::item(const VARIANT& index) {
  Variant argument(index);
  return objectResult(tracked([&] {
    return callMethod(dispatch_, dispid::collection::Item, DISPATCH_METHOD | DISPATCH_PROPERTYGET, VT_EMPTY,
                      Arguments(&argument, 1));
  }));
}

DispatchWrapper DispatchCollection::item(int32_t index) {
  return item(Variant::integer(index).get());
}

DispatchWrapper DispatchCollection::item(std::u16string_view name) {
  return item(Variant::text(name).get());
}

IEnumVARIANT* DispatchCollection::newEnum() {
  Variant answer = getVariant(dispid::collection::NewEnum);
  IUnknown* unknown = answer.type() == VT_UNKNOWN    ? answer.get().punkVal
                      : answer.type() == VT_DISPATCH ? answer.get().pdispVal
                                                     : nullptr;
  IEnumVARIANT* enumerator = nullptr;
  if (!unknown ||
      FAILED(lastResult_ = unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&enumerator))))
    throw ComError(unknown ? lastResult_ : DISP_E_TYPEMISMATCH);
  return enumerator;
}

bool sameObject(IDispatch* a, IDispatch* b) {
  if (!a || !b) return false;
  if (a == b) return true;
  IUnknown* ua = nullptr;
  IUnknown* ub = nullptr;
  bool same = false;
  if (SUCCEEDED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ua))) &&
      SUCCEEDED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ub))))
    same = ua == ub;
  if (ua) ua->Release();
  if (ub) ub->Release();
  return same;
}

} // namespace cwbk
