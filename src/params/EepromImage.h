#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TParamGrid;
class TParamMessages;

// The copy of the device's EEPROM: index = EEPROM address 0..4096.
struct TEepromImage {
  static constexpr int kSize = 4097;
  static constexpr int kLastAddress = kSize - 1;

  std::array<unsigned char, kSize> Bytes{};

  void Clear() { Bytes.fill(0); }
  // The bytes [address, address + count) as a byte text; the part outside the image is
  // left out.
  std::string Read(int64_t address, int64_t count) const;
  // Copies the text's bytes to address onwards; bytes that would fall outside the image are
  // dropped. Returns the number written.
  int Write(int64_t address, std::string_view bytes);
};

// Whether a parameter fits the image: size at most 255, and its bytes within 0..4096.
enum class TImageFit { Fits, TooLong, OutOfImage };
TImageFit CheckImageFit(int64_t cim, int64_t meret);

// The conversions between the image and the grid's current values. Both sort the grid by
// `Cim` first and stop at the first row that does not fit, with its message; the rows
// before it stay converted. They return whether every row was converted.
bool ImageToGrid(const TEepromImage& image, TParamGrid& grid, TParamMessages& messages);
bool GridToImage(TEepromImage& image, TParamGrid& grid, TParamMessages& messages);
// All bytes zero, then ImageToGrid.
bool ClearImage(TEepromImage& image, TParamGrid& grid, TParamMessages& messages);
