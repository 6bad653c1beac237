// DispatchWrapper: the holder of one Excel automation object, with the helpers the typed wrappers
// build their members from; DispatchCollection adds Count and Item for Excel's collections.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "excel/com_error.h"
#include "excel/dispatch_call.h"
#include "excel/excel_members.h"
#include "excel/variant.h"

namespace cwbk {

class DispatchWrapper {
public:
  // Tag of the constructor that takes over the caller's reference.
  struct Adopt {};
  static constexpr Adopt adopt{};

  DispatchWrapper() = default;
  // Holds `object` without adding a reference: the wrapper takes over the caller's.
  DispatchWrapper(IDispatch* object, Adopt) : dispatch_(object) {}
  // Holds the object's IDispatch (one reference of its own).
  explicit DispatchWrapper(IUnknown* object) { DispatchWrapper::attach(object); }
  DispatchWrapper(const DispatchWrapper& other) { DispatchWrapper::attachFrom(other); }
  DispatchWrapper& operator=(const DispatchWrapper& other);
  DispatchWrapper(DispatchWrapper&& other) noexcept;
  DispatchWrapper& operator=(DispatchWrapper&& other) noexcept;
  // Releases the held object.
  virtual ~DispatchWrapper();

  // Returns the HRESULT of the last call made through this wrapper.
  virtual HRESULT lastResult() const { return lastResult_; }
  // Holds the other wrapper's object too (a reference of its own); returns whether one is held.
  virtual bool attachFrom(const DispatchWrapper& other);
  // The same as attach.
  virtual bool attachUnknown(IUnknown* object) { return attach(object); }
  // Holds the object's IDispatch in place of the current object; null only releases. Returns whether
  // an object is now held; the QueryInterface result is kept in lastResult.
  virtual bool attach(IUnknown* object);
  // Returns the held object (null when none); callers test it before every use.
  virtual IDispatch* get() const { return dispatch_; }
  // Returns true when no object is held.
  virtual bool isEmpty() const { return dispatch_ == nullptr; }
  // Holds `object` in place of the current one, taking over the caller's reference.
  virtual void take(IDispatch* object);
  // Gives the held object (and its reference) to the caller.
  IDispatch* release();

  // --- late-bound calls on the held object; each stores its HRESULT in lastResult and raises
  // ComError on failure (E_POINTER without an object).
  // Way 1 (dispatch routine, locale 0):
  Variant getVariant(DISPID id, std::initializer_list<Variant> args = {});
  bool getBoolean(DISPID id);
  int32_t getInteger(DISPID id);
  double getDouble(DISPID id);
  std::u16string getText(DISPID id);
  DispatchWrapper getObject(DISPID id, std::initializer_list<Variant> args = {});
  void putVariant(DISPID id, const Variant& value);
  void putBoolean(DISPID id, bool value);
  void putInteger(DISPID id, int32_t value);
  void putText(DISPID id, std::u16string_view value);
  Variant call(DISPID id, std::initializer_list<Variant> args = {});
  // Way 2 (direct invoke at `locale`; a result of another type than `expected` raises):
  Variant invoke(DISPID id, WORD flags, Arguments args, LCID locale = kLocaleSystemDefault,
                 VARTYPE expected = VT_EMPTY);
  Variant invoke(DISPID id, WORD flags, std::initializer_list<Variant> args,
                 LCID locale = kLocaleSystemDefault, VARTYPE expected = VT_EMPTY) {
    return invoke(id, flags, Arguments(args.begin(), args.size()), locale, expected);
  }
  DispatchWrapper invokeObject(DISPID id, std::initializer_list<Variant> args = {});

  // Members every object has.
  DispatchWrapper application() { return getObject(dispid::common::Application); }
  DispatchWrapper parent() { return getObject(dispid::common::Parent); }
  // The stock caption of a control.
  std::u16string stockCaption() { return getText(dispid::collection::StockCaption); }

protected:
  // Runs `call`; a ComError is kept in lastResult and swallowed. Returns whether the call succeeded.
  template <class F> bool quietly(F&& call) {
    try {
      call();
      return true;
    } catch (const ComError& e) {
      lastResult_ = e.result();
      return false;
    }
  }
  // Runs a way-3 implementation when one is saved (storing and checking its HRESULT); returns false
  // when none is saved.
  template <class F> bool viaExcel(F* implementation, auto&&... args) {
    if (!implementation) return false;
    if (!dispatch_) {
      lastResult_ = E_POINTER;
      throw ComError(E_POINTER);
    }
    lastResult_ = implementation(dispatch_, args...);
    if (FAILED(lastResult_)) throw ComError(lastResult_);
    return true;
  }
  // Returns an object result as a wrapper; raises ComError(DISP_E_TYPEMISMATCH) for a non-object.
  DispatchWrapper objectResult(const Variant& v);
  // Runs a way-1 call and keeps its HRESULT.
  template <class F> auto tracked(F&& call) -> decltype(call()) {
    try {
      auto r = call();
      lastResult_ = S_OK;
      return r;
    } catch (const ComError& e) {
      lastResult_ = e.result();
      throw;
    }
  }

  IDispatch* dispatch_ = nullptr;
  HRESULT lastResult_ = S_OK;
};

// Returns a wrapper of type T holding the other wrapper's object (the other is left empty).
template <class T> T adoptAs(DispatchWrapper&& other) {
  return T(other.release(), DispatchWrapper::adopt);
}

class DispatchCollection : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;

  // Returns Count (direct invoke); raises ComError when Excel fails to answer, so that a failure is
  // never taken for an empty collection.
  virtual int32_t count();
  // Returns the element at `index` (Item); raises ComError on failure or when the answer is no object.
  virtual DispatchWrapper item(const VARIANT& index);
  // The element by 1-based position.
  virtual DispatchWrapper item(int32_t index);
  // The element by name.
  DispatchWrapper item(std::u16string_view name);
  // Returns the collection's enumerator (_NewEnum); raises ComError when there is none.
  IEnumVARIANT* newEnum();
};

// Returns whether two interface pointers are the same object (their IUnknown identities match).
bool sameObject(IDispatch* a, IDispatch* b);

} // namespace cwbk
