// A scope guard for the runtime's Excel state: what a command switched off is put back on every path.
#pragma once

namespace cwbk {

// Runs `end` when the scope is left, however it is left; a failure of `end` is swallowed.
template <class F> struct AtExit {
  F end;
  ~AtExit() {
    try {
      end();
    } catch (...) {
    }
  }
};
template <class F> AtExit(F) -> AtExit<F>;

} // namespace cwbk
