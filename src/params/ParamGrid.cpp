#include "params/ParamGrid.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <numeric>
#include <stdexcept>

namespace {

// Alphabetical order for code page 1250 text: letters compare by their base letter, case
// and accents aside, so that "Ábra" sorts among the A's rather than after "Z". Ties are
// broken by the raw bytes.
constexpr std::array<unsigned char, 256> MakeFold() {
  std::array<unsigned char, 256> f{};
  for (int b = 0; b < 256; ++b) f[b] = static_cast<unsigned char>(b);
  for (int b = 'a'; b <= 'z'; ++b) f[b] = static_cast<unsigned char>(b - 32);
  struct Pair {
    unsigned char byte;
    char base;
  };
  constexpr Pair accented[] = {
      {0x8A, 'S'}, {0x8C, 'S'}, {0x8D, 'T'}, {0x8E, 'Z'}, {0x8F, 'Z'}, {0x9A, 'S'}, {0x9C, 'S'}, {0x9D, 'T'},
      {0x9E, 'Z'}, {0x9F, 'Z'}, {0xA3, 'L'}, {0xA5, 'A'}, {0xAA, 'S'}, {0xAF, 'Z'}, {0xB3, 'L'}, {0xB9, 'A'},
      {0xBA, 'S'}, {0xBC, 'L'}, {0xBE, 'L'}, {0xBF, 'Z'}, {0xC0, 'R'}, {0xC1, 'A'}, {0xC2, 'A'}, {0xC3, 'A'},
      {0xC4, 'A'}, {0xC5, 'L'}, {0xC6, 'C'}, {0xC7, 'C'}, {0xC8, 'C'}, {0xC9, 'E'}, {0xCA, 'E'}, {0xCB, 'E'},
      {0xCC, 'E'}, {0xCD, 'I'}, {0xCE, 'I'}, {0xCF, 'D'}, {0xD0, 'D'}, {0xD1, 'N'}, {0xD2, 'N'}, {0xD3, 'O'},
      {0xD4, 'O'}, {0xD5, 'O'}, {0xD6, 'O'}, {0xD8, 'R'}, {0xD9, 'U'}, {0xDA, 'U'}, {0xDB, 'U'}, {0xDC, 'U'},
      {0xDD, 'Y'}, {0xDE, 'T'}, {0xDF, 'S'}, {0xE0, 'R'}, {0xE1, 'A'}, {0xE2, 'A'}, {0xE3, 'A'}, {0xE4, 'A'},
      {0xE5, 'L'}, {0xE6, 'C'}, {0xE7, 'C'}, {0xE8, 'C'}, {0xE9, 'E'}, {0xEA, 'E'}, {0xEB, 'E'}, {0xEC, 'E'},
      {0xED, 'I'}, {0xEE, 'I'}, {0xEF, 'D'}, {0xF0, 'D'}, {0xF1, 'N'}, {0xF2, 'N'}, {0xF3, 'O'}, {0xF4, 'O'},
      {0xF5, 'O'}, {0xF6, 'O'}, {0xF8, 'R'}, {0xF9, 'U'}, {0xFA, 'U'}, {0xFB, 'U'}, {0xFC, 'U'}, {0xFD, 'Y'},
      {0xFE, 'T'},
  };
  for (const auto& p : accented) f[p.byte] = static_cast<unsigned char>(p.base);
  return f;
}

constexpr std::array<unsigned char, 256> kFold = MakeFold();

int CompareText(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char fa = kFold[static_cast<unsigned char>(a[i])];
    const unsigned char fb = kFold[static_cast<unsigned char>(b[i])];
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace

bool ParseCellInt(std::string_view text, int64_t& value) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  if (b < e && text[b] == '+') ++b;
  if (b == e) return false;
  auto [p, ec] = std::from_chars(text.data() + b, text.data() + e, value);
  return ec == std::errc() && p == text.data() + e;
}

void TParamGrid::ClearColumns() {
  BeforeReset();
  columns_.clear();
  for (auto& r : rows_) r.clear();
  sortColumn_ = -1;
  selectedCol_ = -1;
  AfterReset();
  LayoutChanged();
}

int TParamGrid::AddColumn(TGridColumn column) {
  BeforeReset();
  column.Position = ColumnCount();
  columns_.push_back(std::move(column));
  for (auto& r : rows_) r.emplace_back();
  AfterReset();
  LayoutChanged();
  return ColumnCount() - 1;
}

int TParamGrid::ColumnIndex(std::string_view name) const {
  for (int i = 0; i < ColumnCount(); ++i)
    if (columns_[i].Name == name) return i;
  return -1;
}

int TParamGrid::CheckedColumn(std::string_view name) const {
  const int col = ColumnIndex(name);
  if (col < 0) throw std::out_of_range("no grid column " + std::string(name));
  return col;
}

void TParamGrid::CheckCell(int col, int row) const {
  if (col < 0 || col >= ColumnCount() || row < 0 || row >= RowCount())
    throw std::out_of_range("grid cell " + std::to_string(col) + "," + std::to_string(row));
}

void TParamGrid::SetColumnVisible(int col, bool visible) {
  columns_.at(col).Visible = visible;
  LayoutChanged();
}

void TParamGrid::SetColumnWidth(int col, int width) {
  columns_.at(col).Width = width;
  LayoutChanged();
}

void TParamGrid::SetColumnEditable(int col, bool editable) { columns_.at(col).Editable = editable; }
void TParamGrid::SetColumnSortable(int col, bool sortable) { columns_.at(col).Sortable = sortable; }
void TParamGrid::SetColumnLoadable(int col, bool loadable) { columns_.at(col).Loadable = loadable; }

void TParamGrid::SetColumnSortAscending(int col, bool ascending) {
  columns_.at(col).SortAscending = ascending;
  LayoutChanged();
}

void TParamGrid::MoveColumnTo(int col, int position) {
  TGridColumn& moved = columns_.at(col);
  position = std::clamp(position, 0, ColumnCount() - 1);
  const int from = moved.Position;
  for (auto& c : columns_) {
    if (from < position && c.Position > from && c.Position <= position) --c.Position;
    if (position < from && c.Position >= position && c.Position < from) ++c.Position;
  }
  moved.Position = position;
  LayoutChanged();
}

int TParamGrid::AddRow() {
  BeforeReset();
  rows_.emplace_back(columns_.size());
  AfterReset();
  return RowCount() - 1;
}

void TParamGrid::ClearRows() {
  BeforeReset();
  rows_.clear();
  selectedRow_ = -1;
  selectedCol_ = -1;
  AfterReset();
}

void TParamGrid::MoveRow(int from, int to) {
  CheckCell(0, from);
  CheckCell(0, to);
  if (from == to) return;
  std::vector<int> order(rows_.size());
  std::iota(order.begin(), order.end(), 0);
  const int moved = order[from];
  order.erase(order.begin() + from);
  order.insert(order.begin() + to, moved);
  BeforeReset();
  ApplyOrder(order);
  AfterReset();
}

const std::string& TParamGrid::Cell(int col, int row) const {
  CheckCell(col, row);
  return rows_[row][col];
}

const std::string& TParamGrid::Cell(std::string_view name, int row) const { return Cell(CheckedColumn(name), row); }

void TParamGrid::SetCell(int col, int row, std::string text) {
  CheckCell(col, row);
  rows_[row][col] = std::move(text);
  if (updating_ > 0) return;
  if (OnViewCellChange) OnViewCellChange(col, row);
  if (OnChange) OnChange(col, row);
}

void TParamGrid::SetCell(std::string_view name, int row, std::string text) {
  SetCell(CheckedColumn(name), row, std::move(text));
}

int64_t TParamGrid::CellInt(int col, int row) const {
  int64_t v = 0;
  return ParseCellInt(Cell(col, row), v) ? v : 0;
}

int64_t TParamGrid::CellInt(std::string_view name, int row) const { return CellInt(CheckedColumn(name), row); }

void TParamGrid::SetCellInt(int col, int row, int64_t value) { SetCell(col, row, std::to_string(value)); }

bool TParamGrid::CellChecked(int col, int row) const { return Cell(col, row) == kTrue; }

void TParamGrid::SetCellChecked(int col, int row, bool checked) { SetCell(col, row, checked ? kTrue : kFalse); }

void TParamGrid::BeginUpdate() {
  if (updating_++ == 0 && OnViewBeforeReset) OnViewBeforeReset();
}

void TParamGrid::EndUpdate() {
  if (updating_ > 0 && --updating_ == 0 && OnViewAfterReset) OnViewAfterReset();
}

void TParamGrid::BeforeReset() {
  if (updating_ == 0 && OnViewBeforeReset) OnViewBeforeReset();
}

void TParamGrid::AfterReset() {
  if (updating_ == 0 && OnViewAfterReset) OnViewAfterReset();
}

void TParamGrid::LayoutChanged() {
  if (OnViewLayoutChange) OnViewLayoutChange();
}

void TParamGrid::ApplyOrder(const std::vector<int>& order) {
  std::vector<std::vector<std::string>> sorted;
  sorted.reserve(rows_.size());
  int newSelected = -1;
  for (size_t i = 0; i < order.size(); ++i) {
    sorted.push_back(std::move(rows_[order[i]]));
    if (order[i] == selectedRow_) newSelected = static_cast<int>(i);
  }
  rows_ = std::move(sorted);
  selectedRow_ = newSelected;
}

void TParamGrid::SortBy(int col, bool ascending) {
  const TGridColumn& c = columns_.at(col);
  const int n = RowCount();
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  if (c.Kind == TColumnKind::Number || c.Kind == TColumnKind::CheckBox) {
    std::vector<int64_t> keys(n);
    for (int r = 0; r < n; ++r)
      keys[r] = c.Kind == TColumnKind::Number ? CellInt(col, r) : static_cast<int64_t>(CellChecked(col, r));
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return ascending ? keys[a] < keys[b] : keys[b] < keys[a]; });
  } else {
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      const int cmp = CompareText(rows_[a][col], rows_[b][col]);
      return ascending ? cmp < 0 : cmp > 0;
    });
  }
  BeforeReset();
  ApplyOrder(order);
  sortColumn_ = col;
  columns_[col].SortAscending = ascending;
  AfterReset();
}

void TParamGrid::SelectCell(int col, int row) {
  if (row < 0) {
    selectedRow_ = -1;
    selectedCol_ = -1;
    return;
  }
  CheckCell(col, row);
  selectedRow_ = row;
  selectedCol_ = col;
  if (OnSelectCell) OnSelectCell(col, row);
}

void TParamGrid::SetVisible(bool visible) {
  visible_ = visible;
  LayoutChanged();
}
