#include "core_ops.hpp"

namespace quillon_bo_core {

namespace {

// Placeholder stage runner for the token operation until its stages land.
Outcome token_stage(std::string_view stage, std::string_view /*payload*/) {
  return Error{Error::Ffi{"unknown stage `" + std::string(stage) + "` for `token`"}};
}

}  // namespace

std::optional<Outcome> CoreOps::dispatch(std::string_view op, std::string_view payload) const {
  if (auto stage = stage_of("token", op)) return token_stage(*stage, payload);
  return std::nullopt;
}

std::vector<OpInfo> CoreOps::operations() const {
  return {OpInfo{OpInfo::Operation{"token", true, std::nullopt}}};
}

}  // namespace quillon_bo_core
