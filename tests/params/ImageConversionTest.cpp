#include "params/EepromImage.h"

#include <gtest/gtest.h>

#include <limits>

#include "ParamTestUtil.h"
#include "params/ParamModel.h"
#include "platform/Cp1250.h"

namespace {

using paramtest::AddRows;
using paramtest::Bytes;
using paramtest::TRecordedMessages;
using paramtest::TTestRow;

const std::string kTooLong(const std::string& leiras) {
  return Hu("Hiba: A(z) \"") + leiras + Hu("\" paraméter hossza nagyobb 255 bájtnál!");
}
const std::string kBeyond = Hu("Hiba: A táblázatban megadott paraméterek együttes hossza meghaladja a(z) 4096 bájtot!");

class ImageConversionTest : public ::testing::Test {
 protected:
  ImageConversionTest() : model(dm, messages) { model.BuildParamGridColumns(); }
  TParamGrid& grid() { return model.ParamGrid; }
  std::string Aktualis(int row) { return grid().Cell(colAktualis_ertek, row); }

  TfDM dm;
  TRecordedMessages messages;
  TParamModel model;
};

TEST_F(ImageConversionTest, ImageToGridSortsByAddressAndCopiesEachParameter) {
  AddRows(grid(), {{10, 2, "word", "b", ""}, {0, 4, "longword", "a", "old"}, {4096, 1, "byte", "last", ""}});
  for (int i = 0; i < 4; ++i) model.Image.Bytes[i] = static_cast<unsigned char>(0xF0 + i);
  model.Image.Bytes[10] = 0x34;
  model.Image.Bytes[11] = 0x12;
  model.Image.Bytes[4096] = 0x80;

  EXPECT_TRUE(model.ImageToGrid());
  EXPECT_EQ(grid().Cell(colLeiras, 0), "a");
  EXPECT_EQ(Aktualis(0), Bytes({0xF0, 0xF1, 0xF2, 0xF3}));
  EXPECT_EQ(Aktualis(1), Bytes({0x34, 0x12}));
  EXPECT_EQ(Aktualis(2), Bytes({0x80}));
  // The row-change rule re-formats each row as its value arrives.
  EXPECT_EQ(grid().Cell(colBeallitott_ertek, 1), "4660");
  EXPECT_EQ(grid().Cell(colBajtok_erteke, 2), "128 ");
  EXPECT_TRUE(messages.info.empty());
}

TEST_F(ImageConversionTest, BothConversionsStopAtTheFirstRowBeyondTheLimits) {
  struct Case {
    const char* what;
    std::vector<TTestRow> rows;     // added in this order; converted in address order
    std::string message;            // empty: all rows convert
    int convertedRows;              // rows (in address order) converted before the stop
  };
  const std::vector<Case> cases = {
      {"ends exactly at 4096", {{4089, 8, "", "x", ""}, {0, 4, "", "y", ""}}, "", 2},
      {"reaches 4097", {{4090, 8, "", "x", ""}, {10, 2, "", "y", ""}, {0, 4, "", "z", ""}}, kBeyond, 2},
      {"size 255 fits", {{3842, 255, "", "x", ""}}, "", 1},
      {"size 256", {{100, 256, "", Hu("Hosszú"), ""}, {0, 1, "", "a", ""}, {500, 1, "", "b", ""}},
       kTooLong(Hu("Hosszú")), 1},
      {"size checked before address", {{5000, 300, "", "both", ""}}, kTooLong("both"), 0},
      {"negative address", {{-2, 4, "", "neg", ""}, {0, 1, "", "a", ""}}, kBeyond, 0},
      {"end beyond 32 bits", {{2147483647, 255, "", "far", ""}}, kBeyond, 0},
      {"negative address of size 0 touches nothing", {{-2, 0, "", "neg", ""}, {0, 1, "", "a", ""}}, "", 2},
  };
  for (int direction = 0; direction < 2; ++direction) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (direction == 0 ? " (image to grid)" : " (grid to image)"));
      grid().ClearRows();
      messages.info.clear();
      messages.log.clear();
      std::vector<TTestRow> rows = c.rows;
      for (auto& r : rows) r.aktualis = std::string(r.meret > 0 ? std::min<int64_t>(r.meret, 300) : 0, '\x55');
      AddRows(grid(), rows);
      model.Image.Bytes.fill(0xAA);

      const bool ok = direction == 0 ? model.ImageToGrid() : model.GridToImage();
      EXPECT_EQ(ok, c.message.empty());
      if (c.message.empty()) {
        EXPECT_TRUE(messages.info.empty());
      } else {
        ASSERT_EQ(messages.info.size(), 1u);
        EXPECT_EQ(messages.info[0], c.message);
        ASSERT_EQ(messages.log.size(), 1u);
        EXPECT_EQ(messages.log[0], Hu("[üzenet:] ") + c.message);
      }
      for (int r = 0; r < grid().RowCount(); ++r) {
        const int64_t cim = grid().CellInt(colCim, r);
        const int64_t n = grid().CellInt(colMeret, r);
        const bool converted = r < c.convertedRows;
        if (direction == 0) {
          const std::string expected = converted ? std::string(n, '\xAA') : std::string(std::min<int64_t>(n, 300), '\x55');
          EXPECT_EQ(Aktualis(r), n > 0 || converted ? expected : "") << "row " << r;
        } else if (n > 0 && cim >= 0 && cim < TEepromImage::kSize) {
          EXPECT_EQ(model.Image.Bytes[cim], converted ? 0x55 : 0xAA) << "row " << r;
        }
      }
    }
  }
}

TEST_F(ImageConversionTest, GridToImagePadsShortValuesAndUsesOnlySizeBytes) {
  AddRows(grid(), {{0, 4, "string", "s", "ABCDEFG"}, {4, 3, "", "t", Bytes({7})}, {7, 2, "word", "w", ""}});
  model.Image.Bytes.fill(0xEE);
  EXPECT_TRUE(model.GridToImage());
  EXPECT_EQ(model.Image.Read(0, 10), std::string("ABCD\x07\0\0\0\0\xEE", 10));
  // The grid keeps the whole text; only the image is limited to the size.
  EXPECT_EQ(Aktualis(0), "ABCDEFG");
}

TEST_F(ImageConversionTest, ClearImageZeroesImageAndEveryCurrentValue) {
  AddRows(grid(), {{0, 3, Hu("tömb"), "a", "xyz"}, {3, 0, "byte", "b", "q"}});
  model.Image.Bytes.fill(0x11);
  EXPECT_TRUE(model.ClearImage());
  for (unsigned char b : model.Image.Bytes) ASSERT_EQ(b, 0);
  EXPECT_EQ(Aktualis(0), std::string(3, '\0'));
  EXPECT_EQ(Aktualis(1), "");
  EXPECT_EQ(grid().Cell(colBeallitott_ertek, 0), "0,0,0");
  EXPECT_EQ(grid().Cell(colBajtok_erteke, 0), "000 000 000 ");
}

TEST(EepromImage, FitCheckHoldsForEveryNumberACellCanHold) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    int64_t cim, meret;
    TImageFit fit;
  };
  const Case cases[] = {
      {4089, 8, TImageFit::Fits},        {4090, 8, TImageFit::OutOfImage}, {0, 255, TImageFit::Fits},
      {0, 256, TImageFit::TooLong},      {kMax, 1, TImageFit::OutOfImage}, {kMax, 255, TImageFit::OutOfImage},
      {kMax, 0, TImageFit::OutOfImage},  {kMin, 255, TImageFit::OutOfImage}, {kMin, 0, TImageFit::Fits},
      {0, kMin, TImageFit::Fits},        {kMin, kMin, TImageFit::Fits},    {kMax, kMin, TImageFit::Fits},
      {kMax, kMax, TImageFit::TooLong},  {4097, 0, TImageFit::Fits},       {4098, 0, TImageFit::OutOfImage},
      {5000, -1000, TImageFit::Fits},    {9000, -10, TImageFit::OutOfImage},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckImageFit(c.cim, c.meret), c.fit) << c.cim << " + " << c.meret;
}

TEST(EepromImage, ReadAndWriteStayInsideTheImage) {
  TEepromImage image;
  EXPECT_EQ(image.Write(4095, "abc"), 2);
  EXPECT_EQ(image.Read(4094, 10), std::string("\0ab", 3));
  EXPECT_EQ(image.Write(-1, "xy"), 1);
  EXPECT_EQ(image.Read(-5, 7), std::string("y\0", 2));
  EXPECT_EQ(image.Read(5000, 3), "");
  EXPECT_EQ(image.Read(0, -1), "");

  // Addresses and counts at the ends of the 64-bit range neither wrap nor reach outside.
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(image.Read(kMax, 10), "");
  EXPECT_EQ(image.Read(4096, kMax), "b");
  EXPECT_EQ(image.Read(kMin, kMax).size(), 0u);
  EXPECT_EQ(image.Read(-1, kMax).size(), static_cast<size_t>(TEepromImage::kSize));
  EXPECT_EQ(image.Write(kMax, "ab"), 0);
  EXPECT_EQ(image.Write(kMin, "ab"), 0);
}

}  // namespace
