// CalcValue: setters, copies, accessors, the array growth rules and the packed form.
#include "values/calc_value.h"
#include "values/little_endian.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace cwbk {

// ---------------------------------------------------------------- CalcArray

CalcArray::~CalcArray() {
  delete[] elements;
}

void CalcArray::grow(uint64_t shapeColumns, uint64_t shapeRows, uint64_t needed) {
  // Headroom: 30 spare columns for a single row, 10 spare rows otherwise.
  uint64_t wanted =
      shapeRows < 2 ? shapeColumns + 30 : (shapeRows + 10) * std::max<uint64_t>(shapeColumns, 1);
  wanted = std::max(wanted, needed);
  if (wanted > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  if (wanted <= capacity) return;
  auto* fresh = new CalcValue[static_cast<size_t>(wanted)];
  // The stride does not change, so every element keeps its slot index.
  for (uint32_t i = 0; i < count; ++i)
    fresh[i] = std::move(elements[i]);
  delete[] elements;
  elements = fresh;
  capacity = static_cast<uint32_t>(wanted);
}

// ---------------------------------------------------------------- life cycle

CalcValue::CalcValue(CalcValue&& other) noexcept : tag_(other.tag_), payload_(other.payload_) {
  other.tag_ = Empty;
  other.clearPayload();
}

CalcValue& CalcValue::operator=(CalcValue&& other) noexcept {
  if (this != &other) {
    release();
    tag_ = other.tag_;
    payload_ = other.payload_;
    other.tag_ = Empty;
    other.clearPayload();
  }
  return *this;
}

void CalcValue::release() {
  if (tag_ == LongText) {
    delete[] payload_.l.buffer;
  } else if (tag_ == Array || tag_ == ReferenceList) {
    delete payload_.arr;
  }
}

// ---------------------------------------------------------------- setters

void CalcValue::setEmpty() {
  release();
  tag_ = Empty;
  clearPayload();
}

void CalcValue::setInteger(int32_t i) {
  if (tag_ != Integer) setEmpty();
  tag_ = Integer;
  payload_.i = i;
}

void CalcValue::setDouble(double d) {
  if (tag_ != Double) setEmpty();
  tag_ = Double;
  payload_.d = d;
}

void CalcValue::setNumber(double d) {
  // Integral doubles within 32 bits are stored as Integer (-0.0 included, as 0).
  if (d >= -2147483648.0 && d <= 2147483647.0) {
    auto i = static_cast<int32_t>(d);
    if (static_cast<double>(i) == d) {
      setInteger(i);
      return;
    }
  }
  setDouble(d);
}

void CalcValue::setBoolean(bool b) {
  if (tag_ != Boolean) setEmpty();
  tag_ = Boolean;
  payload_.b = b ? 1 : 0;
}

void CalcValue::setText(const char16_t* units, uint32_t length) {
  if (length <= kShortTextMax) {
    char16_t copy[kShortTextMax];
    if (length) std::memcpy(copy, units, length * sizeof(char16_t)); // the source may be our own text
    setEmpty();
    tag_ = ShortText;
    payload_.s.length = static_cast<uint16_t>(length);
    if (length) std::memcpy(payload_.s.units, copy, length * sizeof(char16_t));
    payload_.s.units[length] = 0;
    return;
  }
  if (tag_ == LongText && payload_.l.buffer && payload_.l.length >= length) {
    std::memmove(payload_.l.buffer, units, length * sizeof(char16_t));
    payload_.l.buffer[length] = 0;
    payload_.l.length = length;
    return;
  }
  auto* buffer = new char16_t[static_cast<size_t>(length) + 1];
  std::memcpy(buffer, units, length * sizeof(char16_t));
  buffer[length] = 0;
  setEmpty();
  tag_ = LongText;
  payload_.l.length = length;
  payload_.l.buffer = buffer;
}

void CalcValue::setError(int32_t code) {
  if (!isKnownError(code)) {
    setEmpty();
    return;
  }
  if (tag_ != Error) setEmpty();
  tag_ = Error;
  payload_.err = code;
}

void CalcValue::setErrorFrom(const CalcValue& source) {
  switch (source.tag_) {
  case Integer:
    setError(source.payload_.i);
    return;
  case Double: {
    double t = std::trunc(source.payload_.d);
    // The codes are negative as signed 32-bit integers; read the integer part as either form.
    if (t >= -2147483648.0 && t <= 4294967295.0)
      setError(static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(t))));
    else
      setEmpty();
    return;
  }
  case ShortText:
  case LongText: {
    auto e = errorFromText(source.textView());
    if (e)
      setError(*e);
    else
      setEmpty();
    return;
  }
  case Error:
    setError(source.payload_.err);
    return;
  default:
    setEmpty();
  }
}

void CalcValue::setReference(CellAddress first, CellAddress second) {
  if (tag_ != Reference) setEmpty();
  tag_ = Reference;
  payload_.ref.first = first;
  payload_.ref.second = second;
}

void CalcValue::setArray(const CalcArray& source) {
  // A copy takes exactly the source's elements: headroom is for arrays that are being built.
  auto* record = new CalcArray();
  try {
    if (source.count) {
      record->elements = new CalcValue[source.count];
      record->capacity = source.count;
    }
    for (uint32_t i = 0; i < source.count; ++i)
      record->elements[i].copyFrom(source.elements[i]);
  } catch (...) {
    delete record;
    throw;
  }
  record->count = source.count;
  record->columns = source.columns;
  record->rows = source.rows;
  setEmpty();
  tag_ = Array;
  payload_.arr = record;
}

void CalcValue::resizeArray(uint32_t columns, uint32_t rows) {
  uint64_t count = static_cast<uint64_t>(columns) * rows;
  if (count > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  auto* record = new CalcArray();
  if (count) {
    record->elements = new CalcValue[static_cast<size_t>(count)];
    record->capacity = static_cast<uint32_t>(count);
  }
  record->count = static_cast<uint32_t>(count);
  record->columns = columns;
  record->rows = rows;
  setEmpty();
  tag_ = Array;
  payload_.arr = record;
}

void CalcValue::makeArrayKind(Kind k) {
  if (tag_ == k && payload_.arr) return;
  setEmpty();
  tag_ = k;
  payload_.arr = new CalcArray();
}

void CalcValue::appendTo(Kind k, const CalcValue& v) {
  if (&v == this) {
    CalcValue copy(v);
    appendTo(k, copy);
    return;
  }
  makeArrayKind(k);
  CalcArray& a = *payload_.arr;
  if (v.tag_ != Array || !v.payload_.arr) {
    // A scalar extends the (single) row by one column.
    if (a.count >= a.capacity) a.grow(uint64_t(a.columns) + 1, a.rows, uint64_t(a.count) + 1);
    a.elements[a.count].copyFrom(v);
    ++a.columns;
    ++a.count;
    return;
  }
  // An array appends its rows: the first sets the width, each further row adds to `rows`.
  const CalcArray& src = *v.payload_.arr;
  uint64_t needed = uint64_t(a.count) + src.count;
  if (needed > a.capacity)
    a.grow(std::max(a.columns, src.columns), uint64_t(std::max<uint32_t>(a.rows, 1)) + src.rows, needed);
  if (a.columns == 0) a.columns = src.columns;
  for (uint32_t i = 0; i < src.count; ++i)
    a.elements[a.count + i].copyFrom(src.elements[i]);
  a.count += src.count;
  if (a.columns > 0) a.rows = std::max<uint32_t>(1, (a.count + a.columns - 1) / a.columns);
}

void CalcValue::appendToArray(const CalcValue& v) {
  appendTo(Array, v);
}
void CalcValue::appendToReferenceList(const CalcValue& v) {
  appendTo(ReferenceList, v);
}

void CalcValue::copyFrom(const CalcValue& source) {
  if (&source == this) return;
  switch (source.tag_) {
  case Integer:
    setInteger(source.payload_.i);
    break;
  case Double:
    setNumber(source.payload_.d);
    break;
  case ShortText:
  case LongText:
    setText(source.textOf(), source.textLength());
    break;
  case Boolean:
    setBoolean(source.payload_.b != 0);
    break;
  case Reference:
    setReference(source.payload_.ref.first, source.payload_.ref.second);
    break;
  case Array:
    if (source.payload_.arr)
      setArray(*source.payload_.arr);
    else
      setEmpty();
    break;
  case Error:
    setError(source.payload_.err);
    break;
  default:
    setEmpty();
  }
}

// ---------------------------------------------------------------- accessors

bool CalcValue::isError() const {
  if (tag_ == Error) return true;
  if (!isText() || textLength() == 0 || textOf()[0] != u'#') return false;
  return errorFromText(textView()).has_value();
}

const char16_t* CalcValue::textOf() const {
  switch (tag_) {
  case ShortText:
    return payload_.s.units;
  case LongText:
    return payload_.l.buffer;
  case Error:
    return errorText(payload_.err).data();
  default:
    return nullptr;
  }
}

uint32_t CalcValue::textLength() const {
  switch (tag_) {
  case ShortText:
    return payload_.s.length;
  case LongText:
    return payload_.l.length;
  case Error:
    return static_cast<uint32_t>(errorText(payload_.err).size());
  default:
    return 0;
  }
}

std::u16string_view CalcValue::textView() const {
  const char16_t* t = textOf();
  return t ? std::u16string_view(t, textLength()) : std::u16string_view();
}

const CalcValue* CalcValue::element(uint32_t column, uint32_t row) const {
  if (tag_ != Array && tag_ != ReferenceList) return this;
  const CalcArray* a = payload_.arr;
  if (!a || column >= a->columns) return nullptr;
  if (a->rows < 2) row = 0;
  if (row >= a->rows) return nullptr;
  uint64_t index = column + uint64_t(row) * a->columns;
  return index < a->count ? &a->elements[index] : nullptr;
}

CalcValue* CalcValue::element(uint32_t column, uint32_t row) {
  return const_cast<CalcValue*>(static_cast<const CalcValue*>(this)->element(column, row));
}

uint32_t CalcValue::arrayColumns() const {
  const CalcArray* a = array();
  return a ? a->columns : 1;
}

uint32_t CalcValue::arrayRows() const {
  const CalcArray* a = array();
  return a ? a->rows : 1;
}

Area CalcValue::referenceArea() const {
  if (tag_ != Reference) return Area::invalid();
  Area area = payload_.ref;
  if (area.first.isValid() && !area.second.isValid()) area.second = area.first;
  normalize(area);
  return area;
}

bool CalcValue::sameAs(const CalcValue& other) const {
  if (tag_ != other.tag_) return false;
  switch (tag_) {
  case Empty:
    return true;
  case Integer:
    return payload_.i == other.payload_.i;
  case Double:
    return std::memcmp(&payload_.d, &other.payload_.d, sizeof(double)) == 0;
  case ShortText:
  case LongText:
    return textView() == other.textView();
  case Boolean:
    return payload_.b == other.payload_.b;
  case Reference:
    return payload_.ref == other.payload_.ref;
  case Error:
    return payload_.err == other.payload_.err;
  case Array:
  case ReferenceList: {
    const CalcArray* a = payload_.arr;
    const CalcArray* b = other.payload_.arr;
    if (!a || !b) return a == b;
    if (a->count != b->count || a->columns != b->columns || a->rows != b->rows) return false;
    for (uint32_t i = 0; i < a->count; ++i)
      if (!a->elements[i].sameAs(b->elements[i])) return false;
    return true;
  }
  }
  return false;
}

// ---------------------------------------------------------------- packed form

namespace {

// Nested arrays are not produced by the writer's callers; a few levels are accepted, no more.
constexpr int kMaxPackedDepth = 4;

} // namespace

void CalcValue::pack(std::vector<uint8_t>& out) const {
  out.push_back(static_cast<uint8_t>(tag_));
  switch (tag_) {
  case Integer:
    putLE<int32_t>(out, payload_.i);
    break;
  case Double:
    putLE<double>(out, payload_.d);
    break;
  case ShortText:
  case LongText: {
    std::u16string_view t = textView();
    for (char16_t c : t)
      putLE<uint16_t>(out, c);
    putLE<uint16_t>(out, 0);
    break;
  }
  case Boolean:
    out.push_back(payload_.b ? 1 : 0);
    break;
  case Reference:
    putLE<uint32_t>(out, payload_.ref.first.row);
    putLE<uint32_t>(out, payload_.ref.first.sheetColumn);
    putLE<uint32_t>(out, payload_.ref.second.row);
    putLE<uint32_t>(out, payload_.ref.second.sheetColumn);
    break;
  case Array: {
    const CalcArray* a = payload_.arr;
    uint32_t columns = a ? a->columns : 0;
    uint32_t rows = a ? a->rows : 0;
    uint64_t n = uint64_t(columns) * rows;
    putLE<uint32_t>(out, columns);
    putLE<uint32_t>(out, rows);
    for (uint64_t i = 0; i < n; ++i) {
      if (i < a->count)
        a->elements[i].pack(out);
      else
        out.push_back(Empty);
    }
    break;
  }
  case Error:
    putLE<int32_t>(out, payload_.err);
    break;
  default: // Empty; ReferenceList is its tag byte alone
    break;
  }
}

size_t CalcValue::fixedPackedSize(uint8_t tag) {
  switch (tag) {
  case Integer:
  case Error:
    return 4;
  case Double:
    return 8;
  case Boolean:
    return 1;
  case Reference:
    return 16;
  default:
    return 0;
  }
}

size_t CalcValue::unpackAt(uint8_t tag, const uint8_t* data, size_t available, int depth) {
  if (!data) available = 0;
  switch (tag) {
  case Empty:
    setEmpty();
    return 0;
  case Integer:
    if (available < fixedPackedSize(tag)) break;
    setInteger(getLE<int32_t>(data));
    return fixedPackedSize(tag);
  case Double:
    if (available < fixedPackedSize(tag)) break;
    setDouble(getLE<double>(data));
    return fixedPackedSize(tag);
  case ShortText:
  case LongText: {
    if (available < 2) {
      setText(u"", 0);
      return 0;
    }
    // The terminator is searched only inside the available bytes; without one, the text
    // takes every whole code unit there is.
    size_t units = available / 2, length = 0;
    while (length < units && getLE<uint16_t>(data + 2 * length) != 0)
      ++length;
    bool terminated = length < units;
    if (length > std::numeric_limits<uint32_t>::max()) length = std::numeric_limits<uint32_t>::max();
    std::u16string text(length, u'\0');
    for (size_t i = 0; i < length; ++i)
      text[i] = getLE<uint16_t>(data + 2 * i);
    setText(text);
    return 2 * length + (terminated ? 2 : 0);
  }
  case Boolean:
    if (available < fixedPackedSize(tag)) break;
    setBoolean(data[0] != 0);
    return fixedPackedSize(tag);
  case Reference:
    if (available < fixedPackedSize(tag)) break;
    setReference(CellAddress{getLE<uint32_t>(data), getLE<uint32_t>(data + 4)},
                 CellAddress{getLE<uint32_t>(data + 8), getLE<uint32_t>(data + 12)});
    return fixedPackedSize(tag);
  case ReferenceList:
    setEmpty();
    return 0;
  case Array: {
    if (available < 8) break;
    uint32_t columns = getLE<uint32_t>(data);
    uint32_t rows = getLE<uint32_t>(data + 4);
    uint64_t n = uint64_t(columns) * rows;
    // Each element takes at least its tag byte: a count beyond the data cannot be genuine. An array
    // without elements is no value at all.
    if (depth >= kMaxPackedDepth || n > available - 8) {
      setEmpty();
      return available;
    }
    if (n == 0) {
      setEmpty();
      return 8;
    }
    CalcValue result;
    result.resizeArray(columns, rows);
    size_t used = 8;
    for (uint64_t i = 0; i < n; ++i) {
      if (used >= available) {
        setEmpty();
        return available;
      }
      uint8_t elementTag = data[used++];
      used += result.payload_.arr->elements[i].unpackAt(elementTag, data + used, available - used, depth + 1);
    }
    *this = std::move(result);
    return used;
  }
  case Error:
    if (available < fixedPackedSize(tag)) break;
    setError(getLE<int32_t>(data));
    return fixedPackedSize(tag);
  default:
    break;
  }
  // Unknown tag or too few bytes: the value is empty and nothing is consumed.
  setEmpty();
  return 0;
}

} // namespace cwbk
