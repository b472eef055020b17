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

TEST_F(Quillet, SignatureInTextGoesToPathLoader) {
  // Loaded by path, the chunk is named after the file and no snapshot is kept.
  expect_output(run_script("xLuaR = 5 return xLuaR"), "5");
  expect_output(run_script("xLuaR = = 5"), "script.lua:1: unexpected symbol near '='");
  EXPECT_EQ(read("tmp.lua"), std::nullopt);
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
    bool text = c.bytes.compare(1, 4, "LuaR") != 0;
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
