#pragma once

#include <stdexcept>
#include <string>

namespace ovaline {

// A broken invariant (a lock released twice, a poisoned mutex, a host program that
// cannot start). Expected failures are values; this is thrown only when the system
// cannot go on, and carries the assertion's text.
class InternalError : public std::runtime_error {
  public:
    explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

} // namespace ovaline
