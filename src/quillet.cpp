// quillet: runs one Lua 5.2 chunk in a fresh engine and prints what it leaves on top of the stack.
//
//   quillet SCRIPT   runs a script file (source text, or a precompiled chunk)
//   quillet          runs the lines typed on standard input, up to a later line "END"
//
// The source of a text chunk is saved to tmp.lua in the working directory.

#include <lua.hpp>

#include <fcntl.h>
#if __has_include(<sys/mman.h>)
#include <malloc.h>
#include <sys/mman.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
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
#include <io.h>
#include <windows.h>
#endif

namespace {

// Source text in one block that is never filled before use, so that reading a large file touches
// each page once. Kept NUL-terminated: the engine takes a chunk's name as a C string.
class Text {
public:
  char *bytes() { return block.get(); } // for changes in place; null while empty
  const char *data() const { return block ? block.get() : ""; }
  size_t size() const { return used; }
  bool starts_with(const char *prefix, size_t length) const {
    return used >= length && std::memcmp(data(), prefix, length) == 0;
  }

  // A place for at least n more bytes at the end; add() takes in what was put there.
  char *room(size_t n) {
    if (n >= capacity - used) grow(n);
    return block.get() + used;
  }
  void add(size_t n) { resize(used + n); }
  void append(const char *bytes, size_t n) {
    std::memcpy(room(n), bytes, n);
    add(n);
  }
  void resize(size_t n) { // never beyond what room() made
    used = n;
    if (block) block.get()[used] = '\0';
  }

private:
  struct Free {
    void operator()(char *p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> block;
  size_t used = 0, capacity = 0;

  void grow(size_t n);
};

// Faults a large block in before it is first touched: one call instead of a trap for every page.
// Linux 5.14 and later; refused before, and nothing depends on it being taken.
void prefault([[maybe_unused]] void *block, [[maybe_unused]] size_t size) {
#ifdef MADV_POPULATE_WRITE
  constexpr uintptr_t page = 4096;
  if (size < (size_t(64) << 10)) return;
  size_t skip = uintptr_t(block) % page; // madvise takes whole pages
  madvise(static_cast<char *>(block) - skip, (skip + size + page - 1) / page * page,
          MADV_POPULATE_WRITE);
#endif
}

constexpr size_t huge_page = size_t(2) << 20;

// Grows a block (null for a new one) to at least size bytes in whole huge pages aligned to them,
// in place while it fits, and leaves its size in capacity; null where there are no huge pages, or
// on failure, with the block as it was. Faulting in one huge page costs a tenth of the 512 small
// pages it stands for, so even a block of a few hundred KiB comes cheaper this way.
void *huge_realloc(void *block, size_t old_size, size_t size, size_t &capacity) {
#ifdef MADV_HUGEPAGE
  if (block && size <= (capacity = malloc_usable_size(block))) return block;
  if (size > SIZE_MAX - huge_page) return nullptr;
  capacity = (size + huge_page - 1) / huge_page * huge_page;
  void *bigger = std::aligned_alloc(huge_page, capacity);
  if (!bigger) return nullptr;
  madvise(bigger, capacity, MADV_HUGEPAGE);
  if (block) std::memcpy(bigger, block, old_size), std::free(block);
  return bigger;
#else
  (void)block, (void)old_size, (void)size, (void)capacity;
  return nullptr;
#endif
}

// Text from this size on takes whole huge pages, and so does the engine's copy of it.
constexpr size_t huge_from = size_t(256) << 10;

// At least doubles, so that text read piece by piece is copied a bounded number of times.
void Text::grow(size_t n) {
  if (n > SIZE_MAX / 4 - used) throw std::bad_alloc();
  size_t size = std::max(used + n + 1, 2 * capacity);
  if (size >= huge_from) {
    if (void *bigger = huge_realloc(block.get(), block ? used + 1 : 0, size, capacity)) {
      (void)block.release();
      block.reset(static_cast<char *>(bigger));
      return;
    }
  }
  void *bigger = std::realloc(block.get(), size);
  if (!bigger) throw std::bad_alloc();
  (void)block.release();
  block.reset(static_cast<char *>(bigger));
  capacity = size;
  prefault(block.get(), capacity);
}

// A failure of quillet itself, reported as "quillet: <what>: <why>" with status 1.
struct Failure {
  const char *what;
  const char *why;
};

const char *const out_of_memory = "not enough memory";

// One typed line, without its line end, in a block kept from line to line.
struct Line {
  char *bytes = nullptr;
  size_t size = 0, capacity = 0;
  Line() = default;
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;
  ~Line() { std::free(bytes); }
};

// Where Windows differs: text is read and written as its C runtime does it, a rename will not
// replace an existing file, and a console Ctrl-C arrives on a thread of its own.
#ifdef _WIN32
// Reads a text file's bytes as the C runtime's text mode does: CR LF becomes LF, a CR alone
// stays, and a Ctrl-Z (0x1A) ends the text.
void read_as_text(Text &text) {
  char *bytes = text.bytes();
  size_t end = std::find(bytes, bytes + text.size(), '\x1a') - bytes, kept = 0;
  for (size_t i = 0; i < end; ++i)
    if (bytes[i] != '\r' || i + 1 == end || bytes[i + 1] != '\n') bytes[kept++] = bytes[i];
  text.resize(kept);
}

// Reads one line; false at the end of the input or on a read error, which ferror() tells
// apart. Standard input is a text stream, whose CR LF line ends arrive as LF already.
bool read_line(FILE *in, Line &LineStr) {
  LineStr.size = 0;
  int c;
  while ((c = _getc_nolock(in)) != EOF && c != '\n') {
    if (LineStr.size == LineStr.capacity) {
      size_t capacity = std::max<size_t>(256, 2 * LineStr.capacity);
      void *bigger = std::realloc(LineStr.bytes, capacity);
      if (!bigger) throw std::bad_alloc();
      LineStr.bytes = static_cast<char *>(bigger), LineStr.capacity = capacity;
    }
    LineStr.bytes[LineStr.size++] = char(c);
  }
  return c != EOF || LineStr.size > 0;
}

// What follows END stays in standard input's buffer, for the chunk's own reads.
void leave_input_after_end(FILE *) {}

size_t reported_size(FILE *in) {
  struct _stati64 st {};
  return _fstati64(_fileno(in), &st) == 0 && st.st_size > 0 ? size_t(st.st_size) : 0;
}

// A standard descriptor the process started without gets the null device, opened the wrong
// way round: nothing the chunk opens can take its number, and using it still fails.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) >= 0) continue;
    int null = _open("NUL", fd == 0 ? _O_WRONLY : _O_RDONLY);
    if (null >= 0 && null != fd) _dup2(null, fd), _close(null);
  }
}

int errno_from(DWORD error) {
  switch (error) {
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return EEXIST;
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return ENOENT;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_TOO_MANY_OPEN_FILES:
    return EMFILE;
  default:
    return EACCES; // a directory in the way, a file in use, or no permission
  }
}

// Creates a new text file that a Ctrl-C handler can delete while it is still being written.
int create_file(const char *name) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = errno_from(GetLastError());
    return -1;
  }
  int fd = _open_osfhandle(intptr_t(file), _O_WRONLY | _O_TEXT); // each LF is saved as CR LF
  if (fd < 0) CloseHandle(file);
  return fd;
}

// Renames over an existing file, with errno set as rename() sets it on failure.
bool replace_file(const char *from, const char *to) {
  DWORD error = ERROR_SUCCESS;
  // While another run replaces the same file, the move is refused for a moment: wait it out.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    Sleep(2);
  }
  errno = errno_from(error);
  return false;
}

// The file being saved, deleted by a Ctrl-C that ends the process meanwhile.
char saving[64];

BOOL WINAPI delete_saving(DWORD) {
  DeleteFileA(saving);
  return FALSE; // on to the default handler, which ends the process
}

// While it lives, an interruption removes the file being saved before the process ends.
class SaveGuard {
public:
  explicit SaveGuard(const char *name) {
    std::snprintf(saving, sizeof saving, "%s", name);
    SetConsoleCtrlHandler(delete_saving, TRUE);
  }
  ~SaveGuard() { SetConsoleCtrlHandler(delete_saving, FALSE); }
  SaveGuard(const SaveGuard &) = delete;
  SaveGuard &operator=(const SaveGuard &) = delete;
};
#else
void read_as_text(Text &) {}

// Reads one line without its line end (LF, or CR LF); false at the end of the input or on a
// read error, which ferror() tells apart.
bool read_line(FILE *in, Line &LineStr) {
  errno = 0;
  ssize_t n = getline(&LineStr.bytes, &LineStr.capacity, in);
  if (n < 0) {
    if (errno == ENOMEM) throw std::bad_alloc();
    return false;
  }
  if (n > 0 && LineStr.bytes[n - 1] == '\n' && --n > 0 && LineStr.bytes[n - 1] == '\r') --n;
  LineStr.size = size_t(n);
  return true;
}

// On a file, moves the descriptor's offset back to just after END, so that the programs the
// chunk starts read on from there; a pipe keeps the rest in the stream's buffer.
void leave_input_after_end(FILE *in) {
  if (lseek(fileno(in), 0, SEEK_CUR) >= 0) std::fflush(in);
}

size_t reported_size(FILE *in) {
  struct stat st {};
  return fstat(fileno(in), &st) == 0 && st.st_size > 0 ? size_t(st.st_size) : 0;
}

// A standard descriptor the process started without gets the null device, opened the wrong
// way round: nothing the chunk opens can take its number, and using it still fails.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0 || errno != EBADF) continue;
    int null = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (null >= 0 && null != fd) dup2(null, fd), close(null);
  }
}

int create_file(const char *name) {
  return open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

bool replace_file(const char *from, const char *to) {
  return std::rename(from, to) == 0;
}

// The file being saved, removed by a signal that ends the process meanwhile.
char saving[64];

void remove_saving(int signal) {
  unlink(saving);
  std::raise(signal); // delivered as it would have been, once this handler returns
}

// While it lives, a signal that ends the process removes the file being saved first, and a
// file-size limit fails the write rather than ending the process.
class SaveGuard {
public:
  explicit SaveGuard(const char *name) {
    std::snprintf(saving, sizeof saving, "%s", name);
    struct sigaction action {};
    action.sa_handler = remove_saving;
    action.sa_flags = SA_RESETHAND;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (size_t i = 0; i < count; ++i) {
      sigaction(signals[i], nullptr, &previous[i]);
      if (signals[i] == SIGXFSZ)
        sigaction(SIGXFSZ, &ignore, nullptr);
      else if (previous[i].sa_handler != SIG_IGN) // a signal ignored from the start stays so
        sigaction(signals[i], &action, nullptr);
    }
  }
  ~SaveGuard() {
    for (size_t i = 0; i < count; ++i)
      sigaction(signals[i], &previous[i], nullptr);
  }
  SaveGuard(const SaveGuard &) = delete;
  SaveGuard &operator=(const SaveGuard &) = delete;

private:
  static constexpr int signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,
                                    SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ};
  static constexpr size_t count = sizeof signals / sizeof signals[0];
  struct sigaction previous[count];
};
#endif

// One chunk as a reader leaves it.
struct Chunk {
  const char *path = nullptr; // the script file; null for typed source
  bool bin_mode = false;      // a precompiled chunk, named after its file; no snapshot is kept
  Text buf;                   // the chunk's bytes; for a text chunk, its source text
};

using File = std::unique_ptr<FILE, decltype(&fclose)>;

// Writes text of quillet's own to standard output and sends it on its way at once; a write
// that fails is output lost, remembered by its reason in lost.
void emit(const char *text, size_t size, int &lost) {
  errno = 0;
  std::clearerr(stdout);
  if (std::fwrite(text, 1, size, stdout) == size && std::fflush(stdout) == 0) return;
  if (!lost) lost = errno ? errno : EIO;
}

// Reads a whole stream in binary; the size a regular file reports only sizes the first read.
bool read_all(FILE *in, Text &text) {
  // The spare byte lets one read reach the end of a regular file.
  size_t want = std::max<size_t>(reported_size(in), 65535) + 1;
  while (true) {
    size_t n = std::fread(text.room(want), 1, want, in);
    text.add(n);
    if (n < want) break;
    want = text.size();
  }
  return !std::ferror(in);
}

// Reads a script file once, as it is on disk; a precompiled Lua 5.2 chunk starts with the
// escape byte and "LuaR", and anything else is text.
std::optional<Chunk> read_script_file(const char *path) {
  File in(std::fopen(path, "rb"), fclose);
  if (!in && errno == ENOMEM) throw std::bad_alloc(); // the file may be fine: memory is not
  Chunk chunk;
  chunk.path = path;
  if (!in || !read_all(in.get(), chunk.buf)) return std::nullopt;
  chunk.bin_mode = chunk.buf.starts_with("\x1bLuaR", 5);
  if (!chunk.bin_mode) read_as_text(chunk.buf);
  return chunk;
}

// Collects the lines typed on standard input up to a later line "END" (or the end of input),
// and echoes them before they run.
Chunk read_typed_source(FILE *in, int &lost) {
  static const char prompt[] = "input string\n";
  emit(prompt, sizeof prompt - 1, lost); // a harness waits for the prompt before it types
  Chunk chunk;
  Line LineStr;
  for (bool first = true; read_line(in, LineStr); first = false) {
    if (!first && LineStr.size == 3 && std::memcmp(LineStr.bytes, "END", 3) == 0) break;
    if (LineStr.size == 0) continue;
    chunk.buf.append(LineStr.bytes, LineStr.size);
    chunk.buf.append("\n", 1);
  }
  if (std::ferror(in)) throw Failure{"standard input", std::strerror(errno ? errno : EIO)};
  leave_input_after_end(in);
  emit(chunk.buf.data(), chunk.buf.size(), lost);
  emit("\n", 1, lost); // the echo ends with a line end of its own
  return chunk;
}

// What the protected run works on.
struct Run {
  const char *data; // the bytes to load
  size_t size;
  const char *name; // the chunk's name
  int *lost;        // where output lost is remembered
  bool loading;     // while the chunk loads
};

// The engine's usual allocator, with large blocks faulted in at once. Blocks of 2 MiB and more
// take whole huge pages, and so does the engine's copy of the text as the chunk's name, whatever
// its size: a block that is used whole.
void *allocate(void *ud, void *block, size_t old_size, size_t size) {
  if (size == 0) {
    std::free(block);
    return nullptr;
  }
  const auto *run = static_cast<const Run *>(ud);
  size_t from = run->loading ? std::min(huge_page, std::max(huge_from, run->size)) : huge_page;
  size_t capacity;
  if ((!block || size > old_size) && size >= from)
    if (void *bigger = huge_realloc(block, old_size, size, capacity)) return bigger;
  block = std::realloc(block, size);
  if (block) prefault(block, size);
  return block;
}

// print tells the chunk nothing of a write that failed, so quillet counts one as output lost.
int checked_print(lua_State *L) {
  std::clearerr(stdout);
  errno = 0;
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, 0);
  int &lost = *static_cast<int *>(lua_touserdata(L, lua_upvalueindex(2)));
  if (std::ferror(stdout) && !lost) lost = errno ? errno : EIO;
  return 0;
}

// Opens the libraries, loads and calls the chunk, and leaves the text of its top value on top.
// Runs under protection: a memory error here must not reach the engine's panic handler.
int run_protected(lua_State *L) {
  auto *run = static_cast<Run *>(lua_touserdata(L, 1));
  lua_settop(L, 0);
  luaL_openlibs(L);
  lua_getglobal(L, "print");
  lua_pushlightuserdata(L, run->lost);
  lua_pushcclosure(L, checked_print, 2);
  lua_setglobal(L, "print");
  run->loading = true;
  int status = luaL_loadbuffer(L, run->data, run->size, run->name);
  run->loading = false;
  if (status == LUA_OK) {
    // A large chunk's parser leftovers, a table of every constant, go now rather than whenever
    // the collector reaches them, which a chunk name as long as the text makes late.
    if (run->size >= (size_t(1) << 20)) lua_gc(L, LUA_GCCOLLECT, 0);
    lua_pcall(L, 0, LUA_MULTRET, 0);
  }
  // Finalizers wait for the engine to close, after the report, where their errors are ignored.
  lua_gc(L, LUA_GCSTOP, 0);
  if (lua_gettop(L) == 0) return 0;
  lua_tolstring(L, -1, nullptr); // turns a number into its text in place
  return 1;
}

// Runs the chunk once in a fresh engine and prints its last result or error value.
bool run_chunk(const Chunk &chunk, int &lost) {
  Run run{chunk.buf.data(), chunk.buf.size(), chunk.buf.data(), &lost, false};
  std::string file_name;
  if (chunk.bin_mode) {
    file_name = std::string("@") + chunk.path; // as the engine's file loader names a file
    run.name = file_name.c_str();
  } else if (chunk.buf.starts_with("\xEF\xBB\xBF", 3)) {
    run.data += 3, run.size -= 3, run.name += 3; // a UTF-8 byte-order mark, as lua5.2 skips it
  }
  std::unique_ptr<lua_State, decltype(&lua_close)> state(luaL_newstate(), lua_close);
  lua_State *L = state.get();
  if (!L) return false;
  lua_setallocf(L, allocate, &run);
  lua_pushcfunction(L, run_protected);
  lua_pushlightuserdata(L, &run);
  if (lua_pcall(L, 1, 1, 0) != LUA_OK) return false;
  if (const char *error_message = lua_tolstring(L, -1, nullptr))
    emit(error_message, std::strlen(error_message), lost);
  return true;
}

// Writes all of a text to a descriptor, through short writes and interrupted calls.
bool write_all(int fd, const Text &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0)
      done += size_t(n);
    else if (n == 0 || errno != EINTR)
      return false;
  }
  return true;
}

// Replaces tmp.lua by renaming a whole new file over it: never seen half written, and a
// symbolic link in its place is replaced, not followed. Returns 0 or the reason as an errno.
int write_snapshot(const Text &buf) {
  char temp[64];
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Named after this process, so that concurrent runs never share.
    std::snprintf(temp, sizeof temp, "tmp.lua.%ld.%d", long(getpid()), attempt);
    SaveGuard guard(temp);
    int fd = create_file(temp);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return errno;
    bool ok = write_all(fd, buf);
    ok = close(fd) == 0 && ok;
    if (ok && replace_file(temp, "tmp.lua")) return 0;
    int err = errno;
    unlink(temp);
    return err;
  }
  return EEXIST;
}

// Reports a failure of quillet itself; the chunk's own errors are the report on standard output.
int fail(const char *what, const char *why) {
  std::fprintf(stderr, "quillet: %s: %s\n", what, why);
  return 1;
}

} // namespace

int main(int argc, char **argv) try {
  hold_standard_descriptors();
  int lost = 0; // why output went missing with nobody told, once it has
  std::optional<Chunk> chunk =
      argc < 2 ? read_typed_source(stdin, lost) : read_script_file(argv[1]);
  if (!chunk) {
    static const char err_file_open[] = "err file open";
    emit(err_file_open, sizeof err_file_open - 1, lost);
  } else if (!run_chunk(*chunk, lost)) {
    return fail("Lua", out_of_memory);
  }
  emit("", 0, lost); // what the chunk and its finalizers left in the buffer
  int snapshot = chunk && !chunk->bin_mode ? write_snapshot(chunk->buf) : 0;
  int status = 0;
  if (lost) status = fail("standard output", std::strerror(lost));
  if (snapshot) status = fail("tmp.lua", std::strerror(snapshot));
  return status;
} catch (const Failure &failure) {
  return fail(failure.what, failure.why);
} catch (const std::bad_alloc &) {
  return fail("reading the script", out_of_memory);
}
