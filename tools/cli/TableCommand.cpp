// `paramdeck-cli table`: the parameter database from a terminal: create an empty one, or
// show the grid the program would show, optionally decoded from an EEPROM dump.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCommand.h"
#include "log/logUnit.h"
#include "params/ParamGridColumns.h"
#include "params/ParamMessages.h"
#include "params/ParamModel.h"
#include "platform/Cp1250.h"

namespace {

constexpr const char* kHelp =
    "paramdeck-cli table - the parameter database\n"
    "\n"
    "Usage:\n"
    "  paramdeck-cli table create --db FILE\n"
    "  paramdeck-cli table show --db FILE [--image FILE]\n"
    "\n"
    "create   creates FILE as a new, empty parameter database (the table Parameterek with\n"
    "         no records). An existing FILE is left alone and reported.\n"
    "show     opens FILE as the program does (creating it when it is missing) and prints the\n"
    "         parameter grid in address order: a line with the fifteen column names, then one\n"
    "         line per parameter, cells separated by a tab. Minimum, Maximum, Alapertek and\n"
    "         Aktualis_ertek are printed as hex (two digits and a blank per byte); other cells\n"
    "         as UTF-8 text, control characters shown as # and their code.\n"
    "           --image FILE  a raw EEPROM dump (at most 4097 bytes, address 0 first); its\n"
    "                         bytes become the current values. Without it every current\n"
    "                         value is zero bytes, as right after opening.\n"
    "\n"
    "Messages the program would show in a box go to standard error.\n"
    "Exit codes: 0 done, 1 the database or the image could not be used (or a parameter lies\n"
    "outside the image), 2 bad arguments.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "paramdeck-cli table: %s\n", message.c_str());
  return 2;
}

// Boxes become lines on standard error; the log is not kept. The only information boxes of
// this layer are the image conversions' refusals, so their count tells whether the whole
// table was converted.
struct TTerminalMessages : TParamMessages {
  int InfoShown = 0;
  bool Quiet = false;
  void LogToWindow(const std::string&) override {}
  void ShowInfo(const std::string& text) override {
    ++InfoShown;
    if (!Quiet) Print(text);
  }
  void ShowError(const std::string& text) override { Print(text); }
  static void Print(const std::string& text) { std::fprintf(stderr, "%s\n", Cp1250ToUtf8(text).c_str()); }
};

bool DatabaseArgument(const std::vector<std::string>& argv, CliArgs& args, std::string& db, std::string& error) {
  if (!args.Parse(argv)) {
    error = args.Error();
    return false;
  }
  if (!args.Positional().empty()) {
    error = "unexpected argument '" + args.Positional()[0] + "'";
    return false;
  }
  auto value = args.Value("db");
  if (!value || value->empty()) {
    error = "--db FILE is required";
    return false;
  }
  db = *value;
  return true;
}

int Create(const std::vector<std::string>& argv) {
  CliArgs args({"db"}, {});
  std::string db, error;
  if (!DatabaseArgument(argv, args, db, error)) return Fail(error);
  TfDM dm;
  TTerminalMessages messages;
  TParamModel model(dm, messages);
  dm.DataSource = db;
  return model.CreateDatabase() ? 0 : 1;
}

std::string CellText(const TParamGrid& grid, int col, int row) {
  const std::string& cell = grid.Cell(col, row);
  if (IsByteTextColumn(grid.Column(col).Name)) return HexText(cell);
  return Cp1250ToUtf8(PrintableText(cell, true));
}

void PrintGrid(const TParamGrid& grid) {
  std::string out;
  for (int c = 0; c < grid.ColumnCount(); ++c) out += (c ? "\t" : "") + grid.Column(c).Name;
  out += '\n';
  for (int r = 0; r < grid.RowCount(); ++r) {
    for (int c = 0; c < grid.ColumnCount(); ++c) out += (c ? "\t" : "") + CellText(grid, c, r);
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

int Show(const std::vector<std::string>& argv) {
  CliArgs args({"db", "image"}, {});
  std::string db, error;
  if (!DatabaseArgument(argv, args, db, error)) return Fail(error);
  const auto imagePath = args.Value("image");
  if (imagePath && imagePath->empty()) return Fail("--image needs a file name");

  // The image is checked first, so that a mistyped image name does not leave a new
  // database behind.
  std::string bytes;
  if (imagePath) {
    std::ifstream in(*imagePath, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "paramdeck-cli table: cannot read the image file '%s'\n", imagePath->c_str());
      return 1;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes.size() > static_cast<size_t>(TEepromImage::kSize)) {
      std::fprintf(stderr, "paramdeck-cli table: the image file '%s' has %zu bytes; an EEPROM image holds at most %d\n",
                   imagePath->c_str(), bytes.size(), TEepromImage::kSize);
      return 1;
    }
  }

  TfDM dm;
  TTerminalMessages messages;
  TParamModel model(dm, messages);
  model.BuildParamGridColumns();
  model.ClearImage();
  if (!model.OpenDatabase(db)) return 1;

  // Opening clears the image into the grid, which already refuses a table beyond the limits.
  bool converted = messages.InfoShown == 0;
  if (imagePath) {
    model.Image.Clear();
    model.Image.Write(0, bytes);
    // The limits depend on addresses and sizes only: a refused table stops again at the same
    // row with the same message, which has been printed once.
    messages.Quiet = !converted;
    converted = model.ImageToGrid();
  }
  PrintGrid(model.ParamGrid);
  return converted ? 0 : 1;
}

int Run(const std::vector<std::string>& argv) {
  if (argv.empty()) return Fail("expects create or show (see paramdeck-cli table --help)");
  const std::vector<std::string> rest(argv.begin() + 1, argv.end());
  if (argv[0] == "create") return Create(rest);
  if (argv[0] == "show") return Show(rest);
  return Fail("unknown sub-command '" + argv[0] + "' (create or show)");
}

const CliCommandRegistrar kRegistrar({"table", "create or show a parameter database", kHelp, Run});

}  // namespace
