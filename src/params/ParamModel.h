#pragma once

#include <functional>
#include <string>

#include "params/EepromImage.h"
#include "params/ParamGrid.h"
#include "params/ParamMessages.h"
#include "params/uDM.h"

// Fills the grid from the table: the grid is cleared, then every record in table order
// becomes a row, field k going into the k-th loadable column. No change notification is
// raised while loading. A grid without columns first gets one per field. On a database
// error the grid keeps the rows read so far and LastError() of the data module says why.
bool LoadGridFromTable(TfDM& dm, TParamGrid& grid);

// Recomputes `Beallitott_ertek` and `Bajtok_erteke` of one row from its `Aktualis_ertek`,
// `Meret` and `Tipus`.
void FormatParamRow(TParamGrid& grid, int row);

// The parameter table as the main window holds it: the grid, the EEPROM image, the open
// database and the rule that keeps them in step. The window supplies the messages and the
// hooks for what lies outside this layer; unset hooks are skipped.
class TParamModel {
 public:
  TParamModel(TfDM& dm, TParamMessages& messages);
  TParamModel(const TParamModel&) = delete;
  TParamModel& operator=(const TParamModel&) = delete;

  TfDM& DM() { return dm_; }
  TParamGrid ParamGrid;
  TEepromImage Image;

  // The path given to the last OpenDatabase, and whether a database is open and loaded.
  const std::string& DatabasePath() const { return databasePath_; }
  bool DatabaseOpen() const { return databaseOpen_; }
  // The database label's text (code page 1250).
  const std::string& DatabaseLabel() const { return databaseLabel_; }

  // Design mode: set by the window while the table designer's strip is visible. Only then
  // do cell changes reach the database.
  bool DesignMode = false;

  // Hooks into the window and the later parts.
  std::function<void()> OnCloseLink;                    // close the device link first
  std::function<void()> OnDatabaseLabelChange;          // DatabaseLabel() changed
  // Reads the grid layout, the connection list and the EEPROM timeouts from the database's
  // companion INI file.
  std::function<void(const std::string& databasePath)> LoadConnectionList;
  std::function<void()> OnEnterUseMode;                 // the window returns to use mode
  std::function<void(bool enabled)> OnDesignMenuEnable;  // the design menu item

  // Builds the fifteen grid columns, then SetupParamGridColumns.
  void BuildParamGridColumns();
  // Makes the known columns editable and sortable, formats every row and selects the first
  // row's `Beallitott_ertek` cell.
  void SetupParamGridColumns();

  // Opens (or, when missing, creates) the database, loads the grid, returns to use mode and
  // clears the current values. False after a failure, which has been shown.
  bool OpenDatabase(const std::string& path);
  // Creates the file the data module points at; shows the failure.
  bool CreateDatabase();
  // Clears the grid and fills it again from the table (the designer then runs
  // SetupParamGridColumns and sorts). Shows a failure.
  bool Reload();

  // The row-change rule, raised by the grid after each cell write.
  void ParamGridChange(int col, int row);

  bool ClearImage() { return ::ClearImage(Image, ParamGrid, messages_); }
  bool ImageToGrid() { return ::ImageToGrid(Image, ParamGrid, messages_); }
  bool GridToImage() { return ::GridToImage(Image, ParamGrid, messages_); }

 private:
  void SetDatabaseLabel(const std::string& text);

  TfDM& dm_;
  TParamMessages& messages_;
  std::string databasePath_;
  std::string databaseLabel_;
  bool databaseOpen_ = false;
};
