// Opening a full-size parameter table and decoding a whole EEPROM image into it: the two
// steps a user waits for after choosing a database and after a whole-table read.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

#include "params/ParamMessages.h"
#include "params/ParamModel.h"
#include "platform/Cp1250.h"
#include "support/TempDir.h"

namespace {

constexpr int kRows = 4096;

struct TQuietMessages : TParamMessages {
  void LogToWindow(const std::string&) override {}
  void ShowInfo(const std::string&) override {}
  void ShowError(const std::string&) override {}
};

// A database of kRows one-byte parameters covering addresses 0..4095, stored in shuffled
// address order so that opening has to sort.
class TBenchDatabase {
 public:
  TBenchDatabase() {
    path_ = dir_.File("ParamDeck.mdb");
    TfDM dm;
    dm.DataSource = path_;
    if (!dm.CreateDatabase()) throw std::runtime_error(Cp1250ToUtf8(dm.LastError()));

    std::vector<int> addresses(kRows);
    std::iota(addresses.begin(), addresses.end(), 0);
    std::shuffle(addresses.begin(), addresses.end(), std::mt19937(42));
    const std::string types[] = {"byte", Cp1250ToUtf8(Hu("tömb")), Cp1250ToUtf8(Hu("bitmező")), "string"};
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Parameterek (Cim, Kategoria, Leiras, Meret, Elemmeret, Tipus, Ugyfeljogosultsag,"
                       " Minimum, Maximum, Alapertek, Aktualis_ertek, Bitmezonevek)"
                       " VALUES (?, 'Általános', ?, 1, 1, ?, 0, ?, ?, ?, ?, 'a,b,c')",
                       -1, &st, nullptr);
    const std::string zero(1, '\0'), full = Cp1250ToUtf8("\xFF");
    for (int i = 0; i < kRows; ++i) {
      const std::string leiras = Cp1250ToUtf8(Hu("Paraméter ")) + std::to_string(addresses[i]);
      const std::string& type = types[i % 4];
      sqlite3_bind_int(st, 1, addresses[i]);
      sqlite3_bind_text(st, 2, leiras.data(), static_cast<int>(leiras.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 3, type.data(), static_cast<int>(type.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 4, zero.data(), 1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 5, full.data(), static_cast<int>(full.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 6, zero.data(), 1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 7, "x", 1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  const std::string& Path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
};

const TBenchDatabase& Database() {
  static const TBenchDatabase db;
  return db;
}

void BM_OpenDatabase4096Rows(benchmark::State& state) {
  TfDM dm;
  TQuietMessages messages;
  TParamModel model(dm, messages);
  model.BuildParamGridColumns();
  for (auto _ : state) {
    if (!model.OpenDatabase(Database().Path())) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(model.ParamGrid.RowCount());
  }
  if (model.ParamGrid.RowCount() != kRows) state.SkipWithError("wrong row count");
}
BENCHMARK(BM_OpenDatabase4096Rows)->Unit(benchmark::kMillisecond);

void BM_ImageToGrid4096Rows(benchmark::State& state) {
  TfDM dm;
  TQuietMessages messages;
  TParamModel model(dm, messages);
  model.BuildParamGridColumns();
  if (!model.OpenDatabase(Database().Path())) state.SkipWithError("open failed");
  // Read in display order as a user would have left it: sorted by description.
  model.ParamGrid.SortBy(colLeiras, true);
  unsigned char fill = 0;
  for (auto _ : state) {
    state.PauseTiming();
    model.Image.Bytes.fill(++fill);
    model.ParamGrid.SortBy(colLeiras, true);
    state.ResumeTiming();
    if (!model.ImageToGrid()) state.SkipWithError("conversion failed");
  }
}
BENCHMARK(BM_ImageToGrid4096Rows)->Unit(benchmark::kMillisecond);

}  // namespace
