#include "platform/IniFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/Cp1250.h"
#include "platform/IniTestSupport.h"

namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  fs::path file = dir / "test.ini";
};

TEST_F(IniFileTest, WritesKeepEveryUntouchedLineAndUseCrLf) {
  WriteBytes(file,
             "; created by hand\n"
             "orphan=before any section\n"
             "\n"
             "[First]\n"
             "  Alpha = one  \n"
             "# not ours, kept\n"
             "Beta=two\r\n"
             "garbage line without equals\n"
             "\n"
             "\n"
             "[Second]\n"
             "Gamma=3");
  IniFile ini(file);
  EXPECT_TRUE(ini.WriteString("FIRST", "alpha", "uno"));  // existing key: spelling and spacing kept
  EXPECT_TRUE(ini.WriteString("first", "Delta", "4"));    // new key: before the blank lines
  EXPECT_TRUE(ini.WriteString("Third", "Eps", "5"));      // new section at the end
  EXPECT_TRUE(ini.WriteString("Second", "Gamma", "3"));   // unchanged value
  EXPECT_EQ(ReadBytes(file),
            "; created by hand\r\n"
            "orphan=before any section\r\n"
            "\r\n"
            "[First]\r\n"
            "  Alpha =uno\r\n"
            "# not ours, kept\r\n"
            "Beta=two\r\n"
            "garbage line without equals\r\n"
            "Delta=4\r\n"
            "\r\n"
            "\r\n"
            "[Second]\r\n"
            "Gamma=3\r\n"
            "\r\n"
            "[Third]\r\n"
            "Eps=5\r\n");
  EXPECT_EQ(ini.ReadString("", "orphan", "none"), "none");  // lines before a header belong to no section
}

TEST_F(IniFileTest, InterleavedWritesToTwoSectionsBuildTidyBlocks) {
  IniFile ini(file);
  const std::string values = Hu("ÉRTÉKEK"), texts = Hu("PARAMÉTEREK");
  ini.WriteString(values, "0000", "5");
  ini.WriteString(texts, "0000", Hu("Cím"));
  ini.WriteString(values, "0015", "001 020 255 ");
  ini.WriteString(texts, "0015", Hu("Határok"));
  EXPECT_EQ(ReadBytes(file), Hu("[ÉRTÉKEK]\r\n0000=5\r\n0015=001 020 255 \r\n\r\n"
                                "[PARAMÉTEREK]\r\n0000=Cím\r\n0015=Határok\r\n"));
}

TEST_F(IniFileTest, ReadingRules) {
  WriteBytes(file, Hu("[ Main ]\r\n"
                      "plain=value\r\n"
                      "spaced =   padded value   \r\n"
                      "dq=\"  quoted  \"\r\n"
                      "sq='single'\r\n"
                      "half=\"open\r\n"
                      "mixed=\"a'\r\n"
                      "eq=a=b=c\r\n"
                      "empty=\r\n"
                      "dup=first\r\n"
                      "DUP=second\r\n"
                      ";comment=not a key\r\n"
                      "[Értékek]\r\n"
                      "Őr=ű\n"
                      "[main]\n"
                      "later=in a duplicate section\n"));
  IniFile ini(file);
  struct Case {
    std::string section, key, expected;
  };
  const Case cases[] = {
      {"Main", "plain", "value"},
      {"MAIN", "PLAIN", "value"},
      {" main ", " plain ", "value"},
      {"main", "spaced", "padded value"},
      {"main", "dq", "  quoted  "},
      {"main", "sq", "single"},
      {"main", "half", "\"open"},
      {"main", "mixed", "\"a'"},
      {"main", "eq", "a=b=c"},
      {"main", "empty", ""},
      {"main", "dup", "first"},
      {"main", ";comment", "<def>"},
      {"main", "later", "<def>"},  // only the first section of a name counts
      {"main", "missing", "<def>"},
      {"nosuch", "plain", "<def>"},
      {Hu("ÉRTÉKEK"), Hu("őR"), Hu("ű")},
      {Hu("értékek"), Hu("ŐR"), Hu("ű")},
  };
  for (const Case& c : cases) EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.expected) << c.section << "/" << c.key;
  EXPECT_TRUE(ini.KeyExists("MAIN", "Empty"));
  EXPECT_FALSE(ini.KeyExists("main", ";comment"));
  EXPECT_TRUE(ini.SectionExists(Hu("ÉrtékeK")));
  EXPECT_FALSE(ini.SectionExists("Értékek"));  // UTF-8 bytes are a different name
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Main", Hu("Értékek")}));
  EXPECT_EQ(ini.ReadSectionKeys("main"),
            (std::vector<std::string>{"plain", "spaced", "dq", "sq", "half", "mixed", "eq", "empty", "dup"}));
  EXPECT_EQ(ini.ReadSectionValues(Hu("ÉRTÉKEK")),
            (std::vector<std::pair<std::string, std::string>>{{Hu("Őr"), Hu("ű")}}));
}

TEST_F(IniFileTest, IntegersAndBooleans) {
  WriteBytes(file, "[n]\nplain=12\nplus=+7\nminus=-3\nblanks=  5 \nword=abc\nempty=\nfrac=1.5\n"
                   "huge=99999999999\nhex=0x10\nsigns=+-1\nmax=2147483647\nmin=-2147483648\n"
                   "one=1\ntwo=2\nnegative=-1\ntext=true\n");
  IniFile ini(file);
  const std::pair<const char*, int> ints[] = {
      {"plain", 12}, {"plus", 7}, {"minus", -3}, {"blanks", 5},  {"word", 99},       {"empty", 99},      {"frac", 99},
      {"huge", 99},  {"hex", 99}, {"signs", 99}, {"missing", 99}, {"max", 2147483647}, {"min", INT32_MIN},
  };
  for (const auto& [key, expected] : ints) EXPECT_EQ(ini.ReadInteger("n", key, 99), expected) << key;
  const std::tuple<const char*, bool, bool> bools[] = {
      {"one", false, true},   {"two", true, false},  {"negative", true, false},
      {"text", true, true},   {"text", false, false}, {"missing", true, true},
  };
  for (const auto& [key, def, expected] : bools) EXPECT_EQ(ini.ReadBool("n", key, def), expected) << key << def;
  ini.WriteBool("n", "flag", true);
  ini.WriteInteger("n", "count", -42);
  EXPECT_EQ(ini.ReadString("n", "flag", ""), "1");
  EXPECT_EQ(ini.ReadString("n", "count", ""), "-42");
}

TEST_F(IniFileTest, EraseSectionAndDeleteKey) {
  WriteBytes(file, "[keep]\na=1\n[Gone]\nb=2\n\n[keep2]\nA=3\n[GONE]\nc=4\n");
  IniFile ini(file);
  EXPECT_TRUE(ini.EraseSection("gone"));  // every section of the name
  EXPECT_FALSE(ini.SectionExists("Gone"));
  EXPECT_EQ(ReadBytes(file), "[keep]\r\na=1\r\n[keep2]\r\nA=3\r\n");
  EXPECT_TRUE(ini.EraseSection("never there"));
  WriteBytes(file, "[s]\nx=1\n; note\nX=2\ny=3\n");
  EXPECT_TRUE(ini.DeleteKey("S", "x"));
  EXPECT_FALSE(ini.KeyExists("s", "x"));
  EXPECT_EQ(ReadBytes(file), "[s]\r\n; note\r\ny=3\r\n");
}

TEST_F(IniFileTest, MissingFileReadsEmptyAndTheFirstWriteCreatesIt) {
  IniFile ini(file);
  EXPECT_EQ(ini.ReadString("a", "b", "def"), "def");
  EXPECT_FALSE(ini.SectionExists("a"));
  EXPECT_TRUE(ini.ReadSections().empty());
  EXPECT_TRUE(ini.EraseSection("a"));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(ini.WriteString("a", "b", "c"));
  EXPECT_EQ(ReadBytes(file), "[a]\r\nb=c\r\n");
}

TEST_F(IniFileTest, UnstorableNamesAndValuesAreRefusedAndChangeNothing) {
  WriteBytes(file, "[s]\nk=v\n");
  IniFile ini(file);
  const std::tuple<std::string, std::string, std::string> refused[] = {
      {"s", "k", "two\r\nlines"}, {"s", "k", "cr\r"},   {"s", "k", "lf\n"},  {"s\n", "k", "v"}, {"a]b", "k", "v"},
      {"s", "", "v"},             {"s", "  ", "v"},     {"s", "a=b", "v"},   {"s", "[k", "v"},  {"s", ";k", "v"},
  };
  for (const auto& [section, key, value] : refused) {
    EXPECT_FALSE(ini.WriteString(section, key, value)) << section << "/" << key;
    EXPECT_FALSE(ini.ErrorText().empty());
  }
  EXPECT_EQ(ReadBytes(file), "[s]\nk=v\n");
  // A NUL byte is just another byte of the line.
  EXPECT_TRUE(ini.WriteString("s", "k", std::string("a\0b", 3)));
  EXPECT_EQ(ini.ReadString("s", "k", ""), std::string("a\0b", 3));
}

TEST_F(IniFileTest, WriteFailuresAreReportedAndLoseNothing) {
  IniFile nowhere(dir / "no such folder" / "x.ini");
  EXPECT_FALSE(nowhere.WriteString("a", "b", "c"));
  EXPECT_NE(nowhere.ErrorText().find("x.ini"), std::string::npos);
  EXPECT_EQ(nowhere.ReadString("a", "b", "def"), "def");  // nothing pretends to be stored

  const fs::path folder = dir / "folder.ini";
  fs::create_directory(folder);
  WriteBytes(folder / "inside", "kept");
  IniFile onFolder(folder);
  EXPECT_FALSE(onFolder.WriteString("a", "b", "c"));
  EXPECT_EQ(ReadBytes(folder / "inside"), "kept");
  EXPECT_TRUE(fs::is_directory(folder));
  std::vector<std::string> left;  // no temporary file stays behind
  for (const auto& entry : fs::directory_iterator(dir.Path())) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"folder.ini"});
}

TEST_F(IniFileTest, ReadOnlyAndUnreadableFilesAreLeftAlone) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the super-user";
  WriteBytes(file, "[a]\nb=old\n");
  fs::permissions(file, fs::perms::owner_read);
  IniFile ini(file);
  EXPECT_FALSE(ini.WriteString("a", "b", "new"));
  EXPECT_EQ(ini.ReadString("a", "b", ""), "old");
  EXPECT_EQ(ReadBytes(file), "[a]\nb=old\n");

  // A writable file in a folder that takes no new files is rewritten in place.
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(ini.WriteString("a", "b", "new")) << ini.ErrorText();
  fs::permissions(dir.Path(), fs::perms::owner_all);
  EXPECT_EQ(ReadBytes(file), "[a]\r\nb=new\r\n");

  fs::permissions(file, fs::perms::none);
  IniFile unreadable(file);
  EXPECT_EQ(unreadable.ReadString("a", "b", "def"), "def");
  EXPECT_FALSE(unreadable.WriteString("a", "c", "d"));  // would otherwise replace what it cannot read
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadBytes(file), "[a]\r\nb=new\r\n");
}

TEST_F(IniFileTest, ChangesByOthersAreSeenAndKept) {
  IniFile a(file), b(file);
  EXPECT_EQ(a.ReadString("s", "k", "def"), "def");
  b.WriteString("s", "k", "from b");
  EXPECT_EQ(a.ReadString("s", "k", "def"), "from b");
  a.WriteString("s", "other", "from a");
  EXPECT_EQ(b.ReadString("s", "k", ""), "from b");
  EXPECT_EQ(b.ReadString("s", "other", ""), "from a");
  WriteBytes(file, "[s]\nk=edited by hand, longer\n");
  EXPECT_EQ(a.ReadString("s", "k", ""), "edited by hand, longer");
}

TEST_F(IniFileTest, UpdateWritesTheFileOnceAtTheEnd) {
  IniFile ini(file);
  ini.BeginUpdate();
  ini.BeginUpdate();
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(ini.WriteInteger("big", std::to_string(i), i * 2));
  EXPECT_EQ(ini.ReadInteger("big", "499", -1), 998);
  EXPECT_TRUE(ini.EndUpdate());
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(ini.EndUpdate());
  IniFile again(file);
  EXPECT_EQ(again.ReadSectionKeys("big").size(), 500u);
  EXPECT_EQ(again.ReadInteger("big", "250", -1), 500);
}

TEST_F(IniFileTest, WritingThroughALinkKeepsTheLink) {
  const fs::path target = dir / "real.ini";
  const fs::path link = dir / "link.ini";
  WriteBytes(target, "[a]\nb=1\n");
  fs::create_symlink(target, link);
  IniFile ini(link);
  EXPECT_TRUE(ini.WriteString("a", "b", "2"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadBytes(target), "[a]\r\nb=2\r\n");
}

}  // namespace
