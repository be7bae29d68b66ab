// The record decoders: the first byte chooses the record, the rest is the
// text. Decoding is deterministic, a failure is positioned inside the text,
// and a written access token decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config.hpp"
#include "ffi.hpp"
#include "fuzz_support.hpp"
#include "http.hpp"
#include "token.hpp"

namespace qb = quillon_bo_core;
namespace json = qb::json;

namespace {

// The record borrows from `text` and `arena`.
template <class T>
json::Decoded<T> decode_twice(std::string_view text, json::Arena& arena) {
  auto first = json::decode<T>(text, arena);
  auto second = json::decode<T>(text, arena);
  fuzz::check(first.ok() == second.ok(), "deterministic");
  if (!first.ok()) {
    fuzz::check(first.failure() == second.failure(), "deterministic failure");
    fuzz::check(first.failure().offset <= text.size(), "failure inside the text");
    const std::string message = first.failure().to_text(text);
    if (fuzz::valid_utf8(text)) fuzz::check(fuzz::valid_utf8(message), "valid UTF-8 message");
  }
  return first;
}

template <class T>
void decode_only(std::string_view text) {
  json::Arena arena;
  (void)decode_twice<T>(text, arena);
}

// A body read as a view (of the text, or of the arena when it had escapes)
// is the string the value reader reads there.
void http_response(std::string_view text) {
  json::Arena arena;
  auto response = decode_twice<qb::HttpResponse>(text, arena);
  if (!response.ok()) return;
  auto value = json::parse(text);
  fuzz::check(value.ok(), "a decoded record is a JSON value");
  const json::Value* body = nullptr;
  if (const auto* object = value.value().get_if<json::Object>()) body = object->find("body");
  if (const auto* array = value.value().get_if<json::Array>()) body = &(*array)[1];
  fuzz::check(body != nullptr && body->get_if<std::string>() != nullptr, "the body is a string");
  fuzz::check(*body->get_if<std::string>() == response.value().body, "the body reads the same");
}

void access_token(std::string_view text) {
  json::Arena arena;
  auto token = decode_twice<qb::AccessToken>(text, arena);
  if (!token.ok()) return;
  const std::string written = json::to_text(json::to_value(token.value()));
  auto again = json::decode<qb::AccessToken>(written, arena);
  fuzz::check(again.ok(), "a written access token decodes");
  fuzz::check(json::to_text(json::to_value(again.value())) == written, "round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0:
      decode_only<qb::Config>(text);
      break;
    case 1:
      http_response(text);
      break;
    case 2:
      decode_only<qb::TokenInput>(text);
      break;
    case 3:
      decode_only<qb::TokenResponse>(text);
      break;
    case 4:
      access_token(text);
      break;
    case 5:
      decode_only<qb::ffi::Build<qb::TokenInput>>(text);
      break;
    default:
      decode_only<qb::ffi::Parse<qb::TokenInput>>(text);
      break;
  }
  return 0;
}
