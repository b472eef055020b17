// Faults injected into whole runs through the preloaded fault library (faults.c): every
// allocation failing in turn, and the snapshot's file operations failing.
#include "fixture.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace std::chrono_literals;

const char stats_file[] = "fault-stats";

class Faults : public Quillet {
protected:
  void SetUp() override {
    if (std::getenv("QUILLET_LAUNCHER"))
      GTEST_SKIP() << "the library would be preloaded into the launcher";
    Quillet::SetUp();
  }

  // Runs with the fault library preloaded and these settings; its counts land in stats().
  RunResult run_faulty(const std::vector<std::string> &args, std::vector<std::string> settings,
                       const std::string &input = "") const {
    RunOptions options;
    options.input = input;
    options.timeout = 20s;
    options.env = std::move(settings);
    options.env.push_back("LD_PRELOAD=" QUILLET_FAULTS_LIB);
    options.env.push_back("QUILLET_FAULT_STATS=" + (dir / stats_file).string());
    fs::remove(dir / stats_file);
    return run_process(
        [&] {
          std::vector<std::string> argv = quillet_command();
          argv.insert(argv.end(), args.begin(), args.end());
          return argv;
        }(),
        dir, options);
  }

  // What the library counted in the last run: allocations, failed_allocations, io_faults, ...
  std::map<std::string, unsigned long> stats() const {
    std::map<std::string, unsigned long> counts;
    std::ifstream in(dir / stats_file);
    std::string name;
    for (unsigned long value; in >> name >> value;)
      counts[name] = value;
    return counts;
  }
};

// One kind of run, swept with every allocation failing in turn.
struct SweepCase {
  const char *name;
  std::string script;    // the chunk's source
  bool compiled;         // run from a precompiled copy, or typed when input is set
  std::string input;     // typed on standard input; empty: the script is a file
  std::string before;    // printed before the chunk runs: the prompt and the echo
  std::string output;    // what the chunk prints
  std::string report;    // its last result
  std::string finalizer; // what its finalizer prints when the state closes
};

// A script that allocates in most of the ways a chunk can: tables, strings, a coroutine, a
// closure, a finalizer.
const char script_source[] =
    "local log = setmetatable({}, {__gc = function() io.write(' closed') end})\n"
    "local t = {}\n"
    "for i = 1, 20 do t[#t + 1] = string.format('%d:%s', i, ('x'):rep(i)) end\n"
    "print(#t, t[3])\n"
    "local co = coroutine.wrap(function(a) coroutine.yield(a * 2) end)\n"
    "io.write(co(21), '\\n')\n"
    "return table.concat(t, ','):sub(1, 30)\n";

// Typed source whose result is a number, so that the report itself needs a conversion.
const char typed_source[] = "local t = {}\nfor i = 1, 10 do t[i] = i * i end\nprint(t[10])\n"
                            "return #t + 0.5\n";

const SweepCase sweep_cases[] = {
    {"ScriptFile", script_source, false, "", "", "20\t3:xxx\n42\n",
     "1:x,2:xx,3:xxx,4:xxxx,5:xxxxx,", " closed"},
    {"PrecompiledChunk", script_source, true, "", "", "20\t3:xxx\n42\n",
     "1:x,2:xx,3:xxx,4:xxxx,5:xxxxx,", " closed"},
    {"TypedSession", typed_source, false, std::string(typed_source) + "END\n",
     "input string\n" + std::string(typed_source) + "\n", "100\n", "10.5", ""},
};

void PrintTo(const SweepCase &c, std::ostream *os) {
  *os << c.name;
}

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Why a run with a failed allocation is not acceptable, or "" when it is. Acceptable: the
// normal run; or the chunk cut short by the engine's memory error, which it reports as the
// chunk's error value (status 0, snapshot saved; the loader of a precompiled chunk names the
// fopen that failed), optionally followed by the finalizer's output; or the host giving up with one
// line on standard error (status 1), having printed part of what comes before the report and left
// tmp.lua alone.
std::string judge(const SweepCase &c, const RunResult &r,
                  const std::optional<std::string> &snapshot, const std::string &previous) {
  if (r.timed_out) return "hung";
  if (r.signal) return "killed by signal " + std::to_string(r.signal);
  const std::string printed_before_report = c.before + c.output;
  if (r.status == 1) {
    if (r.err != "quillet: Lua: not enough memory\n" &&
        r.err != "quillet: reading the script: not enough memory\n")
      return "status 1 with standard error: " + r.err;
    if (!starts_with(printed_before_report, r.out)) return "status 1 with output: " + r.out;
    if (snapshot != previous) return "status 1 but tmp.lua changed";
    return "";
  }
  if (r.status != 0) return "status " + std::to_string(r.status);
  if (!r.err.empty()) return "status 0 with standard error: " + r.err;
  if (snapshot != (c.compiled ? previous : c.script)) return "tmp.lua not complete";
  if (r.out == printed_before_report + c.report + c.finalizer) return "";
  std::vector<std::string> errors = {"not enough memory"};
  if (c.compiled) errors.push_back("cannot open chunk.luac: Cannot allocate memory"); // its fopen
  for (const std::string &error : errors) {
    for (const std::string &end : {error, error + c.finalizer}) {
      size_t cut = r.out.size() - std::min(r.out.size(), end.size());
      std::string printed = r.out.substr(0, cut);
      if (r.out.compare(cut, std::string::npos, end) == 0 && starts_with(printed, c.before) &&
          starts_with(printed_before_report, printed))
        return "";
    }
  }
  return "unexpected output: " + r.out;
}

class AllocationSweep : public Faults, public ::testing::WithParamInterface<SweepCase> {};

// N = 1, 2, ... up to the allocations of a normal run: the N-th allocation fails alone (the
// engine collects garbage and tries again), or it and all after it fail, as when memory is
// gone. All after the first: the first is the C++ runtime's reserve for exceptions, made before
// main; without it nothing can report running out of memory.
TEST_P(AllocationSweep, EveryAllocationFailingInTurn) {
  const SweepCase &c = GetParam();
  std::vector<std::string> args;
  if (c.compiled)
    compile(c.script, "chunk.luac"), args = {"chunk.luac"};
  else if (c.input.empty())
    write("script.lua", c.script), args = {"script.lua"};
  const std::string previous = "previous";
  write("tmp.lua", previous);
  expect_output(run_faulty(args, {}, c.input), c.before + c.output + c.report + c.finalizer);
  unsigned long total = stats()["allocations"];
  ASSERT_GT(total, 100u);

  int failures = 0;
  for (const char *mode : {"", "+"}) {
    for (unsigned long n = *mode ? 2 : 1; n <= total && failures < 10; ++n) {
      write("tmp.lua", previous);
      RunResult r = run_faulty(args, {"QUILLET_FAIL_ALLOC=" + std::to_string(n) + mode}, c.input);
      std::string verdict = judge(c, r, read("tmp.lua"), previous);
      // Table layouts follow the engine's randomized string hashes, so a run may allocate a
      // little less than the first: only then may no allocation fail.
      auto counts = stats();
      if (verdict.empty() && counts["failed_allocations"] == 0 && counts["allocations"] >= n)
        verdict = "no allocation failed";
      if (verdict.empty() &&
          !other_files({"script.lua", "chunk.luac", "tmp.lua", stats_file}).empty())
        verdict = "a temporary file left behind";
      if (!verdict.empty()) ++failures;
      EXPECT_EQ(verdict, "") << "allocation " << n << mode << " of " << total;
    }
  }
  RecordProperty("allocations", int(total));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AllocationSweep, ::testing::ValuesIn(sweep_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// A script long enough to take several writes when writes come up short.
const std::string long_script = "return 'ran' --" + std::string(10000, '-') + "\n";

struct IoFaultCase {
  const char *what;
  std::vector<std::string> settings;
  std::string err; // empty: the fault is survived and tmp.lua replaced
};

const IoFaultCase io_fault_cases[] = {
    {"creating the temporary file", {"QUILLET_FAIL_IO=open:EACCES"}, "Permission denied"},
    {"out of descriptors", {"QUILLET_FAIL_IO=open:EMFILE"}, "Too many open files"},
    {"a full disk", {"QUILLET_FAIL_IO=write:ENOSPC"}, "No space left on device"},
    {"a quota", {"QUILLET_FAIL_IO=write:EDQUOT"}, "Disk quota exceeded"},
    {"a write error part way",
     {"QUILLET_FAIL_IO=write:EIO:1", "QUILLET_WRITE_AT_MOST=4096"},
     "Input/output error"},
    {"a late write error part way",
     {"QUILLET_FAIL_IO=write:ENOSPC:1", "QUILLET_WRITE_AT_MOST=4096"},
     "No space left on device"},
    {"the close that flushes", {"QUILLET_FAIL_IO=close:EIO"}, "Input/output error"},
    {"the rename", {"QUILLET_FAIL_IO=rename:EXDEV"}, "Invalid cross-device link"},
    {"a read-only file system at the rename",
     {"QUILLET_FAIL_IO=rename:EROFS"},
     "Read-only file system"},
    {"an interrupted write, retried", {"QUILLET_FAIL_IO=write:EINTR:1"}, ""},
    {"writes that come up short", {"QUILLET_WRITE_AT_MOST=7"}, ""},
};

// The snapshot's file operations fail: the report has been printed, the previous tmp.lua stays
// whole, the temporary file is gone, and one line names tmp.lua.
TEST_F(Faults, SnapshotIoFaults) {
  write("script.lua", long_script);
  for (const auto &c : io_fault_cases) {
    SCOPED_TRACE(c.what);
    write("tmp.lua", "previous");
    RunResult result = run_faulty({"script.lua"}, c.settings);
    auto counts = stats();
    if (c.err.empty()) {
      expect_output(result, "ran");
      EXPECT_EQ(read("tmp.lua"), long_script);
      EXPECT_GT(counts["io_faults"] + counts["short_writes"], 0u);
    } else {
      expect_output(result, "ran", 1, "quillet: tmp.lua: " + c.err + "\n");
      EXPECT_EQ(read("tmp.lua"), "previous");
      EXPECT_GT(counts["io_faults"], 0u);
    }
    EXPECT_TRUE(other_files({"script.lua", "tmp.lua", stats_file}).empty());
  }
}

// A signal that ends the process part way through the save: the temporary file goes first,
// and the process still ends as the signal says.
TEST_F(Faults, SignalWhileSavingLeavesNoTemporaryFile) {
  write("script.lua", long_script);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    write("tmp.lua", "previous");
    RunResult result = run_faulty({"script.lua"},
                                  {"QUILLET_SIGNAL_IN_WRITE=SIG" + std::string(sigabbrev_np(sig))});
    EXPECT_EQ(result.signal, sig);
    EXPECT_EQ(result.out, "ran");
    EXPECT_EQ(read("tmp.lua"), "previous");
    EXPECT_TRUE(other_files({"script.lua", "tmp.lua", stats_file}).empty());
  }
}

TEST_F(Faults, TypedSnapshotIoFault) {
  write("tmp.lua", "previous");
  expect_output(run_faulty({}, {"QUILLET_FAIL_IO=write:ENOSPC"}, "return 1\nEND\n"),
                "input string\nreturn 1\n\n1", 1, "quillet: tmp.lua: No space left on device\n");
  EXPECT_EQ(read("tmp.lua"), "previous");
  EXPECT_TRUE(other_files({"tmp.lua", stats_file}).empty());
}

} // namespace
