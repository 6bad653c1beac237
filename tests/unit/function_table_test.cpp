// FunctionTable: lookups by name and number, aliases, derived bits and traits, argument classes and the
// routines installed by name.
#include "formula/function_table.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

#include "formula/formula_node.h"
#include "functions/function_library.h"

using namespace cwbk;

namespace {

const FunctionTable& table() {
  return functionTable();
}

const FunctionDescriptor& described(std::u16string_view name) {
  const FunctionDescriptor* d = table().descriptor(table().lookupNumber(name));
  EXPECT_NE(d, nullptr) << "no descriptor";
  static const FunctionDescriptor none(u"", 0, 0, 0, 0, nullptr);
  return d ? *d : none;
}

std::string narrow(std::u16string_view s) {
  return std::string(s.begin(), s.end());
}

} // namespace

TEST(FunctionTableTest, EveryRowIsReachableByNameAndNumber) {
  std::set<std::u16string> names;
  for (int n = -2; n <= FunctionTable::kSlotCount + 1; ++n) {
    const FunctionDescriptor* d = table().descriptor(n);
    if (!d) continue;
    EXPECT_TRUE(names.insert(d->name).second) << "two numbers share a name";
    SCOPED_TRACE(narrow(d->name));
    EXPECT_EQ(table().lookupNumber(d->name), n);
    EXPECT_EQ(d->name.find_first_of(u"abcdefghijklmnopqrstuvwxyz"), std::u16string::npos);
    ASSERT_NE(table().nameOf(n), nullptr);
    if (n != 480 && n != 481) {
      EXPECT_EQ(*table().nameOf(n), d->name);
    }
  }
  EXPECT_EQ(table().nameCount(), names.size() + 2); // the names and the two aliases
}

TEST(FunctionTableTest, LookupNumberIsExactAndCaseSensitive) {
  struct Case {
    std::u16string name;
    int number;
  } cases[] = {
      {u"COUNT", 0},
      {u"SUM", 4},
      {u"VLOOKUP", 102},
      {u"IFERROR", 480},
      {u"_XLFN.IFERROR", 480},
      {u"COUNTIFS", 481},
      {u"_XLFN.COUNTIFS", 481},
      {u"BETA.INV", 526},
      {u"EVALUATE", 603},
      {u"countifs", -1},
      {u"Sum", -1},
      {u"SUM ", -1},
      {std::u16string(u"SUM\0", 4), -1},
      {u"_XLFN.SUMIFS", -1},
      {u"", -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(table().lookupNumber(c.name), c.number) << narrow(c.name);
}

TEST(FunctionTableTest, NamesAndDescriptorsByNumber) {
  // The aliases sort after the plain names, so they are the names shown for 480 and 481.
  EXPECT_EQ(*table().nameOf(480), u"_XLFN.IFERROR");
  EXPECT_EQ(*table().nameOf(481), u"_XLFN.COUNTIFS");
  EXPECT_EQ(*table().nameOf(4), u"SUM");
  EXPECT_EQ(table().descriptor(480)->name, u"IFERROR");

  for (int n : {-1, 53, 477, 479, 604, INT_MIN, INT_MAX}) {
    EXPECT_EQ(table().descriptor(n), nullptr) << n;
    EXPECT_EQ(table().nameOf(n), nullptr) << n;
  }
}

TEST(FunctionTableTest, DescriptorFieldsAndDerivedBits) {
  struct Case {
    std::u16string name;
    int minArgs, maxArgs;
    char resultClass;
    int classCount;
    uint32_t flags;
  } cases[] = {
      {u"SIN", 1, 1, 'V', 1, FuncOrdinary},
      {u"SUM", 0, 30, 'V', 1, FuncOrdinary | FuncTakesReference},
      {u"ROW", 0, 1, 'V', 1, FuncOrdinary | FuncTakesReference},
      {u"MMULT", 2, 2, 'A', 2, FuncOrdinary | FuncTakesArray},
      {u"FORECAST", 3, 3, 'V', 3, FuncOrdinary | FuncTakesArray},
      {u"LINEST", 1, 4, 'A', 4, FuncOrdinary | FuncTakesReference},
      {u"INDEX", 2, 4, 'R', 4, FuncOrdinary | FuncTakesReference},
      {u"CELL", 1, 2, 'V', 2, FuncVolatile | FuncTakesReference},
      {u"INDIRECT", 1, 2, 'R', 2, FuncVolatile},
      {u"RANDBETWEEN", 2, 2, 'V', 2, FuncVolatile},
      {u"EVALUATE", 1, 1, 'V', 1, FuncSpecial},
      {u"CALL", 0, 0, 0, 0, FuncSpecial},
      {u"REGISTER.ID", 0, 0, 0, 0, FuncSpecial},
      {u"COUNTIFS", 2, 30, 'V', 60, FuncOrdinary | FuncTakesReference},
      {u"SUMIFS", 3, 30, 'V', 29, FuncOrdinary | FuncTakesReference},
      {u"ODDFYIELD", 8, 9, 'V', 9, FuncOrdinary},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(narrow(c.name));
    const FunctionDescriptor& d = described(c.name);
    EXPECT_EQ(d.minArgs, c.minArgs);
    EXPECT_EQ(d.maxArgs, c.maxArgs);
    EXPECT_EQ(d.resultClass, c.resultClass);
    EXPECT_EQ(d.classCount, c.classCount);
    EXPECT_EQ(d.flags, c.flags);
  }
  EXPECT_EQ(described(u"CALL").argClasses, nullptr);

  // The constructor scans every letter, not only the first.
  FunctionDescriptor mixed(u"X", 0, 3, FuncOrdinary, 'V', "VVN");
  EXPECT_EQ(mixed.flags, FuncOrdinary | FuncTakesReference);
  FunctionDescriptor both(u"X", 0, 3, FuncOrdinary, 'V', "VAR");
  EXPECT_EQ(both.flags, FuncOrdinary | FuncTakesReference | FuncTakesArray);
  FunctionDescriptor empty(u"X", 0, 3, FuncOrdinary, 'V', "");
  EXPECT_EQ(empty.classCount, 0);
  EXPECT_EQ(empty.flags, FuncOrdinary);
}

TEST(FunctionTableTest, ArgClassRepeatsTheLastLetterUpToMaxArgs) {
  struct Case {
    std::u16string name;
    int position;
    ArgClass expected;
  } cases[] = {
      {u"VLOOKUP", 0, ArgValue},       {u"VLOOKUP", 1, ArgReference},
      {u"VLOOKUP", 2, ArgReference},   {u"VLOOKUP", 3, ArgValue},
      {u"VLOOKUP", 4, ArgNone},        {u"VLOOKUP", -1, ArgNone},
      {u"SUM", 0, ArgReference},       {u"SUM", 29, ArgReference},
      {u"SUM", 30, ArgNone},           {u"BETADIST", 0, ArgValue},
      {u"BETADIST", 4, ArgValue},      {u"BETADIST", 5, ArgNone},
      {u"ROW", 0, ArgRefOnly},         {u"ROW", 1, ArgNone},
      {u"TRANSPOSE", 0, ArgArray},     {u"SUMIFS", 2, ArgValue},
      {u"SUMIFS", 27, ArgReference},   {u"SUMIFS", 29, ArgValue},
      {u"COUNTIFS", 28, ArgReference}, {u"COUNTIFS", 29, ArgValue},
      {u"CALL", 0, ArgNone},           {u"PI", 0, ArgNone},
  };
  for (const Case& c : cases)
    EXPECT_EQ(table().argClass(table().lookupNumber(c.name), c.position), c.expected)
        << narrow(c.name) << " at " << c.position;

  EXPECT_EQ(table().argClass(-1, 0), ArgNone);
  EXPECT_EQ(table().argClass(53, 0), ArgNone);
  EXPECT_EQ(argClass(nullptr, 0), ArgNone);
  FunctionDescriptor odd(u"X", 0, 3, FuncOrdinary, 'V', "VX");
  EXPECT_EQ(argClass(&odd, 0), ArgValue);
  EXPECT_EQ(argClass(&odd, 2), ArgNone); // an unknown letter, repeated
}

namespace {

void writeSeven(EvaluationContext&, const CalcValue* const* args, CalcValue& result) {
  int count = 0;
  while (args[count])
    ++count;
  result.setNumber(7 + count);
}

} // namespace

TEST(FunctionTableTest, InstalledRoutinesAreKnownFunctionsAndInvokeTheirRoutine) {
  std::set<std::u16string> seen;
  for (const ImplementationRow& row : implementationRows()) {
    SCOPED_TRACE(narrow(row.name));
    EXPECT_TRUE(seen.insert(row.name).second) << "registered twice";
    EXPECT_NE(table().descriptor(table().lookupNumber(row.name)), nullptr);
    const FunctionImpl* impl = table().lookupImpl(row.name);
    ASSERT_NE(impl, nullptr);
    EXPECT_EQ(impl->routine(), row.routine);
  }
  EXPECT_EQ(table().lookupImpl(u"NOSUCHFUNCTION"), nullptr);

  // A table starts without routines; the two names of a function get separate objects over one routine.
  FunctionTable local;
  EXPECT_EQ(local.lookupImpl(u"SUM"), nullptr);
  const ImplementationRow rows[] = {{u"IFERROR", writeSeven}, {u"_XLFN.IFERROR", writeSeven}};
  local.addRoutines(rows);
  const FunctionImpl* plain = local.lookupImpl(u"IFERROR");
  const FunctionImpl* alias = local.lookupImpl(u"_XLFN.IFERROR");
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(alias, nullptr);
  EXPECT_NE(plain, alias);
  EXPECT_EQ(plain->routine(), alias->routine());

  EvaluationContext context;
  CalcValue one = CalcValue::number(1);
  const CalcValue* args[] = {&one, &one, nullptr};
  CalcValue result;
  plain->invoke(context, args, result);
  EXPECT_EQ(result.integer(), 9);
  CalcValue untouched = CalcValue::text(u"NORMDIST");
  FunctionImpl(nullptr).invoke(context, args, untouched);
  EXPECT_EQ(untouched.textView(), u"NORMDIST");
}

// The rules a row gives reach its descriptor, and a volatile kind makes the cell and the host text
// volatile without a rule of its own.
TEST(FunctionTableTest, RulesAndTraits) {
  FunctionDescriptor random(u"X", 0, 0, FuncVolatile, 'V', nullptr);
  EXPECT_TRUE(random.hasTrait(TraitVolatileCell));
  EXPECT_TRUE(random.hasTrait(TraitHostVolatile));
  EXPECT_FALSE(random.hasTrait(TraitDynamicReferences));
  FunctionDescriptor plain(u"X", 1, 3, FuncOrdinary, 'V', "VVV");
  EXPECT_EQ(plain.rules.rule, EvaluationRule::Plain);
  EXPECT_EQ(plain.rules.traits, 0u);

  FunctionDescriptor offsetLike(u"X", 3, 5, FuncOrdinary, 'R', "RVVVV",
                                {.referenceOnlyArguments = 0b1, .traits = TraitDynamicReferences});
  EXPECT_TRUE(referenceOnlyArgument(&offsetLike, 0));
  EXPECT_FALSE(referenceOnlyArgument(&offsetLike, 1));
  EXPECT_FALSE(referenceOnlyArgument(&offsetLike, -1));
  EXPECT_FALSE(referenceOnlyArgument(nullptr, 0));
  FunctionDescriptor every(u"X", 0, 30, FuncOrdinary, 'V', "R", {.referenceOnlyArguments = kEveryArgument});
  EXPECT_TRUE(referenceOnlyArgument(&every, 29));
  EXPECT_FALSE(referenceOnlyArgument(&every, 32));

  // The volatile kinds and OFFSET recalculate their cells; INFO is only handed to the host as text.
  for (const char16_t* name : {u"RAND", u"NOW", u"TODAY", u"RANDBETWEEN", u"CELL", u"INDIRECT", u"OFFSET"})
    EXPECT_TRUE(described(name).hasTrait(TraitVolatileCell)) << narrow(name);
  EXPECT_FALSE(described(u"INFO").hasTrait(TraitVolatileCell));
  EXPECT_TRUE(described(u"INFO").hasTrait(TraitHostVolatile));
}

TEST(FunctionTableTest, TranslatedNamesReplaceOnlyTheShownName) {
  FunctionTable local;
  const std::u16string* shown = local.nameOf(4);
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(local.setNameOf(4, u"SUMME"));
  EXPECT_EQ(local.nameOf(4), shown); // the same string, changed in place
  EXPECT_EQ(*shown, u"SUMME");
  EXPECT_EQ(local.lookupNumber(u"SUM"), 4);
  EXPECT_EQ(local.lookupNumber(u"SUMME"), -1);
  EXPECT_EQ(local.descriptor(4)->name, u"SUM");

  EXPECT_FALSE(local.setNameOf(53, u"X"));
  EXPECT_FALSE(local.setNameOf(-1, u"X"));
  EXPECT_FALSE(local.setNameOf(604, u"X"));
  EXPECT_FALSE(local.setNameOf(4, u""));
  EXPECT_EQ(local.nameOf(53), nullptr);
  EXPECT_EQ(*local.nameOf(4), u"SUMME");
}
