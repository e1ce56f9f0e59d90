// Every system call the client makes, failed once under strace at each of
// its first few occurrences with errors the kernel really gives for it. A
// failure may end the delivery, but only with the right status and message,
// and never with a wrong command in the pipe reported as success.

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "expected.hpp"
#include "harness.hpp"

namespace {

using namespace harness;

// What the kernel may answer to each call the client makes. A call that is
// not listed fails the sweep, so that a new call gets its errors chosen.
const std::map<std::string, std::vector<std::string>> kErrors{
    {"openat", {"EINTR", "ENOENT", "EACCES", "EMFILE"}},
    {"newfstatat", {"EIO", "EOVERFLOW"}},
    {"fstat", {"EIO", "EOVERFLOW"}},
    {"ftruncate", {"EINTR", "EIO", "EPERM"}},
    {"mmap", {"ENOMEM", "EAGAIN"}},
    {"mremap", {"ENOMEM", "EAGAIN"}},
    {"munmap", {"EINVAL", "ENOMEM"}},
    {"madvise", {"EINVAL", "EAGAIN"}},
    {"mprotect", {"ENOMEM", "EACCES"}},
    {"read", {"EINTR", "EIO"}},
    {"pread64", {"EINTR", "EIO"}},
    {"lseek", {"EINVAL", "EOVERFLOW"}},
    {"write", {"EINTR", "EIO", "ENOSPC"}},
    {"writev", {"EINTR", "EIO", "ENOSPC"}},
    {"vmsplice", {"EINTR", "ENOMEM", "EINVAL"}},
    {"fcntl", {"EINVAL", "EBUSY", "EPERM"}},
    {"close", {"EINTR", "EIO"}},
    {"clone3", {"EAGAIN", "ENOMEM"}},
    {"clone", {"EAGAIN", "ENOMEM"}},
    {"futex", {"EINTR", "EAGAIN"}},
    {"rseq", {"EINVAL"}},
    {"set_robust_list", {"EINVAL"}},
    {"rt_sigaction", {"EINVAL"}},
    {"rt_sigprocmask", {"EINVAL"}},
    {"rt_sigpending", {"EFAULT"}},
    {"rt_sigtimedwait", {"EINTR", "EAGAIN"}},
};
// Calls left alone: exit and exit_group end a thread or the process, with
// nothing after them to observe; brk never fails with an error number (it
// answers the old break), so a failure strace could inject is not one the
// kernel gives.
const std::set<std::string> kLeftAlone{"exit", "exit_group", "brk"};
constexpr int kOccurrences = 3;

struct Scenario {
  std::string name;
  std::size_t size;
  bool into_fifo;  // else into a regular file
  bool from_fifo;  // a command of unknown size
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// Skips a test that traces the client, where tracing would not show it.
#define SKIP_UNLESS_TRACEABLE()                                                              \
  do {                                                                                       \
    if (CLIENT_SANITIZED) {                                                                  \
      GTEST_SKIP() << "the sanitizers' own start-up and allocations would take the "         \
                      "injected failures";                                                   \
    }                                                                                        \
    if (!client_runner().empty()) {                                                          \
      GTEST_SKIP() << "under " << client_runner() << " the calls traced are the emulator's"; \
    }                                                                                        \
    if (system("strace -V >/dev/null 2>&1") != 0) {                                          \
      GTEST_SKIP() << "strace is not installed";                                             \
    }                                                                                        \
  } while (false)

struct Attempt {
  Result result;
  std::string delivered;  // what reached the reader or the file
};

class Injection : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    SKIP_UNLESS_TRACEABLE();
    text_ = all_bytes(GetParam().size, static_cast<unsigned>(GetParam().size));
    write_file(dir_ / "command", text_);
    make_fifo(dir_ / "source");
  }

  // One run in a fresh pipe, with strace's arguments before the client.
  Attempt attempt(std::vector<std::string> strace) {
    const std::string pipe = dir_ / ("pipe" + std::to_string(++runs_));
    const std::string command = GetParam().from_fifo ? dir_ / "source" : dir_ / "command";
    std::optional<FifoReader> reader;
    if (GetParam().into_fifo) {
      make_fifo(pipe);
      reader.emplace(pipe);
    }
    std::optional<FifoWriter> source;
    if (GetParam().from_fifo) {
      source.emplace(command, text_);
    }
    strace.insert(strace.begin(), "strace");
    Attempt attempt{.result = run({.args = {pipe, command}, .wrapper = strace})};
    if (reader) {
      attempt.delivered = reader->finish().bytes;
    } else if (fs::exists(pipe)) {
      attempt.delivered = read_file(pipe);
    }
    last_pipe_ = pipe;
    return attempt;
  }

  // Each call and the occurrence to fail, counted as strace counts them:
  // per thread, from the thread's start. Only calls the client's own code
  // makes are taken, from its opening of the pipe on.
  std::set<std::pair<std::string, int>> calls_to_fail(const std::string& trace) const {
    std::ifstream lines(trace);
    std::map<std::string, std::map<std::string, int>> seen;  // thread -> call -> count
    std::set<std::pair<std::string, int>> chosen;
    std::map<std::string, std::map<std::string, int>> chosen_per_thread;
    bool started = false;
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string thread;
      std::string call;
      words >> thread >> call;
      if (call.starts_with("<...") || call.starts_with("+++") || call.starts_with("---")) {
        continue;
      }
      call = call.substr(0, call.find('('));
      const int count = ++seen[thread][call];
      started =
          started || (call == "openat" && line.find('"' + last_pipe_ + '"') != std::string::npos);
      if (started && !kLeftAlone.contains(call) &&
          ++chosen_per_thread[thread][call] <= kOccurrences) {
        chosen.emplace(call, count);
      }
    }
    return chosen;
  }

  void check(const Attempt& attempt, const std::string& call) const {
    const Result& result = attempt.result;
    ASSERT_FALSE(result.timed_out) << "did not end in time";
    ASSERT_EQ(result.signal, 0) << "killed by signal " << result.signal;
    const std::string& pipe = last_pipe_;
    const std::string command = GetParam().from_fifo ? dir_ / "source" : dir_ / "command";
    const std::map<int, std::string> messages{{251, cannot_write_pipe(pipe)},
                                              {252, cannot_read_command(command)},
                                              {253, cannot_open_command(command)},
                                              {254, cannot_open_pipe(pipe)}};
    const std::string echo = echo_of(text_);
    if (result.exit_code == 0) {
      EXPECT_TRUE(same_bytes(attempt.delivered, text_));
      EXPECT_EQ(result.err, "");
      EXPECT_TRUE(echo.starts_with(result.out)) << "standard output is not a prefix of the echo";
      return;
    }
    ASSERT_TRUE(messages.contains(result.exit_code)) << "status " << result.exit_code;
    const std::string& message = messages.at(result.exit_code);
    if (call == "write" || call == "writev") {
      EXPECT_TRUE(message.starts_with(result.err)) << "standard error: " << result.err;
    } else {
      EXPECT_EQ(result.err, message);
    }
    if (result.exit_code == 252) {
      EXPECT_TRUE(same_bytes(result.out, ""));
      EXPECT_TRUE(same_bytes(attempt.delivered, ""));
    }
  }

  TempDir dir_;
  std::string text_;
  std::string last_pipe_;
  int runs_ = 0;
};

TEST_P(Injection, EveryFailedCallEndsInItsStatusAndMessage) {
  const std::string trace = dir_ / "trace";
  const Attempt traced = attempt({"-f", "-qq", "-o", trace});
  ASSERT_EQ(traced.result.exit_code, 0) << traced.result.err;
  ASSERT_TRUE(same_bytes(traced.delivered, text_));
  const auto calls = calls_to_fail(trace);
  ASSERT_FALSE(calls.empty()) << "no call of the client's own found in " << trace;
  std::map<std::string, int> failed;
  for (const auto& [call, occurrence] : calls) {
    const auto errors = kErrors.find(call);
    if (errors == kErrors.end()) {
      ADD_FAILURE() << "the client now calls " << call << ": list the errors it may give";
      continue;
    }
    for (const std::string& error : errors->second) {
      const std::string inject =
          "inject=" + call + ":error=" + error + ":when=" + std::to_string(occurrence);
      SCOPED_TRACE(call + " failing with " + error + " at occurrence " +
                   std::to_string(occurrence));
      check(attempt({"-f", "-qq", "-o", "/dev/null", "-e", inject}), call);
      ++failed[call];
    }
  }
  std::cout << "failed once each:";
  for (const auto& [call, runs] : failed) {
    std::cout << ' ' << call << " (" << runs << " runs)";
  }
  std::cout << '\n';
}

TEST(Refusals, EveryFastPathRefusedStillDelivers) {
  SKIP_UNLESS_TRACEABLE();
  // Each refused every time it is asked; the plain way must take over.
  const std::vector<std::pair<std::string, std::size_t>> cases{
      {"vmsplice:error=EINVAL", (std::size_t{2} << 20) + 3},
      {"fcntl:error=EPERM", (std::size_t{2} << 20) + 3},
      {"madvise:error=EINVAL", (std::size_t{9} << 20) + 5},
      {"clone3:error=EAGAIN", (std::size_t{9} << 20) + 5},
  };
  for (const auto& [refusal, size] : cases) {
    SCOPED_TRACE(refusal);
    const std::string text = all_bytes(size, 13);
    const TempDir dir;
    write_file(dir / "command", text);
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    const Result result = run({.args = {dir / "fifo", dir / "command"},
                               .wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                           "inject=" + refusal + ":when=1+"}});
    expect_exit(result, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(same_bytes(result.out, echo_of(text)));
    EXPECT_TRUE(same_bytes(reader.get().bytes, text));
  }
}

TEST(ChangingCommand, TheFileAsReadIsSent) {
  SKIP_UNLESS_TRACEABLE();
  // The client is stopped once it has measured the file and taken memory
  // for it (its first mmap), the file changes, and the client goes on.
  struct Case {
    std::string name;
    std::size_t size;
    std::function<std::string(const std::string&)> change;
  };
  const auto grow = [](const std::string& text) { return text + all_bytes(5000, 14); };
  const auto cut_to = [](std::size_t size) {
    return [size](const std::string& text) { return text.substr(0, size); };
  };
  const std::vector<Case> cases{
      {"grows, read at once", (std::size_t{1} << 20) + 3, grow},
      {"shrinks, read at once", (std::size_t{1} << 20) + 3, cut_to(4097)},
      {"grows, read in two halves", (std::size_t{9} << 20) + 5, grow},
      {"shrinks into the second half", (std::size_t{9} << 20) + 5,
       cut_to((std::size_t{6} << 20) + 3)},
      {"shrinks into the first half", (std::size_t{9} << 20) + 5,
       cut_to((std::size_t{1} << 20) + 3)},
  };
  for (const auto& [name, size, change] : cases) {
    SCOPED_TRACE(name);
    const std::string before = all_bytes(size, 15);
    const std::string after = change(before);
    const TempDir dir;
    write_file(dir / "command", before);
    make_fifo(dir / "fifo");
    make_fifo(dir / "trace");
    FifoReader reader(dir / "fifo");
    FifoReader trace(dir / "trace");
    Client client({.args = {dir / "fifo", dir / "command"},
                   .stdout_path = "/dev/null",
                   .wrapper = {"strace", "-qq", "-o", dir / "trace", "-e", "trace=mmap", "-e",
                               "inject=mmap:signal=SIGSTOP:when=1"}});
    ASSERT_TRUE(trace.wait_for("--- stopped by SIGSTOP ---"));
    const pid_t traced = client.wrapped();
    ASSERT_GT(traced, 0);
    // The same file, changed in place: the client holds it open.
    if (after.size() < before.size()) {
      fs::resize_file(dir / "command", after.size());
    } else {
      std::ofstream(dir / "command", std::ios::binary | std::ios::app) << after.substr(size);
    }
    ASSERT_EQ(kill(traced, SIGCONT), 0);
    expect_exit(client.wait(), 0);
    EXPECT_TRUE(same_bytes(reader.get().bytes, after));
  }
}

TEST(SplitRead, EitherHalfFailingSendsNothing) {
  if (!client_runner().empty()) {
    GTEST_SKIP() << "the emulator " << client_runner() << " reads the program with pread";
  }
  // Read in two halves split at 4 MiB; a disk error in either is the
  // whole command's.
  constexpr off_t kHalf = off_t{4} << 20;
  const std::string text = all_bytes((std::size_t{9} << 20) + 5, 16);
  for (const auto& [name, range] : std::vector<std::pair<std::string, std::pair<off_t, off_t>>>{
           {"first half", {0, 1}}, {"second half", {kHalf, kHalf + 1}}}) {
    SCOPED_TRACE(name);
    const TempDir dir;
    write_file(dir / "command", text);
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    const Result result = run({.args = {dir / "fifo", dir / "command"}, .failing_preads = range});
    expect_exit(result, 252);
    EXPECT_TRUE(same_bytes(result.out, ""));
    EXPECT_EQ(result.err, cannot_read_command(dir / "command"));
    EXPECT_TRUE(same_bytes(reader.get().bytes, ""));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, Injection,
    ::testing::Values(Scenario{"TinyIntoAFifo", 7, true, false},
                      Scenario{"LargerThanThePipe", (std::size_t{2} << 20) + 3, true, false},
                      Scenario{"ReadInTwoHalves", (std::size_t{9} << 20) + 5, true, false},
                      Scenario{"IntoARegularFile", (std::size_t{100} << 10) + 1, false, false},
                      Scenario{"FromAFifoOfUnknownSize", (std::size_t{300} << 10) + 1, true, true}),
    [](const auto& scenario) { return scenario.param.name; });

}  // namespace
