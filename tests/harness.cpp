#include "harness.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

namespace harness {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long>(0, left.count()));
}

// A seccomp filter that fails pread64 at offsets in [from, to) with EIO.
// Offsets are compared by their low 32 bits, and must be below 4 GiB.
std::vector<sock_filter> failing_preads(off_t from, off_t to) {
  constexpr auto kLow = [](std::size_t arg) {
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * arg);
  };
  const auto low = [](off_t offset) { return static_cast<std::uint32_t>(offset); };
  return {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 6),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pread64, 0, 4),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kLow(3)),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, low(from), 0, 2),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, low(to), 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "client-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    fail("mkdtemp");
  }
  path_ = pattern;
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    fail("write " + path);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    fail("read " + path);
  }
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return std::move(bytes).str();
}

void make_fifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0666) != 0) {
    fail("mkfifo " + path);
  }
}

mode_t mode_of(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    fail("stat " + path);
  }
  return info.st_mode;
}

std::string contents_of(int fd) {
  std::string bytes;
  std::array<char, 1 << 16> chunk{};
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd, chunk.data(), chunk.size(), offset);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return bytes;
    }
    bytes.append(chunk.data(), static_cast<std::size_t>(n));
    offset += n;
  }
}

std::string client_path() {
  const char* chosen = std::getenv("CLIENT_TEST_BINARY");
  return chosen != nullptr && *chosen != '\0' ? fs::absolute(chosen).string() : CLIENT_BINARY;
}

std::string client_runner() {
  const char* runner = std::getenv("CLIENT_TEST_RUNNER");
  return runner != nullptr ? runner : "";
}

std::string client_path_for_others() {
  // The build tree may sit below a directory that only root can enter.
  static const TempDir dir;
  static const std::string copy = [] {
    const std::string target = dir / "client";
    fs::copy_file(client_path(), target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    return target;
  }();
  return copy;
}

std::string all_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random() & 0xff); });
  // Every byte value, NUL, CR and LF among them, whenever there is room.
  std::array<unsigned char, 256> values{};
  std::iota(values.begin(), values.end(), 0);
  std::shuffle(values.begin(), values.end(), random);
  std::copy_n(values.begin(), std::min(size, values.size()), bytes.begin());
  return bytes;
}

Client::Client(const Options& options) {
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls are allowed, since the tests run threads.
  std::vector<std::string> words = options.wrapper;
  if (!client_runner().empty()) {
    words.push_back(client_runner());
  }
  words.push_back(options.user != 0 ? client_path_for_others() : client_path());
  words.insert(words.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  // The test's environment, with the options' entries in place of any of
  // the same name.
  std::vector<std::string> environment = options.environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view inherited = *entry;
    const auto name = inherited.substr(0, inherited.find('=') + 1);
    if (std::none_of(options.environment.begin(), options.environment.end(),
                     [&](const std::string& added) { return added.starts_with(name); })) {
      environment.emplace_back(inherited);
    }
  }
  std::vector<char*> envp;
  for (auto& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  std::array<int, 2> in{};
  if (pipe2(in.data(), O_CLOEXEC) != 0) {
    fail("pipe2");
  }
  out_ = memfd_create("stdout", MFD_CLOEXEC);
  err_ = memfd_create("stderr", MFD_CLOEXEC);
  int out_target = out_;
  if (!options.stdout_path.empty()) {
    out_target = open(options.stdout_path.c_str(), O_WRONLY | O_CLOEXEC);
  } else if (options.stdout_unread) {
    std::array<int, 2> unread{};
    if (pipe2(unread.data(), O_CLOEXEC) != 0) {
      fail("pipe2");
    }
    close(unread[0]);
    out_target = unread[1];
  }
  if (out_ < 0 || err_ < 0 || out_target < 0) {
    fail("capture files");
  }
  std::vector<std::pair<int, struct rlimit>> limits;
  for (const auto& [resource, value] : options.limits) {
    limits.emplace_back(resource, rlimit{value, value});
  }

  std::vector<sock_filter> filter;
  if (options.failing_preads) {
    filter = failing_preads(options.failing_preads->first, options.failing_preads->second);
  }
  const sock_fprog seccomp{static_cast<unsigned short>(filter.size()), filter.data()};

  pid_ = fork();
  if (pid_ < 0) {
    fail("fork");
  }
  if (pid_ == 0) {
    const bool ready =
        dup2(in[0], 0) == 0 && dup2(out_target, 1) == 1 && dup2(err_, 2) == 2 &&
        std::all_of(options.closed.begin(), options.closed.end(),
                    [](int fd) { return close(fd) == 0; }) &&
        signal(SIGPIPE, SIG_DFL) != SIG_ERR &&
        std::all_of(options.ignored.begin(), options.ignored.end(),
                    [](int number) { return signal(number, SIG_IGN) != SIG_ERR; }) &&
        (options.cwd.empty() || chdir(options.cwd.c_str()) == 0) &&
        (options.user == 0 ||
         (setgroups(0, nullptr) == 0 && setgid(options.user) == 0 && setuid(options.user) == 0)) &&
        std::all_of(limits.begin(), limits.end(),
                    [](const auto& limit) {
                      return setrlimit(static_cast<__rlimit_resource_t>(limit.first),
                                       &limit.second) == 0;
                    }) &&
        (filter.empty() || (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &seccomp) == 0));
    umask(options.umask);
    if (ready) {
      // The wrapper and the runner are found on the PATH, as a shell would.
      execvpe(argv[0], argv.data(), envp.data());
    }
    _exit(127);
  }
  close(in[0]);
  stdin_writer_ = in[1];
  if (out_target != out_) {
    close(out_target);
  }
  // glibc 2.36 declares pidfd_open without C linkage, so call it directly.
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd_ < 0) {
    fail("pidfd_open");
  }
}

Client::~Client() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (const int fd : {pidfd_, stdin_writer_, out_, err_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

bool Client::running() const {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

pid_t Client::wrapped(std::chrono::milliseconds deadline) const {
  // The wrapper may start other children first, to probe the system; the
  // one wanted is the one that has become the client.
  const std::string client = client_runner().empty() ? client_path() : client_runner();
  const auto until = std::chrono::steady_clock::now() + deadline;
  const std::string children =
      "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
  while (std::chrono::steady_clock::now() < until && running()) {
    std::ifstream list(children);
    for (pid_t child = 0; list >> child;) {
      std::ifstream command_line("/proc/" + std::to_string(child) + "/cmdline");
      std::string program;
      if (std::getline(command_line, program, '\0') && program == client) {
        return child;
      }
    }
    std::this_thread::sleep_for(1ms);
  }
  return -1;
}

std::string Client::out_so_far() const { return contents_of(out_); }
std::string Client::err_so_far() const { return contents_of(err_); }

bool Client::wait_until_waiting_for_reader(std::chrono::milliseconds deadline) const {
  // The kernel shows where a blocked process sleeps; a FIFO's open waits in
  // wait_for_partner. There is no event for "now asleep", so look until then.
  const auto until = std::chrono::steady_clock::now() + deadline;
  const std::string where = "/proc/" + std::to_string(pid_) + "/wchan";
  while (std::chrono::steady_clock::now() < until && running()) {
    std::ifstream wchan(where);
    std::string function;
    if (wchan >> function && function == "wait_for_partner") {
      return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

Result Client::wait(std::chrono::milliseconds deadline) {
  Result result;
  pollfd ended{pidfd_, POLLIN, 0};
  const int ready = poll(&ended, 1, static_cast<int>(deadline.count()));
  if (ready <= 0) {
    result.timed_out = true;
    kill(pid_, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  close(stdin_writer_);
  stdin_writer_ = -1;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    result.core_dumped = WCOREDUMP(status);
  }
  result.out = contents_of(out_);
  result.err = contents_of(err_);
  return result;
}

Result run(const Options& options, std::chrono::milliseconds deadline) {
  return Client(options).wait(deadline);
}

FifoReader::FifoReader(const std::string& path, Pace pace)
    : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
      stop_(eventfd(0, EFD_CLOEXEC)),
      pace_(std::move(pace)) {
  if (fd_ < 0 || stop_ < 0) {
    fail("open " + path);
  }
  const int expected =
      pace_.compare_with.empty() ? -1 : open(pace_.compare_with.c_str(), O_RDONLY | O_CLOEXEC);
  if (!pace_.compare_with.empty() && expected < 0) {
    fail("open " + pace_.compare_with);
  }
  // Until a first writer comes, Linux reports no hang-up on a FIFO opened
  // this way, so poll waits for the client instead of seeing end-of-file.
  thread_ = std::thread([this, expected] {
    const auto deadline = std::chrono::steady_clock::now() + 2 * kRunTimeout;
    const std::size_t largest = *std::max_element(pace_.reads.begin(), pace_.reads.end());
    std::vector<char> chunk(largest);
    std::vector<char> want(expected >= 0 ? largest : 0);
    for (std::size_t turn = 0;; ++turn) {
      std::array<pollfd, 2> ready{{{fd_, POLLIN, 0}, {stop_, POLLIN, 0}}};
      if (poll(ready.data(), ready.size(), milliseconds_until(deadline)) <= 0) {
        break;
      }
      // Told to stop: at once, or once what is in the FIFO now has been read.
      const bool last_reads = ready[1].revents != 0;
      if (last_reads && !finishing_) {
        break;
      }
      const std::size_t room =
          std::min(pace_.reads[turn % pace_.reads.size()], pace_.stop_after - got_.count);
      const ssize_t n = read(fd_, chunk.data(), room);
      if (n == 0) {
        got_.eof = true;
        break;
      }
      if (n < 0) {
        if ((errno == EAGAIN && !last_reads) || errno == EINTR) {
          continue;
        }
        break;
      }
      const auto size = static_cast<std::size_t>(n);
      if (expected < 0) {
        const std::lock_guard<std::mutex> hold(lock_);
        got_.bytes.append(chunk.data(), size);
        changed_.notify_all();
      } else if (!got_.first_difference) {
        const ssize_t w = pread(expected, want.data(), size, static_cast<off_t>(got_.count));
        const auto same = static_cast<std::size_t>(std::max<ssize_t>(w, 0));
        const auto diverge =
            std::mismatch(chunk.begin(), chunk.begin() + static_cast<long>(same), want.begin());
        if (same < size || diverge.first != chunk.begin() + static_cast<long>(same)) {
          got_.first_difference =
              got_.count + static_cast<std::size_t>(diverge.first - chunk.begin());
        }
      }
      got_.count += size;
      if (got_.count >= pace_.stop_after) {
        break;
      }
      if (pace_.pause.count() > 0 && !last_reads) {
        std::this_thread::sleep_for(pace_.pause);
      }
    }
    close(std::exchange(fd_, -1));
    if (expected >= 0) {
      close(expected);
    }
    const std::lock_guard<std::mutex> hold(lock_);
    done_ = true;
    changed_.notify_all();
  });
}

bool FifoReader::wait_for(const std::string& text) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return done_ || got_.bytes.find(text) != std::string::npos; });
  return got_.bytes.find(text) != std::string::npos;
}

FifoReader::~FifoReader() {
  // A test that failed early must not wait out the reader's deadline.
  eventfd_write(stop_, 1);
  if (thread_.joinable()) {
    thread_.join();
  }
  close(stop_);
}

FifoReader::Got FifoReader::finish() {
  finishing_ = true;
  eventfd_write(stop_, 1);
  return get();
}

FifoReader::Got FifoReader::get() {
  if (thread_.joinable()) {
    thread_.join();
  }
  return got_;
}

FifoWriter::FifoWriter(const std::string& path, std::string bytes)
    : hold_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
      fd_(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)),
      stop_(eventfd(0, EFD_CLOEXEC)),
      bytes_(std::move(bytes)) {
  if (hold_ < 0 || fd_ < 0 || stop_ < 0) {
    fail("open " + path);
  }
  thread_ = std::thread([this] {
    const auto deadline = std::chrono::steady_clock::now() + 2 * kRunTimeout;
    std::string_view rest = bytes_;
    while (!rest.empty()) {
      std::array<pollfd, 2> ready{{{fd_, POLLOUT, 0}, {stop_, POLLIN, 0}}};
      if (poll(ready.data(), ready.size(), milliseconds_until(deadline)) <= 0 ||
          ready[1].revents != 0) {
        break;
      }
      const ssize_t n = write(fd_, rest.data(), rest.size());
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      }
      if (n < 0) {
        break;
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    finished_ = rest.empty();
    close(std::exchange(fd_, -1));
  });
}

bool FifoWriter::finished() {
  if (thread_.joinable()) {
    thread_.join();
  }
  return finished_;
}

FifoWriter::~FifoWriter() {
  eventfd_write(stop_, 1);
  if (thread_.joinable()) {
    thread_.join();
  }
  close(stop_);
  close(hold_);
}

}  // namespace harness
