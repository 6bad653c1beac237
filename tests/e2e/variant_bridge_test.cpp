// The VARIANT bridge: every kind both ways, safe arrays of one and two dimensions with any lower
// bounds, nesting, unsupported inputs, and the protection of texts written into cells.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "excel/com_error.h"
#include "excel/variant_bridge.h"
#include "platform/locale_settings.h"

namespace cwbk {
namespace {

Variant raw(VARTYPE vt, auto assign) {
  Variant v;
  assign(v.get());
  v.get().vt = vt;
  return v;
}

// A safe array of VT_VARIANT with the given bounds (one or two dimensions: rows, then columns),
// element (r, c) holding the integer 10 * r + c counted from the lower bounds.
Variant numberedArray(std::initializer_list<SAFEARRAYBOUND> bounds) {
  std::vector<SAFEARRAYBOUND> b(bounds);
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, static_cast<UINT>(b.size()), b.data());
  for (ULONG r = 0; r < b[0].cElements; ++r)
    for (ULONG c = 0; c < (b.size() > 1 ? b[1].cElements : 1); ++c) {
      LONG index[2] = {b[0].lLbound + static_cast<LONG>(r),
                       b.size() > 1 ? b[1].lLbound + static_cast<LONG>(c) : 0};
      Variant e = Variant::integer(static_cast<int32_t>(b.size() > 1 ? 10 * r + c : r));
      SafeArrayPutElement(array, index, &e.get());
    }
  Variant v;
  v.get().vt = VT_ARRAY | VT_VARIANT;
  v.get().parray = array;
  return v;
}

CalcValue arrayOf(uint32_t columns, uint32_t rows, std::initializer_list<CalcValue> elements) {
  CalcValue a;
  a.resizeArray(columns, rows);
  uint32_t i = 0;
  for (const CalcValue& e : elements) {
    *a.element(i % columns, i / columns) = e;
    ++i;
  }
  return a;
}

TEST(VariantBridge, ScalarsRoundTrip) {
  const CalcValue cases[] = {CalcValue(),
                             CalcValue::number(42),
                             CalcValue::number(-2147483648.0),
                             CalcValue::number(2.5),
                             CalcValue::number(1e300),
                             CalcValue::boolean(true),
                             CalcValue::boolean(false),
                             CalcValue::text(u""),
                             CalcValue::text(u"abcd"),
                             CalcValue::text(u"a longer text \u00e9\u4e2d"),
                             CalcValue::error(ErrDiv0),
                             CalcValue::error(ErrNA)};
  for (const CalcValue& value : cases) {
    Variant v = toVariant(value, false);
    CalcValue back = fromVariant(v.get());
    EXPECT_TRUE(back.sameAs(value)) << "kind " << value.kind();
  }
  EXPECT_EQ(toVariant(CalcValue::number(7), false).type(), VT_I4);
  EXPECT_EQ(toVariant(CalcValue::number(0.5), false).type(), VT_R8);
  EXPECT_EQ(toVariant(CalcValue::boolean(true), false).get().boolVal, VARIANT_TRUE);
  EXPECT_EQ(toVariant(CalcValue::error(ErrRef), false).get().scode, static_cast<SCODE>(ErrRef));
}

TEST(VariantBridge, ReferencesBecomeEmpty) {
  CalcValue reference;
  reference.setReference(CellAddress::make(0, 1, 1), CellAddress::make(0, 2, 2));
  EXPECT_EQ(toVariant(reference, true).type(), VT_EMPTY);
}

TEST(VariantBridge, EveryNumericTypeIsRead) {
  DECIMAL decimal{};
  VarDecFromR8(12.75, &decimal);
  struct Case {
    Variant v;
    CalcValue expected;
  } cases[] = {
      {raw(VT_I1, [](VARIANT& v) { v.cVal = -5; }), CalcValue::number(-5)},
      {raw(VT_UI1, [](VARIANT& v) { v.bVal = 200; }), CalcValue::number(200)},
      {raw(VT_I2, [](VARIANT& v) { v.iVal = -300; }), CalcValue::number(-300)},
      {raw(VT_UI2, [](VARIANT& v) { v.uiVal = 60000; }), CalcValue::number(60000)},
      {raw(VT_INT, [](VARIANT& v) { v.intVal = 9; }), CalcValue::number(9)},
      {raw(VT_UINT, [](VARIANT& v) { v.uintVal = 10; }), CalcValue::number(10)},
      // Integers beyond 32 bits keep their value instead of wrapping.
      {raw(VT_UI4, [](VARIANT& v) { v.ulVal = 4000000000u; }), CalcValue::number(4000000000.0)},
      {raw(VT_I8, [](VARIANT& v) { v.llVal = -(int64_t(1) << 40); }), CalcValue::number(-1099511627776.0)},
      {raw(VT_UI8, [](VARIANT& v) { v.ullVal = 7; }), CalcValue::number(7)},
      {raw(VT_R4, [](VARIANT& v) { v.fltVal = 0.5f; }), CalcValue::number(0.5)},
      {raw(VT_DATE, [](VARIANT& v) { v.date = 45000.25; }), CalcValue::number(45000.25)},
      {raw(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 123456; }), CalcValue::number(12.3456)},
      {raw(VT_R8, [](VARIANT& v) { v.dblVal = std::numeric_limits<double>::quiet_NaN(); }),
       CalcValue::number(0)},
      {raw(VT_R8, [](VARIANT& v) { v.dblVal = -std::numeric_limits<double>::infinity(); }),
       CalcValue::number(0)},
      {raw(VT_BOOL, [](VARIANT& v) { v.boolVal = 1; }), CalcValue::boolean(true)},
      {raw(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; }), CalcValue::text(u"")},
  };
  for (const Case& c : cases) {
    CalcValue got = fromVariant(c.v.get());
    EXPECT_TRUE(got.sameAs(c.expected))
        << "vt " << c.v.type() << " gave kind " << got.kind() << " " << got.numberValue();
  }
  Variant dec;
  dec.get().decVal = decimal;
  dec.get().vt = VT_DECIMAL;
  EXPECT_TRUE(fromVariant(dec.get()).sameAs(CalcValue::number(12.75)));
}

TEST(VariantBridge, ValuesByReferenceAreFollowed) {
  double d = 3.5;
  Variant byRef = raw(VT_R8 | VT_BYREF, [&](VARIANT& v) { v.pdblVal = &d; });
  EXPECT_TRUE(fromVariant(byRef.get()).sameAs(CalcValue::number(3.5)));
  Variant inner = Variant::text(u"inside");
  Variant variantRef = raw(VT_VARIANT | VT_BYREF, [&](VARIANT& v) { v.pvarVal = &inner.get(); });
  EXPECT_TRUE(fromVariant(variantRef.get()).sameAs(CalcValue::text(u"inside")));
  byRef.get().vt = VT_EMPTY; // borrowed pointers: nothing to clear
  variantRef.get().vt = VT_EMPTY;
}

TEST(VariantBridge, UnsupportedTypesLeaveTheTargetUnchanged) {
  CalcValue target = CalcValue::number(9);
  fromVariant(Variant::null().get(), target);
  fromVariant(Variant().get(), target);
  fromVariant(Variant::dispatch(nullptr).get(), target);
  SAFEARRAYBOUND three[3] = {{2, 0}, {2, 0}, {2, 0}};
  Variant cube;
  cube.get().parray = SafeArrayCreate(VT_VARIANT, 3, three);
  cube.get().vt = VT_ARRAY | VT_VARIANT;
  fromVariant(cube.get(), target);
  EXPECT_TRUE(target.sameAs(CalcValue::number(9)));
  // An error code that is no spreadsheet error (a missing argument) reads as Empty.
  EXPECT_TRUE(fromVariant(Variant::missing().get()).isEmpty());
}

TEST(VariantBridge, TwoDimensionalArraysAreRowsByColumnsWhateverTheirLowerBounds) {
  for (LONG lower : {1, 0, -3}) {
    Variant v = numberedArray({{3, lower}, {2, lower + 5}}); // 3 rows, 2 columns
    CalcValue a = fromVariant(v.get());
    ASSERT_TRUE(a.isArray());
    ASSERT_EQ(a.arrayRows(), 3u);
    ASSERT_EQ(a.arrayColumns(), 2u);
    for (uint32_t r = 0; r < 3; ++r)
      for (uint32_t c = 0; c < 2; ++c)
        EXPECT_EQ(a.element(c, r)->integer(), int32_t(10 * r + c)) << lower;
  }
}

TEST(VariantBridge, OneDimensionalArraysAreOneRow) {
  CalcValue a = fromVariant(numberedArray({{4, 0}}).get());
  ASSERT_EQ(a.arrayRows(), 1u);
  ASSERT_EQ(a.arrayColumns(), 4u);
  EXPECT_EQ(a.element(3, 0)->integer(), 3);
}

TEST(VariantBridge, TypedElementArraysAreRead) {
  SAFEARRAYBOUND bounds[2] = {{1, 1}, {2, 1}};
  SAFEARRAY* texts = SafeArrayCreate(VT_BSTR, 2, bounds);
  LONG i0[2] = {1, 1}, i1[2] = {1, 2};
  BSTR a = SysAllocString(L"left"), b = SysAllocString(L"right");
  SafeArrayPutElement(texts, i0, a);
  SafeArrayPutElement(texts, i1, b);
  SysFreeString(a);
  SysFreeString(b);
  Variant v;
  v.get().parray = texts;
  v.get().vt = VT_ARRAY | VT_BSTR;
  CalcValue got = fromVariant(v.get());
  EXPECT_TRUE(got.sameAs(arrayOf(2, 1, {CalcValue::text(u"left"), CalcValue::text(u"right")})));

  SAFEARRAYBOUND one = {3, 1};
  SAFEARRAY* numbers = SafeArrayCreate(VT_R8, 1, &one);
  for (LONG k = 1; k <= 3; ++k) {
    double d = k * 1.5;
    SafeArrayPutElement(numbers, &k, &d);
  }
  Variant n;
  n.get().parray = numbers;
  n.get().vt = VT_ARRAY | VT_R8;
  EXPECT_TRUE(fromVariant(n.get()).sameAs(
      arrayOf(3, 1, {CalcValue::number(1.5), CalcValue::number(3), CalcValue::number(4.5)})));
  // An array answered by reference.
  SAFEARRAY* borrowed = numbers;
  Variant byRef = raw(VT_ARRAY | VT_R8 | VT_BYREF, [&](VARIANT& x) { x.pparray = &borrowed; });
  EXPECT_EQ(fromVariant(byRef.get()).arrayColumns(), 3u);
  byRef.get().vt = VT_EMPTY;
}

// A text element is a whole pointer: one placed at the top of the address space (above 4 GiB on
// 64-bit Windows) is read in full, not through its low 32 bits.
TEST(VariantBridge, TextElementsAreReadAsWholePointers) {
  auto* page = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
  ASSERT_NE(page, nullptr);
  // A BSTR laid out by hand: its byte length, then the characters and a terminator.
  const wchar_t text[] = L"high";
  const uint32_t bytes = sizeof text - sizeof(wchar_t);
  std::memcpy(page, &bytes, sizeof bytes);
  std::memcpy(page + sizeof bytes, text, sizeof text);
  auto high = reinterpret_cast<BSTR>(page + sizeof bytes);
  ASSERT_EQ(SysStringLen(high), 4u);

  SAFEARRAYBOUND bounds = {2, 0};
  SAFEARRAY* texts = SafeArrayCreate(VT_BSTR, 1, &bounds);
  ASSERT_NE(texts, nullptr);
  BSTR* slots = nullptr;
  ASSERT_EQ(SafeArrayAccessData(texts, reinterpret_cast<void**>(&slots)), S_OK);
  slots[0] = high;
  slots[1] = high;
  SafeArrayUnaccessData(texts);
  Variant v = raw(VT_ARRAY | VT_BSTR, [&](VARIANT& x) { x.parray = texts; });
  CalcValue got = fromVariant(v.get());
  EXPECT_TRUE(got.sameAs(arrayOf(2, 1, {CalcValue::text(u"high"), CalcValue::text(u"high")})));

  // The hand-made strings are not the array's to free.
  ASSERT_EQ(SafeArrayAccessData(texts, reinterpret_cast<void**>(&slots)), S_OK);
  slots[0] = slots[1] = nullptr;
  SafeArrayUnaccessData(texts);
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST(VariantBridge, ArraysRoundTripWithLowerBoundsOne) {
  CalcValue row = arrayOf(3, 1, {CalcValue::number(1), CalcValue::text(u"x"), CalcValue::boolean(true)});
  Variant v = toVariant(row, false);
  ASSERT_EQ(v.type(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(SafeArrayGetDim(v.get().parray), 1u);
  LONG lower = 0;
  SafeArrayGetLBound(v.get().parray, 1, &lower);
  EXPECT_EQ(lower, 1);
  EXPECT_TRUE(fromVariant(v.get()).sameAs(row));

  CalcValue block = arrayOf(2, 3,
                            {CalcValue::number(1), CalcValue::number(2), CalcValue::error(ErrNA), CalcValue(),
                             CalcValue::text(u"five"), CalcValue::number(6.5)});
  Variant b = toVariant(block, false);
  ASSERT_EQ(SafeArrayGetDim(b.get().parray), 2u);
  LONG rowsUpper = 0, columnsUpper = 0;
  SafeArrayGetUBound(b.get().parray, 1, &rowsUpper);
  SafeArrayGetUBound(b.get().parray, 2, &columnsUpper);
  EXPECT_EQ(rowsUpper, 3);
  EXPECT_EQ(columnsUpper, 2);
  LONG index[2] = {3, 1}; // row 3, column 1
  Variant e;
  SafeArrayGetElement(b.get().parray, index, e.out());
  EXPECT_EQ(e.toText(), u"five");
  EXPECT_TRUE(fromVariant(b.get()).sameAs(block));
}

TEST(VariantBridge, NestedArrays) {
  CalcValue inner = arrayOf(2, 1, {CalcValue::number(1), CalcValue::number(2)});
  CalcValue outer = arrayOf(2, 1, {inner, CalcValue::text(u"t")});
  // Written to Excel, a nested array has no cell to go to.
  Variant v = toVariant(outer, false);
  LONG first = 1;
  Variant e;
  SafeArrayGetElement(v.get().parray, &first, e.out());
  EXPECT_EQ(e.type(), VT_EMPTY);
  // Read from Excel (a macro's result), a nested array is kept.
  Variant nested = toVariant(inner, false);
  SafeArrayPutElement(v.get().parray, &first, &nested.get());
  CalcValue back = fromVariant(v.get());
  EXPECT_TRUE(back.element(0, 0)->sameAs(inner));
  EXPECT_TRUE(back.element(1, 0)->sameAs(CalcValue::text(u"t")));
}

TEST(VariantBridge, DeepNestingStopsAtAFixedDepth) {
  Variant v = Variant::integer(1);
  for (int depth = 0; depth < 40; ++depth) {
    SAFEARRAYBOUND one = {1, 0};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &one);
    LONG zero = 0;
    SafeArrayPutElement(array, &zero, &v.get());
    Variant wrapped;
    wrapped.get().parray = array;
    wrapped.get().vt = VT_ARRAY | VT_VARIANT;
    v = std::move(wrapped);
  }
  CalcValue got = fromVariant(v.get());
  int levels = 0;
  for (const CalcValue* p = &got; p && p->isArray(); p = p->element(0, 0))
    ++levels;
  EXPECT_GT(levels, 0);
  EXPECT_LT(levels, 40);
}

TEST(VariantBridge, TextProtection) {
  struct Case {
    const char16_t* text;
    bool protect;
  } cases[] = {
      {u"", true},        {u"00123", true},    {u"123", true},    {u"-x", true},    {u"+1", true},
      {u"=A1", true},     {u"$5", true},       {u"%", true},      {u"(1)", true},   {u"'quoted", true},
      {u"  12", true},    {u".5", true},       {u"true", true},   {u"FALSE", true}, {u"#n/a", true},
      {u"#DIV/0!", true}, {u"abc", false},     {u" true", false}, {u"x1", false},   {u"   ", false},
      {u"#hash", false},  {u"TRUEish", false}, {u"a-b", false},
  };
  for (const Case& c : cases) {
    Variant v = toVariant(CalcValue::text(c.text), true);
    std::u16string expected = c.protect ? u"'" + std::u16string(c.text) : std::u16string(c.text);
    EXPECT_EQ(v.toText(), expected) << std::string(c.text,
                                                   c.text + std::char_traits<char16_t>::length(c.text));
  }
  EXPECT_EQ(toVariant(CalcValue::text(u"00123"), false).toText(), u"00123");
  // Elements of arrays are protected too.
  Variant a = toVariant(arrayOf(2, 1, {CalcValue::text(u"007"), CalcValue::text(u"ok")}), true);
  EXPECT_EQ(fromVariant(a.get()).element(0, 0)->textView(), u"'007");
}

TEST(VariantBridge, TheDecimalSeparatorOfTheLocaleIsProtected) {
  LocaleSettings saved = localeSettings();
  LocaleSettings comma = saved;
  comma.decimalSeparator = u",";
  setLocaleSettings(comma);
  EXPECT_EQ(toVariant(CalcValue::text(u",5"), true).toText(), u"',5");
  setLocaleSettings(saved);
}

} // namespace
} // namespace cwbk
