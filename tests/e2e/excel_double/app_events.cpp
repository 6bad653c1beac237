// The double's application events: the Application's connection point for the application event
// interface, and the raising of an event at every connected sink.
#include <algorithm>
#include <vector>

#include "excel_double/excel_double.h"

namespace cwbk::testing {

VARIANT objectArgument(IDispatch* object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = object;
  return v;
}

VARIANT flagArgument(bool on) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

VARIANT flagReference(VARIANT_BOOL* flag) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL | VT_BYREF;
  v.pboolVal = flag;
  return v;
}

ApplicationObject::~ApplicationObject() {
  for (auto& [cookie, sink] : sinks_)
    sink->Release();
}

HRESULT STDMETHODCALLTYPE ApplicationObject::QueryInterface(REFIID iid, void** object) {
  if (object && iid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(&events_);
    AddRef();
    return S_OK;
  }
  return DoubleObjectOf::QueryInterface(iid, object);
}

HRESULT ApplicationObject::raiseEvent(DISPID id, std::initializer_list<VARIANT> arguments) {
  std::vector<VARIANT> reversed(arguments.begin(), arguments.end()); // Invoke takes them last first
  std::reverse(reversed.begin(), reversed.end());
  HRESULT failure = S_OK;
  const auto sinks = sinks_; // a handler may disconnect
  for (auto& [cookie, sink] : sinks) {
    DISPPARAMS params{reversed.data(), nullptr, UINT(reversed.size()), 0};
    const HRESULT hr = sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    if (FAILED(hr) && failure == S_OK) failure = hr;
  }
  return failure;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::EventSource::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::EventSource::FindConnectionPoint(REFIID iid,
                                                                              IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (iid != kAppEventsIid) return CONNECT_E_NOCONNECTION;
  *point = this;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::EventSource::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = kAppEventsIid;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE
ApplicationObject::EventSource::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = this;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::EventSource::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  void* events = nullptr;
  if (FAILED(sink->QueryInterface(kAppEventsIid, &events)) || !events) return CONNECT_E_CANNOTCONNECT;
  static_cast<IUnknown*>(events)->Release();
  IDispatch* dispatch = nullptr;
  if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) || !dispatch)
    return CONNECT_E_CANNOTCONNECT;
  *cookie = owner_.nextCookie_++;
  owner_.sinks_.emplace_back(*cookie, dispatch);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationObject::EventSource::Unadvise(DWORD cookie) {
  auto& sinks = owner_.sinks_;
  auto it = std::find_if(sinks.begin(), sinks.end(), [&](const auto& s) { return s.first == cookie; });
  if (it == sinks.end()) return CONNECT_E_NOCONNECTION;
  IDispatch* sink = it->second;
  sinks.erase(it);
  sink->Release();
  return S_OK;
}

} // namespace cwbk::testing
