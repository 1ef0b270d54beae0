#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "protocol/ZEBProtocol.h"

namespace {

std::string RandomPayload(size_t n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TZEBProtocol Codec(bool w) {
  TZEBProtocol c;
  c.ZEBMode = w ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
  c.Cimzett = w ? 70000 : 1;
  c.Info = TInfo::kerek_nyugtat;
  c.CsomagSorszam = 7;
  return c;
}

// Encode as the engine does it: a fresh frame string per packet.
void BM_FrameEncode(benchmark::State& state, bool w) {
  const std::string payload = RandomPayload(static_cast<size_t>(state.range(0)));
  TZEBProtocol codec = Codec(w);
  for (auto _ : state) {
    std::string frame = codec.Encode(payload);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_FrameDecode(benchmark::State& state, bool w) {
  const std::string payload = RandomPayload(static_cast<size_t>(state.range(0)));
  TZEBProtocol tx = Codec(w);
  const std::string frame = tx.Encode(payload);
  TZEBProtocol rx;
  rx.ZEBMode = tx.ZEBMode;
  for (auto _ : state) {
    std::string data = rx.Decode(frame);
    benchmark::DoNotOptimize(data.data());
  }
  if (rx.DecodeResult != 0) state.SkipWithError("frame did not decode");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK_CAPTURE(BM_FrameEncode, ZEB, false)->Arg(8)->Arg(128)->Arg(255);
BENCHMARK_CAPTURE(BM_FrameEncode, ZEBW, true)->Arg(8)->Arg(128)->Arg(255);
BENCHMARK_CAPTURE(BM_FrameDecode, ZEB, false)->Arg(8)->Arg(128)->Arg(255);
BENCHMARK_CAPTURE(BM_FrameDecode, ZEBW, true)->Arg(8)->Arg(128)->Arg(255);

}  // namespace
