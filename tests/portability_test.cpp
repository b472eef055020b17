// What a script meets the same way on Linux and on Windows: file names in any script, and
// integers and file offsets past 32 bits. On Windows the first needs the manifest's UTF-8 code
// page, the others the engine's build settings.
#include "fixture.h"

namespace {

// Runs the program in cwd, a directory below the test's own, on this script path.
RunResult run_in(const fs::path &cwd, const std::string &script) {
  std::vector<std::string> argv = quillet_command();
  argv.push_back(script);
  return run_process(argv, cwd);
}

struct ScriptNameCase {
  const char *what;
  std::string cwd;    // the working directory, below the test's own
  std::string script; // the script's path from there
};

const std::string folder = "Données データ";

const ScriptNameCase script_name_cases[] = {
    {"Japanese", folder, "日本語.lua"},
    {"Greek", folder, "ελληνικά.lua"},
    {"Cyrillic", folder, "кириллица.lua"},
    {"a path through the folder", ".", folder + "/Ω.lua"},
};

// Each script returns its own name, which comes back byte for byte: the name reached the
// program intact, and standard output passes bytes through.
TEST_F(Quillet, ScriptsWithNamesOutsideAscii) {
  fs::create_directory(dir / folder);
  for (const auto &c : script_name_cases) {
    SCOPED_TRACE(c.what);
    const std::string source = "return '" + fs::path(c.script).filename().string() + "'";
    write(c.cwd + "/" + c.script, source);
    fs::remove(dir / c.cwd / "tmp.lua");
    expect_output(run_in(dir / c.cwd, c.script), fs::path(c.script).filename().string());
    EXPECT_EQ(read(c.cwd + "/tmp.lua"), as_written(source));
  }
}

struct FileCallCase {
  const char *what;
  std::vector<std::pair<std::string, std::string>> before; // files written first
  std::string script;
  std::string out;
  std::vector<std::pair<std::string, std::optional<std::string>>> after; // and what is on disk
};

const FileCallCase file_call_cases[] = {
    {"io.open writes a file and reads it back",
     {},
     "local f = assert(io.open('Ωμέγα 日本 файл.bin', 'wb')) f:write('\\0bytes\\255') f:close()\n"
     "f = assert(io.open('Ωμέγα 日本 файл.bin', 'rb')) local s = f:read('*a') f:close()\n"
     "return s == '\\0bytes\\255' and 'read back' or 'read ' .. #s .. ' bytes'",
     "read back",
     {{"Ωμέγα 日本 файл.bin", std::string("\0bytes\xff", 7)}}},
    {"os.rename",
     {{"старый.txt", "old"}},
     "assert(os.rename('старый.txt', '新しい.txt')) return 'renamed'",
     "renamed",
     {{"старый.txt", std::nullopt}, {"新しい.txt", "old"}}},
    {"os.remove",
     {{"λ.txt", "x"}},
     "assert(os.remove('λ.txt')) return 'removed'",
     "removed",
     {{"λ.txt", std::nullopt}}},
    {"dofile", {{"модуль.lua", "return 6 * 7"}}, "return dofile('модуль.lua')", "42", {}},
};

TEST_F(Quillet, FileCallsWithNamesOutsideAscii) {
  for (const auto &c : file_call_cases) {
    SCOPED_TRACE(c.what);
    for (const auto &[name, content] : c.before)
      write(name, content);
    expect_output(run_script(c.script), c.out);
    for (const auto &[name, content] : c.after)
      EXPECT_EQ(read(name), content) << name;
  }
}

struct FormatCase {
  const char *what;
  std::string script;
  std::string out;
};

// Linux formats these through a 64-bit long; Windows' long is 32 bits.
const FormatCase integer_format_cases[] = {
    {"%d at 2^31", "return string.format('%d', 2^31)", "2147483648"},
    {"%d at 2^53", "return string.format('%d', 2^53)", "9007199254740992"},
    {"%i below -2^31", "return string.format('%i', -2^40)", "-1099511627776"},
    {"%u at 2^32", "return string.format('%u', 2^32)", "4294967296"},
    {"%x", "return string.format('%x', 2^40 + 255)", "100000000ff"},
    {"%X", "return string.format('%X', 2^40 + 255)", "100000000FF"},
    {"%o", "return string.format('%o', 2^33)", "100000000000"},
    {"flags and widths", "return string.format('[%-14d|%+d|%014x]', 2^32, 2^35, 2^36)",
     "[4294967296    |+34359738368|00001000000000]"},
    {"the time in milliseconds",
     "local ms = os.time() * 1000\n"
     "return string.format('%d', ms) == string.format('%.0f', ms) and 'same' or 'differs'",
     "same"},
};

TEST_F(Quillet, IntegerFormatsPast32Bits) {
  for (const auto &c : integer_format_cases) {
    SCOPED_TRACE(c.what);
    expect_output(run_script(c.script), c.out);
  }
}

// A sparse file of 5 GiB: written at its end, then read there, and sought back by more than
// 4 GiB from the current position.
TEST_F(Quillet, FileSeekPast4GiB) {
  const std::string script = R"(local f = assert(io.open('sparse.bin', 'wb'))
local at = assert(f:seek('set', 5 * 2^30))
f:write('end')
local after = f:seek('cur')
f:close()
f = assert(io.open('sparse.bin', 'rb'))
local size = f:seek('end')
f:seek('set', 5 * 2^30 + 1)
local tail = f:read('*a')
local back = f:seek('cur', -2^32 - 3)
f:close()
return table.concat({at, after, size, tail, back}, ' ')
)";
  expect_output(run_script(script), "5368709120 5368709123 5368709123 nd 1073741824");
  EXPECT_EQ(fs::file_size(dir / "sparse.bin"), 5368709123u);
}

} // namespace
