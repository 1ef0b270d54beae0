#include "protocol/ZEBProtocol.h"

#include <chrono>
#include <iterator>
#include <random>

namespace {

constexpr unsigned char kZebStart = 0xFD;
constexpr unsigned char kZebEnd = 0xFE;
constexpr unsigned char kZebwStart = 0xFB;
constexpr unsigned char kZebwEnd = 0xFC;

constexpr size_t kZebOverhead = 11;      // markers, 7 header bytes, checksum
constexpr size_t kZebHeaderEnd = 9;      // offset of the first packed payload byte
constexpr size_t kZebwHeader = 14;
constexpr size_t kZebwMinFrame = 15;
constexpr size_t kZebwMaxEscapedBody = ZEB_MAX_FRAME - 3;

constexpr uint8_t kMaxSerial = 250;

// Shared by every codec in the process, so that two codecs created in the same tick do not
// hand out the same serial number sequence from separately seeded generators.
std::minstd_rand& SerialRandom() {
  static std::minstd_rand generator;
  return generator;
}

// Seven payload bytes travel in eight line bytes, both in the ZEB packing and in the ZEBW
// escaping.
constexpr size_t GroupedLength(size_t n) { return n + (n + 6) / 7; }

// Inverse of GroupedLength for whatever length arrives; a trailing group holding only its
// collector carries no data.
constexpr size_t UngroupedLength(size_t n) {
  size_t r = n % 8;
  return (n / 8) * 7 + (r ? r - 1 : 0);
}

inline unsigned char NonZero(unsigned char b) { return b ? b : 0x80; }

uint8_t FoldZebChecksum(uint8_t sum) {
  if (sum > 250) sum = static_cast<uint8_t>(sum - 128);
  return sum ? sum : 0x80;
}

uint8_t FoldZebwChecksum(uint8_t sum) {
  if (sum < 0x20) return static_cast<uint8_t>(sum | 0x80);
  if (sum > 0xFA) return static_cast<uint8_t>(sum & 0x7F);
  return sum;
}

// Writes the ZEB packing of `data` at `out`; returns the byte sum of what it wrote.
uint8_t PackZeb(const unsigned char* data, size_t m, unsigned char* out) {
  unsigned sum = 0;
  for (size_t start = 0; start < m; start += 7) {
    size_t count = m - start < 7 ? m - start : 7;
    unsigned collector = 0;
    for (size_t i = 0; i < count; ++i) {
      unsigned char b = data[start + i];
      unsigned char sent = NonZero(b & 0x7F);
      collector |= static_cast<unsigned>(b >> 7) << (6 - i);
      *out++ = sent;
      sum += sent;
    }
    unsigned char c = NonZero(static_cast<unsigned char>(collector));
    *out++ = c;
    sum += c;
  }
  return static_cast<uint8_t>(sum);
}

// Reverses PackZeb; `out` receives UngroupedLength(n) bytes.
void UnpackZeb(const unsigned char* in, size_t n, unsigned char* out) {
  for (size_t start = 0; start < n; start += 8) {
    size_t groupLen = n - start < 8 ? n - start : 8;
    const unsigned char* g = in + start;
    unsigned collector = g[groupLen - 1];
    for (size_t i = 0; i + 1 < groupLen; ++i) {
      unsigned bit = (collector >> (6 - i)) & 1;
      *out++ = static_cast<unsigned char>((g[i] & 0x7F) | (bit << 7));
    }
  }
}

// Streams bytes into the ZEBW escaping, keeping the group's flag byte and the running sum of
// everything written, so the body never has to be assembled unescaped first.
class ZebwEscaper {
 public:
  explicit ZebwEscaper(unsigned char* out) : out_(out) {}

  void Put(const unsigned char* p, size_t n) {
    for (size_t k = 0; k < n; ++k) {
      unsigned char b = p[k];
      if (b < 0x20 || b > 0x9F) {
        b ^= 0x80;
        flag_ |= 1u << pos_;
      }
      *out_++ = b;
      sum_ += b;
      if (++pos_ == 7) CloseGroup();
    }
  }

  // Closes a partial last group; returns the folded checksum.
  uint8_t Finish() {
    if (pos_ != 0) CloseGroup();
    return FoldZebwChecksum(static_cast<uint8_t>(sum_));
  }

 private:
  void CloseGroup() {
    unsigned char f = static_cast<unsigned char>(flag_);
    if (f < 0x20) f |= 0x80;
    *out_++ = f;
    sum_ += f;
    flag_ = 0;
    pos_ = 0;
  }

  unsigned char* out_;
  unsigned sum_ = 0;
  unsigned flag_ = 0;
  unsigned pos_ = 0;
};

void PutLE(unsigned char* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetLE(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool DecodesZeb(TZEBMode mode) { return mode != TZEBMode::PMZEBWOnly; }
bool DecodesZebw(TZEBMode mode) { return mode != TZEBMode::PMZEBOnly; }
bool EncodesZebw(TZEBMode mode) {
  return mode == TZEBMode::PMZEBWOnly || mode == TZEBMode::PMDecodeBothEncodeZEBW;
}

}  // namespace

// Reading the system's entropy source costs far more than a codec's whole working life, so
// it is read once per process and mixed with the clock on every creation.
TZEBProtocol::TZEBProtocol() {
  static const uint64_t entropy = std::random_device{}();
  const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  SerialRandom().seed(static_cast<std::minstd_rand::result_type>((entropy ^ now ^ (now >> 32)) % 2147483646 + 1));
}

std::string TZEBProtocol::Encode(std::string_view Data) {
  std::string frame;
  EncodeTo(Data, frame);
  return frame;
}

void TZEBProtocol::EncodeTo(std::string_view Data, std::string& Frame) {
  if (EncodesZebw(ZEBMode))
    EncodeZebw(Data, Frame);
  else
    EncodeZeb(Data, Frame);
}

void TZEBProtocol::EncodeZeb(std::string_view Data, std::string& Frame) {
  const size_t n = GroupedLength(Data.size());
  if (n + kZebOverhead > ZEB_MAX_FRAME) throw EZEBDataTooLong();

  if (CsomagSorszam > kMaxSerial) CsomagSorszam = 1;
  if (CsomagSorszam == 0) {
    std::uniform_int_distribution<int> serial(1, kMaxSerial);
    CsomagSorszam = static_cast<uint8_t>(serial(SerialRandom()));
  }
  Felado_rovid_cim = static_cast<uint8_t>(Felado);

  Frame.resize(n + kZebOverhead);
  auto* f = reinterpret_cast<unsigned char*>(Frame.data());
  f[0] = kZebStart;
  f[1] = NonZero(static_cast<unsigned char>(Cimzett));
  f[2] = NonZero(Felado_rovid_cim);
  f[3] = static_cast<unsigned char>(static_cast<unsigned>(Info) | 0x04);
  f[4] = CsomagSorszam;
  f[5] = NonZero(static_cast<unsigned char>(n >> 7));
  f[6] = NonZero(static_cast<unsigned char>(n & 0x7F));
  f[7] = 1;
  f[8] = 1;
  unsigned sum = 0;
  for (size_t i = 1; i < kZebHeaderEnd; ++i) sum += f[i];
  sum += PackZeb(reinterpret_cast<const unsigned char*>(Data.data()), Data.size(), f + kZebHeaderEnd);
  LastChecksum = FoldZebChecksum(static_cast<uint8_t>(sum));
  f[kZebHeaderEnd + n] = LastChecksum;
  f[kZebHeaderEnd + n + 1] = kZebEnd;
  LastFrameWasW = false;
}

void TZEBProtocol::EncodeZebw(std::string_view Data, std::string& Frame) {
  if (CsomagSorszam > kMaxSerial) CsomagSorszam = 1;
  // The extension's length travels in one byte and the payload's in two: anything longer
  // would be announced with a wrapped length and read back as a different frame.
  if (Header_extension.size() > 255 || Data.size() > 0xFFFF) throw EZEBDataTooLong();

  const size_t bodyLen = kZebwHeader + Header_extension.size() + Data.size();
  const size_t escapedLen = GroupedLength(bodyLen);
  if (escapedLen > kZebwMaxEscapedBody) throw EZEBDataTooLong();

  unsigned char header[kZebwHeader];
  PutLE(header, Cimzett, 4);
  PutLE(header + 4, Felado, 4);
  header[8] = Felado_rovid_cim;
  header[9] = static_cast<unsigned char>((static_cast<unsigned>(Info) & 0x07) | (Enable_ASYER ? 0x40 : 0) |
                                         (Disable_bitmatrix ? 0x10 : 0));
  header[10] = CsomagSorszam;
  header[11] = static_cast<unsigned char>(Header_extension.size());
  PutLE(header + 12, static_cast<uint32_t>(Data.size()), 2);

  Frame.resize(escapedLen + 3);
  auto* f = reinterpret_cast<unsigned char*>(Frame.data());
  f[0] = kZebwStart;
  ZebwEscaper escaper(f + 1);
  escaper.Put(header, kZebwHeader);
  escaper.Put(reinterpret_cast<const unsigned char*>(Header_extension.data()), Header_extension.size());
  escaper.Put(reinterpret_cast<const unsigned char*>(Data.data()), Data.size());
  LastChecksum = escaper.Finish();
  f[escapedLen + 1] = LastChecksum;
  f[escapedLen + 2] = kZebwEnd;
  LastFrameWasW = true;
}

std::string TZEBProtocol::Decode(std::string_view Frame) {
  std::string data;
  DecodeTo(Frame, data);
  return data;
}

uint16_t TZEBProtocol::DecodeTo(std::string_view Frame, std::string& Data) {
  Data.clear();
  if (DecodesZeb(ZEBMode)) {
    DecodeResult = DecodeZeb(Frame, Data);
    if (DecodeResult == 0 || !DecodesZebw(ZEBMode)) return DecodeResult;
    Data.clear();
  }
  DecodeResult = DecodeZebw(Frame, Data);
  if (DecodeResult != 0) Data.clear();
  return DecodeResult;
}

uint16_t TZEBProtocol::DecodeZeb(std::string_view Frame, std::string& Data) {
  const size_t len = Frame.size();
  if (len < kZebOverhead) return 6;
  if (len > ZEB_MAX_FRAME) return 2;
  const auto* f = reinterpret_cast<const unsigned char*>(Frame.data());
  if (f[0] != kZebStart || f[len - 1] != kZebEnd) return 3;
  const unsigned dest = f[1];
  const unsigned src = f[2];
  if ((dest > 250 && dest != ZEB_BROADCAST_ADDRESS) || src == 0 || src > 250) return 4;
  const size_t declared = (static_cast<size_t>(f[5] & 0x7F) << 7) | (f[6] & 0x7F);
  if (declared != len - kZebOverhead) return 5;

  unsigned sum = 0;
  for (size_t i = 1; i < kZebHeaderEnd + declared; ++i) sum += f[i];
  LastChecksum = f[len - 2];
  if (FoldZebChecksum(static_cast<uint8_t>(sum)) != LastChecksum) return 1;

  Cimzett = dest;
  Felado = src;
  Felado_rovid_cim = static_cast<uint8_t>(src);
  Info = static_cast<TInfo>(f[3] & 0x03);
  CsomagSorszam = f[4];
  LastFrameWasW = false;

  Data.resize(UngroupedLength(declared));
  UnpackZeb(f + kZebHeaderEnd, declared, reinterpret_cast<unsigned char*>(Data.data()));
  return 0;
}

uint16_t TZEBProtocol::DecodeZebw(std::string_view Frame, std::string& Data) {
  const size_t len = Frame.size();
  if (len < kZebwMinFrame) return 6;
  if (len > ZEB_MAX_FRAME) return 2;
  const auto* f = reinterpret_cast<const unsigned char*>(Frame.data());
  if (f[0] != kZebwStart || f[len - 1] != kZebwEnd) return 3;

  const unsigned char* escaped = f + 1;
  const size_t escapedLen = len - 3;
  unsigned sum = 0;
  for (size_t i = 0; i < escapedLen; ++i) sum += escaped[i];
  LastChecksum = f[len - 2];
  if (FoldZebwChecksum(static_cast<uint8_t>(sum)) != LastChecksum) return 1;

  unsigned char body[ZEB_MAX_FRAME];
  unsigned char* out = body;
  for (size_t start = 0; start < escapedLen; start += 8) {
    size_t groupLen = escapedLen - start < 8 ? escapedLen - start : 8;
    const unsigned char* g = escaped + start;
    unsigned flag = g[groupLen - 1] & 0x7F;
    for (size_t i = 0; i + 1 < groupLen; ++i) *out++ = static_cast<unsigned char>(g[i] ^ (((flag >> i) & 1) << 7));
  }
  const size_t bodyLen = static_cast<size_t>(out - body);
  // A short frame can pass the length and checksum checks and still unescape to fewer bytes
  // than the header needs; it disagrees with any length it could declare.
  if (bodyLen < kZebwHeader) return 5;

  const size_t extLen = body[11];
  const size_t payloadLen = GetLE(body + 12, 2);
  if (bodyLen - kZebwHeader < extLen || bodyLen - kZebwHeader - extLen != payloadLen) return 5;

  Cimzett = GetLE(body, 4);
  Felado = GetLE(body + 4, 4);
  Felado_rovid_cim = body[8];
  const unsigned flags = body[9];
  CsomagSorszam = body[10];
  Info = static_cast<TInfo>(flags & 0x07);
  Enable_ASYER = (flags & 0x40) != 0;
  Disable_bitmatrix = (flags & 0x10) != 0;
  Header_extension.assign(reinterpret_cast<const char*>(body + kZebwHeader), extLen);
  Data.assign(reinterpret_cast<const char*>(body + kZebwHeader + extLen), payloadLen);

  if (Felado <= 255 && Felado != ZEB_PC_ADDRESS) return 4;
  LastFrameWasW = true;
  return 0;
}

std::string TZEBProtocol::ExtractFrame(std::string& Buffer) {
  std::string frame;
  if (DecodesZeb(ZEBMode) && CutFrame(Buffer, static_cast<char>(kZebStart), static_cast<char>(kZebEnd), frame)) {
    LastFrameWasW = false;
    return frame;
  }
  if (DecodesZebw(ZEBMode) && CutFrame(Buffer, static_cast<char>(kZebwStart), static_cast<char>(kZebwEnd), frame)) {
    LastFrameWasW = true;
    return frame;
  }
  SkippedBytes.clear();
  return frame;
}

bool TZEBProtocol::CutFrame(std::string& Buffer, char start, char end, std::string& Frame) {
  const size_t endPos = Buffer.find(end);
  if (endPos == std::string::npos) return false;
  const std::string_view piece(Buffer.data(), endPos + 1);
  size_t startPos = piece.rfind(start);
  if (startPos == std::string_view::npos) startPos = 0;
  SkippedBytes.assign(piece.data(), startPos);
  Frame.assign(piece.data() + startPos, piece.size() - startPos);
  Buffer.erase(0, endPos + 1);
  return true;
}

std::string DecodeResultText(int code) {
  static const char* const texts[] = {"OK",          "ROSSZ CHSUM", "TUL NAGY", "NINCS KERET",
                                      "ROSSZ CIM",   "ROSSZ MERET", "TUL ROVID"};
  if (code < 0 || code >= static_cast<int>(std::size(texts))) return "ISMRTLN HIB";
  return texts[code];
}
