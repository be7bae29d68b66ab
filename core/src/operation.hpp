// The operation registry: which operations the core offers, and the routing
// of an operation name to the stage runner of the operation that claims it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "json.hpp"

namespace quillon_bo_core {

// The outcome of one stage, or of the whole inner work of a call.
using Outcome = Result<json::Value>;

// The description of one registry entry, as "describe" lists it.
struct OpInfo {
  struct Operation {
    std::string name;
    bool idempotent = false;
    std::optional<std::uint32_t> timeout_secs;
  };
  struct Handler {
    std::string name;
  };

  std::variant<Operation, Handler> entry;

  // {"idempotent","kind":"operation","name"[,"timeout_secs"]} or {"kind":"handler","name"}.
  json::Value to_value() const;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // Runs the stage that `op` names, or answers nullopt when no operation
  // claims the name.
  virtual std::optional<Outcome> dispatch(std::string_view op, std::string_view payload) const = 0;
  virtual std::vector<OpInfo> operations() const = 0;
};

// The stage name when `op` is `<operation>.<stage>` for this operation,
// nullopt otherwise. The stage may be empty or hold further dots.
inline std::optional<std::string_view> stage_of(std::string_view operation, std::string_view op) {
  if (op.size() <= operation.size() || op.substr(0, operation.size()) != operation ||
      op[operation.size()] != '.') {
    return std::nullopt;
  }
  return op.substr(operation.size() + 1);
}

}  // namespace quillon_bo_core
