// The host's own output under real trouble: a standard output that refuses writes, and many
// runs replacing the same tmp.lua at once.
#include "fixture.h"

#include <algorithm>
#include <csignal>
#include <thread>

namespace {

struct FullOutputCase {
  const char *what;
  std::string script; // empty: typed source
  std::string input;
  bool lost; // output lost with nobody told: status 1, after saving tmp.lua
};

const FullOutputCase full_output_cases[] = {
    {"a report held in the buffer", "return 'x'", "", true},
    {"print flushing part way", "print(('y'):rep(100000)) return 'x'", "", true},
    {"print alone, which tells nobody", "print('y')", "", true},
    {"io.write left in the buffer", "io.stdout:setvbuf('full') io.write('y')", "", true},
    {"a long io.write, then the report", "io.write(('y'):rep(100000)) return 'x'", "", true},
    {"a finalizer's print", "setmetatable({}, {__gc = function() print('bye') end})", "", true},
    {"the prompt and echo", "", "return 1\nEND\n", true},
    {"the reason of the write that failed, not the last errno",
     "io.write('y') io.stdout:flush() io.open('missing') return 'r'", "", true},
    {"an unbuffered io.write, told of its failure",
     "io.stdout:setvbuf('no') io.write('abc') return nil", "", false},
    {"a flush, told of its failure", "io.stdout:setvbuf('full') io.write('y') io.stdout:flush()",
     "", false},
};

// Standard output is /dev/full: output that nobody was told of fails the run with one line,
// once tmp.lua is saved; a failure returned to the chunk is the chunk's to handle.
TEST_F(Quillet, StandardOutputThatCannotBeWritten) {
  for (const auto &c : full_output_cases) {
    SCOPED_TRACE(c.what);
    write("tmp.lua", "previous");
    RunOptions options;
    options.output_file = "/dev/full";
    options.input = c.input;
    RunResult result = c.script.empty() ? run({}, options) : run_script(c.script, options);
    if (c.lost)
      expect_output(result, "", 1, "quillet: standard output: No space left on device\n");
    else
      expect_output(result, "");
    EXPECT_EQ(read("tmp.lua"), as_written(c.script.empty() ? "return 1\n" : c.script));
  }
}

// A standard descriptor closed at start stays closed to the chunk: a file it opens does not
// take its number, and what goes to the closed one does not land in that file.
TEST_F(Quillet, ClosedStandardDescriptorsStayClosed) {
  const std::string opens = "local f = assert(io.open('file.txt', 'w')) f:write('file') f:close() ";
  const struct {
    int fd;
    std::string script;
    std::string out;
    int status;
    std::string err;
  } cases[] = {
      {0, opens + "return tostring(io.read('*a'))", "nil", 0, ""},
      {1, opens + "print('printed') return 'r'", "", 1,
       "quillet: standard output: Bad file descriptor\n"},
      {2, opens + "io.stderr:write('e') return 'r'", "r", 0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fd);
    RunOptions options;
    options.closed = {c.fd};
    expect_output(run_script(c.script, options), c.out, c.status, c.err);
    EXPECT_EQ(read("file.txt"), "file");
    EXPECT_EQ(read("tmp.lua"), as_written(c.script));
  }
}

// A console Ctrl-C while tmp.lua is being saved leaves no temporary file behind.
TEST_F(Quillet, CtrlCWhileSavingLeavesNoTemporaryFile) {
  if (!on_windows()) GTEST_SKIP() << "a Windows console event; signals on Linux are fault tests";
  std::string script;
  for (int i = 0; i < 1000000; ++i) // 64 MB, a few hundred milliseconds to save under Wine
    script += "-- a line of comment, long enough to make the save take a while\n";
  write("tmp.lua", "previous");
  RunOptions options;
  options.signal = SIGINT; // what Wine turns into a console Ctrl-C
  options.signal_when = [&] { return other_files({"script.lua", "tmp.lua"}).size() > 0; };
  RunResult result = run_script(script, options);
  EXPECT_TRUE(result.signalled);
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(other_files({"script.lua", "tmp.lua"}).empty());
  std::optional<std::string> snapshot = read("tmp.lua");
  EXPECT_TRUE(snapshot == "previous" || snapshot == as_written(script));
}

// Runs that finish together in one directory: each replaces tmp.lua whole, so the last rename
// wins and no mixture or temporary file is left.
TEST_F(Quillet, ConcurrentRunsLeaveOneWholeSnapshot) {
  const int runs = 16;
  std::vector<std::string> scripts, names;
  for (int i = 0; i < runs; ++i) {
    scripts.push_back("return " + std::to_string(i) + " --" +
                      std::string(4096 * size_t(i + 1), char('a' + i)));
    names.push_back("script" + std::to_string(i) + ".lua");
    write(names.back(), scripts.back());
  }
  std::vector<std::string> expected = names;
  expected.push_back("tmp.lua");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::vector<RunResult> results(runs);
    std::vector<std::thread> threads;
    threads.reserve(runs);
    for (int i = 0; i < runs; ++i)
      threads.emplace_back([&, i] { results[i] = run({names[i]}); });
    for (auto &thread : threads)
      thread.join();
    for (int i = 0; i < runs; ++i)
      expect_output(results[i], std::to_string(i));
    std::optional<std::string> snapshot = read("tmp.lua");
    ASSERT_TRUE(snapshot);
    EXPECT_NE(
        std::find_if(scripts.begin(), scripts.end(),
                     [&](const std::string &script) { return as_written(script) == *snapshot; }),
        scripts.end());
    EXPECT_TRUE(other_files(expected).empty());
  }
}

} // namespace
