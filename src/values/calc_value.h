// CalcValue: the tagged value of every calculation (a 32-bit tag and a 16-byte payload), the
// CalcArray record behind arrays and reference lists, and the packed byte form of values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "values/calc_error.h"
#include "values/cell_address.h"
#include "values/pool.h"

namespace cwbk {

class CalcValue;

// A two-dimensional table of values, row-major: element (c, r) is at c + r * columns.
struct CalcArray {
  CalcValue* elements = nullptr; // `capacity` slots, owned
  uint32_t capacity = 0;
  uint32_t count = 0;
  uint32_t columns = 0;
  uint32_t rows = 1;

  CalcArray() = default;
  ~CalcArray();
  CalcArray(const CalcArray&) = delete;
  CalcArray& operator=(const CalcArray&) = delete;

  // Grows the storage for the shape (columns x rows) with headroom, keeping every element in place;
  // the result always holds at least `needed` slots.
  void grow(uint64_t shapeColumns, uint64_t shapeRows, uint64_t needed);
};

class CalcValue {
public:
  enum Kind : uint32_t {
    Empty = 0,
    Integer = 1,
    Double = 2,
    ShortText = 3,
    LongText = 4,
    Boolean = 5,
    Reference = 6,
    ReferenceList = 7,
    Array = 8,
    Error = 9,
  };
  static constexpr uint32_t kShortTextMax = 4;

  CalcValue() { clearPayload(); }
  ~CalcValue() { release(); }
  CalcValue(const CalcValue& other) : CalcValue() { copyFrom(other); }
  CalcValue& operator=(const CalcValue& other) {
    copyFrom(other);
    return *this;
  }
  CalcValue(CalcValue&& other) noexcept;
  CalcValue& operator=(CalcValue&& other) noexcept;

  static CalcValue number(double x) {
    CalcValue v;
    v.setNumber(x);
    return v;
  }
  static CalcValue text(std::u16string_view t) {
    CalcValue v;
    v.setText(t);
    return v;
  }
  static CalcValue error(int32_t code) {
    CalcValue v;
    v.setError(code);
    return v;
  }
  static CalcValue boolean(bool b) {
    CalcValue v;
    v.setBoolean(b);
    return v;
  }

  // Values owned by nodes and cells come from the fixed-size pool.
  static CalcValue* create() { return new (poolAllocate(sizeof(CalcValue))) CalcValue(); }
  static void destroy(CalcValue* v) {
    if (!v) return;
    v->~CalcValue();
    poolRelease(v, sizeof(CalcValue));
  }

  // --- kind questions
  Kind kind() const { return tag_; }
  uint32_t tag() const { return tag_; }
  bool isEmpty() const { return tag_ == Empty; }
  bool isNumber() const { return tag_ == Integer || tag_ == Double; }
  bool isText() const { return tag_ == ShortText || tag_ == LongText; }
  bool isBoolean() const { return tag_ == Boolean; }
  bool isReference() const { return tag_ == Reference; }
  bool isReferenceList() const { return tag_ == ReferenceList; }
  bool isArray() const { return tag_ == Array; }
  bool isErrorValue() const { return tag_ == Error; }
  // True for an Error, and for a text that starts with '#' and equals a current error text.
  bool isError() const;

  // --- setters
  void setEmpty();
  void setInteger(int32_t i);
  void setDouble(double d);
  void setNumber(double d);
  void setBoolean(bool b);
  void setText(const char16_t* units, uint32_t length);
  void setText(std::u16string_view t) { setText(t.data(), static_cast<uint32_t>(t.size())); }
  void setError(int32_t code);
  void setErrorFrom(const CalcValue& source);
  void setReference(CellAddress first, CellAddress second);
  void setReference(const Area& area) { setReference(area.first, area.second); }
  void setArray(const CalcArray& source);
  void resizeArray(uint32_t columns, uint32_t rows);
  void appendToArray(const CalcValue& v);
  void appendToReferenceList(const CalcValue& v);
  void copyFrom(const CalcValue& source);

  // --- accessors (each answers only for its own kind)
  int32_t integer() const { return tag_ == Integer ? payload_.i : 0; }
  double doubleValue() const { return tag_ == Double ? payload_.d : 0.0; }
  // The number of an Integer or Double (0 otherwise).
  double numberValue() const { return tag_ == Integer ? payload_.i : tag_ == Double ? payload_.d : 0.0; }
  bool booleanValue() const { return tag_ == Boolean && payload_.b != 0; }
  int32_t errorCode() const { return tag_ == Error ? payload_.err : 0; }
  // Text of a ShortText or LongText, the current display text of an Error, null otherwise.
  const char16_t* textOf() const;
  uint32_t textLength() const;
  std::u16string_view textView() const;
  CalcArray* array() const { return tag_ == Array || tag_ == ReferenceList ? payload_.arr : nullptr; }
  // A scalar answers every position with itself; arrays answer by position (null outside).
  const CalcValue* element(uint32_t column, uint32_t row) const;
  CalcValue* element(uint32_t column, uint32_t row);
  uint32_t arrayColumns() const;
  uint32_t arrayRows() const;
  Area referenceArea() const;
  CellAddress firstCorner() const { return tag_ == Reference ? payload_.ref.first : CellAddress::invalid(); }
  CellAddress secondCorner() const {
    return tag_ == Reference ? payload_.ref.second : CellAddress::invalid();
  }

  // Exact identity of kind and payload (texts compared unit by unit, arrays element by element).
  bool sameAs(const CalcValue& other) const;

  // --- packed form
  // Appends the tag byte and the payload.
  void pack(std::vector<uint8_t>& out) const;
  // Returns the payload bytes of a packed value of a fixed-size tag (Integer and Error 4, Double 8,
  // Boolean 1, Reference 16); 0 for Empty and for the tags whose payload length varies.
  static size_t fixedPackedSize(uint8_t tag);
  // Reads a value of `tag` from the `available` bytes at `data`; returns the payload bytes used.
  size_t unpack(uint8_t tag, const uint8_t* data, size_t available) {
    return unpackAt(tag, data, available, 0);
  }

private:
  struct LongTextPayload {
    uint32_t length;
    char16_t* buffer;
  };
  struct ShortTextPayload {
    uint16_t length;
    char16_t units[kShortTextMax + 1];
  };
  union Payload {
    int32_t i;
    double d;
    ShortTextPayload s;
    LongTextPayload l;
    uint32_t b;
    Area ref;
    CalcArray* arr;
    int32_t err;
    unsigned char raw[16];
    Payload() : raw{} {}
  };
  static_assert(sizeof(Payload) == 16, "the payload area is 16 bytes");

  void clearPayload() {
    for (unsigned char& c : payload_.raw)
      c = 0;
  }
  void release();
  void makeArrayKind(Kind k);
  void appendTo(Kind k, const CalcValue& v);
  size_t unpackAt(uint8_t tag, const uint8_t* data, size_t available, int depth);

  Kind tag_ = Empty;
  Payload payload_;
};

} // namespace cwbk
