// The client held to the limits a real system sets: writes and reads that
// take part of what was asked, refused threads, memory just large enough.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "expected.hpp"
#include "harness.hpp"

namespace {

using namespace harness;

TEST(Limits, FileSizeLimitMakesAShortWriteThenAFailure) {
  // Under RLIMIT_FSIZE the write that crosses the limit takes what fits and
  // the next one fails with EFBIG (SIGXFSZ ignored, as a parent may have it).
  const std::string text = all_bytes(std::size_t{1} << 20, 10);
  for (const rlim_t limit : {rlim_t{4097}, rlim_t{100000}}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const TempDir dir;
    write_file(dir / "command", text);
    const Result result = run({.args = {dir / "out", dir / "command"},
                               .ignored = {SIGXFSZ},
                               .stdout_path = "/dev/null",
                               .limits = {{RLIMIT_FSIZE, limit}}});
    expect_exit(result, 251);
    EXPECT_EQ(result.err, cannot_write_pipe(dir / "out"));
    EXPECT_TRUE(same_bytes(read_file(dir / "out"), text.substr(0, limit)));
  }
}

TEST(Limits, SlowReaderGetsEveryByteThroughShortWrites) {
  // A reader that takes odd sizes with pauses keeps the pipe full, so every
  // write or splice into it takes only part of what is left.
  for (const std::size_t size : {(std::size_t{3} << 20) + 7, (std::size_t{9} << 20) + 5}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string text = all_bytes(size, static_cast<unsigned>(size));
    const TempDir dir;
    make_fifo(dir / "fifo");
    write_file(dir / "command", text);
    FifoReader reader(dir / "fifo",
                      Pace{.reads = {1, 7, 4093, 65537}, .pause = std::chrono::microseconds(50)});
    const Result result =
        run({.args = {dir / "fifo", dir / "command"}, .stdout_path = "/dev/null"});
    expect_exit(result, 0);
    const auto got = reader.get();
    EXPECT_TRUE(got.eof);
    EXPECT_TRUE(same_bytes(got.bytes, text));
  }
}

TEST(Limits, RefusedThreadStillReadsTheWholeCommand) {
  if (!client_runner().empty()) {
    GTEST_SKIP() << "the emulator " << client_runner() << " starts threads of its own";
  }
  // RLIMIT_NPROC counts every process and thread of a user. Run as a user
  // that nothing else runs as, allowed one: the client itself may run, its
  // reading thread may not.
  constexpr uid_t kLoneUser = 3000000007;
  const std::string text = all_bytes((std::size_t{9} << 20) + 4097, 11);
  const TempDir dir;
  make_fifo(dir / "fifo");
  fs::permissions(dir / "fifo", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                                    ~fs::perms::others_exec);
  write_file(dir / "command", text);
  // LeakSanitizer needs a thread of its own to check at exit.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string no_leak_check =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
  FifoReader reader(dir / "fifo");
  const Result result = run({.args = {dir / "fifo", dir / "command"},
                             .user = kLoneUser,
                             .limits = {{RLIMIT_NPROC, 1}},
                             .environment = {no_leak_check}});
  expect_exit(result, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(same_bytes(result.out, echo_of(text)));
  const auto got = reader.get();
  EXPECT_TRUE(got.eof);
  EXPECT_TRUE(same_bytes(got.bytes, text));
}

TEST(Limits, MemoryJustAboveTheCommandIsEnough) {
  if (CLIENT_SANITIZED) {
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so no address-space "
                    "limit can be just above the command";
  }
  if (!client_runner().empty()) {
    GTEST_SKIP() << "the emulator " << client_runner() << " reserves the guest's address space";
  }
  // The command, rounded up to a huge page, and a few MiB for the program,
  // its stacks and the kernel's mappings: no second copy fits.
  constexpr std::size_t kCommand = std::size_t{64} << 20;
  constexpr rlim_t kLimit = kCommand + (rlim_t{8} << 20);
  const std::string text = all_bytes(kCommand, 12);
  const TempDir dir;
  make_fifo(dir / "fifo");
  write_file(dir / "command", text);
  FifoReader reader(dir / "fifo");
  const Result result = run({.args = {dir / "fifo", dir / "command"},
                             .stdout_path = "/dev/null",
                             .limits = {{RLIMIT_AS, kLimit}}});
  expect_exit(result, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(same_bytes(reader.get().bytes, text));
}

}  // namespace
