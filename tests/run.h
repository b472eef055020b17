// Runs the program under test as a separate process, the way a user or a harness runs it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct RunOptions {
  std::string input;                      // standard input, fed through a pipe
  bool input_held_open = false;           // a non-blocking pipe, open until the process ends
  std::optional<fs::path> input_file;     // or standard input read from a file
  bool input_terminal = false;            // or typed at a terminal, echo off ("\x04" ends input)
  std::optional<fs::path> output_file;    // standard output to this file instead of the pipe
  std::vector<int> closed;                // standard descriptors the process starts without
  std::vector<std::string> env;           // NAME=value settings added to the environment
  std::optional<mode_t> umask;            // the umask the process starts with
  rlim_t file_size_limit = RLIM_INFINITY; // RLIMIT_FSIZE, with SIGXFSZ at its default action
  rlim_t memory_limit = RLIM_INFINITY;    // RLIMIT_AS
  std::chrono::seconds timeout{60};       // killed after this, so a hang fails rather than waits
  // Sent once, the first time signal_when() holds while the process runs (checked every 2 ms).
  int signal = 0;
  std::function<bool()> signal_when;
};

struct RunResult {
  std::string out;
  std::string err;
  int status = -1; // exit status, or -1 when the process did not exit normally
  int signal = 0;  // the signal that ended it, if any
  bool timed_out = false;
  bool signalled = false; // RunOptions::signal was sent
};

// Runs argv (a launcher, if any, goes first) in dir and collects everything it writes.
RunResult run_process(const std::vector<std::string> &argv, const fs::path &dir,
                      const RunOptions &options = {});

// The command that starts the program under test: $QUILLET_LAUNCHER (split at spaces), then
// $QUILLET, or the program built beside the tests.
std::vector<std::string> quillet_command();

// The Lua 5.2 compiler: $LUAC, or the one found when the tests were configured.
std::string luac_path();

std::string read_file(const fs::path &path);
void write_file(const fs::path &path, const std::string &content);
