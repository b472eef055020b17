// Each test runs the program in a fresh temporary directory of its own.
#pragma once

#include "run.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

class Quillet : public ::testing::Test {
protected:
  fs::path dir;

  void SetUp() override;
  void TearDown() override;

  // Runs the program in dir with these arguments.
  RunResult run(const std::vector<std::string> &args, const RunOptions &options = {}) const;
  // Writes a script into dir and runs the program on it.
  RunResult run_script(const std::string &source, const RunOptions &options = {}) const;
  // Runs the program with no argument, typing input.
  RunResult run_typed(const std::string &input) const;
  // Compiles source with the Lua 5.2 compiler into dir/name.
  void compile(const std::string &source, const std::string &name) const;

  void write(const std::string &name, const std::string &content) const;
  // The file's bytes, or nothing when it does not exist.
  std::optional<std::string> read(const std::string &name) const;
  // Names in dir other than these, such as a temporary file left behind.
  std::vector<std::string> other_files(const std::vector<std::string> &expected) const;
};

// Whether the program under test is the Windows build ($QUILLET_PLATFORM is "windows"), whose
// files and standard streams are text streams.
bool on_windows();
// The bytes a text written by the program becomes: on Windows each LF is written as CR LF.
std::string as_written(const std::string &text);
// The text the program reads from a file's bytes: on Windows CR LF is read as LF, and a Ctrl-Z
// (0x1A) ends the text.
std::string as_read(const std::string &bytes);

// A run that exited by itself with this output and status, and nothing on standard error; out and
// err are texts, compared as this platform writes them.
void expect_output(const RunResult &result, const std::string &out, int status = 0,
                   const std::string &err = "");
