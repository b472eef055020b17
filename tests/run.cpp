#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

std::string env_or(const char *name, const char *fallback) {
  const char *value = std::getenv(name);
  return value && *value ? value : fallback;
}

// A terminal whose far end types input into stdin_fd, the way a user at a console does.
int open_terminal(int &stdin_fd) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    throw std::runtime_error("no pseudo-terminal");
  stdin_fd = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (stdin_fd < 0 || tcgetattr(stdin_fd, &mode) != 0)
    throw std::runtime_error("cannot open the pseudo-terminal");
  mode.c_lflag &= ~tcflag_t(ECHO);
  tcsetattr(stdin_fd, TCSANOW, &mode);
  return master;
}

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Child side of run_process: only async-signal-safe calls between fork and exec.
[[noreturn]] void exec_child(char *const *argv, char *const *envp, const char *dir,
                             const RunOptions &options, int in, int out, int err) {
  if (chdir(dir) != 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (int fd : options.closed)
    close(fd);
  if (options.umask) ::umask(*options.umask);
  signal(SIGXFSZ, SIG_DFL);
  if (options.file_size_limit != RLIM_INFINITY) {
    rlimit limit{options.file_size_limit, options.file_size_limit};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.memory_limit != RLIM_INFINITY) {
    rlimit limit{options.memory_limit, options.memory_limit};
    setrlimit(RLIMIT_AS, &limit);
  }
  execvpe(argv[0], argv, envp);
  _exit(127);
}

} // namespace

RunResult run_process(const std::vector<std::string> &argv, const fs::path &dir,
                      const RunOptions &options) {
  std::vector<char *> args;
  for (const auto &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);

  // The added settings go first: getenv finds the first of two with the same name.
  std::vector<std::string> env_strings = options.env;
  for (char **var = environ; *var; ++var)
    env_strings.emplace_back(*var);
  std::vector<char *> envp;
  for (auto &var : env_strings)
    envp.push_back(var.data());
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  int stdin_fd = in[0];
  int terminal = -1;
  if (options.input_terminal) {
    terminal = open_terminal(stdin_fd);
  } else if (options.input_file) {
    stdin_fd = open(options.input_file->c_str(), O_RDONLY | O_CLOEXEC);
    if (stdin_fd < 0) throw std::runtime_error("cannot open " + options.input_file->string());
  }
  if (options.input_held_open) set_nonblocking(in[0]);
  int stdout_fd = out[1];
  if (options.output_file) {
    stdout_fd = open(options.output_file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (stdout_fd < 0) throw std::runtime_error("cannot open " + options.output_file->string());
  }
  std::string dir_name = dir.string();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0)
    exec_child(args.data(), envp.data(), dir_name.c_str(), options, stdin_fd, stdout_fd, err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (stdin_fd != in[0]) close(stdin_fd);
  if (stdout_fd != out[1]) close(stdout_fd);

  // Feed standard input while draining both outputs, so that neither side can block the other.
  RunResult result;
  int to_child = in[1];
  int held = options.input_held_open ? fcntl(to_child, F_DUPFD_CLOEXEC, 3) : -1;
  size_t fed = 0;
  if (terminal >= 0 && write(terminal, options.input.data(), options.input.size()) < 0)
    throw std::runtime_error("cannot type at the pseudo-terminal");
  if (options.input.empty() || options.input_file || terminal >= 0) {
    close(to_child);
    to_child = -1;
  } else {
    set_nonblocking(to_child);
  }
  signal(SIGPIPE, SIG_IGN);
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int open_outputs = 2;
  bool signal_pending = options.signal != 0;
  while (open_outputs > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    if (signal_pending && options.signal_when()) {
      kill(pid, options.signal);
      signal_pending = false;
      result.signalled = true;
    }
    int wait_ms = signal_pending ? 2 : int(left.count());
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {to_child, POLLOUT, 0}};
    if (poll(fds, to_child >= 0 ? 3 : 2, wait_ms) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[65536];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(chunk, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open_outputs;
      }
    }
    if (to_child >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(to_child, options.input.data() + fed, options.input.size() - fed);
      if (n > 0) fed += size_t(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == options.input.size()) {
        close(to_child);
        to_child = -1;
      }
    }
  }
  for (int fd : {out[0], err[0], to_child, held})
    if (fd >= 0) close(fd);
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  if (terminal >= 0) close(terminal);
  if (WIFEXITED(wait_status))
    result.status = WEXITSTATUS(wait_status);
  else if (WIFSIGNALED(wait_status))
    result.signal = WTERMSIG(wait_status);
  return result;
}

std::vector<std::string> quillet_command() {
  std::vector<std::string> command;
  std::istringstream launcher(env_or("QUILLET_LAUNCHER", ""));
  for (std::string word; launcher >> word;)
    command.push_back(word);
  command.push_back(env_or("QUILLET", QUILLET_BUILT));
  return command;
}

std::string luac_path() {
  return env_or("LUAC", LUAC_FOUND);
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}
