#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "params/ParamGridColumns.h"

// One column of the parameter grid. Display position, visibility, width and sort
// direction live here so that a layout can be saved and restored without a window.
struct TGridColumn {
  std::string Name;
  std::string Header;  // code page 1250
  TColumnKind Kind = TColumnKind::Text;
  bool Visible = true;
  int Width = 64;
  int Position = 0;            // display position, 0 = leftmost
  bool SortAscending = true;   // the column's sort direction
  bool Editable = false;       // accepts in-place input
  bool Sortable = false;       // a header click sorts by it
  bool Loadable = true;        // takes a table field when the grid is loaded
  std::vector<std::string> Items;  // choices of a list column
};

// The parameter grid as a model: rows in display order, every cell a text (numbers in
// decimal, check boxes "True"/"False", byte texts as they are). Every cell write raises
// OnChange (the row-change rule) except inside an update block, which is what loading uses.
// Views follow through the OnView* events.
class TParamGrid {
 public:
  static constexpr const char* kTrue = "True";
  static constexpr const char* kFalse = "False";

  // Columns.
  void ClearColumns();
  int AddColumn(TGridColumn column);  // returns its index; position = index
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  const TGridColumn& Column(int col) const { return columns_.at(col); }
  // -1 when there is no column of that name.
  int ColumnIndex(std::string_view name) const;
  void SetColumnVisible(int col, bool visible);
  void SetColumnWidth(int col, int width);
  void SetColumnEditable(int col, bool editable);
  void SetColumnSortable(int col, bool sortable);
  void SetColumnLoadable(int col, bool loadable);
  void SetColumnSortAscending(int col, bool ascending);
  // Moves the column to a display position; the columns in between shift by one.
  void MoveColumnTo(int col, int position);

  // Rows.
  int RowCount() const { return static_cast<int>(rows_.size()); }
  int AddRow();  // an empty row at the end; returns its index
  void ClearRows();
  // Moves a row to another display position; the rows in between shift by one.
  void MoveRow(int from, int to);

  // Cells. Unknown names and indices are programming errors (std::out_of_range).
  const std::string& Cell(int col, int row) const;
  const std::string& Cell(std::string_view name, int row) const;
  void SetCell(int col, int row, std::string text);
  void SetCell(std::string_view name, int row, std::string text);
  // A number cell's value; text that is not a whole number reads as 0.
  int64_t CellInt(int col, int row) const;
  int64_t CellInt(std::string_view name, int row) const;
  void SetCellInt(int col, int row, int64_t value);
  bool CellChecked(int col, int row) const;
  void SetCellChecked(int col, int row, bool checked);

  // Inside an update block no OnChange is raised; views get one reset around it.
  void BeginUpdate();
  void EndUpdate();
  bool Updating() const { return updating_ > 0; }

  // Stable sort by one column in the column's kind; the selection follows its row.
  void SortBy(int col, bool ascending);
  int SortColumn() const { return sortColumn_; }  // -1 when not sorted

  // The selected cell; -1 when none.
  int SelectedRow() const { return selectedRow_; }
  int SelectedColumn() const { return selectedCol_; }
  // Selects a cell and raises OnSelectCell; a row of -1 clears the selection silently.
  void SelectCell(int col, int row);

  bool Visible() const { return visible_; }
  void SetVisible(bool visible);

  // The row-change rule: after every cell write outside an update block.
  std::function<void(int col, int row)> OnChange;
  // The cell-selection event.
  std::function<void(int col, int row)> OnSelectCell;
  // For views: around any change of rows or their order, after a cell write outside an
  // update block, and after a change of the columns or of the grid's visibility.
  std::function<void()> OnViewBeforeReset;
  std::function<void()> OnViewAfterReset;
  std::function<void(int col, int row)> OnViewCellChange;
  std::function<void()> OnViewLayoutChange;

 private:
  int CheckedColumn(std::string_view name) const;
  void CheckCell(int col, int row) const;
  void BeforeReset();
  void AfterReset();
  void LayoutChanged();
  void ApplyOrder(const std::vector<int>& order);

  std::vector<TGridColumn> columns_;
  std::vector<std::vector<std::string>> rows_;
  int updating_ = 0;
  int sortColumn_ = -1;
  int selectedRow_ = -1;
  int selectedCol_ = -1;
  bool visible_ = true;
};

// The text of a whole number as a number cell would parse it: optional blanks, an optional
// sign, decimal digits. False for anything else or for a value beyond 64 bits.
bool ParseCellInt(std::string_view text, int64_t& value);
