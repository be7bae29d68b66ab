#include "core_ops.hpp"

#include "ffi.hpp"
#include "token.hpp"

namespace quillon_bo_core {

namespace {

// The operations the core offers, in "describe" order. Offering another one
// is one more type in this list.
template <Operation... Ops>
struct Offered {
  // The stage runner of the operation that claims `op`, if any does.
  static std::optional<Outcome> dispatch(std::string_view op, std::string_view payload) {
    std::optional<Outcome> outcome;
    ((outcome = claim<Ops>(op, payload)) || ...);
    return outcome;
  }
  static std::vector<OpInfo> operations() { return {info_of<Ops>()...}; }

 private:
  template <Operation Op>
  static std::optional<Outcome> claim(std::string_view op, std::string_view payload) {
    if (auto stage = stage_of(Op::name, op)) return ffi::run<Op>(*stage, payload);
    return std::nullopt;
  }
};

using Operations = Offered<Token>;

}  // namespace

std::optional<Outcome> CoreOps::dispatch(std::string_view op, std::string_view payload) const {
  return Operations::dispatch(op, payload);
}

std::vector<OpInfo> CoreOps::operations() const { return Operations::operations(); }

}  // namespace quillon_bo_core
