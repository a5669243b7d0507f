// Encoding and decoding speed of messages, against memcpy of the same size in the same run;
// and the escaping paths on their own, the vector one against the portable one.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "LumarixSocketStr.h"
#include "message/escape.h"

namespace {

constexpr std::size_t kValueSize = 512 * 1024;

// Text shaped like C++ source: short lines, indentation, punctuation, the odd tab.
std::string SourceText() {
  static const char* lines[] = {
      "#include <vector>\n", "int main(int argc, char** argv) {\n", "  std::vector<int> v(argc);\n",
      "\tfor (int i = 0; i < argc; ++i) v[i] = i * i;\n", "  return v.empty() ? 0 : v.back() % 7;\n", "}\n", "\n",
      "// a comment that runs on for a while, as comments in contest code tend to do\n"};
  std::string text;
  for (std::size_t i = 0; text.size() < kValueSize; ++i) text += lines[(i * 5 + i / 3) % 8];
  text.resize(kValueSize);
  return text;
}

std::string RandomBytes() {
  std::mt19937 random(12345);
  std::string text(kValueSize, '\0');
  for (char& c : text) c = static_cast<char>(random() & 0xFF);
  return text;
}

lumarix::TMessagePart* Request(const std::string& contents) {
  lumarix::TMessagePart* head = nullptr;
  lumarix::AddPart(head, "ID", "team05_12345_12:00:00_Print");
  lumarix::AddPart(head, "Team", "team05");
  lumarix::AddPart(head, "Password", "secret");
  lumarix::AddPart(head, "Contents", contents);
  lumarix::AddPart(head, "Filename", "a.cpp");
  return head;
}

void Gather(benchmark::State& state, const std::string& contents) {
  lumarix::TMessagePart* head = Request(contents);
  for (auto _ : state) benchmark::DoNotOptimize(lumarix::GatherMsg(head));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * contents.size()));
  lumarix::FreeMsg(head);
}

void Parse(benchmark::State& state, const std::string& contents) {
  lumarix::TMessagePart* head = Request(contents);
  std::string text = lumarix::GatherMsg(head);
  lumarix::FreeMsg(head);
  for (auto _ : state) {
    lumarix::TMessagePart* parsed = lumarix::ParseMsg(text);
    benchmark::DoNotOptimize(parsed);
    lumarix::FreeMsg(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * contents.size()));
}

void BM_Memcpy(benchmark::State& state) {
  std::string source = SourceText();
  std::string target(source.size(), '\0');
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

const std::string& Source() {
  static const std::string text = SourceText();
  return text;
}
const std::string& Random() {
  static const std::string text = RandomBytes();
  return text;
}

void BM_GatherMsg_source(benchmark::State& state) { Gather(state, Source()); }
void BM_ParseMsg_source(benchmark::State& state) { Parse(state, Source()); }
void BM_GatherMsg_random(benchmark::State& state) { Gather(state, Random()); }
void BM_ParseMsg_random(benchmark::State& state) { Parse(state, Random()); }

// One escaping path on the value alone, into a buffer made once.
template <class Write>
void Encode(benchmark::State& state, const std::string& value, Write write) {
  std::string out(lumarix::escape::MostEscapedSize(value.size()) + lumarix::escape::kOutputSlack, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(value, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * value.size()));
}

template <class Write, class Unescape>
void Decode(benchmark::State& state, const std::string& value, Write write, Unescape unescape) {
  std::string raw(lumarix::escape::MostEscapedSize(value.size()) + lumarix::escape::kOutputSlack, '\0');
  raw.resize(static_cast<std::size_t>(write(value, raw.data()) - raw.data()));
  std::string out(raw.size() + lumarix::escape::kOutputSlack, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(unescape(raw, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * value.size()));
}

namespace portable = lumarix::escape::portable;
void BM_Escape_portable_source(benchmark::State& state) { Encode(state, Source(), portable::WriteEscaped); }
void BM_Escape_portable_random(benchmark::State& state) { Encode(state, Random(), portable::WriteEscaped); }
void BM_Unescape_portable_source(benchmark::State& state) {
  Decode(state, Source(), portable::WriteEscaped, portable::Unescape);
}
void BM_Unescape_portable_random(benchmark::State& state) {
  Decode(state, Random(), portable::WriteEscaped, portable::Unescape);
}
#if defined(LUMARIX_ESCAPE_SSE2)
namespace sse2 = lumarix::escape::sse2;
void BM_Escape_sse2_source(benchmark::State& state) { Encode(state, Source(), sse2::WriteEscaped); }
void BM_Escape_sse2_random(benchmark::State& state) { Encode(state, Random(), sse2::WriteEscaped); }
void BM_Unescape_sse2_source(benchmark::State& state) { Decode(state, Source(), sse2::WriteEscaped, sse2::Unescape); }
void BM_Unescape_sse2_random(benchmark::State& state) { Decode(state, Random(), sse2::WriteEscaped, sse2::Unescape); }
#endif

}  // namespace

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_GatherMsg_source)->Name("BM_GatherMsg/source");
BENCHMARK(BM_ParseMsg_source)->Name("BM_ParseMsg/source");
BENCHMARK(BM_GatherMsg_random)->Name("BM_GatherMsg/random");
BENCHMARK(BM_ParseMsg_random)->Name("BM_ParseMsg/random");
BENCHMARK(BM_Escape_portable_source)->Name("BM_Escape/portable/source");
BENCHMARK(BM_Unescape_portable_source)->Name("BM_Unescape/portable/source");
BENCHMARK(BM_Escape_portable_random)->Name("BM_Escape/portable/random");
BENCHMARK(BM_Unescape_portable_random)->Name("BM_Unescape/portable/random");
#if defined(LUMARIX_ESCAPE_SSE2)
BENCHMARK(BM_Escape_sse2_source)->Name("BM_Escape/sse2/source");
BENCHMARK(BM_Unescape_sse2_source)->Name("BM_Unescape/sse2/source");
BENCHMARK(BM_Escape_sse2_random)->Name("BM_Escape/sse2/random");
BENCHMARK(BM_Unescape_sse2_random)->Name("BM_Unescape/sse2/random");
#endif
