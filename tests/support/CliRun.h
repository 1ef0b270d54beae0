#pragma once

// The built paramdeck-cli run as a user runs it from a shell: arguments quoted, standard
// output through a pipe, standard error through a file.

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/TempDir.h"

inline const std::string kCliBinary = PD_BINARY_DIR "/paramdeck-cli";

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The tests of one suite run in parallel processes, so standard error gets a directory of
// its own per run.
inline CliRun RunCli(const std::vector<std::string>& args) {
  const TempDir dir;
  const std::string errFile = dir.File("stderr.txt");
  std::string cmd = ShellQuote(kCliBinary);
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  cmd += " 2>" + ShellQuote(errFile);
  CliRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    r.err = "popen failed";
    return r;
  }
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = ReadFileBytes(errFile);
  return r;
}
