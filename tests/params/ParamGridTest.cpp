#include "params/ParamGrid.h"

#include <gtest/gtest.h>

#include "ParamTestUtil.h"
#include "params/ParamModel.h"
#include "platform/Cp1250.h"

namespace {

using paramtest::TRecordedMessages;

class ParamGridTest : public ::testing::Test {
 protected:
  ParamGridTest() : model(dm, messages) { model.BuildParamGridColumns(); }

  // One row per text, written into the given column without notifications.
  void Fill(int col, const std::vector<std::string>& texts) {
    grid().BeginUpdate();
    for (size_t i = 0; i < texts.size(); ++i) {
      const int r = grid().AddRow();
      grid().SetCell(col, r, texts[i]);
      grid().SetCellInt(colParam_ID, r, static_cast<int64_t>(i));
    }
    grid().EndUpdate();
  }
  std::vector<std::string> Column(int col) const {
    std::vector<std::string> out;
    for (int r = 0; r < model.ParamGrid.RowCount(); ++r) out.push_back(model.ParamGrid.Cell(col, r));
    return out;
  }
  TParamGrid& grid() { return model.ParamGrid; }

  TfDM dm;
  TRecordedMessages messages;
  TParamModel model;
};

TEST_F(ParamGridTest, FifteenColumnsWithTheirKindsHeadersWidthsAndVisibility) {
  struct Expect {
    const char* name;
    const char* header;
    TColumnKind kind;
    bool visible;
    int width;
  };
  using K = TColumnKind;
  const Expect expected[] = {
      {"Param_ID", "ID", K::Number, false, 24},
      {"Cim", "Cím", K::Number, true, 29},
      {"Kategoria", "Kategória", K::Text, false, 26},
      {"Leiras", "Leírás", K::Text, true, 152},
      {"Meret", "Méret", K::Number, true, 36},
      {"Elemmeret", "Elemméret", K::Number, false, 55},
      {"Tipus", "Típus", K::List, true, 54},
      {"Ugyfeljogosultsag", "Ügyféljogosultság", K::CheckBox, false, 80},
      {"Minimum", "Minimum", K::Text, false, 50},
      {"Maximum", "Maximum", K::Text, false, 53},
      {"Alapertek", "Alapérték", K::Text, true, 53},
      {"Aktualis_ertek", "Aktuális érték", K::Text, false, 67},
      {"Bitmezonevek", "Bitmezőnevek", K::Text, false, 80},
      {"Beallitott_ertek", "Beállított érték", K::Text, true, 101},
      {"Bajtok_erteke", "A bájtok egyenként", K::Text, true, 166},
  };
  ASSERT_EQ(grid().ColumnCount(), 15);
  for (int c = 0; c < 15; ++c) {
    const TGridColumn& col = grid().Column(c);
    EXPECT_EQ(col.Name, expected[c].name);
    EXPECT_EQ(col.Header, Hu(expected[c].header)) << col.Name;
    EXPECT_EQ(col.Kind, expected[c].kind) << col.Name;
    EXPECT_EQ(col.Visible, expected[c].visible) << col.Name;
    EXPECT_EQ(col.Width, expected[c].width) << col.Name;
    EXPECT_EQ(col.Position, c);
    EXPECT_TRUE(col.Editable && col.Sortable && col.Loadable) << col.Name;
    EXPECT_EQ(grid().ColumnIndex(expected[c].name), c);
  }
  const std::vector<std::string> types(grid().Column(colTipus).Items.begin(), grid().Column(colTipus).Items.end());
  EXPECT_EQ(types, (std::vector<std::string>{"byte", "word", "longword", "string", Hu("tömb"), Hu("bitmező")}));
  EXPECT_EQ(grid().ColumnIndex("Nincs"), -1);
  EXPECT_THROW(grid().Cell("Nincs", 0), std::out_of_range);
}

TEST_F(ParamGridTest, SortsByKindStablyAndSelectionFollowsItsRow) {
  struct Case {
    int col;
    bool ascending;
    std::vector<std::string> cells;
    std::vector<std::string> sorted;
  };
  const std::vector<Case> cases = {
      {colCim, true, {"10", "2", "-1", "abc", "2"}, {"-1", "abc", "2", "2", "10"}},
      {colCim, false, {"10", "2", "-1", "300"}, {"300", "10", "2", "-1"}},
      {colLeiras, true, {"Zeta", Hu("ábra"), "Alfa", "beta", Hu("Ő"), "Oszlop", "Pont"},
       {Hu("ábra"), "Alfa", "beta", Hu("Ő"), "Oszlop", "Pont", "Zeta"}},
      {colTipus, false, {"byte", "word", "string"}, {"word", "string", "byte"}},
      {colUgyfeljogosultsag, true, {"True", "False", "True", "False"}, {"False", "False", "True", "True"}},
  };
  for (const auto& c : cases) {
    grid().ClearRows();
    Fill(c.col, c.cells);
    const int lastRow = grid().RowCount() - 1;
    const std::string selectedId = grid().Cell(colParam_ID, lastRow);
    grid().SelectCell(c.col, lastRow);
    grid().SortBy(c.col, c.ascending);
    EXPECT_EQ(Column(c.col), c.sorted);
    EXPECT_EQ(grid().SortColumn(), c.col);
    EXPECT_EQ(grid().Column(c.col).SortAscending, c.ascending);
    ASSERT_GE(grid().SelectedRow(), 0);
    EXPECT_EQ(grid().Cell(colParam_ID, grid().SelectedRow()), selectedId);
  }
  // Equal keys keep their order: the two "2" rows of the first case were ids 1 and 4.
  grid().ClearRows();
  Fill(colCim, {"10", "2", "-1", "abc", "2"});
  grid().SortBy(colCim, true);
  EXPECT_EQ(Column(colParam_ID), (std::vector<std::string>{"2", "3", "1", "4", "0"}));
}

TEST_F(ParamGridTest, MovesRowsAndColumns) {
  Fill(colLeiras, {"a", "b", "c", "d"});
  grid().SelectCell(colLeiras, 2);
  grid().MoveRow(2, 0);
  EXPECT_EQ(Column(colLeiras), (std::vector<std::string>{"c", "a", "b", "d"}));
  EXPECT_EQ(grid().SelectedRow(), 0);
  grid().MoveRow(0, 3);
  EXPECT_EQ(Column(colLeiras), (std::vector<std::string>{"a", "b", "d", "c"}));
  EXPECT_EQ(grid().SelectedRow(), 3);

  grid().MoveColumnTo(colBajtok_erteke, 0);
  grid().MoveColumnTo(colCim, 14);
  std::vector<int> positions;
  for (int c = 0; c < grid().ColumnCount(); ++c) positions.push_back(grid().Column(c).Position);
  EXPECT_EQ(grid().Column(colBajtok_erteke).Position, 0);
  EXPECT_EQ(grid().Column(colCim).Position, 14);
  EXPECT_EQ(grid().Column(colParam_ID).Position, 1);
  std::sort(positions.begin(), positions.end());
  for (int c = 0; c < 15; ++c) EXPECT_EQ(positions[c], c);
}

TEST_F(ParamGridTest, EveryCellWriteNotifiesExceptWhileLoading) {
  std::vector<std::pair<int, int>> changes;
  grid().OnChange = [&](int col, int row) { changes.emplace_back(col, row); };
  Fill(colLeiras, {"a", "b"});
  EXPECT_TRUE(changes.empty());

  grid().SetCell(colLeiras, 1, "b");  // unchanged text still notifies
  grid().SetCellInt(colCim, 0, 7);
  grid().SetCellChecked(colUgyfeljogosultsag, 1, true);
  EXPECT_EQ(changes, (std::vector<std::pair<int, int>>{{colLeiras, 1}, {colCim, 0}, {colUgyfeljogosultsag, 1}}));
  EXPECT_TRUE(grid().CellChecked(colUgyfeljogosultsag, 1));
  EXPECT_EQ(grid().Cell(colUgyfeljogosultsag, 1), "True");

  std::vector<std::pair<int, int>> selections;
  grid().OnSelectCell = [&](int col, int row) { selections.emplace_back(col, row); };
  grid().SelectCell(colAktualis_ertek, 1);
  EXPECT_EQ(selections, (std::vector<std::pair<int, int>>{{colAktualis_ertek, 1}}));
  EXPECT_EQ(grid().SelectedColumn(), colAktualis_ertek);
  EXPECT_THROW(grid().SetCell(colLeiras, 2, "x"), std::out_of_range);
}

TEST_F(ParamGridTest, ViewsGetBalancedResetsAroundRowChanges) {
  std::string events;
  grid().OnViewBeforeReset = [&] { events += "["; };
  grid().OnViewAfterReset = [&] { events += "]"; };
  grid().OnViewCellChange = [&](int, int) { events += "c"; };
  Fill(colCim, {"3", "1", "2"});  // loading: one reset, no cell events
  EXPECT_EQ(events, "[]");
  events.clear();
  grid().SortBy(colCim, true);
  grid().MoveRow(0, 2);
  grid().SetCell(colLeiras, 1, "x");
  grid().AddRow();
  grid().ClearRows();
  EXPECT_EQ(events, "[][]c[][]");
}

TEST_F(ParamGridTest, NumberCellsReadLikeTheGrid) {
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"42", 42}, {"-7", -7}, {" 12 ", 12}, {"+3", 3}, {"", 0}, {"abc", 0}, {"1.5", 0}, {"99999999999999999999", 0}};
  Fill(colCim, {""});
  for (const auto& [text, value] : cases) {
    grid().SetCell(colCim, 0, text);
    EXPECT_EQ(grid().CellInt(colCim, 0), value) << text;
  }
}

}  // namespace
