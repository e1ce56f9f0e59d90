// What a careful user would try before trusting the client with a
// production server's command pipe: random content, starved memory, and
// a long-lived server taking many clients in turn.

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "expected.hpp"
#include "harness.hpp"

namespace {

using namespace harness;

unsigned test_seed() {
  // CLIENT_TEST_SEED replays a failure.
  if (const char* fixed = std::getenv("CLIENT_TEST_SEED")) {
    return static_cast<unsigned>(std::strtoul(fixed, nullptr, 10));
  }
  return std::random_device{}();
}

TEST(Stress, RandomContentRoundTrips) {
  const unsigned seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) +
               " (rerun with CLIENT_TEST_SEED=" + std::to_string(seed) + ")");
  std::mt19937 random(seed);
  std::vector<std::size_t> sizes{0, 1, 255, 4095, 4096, 4097, 65535, 65536, 65537, 1 << 20};
  std::uniform_int_distribution<std::size_t> any_size(0, 1 << 20);
  for (int i = 0; i < 12; ++i) {
    sizes.push_back(any_size(random));
  }
  for (const std::size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string text = all_bytes(size, static_cast<unsigned>(random()));
    const TempDir dir;
    write_file(dir / "command", text);
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    const Result through_fifo = run({.args = {dir / "fifo", dir / "command"}});
    EXPECT_EQ(through_fifo.exit_code, 0);
    EXPECT_TRUE(same_bytes(through_fifo.out, echo_of(text)));
    const auto got = reader.get();
    EXPECT_TRUE(got.eof);
    EXPECT_TRUE(same_bytes(got.bytes, text));

    const Result into_file = run({.args = {dir / "out", dir / "command"}});
    EXPECT_EQ(into_file.exit_code, 0);
    EXPECT_TRUE(same_bytes(into_file.out, through_fifo.out));
    EXPECT_TRUE(same_bytes(read_file(dir / "out"), text));
  }
}

TEST(Stress, MemoryLimitBelowTheCommandSizeSendsNothing) {
  if (CLIENT_SANITIZED) {
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so no address-space "
                    "limit can starve only the command buffer";
  }
  if (!client_runner().empty()) {
    GTEST_SKIP() << "the emulator " << client_runner()
                 << " needs more address space for itself than the limit leaves";
  }
  constexpr std::size_t kCommand = std::size_t{128} << 20;
  constexpr unsigned long kLimit = 64UL << 20;
  for (const bool known_size : {true, false}) {
    SCOPED_TRACE(known_size ? "regular command file" : "command from a FIFO");
    const TempDir dir;
    std::optional<FifoWriter> source;
    if (known_size) {
      write_file(dir / "command", "");
      fs::resize_file(dir / "command", kCommand);
    } else {
      make_fifo(dir / "command");
      source.emplace(dir / "command", std::string(kCommand, 'm'));
    }
    make_fifo(dir / "fifo");
    FifoReader reader(dir / "fifo");
    const Result result =
        run({.args = {dir / "fifo", dir / "command"}, .limits = {{RLIMIT_AS, kLimit}}});
    EXPECT_EQ(result.signal, 0) << "killed by signal " << result.signal;
    EXPECT_FALSE(result.core_dumped);
    EXPECT_EQ(result.exit_code, 252);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, cannot_read_command(dir / "command"));
    const auto got = reader.get();
    EXPECT_TRUE(got.eof);
    EXPECT_EQ(got.bytes.size(), 0U);
  }
}

TEST(Stress, LongLivedServerGetsEachOfManyClientsAsItsOwnCommand) {
  // The server reopens the FIFO after each end-of-file, as servers do; a
  // client may come before it has reopened and then waits in its open.
  constexpr int kClients = 300;
  const TempDir dir;
  make_fifo(dir / "fifo");
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<FifoReader::Got> messages;
  std::thread server([&] {
    for (int i = 0; i < kClients; ++i) {
      FifoReader reader(dir / "fifo");
      auto message = reader.get();
      const std::lock_guard<std::mutex> hold(lock);
      messages.push_back(std::move(message));
      arrived.notify_all();
    }
  });
  std::vector<std::string> sent;
  for (int i = 0; i < kClients && !HasFailure(); ++i) {
    // Now and then one larger than the pipe, so both ways of writing recur.
    std::string text = "command " + std::to_string(i) + "\n";
    if (i % 50 == 7) {
      text += all_bytes(std::size_t{200} << 10, static_cast<unsigned>(i));
    }
    write_file(dir / "command", text);
    const Result result = run({.args = {dir / "fifo", dir / "command"}});
    EXPECT_EQ(result.exit_code, 0) << "client " << i;
    sent.push_back(std::move(text));
    // A client that opened the FIFO before the server met end-of-file
    // would be read as part of the previous command: wait for it.
    std::unique_lock<std::mutex> hold(lock);
    EXPECT_TRUE(arrived.wait_for(hold, kRunTimeout, [&] { return messages.size() >= sent.size(); }))
        << "the server never got command " << i;
  }
  // After a failure the server still waits for the rest: empty commands
  // let it finish.
  write_file(dir / "empty", "");
  for (std::size_t i = sent.size(); i < kClients; ++i) {
    if (run({.args = {dir / "fifo", dir / "empty"}}).timed_out) {
      break;  // the server is stuck; CTest's time-out is the last resort
    }
  }
  server.join();
  messages.resize(sent.size());
  ASSERT_EQ(messages.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_TRUE(messages[i].eof) << i;
    EXPECT_TRUE(same_bytes(messages[i].bytes, sent[i])) << "command " << i;
  }
}

}  // namespace
