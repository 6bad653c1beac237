// CalcValue: kinds, setters, copies, element access, array growth and the packed form.
#include "values/calc_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace cwbk;

namespace {

CalcValue packRoundTrip(const CalcValue& v, size_t* packedSize = nullptr) {
  std::vector<uint8_t> bytes;
  v.pack(bytes);
  if (packedSize) *packedSize = bytes.size();
  CalcValue back;
  size_t used = back.unpack(bytes[0], bytes.data() + 1, bytes.size() - 1);
  EXPECT_EQ(used + 1, bytes.size());
  return back;
}

CalcValue row(std::initializer_list<double> xs) {
  CalcValue r;
  for (double x : xs)
    r.appendToArray(CalcValue::number(x));
  return r;
}

} // namespace

TEST(CalcValue, TextIsShortUpToFourUnits) {
  struct Case {
    std::u16string text;
    CalcValue::Kind kind;
  } cases[] = {{u"", CalcValue::ShortText}, {u"abcd", CalcValue::ShortText}, {u"abcde", CalcValue::LongText}};
  for (const auto& c : cases) {
    CalcValue v;
    v.setText(c.text);
    EXPECT_EQ(v.kind(), c.kind);
    EXPECT_EQ(v.textView(), c.text);
    EXPECT_EQ(v.textOf()[c.text.size()], u'\0');
  }
}

TEST(CalcValue, LongTextReusesBufferAndSurvivesSelfAssignment) {
  CalcValue v;
  v.setText(u"a long text value");
  const char16_t* buffer = v.textOf();
  v.setText(u"shorter!");
  EXPECT_EQ(v.textOf(), buffer);
  EXPECT_EQ(v.textView(), u"shorter!");
  v.setText(v.textOf() + 2, 6); // from its own buffer
  EXPECT_EQ(v.textView(), u"orter!");
  v.setText(u"a much longer text than the buffer holds");
  EXPECT_EQ(v.textView(), u"a much longer text than the buffer holds");
  v.setText(v.textOf() + 7, 4); // a short slice of its own long text
  EXPECT_EQ(v.kind(), CalcValue::ShortText);
  EXPECT_EQ(v.textView(), u"long");
}

TEST(CalcValue, SetNumberKeepsIntegersInThirtyTwoBits) {
  struct Case {
    double x;
    CalcValue::Kind kind;
  } cases[] = {{3.0, CalcValue::Integer},         {3.5, CalcValue::Double},
               {3e10, CalcValue::Double},         {-2147483648.0, CalcValue::Integer},
               {2147483648.0, CalcValue::Double}, {std::nan(""), CalcValue::Double},
               {-0.0, CalcValue::Integer}};
  for (const auto& c : cases) {
    CalcValue v;
    v.setNumber(c.x);
    EXPECT_EQ(v.kind(), c.kind) << c.x;
  }
}

TEST(CalcValue, ErrorsAreOnlyTheSevenCodes) {
  CalcValue v;
  v.setError(ErrNA);
  EXPECT_EQ(v.kind(), CalcValue::Error);
  EXPECT_EQ(v.textView(), u"#N/A");
  v.setError(static_cast<int32_t>(0x800A07D1));
  EXPECT_TRUE(v.isEmpty());

  struct Case {
    CalcValue source;
    CalcValue::Kind kind;
  } cases[] = {{CalcValue::number(static_cast<int32_t>(ErrDiv0)), CalcValue::Error},
               {CalcValue::number(static_cast<double>(0x800A07DFu) + 0.5), CalcValue::Error},
               {CalcValue::text(u"#REF!"), CalcValue::Error},
               {CalcValue::text(u"#ref!"), CalcValue::Empty},
               {CalcValue::number(7), CalcValue::Empty},
               {CalcValue::boolean(true), CalcValue::Empty}};
  for (const auto& c : cases) {
    CalcValue e;
    e.setErrorFrom(c.source);
    EXPECT_EQ(e.kind(), c.kind);
  }
  EXPECT_TRUE(CalcValue::text(u"#NUM!").isError());
  EXPECT_FALSE(CalcValue::text(u"NUM!").isError());
}

TEST(CalcValue, CopyRules) {
  CalcValue list;
  list.appendToReferenceList(CalcValue());
  CalcValue copy(list);
  EXPECT_TRUE(copy.isEmpty());

  CalcValue two;
  two.setDouble(2.0);
  CalcValue c2 = two;
  EXPECT_EQ(c2.kind(), CalcValue::Integer);
  EXPECT_EQ(c2.integer(), 2);

  CalcValue arr = row({1, 2, 3});
  CalcValue deep = arr;
  arr.element(0, 0)->setText(u"changed text");
  EXPECT_EQ(deep.element(0, 0)->integer(), 1);
  deep = deep; // self-assignment is a no-op
  EXPECT_EQ(deep.arrayColumns(), 3u);
}

TEST(CalcValue, ElementAccess) {
  CalcValue wide = row({0, 1, 2, 3, 4, 5});
  EXPECT_EQ(wide.element(5, 7)->integer(), 5); // a single row answers every row
  EXPECT_EQ(wide.element(6, 0), nullptr);

  CalcValue grid;
  grid.appendToArray(row({1, 2, 3}));
  grid.appendToArray(row({4, 5, 6}));
  EXPECT_EQ(grid.arrayColumns(), 3u);
  EXPECT_EQ(grid.arrayRows(), 2u);
  EXPECT_EQ(grid.element(0, 1)->integer(), 4);
  EXPECT_EQ(grid.element(0, 2), nullptr);

  CalcValue scalar = CalcValue::number(9);
  EXPECT_EQ(scalar.element(3, 4), &scalar);
}

TEST(CalcValue, ArrayGrowth) {
  CalcValue three;
  for (int i = 0; i < 3; ++i)
    three.appendToArray(CalcValue::number(i));
  EXPECT_EQ(three.arrayColumns(), 3u);
  EXPECT_EQ(three.arrayRows(), 1u);

  // Rows wider than the headroom, and many of them, keep every element in place.
  CalcValue big;
  std::vector<double> xs(45);
  for (int r = 0; r < 25; ++r) {
    CalcValue line;
    for (int c = 0; c < 45; ++c)
      line.appendToArray(CalcValue::number(r * 100 + c));
    big.appendToArray(line);
  }
  ASSERT_EQ(big.arrayColumns(), 45u);
  ASSERT_EQ(big.arrayRows(), 25u);
  for (int r = 0; r < 25; ++r)
    for (int c = 0; c < 45; ++c)
      ASSERT_EQ(big.element(c, r)->integer(), r * 100 + c);

  // A block of several rows adds all of its rows.
  CalcValue block;
  block.appendToArray(row({1, 2}));
  block.appendToArray(row({3, 4}));
  CalcValue target;
  target.appendToArray(row({0, 0}));
  target.appendToArray(block);
  EXPECT_EQ(target.arrayRows(), 3u);
  EXPECT_EQ(target.element(1, 2)->integer(), 4);
}

TEST(CalcValue, ReferenceArea) {
  CalcValue v;
  CellAddress b3 = CellAddress::make(0, 1, 2), a1 = CellAddress::make(0, 0, 0);
  v.setReference(b3, CellAddress::invalid());
  EXPECT_EQ(v.referenceArea(), (Area{b3, b3}));
  v.setReference(b3, a1);
  EXPECT_EQ(v.referenceArea(), (Area{a1, b3}));
  EXPECT_EQ(v.firstCorner(), b3);
  EXPECT_EQ(CalcValue::number(1).referenceArea(), Area::invalid());
}

TEST(CalcValue, PackRoundTrip) {
  CalcValue values[10];
  values[1].setInteger(-42);
  values[2].setDouble(2.5);
  values[3].setText(u"abc");
  values[4].setText(u"a longer text");
  values[5].setBoolean(true);
  values[6].setReference(CellAddress::make(2, 3, 4), CellAddress::make(2, 5, 9));
  values[7].appendToArray(row({1, 2}));
  values[7].appendToArray(row({3, 4}));
  values[7].element(1, 1)->setText(u"x");
  values[8].setError(ErrName);
  for (const CalcValue& v : values) {
    CalcValue back = packRoundTrip(v);
    EXPECT_TRUE(back.sameAs(v)) << "tag " << v.tag();
  }
  size_t size = 0;
  packRoundTrip(CalcValue::boolean(false), &size);
  EXPECT_EQ(size, 2u);
  packRoundTrip(CalcValue::text(u"abc"), &size);
  EXPECT_EQ(size, 9u);
}

TEST(CalcValue, UnpackHostileBytes) {
  CalcValue v;
  // Text shorter than one unit: the empty text, nothing consumed.
  const uint8_t one[] = {0x41};
  EXPECT_EQ(v.unpack(3, one, 1), 0u);
  EXPECT_EQ(v.kind(), CalcValue::ShortText);
  // Text without a terminator inside the data takes the whole units there are.
  const uint8_t open[] = {'a', 0, 'b', 0, 'c'};
  EXPECT_EQ(v.unpack(4, open, sizeof open), 4u);
  EXPECT_EQ(v.textView(), u"ab");
  // Unknown tag, unknown error code, short payloads.
  EXPECT_EQ(v.unpack(77, open, sizeof open), 0u);
  EXPECT_TRUE(v.isEmpty());
  const uint8_t code[] = {0xD1, 0x07, 0x0A, 0x80};
  EXPECT_EQ(v.unpack(9, code, 4), 4u);
  EXPECT_TRUE(v.isEmpty());
  EXPECT_EQ(v.unpack(2, code, 4), 0u);
  // Arrays whose shape wraps in 32 bits or exceeds the data are rejected without allocating.
  const uint8_t huge[] = {0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0};
  EXPECT_LE(v.unpack(8, huge, sizeof huge), sizeof huge);
  EXPECT_TRUE(v.isEmpty());
  const uint8_t wrap[] = {0, 0, 0, 0x80, 2, 0, 0, 0, 1, 1, 0, 0, 0};
  v.unpack(8, wrap, sizeof wrap);
  EXPECT_TRUE(v.isEmpty());
  // A shape without elements is no array (a huge other dimension must not be allocated or packed).
  const uint8_t hollow[] = {0, 0, 0, 0, 0, 0, 0, 0xF0};
  EXPECT_EQ(v.unpack(8, hollow, sizeof hollow), 8u);
  EXPECT_TRUE(v.isEmpty());
  // Deeply nested arrays stop at a fixed depth.
  std::vector<uint8_t> nested;
  for (int i = 0; i < 1000; ++i) {
    nested.insert(nested.end(), {1, 0, 0, 0, 1, 0, 0, 0});
    nested.push_back(8);
  }
  EXPECT_LE(v.unpack(8, nested.data(), nested.size()), nested.size());
  int depth = 0;
  for (const CalcValue* e = &v; e && e->isArray(); e = e->element(0, 0))
    ++depth;
  EXPECT_LE(depth, 4);
}
