// What the client writes, and a comparison fit for commands of megabytes.
#pragma once

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace harness {

inline const std::string kUsage = "Use: client namedPipe commandFile\n";

inline std::string echo_of(const std::string& text) { return "Client writing: " + text + "\n"; }
inline std::string cannot_open_pipe(const std::string& path) {
  return "Cannot open the pipe " + path + "\n.";
}
inline std::string cannot_open_command(const std::string& path) {
  return "Cannot open the command file " + path + "\n.";
}
inline std::string cannot_read_command(const std::string& path) {
  return "Cannot read the command file " + path + "\n.";
}
inline std::string cannot_write_pipe(const std::string& path) {
  return "Cannot write to the pipe " + path + "\n.";
}

// Compares large byte strings without printing megabytes on a failure.
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) {
    return ::testing::AssertionSuccess();
  }
  const auto diverge = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return ::testing::AssertionFailure()
         << "got " << got.size() << " bytes, want " << want.size() << "; first difference at byte "
         << (diverge.first - got.begin());
}

// The client ended by itself, in time, with this status.
inline void expect_exit(const Result& result, int code) {
  EXPECT_FALSE(result.timed_out) << "the client did not finish in time";
  EXPECT_EQ(result.signal, 0) << "the client was killed by signal " << result.signal;
  EXPECT_EQ(result.exit_code, code);
}

}  // namespace harness
