// The call boundary: operation name and JSON payload in, result envelope out.
#pragma once

#include <string>
#include <string_view>

#include "operation.hpp"

namespace quillon_bo_core {

// The core's version constants, shared by "version" and the Python module.
inline constexpr std::string_view core_version = "0.1.0";
inline constexpr int protocol_version = 2;

namespace ffi {

// Answers "describe" and "version", hands every other name to the registry,
// traps internal faults, and returns the envelope as compact JSON text:
// {"ok":true,"value":...} or {"error":{...,"retryable":...},"ok":false}.
// Never throws for a fault of the inner work; memory exhaustion aborts.
std::string call(const Registry& registry, std::string_view op, std::string_view payload);

}  // namespace ffi
}  // namespace quillon_bo_core
