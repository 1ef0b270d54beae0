#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Values of parameters are byte texts: one char per EEPROM byte (code page 1250), the byte
// at the parameter's address first, NUL allowed. Routines read at most the first
// kMaxByteText characters; a text shorter than a layout needs reads as if padded with zero
// bytes.
inline constexpr int kMaxByteText = 255;

// Appends (PadRight) or prepends (PadLeft) the fill character until the text is at least
// `length` characters long; a longer text stays as it is.
std::string PadRight(std::string text, int length, char fill);
std::string PadLeft(std::string text, int length, char fill);

// The six parameter types; the number is the type index (the value editor's tab).
enum class TParamType : int { Bitmezo = 0, Byte = 1, Word = 2, Longword = 3, String = 4, Tomb = 5 };

// Type names (code page 1250) in the order the grid's list column offers them:
// "byte", "word", "longword", "string", "tömb", "bitmező".
const std::array<std::string, 6>& ParamTypeNames();

// The type a `Tipus` text stands for; any text other than the six exact names is a byte
// array.
TParamType ParamTypeOf(std::string_view tipus);

// The size a newly chosen type text sets: 1 for "byte", 2 for a text beginning with "w",
// 4 for one beginning with "l"; 0 when the type keeps the size it has.
int SizeForTypeText(std::string_view tipus);

// The unsigned little-endian number in the first `size` (1, 2 or 4) bytes.
uint32_t ReadNumber(std::string_view byteText, int size);

// Overwrites the first `size` (1, 2 or 4) bytes of the text, padded with zero bytes to
// `size`, with the low bits of `value`, least significant byte first; the characters after
// them stay. Numbers that do not fit are stored modulo 2^(8*size).
std::string WriteNumber(std::string_view byteText, int64_t value, int size);

// A number from an edit box as a whole number, truncated toward zero. NaN gives 0 and
// values beyond the 64-bit range saturate, so that no input is undefined.
int64_t TruncToInt64(double value);

// `Bajtok_erteke`: "%.3d " of each of the first `meret` bytes (000 for a missing one).
std::string FormatBytesColumn(std::string_view aktualisErtek, int meret);

// `Beallitott_ertek`: the current value in readable form by type, cut to 255 characters.
std::string FormatValueColumn(std::string_view aktualisErtek, int meret, std::string_view tipus);

// List text: the comma-separated form of bit names and of the byte-array display. Items
// holding a character 0..32, a double quote or a comma are quoted with inner quotes
// doubled; a list of one empty item is "" and an empty list is the empty text.
std::string WriteListText(const std::vector<std::string>& items);

// Reads a list text. Outside double quotes a blank (or any character 0..32) separates
// items just as a comma does.
std::vector<std::string> ReadListText(std::string_view text);
