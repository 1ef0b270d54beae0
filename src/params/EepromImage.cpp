#include "params/EepromImage.h"

#include <algorithm>

#include "params/ByteText.h"
#include "params/ParamGrid.h"
#include "params/ParamMessages.h"

// Addresses and sizes come from grid cells, which hold any 64-bit number; the bounds below
// are worked out so that no sum can wrap.
std::string TEepromImage::Read(int64_t address, int64_t count) const {
  if (count <= 0 || address >= kSize || address <= -count) return {};
  const int64_t first = std::max<int64_t>(address, 0);
  const int64_t last = address > kSize - count ? kSize : address + count;
  return std::string(reinterpret_cast<const char*>(Bytes.data()) + first, last - first);
}

int TEepromImage::Write(int64_t address, std::string_view bytes) {
  const auto n = static_cast<int64_t>(bytes.size());
  if (address >= kSize || address <= -n) return 0;
  int written = 0;
  for (int64_t i = std::max<int64_t>(-address, 0); i < n && address + i < kSize; ++i) {
    Bytes[address + i] = static_cast<unsigned char>(bytes[i]);
    ++written;
  }
  return written;
}

TImageFit CheckImageFit(int64_t cim, int64_t meret) {
  constexpr int64_t kLast = TEepromImage::kLastAddress;
  if (meret > kMaxByteText) return TImageFit::TooLong;
  // A negative address would index before the image; it is refused like one beyond its end.
  if (meret > 0 && cim < 0) return TImageFit::OutOfImage;
  // cim + meret - 1 > kLast, rearranged: meret is at most 255 here but may be any negative.
  const bool beyond = meret > 0 ? cim > kLast - (meret - 1) : cim > kLast + 1 && meret > kLast + 1 - cim;
  return beyond ? TImageFit::OutOfImage : TImageFit::Fits;
}

namespace {

struct TConversionColumns {
  int cim, meret, leiras, aktualis;
  explicit TConversionColumns(const TParamGrid& g)
      : cim(g.ColumnIndex("Cim")),
        meret(g.ColumnIndex("Meret")),
        leiras(g.ColumnIndex("Leiras")),
        aktualis(g.ColumnIndex("Aktualis_ertek")) {}
  bool Complete() const { return cim >= 0 && meret >= 0 && leiras >= 0 && aktualis >= 0; }
};

// Sorts by address and checks one row after the other; `convert` runs for each row that
// fits, with its address and size.
template <typename Convert>
bool ForEachFittingRow(TParamGrid& grid, TParamMessages& messages, Convert convert) {
  const TConversionColumns c(grid);
  if (!c.Complete()) return false;
  grid.SortBy(c.cim, true);
  for (int r = 0; r < grid.RowCount(); ++r) {
    const int64_t n = grid.CellInt(c.meret, r);
    const int64_t cim = grid.CellInt(c.cim, r);
    switch (CheckImageFit(cim, n)) {
      case TImageFit::TooLong:
        messages.LogAndShowMessage(Hu("Hiba: A(z) \"") + grid.Cell(c.leiras, r) +
                                   Hu("\" paraméter hossza nagyobb 255 bájtnál!"));
        return false;
      case TImageFit::OutOfImage:
        messages.LogAndShowMessage(Hu("Hiba: A táblázatban megadott paraméterek együttes hossza meghaladja a(z) ") +
                                   std::to_string(TEepromImage::kLastAddress) + Hu(" bájtot!"));
        return false;
      case TImageFit::Fits:
        convert(r, c.aktualis, cim, std::max<int64_t>(n, 0));
        break;
    }
  }
  return true;
}

}  // namespace

bool ImageToGrid(const TEepromImage& image, TParamGrid& grid, TParamMessages& messages) {
  return ForEachFittingRow(grid, messages, [&](int row, int aktualis, int64_t cim, int64_t n) {
    grid.SetCell(aktualis, row, image.Read(cim, n));
  });
}

bool GridToImage(TEepromImage& image, TParamGrid& grid, TParamMessages& messages) {
  return ForEachFittingRow(grid, messages, [&](int row, int aktualis, int64_t cim, int64_t n) {
    const std::string v = PadRight(grid.Cell(aktualis, row), static_cast<int>(n), '\0');
    image.Write(cim, std::string_view(v).substr(0, n));
  });
}

bool ClearImage(TEepromImage& image, TParamGrid& grid, TParamMessages& messages) {
  image.Clear();
  return ImageToGrid(image, grid, messages);
}
