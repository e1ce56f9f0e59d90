// Drives the built client as a user would: real processes, real FIFOs, exact
// bytes on its standard streams. Everything that could block has a deadline.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace harness {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kRunTimeout = 60s;

constexpr uid_t kNobody = 65534;

// A fresh directory, open to every user so that unprivileged runs can reach
// it, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const fs::path& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  fs::path path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
void make_fifo(const std::string& path);
mode_t mode_of(const std::string& path);
// Everything written so far to a file open on fd, from its start.
std::string contents_of(int fd);

struct Options {
  std::vector<std::string> args;  // after the program name
  mode_t umask = 022;
  uid_t user = 0;                              // else drop to this user and group before exec
  std::vector<int> ignored;                    // signals to start with ignored, as some parents do
  std::vector<int> closed;                     // standard descriptors to close before exec
  std::string stdout_path;                     // instead of capturing standard output
  bool stdout_unread = false;                  // standard output a pipe whose reader is gone
  std::vector<std::pair<int, rlim_t>> limits;  // resource limits, such as RLIMIT_AS
  std::vector<std::string> environment;        // NAME=value added to the client's
  std::vector<std::string> wrapper;            // a command that runs the client, like strace
  // pread calls at offsets in [first, second) fail with EIO, by a seccomp
  // filter, as reads from a failing disk would.
  std::optional<std::pair<off_t, off_t>> failing_preads;
  std::string cwd;
};

struct Result {
  bool timed_out = false;
  int exit_code = -1;  // -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, if any
  bool core_dumped = false;
  std::string out;
  std::string err;
};

// A running client. Standard input is a pipe that stays open and silent
// until the client ends: a client that read it would hang and time out.
class Client {
 public:
  explicit Client(const Options& options);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();
  [[nodiscard]] pid_t pid() const { return pid_; }
  // True once the client waits in its open(2) of a FIFO for a reader, or
  // false if it ended or the deadline passed first.
  bool wait_until_waiting_for_reader(std::chrono::milliseconds deadline = 20s) const;
  [[nodiscard]] bool running() const;
  // The process the wrapper started, once there is one.
  [[nodiscard]] pid_t wrapped(std::chrono::milliseconds deadline = 20s) const;
  // What the client has written to standard output and error so far.
  [[nodiscard]] std::string out_so_far() const;
  [[nodiscard]] std::string err_so_far() const;
  Result wait(std::chrono::milliseconds deadline = kRunTimeout);

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdin_writer_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool reaped_ = false;
};

Result run(const Options& options, std::chrono::milliseconds deadline = kRunTimeout);

// How a FifoReader reads.
struct Pace {
  // Stops and closes its end after this many bytes, as a reader that dies
  // in the middle of a command would.
  std::size_t stop_after = SIZE_MAX;
  // The sizes of successive reads, taken in turn, and a pause after each:
  // a slow reader keeps the pipe full, so every write into it comes back short.
  std::vector<std::size_t> reads{std::size_t{1} << 20};
  std::chrono::microseconds pause{0};
  // Compares what arrives with this file as it comes, instead of keeping it:
  // for commands of gigabytes.
  std::string compare_with;
};

// Reads one FIFO on a thread of its own. The FIFO is opened for reading at
// construction, without blocking, so a client's open finds a reader at once.
class FifoReader {
 public:
  explicit FifoReader(const std::string& path, Pace pace = {});
  FifoReader(const std::string& path, std::size_t stop_after)
      : FifoReader(path, Pace{.stop_after = stop_after}) {}
  FifoReader(const FifoReader&) = delete;
  FifoReader& operator=(const FifoReader&) = delete;
  ~FifoReader();

  struct Got {
    std::string bytes;  // empty when compared with a file
    std::size_t count = 0;
    std::optional<std::size_t> first_difference;  // from the file compared with
    bool eof = false;  // met end-of-file (rather than stopping or timing out)
  };
  // What arrived up to end-of-file, or the deadline.
  Got get();
  // What arrived, once the client has ended: also when it never opened
  // the FIFO, or left it open in a process of its own.
  Got finish();
  // True once what arrived holds text; false if the reading ended first.
  bool wait_for(const std::string& text);

 private:
  int fd_ = -1;
  int stop_ = -1;
  std::atomic<bool> finishing_ = false;
  Pace pace_;
  std::mutex lock_;  // over got_ and done_, while the thread runs
  std::condition_variable changed_;
  bool done_ = false;
  Got got_;
  std::thread thread_;
};

// Feeds bytes into a FIFO on a thread of its own, as the source of a command
// whose size nobody knows in advance. A second, idle read end is held so the
// write end opens at once and a write never meets a FIFO without readers.
class FifoWriter {
 public:
  FifoWriter(const std::string& path, std::string bytes);
  FifoWriter(const FifoWriter&) = delete;
  FifoWriter& operator=(const FifoWriter&) = delete;
  ~FifoWriter();
  bool finished();  // every byte was written before the deadline

 private:
  int hold_ = -1;
  int fd_ = -1;
  int stop_ = -1;
  std::string bytes_;
  bool finished_ = false;
  std::thread thread_;
};

// The client under test: the one built beside the tests, or the one that
// CLIENT_TEST_BINARY names, run by the command CLIENT_TEST_RUNNER names if
// set (an emulator, for a client built for another machine).
std::string client_path();
std::string client_runner();
// A copy of the client that any user may execute.
std::string client_path_for_others();

// Deterministic bytes covering every value.
std::string all_bytes(std::size_t size, unsigned seed = 0);

}  // namespace harness
