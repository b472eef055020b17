#include "fixture.h"

#include <algorithm>
#include <cstdlib>

void Quillet::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "quillet-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir = pattern;
}

void Quillet::TearDown() {
  std::error_code ignored;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(dir, ignored);
}

RunResult Quillet::run(const std::vector<std::string> &args, const RunOptions &options) const {
  std::vector<std::string> argv = quillet_command();
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, dir, options);
}

RunResult Quillet::run_script(const std::string &source, const RunOptions &options) const {
  write("script.lua", source);
  return run({"script.lua"}, options);
}

RunResult Quillet::run_typed(const std::string &input) const {
  RunOptions options;
  options.input = input;
  options.timeout = std::chrono::seconds(20);
  return run({}, options);
}

void Quillet::compile(const std::string &source, const std::string &name) const {
  write("compile-me.lua", source);
  RunResult result = run_process({luac_path(), "-o", name, "compile-me.lua"}, dir);
  ASSERT_EQ(result.status, 0) << result.err;
  fs::remove(dir / "compile-me.lua");
}

void Quillet::write(const std::string &name, const std::string &content) const {
  write_file(dir / name, content);
}

std::optional<std::string> Quillet::read(const std::string &name) const {
  if (!fs::exists(fs::symlink_status(dir / name))) return std::nullopt;
  return read_file(dir / name);
}

std::vector<std::string> Quillet::other_files(const std::vector<std::string> &expected) const {
  std::vector<std::string> others;
  for (const auto &entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) others.push_back(name);
  }
  return others;
}

bool on_windows() {
  const char *platform = std::getenv("QUILLET_PLATFORM");
  return platform && std::string(platform) == "windows";
}

std::string as_written(const std::string &text) {
  if (!on_windows()) return text;
  std::string bytes;
  for (char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

std::string as_read(const std::string &bytes) {
  if (!on_windows()) return bytes;
  std::string text;
  for (size_t i = 0; i < bytes.size() && bytes[i] != '\x1a'; ++i)
    if (bytes.compare(i, 2, "\r\n") != 0) text += bytes[i];
  return text;
}

void expect_output(const RunResult &result, const std::string &out, int status,
                   const std::string &err) {
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.out, as_written(out));
  EXPECT_EQ(result.err, as_written(err));
  EXPECT_EQ(result.status, status);
}
