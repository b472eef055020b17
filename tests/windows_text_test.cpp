// The Windows build's text streams, byte for byte: CR LF is read as LF, and LF is written as CR LF.
#include "fixture.h"

namespace {

struct TextCase {
  const char *what;
  std::string script;   // a script file's bytes, or the typed input's when typed
  std::string out;      // standard output's bytes
  std::string snapshot; // tmp.lua's bytes
  bool typed = false;
};

const TextCase text_cases[] = {
    {"CR LF reaches the engine as LF",
     "local s = debug.getinfo(1, 'S').source\r\nreturn s:find('\\r') and 'a CR' or #s\r\n", "76",
     "local s = debug.getinfo(1, 'S').source\r\nreturn s:find('\\r') and 'a CR' or #s\r\n"},
    {"LF saved as CR LF", "x = 1\nreturn x\n", "1", "x = 1\r\nreturn x\r\n"},
    {"mixed line ends all saved as CR LF", "a = 1\r\nb = 2\nreturn a + b", "3",
     "a = 1\r\nb = 2\r\nreturn a + b"},
    {"line numbers unchanged by CR LF", "x = 1\r\n\r\ny = = 2\r\n",
     "[string \"x = 1...\"]:3: unexpected symbol near '='", "x = 1\r\n\r\ny = = 2\r\n"},
    {"a CR alone kept", "return 2 -- a\r-- b\n", "2", "return 2 -- a\r-- b\r\n"},
    {"CR CR LF read as CR LF, so saved as CR CR LF", "return 3\r\r\n", "3", "return 3\r\r\n"},
    {"the output's newlines written as CR LF", "print('a') io.write('b\\n') return 'c\\nd'",
     "a\r\nb\r\nc\r\nd", "print('a') io.write('b\\n') return 'c\\nd'"},
    // A Ctrl-Z ends a text file for the C runtime, so it ends the script, as it would for lua.exe.
    {"Ctrl-Z ends the script", "return 4\x1a = not Lua\r\n", "4", "return 4"},
    {"typed CR LF lines, echoed and saved with CR LF", "x = 5\r\n\r\nreturn x\r\nEND\r\n",
     "input string\r\nx = 5\r\nreturn x\r\n\r\n5", "x = 5\r\nreturn x\r\n", true},
    // Standard input is a text stream as well: a Ctrl-Z ends it.
    {"Ctrl-Z ends the typed input",
     "return 1\x1a"
     "2\nEND\n",
     "input string\r\nreturn 1\r\n\r\n1", "return 1\r\n", true},
};

TEST_F(Quillet, WindowsTextStreams) {
  if (!on_windows()) GTEST_SKIP() << "text streams translate line ends on Windows only";
  for (const auto &c : text_cases) {
    SCOPED_TRACE(c.what);
    RunResult result = c.typed ? run_typed(c.script) : run_script(c.script);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read("tmp.lua"), c.snapshot);
  }
}

} // namespace
