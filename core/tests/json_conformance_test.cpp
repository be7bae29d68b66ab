// The public JSON conformance suite: accepted files decode and re-encode,
// refused files fail, the implementation-defined files give what they gave
// before, and the accepted files mutated give a value or a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "json.hpp"

namespace json_conformance_test {
namespace {

namespace json = quillon_bo_core::json;

// A record with one field, so that every other member is skipped.
struct Skipper {
  std::optional<std::string> keep;
};
constexpr auto record_table(json::Tag<Skipper>) {
  return json::record("Skipper", json::defaulted("keep", &Skipper::keep));
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The public JSON conformance suite is not part of the repository: it is read
// from QB_JSON_TEST_SUITE when set, else from the shared folder beside the
// repository; where neither exists the tests that need it are skipped.
std::filesystem::path suite_dir() {
  if (const char* dir = std::getenv("QB_JSON_TEST_SUITE"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  return std::filesystem::path(QB_SHARED_DIR) / "jsontestsuite" / "test_parsing";
}

#define QB_REQUIRE_SUITE()                                                       \
  if (!std::filesystem::is_directory(suite_dir()))                               \
  GTEST_SKIP() << "JSON conformance suite not found at " << suite_dir().string() \
               << " (set QB_JSON_TEST_SUITE)"

std::vector<std::filesystem::path> suite_files(char kind) {
  std::vector<std::filesystem::path> files;
  const std::filesystem::path dir = suite_dir();
  if (!std::filesystem::is_directory(dir)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 2 && name[0] == kind && name[1] == '_') files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(JsonConformance, AcceptedFilesDecodeAndReencode) {
  QB_REQUIRE_SUITE();
  const auto files = suite_files('y');
  ASSERT_GT(files.size(), 90u);
  for (const auto& path : files) {
    const std::string text = read_file(path);
    auto parsed = json::parse(text);
    ASSERT_TRUE(parsed.ok()) << path.filename() << ": " << parsed.failure().to_text(text);
    // Whatever decodes re-encodes to a text that decodes to the same value.
    const std::string written = json::to_text(parsed.value());
    auto again = json::parse(written);
    ASSERT_TRUE(again.ok()) << path.filename();
    EXPECT_EQ(again.value(), parsed.value()) << path.filename();
    // Skipped as an unknown member it is just as acceptable.
    EXPECT_TRUE(json::decode<Skipper>(R"({"x":)" + text + "}").ok()) << path.filename();
  }
}

TEST(JsonConformance, RefusedFilesFail) {
  QB_REQUIRE_SUITE();
  const auto files = suite_files('n');
  ASSERT_GT(files.size(), 180u);
  for (const auto& path : files) {
    const std::string text = read_file(path);
    auto parsed = json::parse(text);
    EXPECT_FALSE(parsed.ok()) << path.filename();
    if (!parsed.ok()) {
      EXPECT_LE(parsed.failure().offset, text.size()) << path.filename();
    }
  }
}

// What the implementation-defined files give; a change of behaviour shows here.
TEST(JsonConformance, ImplementationDefinedFiles) {
  QB_REQUIRE_SUITE();
  const std::map<std::string, std::string> expected = {
      {"i_number_double_huge_neg_exp.json", "ok: [123.456e-789]"},
      {"i_number_huge_exp.json",
       "ok: "
       "[0."
       "4e00669999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "999999999999999999999999999999969999999006]"},
      {"i_number_neg_int_huge_exp.json", "ok: [-1e+9999]"},
      {"i_number_pos_double_huge_exp.json", "ok: [1.5e+9999]"},
      {"i_number_real_neg_overflow.json", "ok: [-123123e100000]"},
      {"i_number_real_pos_overflow.json", "ok: [123123e100000]"},
      {"i_number_real_underflow.json", "ok: [123e-10000000]"},
      {"i_number_too_big_neg_int.json", "ok: [-123123123123123123123123123123]"},
      {"i_number_too_big_pos_int.json", "ok: [100000000000000000000]"},
      {"i_number_very_big_negative_int.json",
       "ok: [-237462374673276894279832749832423479823246327846]"},
      {"i_object_key_lone_2nd_surrogate.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_1st_surrogate_but_2nd_missing.json",
       "unexpected end of hex escape at line 1 column 9"},
      {"i_string_1st_valid_surrogate_2nd_invalid.json",
       "lone leading surrogate in hex escape at line 1 column 14"},
      {"i_string_UTF-16LE_with_BOM.json", "expected value at line 1 column 1"},
      {"i_string_UTF-8_invalid_sequence.json",
       "ok: [\"\xE6"
       "\x97"
       "\xA5"
       "\xD1"
       "\x88"
       "\xFA"
       "\"]"},
      {"i_string_UTF8_surrogate_U+D800.json",
       "ok: [\"\xED"
       "\xA0"
       "\x80"
       "\"]"},
      {"i_string_incomplete_surrogate_and_escape_valid.json",
       "unexpected end of hex escape at line 1 column 10"},
      {"i_string_incomplete_surrogate_pair.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_incomplete_surrogates_escape_valid.json",
       "lone leading surrogate in hex escape at line 1 column 14"},
      {"i_string_invalid_lonely_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_invalid_surrogate.json", "unexpected end of hex escape at line 1 column 9"},
      {"i_string_invalid_utf-8.json",
       "ok: [\"\xFF"
       "\"]"},
      {"i_string_inverted_surrogates_U+1D11E.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_iso_latin_1.json",
       "ok: [\"\xE9"
       "\"]"},
      {"i_string_lone_second_surrogate.json",
       "lone leading surrogate in hex escape at line 1 column 8"},
      {"i_string_lone_utf8_continuation_byte.json",
       "ok: [\"\x81"
       "\"]"},
      {"i_string_not_in_unicode_range.json",
       "ok: [\"\xF4"
       "\xBF"
       "\xBF"
       "\xBF"
       "\"]"},
      {"i_string_overlong_sequence_2_bytes.json",
       "ok: [\"\xC0"
       "\xAF"
       "\"]"},
      {"i_string_overlong_sequence_6_bytes.json",
       "ok: [\"\xFC"
       "\x83"
       "\xBF"
       "\xBF"
       "\xBF"
       "\xBF"
       "\"]"},
      {"i_string_overlong_sequence_6_bytes_null.json",
       "ok: [\"\xFC"
       "\x80"
       "\x80"
       "\x80"
       "\x80"
       "\x80"
       "\"]"},
      {"i_string_truncated-utf-8.json",
       "ok: [\"\xE0"
       "\xFF"
       "\"]"},
      {"i_string_utf16BE_no_BOM.json", "expected value at line 1 column 1"},
      {"i_string_utf16LE_no_BOM.json", "expected value at line 1 column 2"},
      {"i_structure_500_nested_arrays.json", "recursion limit exceeded at line 1 column 128"},
      {"i_structure_UTF-8_BOM_empty_object.json", "expected value at line 1 column 1"},
  };
  const auto files = suite_files('i');
  ASSERT_EQ(files.size(), expected.size());
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    const auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << name;
    const std::string text = read_file(path);
    auto parsed = json::parse(text);
    EXPECT_EQ(parsed.ok() ? "ok: " + json::to_text(parsed.value()) : parsed.failure().to_text(text),
              it->second)
        << name;
  }
}

TEST(JsonConformance, ArbitraryBytesGiveAValueOrAFailure) {
  // Mutated and truncated documents through both reading paths: each gives a
  // result, and a failure always lies inside the text. The sanitizer build
  // runs this too.
  std::vector<std::string> seeds;
  for (const auto& path : suite_files('y')) seeds.push_back(read_file(path));
  seeds.push_back(R"({"status":200,"body":"x\u00e9\ud83d\ude00","extra":[1,-2.5e3,{"a":null}]})");
  std::mt19937 rng(7);
  const char alphabet[] = "{}[]\":,\\ u0123456789abcdefABCDEF.eE+-tfnrl\x01\x7f\x80\xC3\xFF\n";
  std::size_t failures = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[rng() % seeds.size()];
    for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0; --edits) {
      const std::size_t at = text.empty() ? 0 : rng() % text.size();
      switch (rng() % 4) {
        case 0:
          if (!text.empty()) text[at] = alphabet[rng() % (sizeof alphabet - 1)];
          break;
        case 1:
          text.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]);
          break;
        case 2:
          if (!text.empty()) text.erase(at, 1);
          break;
        default:
          text.resize(at);
          break;
      }
    }
    auto parsed = json::parse(text);
    if (!parsed.ok()) {
      ++failures;
      ASSERT_LE(parsed.failure().offset, text.size()) << text;
      EXPECT_FALSE(parsed.failure().to_text(text).empty());
    } else {
      auto again = json::parse(json::to_text(parsed.value()));
      ASSERT_TRUE(again.ok()) << text;
      EXPECT_EQ(again.value(), parsed.value()) << text;
    }
    const std::string wrapped = R"({"x":)" + text + "}";
    auto skipped = json::decode<Skipper>(wrapped);
    if (!skipped.ok()) {
      ASSERT_LE(skipped.failure().offset, wrapped.size()) << text;
    }
  }
  EXPECT_GT(failures, 1000u);
}

}  // namespace
}  // namespace json_conformance_test
