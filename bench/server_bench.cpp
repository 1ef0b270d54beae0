#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "comms/ZEBComms.h"
#include "platform/MemoryListener.h"
#include "platform/VirtualTime.h"
#include "server/ZEBTCPServer.h"
#include "support/ServerEngine.h"

namespace {

std::string DeviceFrame(uint32_t from) {
  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMZEBWOnly;
  codec.Cimzett = ZEB_PC_ADDRESS;
  codec.Felado = from;
  codec.CsomagSorszam = 1;
  return codec.Encode("ESYSIbench device");
}

// One device's whole visit: accepted, identified from its first frame, bound to its engine,
// gone again. The device's engine is the last of range(0) registered engines, so the
// lookup by address walks the whole list.
void BM_IdentifyDevice(benchmark::State& state) {
  VirtualTime vt;
  auto owned = std::make_unique<MemoryListener>(vt);
  MemoryListener* listener = owned.get();
  TZEBTCPServer server(std::move(owned), vt);
  server.SetActive(true);

  const auto engineCount = static_cast<uint32_t>(state.range(0));
  std::vector<std::unique_ptr<TZEBComms>> engines;
  for (uint32_t i = 0; i < engineCount; ++i) {
    auto e = std::make_unique<TZEBComms>(vt, vt, nullptr);
    ServeThrough(server, *e, 1000 + i, TZEBMode::PMDecodeBothEncodeZEBW);
    e->SetActive(true);
    engines.push_back(std::move(e));
  }
  TZEBComms& target = *engines.back();
  const std::string frame = DeviceFrame(target.ZEBAddress);

  uint16_t port = 1;
  for (auto _ : state) {
    auto peer = listener->Connect("127.0.0.1", port++);
    vt.Advance(0);
    peer->Send(frame);
    vt.Advance(0);
    if (target.BoundSocket() != &peer->ServerSide()) state.SkipWithError("device not identified");
    peer->Disconnect();
    vt.Advance(0);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  engines.clear();
}

}  // namespace

BENCHMARK(BM_IdentifyDevice)->Arg(1)->Arg(100)->Arg(1000);
