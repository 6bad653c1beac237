// FunctionTable: the worksheet functions by number and name (arity, argument classes, result class),
// and the map from function names to the routines the library computes itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "values/calc_value.h"

namespace cwbk {

struct EvaluationContext;

// Kind bits and derived bits of FunctionDescriptor::flags.
enum FunctionFlag : uint32_t {
  FuncOrdinary = 0x01,       // every function that is neither special nor volatile
  FuncSpecial = 0x02,        // CALL, REGISTER.ID, EVALUATE
  FuncVolatile = 0x04,       // RAND, NOW, CELL, INDIRECT, TODAY, RANDBETWEEN
  FuncTakesReference = 0x08, // derived: some argument class is 'R' or 'N'
  FuncTakesArray = 0x10,     // derived: some argument class is 'A'
};

// How the evaluator prepares an argument before the call.
enum ArgClass : uint8_t {
  ArgNone = 0,      // taken as its node evaluates
  ArgValue = 1,     // 'V': one value; single-cell and line references are reduced to a cell's value
  ArgReference = 2, // 'R': references are passed whole
  ArgArray = 3,     // 'A': references and arrays are passed whole
  ArgRefOnly = 4,   // 'N': as 'R', and the reference is kept even where the node yields an array
};

// Returns the class of an argument-class letter; ArgNone for any other character.
ArgClass argClassOfLetter(char letter);

// One worksheet function: its name, arity, kind, result class and argument classes.
struct FunctionDescriptor {
  // Copies the name and derives classCount, FuncTakesReference and FuncTakesArray from argClasses
  // (null for a function without argument classes).
  FunctionDescriptor(std::u16string_view name, int16_t minArgs, int16_t maxArgs, uint32_t kind,
                     char resultClass, const char* argClasses);

  std::u16string name;    // upper case, as the compiled stream spells it
  int16_t minArgs;        // fewest arguments
  int16_t maxArgs;        // most arguments (30 for the open-ended functions)
  uint32_t flags;         // FunctionFlag bits
  char resultClass;       // 'V' value, 'R' reference, 'A' array; 0 for CALL and REGISTER.ID
  int16_t classCount;     // letters in argClasses
  const char* argClasses; // one letter per argument position (static storage), or null
};

// Returns the class of argument position i: ArgNone without a descriptor, for i outside
// [0, maxArgs) or without class letters; otherwise the letter at min(i, classCount - 1), so the last
// letter repeats for every further argument.
ArgClass argClass(const FunctionDescriptor* descriptor, int position);

// The routine of an implemented worksheet function. `args` holds the arguments, already prepared by
// their classes, and ends with a null pointer; the routine overwrites `result` (empty on entry) and
// reports failures as error values in it.
using FunctionRoutine = void (*)(EvaluationContext& context, const CalcValue* const* args, CalcValue& result);

// The callable of an implemented function, kept by call nodes for the life of the process.
class FunctionImpl {
public:
  explicit FunctionImpl(FunctionRoutine routine) : routine_(routine) {}
  virtual ~FunctionImpl() = default;
  FunctionImpl(const FunctionImpl&) = delete;
  FunctionImpl& operator=(const FunctionImpl&) = delete;

  // Calls the routine; does nothing when there is none.
  virtual void invoke(EvaluationContext& context, const CalcValue* const* args, CalcValue& result) const;
  // Returns the routine (null when there is none).
  FunctionRoutine routine() const { return routine_; }

private:
  FunctionRoutine routine_;
};

// One row of the descriptor data: a function number and its descriptor's constructor arguments.
struct FunctionRow {
  int number;
  const char16_t* name;
  int16_t minArgs;
  int16_t maxArgs;
  uint32_t kind;
  char resultClass;
  const char* argClasses;
};
// Returns the rows of every worksheet function, by ascending number.
std::span<const FunctionRow> functionRows();

// One row of the implementation map: a function name and the routine that computes it.
struct ImplementationRow {
  const char16_t* name;
  FunctionRoutine routine;
};
// Returns the rows of every function the library computes itself.
std::span<const ImplementationRow> implementationRows();

// The registry of worksheet functions: descriptors by number, numbers by name, names by number and
// implementations by name. Names are compared exactly (case-sensitive UTF-16 units).
class FunctionTable {
public:
  static constexpr int kSlotCount = 604; // function numbers 0 to 603
  static constexpr int kUnknown = -1;

  // Builds the whole table from functionRows and implementationRows, and seeds the C runtime's
  // pseudo-random generator that RAND and RANDBETWEEN use.
  FunctionTable();
  FunctionTable(const FunctionTable&) = delete;
  FunctionTable& operator=(const FunctionTable&) = delete;

  // Returns the function number of a name, or kUnknown.
  int lookupNumber(std::u16string_view name) const;
  // Returns the implementation of a name, or null when the library does not compute it.
  const FunctionImpl* lookupImpl(std::u16string_view name) const;
  // Returns the descriptor of a function number, or null for a number outside 0..603 or an empty slot.
  const FunctionDescriptor* descriptor(int number) const;
  // Returns the name shown for a function number, or null when the number has none.
  const std::u16string* nameOf(int number) const;
  // Returns the class of argument position i of function `number` (ArgNone without a descriptor).
  ArgClass argClass(int number, int position) const { return cwbk::argClass(descriptor(number), position); }

  // Returns the number of names in the name-to-number map (the functions and their aliases).
  size_t nameCount() const { return numbers_.size(); }

  // Replaces the name shown for a function number (the host's translated function names). Returns
  // false, changing nothing, for a number without a descriptor or an empty name.
  bool setNameOf(int number, std::u16string_view name);

private:
  std::vector<std::unique_ptr<FunctionDescriptor>> descriptors_;
  std::map<std::u16string, int, std::less<>> numbers_;
  std::map<int, std::u16string> names_;
  std::map<std::u16string, std::unique_ptr<FunctionImpl>, std::less<>> implementations_;
};

// Returns the process-wide table, built when the library is loaded and read-only afterwards.
const FunctionTable& functionTable();

// Replaces the name shown for a function number in the process-wide table; the one change the table
// accepts after loading (the host sends translated function names). Returns false, changing nothing,
// for a number without a descriptor or an empty name.
bool translateFunctionName(int number, std::u16string_view name);

} // namespace cwbk
