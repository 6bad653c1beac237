// FunctionTable: builds the descriptors, the name maps and the implementation map once per process,
// and answers lookups by name and by number.
#include "functions/function_table.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "formula/formula_node.h"
#include "functions/lookup.h"
#include "functions/math.h"

namespace cwbk {

namespace {

// Second names under which a compiled stream may call a function; the number-to-name map ends up
// showing these, since they sort after the plain names.
struct AliasRow {
  const char16_t* name;
  int number;
};
constexpr AliasRow kAliasRows[] = {
    {u"_XLFN.COUNTIFS", 481},
    {u"_XLFN.IFERROR", 480},
};

} // namespace

std::span<const ImplementationRow> implementationRows() {
  // The families' own lists, one after the other. A function with two names (IFERROR and
  // _XLFN.IFERROR, COUNTIFS and _XLFN.COUNTIFS) has a row for each in its family's list.
  static const std::vector<ImplementationRow> rows = [] {
    std::vector<ImplementationRow> all;
    for (std::span<const ImplementationRow> family : {mathRoutines(), lookupRoutines(), referenceRoutines()})
      all.insert(all.end(), family.begin(), family.end());
    return all;
  }();
  return rows;
}

ArgClass argClassOfLetter(char letter) {
  switch (letter) {
  case 'V':
    return ArgValue;
  case 'R':
    return ArgReference;
  case 'A':
    return ArgArray;
  case 'N':
    return ArgRefOnly;
  default:
    return ArgNone;
  }
}

FunctionDescriptor::FunctionDescriptor(std::u16string_view name, int16_t minArgs, int16_t maxArgs,
                                       uint32_t kind, char resultClass, const char* argClasses)
    : name(name), minArgs(minArgs), maxArgs(maxArgs), flags(kind), resultClass(resultClass), classCount(0),
      argClasses(argClasses) {
  if (!argClasses) return;
  classCount = static_cast<int16_t>(std::strlen(argClasses));
  for (int16_t i = 0; i < classCount; ++i) {
    switch (argClasses[i]) {
    case 'R':
    case 'N':
      flags |= FuncTakesReference;
      break;
    case 'A':
      flags |= FuncTakesArray;
      break;
    default:
      break;
    }
  }
}

ArgClass argClass(const FunctionDescriptor* descriptor, int position) {
  if (!descriptor || position < 0 || position >= descriptor->maxArgs || descriptor->classCount <= 0 ||
      !descriptor->argClasses)
    return ArgNone;
  int letter = position < descriptor->classCount ? position : descriptor->classCount - 1;
  return argClassOfLetter(descriptor->argClasses[letter]);
}

void FunctionImpl::invoke(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) const {
  if (routine_) routine_(context, args, result);
}

FunctionTable::FunctionTable() : descriptors_(kSlotCount) {
  for (const FunctionRow& row : functionRows()) {
    if (row.number < 0 || row.number >= kSlotCount) continue;
    numbers_.insert_or_assign(std::u16string(row.name), row.number);
    descriptors_[row.number] = std::make_unique<FunctionDescriptor>(
        row.name, row.minArgs, row.maxArgs, row.kind, row.resultClass, row.argClasses);
  }
  for (const AliasRow& alias : kAliasRows)
    numbers_.insert_or_assign(std::u16string(alias.name), alias.number);

  for (const ImplementationRow& row : implementationRows())
    implementations_.insert_or_assign(std::u16string(row.name), std::make_unique<FunctionImpl>(row.routine));

  // In ascending name order, so an alias that sorts after its plain name is the name shown.
  for (const auto& [name, number] : numbers_)
    if (number != kUnknown) names_.insert_or_assign(number, name);

  std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(std::clock()));
}

int FunctionTable::lookupNumber(std::u16string_view name) const {
  auto it = numbers_.find(name);
  return it == numbers_.end() ? kUnknown : it->second;
}

const FunctionImpl* FunctionTable::lookupImpl(std::u16string_view name) const {
  auto it = implementations_.find(name);
  return it == implementations_.end() ? nullptr : it->second.get();
}

const FunctionDescriptor* FunctionTable::descriptor(int number) const {
  if (number < 0 || number >= kSlotCount) return nullptr;
  return descriptors_[number].get();
}

const std::u16string* FunctionTable::nameOf(int number) const {
  auto it = names_.find(number);
  return it == names_.end() ? nullptr : &it->second;
}

bool FunctionTable::setNameOf(int number, std::u16string_view name) {
  if (!descriptor(number) || name.empty()) return false;
  // Assigned in place: callers may hold the pointer that nameOf gave.
  names_[number].assign(name);
  return true;
}

namespace {

FunctionTable& processTable() {
  static FunctionTable table;
  return table;
}

// Builds the table while the library loads, before any compiled workbook is read.
[[maybe_unused]] const FunctionTable& loadTimeTable = processTable();

} // namespace

const FunctionTable& functionTable() {
  return processTable();
}

bool translateFunctionName(int number, std::u16string_view name) {
  return processTable().setNameOf(number, name);
}

} // namespace cwbk
