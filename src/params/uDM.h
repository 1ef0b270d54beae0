#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The parameter database: one SQLite file (named *.mdb by tradition) holding the table
// `Parameterek`. Texts cross this boundary in code page 1250 and are stored as UTF-8, one
// character per byte, so byte texts come back byte for byte (NUL included). Every write
// is its own transaction: it is in the file when the call returns.
//
// Failures are values: operations return false and leave a user-readable text (code page
// 1250) in LastError().

inline constexpr const char* kParamTable = "Parameterek";
inline constexpr const char* kDefaultDatabaseName = "ParamDeck.mdb";
// The open dialog's filter (UTF-8): database files first, then all files.
inline constexpr const char* kDatabaseOpenFilterUtf8 = "Adatbázis-állományok (*.mdb)|*.mdb|Minden fájl (*.*)|*.*";

// The database opened at start-up: ParamDeck.mdb in the program's directory (given with or
// without its trailing separator).
std::string DefaultDatabasePath(const std::string& programDir);

// One field of a record as read from the table.
struct TFieldValue {
  enum class TKind { Null, Integer, Boolean, Real, Text };
  TKind Kind = TKind::Null;
  int64_t Int = 0;    // Integer, Boolean (0/1)
  double Real = 0;
  std::string Text;   // Text: code page 1250
};

class TfDM {
 public:
  TfDM();
  ~TfDM();
  TfDM(const TfDM&) = delete;
  TfDM& operator=(const TfDM&) = delete;

  // The file the connection opens and CreateDatabase creates (a file-system path).
  std::string DataSource;
  // How long a statement waits for another program's lock before giving up.
  int BusyTimeoutMs = 2000;

  // Creates a new database file at DataSource holding the empty table `Parameterek`. An
  // existing file is never touched.
  bool CreateDatabase();

  // The connection (ADOConnection1).
  bool Connect();  // opens DataSource, which must exist and be a database
  void Disconnect();
  bool Connected() const { return db_ != nullptr; }

  // The table dataset (dsetParameterek): open means the table exists and its fields are
  // known; the current record is the first one.
  bool OpenTable();
  void CloseTable();
  bool TableOpen() const { return tableOpen_; }
  const std::vector<std::string>& FieldNames() const { return fieldNames_; }

  // Every record in table order; `record` holds the fields in table order.
  bool ForEachRecord(const std::function<void(const std::vector<TFieldValue>& record)>& onRecord);
  int64_t RecordCount();

  // Record operations; each write reaches the file at once.
  // Makes the record whose Param_ID equals the value current. False when there is none
  // (LastError() empty) or when the table cannot be read (LastError() says why).
  bool Locate(int64_t paramId);
  // Sets one field of the current record from a text, converted to the field's type
  // (empty text clears a number or Boolean field).
  bool SetField(const std::string& fieldName, const std::string& text);
  // Appends a record with the given fields (name, text) and makes it current; the table
  // assigns Param_ID, returned in newParamId.
  bool Append(const std::vector<std::pair<std::string, std::string>>& fields, int64_t* newParamId = nullptr);
  // Deletes the current record; the record that followed it in table order becomes
  // current, or the new last record when it was the last.
  bool DeleteCurrent();
  // Param_ID of the current record, false when there is none.
  bool CurrentParamID(int64_t& paramId);
  // Re-reads the table and returns to the same position (record number) in it.
  bool Refresh();

  const std::string& LastError() const { return lastError_; }

 private:
  struct TColumnInfo {
    std::string name;
    std::string declType;
  };
  bool Fail(const std::string& text);
  bool FailSqlite(int code);
  bool ReadRowid(sqlite3_stmt* st, int64_t& rowid, bool& found);
  bool GoToPosition(int64_t position);
  // Makes the record the statement yields current, or the last record when it yields none.
  bool SettleOn(sqlite3_stmt* st);
  sqlite3_stmt* Prepare(const std::string& sql);
  bool ReadColumns();
  const TColumnInfo* FindColumn(const std::string& name) const;
  bool BindFromText(sqlite3_stmt* st, int index, const TColumnInfo& column, const std::string& text);
  bool Step(sqlite3_stmt* st);  // runs a statement to its end

  sqlite3* db_ = nullptr;
  bool tableOpen_ = false;
  std::vector<TColumnInfo> columns_;
  std::vector<std::string> fieldNames_;
  std::map<std::string, sqlite3_stmt*> statements_;
  // The current record by rowid.
  int64_t current_ = 0;
  bool hasCurrent_ = false;
  std::string lastError_;
};
