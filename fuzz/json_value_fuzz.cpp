// The JSON value decoder: a result or a positioned failure; what decodes,
// written compactly, decodes again to the same value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

namespace json = quillon_bo_core::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = json::parse(text);
  auto second = json::parse(text);
  fuzz::check(first.ok() == second.ok(), "deterministic");
  if (!first.ok()) {
    fuzz::check(first.failure() == second.failure(), "deterministic failure");
    fuzz::check(first.failure().offset <= size, "failure inside the text");
    fuzz::check(!first.failure().to_text(text).empty(), "failure has a text");
    return 0;
  }
  fuzz::check(first.value() == second.value(), "deterministic value");
  const std::string written = json::to_text(first.value());
  auto again = json::parse(written);
  fuzz::check(again.ok(), "written text decodes");
  fuzz::check(again.value() == first.value(), "round trip keeps the value");
  fuzz::check(json::to_text(again.value()) == written, "writing is stable");
  fuzz::for_each_object(first.value(), [](const json::Object& o) {
    const json::Member* previous = nullptr;
    for (const auto& m : o) {
      fuzz::check(previous == nullptr || previous->name < m.name, "members sorted and unique");
      previous = &m;
    }
  });
  if (fuzz::valid_utf8(text)) fuzz::check(fuzz::valid_utf8(written), "valid UTF-8 out");
  return 0;
}
