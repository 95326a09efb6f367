// Internal failures: states the invariants exclude. They travel as one C++ exception type and
// become the module's PanicException at the Python boundary; the message is fixed per failure
// and part of the observable behaviour.
#pragma once

#include <stdexcept>
#include <string>

namespace vantorelle {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw InternalFailure(message); }

// An error in what the caller asked for, found where no interpreter is at hand (the core runs
// without it): the Python boundary raises it as the built-in exception class its kind names.
class DomainError : public std::runtime_error {
 public:
  enum class Kind { Recursion, Overflow, Value, Type, Key, Runtime };
  DomainError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// Fixed messages shared by several structures.
inline constexpr const char* kAllocFailed = "assertion failed: success";
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

}  // namespace vantorelle
