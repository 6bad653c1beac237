#include "excel_double/dual_interface.h"

#include <atomic>

namespace cwbk::testing {

namespace {

// The parts of ITypeInfo that describe an interface's functions; everything else is not implemented.
class DualTypeInfo final : public ITypeInfo {
public:
  DualTypeInfo(const IID& iid, const std::vector<DualMember>& members) : iid_(iid), members_(members) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ITypeInfo) {
      *object = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attributes) override {
    if (!attributes) return E_POINTER;
    auto* a = new TYPEATTR{};
    a->guid = iid_;
    a->typekind = TKIND_DISPATCH;
    a->cFuncs = static_cast<WORD>(members_.size() + 1);
    a->cbSizeVft = 7 * sizeof(void*);
    a->wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE;
    a->memidConstructor = MEMBERID_NIL;
    a->memidDestructor = MEMBERID_NIL;
    *attributes = a;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* attributes) override { delete attributes; }

  // Function 0 is IDispatch::Invoke; the members with slots follow.
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** description) override {
    if (!description) return E_POINTER;
    if (index > members_.size()) return TYPE_E_ELEMENTNOTFOUND;
    auto* f = new FUNCDESC{};
    f->funckind = FUNC_DISPATCH;
    f->callconv = CC_STDCALL;
    if (index == 0) {
      f->memid = kInvokeMemberId;
      f->invkind = INVOKE_FUNC;
      f->oVft = kInvokeSlotOffset;
    } else {
      const DualMember& m = members_[index - 1];
      f->memid = m.id;
      f->invkind = m.kind;
      f->oVft = static_cast<SHORT>(m.offset);
    }
    *description = f;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* description) override { delete description; }

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR*, UINT, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR*, UINT, MEMBERID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID, BSTR*, BSTR*, DWORD*, BSTR*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib**, UINT*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

private:
  IID iid_;
  const std::vector<DualMember>& members_;
  std::atomic<ULONG> references_{1};
};

} // namespace

ITypeInfo* makeDualTypeInfo(const IID& iid, const std::vector<DualMember>& members) {
  return new DualTypeInfo(iid, members);
}

const DualMember* findDualMember(const std::vector<DualMember>& members, DISPID id, WORD flags) {
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  for (const DualMember& m : members) {
    if (m.id != id) continue;
    if (put ? m.kind == INVOKE_PROPERTYPUT
            : (m.kind == INVOKE_FUNC && (flags & DISPATCH_METHOD)) ||
                  (m.kind == INVOKE_PROPERTYGET && (flags & DISPATCH_PROPERTYGET)))
      return &m;
  }
  return nullptr;
}

} // namespace cwbk::testing
