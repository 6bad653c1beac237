// The base of every object of the scripted Excel double: IDispatch with reference counting, member
// dispatch through a table per object type, stored properties, per-object scripted answers, and the
// call log that tests assert on.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "excel/variant.h"

namespace cwbk::testing {

class DoubleObject;
class ExcelDouble;
struct DualMember;

// One call into the double as Invoke received it.
struct DispatchCall {
  DISPID id = 0;
  WORD flags = 0;
  LCID locale = 0;
  // Positional arguments, first to last; VT_BYREF|VT_VARIANT arguments followed.
  std::vector<const VARIANT*> args;
  // The written value of a property write (null otherwise).
  const VARIANT* value = nullptr;
  VARIANT* result = nullptr;
  EXCEPINFO* exception = nullptr;

  bool isPut() const { return value != nullptr; }
  bool isGet() const { return value == nullptr; }
  // Returns true when argument i is present and not a missing argument.
  bool has(size_t i) const;
  // Returns argument i, or a missing argument.
  const VARIANT& arg(size_t i) const;
  int32_t intArg(size_t i, int32_t fallback = 0) const;
  double doubleArg(size_t i, double fallback = 0) const;
  bool boolArg(size_t i, bool fallback = false) const;
  std::u16string textArg(size_t i) const;
  // Returns the double object behind an object argument (null for anything else).
  DoubleObject* objectArg(size_t i) const;

  // Stores the answer; returns S_OK.
  HRESULT answer(Variant v);
  // Stores an object answer, taking over the caller's reference to `object` (null answers Nothing).
  HRESULT answerObject(DoubleObject* object);
  // Fills the exception information and returns DISP_E_EXCEPTION, as Excel does for its run-time errors.
  HRESULT raise(HRESULT code, std::u16string_view description);
};

// A row of a member table: the member's DISPID, its name for the log, and its handler.
template <class T> struct Member {
  DISPID id;
  const char* name;
  HRESULT (*run)(T& self, DispatchCall& call);
};

// One logged call: which object, which member, how, and with which arguments (a written value last).
struct LoggedCall {
  std::string object;
  DISPID id = 0;
  std::string member;
  WORD flags = 0;
  LCID locale = 0;
  std::vector<Variant> args;
  HRESULT result = S_OK;

  bool isPut() const { return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0; }
};

// Every call the double received, in order.
class CallLog {
public:
  void add(LoggedCall call) { calls_.push_back(std::move(call)); }
  const std::vector<LoggedCall>& calls() const { return calls_; }
  void clear() { calls_.clear(); }
  // Returns the calls of member `id` (writes only, reads and methods only, or both) on objects whose
  // label starts with `object` (every object when empty).
  enum class Kind { Any, Put, NotPut };
  std::vector<const LoggedCall*> find(DISPID id, Kind kind = Kind::Any, std::string_view object = {}) const;
  size_t count(DISPID id, Kind kind = Kind::Any, std::string_view object = {}) const {
    return find(id, kind, object).size();
  }
  // One line per call, for failure messages.
  std::string dump() const;

private:
  std::vector<LoggedCall> calls_;
};

using ScriptedMember = std::function<HRESULT(DispatchCall&)>;

class DoubleObject : public IDispatch {
public:
  explicit DoubleObject(ExcelDouble& excel) : excel_(excel) {}
  virtual ~DoubleObject() = default;
  DoubleObject(const DoubleObject&) = delete;
  DoubleObject& operator=(const DoubleObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* badArgument) override;

  // Returns the object's label in the log ("Application", "Worksheet Sheet1", "Range Sheet1!$A$1").
  virtual std::string label() const = 0;
  // Runs a call as Excel's implementation of the member: logged, then a scripted answer, the object
  // type's table or a stored property.
  HRESULT run(DispatchCall& call);
  // While Invoke calls a member through its slot: the call's locale and exception information, which
  // a slot without a locale parameter cannot carry (Excel's dispatch layer keeps them the same way).
  LCID slotLocale() const { return slotLocale_; }
  EXCEPINFO* slotException() const { return slotException_; }
  ExcelDouble& excel() const { return excel_; }
  ULONG references() const { return references_; }

  // Answers member `id` with `handler` instead of the table (a test's scripted behaviour or failure).
  void script(DISPID id, std::function<HRESULT(DispatchCall&)> handler) { scripts_[id] = std::move(handler); }
  // Makes every call of member `id` fail with `result`.
  void failWith(DISPID id, HRESULT result);
  void unscript(DISPID id) { scripts_.erase(id); }

  // A stored property: read answers the value, write stores it converted to the value's type.
  void defineProperty(DISPID id, const char* name, Variant initial);
  const Variant& property(DISPID id) const;
  void setProperty(DISPID id, Variant value);

protected:
  // Runs member `id` from the object type's table; DISP_E_MEMBERNOTFOUND when it has none.
  virtual HRESULT runMember(DispatchCall& call) = 0;
  // Returns the member's name from the table (null when it has none).
  virtual const char* memberName(DISPID id) const = 0;
  // The dual interface of the object's class: its id and the members with a slot (none by default).
  virtual const IID* dualInterface() const { return nullptr; }
  virtual const std::vector<DualMember>* dualMembers() const { return nullptr; }

private:
  struct StoredProperty {
    const char* name;
    Variant value;
  };
  HRESULT runStoredProperty(StoredProperty& property, DispatchCall& call);

  ExcelDouble& excel_;
  LCID slotLocale_ = 0;
  EXCEPINFO* slotException_ = nullptr;
  std::atomic<ULONG> references_{1};
  std::map<DISPID, ScriptedMember> scripts_;
  std::map<DISPID, StoredProperty> properties_;
};

// The typed base: member dispatch through T::members(), a table of Member<T> rows.
template <class T> class DoubleObjectOf : public DoubleObject {
public:
  using DoubleObject::DoubleObject;

protected:
  HRESULT runMember(DispatchCall& call) override {
    for (const Member<T>& m : T::members())
      if (m.id == call.id) return m.run(static_cast<T&>(*this), call);
    return DISP_E_MEMBERNOTFOUND;
  }
  const char* memberName(DISPID id) const override {
    for (const Member<T>& m : T::members())
      if (m.id == id) return m.name;
    return nullptr;
  }
};

// Appends a call to the double's log.
void logCall(ExcelDouble& excel, LoggedCall call);
// Returns the double's scripted answer of member `id` for objects labelled `label` (null when none).
const ScriptedMember* findScript(const ExcelDouble& excel, const std::string& label, DISPID id);
// Returns the double object behind an interface pointer (null when it is not one of the double's).
DoubleObject* doubleObjectOf(IUnknown* object);
// Returns a narrow copy of a UTF-16 text for labels (non-ASCII units as '?').
std::string narrow(std::u16string_view text);

} // namespace cwbk::testing
