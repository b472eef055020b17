// Fault injection for the program under test, loaded with LD_PRELOAD. Every setting comes from
// the environment, so that one build serves every case:
//
//   QUILLET_FAIL_ALLOC=N     the N-th allocation of the process fails (counting from 1)
//   QUILLET_FAIL_ALLOC=N+    the N-th and every later allocation fails, as when memory runs out
//   QUILLET_FAIL_IO=CALL:ERRNO[:TIMES]
//                            open, write, close or rename on the snapshot's temporary file
//                            (tmp.lua.*) fails with this errno, the first TIMES times (default:
//                            always)
//   QUILLET_WRITE_AT_MOST=N  each write to that file writes at most N bytes
//   QUILLET_SIGNAL_IN_WRITE=SIGNAL
//                            the first write to that file writes half its bytes, then the
//                            process sends itself this signal (SIGINT, SIGTERM, SIGHUP, ...)
//   QUILLET_FAULT_STATS=PATH at exit, writes what was counted and injected to PATH
//
// Standard output and every other file are left alone, so a run shows what it printed before the
// fault. Allocations go through glibc's own entry points rather than dlsym(RTLD_NEXT): dlsym
// itself allocates, and would otherwise call back into this file before it is ready.
// It stands in for libc's own functions under their reserved names, and copies only what it has
// measured:
// NOLINTBEGIN(bugprone-reserved-identifier,clang-analyzer-security.insecureAPI.DeprecatedOrUnsafeBufferHandling)
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *ptr, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

enum { MAX_TRACKED_FD = 4096 };

static struct {
  int ready;
  unsigned long fail_at; // 0: no allocation fails
  int fail_onwards;
  char io_call[16]; // the call that fails on the temporary file, or empty
  int io_errno;
  long io_times; // how many more times it fails; negative: always
  size_t write_at_most;
  int signal_in_write; // 0: none, or sent once
  const char *stats_path;
  int stopped; // set while the statistics are written, whose allocations are not the program's
} config;

static unsigned long allocations, failed_allocations, io_faults, short_writes;
static unsigned char tracked[MAX_TRACKED_FD]; // descriptors open on the temporary file

static const struct {
  const char *name;
  int value;
} errno_names[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EINTR", EINTR},
    {"EACCES", EACCES}, {"EROFS", EROFS},   {"EXDEV", EXDEV},   {"EMFILE", EMFILE},
    {"EPERM", EPERM},   {"ENOMEM", ENOMEM}, {"EFBIG", EFBIG},
};

static const struct {
  const char *name;
  int value;
} signal_names[] = {
    {"SIGHUP", SIGHUP},   {"SIGINT", SIGINT},   {"SIGQUIT", SIGQUIT}, {"SIGTERM", SIGTERM},
    {"SIGALRM", SIGALRM}, {"SIGUSR1", SIGUSR1}, {"SIGUSR2", SIGUSR2}, {"SIGPIPE", SIGPIPE},
};

static void parse_io(const char *setting) {
  const char *colon = strchr(setting, ':');
  if (!colon || (size_t)(colon - setting) >= sizeof config.io_call) return;
  memcpy(config.io_call, setting, (size_t)(colon - setting));
  char name[16] = "";
  const char *times = strchr(colon + 1, ':');
  size_t len = times ? (size_t)(times - colon - 1) : strlen(colon + 1);
  if (len >= sizeof name) return;
  memcpy(name, colon + 1, len);
  for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
    if (strcmp(name, errno_names[i].name) == 0) config.io_errno = errno_names[i].value;
  config.io_times = times ? strtol(times + 1, NULL, 10) : -1;
}

// Reads the settings on first use: allocations happen before any constructor could run.
static void configure(void) {
  if (config.ready) return;
  config.ready = 1;
  const char *alloc = getenv("QUILLET_FAIL_ALLOC");
  if (alloc) {
    char *end;
    config.fail_at = strtoul(alloc, &end, 10);
    config.fail_onwards = *end == '+';
  }
  const char *io = getenv("QUILLET_FAIL_IO");
  if (io) parse_io(io);
  const char *at_most = getenv("QUILLET_WRITE_AT_MOST");
  if (at_most) config.write_at_most = strtoul(at_most, NULL, 10);
  const char *signal_name = getenv("QUILLET_SIGNAL_IN_WRITE");
  for (size_t i = 0; signal_name && i < sizeof signal_names / sizeof signal_names[0]; ++i)
    if (strcmp(signal_name, signal_names[i].name) == 0)
      config.signal_in_write = signal_names[i].value;
  config.stats_path = getenv("QUILLET_FAULT_STATS");
}

static int allocation_fails(void) {
  configure();
  if (config.stopped) return 0;
  unsigned long n = ++allocations;
  int fails =
      config.fail_at && (n == config.fail_at || (config.fail_onwards && n > config.fail_at));
  if (fails) ++failed_allocations;
  return fails;
}

void *malloc(size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

// glibc frees on size 0 and shrinks a block in place, so neither can fail; Lua relies on that.
void *realloc(void *ptr, size_t size) {
  int shrinks = size == 0 || (ptr && size <= malloc_usable_size(ptr));
  if (!shrinks && allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(ptr, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
  if (allocation_fails()) return ENOMEM;
  void *ptr = __libc_memalign(alignment, size);
  if (!ptr) return ENOMEM;
  *out = ptr;
  return 0;
}

void *aligned_alloc(size_t alignment, size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}

void *memalign(size_t alignment, size_t size) {
  return aligned_alloc(alignment, size);
}

// Sets fn to the next definition of the symbol, the one this file stands in front of. A copy,
// because ISO C has no cast from an object pointer to a function pointer.
#define NEXT(fn, name)                                                                             \
  do {                                                                                             \
    if (!(fn)) {                                                                                   \
      void *sym = dlsym(RTLD_NEXT, name);                                                          \
      memcpy(&(fn), &sym, sizeof(fn));                                                             \
    }                                                                                              \
  } while (0)

static int is_temp_name(const char *path) {
  const char *base = strrchr(path, '/');
  return strncmp(base ? base + 1 : path, "tmp.lua.", 8) == 0;
}

static int is_tracked(int fd) {
  return fd >= 0 && fd < MAX_TRACKED_FD && tracked[fd];
}

// Whether this call on the temporary file fails now; sets errno when it does.
static int io_fails(const char *call) {
  configure();
  if (!config.io_errno || strcmp(config.io_call, call) != 0 || config.io_times == 0) return 0;
  if (config.io_times > 0) --config.io_times;
  ++io_faults;
  errno = config.io_errno;
  return 1;
}

// Every form of open goes to openat, which the others are in the kernel anyway.
static int open_file(int dirfd, const char *path, int flags, mode_t mode) {
  int temp = is_temp_name(path);
  if (temp && io_fails("open")) return -1;
  static int (*real_openat)(int, const char *, int, ...);
  NEXT(real_openat, "openat");
  int fd = real_openat(dirfd, path, flags, mode);
  if (fd >= 0 && fd < MAX_TRACKED_FD) tracked[fd] = (unsigned char)temp;
  return fd;
}

static mode_t mode_arg(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_file(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_file(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_file(dirfd, path, flags, mode);
}

ssize_t write(int fd, const void *data, size_t size) {
  static ssize_t (*real)(int, const void *, size_t);
  NEXT(real, "write");
  if (!is_tracked(fd)) return real(fd, data, size);
  if (io_fails("write")) return -1;
  if (config.write_at_most && size > config.write_at_most) {
    size = config.write_at_most;
    ++short_writes;
  }
  if (config.signal_in_write) {
    int sig = config.signal_in_write;
    config.signal_in_write = 0;
    ssize_t written = real(fd, data, size / 2);
    kill(getpid(), sig);
    return written;
  }
  return real(fd, data, size);
}

// The descriptor is released either way, as the kernel does when close reports an error.
int close(int fd) {
  static int (*real)(int);
  NEXT(real, "close");
  int temp = is_tracked(fd);
  if (temp) tracked[fd] = 0;
  int result = real(fd);
  if (temp && result == 0 && io_fails("close")) return -1;
  return result;
}

int rename(const char *from, const char *to) {
  static int (*real)(const char *, const char *);
  NEXT(real, "rename");
  if (is_temp_name(from) && io_fails("rename")) return -1;
  return real(from, to);
}

__attribute__((destructor)) static void write_stats(void) {
  if (!config.stats_path) return;
  config.stopped = 1;
  FILE *out = fopen(config.stats_path, "w");
  if (!out) return;
  fprintf(out, "allocations %lu\nfailed_allocations %lu\nio_faults %lu\nshort_writes %lu\n",
          allocations, failed_allocations, io_faults, short_writes);
  fclose(out);
}
// NOLINTEND(bugprone-reserved-identifier,clang-analyzer-security.insecureAPI.DeprecatedOrUnsafeBufferHandling)
