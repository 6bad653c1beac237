// Variant: an owning VARIANT for the automation layer, with the conventions of Excel's calls
// (missing arguments, booleans, texts as BSTR) and the text conversions at the COM boundary.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace cwbk {

// Returns the runtime's own copy of a BSTR's text (empty for null).
std::u16string bstrText(BSTR text);
// Returns a new BSTR holding the text; raises ComError(E_OUTOFMEMORY) when allocation fails.
BSTR makeBstr(std::u16string_view text);
// Returns true only for a VT_BOOL variant (type in the low 12 bits) with a non-zero value.
bool readBoolean(const VARIANT& v);

// An owning VARIANT: cleared on destruction, deep-copied on copy.
class Variant {
public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&& other) noexcept : v_(other.v_) { other.v_.vt = VT_EMPTY; }
  Variant& operator=(Variant&& other) noexcept;
  // Copies a VARIANT (deep copy, by-reference values included as they are).
  explicit Variant(const VARIANT& source);

  static Variant integer(int32_t i);
  static Variant number(double d);
  static Variant boolean(bool b);
  static Variant text(std::u16string_view t);
  static Variant error(int32_t code);
  static Variant null();
  // A missing optional argument: VT_ERROR with DISP_E_PARAMNOTFOUND.
  static Variant missing();
  // An object; adds a reference of its own (null gives a VT_DISPATCH holding null).
  static Variant dispatch(IDispatch* object);
  // Takes over an existing VARIANT's contents, leaving it VT_EMPTY.
  static Variant adopt(VARIANT& source);

  VARTYPE type() const { return v_.vt; }
  bool isEmpty() const { return v_.vt == VT_EMPTY; }
  bool isMissing() const { return v_.vt == VT_ERROR && v_.scode == DISP_E_PARAMNOTFOUND; }
  const VARIANT& get() const { return v_; }
  VARIANT& get() { return v_; }
  // Returns the address for an out-parameter after clearing the current value.
  VARIANT* out();
  // Gives the VARIANT to the caller (who must clear it), leaving this one empty.
  VARIANT release();

  // The value converted to a type (VariantChangeType); raises ComError when it cannot be converted.
  Variant as(VARTYPE type) const;
  // The value as a 32-bit integer, a double, a text or an object; raise ComError on conversion failure.
  int32_t toInteger() const;
  double toDouble() const;
  std::u16string toText() const;
  // Returns the object of a VT_DISPATCH (or VT_UNKNOWN answering IDispatch) with a new reference, or null.
  IDispatch* toDispatch() const;
  bool toBoolean() const { return readBoolean(v_); }

private:
  VARIANT v_;
};

} // namespace cwbk
