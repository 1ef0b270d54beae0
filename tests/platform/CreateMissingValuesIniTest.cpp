#include "platform/CreateMissingValuesIni.h"

#include <gtest/gtest.h>

#include "platform/IniTestSupport.h"

namespace {

namespace fs = std::filesystem;

class CreateMissingValuesIniTest : public ::testing::Test {
 protected:
  // The program's start-up reads, in their order.
  struct Settings {
    bool autoRestart, autoReload, addressNotEditable, armEeprom, preserveAddress;
    int segmentSize;
  };
  Settings LoadSettings() {
    TCreateMissingValuesIni ini(file);
    IniFile& plain = ini;  // the completing reads hold through the base class too
    Settings s;
    s.autoRestart = plain.ReadBool("SETTINGS", "AUTO_RESTART", false);
    s.autoReload = plain.ReadBool("SETTINGS", "AUTO_RELOAD", false);
    s.addressNotEditable = plain.ReadBool("SETTINGS", "ADDRESS_NOT_EDITABLE", false);
    s.armEeprom = plain.ReadBool("SETTINGS", "ARM_EEPROM", true);
    s.preserveAddress = plain.ReadBool("SETTINGS", "PRESERVE_ADDRESS", true);
    s.segmentSize = plain.ReadInteger("SETTINGS", "SEGMENT_SIZE", 128);
    return s;
  }

  TempDir dir;
  fs::path file = dir / "ParamDeck.INI";
};

TEST_F(CreateMissingValuesIniTest, FirstStartWritesEveryKeyWithItsDefaultInReadingOrder) {
  const Settings s = LoadSettings();
  EXPECT_FALSE(s.autoRestart || s.autoReload || s.addressNotEditable);
  EXPECT_TRUE(s.armEeprom && s.preserveAddress);
  EXPECT_EQ(s.segmentSize, 128);
  const std::string expected =
      "[SETTINGS]\r\nAUTO_RESTART=0\r\nAUTO_RELOAD=0\r\nADDRESS_NOT_EDITABLE=0\r\nARM_EEPROM=1\r\n"
      "PRESERVE_ADDRESS=1\r\nSEGMENT_SIZE=128\r\n";
  EXPECT_EQ(ReadBytes(file), expected);
  LoadSettings();  // a complete file is left as it is
  EXPECT_EQ(ReadBytes(file), expected);
}

TEST_F(CreateMissingValuesIniTest, NonIntegersAreReplacedByTheDefaultAndOtherValuesKept) {
  WriteBytes(file,
             "; options\n"
             "[Settings]\n"
             "auto_restart=1\n"
             "AUTO_RELOAD=2\n"
             "ADDRESS_NOT_EDITABLE=-1\n"
             "ARM_EEPROM=true\n"
             "PRESERVE_ADDRESS=0\n"
             "SEGMENT_SIZE=abc\n"
             "[Other]\n"
             "x=y\n");
  const Settings s = LoadSettings();
  EXPECT_TRUE(s.autoRestart);
  EXPECT_FALSE(s.autoReload);          // only 1 is true ...
  EXPECT_FALSE(s.addressNotEditable);  // ... and the value stays in the file
  EXPECT_TRUE(s.armEeprom);
  EXPECT_FALSE(s.preserveAddress);
  EXPECT_EQ(s.segmentSize, 128);
  EXPECT_EQ(ReadBytes(file),
            "; options\r\n"
            "[Settings]\r\n"
            "auto_restart=1\r\n"
            "AUTO_RELOAD=2\r\n"
            "ADDRESS_NOT_EDITABLE=-1\r\n"
            "ARM_EEPROM=1\r\n"
            "PRESERVE_ADDRESS=0\r\n"
            "SEGMENT_SIZE=128\r\n"
            "[Other]\r\n"
            "x=y\r\n");
}

TEST_F(CreateMissingValuesIniTest, LineBreaksTravelAsEscapes) {
  TCreateMissingValuesIni ini(file);
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb", "a_CRLF_b"},       {"a\rb\nc", "a_CR_b_LF_c"},   {"\n\r", "_LF__CR_"},
      {"\r\r\n\n", "_CR__CRLF__LF_"}, {"plain", "plain"},         {"", ""},
  };
  for (const auto& [text, stored] : cases) {
    ASSERT_TRUE(ini.WriteString("s", "k", text));
    EXPECT_EQ(IniFile(file).ReadString("s", "k", "?"), stored);
    EXPECT_EQ(ini.ReadString("s", "k", "?"), text);
  }
  // A missing key: the default, escaped, goes into the file and comes back with real breaks.
  EXPECT_EQ(ini.ReadString("s", "multi", "one\r\ntwo"), "one\r\ntwo");
  EXPECT_EQ(IniFile(file).ReadString("s", "multi", "?"), "one_CRLF_two");
  // A present but empty value is a value: nothing is written.
  WriteBytes(file, "[s]\nempty=\n");
  EXPECT_EQ(ini.ReadString("s", "empty", "def"), "");
  EXPECT_EQ(ReadBytes(file), "[s]\nempty=\n");
}

TEST_F(CreateMissingValuesIniTest, AnUnwritableFileStillReadsDefaults) {
  TCreateMissingValuesIni ini(dir / "missing folder" / "x.INI");
  EXPECT_EQ(ini.ReadInteger("SETTINGS", "SEGMENT_SIZE", 128), 128);
  EXPECT_TRUE(ini.ReadBool("SETTINGS", "ARM_EEPROM", true));
  EXPECT_FALSE(ini.ErrorText().empty());
}

}  // namespace
