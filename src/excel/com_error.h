// ComError: the exception that carries a failed COM call's HRESULT and, when the object supplied
// one, its error description, out of the automation layer to whoever handles the failure.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

namespace cwbk {

class ComError : public std::exception {
public:
  explicit ComError(HRESULT result, std::u16string description = {}, std::u16string source = {},
                    HRESULT exceptionCode = S_OK)
      : result_(result), exceptionCode_(exceptionCode), description_(std::move(description)),
        source_(std::move(source)) {}

  // Returns the HRESULT of the failed call.
  HRESULT result() const noexcept { return result_; }
  // Returns the code the object reported in its exception information (S_OK when it gave none).
  HRESULT exceptionCode() const noexcept { return exceptionCode_; }
  // Returns the object's description of the failure (empty when it gave none).
  const std::u16string& description() const noexcept { return description_; }
  // Returns the name of the component that raised the failure (empty when unknown).
  const std::u16string& source() const noexcept { return source_; }
  const char* what() const noexcept override { return "COM call failed"; }

private:
  HRESULT result_;
  HRESULT exceptionCode_;
  std::u16string description_;
  std::u16string source_;
};

// Raises a ComError for a failed HRESULT; takes over (and frees) the BSTRs of the exception
// information when one is given.
[[noreturn]] void throwComError(HRESULT result, EXCEPINFO* info = nullptr);

// Raises a ComError when the HRESULT is a failure.
inline void checkResult(HRESULT result) {
  if (FAILED(result)) throwComError(result);
}

} // namespace cwbk
