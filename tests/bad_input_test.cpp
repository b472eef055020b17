// Hostile and unusual inputs, each with its exact outcome. Already covered beside the ordinary
// cases in script_file_test.cpp: missing paths and directories (UnopenablePathsSayErrFileOpen),
// named pipes (PipesAreReadOnce), unreadable files (UnreadableFileSaysErrFileOpen), NUL bytes and
// CR LF line ends (report_cases), a Lua 5.1 chunk and a truncated Lua 5.2 chunk
// (DamagedPrecompiledChunks), and a script reading standard input (StandardInputBelongsToScript).
#include "fixture.h"

#include <cstdint>

namespace {

using namespace std::string_literals;

std::string repeat(const std::string &piece, size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i)
    text += piece;
  return text;
}

// Bytes that no editor made: the same every run, so that the parser's complaint is known.
std::string junk(size_t size) {
  std::string bytes;
  uint32_t state = 2463534242u;
  while (bytes.size() < size) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    bytes.push_back(char(state >> 24));
  }
  return bytes;
}

struct BadInputCase {
  const char *what;
  std::string script;
  std::string out; // status 0, nothing on standard error, tmp.lua a copy of the script
  // Where the Windows build, reading text, stops at a Ctrl-Z or turns CR LF into LF first.
  std::optional<std::string> windows_out = std::nullopt;
};

const std::string lua53_header = "\x1bLuaS\0\x19\x93\r\n\x1a\n\4\x08\4\x08\x08\x78\x56\0\0\0"s;

const BadInputCase bad_input_cases[] = {
    {"a 10 MB line", "local s = '" + std::string(10 << 20, 'a') + "' return #s", "10485760"},
    {"invalid UTF-8 passed through", "return '\xff\xfe\xc0\x80'", "\xff\xfe\xc0\x80"},
    {"invalid UTF-8 where a name should be", "x\xff = 1",
     "[string \"x\xff = 1\"]:1: syntax error near char(255)"},
    {"an ELF header",
     "\x7f"
     "ELF\2\1\1\0\0\0\0\0\0\0\0\0\3\0>\0"s,
     "[string \"\x7f"
     "ELF\2\1\1\"]:1: unexpected symbol near char(127)"},
    {"a PNG header", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s,
     "[string \"\x89PNG\r...\"]:1: unexpected symbol near char(137)",
     "[string \"\x89PNG...\"]:1: unexpected symbol near char(137)"},
    {"random bytes", junk(4096),
     "[string \"+\x94{w\xD2\x16P),\x9E"
     "D\xBB\xAC\xE4t\x94Uc\xDC\xD3\xFC\xC4"
     "E\x6\xB3"
     "F\x92\x9A\bs[\xFD"
     "QJr2\xF\xD2\xAB\xECMKp|r...\"]:1: unexpected symbol near '+'"},
    {"a Lua 5.3 chunk", lua53_header, "binary string: version mismatch in precompiled chunk",
     "binary string: truncated precompiled chunk"},
    {"a Lua 5.3 chunk cut short", lua53_header.substr(0, 12),
     "binary string: truncated precompiled chunk"},
    {"parentheses nested too deep", "return " + repeat("(", 300) + "1" + repeat(")", 300),
     "[string \"return ((((((((((((((((((((((((((((((((((((((...\"]:1: too many C levels (limit "
     "is 200) in main function near '('"},
    {"tables nested too deep", "return " + repeat("{", 300) + repeat("}", 300),
     "[string \"return {{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{{...\"]:1: too many C levels (limit "
     "is 200) in main function near '{'"},
    {"infinite recursion", "local function f() return 1 + f() end return f()",
     "[string \"local function f() return 1 + f() end return ...\"]:1: stack overflow"},
    {"infinite recursion through C",
     "local t = setmetatable({}, {__index = function(t, k) return t[k] end}) return t.x",
     "[string \"local t = setmetatable({}, {__index = functio...\"]:1: C stack overflow"},
    {"a 1 MB error message", "error(string.rep('e', 2^20), 0)", std::string(1 << 20, 'e')},
};

TEST_F(Quillet, BadInputTable) {
  for (const auto &c : bad_input_cases) {
    SCOPED_TRACE(c.what);
    write("tmp.lua", "previous");
    expect_output(run_script(c.script), on_windows() && c.windows_out ? *c.windows_out : c.out);
    EXPECT_EQ(read("tmp.lua"), as_written(as_read(c.script)));
    EXPECT_TRUE(other_files({"script.lua", "tmp.lua"}).empty());
  }
}

TEST_F(Quillet, DevNullIsAnEmptyScript) {
  expect_output(run({"/dev/null"}), "");
  EXPECT_EQ(read("tmp.lua"), "");
}

TEST_F(Quillet, HugeResultPrintedWhole) {
  const size_t size = 100u << 20;
  RunResult result = run_script("return string.rep('x', " + std::to_string(size) + ")");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.size(), size);
  EXPECT_EQ(result.out.find_first_not_of('x'), std::string::npos);
}

TEST_F(Quillet, ScriptReadsAllOfALargeInput) {
  RunOptions options;
  options.input = std::string(5 << 20, 'i');
  expect_output(run_script("return #io.read('*a')", options), "5242880");
}

TEST_F(Quillet, OsExitEndsTheRunBeforeReportAndSnapshot) {
  const struct {
    const char *call;
    int status;
  } cases[] = {{"os.exit(3)", 3}, {"os.exit(true)", 0}, {"os.exit(false)", 1}, {"os.exit()", 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.call);
    write("tmp.lua", "previous");
    expect_output(run_script(std::string("io.write('bye') ") + c.call + " return 'never'"), "bye",
                  c.status);
    EXPECT_EQ(read("tmp.lua"), "previous");
  }
}

} // namespace
