// Internal faults: broken invariants inside the core. They unwind to the call
// boundary, which reports them on the standard error stream and answers with
// an "ffi" error; they never cross the C boundary.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace quillon_bo_core::runtime {

class InternalFault : public std::exception {
 public:
  InternalFault(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void fault(std::string_view message,
                        std::source_location where = std::source_location::current());

// Writes the fault report (thread, source location, message) for the
// exception being handled to the standard error stream. Call only from a
// catch block.
void report_current_fault() noexcept;

}  // namespace quillon_bo_core::runtime

// An assertion that stays on in release builds: the core is small enough that
// checking its invariants costs nothing measurable.
#define QB_ASSERT(cond)                                                         \
  do {                                                                          \
    if (!(cond)) ::quillon_bo_core::runtime::fault("assertion failed: " #cond); \
  } while (0)
