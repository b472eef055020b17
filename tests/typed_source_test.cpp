// Typed source: lines read from standard input up to a later line "END".
#include "fixture.h"

namespace {

struct TypedCase {
  const char *what;
  std::string input;
  std::string source; // what is collected: echoed, run and saved to tmp.lua
  std::string report; // what the run prints after the echo
};

const TypedCase typed_cases[] = {
    {"two lines and END", "x = 2\nreturn x * 3\nEND\n", "x = 2\nreturn x * 3\n", "6"},
    {"empty lines dropped", "\nx = 1\n\n\nreturn x\nEND\n", "x = 1\nreturn x\n", "1"},
    {"line numbers count only non-empty lines", "x = 1\n\ny = 2\nerror('e')\nEND\n",
     "x = 1\ny = 2\nerror('e')\n", "[string \"x = 1...\"]:3: e"},
    {"a first line END is source", "END\nEND\n", "END\n",
     "[string \"END...\"]:2: syntax error near <eof>"},
    {"END with anything else on it is source", " END\nEND \nend\nEnd\nEND\n",
     " END\nEND \nend\nEnd\n", "[string \" END...\"]:2: syntax error near 'END'"},
    {"nothing after END is read", "return 1\nEND\nreturn 2\nEND\n", "return 1\n", "1"},
    {"the chunk's output after the echo", "print('hi')\nreturn 'r'\nEND\n",
     "print('hi')\nreturn 'r'\n", "hi\nr"},
    {"the rest of the input left to the chunk", "return io.read('*a')\nEND\nmore\ninput\n",
     "return io.read('*a')\n", "more\ninput\n"},
    {"end of input with no END", "x = 4\nreturn x", "x = 4\nreturn x\n", "4"},
    {"end of input after a first line END", "END\n", "END\n",
     "[string \"END...\"]:2: syntax error near <eof>"},
    {"empty input", "", "", ""},
    {"no non-empty line before END", "\n\nEND\n", "", ""},
    {"CR LF line ends", "x = 5\r\n\r\nreturn x\r\nEND\r\n", "x = 5\nreturn x\n", "5"},
    {"a CR with no LF after it kept", "return 'x' --\r", "return 'x' --\r\n", "x"},
    {"a very long line taken whole", "return '" + std::string(100000, 'q') + "'\nEND\n",
     "return '" + std::string(100000, 'q') + "'\n", std::string(100000, 'q')},
    {"NUL bytes kept", std::string("return #'a\0b'\nEND\n", 17),
     std::string("return #'a\0b'\n", 14), "3"},
    {"CR LF removed once: a line holding a CR kept", "x = 1\r\n\r\r\nerror('e')\r\nEND\r\n",
     "x = 1\n\r\nerror('e')\n", "[string \"x = 1...\"]:3: e"},
    {"a byte-order mark echoed and saved, not loaded", "\xEF\xBB\xBFx = = 1\nEND\n",
     "\xEF\xBB\xBFx = = 1\n", "[string \"x = = 1...\"]:1: unexpected symbol near '='"},
};

TEST_F(Quillet, TypedSourceEchoRunAndSnapshot) {
  for (const auto &c : typed_cases) {
    SCOPED_TRACE(c.what);
    RunResult result = run_typed(c.input);
    expect_output(result, "input string\n" + c.source + "\n" + c.report);
    EXPECT_EQ(read("tmp.lua"), as_written(c.source));
    EXPECT_TRUE(other_files({"tmp.lua"}).empty());
  }
}

TEST_F(Quillet, TypedSourceFromFile) {
  write("typed.txt", "return 'from a file'\nEND\n");
  RunOptions options;
  options.input_file = dir / "typed.txt";
  options.timeout = std::chrono::seconds(20);
  expect_output(run({}, options), "input string\nreturn 'from a file'\n\nfrom a file");
}

TEST_F(Quillet, TypedSourceFromTerminal) {
  if (on_windows())
    GTEST_SKIP() << "a POSIX terminal: Wine's console sets it raw, dropping what was typed before "
                    "and taking CR for Enter and Ctrl-Z, not Ctrl-D, for the end of input";
  for (const char *end : {"END\n", "\x04"}) { // END, or end of input typed as Ctrl-D
    SCOPED_TRACE(end);
    RunOptions options;
    options.input_terminal = true;
    options.input = std::string("\nreturn 'typed'\n") + end;
    options.timeout = std::chrono::seconds(20);
    expect_output(run({}, options), "input string\nreturn 'typed'\n\ntyped");
    EXPECT_EQ(read("tmp.lua"), "return 'typed'\n");
  }
}

// A read error is not the end of the input: nothing is run or saved.
TEST_F(Quillet, TypedInputThatCannotBeRead) {
  write("tmp.lua", "previous");
  const struct {
    const char *what;
    void (*set)(RunOptions &, const fs::path &dir);
    std::string reason; // on Linux; Wine gives descriptors reasons of its own
  } cases[] = {
      {"standard input a directory", [](RunOptions &o, const fs::path &d) { o.input_file = d; },
       "Is a directory"},
      {"standard input closed", [](RunOptions &o, const fs::path &) { o.closed = {0}; },
       "Bad file descriptor"},
      {"a non-blocking pipe with nothing more to read yet",
       [](RunOptions &o, const fs::path &) {
         o.input = "x = 1\n";
         o.input_held_open = true;
       },
       "Resource temporarily unavailable"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    RunOptions options;
    options.timeout = std::chrono::seconds(20);
    c.set(options, dir);
    if (on_windows() && options.input_held_open)
      continue; // Wine waits on a pipe whatever its flags
    RunResult result = run({}, options);
    if (on_windows()) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err.rfind("quillet: standard input: ", 0), 0u) << result.err;
      EXPECT_EQ(result.out, as_written("input string\n"));
    } else {
      expect_output(result, "input string\n", 1, "quillet: standard input: " + c.reason + "\n");
    }
    EXPECT_EQ(read("tmp.lua"), "previous");
  }
}

// The echo is out before the chunk runs, ahead of whatever the programs it starts print.
TEST_F(Quillet, EchoPrecedesTheChunksOwnOutput) {
  expect_output(run_typed("os.execute('echo started')\nreturn 'r'\nEND\n"),
                "input string\nos.execute('echo started')\nreturn 'r'\n\nstarted\nr");
}

// With a file on standard input, a program the chunk starts reads on from just after END.
TEST_F(Quillet, InputAfterEndLeftForStartedPrograms) {
  if (on_windows()) GTEST_SKIP() << "needs head(1), which reads the shared offset";
  const std::string source = "os.execute('head -n 1')\nreturn '[' .. io.read('*a') .. ']'\n";
  write("typed.txt", source + "END\nfirst\nsecond\n");
  RunOptions options;
  options.input_file = dir / "typed.txt";
  options.timeout = std::chrono::seconds(20);
  expect_output(run({}, options), "input string\n" + source + "\nfirst\n[second\n]");
}

TEST_F(Quillet, TypedSnapshotFailureAfterReport) {
  fs::create_directory(dir / "tmp.lua");
  std::string reason = on_windows() ? "Permission denied" : "Is a directory";
  expect_output(run_typed("return 1\nEND\n"), "input string\nreturn 1\n\n1", 1,
                "quillet: tmp.lua: " + reason + "\n");
}

} // namespace
