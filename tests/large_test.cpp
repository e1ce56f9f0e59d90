// Commands of gigabytes for a client built for a 32-bit machine, where a
// file's size can exceed what the process can address and what one system
// call may move. Sparse files keep them cheap to make.

#include <array>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "expected.hpp"
#include "harness.hpp"

namespace {

using namespace harness;

constexpr std::uintmax_t kGiB = std::uintmax_t{1} << 30;

bool client_is_32_bit() {
  std::ifstream program(client_path(), std::ios::binary);
  std::array<char, 5> ident{};
  program.read(ident.data(), ident.size());
  return program && ident[4] == 1;  // ELFCLASS32
}

#define SKIP_UNLESS_32_BIT()                                                                     \
  do {                                                                                           \
    if (!client_is_32_bit()) {                                                                   \
      GTEST_SKIP() << "for a 32-bit client (CLIENT_TEST_BINARY); this one would read the whole " \
                      "gigabytes";                                                               \
    }                                                                                            \
  } while (false)

// A sparse file of this size with a few marks at places where a wrong
// offset or a cut size would show.
void make_large(const std::string& path, std::uintmax_t size) {
  write_file(path, "");
  fs::resize_file(path, size);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (const std::uintmax_t at : {std::uintmax_t{0}, 2 * kGiB - 3, 2 * kGiB + 4093, size - 20}) {
    file.seekp(static_cast<std::streamoff>(at));
    file << "mark@" << at;
  }
  if (!file.flush()) {
    throw std::runtime_error("cannot mark " + path);
  }
}

TEST(LargeCommand, BeyondTheAddressSpaceIsRefusedWhole) {
  SKIP_UNLESS_32_BIT();
  for (const std::uintmax_t size : {4 * kGiB + (16 << 20), 4 * kGiB + 100}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const TempDir dir;
    make_large(dir / "command", size);
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    const Result result = run({.args = {dir / "fifo", dir / "command"}});
    expect_exit(result, 252);
    EXPECT_TRUE(same_bytes(result.out, ""));
    EXPECT_EQ(result.err, cannot_read_command(dir / "command"));
    const auto got = reader.get();
    EXPECT_TRUE(got.eof);
    EXPECT_EQ(got.count, 0U);
  }
}

TEST(LargeCommand, AboveTwoGiBIsDeliveredWholeOrNotAtAll) {
  SKIP_UNLESS_32_BIT();
  // More than one read, write or splice may take; it fits in the address
  // space if the memory can be had.
  const std::uintmax_t size = 2 * kGiB + (16 << 20) + 5;
  const TempDir dir;
  make_large(dir / "command", size);
  make_fifo(dir / "fifo");
  write_file(dir / "echo", "");
  FifoReader reader(dir / "fifo", Pace{.compare_with = dir / "command"});
  const Result result =
      run({.args = {dir / "fifo", dir / "command"}, .stdout_path = dir / "echo"}, 5min);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, 0);
  const auto got = reader.get();
  const auto echo_size = fs::file_size(dir / "echo");
  if (result.exit_code == 252) {
    std::cout << "refused: the memory for " << size << " bytes could not be had\n";
    EXPECT_EQ(result.err, cannot_read_command(dir / "command"));
    EXPECT_EQ(echo_size, 0U);
    EXPECT_EQ(got.count, 0U);
    return;
  }
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(got.eof);
  EXPECT_EQ(got.count, size);
  EXPECT_FALSE(got.first_difference) << "first difference at byte " << *got.first_difference;
  EXPECT_EQ(echo_size, std::string("Client writing: ").size() + size + 1);
}

}  // namespace
