#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "ParamTestUtil.h"
#include "params/ByteText.h"
#include "params/ParamModel.h"
#include "params/uDM.h"
#include "platform/Cp1250.h"

namespace {

using paramtest::Bytes;
using paramtest::TRecordedMessages;
using paramtest::TTempDir;
using TRecord = std::map<std::string, std::string>;
using TFields = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> kFieldOrder = {"Param_ID", "Cim", "Kategoria", "Leiras", "Meret",
                                              "Elemmeret", "Tipus", "Ugyfeljogosultsag", "Minimum",
                                              "Maximum", "Alapertek", "Aktualis_ertek", "Bitmezonevek"};

std::string ValueText(const TFieldValue& f) {
  switch (f.Kind) {
    case TFieldValue::TKind::Null:
      return "<null>";
    case TFieldValue::TKind::Integer:
      return std::to_string(f.Int);
    case TFieldValue::TKind::Boolean:
      return f.Int ? "True" : "False";
    case TFieldValue::TKind::Real:
      return std::to_string(f.Real);
    case TFieldValue::TKind::Text:
      return f.Text;
  }
  return {};
}

// The table as another program would see it right now: a connection of its own.
std::vector<TRecord> ReadTable(const std::string& path) {
  TfDM dm;
  dm.DataSource = path;
  EXPECT_TRUE(dm.Connect()) << dm.LastError();
  EXPECT_TRUE(dm.OpenTable()) << dm.LastError();
  std::vector<TRecord> out;
  dm.ForEachRecord([&](const std::vector<TFieldValue>& rec) {
    TRecord r;
    for (size_t i = 0; i < rec.size(); ++i) r[dm.FieldNames()[i]] = ValueText(rec[i]);
    out.push_back(r);
  });
  return out;
}

void Exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(db);
}

TFields Row(int cim, int meret, const std::string& tipus, const std::string& leiras,
            const std::string& aktualis = "") {
  return {{"Cim", std::to_string(cim)}, {"Meret", std::to_string(meret)}, {"Tipus", tipus},
          {"Leiras", leiras},           {"Aktualis_ertek", aktualis},     {"Ugyfeljogosultsag", "False"}};
}

class DatabaseTest : public ::testing::Test {
 protected:
  DatabaseTest() : model(dm, messages) {
    dm.BusyTimeoutMs = 0;
    model.BuildParamGridColumns();
  }

  // A database with the given records, opened.
  void OpenWith(const std::string& path, const std::vector<TFields>& rows) {
    ASSERT_TRUE(model.OpenDatabase(path));
    for (const auto& r : rows) ASSERT_TRUE(dm.Append(r)) << dm.LastError();
    ASSERT_TRUE(model.OpenDatabase(path));
    messages = TRecordedMessages();
  }
  TParamGrid& grid() { return model.ParamGrid; }
  int RowOf(const std::string& leiras) {
    for (int r = 0; r < grid().RowCount(); ++r)
      if (grid().Cell(colLeiras, r) == leiras) return r;
    return -1;
  }

  TTempDir dir;
  TfDM dm;
  TRecordedMessages messages;
  TParamModel model;
};

TEST_F(DatabaseTest, FirstStartCreatesTheDatabaseWithItsEmptyTable) {
  const std::string path = dir / kDefaultDatabaseName;
  std::vector<std::string> calls;
  model.OnCloseLink = [&] { calls.push_back("close link (log lines: " + std::to_string(messages.log.size()) + ")"); };
  model.LoadConnectionList = [&](const std::string& p) { calls.push_back("connection list " + p); };
  model.OnEnterUseMode = [&] { calls.push_back("use mode"); };
  model.OnDesignMenuEnable = [&](bool on) { calls.push_back(on ? "design menu on" : "design menu off"); };
  model.DesignMode = true;

  EXPECT_EQ(model.DatabaseLabel(), Hu("<nincs adatbázis megnyitva>"));
  ASSERT_TRUE(model.OpenDatabase(path));
  EXPECT_TRUE(messages.errors.empty());
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_TRUE(model.DatabaseOpen());
  EXPECT_TRUE(grid().Visible());
  EXPECT_FALSE(model.DesignMode);
  EXPECT_EQ(grid().RowCount(), 0);
  EXPECT_EQ(model.DatabasePath(), path);
  EXPECT_EQ(model.DatabaseLabel(), path);
  EXPECT_EQ(messages.log, std::vector<std::string>{Hu("Adatbázis megnyitása: ") + path});
  EXPECT_EQ(calls, (std::vector<std::string>{"close link (log lines: 0)", "connection list " + path, "use mode",
                                             "design menu on"}));
  EXPECT_EQ(dm.FieldNames(), kFieldOrder);

  // The new table takes records, numbering them itself.
  int64_t id1 = 0, id2 = 0;
  ASSERT_TRUE(dm.Append(Row(0, 1, "byte", "a"), &id1));
  ASSERT_TRUE(dm.Append(Row(1, 1, "byte", "b"), &id2));
  EXPECT_GT(id2, id1);
  EXPECT_EQ(ReadTable(path).size(), 2u);
}

TEST(DatabasePaths, DefaultDatabaseBesideTheProgram) {
  EXPECT_EQ(DefaultDatabasePath("/opt/pd/"), "/opt/pd/ParamDeck.mdb");
  EXPECT_EQ(DefaultDatabasePath("/opt/pd"), "/opt/pd/ParamDeck.mdb");
  EXPECT_EQ(DefaultDatabasePath("/"), "/ParamDeck.mdb");
  EXPECT_EQ(DefaultDatabasePath(""), "./ParamDeck.mdb");
}

TEST_F(DatabaseTest, DatabaseThatCannotBeCreated) {
  const std::string path = dir / "missing-folder/ParamDeck.mdb";
  EXPECT_FALSE(model.OpenDatabase(path));
  ASSERT_EQ(messages.errors.size(), 1u);
  EXPECT_EQ(messages.errors[0].rfind(Hu("Hiba történt az adatbázis létrehozásakor: "), 0), 0u) << messages.errors[0];
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(model.DatabaseOpen());
  EXPECT_FALSE(grid().Visible());
}

TEST_F(DatabaseTest, FilesThatAreNotParameterDatabases) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string prefix;
    std::string mentions;
    bool labelShowsPath;
  };
  const std::string jetHead = std::string("\0\1\0\0Standard Jet DB\0", 20) + std::string(2000, '\0');
  const std::vector<Case> cases = {
      {"text file", [](const std::string& p) { std::ofstream(p) << "Cim;Meret\n0;1\n"; }, Hu("Hiba történt: "),
       Hu("nem paraméter-adatbázis"), false},
      {"old-format database", [&](const std::string& p) { std::ofstream(p, std::ios::binary) << jetHead; },
       Hu("Hiba történt: "), "Jet 4.0", false},
      {"database without the table", [](const std::string& p) { Exec(p, "CREATE TABLE Other (x INTEGER)"); },
       Hu("Hiba történt: "), Hu("nincs \"Parameterek\" tábla"), true},
      {"folder", [](const std::string& p) { std::filesystem::create_directory(p); },
       Hu("Hiba történt az adatbázis létrehozásakor: "), Hu("mappa"), false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Each bad file is opened while a good database is open.
    OpenWith(dir / ("good" + std::to_string(n) + ".mdb"), {Row(0, 1, "byte", "x")});
    ASSERT_EQ(grid().RowCount(), 1);

    const std::string path = dir / ("bad" + std::to_string(n++) + ".mdb");
    c.make(path);
    const std::string before = std::filesystem::is_regular_file(path) ? ReadFileBytes(path) : "";
    EXPECT_FALSE(model.OpenDatabase(path));
    ASSERT_EQ(messages.errors.size(), 1u);
    const std::string& e = messages.errors[0];
    EXPECT_EQ(e.rfind(c.prefix, 0), 0u) << Cp1250ToUtf8(e);
    EXPECT_NE(e.find(c.mentions), std::string::npos) << Cp1250ToUtf8(e);
    EXPECT_NE(e.find(path), std::string::npos) << Cp1250ToUtf8(e);
    EXPECT_FALSE(model.DatabaseOpen());
    EXPECT_FALSE(grid().Visible());
    EXPECT_EQ(grid().RowCount(), 0);
    EXPECT_EQ(model.DatabaseLabel() == path, c.labelShowsPath);
    if (std::filesystem::is_regular_file(path)) {
      EXPECT_EQ(ReadFileBytes(path), before);
    }
  }
}

TEST_F(DatabaseTest, DatabaseLockedByAnotherProgram) {
  const std::string path = dir / "locked.mdb";
  OpenWith(path, {Row(0, 1, "byte", "a")});
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  EXPECT_FALSE(model.OpenDatabase(path));
  ASSERT_EQ(messages.errors.size(), 1u);
  EXPECT_NE(messages.errors[0].find(Hu("egy másik program zárolja")), std::string::npos)
      << Cp1250ToUtf8(messages.errors[0]);
  EXPECT_FALSE(model.DatabaseOpen());

  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(model.OpenDatabase(path));
  EXPECT_EQ(grid().RowCount(), 1);
}

TEST_F(DatabaseTest, FailingHookIsReportedAndLeavesNoDatabase) {
  const std::string path = dir / "hook.mdb";
  model.LoadConnectionList = [](const std::string&) { throw std::runtime_error(Hu("INI olvasási hiba")); };
  EXPECT_FALSE(model.OpenDatabase(path));
  EXPECT_EQ(messages.errors, std::vector<std::string>{Hu("Hiba történt: INI olvasási hiba")});
  EXPECT_FALSE(model.DatabaseOpen());
  EXPECT_FALSE(grid().Visible());
}

TEST_F(DatabaseTest, OpeningShowsZerosSortsByAddressAndReloadBringsStoredValuesBack) {
  const std::string path = dir / "values.mdb";
  OpenWith(path, {Row(10, 3, Hu("tömb"), "c", "ABC"), Row(0, 2, "word", "a", "xy"), Row(5, 1, "byte", "b", "q")});
  ASSERT_EQ(grid().RowCount(), 3);
  EXPECT_EQ(grid().Cell(colLeiras, 0), "a");
  EXPECT_EQ(grid().Cell(colLeiras, 2), "c");
  EXPECT_EQ(grid().Cell(colAktualis_ertek, 2), std::string(3, '\0'));
  EXPECT_EQ(grid().Cell(colBajtok_erteke, 2), "000 000 000 ");
  EXPECT_EQ(grid().Cell(colBeallitott_ertek, 0), "0");
  EXPECT_EQ(grid().SortColumn(), colCim);
  EXPECT_EQ(grid().SelectedColumn(), colBeallitott_ertek);
  EXPECT_EQ(grid().Cell(colUgyfeljogosultsag, 0), "False");

  ASSERT_TRUE(model.Reload());
  // A reload is in table order and takes the stored current values again.
  EXPECT_EQ(grid().Cell(colLeiras, 0), "c");
  EXPECT_EQ(grid().Cell(colAktualis_ertek, 0), "ABC");
}

TEST_F(DatabaseTest, FieldsGoIntoColumnsByPosition) {
  const std::string path = dir / "swapped.mdb";
  Exec(path,
       "CREATE TABLE Parameterek (Cim INTEGER, Param_ID INTEGER PRIMARY KEY AUTOINCREMENT, Kategoria TEXT,"
       " Leiras TEXT, Meret INTEGER);"
       "INSERT INTO Parameterek (Cim, Kategoria, Leiras, Meret) VALUES (77, 'k', 'l', 1);");
  ASSERT_TRUE(model.OpenDatabase(path)) << Cp1250ToUtf8(messages.errors.empty() ? "" : messages.errors[0]);
  ASSERT_EQ(grid().RowCount(), 1);
  EXPECT_EQ(grid().Cell(colParam_ID, 0), "77");
  EXPECT_EQ(grid().Cell(colCim, 0), "1");
  EXPECT_EQ(grid().Cell(colLeiras, 0), "l");
  EXPECT_EQ(grid().Cell(colTipus, 0), "");
}

TEST_F(DatabaseTest, CodePage1250BytesSurviveTheDatabaseByteForByte) {
  std::string high;
  for (int b = 0x80; b <= 0x9F; ++b) high.push_back(static_cast<char>(b));
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  struct Case {
    std::string bytes;
    std::string storedHex;  // the UTF-8 the file holds; empty: not checked
  };
  const std::vector<Case> cases = {
      {Bytes({0}), "00"},
      {Bytes({0, 0, 0}), "000000"},
      {Bytes({0xF5}), "C591"},
      {Bytes({0x80, 0x81}), "E282ACC281"},
      {Bytes({'A', 0, 'B'}), "410042"},
      {high, ""},
      {all, ""},
      {Hu("Vész stop ő"), ""},
  };
  const std::string path = dir / "bytes.mdb";
  OpenWith(path, {Row(0, 255, Hu("tömb"), "p")});
  model.DesignMode = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(Cp1250ToUtf8(c.bytes));
    grid().SetCell(colAlapertek, 0, c.bytes);
    grid().SetCell(colLeiras, 0, c.bytes);
    ASSERT_TRUE(messages.errors.empty()) << Cp1250ToUtf8(messages.errors[0]);
    const auto table = ReadTable(path);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].at("Alapertek"), c.bytes);
    EXPECT_EQ(table[0].at("Leiras"), c.bytes);
    if (!c.storedHex.empty()) {
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, "SELECT typeof(Alapertek), hex(CAST(Alapertek AS BLOB)) FROM Parameterek", -1, &st,
                         nullptr);
      ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
      EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "text");
      EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)), c.storedHex);
      sqlite3_finalize(st);
      sqlite3_close(db);
    }
  }
  // And back into a grid through a fresh open.
  model.DesignMode = false;
  ASSERT_TRUE(model.OpenDatabase(path));
  EXPECT_EQ(grid().Cell(colAlapertek, 0), cases.back().bytes);
}

TEST_F(DatabaseTest, RecordOperationsTakeEffectInTheFileAtOnce) {
  const std::string path = dir / "records.mdb";
  OpenWith(path, {});
  int64_t a = 0, b = 0, c = 0;
  ASSERT_TRUE(dm.Append(Row(0, 1, "byte", "a"), &a));
  ASSERT_TRUE(dm.Append(Row(1, 1, "byte", "b"), &b));
  ASSERT_TRUE(dm.Append(Row(2, 1, "byte", "c"), &c));

  EXPECT_FALSE(dm.Locate(c + 100));
  EXPECT_TRUE(dm.LastError().empty());
  ASSERT_TRUE(dm.Locate(b));
  ASSERT_TRUE(dm.SetField("Leiras", Hu("bé")));
  ASSERT_TRUE(dm.SetField("Ugyfeljogosultsag", "True"));
  ASSERT_TRUE(dm.SetField("Meret", "65535"));
  EXPECT_EQ(ReadTable(path)[1].at("Leiras"), Hu("bé"));
  EXPECT_EQ(ReadTable(path)[1].at("Ugyfeljogosultsag"), "True");
  EXPECT_EQ(ReadTable(path)[1].at("Meret"), "65535");

  // Texts a field cannot take are refused with a reason, and the record keeps its value.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"Meret", "65536"}, {"Meret", "-1"}, {"Cim", "abc"}, {"Cim", "4294967296"}, {"Cim", "2147483648"},
      {"Elemmeret", "-2147483649"}, {"Ugyfeljogosultsag", "talan"}, {"Nincs", "1"}};
  for (const auto& [field, text] : refused) {
    EXPECT_FALSE(dm.SetField(field, text)) << field << "=" << text;
    EXPECT_FALSE(dm.LastError().empty());
  }
  EXPECT_EQ(ReadTable(path)[1].at("Meret"), "65535");
  // Address and element size are signed 32-bit fields.
  const std::vector<std::pair<std::string, std::string>> signedLimits = {
      {"Cim", "-2147483648"}, {"Cim", "2147483647"}, {"Elemmeret", "-1"}, {"Elemmeret", "-2147483648"}};
  for (const auto& [field, text] : signedLimits) {
    ASSERT_TRUE(dm.SetField(field, text)) << field << "=" << text << ": " << dm.LastError();
    EXPECT_EQ(ReadTable(path)[1].at(field), text);
  }
  ASSERT_TRUE(dm.SetField("Cim", ""));
  EXPECT_EQ(ReadTable(path)[1].at("Cim"), "<null>");

  // Deleting moves to the record that followed, or to the new last one.
  int64_t current = 0;
  ASSERT_TRUE(dm.DeleteCurrent());
  ASSERT_TRUE(dm.CurrentParamID(current));
  EXPECT_EQ(current, c);
  ASSERT_TRUE(dm.Refresh());
  ASSERT_TRUE(dm.CurrentParamID(current));
  EXPECT_EQ(current, c);
  ASSERT_TRUE(dm.DeleteCurrent());
  ASSERT_TRUE(dm.CurrentParamID(current));
  EXPECT_EQ(current, a);
  EXPECT_EQ(ReadTable(path).size(), 1u);

  // Numbers are never handed out twice.
  int64_t d = 0;
  ASSERT_TRUE(dm.Append(Row(3, 1, "byte", "d"), &d));
  EXPECT_GT(d, c);
  ASSERT_TRUE(dm.Locate(a));
  ASSERT_TRUE(dm.DeleteCurrent());
  ASSERT_TRUE(dm.DeleteCurrent());
  EXPECT_FALSE(dm.CurrentParamID(current));
  EXPECT_TRUE(ReadTable(path).empty());
}

TEST_F(DatabaseTest, RowChangeRuleInUseAndDesignMode) {
  struct Case {
    const char* what;
    bool design;
    int col;
    std::string text;
    std::string gridMeret;           // the row's size afterwards
    TRecord saved;                   // fields expected in the file afterwards
    bool error = false;
  };
  const std::string tomb = Hu("tömb");
  const std::string bitmezo = Hu("bitmező");
  const std::vector<Case> cases = {
      {"use mode: type sets the size only in the grid", false, colTipus, "word", "2", {{"Tipus", tomb}, {"Meret", "1"}}},
      {"use mode: definition stays in the grid", false, colLeiras, "uj", "1", {{"Leiras", "p"}}},
      {"design: longword sets and saves size 4", true, colTipus, "longword", "4",
       {{"Tipus", "longword"}, {"Meret", "4"}}},
      {"design: word from a size-1 row", true, colTipus, "word", "2", {{"Tipus", "word"}, {"Meret", "2"}}},
      {"design: bit field keeps the size", true, colTipus, bitmezo, "1", {{"Tipus", bitmezo}, {"Meret", "1"}}},
      {"design: description saved", true, colLeiras, Hu("Hőmérséklet"), "1", {{"Leiras", Hu("Hőmérséklet")}}},
      {"design: check box saved", true, colUgyfeljogosultsag, "True", "1", {{"Ugyfeljogosultsag", "True"}}},
      {"design: current value never saved", true, colAktualis_ertek, "\x05", "1", {{"Aktualis_ertek", ""}}},
      {"design: size typed as text is refused", true, colMeret, "abc", "abc", {{"Meret", "1"}}, true},
  };
  const std::string path = dir / "rule.mdb";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(path);
    OpenWith(path, {Row(0, 1, Hu("tömb"), "p")});
    model.DesignMode = c.design;
    grid().SetCell(c.col, 0, c.text);
    EXPECT_EQ(grid().Cell(colMeret, 0), c.gridMeret);
    const auto table = ReadTable(path);
    for (const auto& [field, value] : c.saved) EXPECT_EQ(table[0].at(field), value) << field;
    EXPECT_EQ(messages.errors.size(), c.error ? 1u : 0u);
    if (c.error) {
      EXPECT_EQ(messages.errors[0].rfind(Hu("Hiba történt: "), 0), 0u);
    }
  }

  // Writing the current value re-formats the row, in either mode.
  grid().SetCell(colTipus, 0, "word");
  grid().SetCell(colAktualis_ertek, 0, Bytes({0x34, 0x12}));
  EXPECT_EQ(grid().Cell(colBeallitott_ertek, 0), "4660");
  EXPECT_EQ(grid().Cell(colBajtok_erteke, 0), "052 018 ");

  // A row whose record is gone is silently not saved.
  messages = TRecordedMessages();
  grid().SetCell(colParam_ID, 0, "9999");
  grid().SetCell(colLeiras, 0, "elveszett");
  EXPECT_TRUE(messages.errors.empty());
  EXPECT_EQ(ReadTable(path)[0].at("Leiras"), "p");
}

}  // namespace
