// `paramdeck-cli frame`: the frame codec by hand, for checking what a device sends or what
// the tool would put on the line.

#include <cstdio>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCommand.h"
#include "log/logUnit.h"
#include "protocol/ZEBProtocol.h"

namespace {

constexpr const char* kHelp =
    "paramdeck-cli frame - encode, decode and cut ZEB/ZEBW frames\n"
    "\n"
    "Usage:\n"
    "  paramdeck-cli frame encode [--zebw] [--dest N] [--src N] [--src-short N] [--info K]\n"
    "                             [--serial S] [--asyer] [--disable-bitmatrix] [--ext HEX] PAYLOAD_HEX\n"
    "  paramdeck-cli frame decode [--mode zeb|zebw|both-zeb|both-zebw] FRAME_HEX\n"
    "  paramdeck-cli frame extract [--mode zeb|zebw|both-zeb|both-zebw] STREAM_HEX\n"
    "\n"
    "Hex arguments take upper or lower case digits, with or without blanks; an empty argument\n"
    "is an empty payload or stream. Output hex is upper case, one blank between bytes.\n"
    "\n"
    "encode   prints the frame on one line. Without --zebw it is a ZEB frame (one-byte\n"
    "         addresses: the low bytes of --dest and --src travel); --zebw makes a ZEBW frame.\n"
    "           --dest N             destination address, 0..4294967295 (default 1)\n"
    "           --src N              source address, 0..4294967295 (default 250)\n"
    "           --src-short N        ZEBW short source address, 0..255 (default 250)\n"
    "           --info K             0 no acknowledgement requested, 1 acknowledgement requested,\n"
    "                                2 positive, 3 negative acknowledgement, 4 repeated (default 0)\n"
    "           --serial S           packet serial number 0..255 (default 0: a random 1..250 in a\n"
    "                                ZEB frame, 0 in a ZEBW frame; above 250 becomes 1)\n"
    "           --asyer              ZEBW flag bit 6\n"
    "           --disable-bitmatrix  ZEBW flag bit 4\n"
    "           --ext HEX            ZEBW header extension, 0..255 bytes\n"
    "         A payload that does not fit prints \"Data do not fit in ZEB packet\" and exits 2.\n"
    "decode   prints result=<code> <text>; after a successful decode also variant, dest, src,\n"
    "         src_short, info, serial, asyer, disable_bitmatrix, ext and payload, one per line.\n"
    "         Exits 1 when the frame does not decode.\n"
    "extract  cuts frames out of the stream until none is left: for each frame skipped=<hex>\n"
    "         (the bytes in front of it, when there are any) and frame=<hex>; then rest=<hex>,\n"
    "         what stays in the buffer.\n"
    "         --mode   zeb (default), zebw, both-zeb or both-zebw: which frame variants are\n"
    "                  decoded or cut out; in the both modes a ZEB frame is tried first.\n"
    "\n"
    "Exit codes: 0 done, 1 frame did not decode, 2 bad arguments or payload too long.\n";

// Messages echo what the user typed; its control characters are shown as codes so that the
// error stays on one line.
int Fail(const std::string& message) {
  std::fprintf(stderr, "paramdeck-cli frame: %s\n", PrintableText(message, true).c_str());
  return 2;
}

// The one hex argument a sub-command takes; an explicit empty string is allowed.
bool OneHexArgument(const CliArgs& args, const char* what, std::string& bytes, std::string& error) {
  if (args.Positional().size() != 1) {
    error = std::string("expects exactly one ") + what + " argument (hex)";
    return false;
  }
  if (!ParseHex(args.Positional()[0], bytes)) {
    error = std::string("malformed hex in ") + what + ": '" + args.Positional()[0] + "'";
    return false;
  }
  return true;
}

bool ParseMode(const CliArgs& args, TZEBMode& mode, std::string& error) {
  static const std::pair<const char*, TZEBMode> modes[] = {{"zeb", TZEBMode::PMZEBOnly},
                                                           {"zebw", TZEBMode::PMZEBWOnly},
                                                           {"both-zeb", TZEBMode::PMDecodeBothEncodeZEB},
                                                           {"both-zebw", TZEBMode::PMDecodeBothEncodeZEBW}};
  auto value = args.Value("mode");
  if (!value) return true;
  for (const auto& [name, m] : modes) {
    if (*value == name) {
      mode = m;
      return true;
    }
  }
  error = "--mode takes zeb, zebw, both-zeb or both-zebw, not '" + *value + "'";
  return false;
}

int Encode(const std::vector<std::string>& argv) {
  CliArgs args({"dest", "src", "src-short", "info", "serial", "ext"}, {"zebw", "asyer", "disable-bitmatrix"});
  if (!args.Parse(argv)) return Fail(args.Error());

  TZEBProtocol codec;
  long long dest = codec.Cimzett, src = codec.Felado, srcShort = codec.Felado_rovid_cim;
  long long info = static_cast<long long>(codec.Info), serial = codec.CsomagSorszam;
  if (!args.IntValue("dest", 0, 0xFFFFFFFFll, dest) || !args.IntValue("src", 0, 0xFFFFFFFFll, src) ||
      !args.IntValue("src-short", 0, 255, srcShort) || !args.IntValue("info", 0, 4, info) ||
      !args.IntValue("serial", 0, 255, serial))
    return Fail(args.Error());
  std::string ext;
  if (auto e = args.Value("ext"); e && !ParseHex(*e, ext)) return Fail("malformed hex in --ext: '" + *e + "'");
  std::string payload, error;
  if (!OneHexArgument(args, "PAYLOAD_HEX", payload, error)) return Fail(error);

  codec.ZEBMode = args.Has("zebw") ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
  codec.Cimzett = static_cast<uint32_t>(dest);
  codec.Felado = static_cast<uint32_t>(src);
  codec.Felado_rovid_cim = static_cast<uint8_t>(srcShort);
  codec.Info = static_cast<TInfo>(info);
  codec.CsomagSorszam = static_cast<uint8_t>(serial);
  codec.Enable_ASYER = args.Has("asyer");
  codec.Disable_bitmatrix = args.Has("disable-bitmatrix");
  codec.Header_extension = ext;
  try {
    std::printf("%s\n", FormatHex(codec.Encode(payload)).c_str());
  } catch (const EZEBDataTooLong& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  return 0;
}

int Decode(const std::vector<std::string>& argv) {
  CliArgs args({"mode"}, {});
  if (!args.Parse(argv)) return Fail(args.Error());
  TZEBProtocol codec;
  std::string frame, error;
  if (!ParseMode(args, codec.ZEBMode, error) || !OneHexArgument(args, "FRAME_HEX", frame, error)) return Fail(error);

  std::string payload = codec.Decode(frame);
  std::printf("result=%d %s\n", codec.DecodeResult, DecodeResultText(codec.DecodeResult).c_str());
  if (codec.DecodeResult != 0) return 1;
  std::printf(
      "variant=%s\ndest=%u\nsrc=%u\nsrc_short=%u\ninfo=%u\nserial=%u\nasyer=%d\ndisable_bitmatrix=%d\next=%s\n"
      "payload=%s\n",
      codec.LastFrameWasW ? "ZEBW" : "ZEB", codec.Cimzett, codec.Felado, unsigned{codec.Felado_rovid_cim},
      static_cast<unsigned>(codec.Info), unsigned{codec.CsomagSorszam}, codec.Enable_ASYER ? 1 : 0,
      codec.Disable_bitmatrix ? 1 : 0, FormatHex(codec.Header_extension).c_str(), FormatHex(payload).c_str());
  return 0;
}

int Extract(const std::vector<std::string>& argv) {
  CliArgs args({"mode"}, {});
  if (!args.Parse(argv)) return Fail(args.Error());
  TZEBProtocol codec;
  std::string buffer, error;
  if (!ParseMode(args, codec.ZEBMode, error) || !OneHexArgument(args, "STREAM_HEX", buffer, error))
    return Fail(error);

  for (std::string frame; !(frame = codec.ExtractFrame(buffer)).empty();) {
    if (!codec.SkippedBytes.empty()) std::printf("skipped=%s\n", FormatHex(codec.SkippedBytes).c_str());
    std::printf("frame=%s\n", FormatHex(frame).c_str());
  }
  std::printf("rest=%s\n", FormatHex(buffer).c_str());
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("expects encode, decode or extract (see paramdeck-cli frame --help)");
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "encode") return Encode(rest);
  if (args[0] == "decode") return Decode(rest);
  if (args[0] == "extract") return Extract(rest);
  return Fail("unknown sub-command '" + args[0] + "' (encode, decode or extract)");
}

const CliCommandRegistrar registrar({"frame", "encode, decode and cut ZEB/ZEBW frames", kHelp, Run});

}  // namespace
