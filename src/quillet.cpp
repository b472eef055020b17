// quillet: runs one Lua 5.2 chunk in a fresh engine and prints what it leaves on top of the stack.
//
//   quillet SCRIPT   runs a script file (source text, or a precompiled chunk)
//   quillet          runs the lines typed on standard input, up to a later line "END"
//
// The source of a text chunk is saved to tmp.lua in the working directory.

#include <lua.hpp>

#include <fcntl.h>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

// Where Windows differs: text files and a rename that will not replace an existing file.
#ifdef _WIN32
// Text mode, as every Windows program reads text: CR LF reaches the engine as LF, and a
// Ctrl-Z (0x1A) ends the script, as it ends any text file the C runtime reads.
const char *const script_mode = "r";
// tmp.lua is written in text mode too, so each LF of the source is saved as CR LF.
const int temp_flags = O_TEXT | O_NOINHERIT;

// Renames over an existing file. On failure returns false with errno set as rename() sets it, so
// that the host failure reads as it does elsewhere.
bool replace_file(const char *from, const char *to) {
  DWORD error = ERROR_SUCCESS;
  // While another run replaces the same file, the move is refused for a moment: wait it out.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    Sleep(2);
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    errno = ENOENT;
  else if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
    errno = ENOSPC;
  else
    errno = EACCES; // a directory in the way, a file in use, or no permission
  return false;
}
#else
const char *const script_mode = "rb";
const int temp_flags = O_CLOEXEC;

bool replace_file(const char *from, const char *to) {
  return std::rename(from, to) == 0;
}
#endif

// One chunk as a reader leaves it.
struct Chunk {
  const char *path = nullptr; // the script file; null for typed source
  bool bin_mode = false; // precompiled: the engine loads the file itself and no snapshot is kept
  std::string buf;       // the source text of a text chunk
};

using File = std::unique_ptr<FILE, decltype(&fclose)>;

// Reports a failure of the host itself; the chunk's own errors are the report on standard output.
int fail(const char *what, const char *why) {
  std::fprintf(stderr, "quillet: %s: %s\n", what, why);
  return 1;
}

// Asks for transparent huge pages on a large block before it is first touched: a few faults
// instead of one for every page. Only advice; nothing depends on it being taken.
void advise_huge([[maybe_unused]] void *block, [[maybe_unused]] size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr size_t page = 4096;
  if (size < (size_t(2) << 20)) return;
  auto *first = static_cast<char *>(block);
  size_t skip = (page - uintptr_t(first) % page) % page; // madvise takes whole pages only
  madvise(first + skip, (size - skip) / page * page, MADV_HUGEPAGE);
#endif
}

// Makes room for a text of the given size, at least doubling, in a block advised before the
// text is copied in.
void reserve_huge(std::string &text, size_t size) {
  if (size <= text.capacity()) return;
  std::string bigger;
  bigger.reserve(std::max(size, 2 * text.capacity()));
  advise_huge(bigger.data(), bigger.capacity());
  bigger.append(text);
  text.swap(bigger);
}

// Reads a whole stream; the size a regular file reports only sizes the first read.
bool read_all(FILE *in, std::string &text) {
  struct stat st {};
  size_t size = fstat(fileno(in), &st) == 0 && st.st_size > 0 ? size_t(st.st_size) : 0;
  // The spare byte lets one read reach the end of a regular file.
  reserve_huge(text, std::max<size_t>(size, 4095) + 1);
  size_t got = 0;
  while (true) {
    text.resize(text.capacity());
    size_t n = std::fread(&text[got], 1, text.size() - got, in);
    if (n == 0) break;
    got += n;
    if (got == text.size()) reserve_huge(text, got + 1);
  }
  text.resize(got);
  return !std::ferror(in);
}

// Reads a script file once; bytes 1 to 4 reading "LuaR" mark a precompiled Lua 5.2 chunk.
std::optional<Chunk> read_script_file(const char *path) {
  File in(std::fopen(path, script_mode), fclose);
  if (!in && errno == ENOMEM) throw std::bad_alloc(); // the file may be fine: memory is not
  Chunk chunk;
  chunk.path = path;
  if (!in || !read_all(in.get(), chunk.buf)) return std::nullopt;
  chunk.bin_mode = chunk.buf.size() >= 5 && chunk.buf.compare(1, 4, "LuaR") == 0;
  if (chunk.bin_mode) std::string().swap(chunk.buf);
  return chunk;
}

// Reads one line without its line end (LF, or CR LF); false once the input has nothing left.
bool read_line(FILE *in, std::string &LineStr) {
  LineStr.clear();
  int c;
  while ((c = std::getc(in)) != EOF && c != '\n')
    LineStr += char(c);
  if (c == '\n' && !LineStr.empty() && LineStr.back() == '\r') LineStr.pop_back();
  return c != EOF || !LineStr.empty();
}

// Collects typed lines up to a later line "END" (or the end of input) and echoes them.
Chunk read_typed_source(FILE *in) {
  std::fputs("input string\n", stdout);
  std::fflush(stdout); // a harness waits for the prompt before it types
  Chunk chunk;
  std::string LineStr;
  for (bool first = true; read_line(in, LineStr); first = false) {
    if (!first && LineStr == "END") break;
    if (LineStr.empty()) continue;
    reserve_huge(chunk.buf, chunk.buf.size() + LineStr.size() + 1);
    chunk.buf.append(LineStr).push_back('\n');
  }
  std::fwrite(chunk.buf.data(), 1, chunk.buf.size(), stdout);
  std::fputc('\n', stdout);
  return chunk;
}

// The engine's usual allocator, with huge pages for large blocks such as its copy of a long
// chunk name.
void *allocate(void *, void *block, size_t, size_t size) {
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  block = std::realloc(block, size);
  if (block) advise_huge(block, size);
  return block;
}

// Opens the libraries, loads and calls the chunk, and leaves the text of its top value on top.
// Runs under protection: a memory error here must not reach the engine's panic handler.
int run_protected(lua_State *L) {
  const auto *chunk = static_cast<const Chunk *>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  luaL_openlibs(L);
  // A text chunk is named after its own text, as the engine's string loader names it.
  int status = chunk->bin_mode
                   ? luaL_loadfilex(L, chunk->path, nullptr)
                   : luaL_loadbuffer(L, chunk->buf.data(), chunk->buf.size(), chunk->buf.c_str());
  if (status == LUA_OK) {
    // The parser's leftovers, a table of every constant, go now rather than whenever the
    // collector reaches them, which a chunk name as long as the text makes late.
    lua_gc(L, LUA_GCCOLLECT, 0);
    lua_pcall(L, 0, LUA_MULTRET, 0);
  }
  // Finalizers wait for the engine to close, after the report, where their errors are ignored.
  lua_gc(L, LUA_GCSTOP, 0);
  if (lua_gettop(L) == 0) return 0;
  lua_tolstring(L, -1, nullptr); // turns a number into its text in place
  return 1;
}

// Runs the chunk once in a fresh engine and prints its last result or error value.
bool run_chunk(const Chunk &chunk) {
  std::unique_ptr<lua_State, decltype(&lua_close)> state(luaL_newstate(), lua_close);
  lua_State *L = state.get();
  if (!L) return false;
  lua_setallocf(L, allocate, nullptr);
  lua_pushcfunction(L, run_protected);
  lua_pushlightuserdata(L, const_cast<Chunk *>(&chunk));
  if (lua_pcall(L, 1, 1, 0) != LUA_OK) return false;
  if (const char *error_message = lua_tolstring(L, -1, nullptr)) std::fputs(error_message, stdout);
  return true;
}

// Writes all of a text to a descriptor, through short writes and interrupted calls.
bool write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0)
      done += size_t(n);
    else if (n == 0 || errno != EINTR)
      return false;
  }
  return true;
}

// Creates a new file beside tmp.lua, named after this process so that concurrent runs never share.
int create_temp(char (&name)[64]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(name, sizeof name, "tmp.lua.%ld.%d", long(getpid()), attempt);
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | temp_flags, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Replaces tmp.lua by renaming a whole new file over it: never seen half written, and a
// symbolic link in its place is replaced, not followed. Returns 0 or the reason as an errno.
int write_snapshot(const std::string &buf) {
  char temp[64];
  int fd = create_temp(temp);
  if (fd < 0) return errno;
  bool ok = write_all(fd, buf);
  ok = close(fd) == 0 && ok;
  if (ok && replace_file(temp, "tmp.lua")) return 0;
  int err = errno;
  unlink(temp);
  return err;
}

} // namespace

int main(int argc, char **argv) try {
  std::optional<Chunk> chunk = argc < 2 ? read_typed_source(stdin) : read_script_file(argv[1]);
  if (!chunk) {
    std::fputs("err file open", stdout);
    return 0;
  }
  if (!run_chunk(*chunk)) return fail("Lua", "not enough memory");
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return fail("standard output", std::strerror(errno));
  if (!chunk->bin_mode)
    if (int err = write_snapshot(chunk->buf)) return fail("tmp.lua", std::strerror(err));
  return 0;
} catch (const std::bad_alloc &) {
  return fail("reading the script", "not enough memory");
}
