// FunctionTable: the worksheet functions by number and name (arity, argument classes, result class and
// the evaluation rules the engine applies to a call), and the map from function names to the routines
// that compute them. The formula layer owns the table; the function library fills in the routines
// (installFunctionRoutines), as the host fills in the host interface.
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

// The function numbers that code names; everything else about a function is a column of its row.
enum FunctionNumber : int {
  FnIferror = 480,  // also called _XLFN.IFERROR
  FnCountifs = 481, // also called _XLFN.COUNTIFS
};

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

// How a call evaluates its arguments before the routine runs.
enum class EvaluationRule : uint8_t {
  Plain,            // every argument in the call's context (or as arrayArguments says), prepared by class
  If,               // only the condition and the branch it picks; element by element over an array
                    // condition although the branches take references
  Lookup,           // the vector form's result vector (a computed one) in array context
  Index,            // the first argument is an area, a union whose member the area number picks, or an
                    // array whose every further argument is a value
  ReferenceOrArray, // the first argument as a reference when it is one, else evaluated as an array
  Once,             // invoked once with its arguments whole, never element by element
};

// Facts about a function that the compiler, the linker and the host hand-offs act on.
enum FunctionTrait : uint32_t {
  TraitVolatileCell = 0x01,          // a cell whose formula calls it is recalculated every time
  TraitDynamicReferences = 0x02,     // its result is a reference that is collected after each evaluation
  TraitSubtotal = 0x04,              // SUBTOTAL and its kin skip the cells whose formulas call it
  TraitHostVolatile = 0x08,          // handed to the host by its formula text, never by its value
  TraitChoosesArgument = 0x10,       // its result is one of its arguments: a line argument meets the
                                     // formula's row or column as the formula itself would
  TraitPlainArgumentsInArray = 0x20, // evaluates its arguments in their own context even in array context
};

// Selects every argument position in a bit mask of positions.
constexpr uint32_t kEveryArgument = ~uint32_t(0);

// The engine's rules for the calls of one function; a plain function has the defaults.
struct FunctionRules {
  EvaluationRule rule = EvaluationRule::Plain;
  // Bit i: argument i is evaluated in array context even outside array formulas.
  uint32_t arrayArguments = 0;
  // Bit i: argument i is used as a reference only; the formula does not read the cells it names.
  uint32_t referenceOnlyArguments = 0;
  // Bit i: in an array formula, or given an array, argument i is taken element by element although the
  // function takes references or arrays elsewhere; the arguments not selected are passed whole. A
  // function whose mask is empty follows its argument classes.
  uint32_t elementwiseArguments = 0;
  uint32_t traits = 0; // FunctionTrait bits
  // One character per argument position: what an omitted argument stands for. '.' itself, '0' or '1'
  // that number, 'T' or 'F' that Boolean, '|' the argument list ends before it. Null: nothing replaced.
  const char* omitted = nullptr;
};

// One worksheet function: its name, arity, kind, result class and argument classes.
struct FunctionDescriptor {
  // Copies the name and derives classCount, FuncTakesReference and FuncTakesArray from argClasses
  // (null for a function without argument classes).
  // (null for a function without argument classes). A volatile kind adds TraitVolatileCell and
  // TraitHostVolatile to the rules' traits.
  FunctionDescriptor(std::u16string_view name, int16_t minArgs, int16_t maxArgs, uint32_t kind,
                     char resultClass, const char* argClasses, const FunctionRules& rules = {});

  std::u16string name;    // upper case, as the compiled stream spells it
  int16_t minArgs;        // fewest arguments
  int16_t maxArgs;        // most arguments (30 for the open-ended functions)
  uint32_t flags;         // FunctionFlag bits
  char resultClass;       // 'V' value, 'R' reference, 'A' array; 0 for CALL and REGISTER.ID
  int16_t classCount;     // letters in argClasses
  const char* argClasses; // one letter per argument position (static storage), or null
  FunctionRules rules;

  bool hasTrait(uint32_t trait) const { return (rules.traits & trait) != 0; }
  // Returns true when argument `position` is selected by `mask`.
  static bool selects(uint32_t mask, int position) {
    return position >= 0 && position < 32 && ((mask >> position) & 1) != 0;
  }
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

// One row of the descriptor data: a function number and its descriptor's constructor arguments; the
// rules default to those of a plain function.
struct FunctionRow {
  int number;
  const char16_t* name;
  int16_t minArgs;
  int16_t maxArgs;
  uint32_t kind;
  char resultClass;
  const char* argClasses;
  FunctionRules rules = {};
};
// Returns the rows of every worksheet function, by ascending number.
std::span<const FunctionRow> functionRows();

// One row of the implementation map: a function name and the routine that computes it.
struct ImplementationRow {
  const char16_t* name;
  FunctionRoutine routine;
};

// The registry of worksheet functions: descriptors by number, numbers by name, names by number and
// implementations by name. Names are compared exactly (case-sensitive UTF-16 units).
class FunctionTable {
public:
  static constexpr int kSlotCount = 604; // function numbers 0 to 603
  static constexpr int kUnknown = -1;

  // Builds the descriptors and name maps from functionRows; no function has a routine yet.
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
  // Adds (or replaces) the routines of the given names.
  void addRoutines(std::span<const ImplementationRow> rows);

private:
  std::vector<std::unique_ptr<FunctionDescriptor>> descriptors_;
  std::map<std::u16string, int, std::less<>> numbers_;
  std::map<int, std::u16string> names_;
  std::map<std::u16string, std::unique_ptr<FunctionImpl>, std::less<>> implementations_;
};

// Returns the process-wide table, built when the library is loaded; after the routines are installed
// only translated names change it.
const FunctionTable& functionTable();

// Gives the process-wide table the routines of the given names. The function library installs its
// routines this way before any workbook is loaded: a call node takes its routine when it is built.
void installFunctionRoutines(std::span<const ImplementationRow> rows);

// Returns true when argument `position` of a call to `descriptor` (null: an unknown function) is used
// only as a reference, so the formula does not read the cells it names.
bool referenceOnlyArgument(const FunctionDescriptor* descriptor, int position);

// Replaces the name shown for a function number in the process-wide table; the one change the table
// accepts after loading (the host sends translated function names). Returns false, changing nothing,
// for a number without a descriptor or an empty name.
bool translateFunctionName(int number, std::u16string_view name);

} // namespace cwbk
