#pragma once

#include <array>
#include <string_view>

// What a grid column holds and how it sorts: numbers numerically, check boxes as
// booleans, text and list columns alphabetically. A list column offers the six type names.
enum class TColumnKind { Number, Text, CheckBox, List };

struct TParamGridColumnDef {
  std::string_view Name;        // the table field's name, also the column's name
  std::string_view HeaderUtf8;  // caption; convert with Hu()
  TColumnKind Kind;
  bool Shown;  // visible after start-up
  int Width;   // initial width in pixels
};

// The fifteen columns of the parameter grid: the thirteen table fields in table order, then
// the two display columns that only the value formatting fills.
const std::array<TParamGridColumnDef, 15>& ParamGridColumns();

// Positions of the columns in ParamGridColumns (and in a grid built from it).
enum : int {
  colParam_ID = 0,
  colCim,
  colKategoria,
  colLeiras,
  colMeret,
  colElemmeret,
  colTipus,
  colUgyfeljogosultsag,
  colMinimum,
  colMaximum,
  colAlapertek,
  colAktualis_ertek,
  colBitmezonevek,
  colBeallitott_ertek,
  colBajtok_erteke,
};

// Columns whose change is saved to the table in design mode: every column of
// ParamGridColumns except the key, the current value and the two display columns.
bool IsStoredColumn(std::string_view name);

// Columns that carry byte texts rather than readable text.
bool IsByteTextColumn(std::string_view name);
