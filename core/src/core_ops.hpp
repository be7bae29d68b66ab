// The registry of the core's operations.
#pragma once

#include "operation.hpp"

namespace quillon_bo_core {

class CoreOps final : public Registry {
 public:
  std::optional<Outcome> dispatch(std::string_view op, std::string_view payload) const override;
  std::vector<OpInfo> operations() const override;
};

}  // namespace quillon_bo_core
