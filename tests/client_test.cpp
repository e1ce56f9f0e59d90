// The client's observable behaviour: bytes in the pipe, on standard output
// and standard error, file modes and contents, and exit statuses.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <map>

#include <gtest/gtest.h>

#include "expected.hpp"
#include "harness.hpp"

namespace {

using namespace harness;

TEST(Usage, WrongArgumentCountsOpenNothing) {
  const std::vector<std::vector<std::string>> cases{
      {}, {"pipe"}, {"pipe", "command", "extra"}, {"pipe", "command", "a", "b"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const TempDir dir;
    // Opening the command FIFO for reading would block with no writer,
    // so a client that opened it would time out.
    make_fifo(dir / "command");
    const Result result = run({.args = args, .cwd = dir.path()});
    expect_exit(result, 255);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kUsage);
    EXPECT_FALSE(fs::exists(dir / "pipe"));
  }
}

TEST(Delivery, FifoReceivesTheCommandExactly) {
  const std::map<std::string, std::string> cases{
      {"empty", ""},
      {"no final line feed", "abc"},
      {"final line feed", "restart\n"},
      {"carriage returns", "a\r\nb\r\n"},
      {"NUL bytes", std::string("x\0y\0", 4)},
      {"every byte value", all_bytes(256, 1)},
      {"exactly PIPE_BUF", std::string(PIPE_BUF, 'p')},
      {"one past PIPE_BUF", all_bytes(PIPE_BUF + 1, 2)},
      {"larger than a pipe", all_bytes(std::size_t{3} << 20, 3)},
      {"read in two halves, odd size", all_bytes((std::size_t{9} << 20) + 4097, 7)},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    const TempDir dir;
    make_fifo(dir / "fifo");
    write_file(dir / "command", text);
    FifoReader reader(dir / "fifo");
    const Result result = run({.args = {dir / "fifo", dir / "command"}});
    expect_exit(result, 0);
    EXPECT_TRUE(same_bytes(result.out, echo_of(text)));
    EXPECT_EQ(result.err, "");
    const auto got = reader.get();
    EXPECT_TRUE(got.eof);
    EXPECT_TRUE(same_bytes(got.bytes, text));
  }
}

TEST(Delivery, AbsentPathBecomesRegularFileWithModeFromUmask) {
  const std::vector<std::pair<mode_t, mode_t>> cases{
      {000, 0664}, {002, 0664}, {022, 0644}, {077, 0600}};
  for (const auto& [umask, mode] : cases) {
    SCOPED_TRACE("umask " + std::to_string(umask));
    const TempDir dir;
    write_file(dir / "command", "status\n");
    const Result result = run({.args = {dir / "out", dir / "command"}, .umask = umask});
    expect_exit(result, 0);
    EXPECT_EQ(result.out, echo_of("status\n"));
    EXPECT_TRUE(S_ISREG(mode_of(dir / "out")));
    EXPECT_EQ(mode_of(dir / "out") & 07777, mode);
    EXPECT_EQ(read_file(dir / "out"), "status\n");
  }
}

TEST(Delivery, DanglingSymbolicLinkGetsItsTargetCreated) {
  const TempDir dir;
  write_file(dir / "command", "status\n");
  fs::create_symlink(dir / "target", dir / "link");
  const Result result = run({.args = {dir / "link", dir / "command"}});
  expect_exit(result, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(read_file(dir / "target"), "status\n");
}

TEST(Delivery, LongerRegularFileIsTruncatedToTheCommand) {
  const TempDir dir;
  write_file(dir / "out", std::string(10000, 'o'));
  write_file(dir / "command", "go");
  expect_exit(run({.args = {dir / "out", dir / "command"}}), 0);
  EXPECT_EQ(read_file(dir / "out"), "go");
}

TEST(Delivery, ArgumentsStartingWithADashArePaths) {
  const TempDir dir;
  write_file(dir / "--command", "-x");
  const Result result = run({.args = {"-pipe", "--command"}, .cwd = dir.path()});
  expect_exit(result, 0);
  EXPECT_EQ(result.out, echo_of("-x"));
  EXPECT_EQ(read_file(dir / "-pipe"), "-x");
}

TEST(Delivery, WaitsForAReaderAndWritesNothingUntilThen) {
  const TempDir dir;
  make_fifo(dir / "fifo");
  write_file(dir / "command", "hello");
  Client client({.args = {dir / "fifo", dir / "command"}});
  ASSERT_TRUE(client.wait_until_waiting_for_reader());
  EXPECT_EQ(client.out_so_far(), "");
  EXPECT_EQ(client.err_so_far(), "");
  FifoReader reader(dir / "fifo");
  const Result result = client.wait();
  expect_exit(result, 0);
  EXPECT_EQ(result.out, echo_of("hello"));
  EXPECT_EQ(reader.get().bytes, "hello");
}

TEST(Delivery, EchoIsCompleteWhenTheFirstByteArrives) {
  // Larger than the widest pipe the client may ask for: had it started
  // sending before echoing, it would now be stuck in the send, echo unwritten.
  const std::string text = all_bytes(std::size_t{4} << 20, 9);
  const TempDir dir;
  make_fifo(dir / "fifo");
  write_file(dir / "command", text);
  const int fd = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  Client client({.args = {dir / "fifo", dir / "command"}});
  std::string got;
  std::string echo_seen;
  std::array<char, 1 << 16> chunk{};
  // The first byte alone, then a look at standard output, then the rest.
  for (std::size_t want = 1;;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kRunTimeout).count())) <= 0) {
      break;
    }
    const ssize_t n = read(fd, chunk.data(), want);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      break;
    }
    if (n > 0) {
      got.append(chunk.data(), static_cast<std::size_t>(n));
    }
    if (got.size() == 1 && want == 1) {
      echo_seen = client.out_so_far();
      want = chunk.size();
    }
  }
  close(fd);
  expect_exit(client.wait(), 0);
  EXPECT_TRUE(same_bytes(echo_seen, echo_of(text)));
  EXPECT_TRUE(same_bytes(got, text));
}

TEST(Delivery, CommandFromASourceOfUnknownSizeArrivesWhole) {
  // A FIFO reports no size, so the client must grow its buffer as it reads.
  const TempDir dir;
  make_fifo(dir / "fifo");
  make_fifo(dir / "source");
  const std::string text = all_bytes((std::size_t{3} << 20) + 12345, 4);
  FifoWriter source(dir / "source", text);
  FifoReader reader(dir / "fifo");
  const Result result = run({.args = {dir / "fifo", dir / "source"}});
  expect_exit(result, 0);
  EXPECT_TRUE(source.finished());
  EXPECT_TRUE(same_bytes(reader.get().bytes, text));
  EXPECT_TRUE(same_bytes(result.out, echo_of(text)));
}

TEST(Delivery, LargeCommandArrivesIntact) {
  const std::string text = all_bytes(std::size_t{64} << 20, 5);
  const TempDir dir;
  write_file(dir / "command", text);
  {
    SCOPED_TRACE("through a FIFO");
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    const Result result = run({.args = {dir / "fifo", dir / "command"}});
    expect_exit(result, 0);
    EXPECT_TRUE(same_bytes(result.out, echo_of(text)));
    const auto got = reader.get();
    EXPECT_TRUE(got.eof);
    EXPECT_TRUE(same_bytes(got.bytes, text));
  }
  {
    SCOPED_TRACE("into a regular file");
    const Result result = run({.args = {dir / "out", dir / "command"}});
    expect_exit(result, 0);
    EXPECT_TRUE(same_bytes(read_file(dir / "out"), text));
  }
}

TEST(Delivery, ConcurrentSmallCommandsNeverInterleave) {
  // Commands of up to PIPE_BUF bytes, each client's a run of its own letter.
  // A torn write would split a run at a length that is not a multiple of
  // that client's command.
  constexpr int kClients = 8;
  constexpr int kRounds = 12;
  const TempDir dir;
  make_fifo(dir / "fifo");
  std::map<char, std::size_t> length;
  for (int i = 0; i < kClients; ++i) {
    const char letter = static_cast<char>('a' + i);
    length[letter] = PIPE_BUF - static_cast<std::size_t>(i) * 37;
    write_file(dir / std::string(1, letter), std::string(length[letter], letter));
  }
  FifoReader reader(dir / "fifo");
  {
    // Held open so the reader does not meet end-of-file between clients.
    const int hold = open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(hold, 0);
    for (int round = 0; round < kRounds; ++round) {
      std::list<Client> clients;
      for (const auto& entry : length) {
        clients.emplace_back(Options{.args = {dir / "fifo", dir / std::string(1, entry.first)}});
      }
      for (auto& client : clients) {
        expect_exit(client.wait(), 0);
      }
    }
    close(hold);
  }
  const auto got = reader.get();
  ASSERT_TRUE(got.eof);
  std::map<char, std::size_t> total;
  for (std::size_t start = 0; start < got.bytes.size();) {
    const char letter = got.bytes[start];
    const std::size_t end = std::min(got.bytes.find_first_not_of(letter, start), got.bytes.size());
    ASSERT_TRUE(length.count(letter)) << "stray byte at " << start;
    ASSERT_EQ((end - start) % length[letter], 0U)
        << "torn command of '" << letter << "' at " << start;
    total[letter] += end - start;
    start = end;
  }
  for (const auto& [letter, size] : length) {
    EXPECT_EQ(total[letter], size * kRounds) << letter;
  }
}

// Each case sets up one directory and names the run to make in it.
struct FailureCase {
  std::string name;
  std::function<std::vector<std::string>(const TempDir&)> setup;
  bool as_nobody;
  int code;
  std::function<std::string(const std::vector<std::string>&)> message;
  std::function<void(const TempDir&)> check_after;
};

TEST(Failure, EachFailureHasItsMessageAndStatus) {
  const auto pipe_message = [](const auto& args) { return cannot_open_pipe(args[0]); };
  const auto command_message = [](const auto& args) { return cannot_open_command(args[1]); };
  const auto read_message = [](const auto& args) { return cannot_read_command(args[1]); };
  const auto nothing = [](const TempDir&) {};
  const std::vector<FailureCase> cases{
      {"pipe in a missing directory",
       [](const TempDir& dir) {
         // A FIFO with no writer: had the client opened it, it would hang.
         make_fifo(dir / "command");
         return std::vector<std::string>{dir / "missing/pipe", dir / "command"};
       },
       false, 254, pipe_message, nothing},
      {"pipe is a directory",
       [](const TempDir& dir) {
         write_file(dir / "command", "x");
         return std::vector<std::string>{dir.path().string(), dir / "command"};
       },
       false, 254, pipe_message, nothing},
      {"pipe file not writable",
       [](const TempDir& dir) {
         write_file(dir / "out", "keep");
         write_file(dir / "command", "x");
         return std::vector<std::string>{dir / "out", dir / "command"};
       },
       true, 254, pipe_message,
       [](const TempDir& dir) { EXPECT_EQ(read_file(dir / "out"), "keep"); }},
      {"pipe in a directory not writable",
       [](const TempDir& dir) {
         write_file(dir / "command", "x");
         return std::vector<std::string>{dir / "out", dir / "command"};
       },
       true, 254, pipe_message, [](const TempDir& dir) { EXPECT_FALSE(fs::exists(dir / "out")); }},
      {"command file missing",
       [](const TempDir& dir) {
         return std::vector<std::string>{dir / "out", dir / "missing"};
       },
       false, 253, command_message,
       [](const TempDir& dir) {
         EXPECT_TRUE(S_ISREG(mode_of(dir / "out")));
         EXPECT_EQ(read_file(dir / "out"), "");
       }},
      {"command file not readable",
       [](const TempDir& dir) {
         write_file(dir / "out", "old");
         fs::permissions(dir / "out", fs::perms::all & ~fs::perms::owner_exec &
                                          ~fs::perms::group_exec & ~fs::perms::others_exec);
         write_file(dir / "command", "secret");
         fs::permissions(dir / "command", fs::perms::owner_read | fs::perms::owner_write);
         return std::vector<std::string>{dir / "out", dir / "command"};
       },
       true, 253, command_message,
       [](const TempDir& dir) { EXPECT_EQ(read_file(dir / "out"), ""); }},
      {"command file is a directory",
       [](const TempDir& dir) {
         return std::vector<std::string>{dir / "out", dir.path().string()};
       },
       false, 252, read_message, [](const TempDir& dir) { EXPECT_EQ(read_file(dir / "out"), ""); }},
  };
  for (const auto& failure : cases) {
    SCOPED_TRACE(failure.name);
    const TempDir dir;
    const auto args = failure.setup(dir);
    const Result result = run({.args = args, .user = failure.as_nobody ? kNobody : 0});
    expect_exit(result, failure.code);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, failure.message(args));
    failure.check_after(dir);
  }
}

TEST(Failure, MissingCommandFileIsReportedOnlyAfterAReaderCame) {
  const TempDir dir;
  make_fifo(dir / "fifo");
  Client client({.args = {dir / "fifo", dir / "missing"}});
  ASSERT_TRUE(client.wait_until_waiting_for_reader());
  EXPECT_EQ(client.err_so_far(), "");
  FifoReader reader(dir / "fifo");
  const Result result = client.wait();
  expect_exit(result, 253);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, cannot_open_command(dir / "missing"));
  const auto got = reader.get();
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(got.bytes, "");
}

TEST(Failure, UnreadableCommandSendsNothingAndEchoesNothing) {
  const TempDir dir;
  make_fifo(dir / "fifo");
  FifoReader reader(dir / "fifo");
  const Result result = run({.args = {dir / "fifo", dir.path().string()}});
  expect_exit(result, 252);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, cannot_read_command(dir.path().string()));
  const auto got = reader.get();
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(got.bytes, "");
}

TEST(Failure, FullDeviceIsAWriteFailureAfterTheEcho) {
  const TempDir dir;
  write_file(dir / "command", "abc");
  const Result result = run({.args = {"/dev/full", dir / "command"}});
  expect_exit(result, 251);
  EXPECT_EQ(result.out, echo_of("abc"));
  EXPECT_EQ(result.err, cannot_write_pipe("/dev/full"));
}

TEST(Failure, ReaderVanishingMidCommandIsNeverSuccess) {
  // Larger than any pipe capacity the client may set, so the reader is gone
  // while most of the command is still to be written.
  const std::string text = all_bytes(std::size_t{8} << 20, 6);
  for (const bool ignored : {false, true}) {
    SCOPED_TRACE(ignored ? "SIGPIPE ignored by the parent" : "SIGPIPE default");
    const TempDir dir;
    make_fifo(dir / "fifo");
    write_file(dir / "command", text);
    FifoReader reader(dir / "fifo", 1);
    const Result result = run({.args = {dir / "fifo", dir / "command"},
                               .ignored = ignored ? std::vector{SIGPIPE} : std::vector<int>{}});
    EXPECT_FALSE(result.timed_out);
    if (ignored) {
      EXPECT_EQ(result.exit_code, 251);
      EXPECT_EQ(result.err, cannot_write_pipe(dir / "fifo"));
    } else {
      EXPECT_EQ(result.signal, SIGPIPE);
    }
    EXPECT_EQ(reader.get().bytes.size(), 1U);
  }
}

TEST(SameFile, BothNamesForOneFileLeaveItUntouched) {
  const std::vector<std::pair<std::string, std::function<std::string(const TempDir&)>>> cases{
      {"same path", [](const TempDir& dir) { return dir / "command"; }},
      {"hard link",
       [](const TempDir& dir) {
         fs::create_hard_link(dir / "command", dir / "link");
         return dir / "link";
       }},
      {"symbolic link",
       [](const TempDir& dir) {
         fs::create_symlink(dir / "command", dir / "link");
         return dir / "link";
       }},
  };
  for (const auto& [name, pipe_name] : cases) {
    SCOPED_TRACE(name);
    const TempDir dir;
    write_file(dir / "command", "precious\n");
    const std::string pipe = pipe_name(dir);
    const Result result = run({.args = {pipe, dir / "command"}});
    expect_exit(result, 254);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, cannot_open_pipe(pipe));
    EXPECT_EQ(read_file(dir / "command"), "precious\n");
  }
}

TEST(SameFile, OneFifoForBothIsRefusedInsteadOfHanging) {
  // Reading a FIFO the client itself holds open for writing would never end.
  const TempDir dir;
  make_fifo(dir / "fifo");
  FifoReader reader(dir / "fifo");
  const Result result = run({.args = {dir / "fifo", dir / "fifo"}});
  expect_exit(result, 254);
  EXPECT_EQ(result.err, cannot_open_pipe(dir / "fifo"));
  const auto got = reader.get();
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(got.bytes, "");
}

TEST(SameFile, OneDeviceForBothIsNotRefused) {
  // Only regular files and FIFOs are read and written through one buffer
  // that the other side could destroy; /dev/null is both sink and source.
  const Result result = run({.args = {"/dev/null", "/dev/null"}});
  expect_exit(result, 0);
  EXPECT_EQ(result.out, echo_of(""));
  EXPECT_EQ(result.err, "");
}

// Two tmpfs mounts, seen only by this process and the clients it starts.
class TwoFileSystems {
 public:
  explicit TwoFileSystems(const TempDir& dir) : first_(dir / "first"), second_(dir / "second") {
    fs::create_directory(first_);
    fs::create_directory(second_);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why_not_ = std::string("no mount namespace of its own: ") + std::strerror(errno);
      return;
    }
    if (mount("tmpfs", first_.c_str(), "tmpfs", 0, "mode=0755") != 0 ||
        mount("tmpfs", second_.c_str(), "tmpfs", 0, "mode=0755") != 0) {
      why_not_ = std::string("cannot mount tmpfs: ") + std::strerror(errno);
    }
  }
  TwoFileSystems(const TwoFileSystems&) = delete;
  TwoFileSystems& operator=(const TwoFileSystems&) = delete;
  ~TwoFileSystems() {
    umount2(first_.c_str(), MNT_DETACH);
    umount2(second_.c_str(), MNT_DETACH);
  }
  [[nodiscard]] const std::string& why_not() const { return why_not_; }
  [[nodiscard]] const std::string& first() const { return first_; }
  [[nodiscard]] const std::string& second() const { return second_; }

 private:
  std::string first_;
  std::string second_;
  std::string why_not_;
};

TEST(SameFile, SameInodeNumberOnAnotherFileSystemIsAnotherFile) {
  const TempDir dir;
  const TwoFileSystems mounts(dir);
  if (!mounts.why_not().empty()) {
    GTEST_SKIP() << mounts.why_not();
  }
  // A fresh tmpfs numbers its files from the same start, so the first file
  // made in each has the same inode number.
  write_file(mounts.first() + "/command", "sync\n");
  write_file(mounts.second() + "/out", "old contents");
  struct stat command {};
  struct stat out {};
  ASSERT_EQ(stat((mounts.first() + "/command").c_str(), &command), 0);
  ASSERT_EQ(stat((mounts.second() + "/out").c_str(), &out), 0);
  if (command.st_ino != out.st_ino) {
    GTEST_SKIP() << "this kernel numbered the two files " << command.st_ino << " and "
                 << out.st_ino;
  }
  const Result result = run({.args = {mounts.second() + "/out", mounts.first() + "/command"}});
  expect_exit(result, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file(mounts.second() + "/out"), "sync\n");
}

// Sets a file-system protection of the kernel's for one test and puts the
// old value back however the test ends.
class KernelSetting {
 public:
  KernelSetting(const std::string& name, const std::string& value) : path_("/proc/sys/fs/" + name) {
    std::ifstream current(path_);
    if (!(current >> old_)) {
      why_not_ = "cannot read " + path_;
      return;
    }
    std::ofstream set(path_);
    if (!(set << value << std::flush)) {
      why_not_ = "cannot write " + path_;
      old_.clear();
    }
  }
  KernelSetting(const KernelSetting&) = delete;
  KernelSetting& operator=(const KernelSetting&) = delete;
  ~KernelSetting() {
    if (!old_.empty()) {
      std::ofstream(path_) << old_ << std::flush;
    }
  }
  [[nodiscard]] const std::string& why_not() const { return why_not_; }

 private:
  std::string path_;
  std::string old_;
  std::string why_not_;
};

// Changes the whole machine for its duration, so CTest runs it alone.
TEST(ProtectedFiles, OtherUsersFifoAndFileInAStickyDirectoryAreDelivered) {
  // Debian's and Ubuntu's defaults: asking to create a FIFO or a regular
  // file that exists in a sticky world-writable directory and belongs to
  // another user is refused, even to root; opening it is not.
  const KernelSetting fifos("protected_fifos", "1");
  const KernelSetting regular("protected_regular", "2");
  for (const auto* setting : {&fifos, &regular}) {
    if (!setting->why_not().empty()) {
      GTEST_SKIP() << setting->why_not();
    }
  }
  const TempDir dir;
  const std::string shared = dir / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  make_fifo(shared + "/fifo");
  write_file(shared + "/file", "the previous command, longer");
  for (const std::string name : {"/fifo", "/file"}) {
    fs::permissions(shared + name, fs::perms::owner_read | fs::perms::owner_write |
                                       fs::perms::group_read | fs::perms::group_write |
                                       fs::perms::others_read | fs::perms::others_write);
    ASSERT_EQ(chown((shared + name).c_str(), kNobody, kNobody), 0);
  }
  write_file(dir / "command", "reload\n");
  {
    SCOPED_TRACE("FIFO");
    FifoReader reader(shared + "/fifo");
    const Result result = run({.args = {shared + "/fifo", dir / "command"}});
    expect_exit(result, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(reader.finish().bytes, "reload\n");
  }
  {
    SCOPED_TRACE("regular file");
    const Result result = run({.args = {shared + "/file", dir / "command"}});
    expect_exit(result, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_file(shared + "/file"), "reload\n");
  }
}

TEST(StandardStreams, ClosedStreamsNeverLeakIntoThePipe) {
  struct Case {
    std::vector<int> closed;
    bool command_exists;
    int code;
  };
  const std::vector<Case> cases{
      {{1}, true, 0},    {{2}, true, 0},          {{0, 1, 2}, true, 0},
      {{2}, false, 253}, {{0, 1, 2}, false, 253}, {{0}, true, 0},
  };
  for (const auto& [closed, command_exists, code] : cases) {
    SCOPED_TRACE(::testing::PrintToString(closed) + (command_exists ? "" : ", command missing"));
    const TempDir dir;
    if (command_exists) {
      write_file(dir / "command", "reload\n");
    }
    const Result result = run({.args = {dir / "out", dir / "command"}, .closed = closed});
    expect_exit(result, code);
    EXPECT_EQ(read_file(dir / "out"), command_exists ? "reload\n" : "");
  }
}

TEST(StandardStreams, EchoThatCannotBeWrittenDoesNotStopDelivery) {
  const std::vector<std::pair<std::string, Options>> cases{
      {"full device", {.stdout_path = "/dev/full"}},
      {"pipe nobody reads", {.stdout_unread = true}},
      {"pipe nobody reads, SIGPIPE ignored", {.ignored = {SIGPIPE}, .stdout_unread = true}},
  };
  // Larger than a pipe's capacity, for an echo that cannot fit anywhere.
  const std::string text = all_bytes(std::size_t{1} << 20, 8);
  for (const auto& [name, stdout_options] : cases) {
    SCOPED_TRACE(name);
    const TempDir dir;
    write_file(dir / "command", text);
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    Options options = stdout_options;
    options.args = {dir / "fifo", dir / "command"};
    const Result result = run(options);
    expect_exit(result, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(same_bytes(reader.get().bytes, text));
  }
}

}  // namespace
