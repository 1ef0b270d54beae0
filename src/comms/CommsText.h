#pragma once

#include <string>

// printf-style formatting into a std::string, for the engine's fixed message formats.
// Never pass outside text as the format.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
