// Running a script file: the report, the snapshot and the exit status.
#include "fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace {

using namespace std::string_literals;

struct ReportCase {
  const char *what;
  std::string script;
  std::string out;
};

// What a text script prints; each also leaves its exact source in tmp.lua and exits 0.
const ReportCase report_cases[] = {
    {"a returned string, with no line end added", "return 'hi'", "hi"},
    {"only the last of several results", "return 'a', 'b'", "b"},
    {"a string up to its first NUL", "return 'a\\0b'", "a"},
    {"an integral number", "return 42", "42"},
    {"a number in the engine's text form", "return 2^53, 1.5", "1.5"},
    {"a large number", "return 2^53", "9.007199254741e+15"},
    {"nothing returned", "local x = 1", ""},
    {"nil", "return nil", ""},
    {"a boolean", "return true", ""},
    {"a table", "return {}", ""},
    {"the script's output first", "print('out') io.write('put ') return 'last'", "out\nput last"},
    {"a string error with its chunk name and line", "error('boom')",
     "[string \"error('boom')\"]:1: boom"},
    {"a number error", "error(7, 0)", "7"},
    {"a table error", "error({})", ""},
    {"a syntax error named by the first line", "x = 1\ny = = 2\n",
     "[string \"x = 1...\"]:2: unexpected symbol near '='"},
    {"a first line starting with #, not skipped", "#!/usr/bin/lua\nreturn 1\n",
     "[string \"#!/usr/bin/lua...\"]:1: unexpected symbol near '#'"},
    {"a finalizer's output after the report",
     "local t = setmetatable({}, {__gc = function() io.write(' fin') end}) return 'r'", "r fin"},
    {"all standard libraries",
     "return string.rep('x', 2) .. math.floor(2.5) .. #table.concat({1}) .. type(io) .. type(os) "
     ".. type(coroutine) .. type(bit32) .. type(debug) .. type(package)",
     "xx21tabletabletabletabletabletable"},
    {"a long line in one piece", "return '" + std::string(5000, 'a') + "'", std::string(5000, 'a')},
    {"a last line with no line end", "x = 2\nreturn x * 3", "6"},
    {"a file of fewer than five bytes", "x=1", ""},
    {"the chunk named after its whole text",
     "return debug.getinfo(1, 'S').source -- and\n-- more\n",
     "return debug.getinfo(1, 'S').source -- and\n-- more\n"},
    {"NUL bytes reaching the engine", "x = 1 -- a\0b\nreturn x + #'c\0d'"s, "4"},
    {"CR LF line ends", "x = 1\r\nreturn x + 1\r\n", "2"},
    {"a file with no text at all", "", ""},
    {"reading standard output, the chunk's own error",
     "print('hello') io.stdout:read(0) return 'done'", "hello\ndone"},
};

TEST_F(Quillet, ScriptReportAndSnapshot) {
  for (const auto &c : report_cases) {
    SCOPED_TRACE(c.what);
    RunResult result = run_script(c.script);
    expect_output(result, c.out);
    EXPECT_EQ(read("tmp.lua"), as_written(as_read(c.script)));
    EXPECT_TRUE(other_files({"script.lua", "tmp.lua"}).empty());
  }
}

TEST_F(Quillet, SecondRunReplacesSnapshot) {
  expect_output(run_script("return 'one'"), "one");
  expect_output(run_script("return 'two'"), "two");
  EXPECT_EQ(read("tmp.lua"), "return 'two'");
}

TEST_F(Quillet, ExtraArgumentsIgnored) {
  write("script.lua", "return select('#', ...) .. (arg and 'arg' or '')");
  expect_output(run({"script.lua", "extra", "more"}), "0");
}

TEST_F(Quillet, StandardInputBelongsToScript) {
  RunOptions options;
  options.input = "typed data";
  expect_output(run_script("return io.read('*a')", options), "typed data");
}

TEST_F(Quillet, UnopenablePathsSayErrFileOpen) {
  fs::create_directory(dir / "folder");
  for (const char *path : {"missing.lua", "folder", "", "missing/deeper.lua"}) {
    SCOPED_TRACE(path);
    expect_output(run({path}), "err file open");
    EXPECT_EQ(read("tmp.lua"), std::nullopt);
  }
}

TEST_F(Quillet, UnreadableFileSaysErrFileOpen) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  write("script.lua", "return 1");
  fs::permissions(dir / "script.lua", fs::perms::none);
  expect_output(run({"script.lua"}), "err file open");
}

TEST_F(Quillet, PrecompiledChunkRunsWithoutSnapshot) {
  compile("print('side') return 'compiled', 6 * 7", "chunk.luac");
  write("tmp.lua", "previous");
  expect_output(run({"chunk.luac"}), "side\n42");
  EXPECT_EQ(read("tmp.lua"), "previous");
  EXPECT_TRUE(other_files({"chunk.luac", "tmp.lua"}).empty());
}

// Only the escape byte followed by "LuaR" marks a precompiled chunk; everything else is text.
TEST_F(Quillet, FirstBytesDecideHowTheScriptLoads) {
  compile("return 'compiled'", "good.luac");
  compile("return 'a\\r\\nb\\26c'", "odd.luac");
  const std::string good = read_file(dir / "good.luac"), odd = read_file(dir / "odd.luac");
  const std::string bom = "\xEF\xBB\xBF";
  struct {
    const char *what;
    std::string bytes;
    std::string out;
    bool saved; // tmp.lua is the script's text; otherwise the previous one stays
  } cases[] = {
      {"a precompiled chunk", good, "compiled", false},
      {"a truncated precompiled chunk", good.substr(0, 20),
       "script.lua: truncated precompiled chunk", false},
      {"the signature alone", good.substr(0, 5), "script.lua: truncated precompiled chunk", false},
      {"constants holding CR LF and Ctrl-Z, untouched", odd,
       "a\r\nb\x1a"
       "c",
       false},
      {"LuaR at offset 1 is text", "xLuaR = 5 return xLuaR", "5", true},
      {"LuaR at offset 1 named as text", "xLuaR = = 5",
       "[string \"xLuaR = = 5\"]:1: unexpected symbol near '='", true},
      {"a blank line, then LuaRocks", "\nLuaRocks = {1, 2}\nreturn #LuaRocks", "2", true},
      {"#LuaR, a first line not skipped", "#LuaR\nreturn 1",
       "[string \"#LuaR...\"]:1: unexpected symbol near '#'", true},
      {"a byte-order mark, then source", bom + "return 'marked'", "marked", true},
      {"a byte-order mark, then a syntax error", bom + "x = = 1",
       "[string \"x = = 1\"]:1: unexpected symbol near '='", true},
      {"a chunk named without its byte-order mark", bom + "return debug.getinfo(1, 'S').source",
       "return debug.getinfo(1, 'S').source", true},
      {"part of a byte-order mark is text", "\xEF\xBBreturn 1",
       "[string \"\xEF\xBBreturn 1\"]:1: unexpected symbol near char(239)", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    write("tmp.lua", "previous");
    expect_output(run_script(c.bytes), c.out);
    EXPECT_EQ(read("tmp.lua"), c.saved ? as_written(as_read(c.bytes)) : "previous");
    EXPECT_TRUE(other_files({"script.lua", "tmp.lua", "good.luac", "odd.luac"}).empty());
  }
}

TEST_F(Quillet, DamagedPrecompiledChunks) {
  compile("return 1", "good.luac");
  std::string good = read_file(dir / "good.luac");
  struct {
    const char *what;
    std::string bytes;
    std::string out;
  } cases[] = {
      {"a truncated Lua 5.2 chunk", good.substr(0, 20), "script.lua: truncated precompiled chunk"},
      {"a Lua 5.1 chunk read as text", "\x1bLuaQ\0\1\4\x08\4\x08\0"s + std::string(40, '\0'),
       "binary string: version mismatch in precompiled chunk"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    write("tmp.lua", "previous");
    expect_output(run_script(c.bytes), c.out);
    bool text = c.bytes.compare(0, 5, "\x1bLuaR") != 0;
    EXPECT_EQ(read("tmp.lua"), text ? c.bytes : "previous");
  }
}

TEST_F(Quillet, PipesAreReadOnce) {
  if (on_windows()) GTEST_SKIP() << "named pipes and /dev/stdin are POSIX paths";
  RunOptions options;
  options.input = "return 7";
  expect_output(run({"/dev/stdin"}, options), "7");
  EXPECT_EQ(read("tmp.lua"), "return 7");

  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::thread writer([&] { write_file(dir / "fifo", "return 'from a fifo'"); });
  RunResult result = run({"fifo"});
  writer.join();
  expect_output(result, "from a fifo");
  EXPECT_EQ(read("tmp.lua"), "return 'from a fifo'");
}

// A precompiled chunk is read once too, from whatever kind of file delivers it.
TEST_F(Quillet, PrecompiledChunkThroughPipes) {
  if (on_windows()) GTEST_SKIP() << "named pipes, /dev/stdin and process substitution are POSIX";
  compile("return 'piped'", "chunk.luac");
  const std::string chunk = read_file(dir / "chunk.luac");
  RunOptions timed;
  timed.timeout = std::chrono::seconds(20);

  RunOptions piped = timed;
  piped.input = chunk;
  expect_output(run({"/dev/stdin"}, piped), "piped");

  std::string command;
  for (const std::string &word : quillet_command())
    command += "'" + word + "' ";
  expect_output(run_process({"bash", "-c", command + "<(cat chunk.luac)"}, dir, timed), "piped");

  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::thread writer([&] { write_file(dir / "fifo", chunk); });
  RunResult result = run({"fifo"}, timed);
  writer.join();
  expect_output(result, "piped");
  EXPECT_EQ(read("tmp.lua"), std::nullopt);
}

// A size that no memory could hold ends the run with a message, not an abort.
TEST_F(Quillet, ScriptOfAbsurdSizeFailsCleanly) {
  fs::path shm = "/dev/shm"; // tmpfs holds a sparse file of any size
  if (!fs::is_directory(shm)) GTEST_SKIP() << "no tmpfs at /dev/shm";
  fs::path huge = shm / ("quillet-huge-" + std::to_string(getpid()) + ".lua");
  write_file(huge, "return 1");
  std::error_code error;
  fs::resize_file(huge, uintmax_t(5) << 60, error); // 5 EiB
  if (error) {
    fs::remove(huge);
    GTEST_SKIP() << "this tmpfs refuses a 5 EiB file: " << error.message();
  }
  fs::create_symlink(huge, dir / "huge.lua");
  write("tmp.lua", "previous");
  RunResult result = run({"huge.lua"});
  fs::remove(huge);
  expect_output(result, "", 1, "quillet: reading the script: not enough memory\n");
  EXPECT_EQ(read("tmp.lua"), "previous");
}

TEST_F(Quillet, SnapshotReplacesLinkWithoutFollowing) {
  fs::path outside = dir / "outside";
  fs::create_directory(outside);
  write_file(outside / "target.lua", "keep me");
  fs::create_symlink(outside / "target.lua", dir / "tmp.lua");
  expect_output(run_script("return 1"), "1");
  EXPECT_FALSE(fs::is_symlink(dir / "tmp.lua"));
  EXPECT_EQ(read("tmp.lua"), "return 1");
  EXPECT_EQ(read_file(outside / "target.lua"), "keep me");
}

TEST_F(Quillet, SnapshotGetsOrdinaryPermissions) {
  if (on_windows()) GTEST_SKIP() << "Windows has no umask or POSIX permission bits";
  for (mode_t mask : {mode_t(022), mode_t(077), mode_t(002)}) {
    SCOPED_TRACE(mask);
    RunOptions options;
    options.umask = mask;
    expect_output(run_script("return 1", options), "1");
    struct stat st {};
    ASSERT_EQ(stat((dir / "tmp.lua").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
  }
}

TEST_F(Quillet, SnapshotThatCannotBeWrittenFailsAfterReport) {
  // tmp.lua is a directory: the rename fails.
  fs::create_directory(dir / "tmp.lua");
  std::string reason = on_windows() ? "Permission denied" : "Is a directory";
  expect_output(run_script("return 'ran'"), "ran", 1, "quillet: tmp.lua: " + reason + "\n");
  EXPECT_TRUE(fs::is_directory(dir / "tmp.lua"));
  EXPECT_TRUE(other_files({"script.lua", "tmp.lua"}).empty());
}

// The file system refuses the write part way: the previous snapshot stays whole.
TEST_F(Quillet, SnapshotRefusedPartWayKeepsPrevious) {
  if (on_windows()) GTEST_SKIP() << "the file size limit is a POSIX resource limit";
  write("tmp.lua", "previous");
  RunOptions options;
  options.file_size_limit = 100;
  expect_output(run_script("return 'ran' --" + std::string(200, '-'), options), "ran", 1,
                "quillet: tmp.lua: File too large\n");
  EXPECT_EQ(read("tmp.lua"), "previous");
  EXPECT_TRUE(other_files({"script.lua", "tmp.lua"}).empty());
}

TEST_F(Quillet, ScriptTooBigForMemoryFailsCleanly) {
  if (std::getenv("QUILLET_LAUNCHER") || std::getenv("QUILLET_NO_MEMORY_LIMIT"))
    GTEST_SKIP() << "the address space limit would stop the launcher or sanitizer runtime";
  write("tmp.lua", "previous");
  write("script.lua", "");
  fs::resize_file(dir / "script.lua", 1u << 30); // sparse: costs no disk
  RunOptions options;
  options.memory_limit = 256u << 20;
  expect_output(run({"script.lua"}, options), "", 1,
                "quillet: reading the script: not enough memory\n");
  EXPECT_EQ(read("tmp.lua"), "previous");
}

TEST_F(Quillet, ReadOnlyDirectoryFailsAfterReport) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
  write("script.lua", "return 'ran'");
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  RunResult result = run({"script.lua"});
  fs::permissions(dir, fs::perms::owner_all);
  expect_output(result, "ran", 1, "quillet: tmp.lua: Permission denied\n");
}

} // namespace
