// ComError raising: turns a failed HRESULT and the object's exception information into the exception.
#include "excel/com_error.h"

#include "excel/variant.h"

namespace cwbk {

void throwComError(HRESULT result, EXCEPINFO* info) {
  if (!info) throw ComError(result);
  if (info->pfnDeferredFillIn) info->pfnDeferredFillIn(info);
  std::u16string description = bstrText(info->bstrDescription);
  std::u16string source = bstrText(info->bstrSource);
  HRESULT code = info->scode   ? info->scode
                 : info->wCode ? MAKE_HRESULT(1, FACILITY_DISPATCH, info->wCode)
                               : S_OK;
  SysFreeString(info->bstrDescription);
  SysFreeString(info->bstrSource);
  SysFreeString(info->bstrHelpFile);
  *info = EXCEPINFO{};
  throw ComError(result, std::move(description), std::move(source), code);
}

} // namespace cwbk
