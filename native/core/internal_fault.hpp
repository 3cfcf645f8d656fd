#pragma once
// A broken invariant (for example a field index that escaped validation). Never
// used for expected failures: those are returned as values. The Python boundary
// catches every exception and reports it as an internal error.
#include <stdexcept>

namespace sarnic {

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn, gnu::cold]] inline void internal_fault(const char* what) { throw InternalFault(what); }

}  // namespace sarnic
