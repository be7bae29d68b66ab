// The operation registry: which operations the core offers, and the routing
// of an operation name to the stage runner of the operation that claims it.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "http.hpp"
#include "json.hpp"

namespace quillon_bo_core {

// The outcome of one stage, or of the whole inner work of a call: the value
// already written as JSON text, or an Error.
using Outcome = Result<json::Text>;

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

struct Config;
struct AccessToken;

// What a build stage hands to an operation's `request`: the configuration and
// the caller's current access token, if the payload carried one, both
// borrowed from the decoded payload for the duration of the stage; and the
// stage's arena, where the texts of the request that are not constants go.
struct RequestContext {
  const Config& config;
  const AccessToken* token = nullptr;
  json::Arena& arena;
};

// A result record: written by its table, or made a JSON value by its own
// to_value() where it needs something no table says.
template <class T>
concept Writable = json::Record<T> || requires(T t) {
  { std::move(t).to_value() } -> std::same_as<json::Value>;
};

// One operation of the gateway API: a stateless type that names itself, its
// input record (the payload member "input" of both stages) and its result
// record, and turns them into a request (build stage) and a response into a
// result (parse stage). The result may borrow from the response and from the
// stage's arena, which outlive it until it is written. The stage runner
// `ffi::run<Op>` is written once against this interface; offering an
// operation is one line in `CoreOps`.
template <class Op>
concept Operation = requires(const RequestContext& context, const typename Op::Input& input,
                             const HttpResponse& response, json::Arena& arena) {
  { Op::name } -> std::convertible_to<std::string_view>;
  { Op::idempotent } -> std::convertible_to<bool>;
  { Op::timeout_secs } -> std::convertible_to<std::optional<std::uint32_t>>;
  { Op::request(context, input) } -> std::same_as<Result<HttpRequest>>;
  { Op::response(response, input, arena) } -> std::same_as<Result<typename Op::Output>>;
}
&&Writable<typename Op::Output>;

// The "describe" entry of an operation.
template <Operation Op>
OpInfo info_of() {
  return OpInfo{OpInfo::Operation{std::string(Op::name), Op::idempotent, Op::timeout_secs}};
}

}  // namespace quillon_bo_core
