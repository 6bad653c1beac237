#include "excel/interception.h"

namespace cwbk {

namespace {

InvocationKind kindOf(INVOKEKIND kind) {
  switch (kind) {
  case INVOKE_PROPERTYGET:
    return InvocationKind::PropertyGet;
  case INVOKE_PROPERTYPUT:
  case INVOKE_PROPERTYPUTREF:
    return InvocationKind::PropertyPut;
  default:
    return InvocationKind::Method;
  }
}

// Returns the function table of the object's interface `iid`: the first word of the interface
// pointer that the object gives for it (asked through IUnknown, as COM's identity rules require).
void** functionTable(IDispatch* object, const IID& iid) {
  IUnknown* unknown = nullptr;
  if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))) || !unknown)
    return nullptr;
  void* face = nullptr;
  const HRESULT hr = unknown->QueryInterface(iid, &face);
  unknown->Release();
  if (FAILED(hr) || !face) return nullptr;
  void** table = *static_cast<void***>(face);
  static_cast<IUnknown*>(face)->Release();
  return table;
}

} // namespace

bool& recordingProtection() {
  static bool recording = true;
  return recording;
}

bool writeSlot(void** slot, void* value) {
  DWORD previous = 0;
  if (!VirtualProtect(slot, sizeof value, PAGE_EXECUTE_READWRITE, &previous)) return false;
  SIZE_T written = 0;
  const BOOL ok = WriteProcessMemory(GetCurrentProcess(), slot, &value, sizeof value, &written);
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof value, previous, &ignored);
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof value);
  return ok && written == sizeof value;
}

void InterceptionTable::addEntry(const IID& iid, DISPID id, InvocationKind kind, void** saved,
                                 void* replacement) {
  Interface* face = nullptr;
  for (Interface& f : interfaces_)
    if (f.iid == iid) face = &f;
  if (!face) face = &interfaces_.emplace_back(Interface{iid, {}});
  face->entries[{id, kind}] = InterceptionEntry{nullptr, nullptr, saved, replacement};
}

const InterceptionEntry* InterceptionTable::find(const IID& iid, DISPID id, InvocationKind kind) const {
  for (const Interface& f : interfaces_) {
    if (f.iid != iid) continue;
    auto it = f.entries.find({id, kind});
    return it == f.entries.end() ? nullptr : &it->second;
  }
  return nullptr;
}

bool InterceptionTable::interceptObject(IDispatch* object) {
  if (!object) return false;
  ITypeInfo* info = nullptr;
  if (FAILED(object->GetTypeInfo(0, 0, &info)) || !info) return false;
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes)) || !attributes) {
    info->Release();
    return false;
  }
  const IID iid = attributes->guid;
  const UINT functions = attributes->cFuncs;
  info->ReleaseTypeAttr(attributes);

  Interface* face = nullptr;
  for (Interface& f : interfaces_)
    if (f.iid == iid) face = &f;
  if (!face) {
    info->Release();
    return false;
  }
  bool pending = false;
  for (const auto& [key, entry] : face->entries)
    pending = pending || !entry.excelFunction;
  void** table = pending ? functionTable(object, iid) : nullptr;

  for (UINT i = 0; table && i < functions; ++i) {
    FUNCDESC* description = nullptr;
    if (FAILED(info->GetFuncDesc(i, &description)) || !description) continue;
    auto found = face->entries.find({description->memid, kindOf(description->invkind)});
    const SHORT offset = description->oVft;
    info->ReleaseFuncDesc(description);
    if (found == face->entries.end() || offset < 0 || offset % sizeof(void*) != 0) continue;
    InterceptionEntry& entry = found->second;
    if (entry.excelFunction) continue;
    void** slot = table + offset / sizeof(void*);
    // A slot that already holds the replacement was left behind by an earlier load of this module:
    // taking it as Excel's function would make the replacement call itself.
    if (entry.replacement && *slot == entry.replacement) continue;
    entry.slot = slot;
    entry.excelFunction = *slot;
    if (entry.saved) *entry.saved = entry.excelFunction;
    if (entry.replacement && !writeSlot(slot, entry.replacement)) entry.slot = nullptr;
  }
  info->Release();
  return true;
}

void InterceptionTable::restoreAll() {
  for (Interface& f : interfaces_)
    for (auto& [key, entry] : f.entries)
      if (entry.slot && entry.replacement && *entry.slot == entry.replacement)
        writeSlot(entry.slot, entry.excelFunction);
}

void InterceptionTable::release() {
  restoreAll();
  for (Interface& f : interfaces_)
    for (auto& [key, entry] : f.entries)
      if (entry.saved) *entry.saved = nullptr;
  interfaces_.clear();
}

} // namespace cwbk
