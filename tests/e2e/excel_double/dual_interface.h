// Excel's objects are dual: besides Invoke, each member of an interface has a slot in the interface's
// function table (the one table that every object of the interface shares), its type information
// numbers the slots, and a late-bound call reaches the member through its slot. The double's
// Application, Workbook and Worksheet do the same for the members an add-in may replace: the members
// are virtual functions of the object's class with Excel's signatures, the class's virtual table is
// the function table, and Invoke calls through the slot as it stands, so that a replaced slot takes
// the call. Each such member, called through its slot or from the replacement, is then run and logged
// like any other call.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <cstring>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "excel_double/double_object.h"

namespace cwbk::testing {

// A member with a slot: its DISPID and kind, the slot's byte offset in the function table, and the
// bridge that calls through the slot with the arguments of a late-bound call.
struct DualMember {
  DISPID id;
  INVOKEKIND kind;
  size_t offset;
  HRESULT (*bridge)(DoubleObject& self, void* function, DispatchCall& call);
};

// Returns the byte offset in the virtual table of a virtual member function (the Itanium C++ ABI,
// which MinGW's compilers follow, stores it plus one in the member pointer).
template <class F> size_t slotOffset(F member) {
  static_assert(sizeof(F) == 2 * sizeof(uintptr_t));
  uintptr_t words[2];
  std::memcpy(words, &member, sizeof words);
  return words[0] - 1;
}

// The offset of IDispatch::Invoke, the last of IUnknown's three and IDispatch's four slots.
inline constexpr size_t kInvokeSlotOffset = 6 * sizeof(void*);
// The DISPID by which a dual interface's type information numbers IDispatch::Invoke.
inline constexpr DISPID kInvokeMemberId = 0x60010003;

// Excel's SaveAs access mode: an optional argument that defaults to 1 (no change).
enum XlSaveAsAccessMode : long {};

namespace dual {

// Arguments of a late-bound call turned into one parameter of a member's signature.
struct CallReader {
  DispatchCall& call;
  size_t inputsLeft; // value parameters still to take; a property write's last one is the written value
  size_t next = 0;
  const VARIANT& input() {
    --inputsLeft;
    if (call.value && inputsLeft == 0) return *call.value;
    return call.arg(next++);
  }
};

template <class T> struct Parameter;
template <> struct Parameter<VARIANT> {
  static constexpr bool input = true;
  VARIANT v;
  explicit Parameter(CallReader& r) : v(r.input()) {}
  VARIANT get() const { return v; }
  void finish(DispatchCall&) {}
};
template <> struct Parameter<LCID> {
  static constexpr bool input = false;
  LCID v;
  explicit Parameter(CallReader& r) : v(r.call.locale) {}
  LCID get() const { return v; }
  void finish(DispatchCall&) {}
};
template <> struct Parameter<long> {
  static constexpr bool input = true;
  long v;
  explicit Parameter(CallReader& r) : v(Variant(r.input()).toInteger()) {}
  long get() const { return v; }
  void finish(DispatchCall&) {}
};
template <> struct Parameter<XlSaveAsAccessMode> {
  static constexpr bool input = true;
  XlSaveAsAccessMode v;
  explicit Parameter(CallReader& r) {
    const Variant a(r.input());
    v = XlSaveAsAccessMode(a.isMissing() ? 1 : a.toInteger());
  }
  XlSaveAsAccessMode get() const { return v; }
  void finish(DispatchCall&) {}
};
template <> struct Parameter<VARIANT_BOOL> {
  static constexpr bool input = true;
  VARIANT_BOOL v;
  explicit Parameter(CallReader& r) : v(Variant(r.input()).as(VT_BOOL).get().boolVal) {}
  VARIANT_BOOL get() const { return v; }
  void finish(DispatchCall&) {}
};
template <> struct Parameter<BSTR> {
  static constexpr bool input = true;
  Variant text;
  explicit Parameter(CallReader& r) : text(Variant(r.input()).as(VT_BSTR)) {}
  BSTR get() const { return text.get().bstrVal; }
  void finish(DispatchCall&) {}
};
template <> struct Parameter<long*> {
  static constexpr bool input = false;
  long v = 0;
  explicit Parameter(CallReader&) {}
  long* get() { return &v; }
  void finish(DispatchCall& call) { call.answer(Variant::integer(v)); }
};
template <> struct Parameter<BSTR*> {
  static constexpr bool input = false;
  BSTR v = nullptr;
  explicit Parameter(CallReader&) {}
  BSTR* get() { return &v; }
  void finish(DispatchCall& call) {
    call.answer(
        Variant::text(v ? std::u16string(reinterpret_cast<const char16_t*>(v), SysStringLen(v)) : u""));
    SysFreeString(v);
  }
};

template <> struct Parameter<VARIANT*> {
  static constexpr bool input = false;
  VARIANT v;
  explicit Parameter(CallReader&) { VariantInit(&v); }
  ~Parameter() { VariantClear(&v); }
  VARIANT* get() { return &v; }
  void finish(DispatchCall& call) { call.answer(Variant::adopt(v)); }
};

// Calls `function` (a slot's content with the member's signature) with a late-bound call's arguments.
template <class... P> HRESULT bridge(DoubleObject& self, void* function, DispatchCall& call) {
  using Function = HRESULT(STDMETHODCALLTYPE*)(IDispatch*, P...);
  CallReader reader{call, (size_t(0) + ... + size_t(Parameter<P>::input))};
  (void)reader; // a member without parameters takes nothing from it
  try {
    std::tuple<Parameter<P>...> parameters{Parameter<P>(reader)...};
    HRESULT hr = std::apply(
        [&](auto&... p) { return reinterpret_cast<Function>(function)(&self, p.get()...); }, parameters);
    if (SUCCEEDED(hr)) std::apply([&](auto&... p) { (p.finish(call), ...); }, parameters);
    return hr;
  } catch (...) {
    return DISP_E_TYPEMISMATCH;
  }
}

// The other way: a member called through its slot becomes a call of the object's member table.
struct CallWriter {
  DispatchCall call;
  std::vector<Variant> inputs;
  Variant result;
  void add(VARIANT v) { inputs.emplace_back(v); }
  void add(LCID locale) { call.locale = locale; }
  void add(long v) { inputs.push_back(Variant::integer(v)); }
  void add(XlSaveAsAccessMode v) { inputs.push_back(Variant::integer(v)); }
  void add(VARIANT_BOOL v) { inputs.push_back(Variant::boolean(v != VARIANT_FALSE)); }
  void add(BSTR v) {
    inputs.push_back(
        Variant::text(v ? std::u16string(reinterpret_cast<const char16_t*>(v), SysStringLen(v)) : u""));
  }
  void add(long*) {}
  void add(VARIANT*) {}
  void add(BSTR*) {}
  void finish(long* out) { *out = result.isEmpty() ? 0 : result.toInteger(); }
  void finish(BSTR* out) {
    const std::u16string text = result.isEmpty() ? std::u16string() : result.toText();
    *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), UINT(text.size()));
  }
  void finish(VARIANT* out) {
    VariantInit(out);
    VariantCopy(out, &result.get());
  }
  template <class T> void finish(T) {}
};

} // namespace dual

// Runs a member called through its slot: `flags` says how (DISPATCH_METHOD, _PROPERTYGET or _PROPERTYPUT).
template <class... P> HRESULT runThroughSlot(DoubleObject& self, DISPID id, WORD flags, P... parameters) {
  dual::CallWriter w;
  w.call.id = id;
  w.call.flags = flags;
  w.call.locale = self.slotLocale();
  w.call.exception = self.slotException();
  (w.add(parameters), ...);
  const bool put = (flags & DISPATCH_PROPERTYPUT) != 0;
  for (size_t i = 0; i + (put ? 1 : 0) < w.inputs.size(); ++i)
    w.call.args.push_back(&w.inputs[i].get());
  if (put && !w.inputs.empty()) w.call.value = &w.inputs.back().get();
  VARIANT result;
  VariantInit(&result);
  w.call.result = &result;
  HRESULT hr = self.run(w.call);
  w.result = Variant(result);
  VariantClear(&result);
  if (SUCCEEDED(hr)) (w.finish(parameters), ...);
  return hr;
}

// A row of a class's slot table.
template <class... P> DualMember dualMember(DISPID id, INVOKEKIND kind, size_t offset) {
  return DualMember{id, kind, offset, &dual::bridge<P...>};
}

// The type information of a dual interface as Excel gives it: the interface's id and one function
// description per member with a slot (Invoke included), each with its slot's offset.
ITypeInfo* makeDualTypeInfo(const IID& iid, const std::vector<DualMember>& members);

// Returns the member of a late-bound call among the slots (null when it has none).
const DualMember* findDualMember(const std::vector<DualMember>& members, DISPID id, WORD flags);

// Interface ids of Excel's dual interfaces.
inline constexpr IID kApplicationIid = {0x000208D5, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID kWorkbookIid = {0x000208DA, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID kWorksheetIid = {0x000208D8, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

} // namespace cwbk::testing
