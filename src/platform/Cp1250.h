#pragma once

#include <string>
#include <string_view>

// Every text of the core is a single-byte string in code page 1250. These convert at the
// boundaries (UTF-8 for terminals, files of our own and the database). Every byte 0..255
// round-trips: the five bytes the code page leaves undefined map to the same code point.

std::string Cp1250ToUtf8(std::string_view cp1250);

// Characters the code page cannot show become '?'. Malformed UTF-8 bytes are taken as
// Latin-1 so that nothing is silently dropped.
std::string Utf8ToCp1250(std::string_view utf8);

// Hungarian literals are written once as UTF-8 in the source; Hu() gives their code page
// 1250 bytes.
inline std::string Hu(std::string_view utf8) { return Utf8ToCp1250(utf8); }

// The Unicode code point of one code page 1250 byte, and back (returns false when the
// code point has no byte).
char32_t Cp1250ToCodePoint(unsigned char byte);
bool CodePointToCp1250(char32_t codePoint, unsigned char& byte);

// Letter case in the code page: ASCII and the accented letters of the page (Á/á, Ő/ő,
// Š/š, Ł/ł ...). Bytes without a case partner (ß, digits, signs) stay as they are.
char Cp1250ToLower(char c);
char Cp1250ToUpper(char c);
std::string Cp1250Lower(std::string_view text);
std::string Cp1250Upper(std::string_view text);
bool Cp1250EqualNoCase(std::string_view a, std::string_view b);
