// Arbitrary bytes through the frame codec: cutting frames out of a stream, decoding in every
// mode, and re-encoding whatever decodes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/ZEBProtocol.h"

#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

namespace {

const TZEBMode kModes[] = {TZEBMode::PMZEBOnly, TZEBMode::PMZEBWOnly, TZEBMode::PMDecodeBothEncodeZEB,
                           TZEBMode::PMDecodeBothEncodeZEBW};

bool IsEndMarker(char c) { return c == '\xFE' || c == '\xFC'; }

// Whatever decodes must survive being sent again with the header it decoded to. Only what
// the codec promises to carry is compared: a received serial of 0 or above 250 and a ZEB
// destination byte of 0 are rewritten on the way out, and unused flag bits are not sent.
void CheckReencode(const TZEBProtocol& rx, const std::string& payload) {
  TZEBProtocol tx;
  tx.ZEBMode = rx.LastFrameWasW ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
  tx.Cimzett = rx.Cimzett;
  tx.Felado = rx.Felado;
  tx.Felado_rovid_cim = rx.Felado_rovid_cim;
  tx.Info = rx.Info;
  tx.CsomagSorszam = rx.CsomagSorszam;
  tx.Enable_ASYER = rx.Enable_ASYER;
  tx.Disable_bitmatrix = rx.Disable_bitmatrix;
  tx.Header_extension = rx.Header_extension;
  const std::string frame = tx.Encode(payload);  // a decoded payload always fits again
  FUZZ_CHECK(frame.size() <= ZEB_MAX_FRAME);

  TZEBProtocol again;
  again.ZEBMode = tx.ZEBMode;
  const std::string back = again.Decode(frame);
  FUZZ_CHECK(again.DecodeResult == 0);
  FUZZ_CHECK(back == payload);
  FUZZ_CHECK(again.LastFrameWasW == rx.LastFrameWasW);
  FUZZ_CHECK(again.Felado == rx.Felado);
  FUZZ_CHECK(again.Info == rx.Info);
  if (rx.CsomagSorszam >= 1 && rx.CsomagSorszam <= 250) FUZZ_CHECK(again.CsomagSorszam == rx.CsomagSorszam);
  if (rx.LastFrameWasW) {
    FUZZ_CHECK(again.Cimzett == rx.Cimzett);
    FUZZ_CHECK(again.Felado_rovid_cim == rx.Felado_rovid_cim);
    FUZZ_CHECK(again.Enable_ASYER == rx.Enable_ASYER);
    FUZZ_CHECK(again.Disable_bitmatrix == rx.Disable_bitmatrix);
    FUZZ_CHECK(again.Header_extension == rx.Header_extension);
  } else if (rx.Cimzett != 0) {
    FUZZ_CHECK(again.Cimzett == rx.Cimzett);
  }
}

void DecodeInEveryMode(std::string_view frame) {
  for (TZEBMode mode : kModes) {
    TZEBProtocol rx;
    rx.ZEBMode = mode;
    const std::string payload = rx.Decode(frame);
    FUZZ_CHECK(rx.DecodeResult <= 6);
    if (rx.DecodeResult != 0) continue;
    FUZZ_CHECK(frame.size() <= ZEB_MAX_FRAME);
    FUZZ_CHECK(rx.LastChecksum == static_cast<unsigned char>(frame[frame.size() - 2]));
    FUZZ_CHECK(payload.size() < frame.size());
    CheckReencode(rx, payload);
  }
}

// Cutting frames must neither lose nor invent bytes: skipped bytes, frames and the rest put
// together give back the stream.
void ExtractInEveryMode(std::string_view data) {
  for (TZEBMode mode : kModes) {
    TZEBProtocol codec;
    codec.ZEBMode = mode;
    std::string buffer(data);
    std::string rebuilt;
    for (std::string frame; !(frame = codec.ExtractFrame(buffer)).empty();) {
      FUZZ_CHECK(IsEndMarker(frame.back()));
      rebuilt += codec.SkippedBytes;
      rebuilt += frame;
      DecodeInEveryMode(frame);
    }
    FUZZ_CHECK(codec.SkippedBytes.empty());
    FUZZ_CHECK(rebuilt + buffer == data);
  }
}

// The input as a payload, with header fields taken from its first bytes.
void EncodeAsPayload(std::string_view data) {
  for (bool w : {false, true}) {
    TZEBProtocol tx;
    tx.ZEBMode = w ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
    auto at = [&](size_t i) { return i < data.size() ? static_cast<unsigned char>(data[i]) : 0u; };
    const unsigned dest = at(0) % 251;
    tx.Cimzett = w ? at(0) | at(1) << 8 | at(2) << 16 : (dest ? dest : 255);
    tx.Felado = w ? 250 + (at(3) << 8) : 1 + at(1) % 250;
    tx.Info = static_cast<TInfo>(at(4) % 5);
    tx.CsomagSorszam = static_cast<uint8_t>(at(5));
    tx.Enable_ASYER = at(6) & 1;
    tx.Disable_bitmatrix = at(6) & 2;
    if (w) tx.Header_extension = std::string(data.substr(0, at(7) % 32));
    std::string frame;
    try {
      frame = tx.Encode(data);
    } catch (const EZEBDataTooLong&) {
      continue;
    }
    TZEBProtocol rx;
    rx.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
    FUZZ_CHECK(rx.Decode(frame) == data);
    FUZZ_CHECK(rx.DecodeResult == 0);
    FUZZ_CHECK(rx.LastFrameWasW == w);
    std::string buffer = frame;
    FUZZ_CHECK(rx.ExtractFrame(buffer) == frame && buffer.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  DecodeInEveryMode(input);
  ExtractInEveryMode(input);
  EncodeAsPayload(input);
  return 0;
}
