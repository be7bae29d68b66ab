// The core keeps no state: calls from many threads at once give exactly the
// answers of one thread. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core_ops.hpp"
#include "ffi.hpp"

namespace qb = quillon_bo_core;

namespace {

const std::pair<std::string, std::string> calls[] = {
    {"version", ""},
    {"describe", "{"},
    {"nope", "{}"},
    {"token.", ""},
    {"token.build",
     R"({"config":{"client_id":"id","client_secret":"s\u00e9cret","environment":"production"},)"
     R"("input":{"now":1700000000}})"},
    {"token.build", R"({"config":{"client_id":" "},"input":{"now":1}})"},
    {"token.build",
     R"({"config":{"client_id":"a","basic_token":"Basic abc"},"token":null,"input":[5]})"},
    {"token.parse",
     R"({"input":{"now":1000},"response":{"status":200,"body":"{\"access_token\":\"t\",\"expires_in\":120}"}})"},
    {"token.parse",
     R"({"input":{"now":1000},"response":{"status":401,"body":"{\"error\":\"denied\"}"}})"},
    {"token.parse", R"({"input":{"now":1000},"response":{"status":200,"body":"<html>"}})"},
    {"token.parse", R"([{"now":-5},[503,"  busy  "]])"},
    {"token.parse", "{\"input\":"},
};

TEST(Threads, ConcurrentCallsAgreeWithOneThread) {
  const qb::CoreOps ops;
  std::vector<std::string> expected;
  for (const auto& [op, payload] : calls) expected.push_back(qb::ffi::call(ops, op, payload));

  constexpr int thread_count = 4;
  constexpr int rounds = 300;
  std::vector<int> mismatches(thread_count, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < std::size(calls); ++i) {
          const std::size_t k = (i + static_cast<std::size_t>(t)) % std::size(calls);
          if (qb::ffi::call(ops, calls[k].first, calls[k].second) != expected[k]) ++mismatches[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < thread_count; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
