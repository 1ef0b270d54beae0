#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "params/ParamMessages.h"
#include "params/ParamModel.h"
#include "support/TempDir.h"

namespace paramtest {

// Keeps what the layer would have shown or logged, in order.
struct TRecordedMessages : TParamMessages {
  std::vector<std::string> log, info, errors;
  void LogToWindow(const std::string& text) override { log.push_back(text); }
  void ShowInfo(const std::string& text) override { info.push_back(text); }
  void ShowError(const std::string& text) override { errors.push_back(text); }
};

using TTempDir = TempDir;

struct TTestRow {
  int64_t cim;
  int64_t meret;
  std::string tipus;
  std::string leiras;
  std::string aktualis;
};

// Appends rows to a grid built from ParamGridColumns, as the loader would (no
// notifications), then formats them.
inline void AddRows(TParamGrid& grid, const std::vector<TTestRow>& rows) {
  grid.BeginUpdate();
  for (const auto& r : rows) {
    const int i = grid.AddRow();
    grid.SetCellInt(colCim, i, r.cim);
    grid.SetCellInt(colMeret, i, r.meret);
    grid.SetCell(colTipus, i, r.tipus);
    grid.SetCell(colLeiras, i, r.leiras);
    grid.SetCell(colAktualis_ertek, i, r.aktualis);
  }
  grid.EndUpdate();
  for (int i = 0; i < grid.RowCount(); ++i) FormatParamRow(grid, i);
}

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

}  // namespace paramtest
