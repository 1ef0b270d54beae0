#include "params/ParamGridColumns.h"

const std::array<TParamGridColumnDef, 15>& ParamGridColumns() {
  using K = TColumnKind;
  static const std::array<TParamGridColumnDef, 15> columns = {{
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
  }};
  return columns;
}

bool IsStoredColumn(std::string_view name) {
  if (name == "Param_ID" || name == "Aktualis_ertek" || name == "Beallitott_ertek" || name == "Bajtok_erteke")
    return false;
  for (const auto& c : ParamGridColumns())
    if (c.Name == name) return true;
  return false;
}

bool IsByteTextColumn(std::string_view name) {
  return name == "Minimum" || name == "Maximum" || name == "Alapertek" || name == "Aktualis_ertek";
}
