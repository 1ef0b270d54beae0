#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "support/TempDir.h"

inline std::string ReadBytes(const std::filesystem::path& p) { return ReadFileBytes(p); }
inline void WriteBytes(const std::filesystem::path& p, const std::string& bytes) { WriteFileBytes(p, bytes); }
