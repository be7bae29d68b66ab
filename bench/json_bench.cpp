// Throughput of the JSON reader on two 1 MiB texts, beside RapidJSON's
// validating SAX reader and simdjson's DOM parser on the same texts in the
// same run. Prints the usual Google Benchmark table, then a summary in MB/s
// with our figures as ratios to the others.
//
//   mixed: {"status":200,"body":"ok","extra":<~1 MiB of mixed JSON>} decoded
//          as a record of status and body, so "extra" is skipped whole;
//   string: {"status":200,"body":"<~1 MiB string with escapes>"} decoded as
//          the same record, so the body is decoded into a std::string.
#include <benchmark/benchmark.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <simdjson.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "http.hpp"
#include "json.hpp"

namespace {

namespace json = quillon_bo_core::json;

// The record of a parse stage's response, {"status","body"}.
using quillon_bo_core::HttpResponse;

constexpr std::size_t target_size = 1 << 20;

// Records of the shape an API answers with: names, texts with escapes and
// non-ASCII letters, integers and decimals, nested arrays and objects.
std::string mixed_text() {
  std::mt19937 rng(42);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const char* const words[] = {
      "alpha",        "beta",           "gamma",          "delta",      "caf\xC3\xA9",
      "na\xC3\xAFve", "\\\"quoted\\\"", "line\\nbreak",   "tab\\there", "\\u00e9t\\u00e9",
      "path\\/to",    "\u20ac42",       "\\ud83d\\ude00", "lorem",      "ipsum",
      "dolor"};
  auto text = [&](int words_count) {
    std::string s = "\"";
    for (int i = 0; i < words_count; ++i) {
      if (i) s += ' ';
      s += words[pick(16)];
    }
    return s + "\"";
  };
  std::string out = R"({"status":200,"body":"ok","extra":[)";
  for (int n = 0; out.size() < target_size - 400; ++n) {
    if (n) out += ',';
    out += R"({"id":)" + std::to_string(100000 + pick(900000));
    out += R"(,"name":)" + text(2 + pick(3));
    out += R"(,"score":)" + std::to_string(pick(2000) - 1000) + "." + std::to_string(pick(100));
    out += R"(,"ratio":)" + std::to_string(pick(1000)) + "e-" + std::to_string(pick(9));
    out += R"(,"active":)" + std::string(pick(2) ? "true" : "false");
    out += R"(,"parent":null,"tags":[)";
    for (int t = pick(4); t >= 0; --t) out += text(1) + (t ? "," : "");
    out += R"(],"address":{"street":)" + text(3) + R"(,"zip":")" +
           std::to_string(10000 + pick(89999)) + R"(","geo":[)" + std::to_string(pick(180)) + "." +
           std::to_string(pick(1000000)) + ",-" + std::to_string(pick(90)) + "." +
           std::to_string(pick(1000000)) + "]}";
    out += R"(,"history":[[1,2,3],[{"at":)" + std::to_string(1700000000 + pick(10000000)) +
           R"(,"what":)" + text(4) + "}]]}";
  }
  return out + "]}";
}

// Mostly prose, with an escape every so often as real bodies have them.
std::string string_text() {
  std::mt19937 rng(7);
  std::string body;
  static const char* const pieces[] = {"The quick brown fox jumps over the lazy dog. ",
                                       "Lorem ipsum dolor sit amet, consectetur adipiscing elit. ",
                                       "caf\u00e9 cr\u00e8me br\u00fbl\u00e9e ",
                                       "\\n",
                                       "\\\"",
                                       "\\t",
                                       "\\u00e9",
                                       "\\\\"};
  while (body.size() < target_size - 64) {
    const unsigned k = rng() % 16;
    body += pieces[k < 3 ? k : (k < 12 ? k % 3 : k - 9)];
  }
  return R"({"status":200,"body":")" + body + "\"}";
}

const std::string& mixed() {
  static const std::string text = mixed_text();
  return text;
}
const std::string& big_string() {
  static const std::string text = string_text();
  return text;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "benchmark input rejected by %s\n", what);
    std::abort();
  }
}

void ours_record(benchmark::State& state, const std::string& text) {
  json::Arena checked;
  check(json::decode<HttpResponse>(text, checked).ok(), "the record decoder");
  for (auto _ : state) {
    json::Arena arena;
    auto decoded = json::decode<HttpResponse>(text, arena);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void ours_value(benchmark::State& state, const std::string& text) {
  check(json::parse(text).ok(), "the value reader");
  for (auto _ : state) {
    auto parsed = json::parse(text);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

template <unsigned Flags>
void rapidjson_sax(benchmark::State& state, const std::string& text) {
  auto run = [&] {
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    return !reader.Parse<Flags>(stream, handler).IsError();
  };
  check(run(), "RapidJSON");
  for (auto _ : state) benchmark::DoNotOptimize(run());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void simdjson_dom(benchmark::State& state, const std::string& text) {
  const simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  check(parser.parse(padded).error() == simdjson::SUCCESS, "simdjson");
  for (auto _ : state) {
    auto doc = parser.parse(padded);
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

constexpr unsigned rapid_syntax = rapidjson::kParseDefaultFlags;
constexpr unsigned rapid_utf8 = rapidjson::kParseValidateEncodingFlag;

// Keeps each run's rate for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value / 1e6;
    }
  }
  std::map<std::string, double> rates;
};

void print_summary(const std::map<std::string, double>& rates) {
  auto rate = [&](const std::string& name) {
    const auto it = rates.find(name);
    return it == rates.end() ? 0.0 : it->second;
  };
  std::printf(
      "\nMB/s (1 MB = 10^6 bytes)            ours  RapidJSON  RapidJSON+UTF-8  simdjson"
      "   ours/Rapid  ours/simdjson\n");
  for (const char* input : {"mixed", "string"}) {
    const std::string in = input;
    const double ours = rate("record/" + in);
    const double rapid = rate("rapidjson/" + in);
    const double rapid_utf8_rate = rate("rapidjson_utf8/" + in);
    const double simd = rate("simdjson/" + in);
    std::printf("%-6s record (%7zu bytes)     %7.0f  %9.0f  %15.0f  %8.0f   %9.2fx  %12.2fx\n",
                input, in == "mixed" ? mixed().size() : big_string().size(), ours, rapid,
                rapid_utf8_rate, simd, rapid > 0 ? ours / rapid : 0, simd > 0 ? ours / simd : 0);
  }
  std::printf("mixed  as a JSON value            %7.0f\n", rate("value/mixed"));
  std::printf("simdjson kernel: %s\n", simdjson::get_active_implementation()->name().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  struct Input {
    const char* name;
    const std::string& text;
  };
  for (const Input& in : {Input{"mixed", mixed()}, Input{"string", big_string()}}) {
    const std::string n = in.name;
    benchmark::RegisterBenchmark(("record/" + n).c_str(), ours_record, in.text);
    benchmark::RegisterBenchmark(("rapidjson/" + n).c_str(), rapidjson_sax<rapid_syntax>, in.text);
    benchmark::RegisterBenchmark(("rapidjson_utf8/" + n).c_str(), rapidjson_sax<rapid_utf8>,
                                 in.text);
    benchmark::RegisterBenchmark(("simdjson/" + n).c_str(), simdjson_dom, in.text);
  }
  benchmark::RegisterBenchmark("value/mixed", ours_value, mixed());
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_summary(reporter.rates);
  benchmark::Shutdown();
  return 0;
}
