// The call boundary: any op and payload give one compact envelope.
// Input: the first byte is the length of the op (modulo what is left), then
// the op, then the payload.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core_ops.hpp"
#include "ffi.hpp"
#include "fuzz_support.hpp"

namespace json = quillon_bo_core::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t op_size = data[0] % (bytes.size() + 1);
  const std::string_view op = bytes.substr(0, op_size), payload = bytes.substr(op_size);

  const quillon_bo_core::CoreOps ops;
  const std::string result = quillon_bo_core::ffi::call(ops, op, payload);
  fuzz::check(quillon_bo_core::ffi::call(ops, op, payload) == result, "deterministic");

  auto parsed = json::parse(result);
  fuzz::check(parsed.ok(), "the result is JSON");
  // Written again, the value gives the same bytes: the result was compact, its
  // members sorted at every level and its strings escaped the one way.
  fuzz::check(json::to_text(parsed.value()) == result, "compact, sorted, canonical");

  const auto* envelope = parsed.value().get_if<json::Object>();
  fuzz::check(envelope != nullptr && envelope->size() == 2, "envelope has two members");
  const auto* ok = envelope->find("ok");
  fuzz::check(ok != nullptr && ok->is<bool>(), "envelope has ok");
  if (*ok->get_if<bool>()) {
    fuzz::check(envelope->find("value") != nullptr, "success has value");
  } else {
    const auto* error = envelope->find("error");
    fuzz::check(error != nullptr && error->is<json::Object>(), "failure has an error object");
    const auto& e = *error->get_if<json::Object>();
    const auto* kind = e.find("kind");
    const auto* message = e.find("message");
    const auto* retryable = e.find("retryable");
    fuzz::check(kind && kind->is<std::string>() && message && message->is<std::string>(),
                "error has kind and message");
    fuzz::check(retryable && retryable->is<bool>(), "error has retryable");
    fuzz::check(!*retryable->get_if<bool>() || *kind->get_if<std::string>() == "api",
                "only api errors may be retried");
  }
  if (fuzz::valid_utf8(op) && fuzz::valid_utf8(payload)) {
    fuzz::check(fuzz::valid_utf8(result), "valid UTF-8 in, valid UTF-8 out");
  }
  return 0;
}
