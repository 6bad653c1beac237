// Interception of Excel members: the runtime writes its own functions into chosen slots of Excel's
// interface function tables (the tables that every object of an interface shares) and keeps Excel's
// functions, so that Excel's own members reach the runtime while the runtime can still call Excel's
// code. Entries without a replacement only keep Excel's function.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace cwbk {

// How a member is invoked, as the type information's function descriptions say.
enum class InvocationKind : uint8_t { Method = 1, PropertyGet = 2, PropertyPut = 4 };

struct InterceptionEntry {
  void** slot = nullptr;         // the function-table slot found for the member
  void* excelFunction = nullptr; // Excel's function read from the slot
  void** saved = nullptr;        // the process-wide variable that receives excelFunction (may be null)
  void* replacement = nullptr;   // the runtime's function, or null when the member is only recorded
};

class InterceptionTable {
public:
  // Registers a member of an interface. `saved` points at a function-pointer variable.
  template <class F> void add(const IID& iid, DISPID id, InvocationKind kind, F* saved, F replacement) {
    addEntry(iid, id, kind, reinterpret_cast<void**>(saved), reinterpret_cast<void*>(replacement));
  }
  template <class F> void record(const IID& iid, DISPID id, InvocationKind kind, F* saved) {
    addEntry(iid, id, kind, reinterpret_cast<void**>(saved), nullptr);
  }
  void addEntry(const IID& iid, DISPID id, InvocationKind kind, void** saved, void* replacement);

  // Patches the function table of the object's interface, as its type information describes it: each
  // registered member's slot is found, Excel's function taken (once: a second object of the interface
  // changes nothing) and the replacement written. Returns false, changing nothing, for an object
  // without type information or of an interface that is not registered.
  bool interceptObject(IDispatch* object);
  // Writes Excel's function back into every slot that still holds the runtime's replacement. Must run
  // before the module unloads: a slot left pointing into it would crash Excel at its next call.
  void restoreAll();
  // Restores every slot, clears the saved variables and forgets the table.
  void release();

  // Returns the entry of a member (null when it is not registered).
  const InterceptionEntry* find(const IID& iid, DISPID id, InvocationKind kind) const;

private:
  struct Interface {
    IID iid;
    std::map<std::pair<DISPID, InvocationKind>, InterceptionEntry> entries;
  };
  std::vector<Interface> interfaces_;
};

// While set (the default), the Unprotect replacements record a successful unprotection of a sheet of
// the application's workbook; the runtime's own unprotection runs with it cleared (ProtectionQuiet).
bool& recordingProtection();
struct ProtectionQuiet {
  bool before = recordingProtection();
  ProtectionQuiet() { recordingProtection() = false; }
  ~ProtectionQuiet() { recordingProtection() = before; }
};

// Writes a pointer into a slot of a read-only function table of this process (the page's protection
// is lifted for the write and put back). Returns false when the write fails.
bool writeSlot(void** slot, void* value);

} // namespace cwbk
