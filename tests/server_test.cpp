// The client against a real server that someone else wrote: sqlite3
// reading SQL from the FIFO on its standard input, run once per command as
// a loop around it would run it (while sqlite3 app.db < fifo; do :; done).
// Each delivery is judged by what sqlite3 did to its database.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected.hpp"
#include "harness.hpp"

namespace {

using namespace harness;

struct Ran {
  int status = -1;  // the exit status, or -1 if it did not exit
  std::string output;
};

// Starts a program with standard input from fd and its standard output and
// error captured; the program is run by timeout(1), so it cannot hang.
class Program {
 public:
  Program(std::vector<std::string> words, int fd) : output_(memfd_create("output", MFD_CLOEXEC)) {
    words.insert(words.begin(), {"timeout", std::to_string(kRunTimeout.count())});
    std::vector<char*> argv;
    for (auto& word : words) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      if (dup2(fd, 0) == 0 && dup2(output_, 1) == 1 && dup2(output_, 2) == 2) {
        execvp(argv[0], argv.data());
      }
      _exit(127);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (pid_ > 0) {
      finish();
    }
    close(output_);
  }
  Ran finish() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return {.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1, .output = contents_of(output_)};
  }

 private:
  pid_t pid_ = -1;
  int output_;
};

class Sqlite : public ::testing::Test {
 protected:
  void SetUp() override {
    if (system("sqlite3 -version >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "sqlite3 is not installed (Debian's package sqlite3)";
    }
    make_fifo(fifo_);
  }

  // One command through the FIFO into a fresh sqlite3, as the server loop
  // runs it; what sqlite3 printed and its status.
  Ran deliver(const std::string& command) {
    write_file(dir_ / "command", command);
    // As a shell runs it: the open of the FIFO waits for the client.
    const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Program server({"sh", "-c", "exec sqlite3 -batch \"$0\" < \"$1\"", database_, fifo_}, none);
    close(none);
    const Result result = run({.args = {fifo_, dir_ / "command"}});
    expect_exit(result, 0);
    EXPECT_TRUE(same_bytes(result.out, echo_of(command)));
    return server.finish();
  }

  // What the database holds, asked of sqlite3 directly.
  std::string query(const std::string& sql) {
    const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Program asked({"sqlite3", "-batch", database_, sql}, none);
    close(none);
    const Ran ran = asked.finish();
    EXPECT_EQ(ran.status, 0) << ran.output;
    return ran.output;
  }

  TempDir dir_;
  std::string fifo_ = dir_ / "sql.fifo";
  std::string database_ = dir_ / "app.db";
};

TEST_F(Sqlite, SeveralClientsInARow) {
  Ran ran = deliver("CREATE TABLE log(n INTEGER, what TEXT);\n");
  EXPECT_EQ(ran.status, 0) << ran.output;
  for (int n = 1; n <= 5; ++n) {
    SCOPED_TRACE("client " + std::to_string(n));
    ran = deliver("INSERT INTO log VALUES (" + std::to_string(n) + ", 'command " +
                  std::to_string(n) + "');\n");
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_EQ(ran.output, "");
  }
  EXPECT_EQ(
      query("SELECT group_concat(n || '=' || what, ',') FROM (SELECT * FROM log ORDER BY n);"),
      "1=command 1,2=command 2,3=command 3,4=command 4,5=command 5\n");
}

TEST_F(Sqlite, MultiLineCommandFile) {
  // Statements over several lines, a string with a line feed in it, a
  // query whose answer sqlite3 prints. sqlite3 runs a last statement that
  // end-of-file ends; this one ends in its closing parenthesis, so that a
  // lost last byte breaks it.
  const std::string command =
      "CREATE TABLE t(a INTEGER,\n"
      "               b TEXT);\n"
      "INSERT INTO t VALUES (1, 'two\n"
      "lines');\n"
      "SELECT count(*) FROM t;\n"
      "INSERT INTO t VALUES (2, 'last')";
  const Ran ran = deliver(command);
  EXPECT_EQ(ran.status, 0) << ran.output;
  EXPECT_EQ(ran.output, "1\n");
  EXPECT_EQ(query("SELECT a || ':' || b FROM t ORDER BY a;"), "1:two\nlines\n2:last\n");
}

TEST_F(Sqlite, AMebibyteOfCommands) {
  // Some 17,000 statements in one transaction: larger than any pipe, so
  // the command crosses it in many pieces, and one lost or doubled byte
  // breaks a statement and rolls everything back.
  std::string command = "CREATE TABLE big(n INTEGER PRIMARY KEY, text TEXT);\nBEGIN;\n";
  long long rows = 0;
  long long sum = 0;
  std::size_t lengths = 0;
  while (command.size() < (std::size_t{1} << 20)) {
    ++rows;
    sum += rows;
    const std::string text = "row " + std::to_string(rows * 7919 % 100003) + " of many";
    lengths += text.size();
    command += "INSERT INTO big VALUES (" + std::to_string(rows) + ", '" + text + "');\n";
  }
  command += "COMMIT;\n";
  const Ran ran = deliver(command);
  EXPECT_EQ(ran.status, 0) << ran.output.substr(0, 500);
  EXPECT_EQ(
      query("SELECT count(*), sum(n), sum(length(text)) FROM big;"),
      std::to_string(rows) + "|" + std::to_string(sum) + "|" + std::to_string(lengths) + "\n");
}

}  // namespace
