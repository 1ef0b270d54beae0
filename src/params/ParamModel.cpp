#include "params/ParamModel.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "params/ByteText.h"
#include "platform/Cp1250.h"

namespace {

std::string FieldText(const TFieldValue& f, TColumnKind kind) {
  using K = TFieldValue::TKind;
  if (kind == TColumnKind::CheckBox) {
    bool on = false;
    if (f.Kind == K::Integer || f.Kind == K::Boolean) on = f.Int != 0;
    if (f.Kind == K::Real) on = f.Real != 0;
    if (f.Kind == K::Text) on = f.Text == TParamGrid::kTrue || f.Text == "1";
    return on ? TParamGrid::kTrue : TParamGrid::kFalse;
  }
  switch (f.Kind) {
    case K::Integer:
      return std::to_string(f.Int);
    case K::Boolean:
      return f.Int != 0 ? TParamGrid::kTrue : TParamGrid::kFalse;
    case K::Real: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.15g", f.Real);
      return buf;
    }
    case K::Text:
      return f.Text;
    case K::Null:
      break;
  }
  return {};
}

// Failures inside OpenDatabase travel as exceptions to its one handler, like those of the
// window's hooks.
[[noreturn]] void Throw(const std::string& text) { throw std::runtime_error(text); }

}  // namespace

bool LoadGridFromTable(TfDM& dm, TParamGrid& grid) {
  grid.BeginUpdate();
  grid.ClearRows();
  if (grid.ColumnCount() == 0) {
    for (const auto& name : dm.FieldNames()) {
      TGridColumn c;
      c.Name = name;
      c.Header = Utf8ToCp1250(name);
      grid.AddColumn(std::move(c));
    }
  }
  std::vector<int> loadable;
  for (int c = 0; c < grid.ColumnCount(); ++c)
    if (grid.Column(c).Loadable) loadable.push_back(c);
  const bool ok = dm.ForEachRecord([&](const std::vector<TFieldValue>& record) {
    const int row = grid.AddRow();
    const size_t n = std::min(record.size(), loadable.size());
    for (size_t k = 0; k < n; ++k) grid.SetCell(loadable[k], row, FieldText(record[k], grid.Column(loadable[k]).Kind));
  });
  grid.EndUpdate();
  return ok;
}

void FormatParamRow(TParamGrid& grid, int row) {
  const int akt = grid.ColumnIndex("Aktualis_ertek");
  const int meret = grid.ColumnIndex("Meret");
  const int tipus = grid.ColumnIndex("Tipus");
  const int bajtok = grid.ColumnIndex("Bajtok_erteke");
  const int beall = grid.ColumnIndex("Beallitott_ertek");
  if (akt < 0 || meret < 0 || tipus < 0 || bajtok < 0 || beall < 0) return;
  const std::string v = grid.Cell(akt, row);
  const int n = static_cast<int>(std::clamp<int64_t>(grid.CellInt(meret, row), -1, 1 << 20));
  const std::string t = grid.Cell(tipus, row);
  grid.SetCell(bajtok, row, FormatBytesColumn(v, n));
  grid.SetCell(beall, row, FormatValueColumn(v, n, t));
}

TParamModel::TParamModel(TfDM& dm, TParamMessages& messages)
    : dm_(dm), messages_(messages), databaseLabel_(Hu("<nincs adatbázis megnyitva>")) {
  ParamGrid.OnChange = [this](int col, int row) { ParamGridChange(col, row); };
}

void TParamModel::SetDatabaseLabel(const std::string& text) {
  databaseLabel_ = text;
  if (OnDatabaseLabelChange) OnDatabaseLabelChange();
}

void TParamModel::BuildParamGridColumns() {
  ParamGrid.ClearColumns();
  for (const auto& def : ParamGridColumns()) {
    TGridColumn c;
    c.Name = std::string(def.Name);
    c.Header = Hu(def.HeaderUtf8);
    c.Kind = def.Kind;
    c.Visible = def.Shown;
    c.Width = def.Width;
    if (def.Kind == TColumnKind::List) c.Items.assign(ParamTypeNames().begin(), ParamTypeNames().end());
    ParamGrid.AddColumn(std::move(c));
  }
  SetupParamGridColumns();
}

void TParamModel::SetupParamGridColumns() {
  for (int c = 0; c < ParamGrid.ColumnCount(); ++c) {
    const std::string& name = ParamGrid.Column(c).Name;
    const bool known = std::any_of(ParamGridColumns().begin(), ParamGridColumns().end(),
                                   [&](const TParamGridColumnDef& d) { return d.Name == name; });
    if (!known) continue;
    ParamGrid.SetColumnEditable(c, true);
    ParamGrid.SetColumnSortable(c, true);
    ParamGrid.SetColumnLoadable(c, true);
  }
  for (int r = 0; r < ParamGrid.RowCount(); ++r) FormatParamRow(ParamGrid, r);
  const int beall = ParamGrid.ColumnIndex("Beallitott_ertek");
  if (ParamGrid.RowCount() > 0 && beall >= 0) ParamGrid.SelectCell(beall, 0);
}

bool TParamModel::CreateDatabase() {
  if (dm_.CreateDatabase()) return true;
  messages_.ShowError(Hu("Hiba történt az adatbázis létrehozásakor: ") + dm_.LastError());
  return false;
}

bool TParamModel::OpenDatabase(const std::string& path) {
  try {
    if (OnCloseLink) OnCloseLink();
    databaseOpen_ = false;
    databasePath_ = path;
    messages_.LogToWindow(Hu("Adatbázis megnyitása: ") + Utf8ToCp1250(path));

    ParamGrid.SetVisible(false);
    dm_.CloseTable();
    ParamGrid.ClearRows();
    dm_.Disconnect();

    dm_.DataSource = path;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) && !CreateDatabase()) return false;

    if (!dm_.Connect()) Throw(dm_.LastError());
    SetDatabaseLabel(Utf8ToCp1250(path));

    if (!dm_.OpenTable()) Throw(dm_.LastError());
    if (!LoadGridFromTable(dm_, ParamGrid)) Throw(dm_.LastError());
    SetupParamGridColumns();

    if (LoadConnectionList) LoadConnectionList(databasePath_);
    DesignMode = false;
    if (OnEnterUseMode) OnEnterUseMode();

    // The stored current values are not the device's; every row starts from zero bytes.
    ClearImage();

    const int cim = ParamGrid.ColumnIndex("Cim");
    if (cim >= 0) ParamGrid.SortBy(cim, true);
    ParamGrid.SetVisible(true);

    databaseOpen_ = true;
    if (OnDesignMenuEnable) OnDesignMenuEnable(true);
    return true;
  } catch (const std::exception& e) {
    messages_.ShowError(Hu("Hiba történt: ") + e.what());
    return false;
  }
}

bool TParamModel::Reload() {
  if (LoadGridFromTable(dm_, ParamGrid)) return true;
  messages_.ShowError(Hu("Hiba történt: ") + dm_.LastError());
  return false;
}

void TParamModel::ParamGridChange(int col, int row) {
  const std::string name = ParamGrid.Column(col).Name;
  if (name == "Aktualis_ertek") FormatParamRow(ParamGrid, row);
  if (name == "Tipus") {
    const int size = SizeForTypeText(ParamGrid.Cell(col, row));
    const int meret = ParamGrid.ColumnIndex("Meret");
    if (size > 0 && meret >= 0) ParamGrid.SetCellInt(meret, row, size);
  }
  if (!DesignMode || !IsStoredColumn(name) || !dm_.TableOpen()) return;
  const int idCol = ParamGrid.ColumnIndex("Param_ID");
  int64_t id = 0;
  if (idCol < 0 || !ParseCellInt(ParamGrid.Cell(idCol, row), id)) return;
  if (!dm_.Locate(id)) {
    // A row without its record is not saved, silently; a table that cannot be read is
    // reported.
    if (!dm_.LastError().empty()) messages_.ShowError(Hu("Hiba történt: ") + dm_.LastError());
    return;
  }
  if (!dm_.SetField(name, ParamGrid.Cell(col, row))) messages_.ShowError(Hu("Hiba történt: ") + dm_.LastError());
}
