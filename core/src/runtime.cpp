#include "runtime.hpp"

#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>
#include <typeinfo>

namespace quillon_bo_core::runtime {

void fault(std::string_view message, std::source_location where) {
  throw InternalFault(std::string(message), where);
}

namespace {

std::string thread_name() {
  std::ostringstream id;
  id << std::this_thread::get_id();
  return id.str();
}

void write_report(const char* where, const char* message) {
  // One fprintf call, so that reports from several threads do not interleave.
  std::fprintf(stderr, "quillon_bo core: thread %s faulted at %s:\n%s\n", thread_name().c_str(),
               where, message);
  std::fflush(stderr);
}

}  // namespace

void report_current_fault() noexcept {
  try {
    try {
      throw;
    } catch (const InternalFault& f) {
      const auto& w = f.where();
      const std::string where = std::string(w.file_name()) + ":" + std::to_string(w.line()) + ":" +
                                std::to_string(w.column()) + " in " + w.function_name();
      write_report(where.c_str(), f.what());
    } catch (const std::exception& e) {
      const std::string message = std::string(typeid(e).name()) + ": " + e.what();
      write_report("an unknown location", message.c_str());
    } catch (...) {
      write_report("an unknown location", "a foreign exception");
    }
  } catch (...) {
    // The report itself could not be made (no memory for its text): say what
    // can be said without allocating.
    std::fputs("quillon_bo core: a fault occurred and its report could not be written\n", stderr);
  }
}

}  // namespace quillon_bo_core::runtime
