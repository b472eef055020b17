// The host's own output under real trouble: a standard output that refuses writes, and many
// runs replacing the same tmp.lua at once.
#include "fixture.h"

#include <algorithm>
#include <thread>

namespace {

struct FullOutputCase {
  const char *what;
  std::string script; // empty: typed source
  std::string input;
};

const FullOutputCase full_output_cases[] = {
    {"a report held in the buffer", "return 'x'", ""},
    {"print flushing part way", "print(('y'):rep(100000)) return 'x'", ""},
    {"a long write", "io.write(('y'):rep(100000)) return 'x'", ""},
    {"unbuffered output", "io.stdout:setvbuf('no') io.write('abc') return nil", ""},
    {"the prompt and echo", "", "return 1\nEND\n"},
};

// Standard output is /dev/full: the run fails with one line and leaves tmp.lua alone.
TEST_F(Quillet, StandardOutputThatCannotBeWritten) {
  for (const auto &c : full_output_cases) {
    SCOPED_TRACE(c.what);
    write("tmp.lua", "previous");
    RunOptions options;
    options.output_file = "/dev/full";
    options.input = c.input;
    RunResult result = c.script.empty() ? run({}, options) : run_script(c.script, options);
    expect_output(result, "", 1, "quillet: standard output: No space left on device\n");
    EXPECT_EQ(read("tmp.lua"), "previous");
  }
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
