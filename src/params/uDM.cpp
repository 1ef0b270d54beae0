#include "params/uDM.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "params/ParamGrid.h"
#include "platform/Cp1250.h"

namespace {

// The table as a new database receives it: the thirteen fields in the order the grid
// takes them by position.
constexpr const char* kCreateTableSql =
    "CREATE TABLE \"Parameterek\" ("
    "\"Param_ID\" INTEGER PRIMARY KEY AUTOINCREMENT, "
    "\"Cim\" INTEGER, "
    "\"Kategoria\" VARCHAR(50), "
    "\"Leiras\" VARCHAR(50), "
    "\"Meret\" UNSIGNED SMALLINT, "
    "\"Elemmeret\" INTEGER, "
    "\"Tipus\" VARCHAR(50), "
    "\"Ugyfeljogosultsag\" BOOLEAN, "
    "\"Minimum\" VARCHAR(255), "
    "\"Maximum\" VARCHAR(255), "
    "\"Alapertek\" VARCHAR(255), "
    "\"Aktualis_ertek\" VARCHAR(255), "
    "\"Bitmezonevek\" TEXT)";

std::string Quoted(const std::string& name) {
  std::string q = "\"";
  for (char c : name) {
    if (c == '"') q.push_back('"');
    q.push_back(c);
  }
  return q + "\"";
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

bool IsBooleanType(const std::string& declType) {
  const std::string t = Upper(declType);
  return t.find("BOOL") != std::string::npos || t == "BIT" || t == "YESNO";
}

bool IsIntegerType(const std::string& declType) { return Upper(declType).find("INT") != std::string::npos; }

bool IsRealType(const std::string& declType) {
  const std::string t = Upper(declType);
  return t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
         t.find("DOUB") != std::string::npos;
}

// The range an integer field accepts, from its declared type.
void IntegerRange(const std::string& declType, int64_t& lo, int64_t& hi) {
  const std::string t = Upper(declType);
  const bool isUnsigned = t.find("UNSIGNED") != std::string::npos;
  if (t.find("BIGINT") != std::string::npos) {
    lo = std::numeric_limits<int64_t>::min();
    hi = std::numeric_limits<int64_t>::max();
  } else if (t.find("TINYINT") != std::string::npos) {
    lo = 0;
    hi = 255;
  } else if (t.find("SMALLINT") != std::string::npos) {
    lo = isUnsigned ? 0 : -32768;
    hi = isUnsigned ? 65535 : 32767;
  } else {
    lo = isUnsigned ? 0 : std::numeric_limits<int32_t>::min();
    hi = isUnsigned ? std::numeric_limits<uint32_t>::max() : std::numeric_limits<int32_t>::max();
  }
}

std::string PathText(const std::string& path) { return Utf8ToCp1250(path); }

// A database file of the old platform starts with this signature after four bytes.
bool LooksLikeJetFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[20] = {};
  in.read(head, sizeof head);
  if (in.gcount() < static_cast<std::streamsize>(sizeof head)) return false;
  const std::string_view sig(head + 4, 15);
  return sig == "Standard Jet DB" || sig == "Standard ACE DB";
}

// What a person can do about a failure, with the database engine's own reason.
std::string DescribeSqlite(int code, const std::string& reason, const std::string& path, bool creating) {
  const std::string p = PathText(path);
  const std::string why = Utf8ToCp1250(reason);
  switch (code & 0xFF) {
    case SQLITE_NOTADB:
      if (LooksLikeJetFile(path))
        return Hu("A(z) \"") + p +
               Hu("\" régi, Jet 4.0 formátumú adatbázis, ezt a program nem tudja megnyitni. Válasszon "
                  "SQLite formátumú paraméter-adatbázist, vagy adjon meg egy még nem létező állománynevet, "
                  "és a program új, üres adatbázist hoz létre.");
      return Hu("A(z) \"") + p +
             Hu("\" állomány nem paraméter-adatbázis (nem SQLite-adatbázis). Válasszon egy másik állományt.");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Hu("A(z) \"") + p +
             Hu("\" adatbázist egy másik program zárolja. Zárja be azt a programot, majd próbálja újra.");
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      if (creating)
        return Hu("A(z) \"") + p + Hu("\" állomány nem hozható létre (") + why +
               Hu("). Ellenőrizze, hogy a mappa létezik-e, és van-e hozzá írási jogosultsága.");
      return Hu("A(z) \"") + p + Hu("\" állomány nem nyitható meg (") + why +
             Hu("). Ellenőrizze, hogy létezik-e, és van-e hozzá olvasási jogosultsága.");
    case SQLITE_READONLY:
      return Hu("A(z) \"") + p +
             Hu("\" adatbázis csak olvasható, a változás nem menthető. Ellenőrizze az állomány írási jogát.");
    case SQLITE_CORRUPT:
      return Hu("A(z) \"") + p + Hu("\" adatbázis sérült (") + why + Hu("). Nyissa meg egy ép másolatát.");
    case SQLITE_FULL:
      return Hu("Nincs elég hely a lemezen a(z) \"") + p + Hu("\" adatbázis írásához.");
    default:
      return Hu("Adatbázishiba (") + p + "): " + why;
  }
}

}  // namespace

std::string DefaultDatabasePath(const std::string& programDir) {
  std::string dir = programDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return (dir.empty() ? std::string(".") : dir) + (dir == "/" ? "" : "/") + kDefaultDatabaseName;
}

TfDM::TfDM() = default;

TfDM::~TfDM() { Disconnect(); }

bool TfDM::Fail(const std::string& text) {
  lastError_ = text;
  return false;
}

bool TfDM::FailSqlite(int code) {
  return Fail(DescribeSqlite(code, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code), DataSource, false));
}

bool TfDM::CreateDatabase() {
  lastError_.clear();
  std::error_code ec;
  const auto status = std::filesystem::status(DataSource, ec);
  if (std::filesystem::is_directory(status))
    return Fail(Hu("A(z) \"") + PathText(DataSource) + Hu("\" egy mappa; adjon meg egy állománynevet."));
  if (std::filesystem::exists(status))
    return Fail(Hu("A(z) \"") + PathText(DataSource) + Hu("\" állomány már létezik, nem írom felül."));

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(DataSource.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, kCreateTableSql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_close(db);
    return true;
  }
  const std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  sqlite3_close(db);
  // A file without the table would only fail again at every later attempt.
  std::filesystem::remove(DataSource, ec);
  return Fail(DescribeSqlite(rc, reason, DataSource, true));
}

bool TfDM::Connect() {
  Disconnect();
  lastError_.clear();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(DataSource, ec))
    return Fail(Hu("A(z) \"") + PathText(DataSource) + Hu("\" állomány nem létezik."));
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(DataSource.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    // Opening is lazy; reading the schema is what tells a database from any other file.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    const std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return Fail(DescribeSqlite(rc, reason, DataSource, false));
  }
  db_ = db;
  return true;
}

void TfDM::Disconnect() {
  CloseTable();
  for (auto& [sql, st] : statements_) sqlite3_finalize(st);
  statements_.clear();
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

sqlite3_stmt* TfDM::Prepare(const std::string& sql) {
  if (!db_) {
    Fail(Hu("Nincs megnyitott adatbázis."));
    return nullptr;
  }
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* st = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr);
  if (rc != SQLITE_OK) {
    FailSqlite(rc);
    return nullptr;
  }
  statements_.emplace(sql, st);
  return st;
}

bool TfDM::Step(sqlite3_stmt* st) {
  const int rc = sqlite3_step(st);
  sqlite3_reset(st);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
  return FailSqlite(rc);
}

bool TfDM::ReadColumns() {
  columns_.clear();
  fieldNames_.clear();
  sqlite3_stmt* st = Prepare(std::string("PRAGMA table_info(") + Quoted(kParamTable) + ")");
  if (!st) return false;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    TColumnInfo c;
    c.name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    const unsigned char* t = sqlite3_column_text(st, 2);
    c.declType = t ? reinterpret_cast<const char*>(t) : "";
    fieldNames_.push_back(c.name);
    columns_.push_back(std::move(c));
  }
  sqlite3_reset(st);
  if (rc != SQLITE_DONE) return FailSqlite(rc);
  if (columns_.empty())
    return Fail(Hu("A(z) \"") + PathText(DataSource) +
                Hu("\" adatbázisban nincs \"Parameterek\" tábla. Válasszon egy másik paraméter-adatbázist."));
  return true;
}

bool TfDM::OpenTable() {
  CloseTable();
  lastError_.clear();
  if (!ReadColumns()) return false;
  // The schema alone does not prove the table readable (another program may lock it).
  int64_t count = RecordCount();
  if (count < 0) return false;
  tableOpen_ = true;
  return GoToPosition(0);
}

void TfDM::CloseTable() {
  tableOpen_ = false;
  hasCurrent_ = false;
  columns_.clear();
  fieldNames_.clear();
}

const TfDM::TColumnInfo* TfDM::FindColumn(const std::string& name) const {
  for (const auto& c : columns_)
    if (SameName(c.name, name)) return &c;
  return nullptr;
}

int64_t TfDM::RecordCount() {
  sqlite3_stmt* st = Prepare(std::string("SELECT count(*) FROM ") + Quoted(kParamTable));
  if (!st) return -1;
  const int rc = sqlite3_step(st);
  const int64_t n = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
  sqlite3_reset(st);
  if (rc != SQLITE_ROW) FailSqlite(rc);
  return n;
}

bool TfDM::ForEachRecord(const std::function<void(const std::vector<TFieldValue>&)>& onRecord) {
  sqlite3_stmt* st = Prepare(std::string("SELECT * FROM ") + Quoted(kParamTable) + " ORDER BY rowid");
  if (!st) return false;
  const int n = sqlite3_column_count(st);
  std::vector<bool> boolean(n);
  for (int i = 0; i < n; ++i) {
    const char* t = sqlite3_column_decltype(st, i);
    boolean[i] = t && IsBooleanType(t);
  }
  std::vector<TFieldValue> record(n);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int i = 0; i < n; ++i) {
      TFieldValue& f = record[i];
      f.Text.clear();
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_INTEGER:
          f.Int = sqlite3_column_int64(st, i);
          f.Kind = boolean[i] ? TFieldValue::TKind::Boolean : TFieldValue::TKind::Integer;
          break;
        case SQLITE_FLOAT:
          f.Real = sqlite3_column_double(st, i);
          f.Kind = TFieldValue::TKind::Real;
          break;
        case SQLITE_TEXT: {
          const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
          // The length, not the terminator: byte texts hold NUL characters.
          f.Text = Utf8ToCp1250(std::string_view(p, sqlite3_column_bytes(st, i)));
          f.Kind = TFieldValue::TKind::Text;
          break;
        }
        case SQLITE_BLOB: {
          const auto* p = static_cast<const char*>(sqlite3_column_blob(st, i));
          f.Text.assign(p ? p : "", sqlite3_column_bytes(st, i));
          f.Kind = TFieldValue::TKind::Text;
          break;
        }
        default:
          f.Kind = TFieldValue::TKind::Null;
          break;
      }
    }
    onRecord(record);
  }
  sqlite3_reset(st);
  if (rc != SQLITE_DONE) return FailSqlite(rc);
  return true;
}

bool TfDM::BindFromText(sqlite3_stmt* st, int index, const TColumnInfo& column, const std::string& text) {
  const std::string field = Utf8ToCp1250(column.name);
  if (IsBooleanType(column.declType)) {
    const std::string t = Upper(text);
    if (t.empty()) return sqlite3_bind_null(st, index) == SQLITE_OK;
    if (t == "TRUE" || t == "1" || t == "-1") return sqlite3_bind_int(st, index, 1) == SQLITE_OK;
    if (t == "FALSE" || t == "0") return sqlite3_bind_int(st, index, 0) == SQLITE_OK;
    return Fail(Hu("A(z) \"") + text + Hu("\" nem érvényes logikai érték a(z) ") + field + Hu(" mezőben."));
  }
  if (IsIntegerType(column.declType)) {
    if (text.empty()) return sqlite3_bind_null(st, index) == SQLITE_OK;
    int64_t v = 0, lo = 0, hi = 0;
    if (!ParseCellInt(text, v))
      return Fail(Hu("A(z) \"") + text + Hu("\" nem érvényes egész szám a(z) ") + field + Hu(" mezőben."));
    IntegerRange(column.declType, lo, hi);
    if (v < lo || v > hi)
      return Fail(Hu("A(z) ") + std::to_string(v) + Hu(" érték nem fér el a(z) ") + field + Hu(" mezőben (") +
                  std::to_string(lo) + ".." + std::to_string(hi) + ").");
    return sqlite3_bind_int64(st, index, v) == SQLITE_OK;
  }
  if (IsRealType(column.declType)) {
    if (text.empty()) return sqlite3_bind_null(st, index) == SQLITE_OK;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno != 0)
      return Fail(Hu("A(z) \"") + text + Hu("\" nem érvényes szám a(z) ") + field + Hu(" mezőben."));
    return sqlite3_bind_double(st, index, v) == SQLITE_OK;
  }
  const std::string utf8 = Cp1250ToUtf8(text);
  return sqlite3_bind_text(st, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool TfDM::ReadRowid(sqlite3_stmt* st, int64_t& rowid, bool& found) {
  const int rc = sqlite3_step(st);
  found = rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL;
  if (found) rowid = sqlite3_column_int64(st, 0);
  sqlite3_reset(st);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite(rc);
  return true;
}

bool TfDM::GoToPosition(int64_t position) {
  sqlite3_stmt* st =
      Prepare(std::string("SELECT rowid FROM ") + Quoted(kParamTable) + " ORDER BY rowid LIMIT 1 OFFSET ?");
  if (!st) return false;
  sqlite3_bind_int64(st, 1, position);
  return SettleOn(st);
}

bool TfDM::SettleOn(sqlite3_stmt* st) {
  int64_t rowid = 0;
  bool found = false;
  if (!ReadRowid(st, rowid, found)) return false;
  if (!found) {
    // Past the end: the last record, if any.
    st = Prepare(std::string("SELECT max(rowid) FROM ") + Quoted(kParamTable));
    if (!st || !ReadRowid(st, rowid, found)) return false;
  }
  hasCurrent_ = found;
  current_ = rowid;
  return true;
}

bool TfDM::Locate(int64_t paramId) {
  lastError_.clear();
  if (!tableOpen_) return Fail(Hu("A paramétertábla nincs megnyitva."));
  sqlite3_stmt* st = Prepare(std::string("SELECT rowid FROM ") + Quoted(kParamTable) +
                             " WHERE \"Param_ID\" = ? ORDER BY rowid LIMIT 1");
  if (!st) return false;
  sqlite3_bind_int64(st, 1, paramId);
  int64_t rowid = 0;
  bool found = false;
  if (!ReadRowid(st, rowid, found) || !found) return false;
  current_ = rowid;
  hasCurrent_ = true;
  return true;
}

bool TfDM::SetField(const std::string& fieldName, const std::string& text) {
  lastError_.clear();
  if (!tableOpen_ || !hasCurrent_) return Fail(Hu("Nincs kiválasztott rekord a paramétertáblában."));
  const TColumnInfo* column = FindColumn(fieldName);
  if (!column)
    return Fail(Hu("A paramétertáblában nincs \"") + Utf8ToCp1250(fieldName) + Hu("\" nevű mező."));
  sqlite3_stmt* st =
      Prepare(std::string("UPDATE ") + Quoted(kParamTable) + " SET " + Quoted(column->name) + " = ? WHERE rowid = ?");
  if (!st) return false;
  if (!BindFromText(st, 1, *column, text)) return false;
  sqlite3_bind_int64(st, 2, current_);
  return Step(st);
}

bool TfDM::Append(const std::vector<std::pair<std::string, std::string>>& fields, int64_t* newParamId) {
  lastError_.clear();
  if (!tableOpen_) return Fail(Hu("A paramétertábla nincs megnyitva."));
  std::vector<const TColumnInfo*> columns;
  std::string names, marks;
  for (const auto& [name, text] : fields) {
    const TColumnInfo* c = FindColumn(name);
    if (!c) return Fail(Hu("A paramétertáblában nincs \"") + Utf8ToCp1250(name) + Hu("\" nevű mező."));
    columns.push_back(c);
    names += (names.empty() ? "" : ", ") + Quoted(c->name);
    marks += marks.empty() ? "?" : ", ?";
  }
  const std::string sql = "INSERT INTO " + Quoted(kParamTable) +
                          (fields.empty() ? std::string(" DEFAULT VALUES") : " (" + names + ") VALUES (" + marks + ")");
  sqlite3_stmt* st = Prepare(sql);
  if (!st) return false;
  for (size_t i = 0; i < fields.size(); ++i)
    if (!BindFromText(st, static_cast<int>(i) + 1, *columns[i], fields[i].second)) return false;
  if (!Step(st)) return false;
  current_ = sqlite3_last_insert_rowid(db_);
  hasCurrent_ = true;
  if (!newParamId) return true;
  return CurrentParamID(*newParamId);
}

bool TfDM::DeleteCurrent() {
  lastError_.clear();
  if (!tableOpen_ || !hasCurrent_) return Fail(Hu("Nincs kiválasztott rekord a paramétertáblában."));
  sqlite3_stmt* st = Prepare(std::string("DELETE FROM ") + Quoted(kParamTable) + " WHERE rowid = ?");
  if (!st) return false;
  sqlite3_bind_int64(st, 1, current_);
  if (!Step(st)) return false;
  st = Prepare(std::string("SELECT rowid FROM ") + Quoted(kParamTable) + " WHERE rowid > ? ORDER BY rowid LIMIT 1");
  if (!st) return false;
  sqlite3_bind_int64(st, 1, current_);
  return SettleOn(st);
}

bool TfDM::CurrentParamID(int64_t& paramId) {
  lastError_.clear();
  if (!tableOpen_ || !hasCurrent_) return Fail(Hu("Nincs kiválasztott rekord a paramétertáblában."));
  sqlite3_stmt* st = Prepare(std::string("SELECT \"Param_ID\" FROM ") + Quoted(kParamTable) + " WHERE rowid = ?");
  if (!st) return false;
  sqlite3_bind_int64(st, 1, current_);
  bool found = false;
  if (!ReadRowid(st, paramId, found)) return false;
  if (!found) return Fail(Hu("Nincs kiválasztott rekord a paramétertáblában."));
  return true;
}

bool TfDM::Refresh() {
  lastError_.clear();
  if (!tableOpen_) return Fail(Hu("A paramétertábla nincs megnyitva."));
  int64_t position = 0;
  if (hasCurrent_) {
    sqlite3_stmt* st = Prepare(std::string("SELECT count(*) FROM ") + Quoted(kParamTable) + " WHERE rowid < ?");
    if (!st) return false;
    sqlite3_bind_int64(st, 1, current_);
    bool found = false;
    if (!ReadRowid(st, position, found)) return false;
  }
  return GoToPosition(position);
}
