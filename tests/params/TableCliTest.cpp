// paramdeck-cli table, run as a user runs it: a database file, an optional EEPROM dump,
// the grid on standard output and the program's messages on standard error.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ParamTestUtil.h"
#include "params/uDM.h"
#include "platform/Cp1250.h"
#include "support/CliRun.h"

namespace {

using paramtest::Bytes;
using paramtest::TTempDir;

CliRun Table(std::vector<std::string> args) {
  args.insert(args.begin(), "table");
  return RunCli(args);
}

const std::string kHeader =
    "Param_ID\tCim\tKategoria\tLeiras\tMeret\tElemmeret\tTipus\tUgyfeljogosultsag\tMinimum\tMaximum\tAlapertek\t"
    "Aktualis_ertek\tBitmezonevek\tBeallitott_ertek\tBajtok_erteke\n";

// Records appended through the data module, as the designer adds them; fields are code page
// 1250.
void AddRecords(const std::string& path, const std::vector<std::vector<std::pair<std::string, std::string>>>& rows) {
  TfDM dm;
  dm.DataSource = path;
  ASSERT_TRUE(dm.Connect()) << dm.LastError();
  ASSERT_TRUE(dm.OpenTable()) << dm.LastError();
  for (const auto& r : rows) ASSERT_TRUE(dm.Append(r)) << dm.LastError();
}

class TableCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kCliBinary)) GTEST_SKIP() << kCliBinary << " not built";
  }
  TTempDir dir;
};

TEST_F(TableCli, FreshDatabaseThenRecordsThenAnImage) {
  const std::string db = dir.File("ParamDeck.mdb");
  CliRun r = Table({"show", "--db", db});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader);
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(std::filesystem::is_regular_file(db));

  AddRecords(db, {
                     {{"Cim", "10"}, {"Meret", "2"}, {"Tipus", "word"}, {"Leiras", Hu("Hőfok")},
                      {"Alapertek", Bytes({0x34, 0x12})}, {"Aktualis_ertek", "stored"},
                      {"Ugyfeljogosultsag", "True"}, {"Kategoria", "k"}, {"Elemmeret", "1"}},
                     {{"Cim", "0"}, {"Meret", "5"}, {"Tipus", "string"}, {"Leiras", Hu("Név\tTab")},
                      {"Ugyfeljogosultsag", "False"}, {"Bitmezonevek", Hu("Start,\"Vész stop\",Hiba")}},
                 });
  // Without an image every current value is zero bytes, in address order.
  r = Table({"show", "--db", db});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader +
                       "2\t0\t\tNév#9Tab\t5\t\tstring\tFalse\t\t\t\t00 00 00 00 00 \tStart,\"Vész stop\",Hiba\t"
                       "#0#0#0#0#0\t000 000 000 000 000 \n"
                       "1\t10\tk\tHőfok\t2\t1\tword\tTrue\t\t\t34 12 \t00 00 \t\t0\t000 000 \n");

  std::string image(4097, '\0');
  image.replace(0, 5, std::string("A\n\xF5\0B", 5));
  image.replace(10, 2, "\xFF\xFF");
  const std::string imageFile = dir.File("eeprom.bin");
  WriteFileBytes(imageFile, image);
  r = Table({"show", "--db", db, "--image", imageFile});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, kHeader +
                       "2\t0\t\tNév#9Tab\t5\t\tstring\tFalse\t\t\t\t41 0A F5 00 42 \tStart,\"Vész stop\",Hiba\t"
                       "A#10ő#0B\t065 010 245 000 066 \n"
                       "1\t10\tk\tHőfok\t2\t1\tword\tTrue\t\t\t34 12 \tFF FF \t\t65535\t255 255 \n");
}

TEST_F(TableCli, TableBeyondTheImageLimitsIsReportedOnceAndFails) {
  const std::string db = dir.File("limits.mdb");
  ASSERT_EQ(Table({"create", "--db", db}).exitCode, 0);
  AddRecords(db, {{{"Cim", "0"}, {"Meret", "1"}, {"Tipus", "byte"}, {"Leiras", "a"}},
                  {{"Cim", "5"}, {"Meret", "300"}, {"Tipus", Hu("tömb")}, {"Leiras", "Nagy"}},
                  {{"Cim", "9"}, {"Meret", "1"}, {"Tipus", "byte"}, {"Leiras", "b"}}});
  const std::string imageFile = dir.File("eeprom.bin");
  WriteFileBytes(imageFile, std::string(4097, '\x07'));
  const std::string message = "Hiba: A(z) \"Nagy\" paraméter hossza nagyobb 255 bájtnál!\n";
  for (const bool withImage : {false, true}) {
    SCOPED_TRACE(withImage ? "with an image" : "without an image");
    std::vector<std::string> args = {"show", "--db", db};
    if (withImage) args.insert(args.end(), {"--image", imageFile});
    const CliRun r = Table(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, message);
    // The grid is still printed; the row before the offending one carries the image byte.
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
    EXPECT_NE(r.out.find(withImage ? "\t07 \t" : "\t00 \t"), std::string::npos) << r.out;
  }
}

TEST_F(TableCli, UnreadableImageLeavesNoNewDatabaseBehind) {
  const std::string db = dir.File("new.mdb");
  const std::string big = dir.File("big.bin");
  WriteFileBytes(big, std::string(4098, '\0'));
  for (const std::string& image : {dir.File("missing.bin"), big}) {
    SCOPED_TRACE(image);
    const CliRun r = Table({"show", "--db", db, "--image", image});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(image), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(db));
  }
}

}  // namespace
