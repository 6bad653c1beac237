// The double's IDispatch plumbing: argument unpacking, logging, scripted answers, stored properties.
#include "excel_double/double_object.h"

#include "excel_double/dual_interface.h"

#include <cstdio>

namespace cwbk::testing {

namespace {

// The identity the double's objects answer to, so that an object argument can be recognised.
const IID kDoubleObjectIid = {0x6b1f0c52, 0x27d4, 0x4c1e, {0x9a, 0x51, 0x3e, 0x0d, 0x11, 0x7c, 0x42, 0x90}};

const VARIANT& missingArgument() {
  static const Variant missing = Variant::missing();
  return missing.get();
}

const VARIANT* followed(const VARIANT* v) {
  for (int i = 0; i < 4 && v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal; ++i)
    v = v->pvarVal;
  return v;
}

} // namespace

bool DispatchCall::has(size_t i) const {
  if (i >= args.size()) return false;
  const VARIANT& v = *args[i];
  return !(v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND) && v.vt != VT_EMPTY;
}

const VARIANT& DispatchCall::arg(size_t i) const {
  return i < args.size() ? *args[i] : missingArgument();
}

int32_t DispatchCall::intArg(size_t i, int32_t fallback) const {
  if (!has(i)) return fallback;
  try {
    return Variant(arg(i)).toInteger();
  } catch (...) {
    return fallback;
  }
}

double DispatchCall::doubleArg(size_t i, double fallback) const {
  if (!has(i)) return fallback;
  try {
    return Variant(arg(i)).toDouble();
  } catch (...) {
    return fallback;
  }
}

bool DispatchCall::boolArg(size_t i, bool fallback) const {
  if (!has(i)) return fallback;
  try {
    return Variant(arg(i)).as(VT_BOOL).get().boolVal != 0;
  } catch (...) {
    return fallback;
  }
}

std::u16string DispatchCall::textArg(size_t i) const {
  if (!has(i)) return {};
  try {
    return Variant(arg(i)).toText();
  } catch (...) {
    return {};
  }
}

DoubleObject* DispatchCall::objectArg(size_t i) const {
  if (!has(i)) return nullptr;
  IDispatch* d = Variant(arg(i)).toDispatch();
  if (!d) return nullptr;
  DoubleObject* o = doubleObjectOf(d);
  d->Release();
  return o;
}

HRESULT DispatchCall::answer(Variant v) {
  if (result) *result = v.release();
  return S_OK;
}

HRESULT DispatchCall::answerObject(DoubleObject* object) {
  if (result) {
    VariantInit(result);
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
  } else if (object) {
    object->Release();
  }
  return S_OK;
}

HRESULT DispatchCall::raise(HRESULT code, std::u16string_view description) {
  if (exception) {
    *exception = EXCEPINFO{};
    exception->scode = code;
    exception->bstrSource = SysAllocString(L"Excel double");
    exception->bstrDescription = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(description.data()),
                                                   static_cast<UINT>(description.size()));
  }
  return DISP_E_EXCEPTION;
}

std::vector<const LoggedCall*> CallLog::find(DISPID id, Kind kind, std::string_view object) const {
  std::vector<const LoggedCall*> found;
  for (const LoggedCall& c : calls_) {
    if (c.id != id || !std::string_view(c.object).starts_with(object)) continue;
    if (kind == Kind::Put && !c.isPut()) continue;
    if (kind == Kind::NotPut && c.isPut()) continue;
    found.push_back(&c);
  }
  return found;
}

std::string CallLog::dump() const {
  std::string out;
  for (const LoggedCall& c : calls_) {
    char head[96];
    std::snprintf(head, sizeof head, "0x%04lX flags %u lcid 0x%04lX hr 0x%08lX ",
                  static_cast<unsigned long>(c.id), c.flags, static_cast<unsigned long>(c.locale),
                  static_cast<unsigned long>(c.result));
    out += c.object + " " + (c.member.empty() ? "?" : c.member) + " " + head + "(";
    for (size_t i = 0; i < c.args.size(); ++i) {
      if (i) out += ", ";
      try {
        out += c.args[i].isMissing() ? "<missing>" : narrow(c.args[i].toText());
      } catch (...) {
        out += "<vt " + std::to_string(c.args[i].type()) + ">";
      }
    }
    out += ")\n";
  }
  return out;
}

HRESULT STDMETHODCALLTYPE DoubleObject::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kDoubleObjectIid ||
      (dualInterface() && iid == *dualInterface())) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE DoubleObject::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT STDMETHODCALLTYPE DoubleObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = dualInterface() ? 1 : 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DoubleObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (!dualInterface()) return E_NOTIMPL;
  if (index != 0) return DISP_E_BADINDEX;
  *info = makeDualTypeInfo(*dualInterface(), *dualMembers());
  return S_OK;
}

HRESULT STDMETHODCALLTYPE DoubleObject::GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) {
  // The runtime calls by fixed DISPIDs only.
  for (UINT i = 0; ids && i < count; ++i)
    ids[i] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE DoubleObject::Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                               DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                               UINT*) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  DispatchCall call;
  call.id = id;
  call.flags = flags;
  call.locale = locale;
  call.result = result;
  call.exception = exception;
  if (result) VariantInit(result);
  if (params) {
    if (params->cArgs && !params->rgvarg) return E_INVALIDARG;
    UINT positional = params->cArgs;
    bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (isPut) {
      if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
          params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || params->cArgs < 1)
        return DISP_E_PARAMNOTOPTIONAL;
      call.value = followed(&params->rgvarg[0]);
    } else if (params->cNamedArgs) {
      return DISP_E_NONAMEDARGS;
    }
    for (UINT i = positional; i-- > (isPut ? 1u : 0u);)
      call.args.push_back(followed(&params->rgvarg[i]));
  }

  // A member with a slot is reached through the slot as the function table holds it now.
  if (const std::vector<DualMember>* members = dualMembers())
    if (const DualMember* member = findDualMember(*members, id, flags)) {
      void* function =
          (*reinterpret_cast<void***>(static_cast<IDispatch*>(this)))[member->offset / sizeof(void*)];
      AddRef();
      const LCID outerLocale = slotLocale_;
      EXCEPINFO* outerException = slotException_;
      slotLocale_ = locale;
      slotException_ = exception;
      HRESULT hr = member->bridge(*this, function, call);
      slotLocale_ = outerLocale;
      slotException_ = outerException;
      Release();
      return hr;
    }
  return run(call);
}

HRESULT DoubleObject::run(DispatchCall& call) {
  const DISPID id = call.id;
  LoggedCall entry;
  entry.object = label();
  entry.id = id;
  const char* name = memberName(id);
  auto stored = properties_.find(id);
  if (!name && stored != properties_.end()) name = stored->second.name;
  entry.member = name ? name : "";
  entry.flags = call.flags;
  entry.locale = call.locale;
  for (const VARIANT* a : call.args)
    entry.args.emplace_back(*a);
  if (call.value) entry.args.emplace_back(*call.value);

  // The log holds this object's label, and a handler may release the object's last outside
  // reference: keep it alive for the call.
  AddRef();
  HRESULT hr = DISP_E_MEMBERNOTFOUND;
  try {
    if (auto scripted = scripts_.find(id); scripted != scripts_.end())
      hr = scripted->second(call);
    else if (const ScriptedMember* shared = findScript(excel_, entry.object, id))
      hr = (*shared)(call);
    else {
      hr = runMember(call);
      if (hr == DISP_E_MEMBERNOTFOUND && stored != properties_.end())
        hr = runStoredProperty(stored->second, call);
    }
  } catch (...) {
    hr = E_UNEXPECTED;
  }
  entry.result = hr;
  logCall(excel_, std::move(entry));
  Release();
  return hr;
}

void DoubleObject::failWith(DISPID id, HRESULT result) {
  script(id, [result](DispatchCall&) { return result; });
}

void DoubleObject::defineProperty(DISPID id, const char* name, Variant initial) {
  properties_[id] = StoredProperty{name, std::move(initial)};
}

const Variant& DoubleObject::property(DISPID id) const {
  static const Variant none;
  auto it = properties_.find(id);
  return it == properties_.end() ? none : it->second.value;
}

void DoubleObject::setProperty(DISPID id, Variant value) {
  properties_[id].value = std::move(value);
}

HRESULT DoubleObject::runStoredProperty(StoredProperty& property, DispatchCall& call) {
  if (call.isGet()) return call.answer(property.value);
  VARTYPE type = property.value.type();
  try {
    Variant written(*call.value);
    property.value = (type == VT_EMPTY || type == VT_NULL) ? std::move(written) : written.as(type);
  } catch (...) {
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

DoubleObject* doubleObjectOf(IUnknown* object) {
  if (!object) return nullptr;
  void* found = nullptr;
  if (FAILED(object->QueryInterface(kDoubleObjectIid, &found)) || !found) return nullptr;
  auto* d = static_cast<DoubleObject*>(static_cast<IDispatch*>(found));
  d->Release(); // the caller's reference keeps it alive
  return d;
}

std::string narrow(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text)
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

} // namespace cwbk::testing
