#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Frame kind, values 0..4 as they travel in the header.
enum class TInfo : uint8_t {
  nem_kerek_nyugtat = 0,
  kerek_nyugtat = 1,
  pozitiv_nyugta = 2,
  negativ_nyugta = 3,
  ismetelt_csomag = 4,
};

// Which frame variants are encoded, decoded and cut out of a buffer.
enum class TZEBMode : uint8_t {
  PMZEBOnly = 0,
  PMZEBWOnly = 1,
  PMDecodeBothEncodeZEB = 2,
  PMDecodeBothEncodeZEBW = 3,
};

// Raised by Encode when the frame would not fit: "Data do not fit in ZEB packet".
class EZEBDataTooLong : public std::runtime_error {
 public:
  EZEBDataTooLong() : std::runtime_error("Data do not fit in ZEB packet") {}
};

inline constexpr uint32_t ZEB_PC_ADDRESS = 250;
inline constexpr uint32_t ZEB_BROADCAST_ADDRESS = 255;
inline constexpr size_t ZEB_MAX_FRAME = 2048;

// One frame at a time: encodes a payload into a ZEB or ZEBW frame, decodes one back, cuts
// frames out of a receive buffer. The header fields of the last frame stay in the public
// members; callers set them right before Encode and read them right after Decode.
class TZEBProtocol {
 public:
  TZEBProtocol();

  uint32_t Cimzett = 1;
  uint32_t Felado = ZEB_PC_ADDRESS;
  uint8_t Felado_rovid_cim = ZEB_PC_ADDRESS;
  uint8_t CsomagSorszam = 0;
  TInfo Info = TInfo::nem_kerek_nyugtat;
  bool Enable_ASYER = false;
  bool Disable_bitmatrix = false;
  std::string Header_extension;
  TZEBMode ZEBMode = TZEBMode::PMZEBOnly;

  // Result of the last Decode, 0 = success; see DecodeResultText.
  uint16_t DecodeResult = 0;
  bool LastFrameWasW = false;
  std::string SkippedBytes;
  uint8_t LastChecksum = 0;

  // Throws EZEBDataTooLong when the frame would exceed 2048 bytes.
  std::string Encode(std::string_view Data);
  std::string Decode(std::string_view Frame);
  std::string ExtractFrame(std::string& Buffer);

  // Same as Encode and Decode, writing into a caller's string so that a loop can reuse its
  // capacity. DecodeTo returns DecodeResult and leaves Data empty on failure. The input must
  // not live in the output string.
  void EncodeTo(std::string_view Data, std::string& Frame);
  uint16_t DecodeTo(std::string_view Frame, std::string& Data);

 private:
  void EncodeZeb(std::string_view Data, std::string& Frame);
  void EncodeZebw(std::string_view Data, std::string& Frame);
  uint16_t DecodeZeb(std::string_view Frame, std::string& Data);
  uint16_t DecodeZebw(std::string_view Frame, std::string& Data);
  bool CutFrame(std::string& Buffer, char start, char end, std::string& Frame);
};

// "OK", "ROSSZ CHSUM", ... ; "ISMRTLN HIB" for an unknown code.
std::string DecodeResultText(int code);
