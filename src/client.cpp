// client: deliver one command into a named pipe.
//
//   client namedPipe commandFile
//
// Reads commandFile whole, echoes it on standard output, writes it byte for
// byte into namedPipe and closes the pipe, so that the server reading the
// other end meets end-of-file.

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <utility>

// The Linux fast paths (huge pages, mremap, vmsplice, wider pipes) are used
// where the kernel has them; every other system, and a build with
// CLIENT_PORTABLE, takes the plain POSIX path beside each.
#if defined(__linux__) && !defined(CLIENT_PORTABLE)
#define CLIENT_LINUX 1
#include <sys/mman.h>
#else
#define CLIENT_LINUX 0
#endif

namespace {

// What main returns; a shell sees the low eight bits (0, 255, 254, ...).
enum Status : int {
  kDelivered = 0,
  kUsage = -1,
  kPipeOpen = -2,
  kCommandOpen = -3,
  kCommandRead = -4,
  kPipeWrite = -5,
};

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kUnknownSizeStart = std::size_t{64} << 10;
constexpr std::size_t kSplitReadAt = std::size_t{8} << 20;
constexpr std::size_t kHelperStack = std::size_t{64} << 10;
// No single read or write may ask for more; a 32-bit command can.
constexpr std::size_t kMaxTransfer = SSIZE_MAX;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  [[nodiscard]] int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Closing by hand lets the caller see the result: on some file systems a
  // failed close is the only sign of a lost write.
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

// Holds the command: sized once when the size is known, never zero-filled by
// us, and grown when it is not.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&&) = delete;
  Buffer& operator=(Buffer&&) = delete;

#if CLIENT_LINUX
  // Anonymous memory, grown in place by the kernel.
  ~Buffer() {
    if (data_ != nullptr) {
      munmap(data_, capacity_);
    }
  }

  bool reserve(std::size_t wanted) {
    // Every small page costs a fault, and faults are dear: past a few dozen
    // pages, one huge page (at most 2 MiB more memory) comes out cheaper.
    constexpr std::size_t kHugePageWorthIt = std::size_t{256} << 10;
    const std::size_t page =
        wanted > kHugePageWorthIt ? kHugePage : static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (wanted > SIZE_MAX - page) {
      return false;
    }
    const std::size_t capacity = (wanted + page - 1) / page * page;
    void* memory = data_ == nullptr ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                    : mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (memory == MAP_FAILED) {
      return false;
    }
    data_ = static_cast<char*>(memory);
    capacity_ = capacity;
    // Faulting in a large buffer page by page costs more than copying into
    // it; huge pages cut the faults by a factor of 512. Refusal is harmless.
    if (page == kHugePage) {
      madvise(data_, capacity_, MADV_HUGEPAGE);
    }
    return true;
  }
#else
  // The C library's heap: a larger block and a copy where it cannot grow
  // the old one in place.
  ~Buffer() { std::free(data_); }  // NOLINT(cppcoreguidelines-no-malloc)

  bool reserve(std::size_t wanted) {
    void* memory = std::realloc(data_, wanted);  // NOLINT(cppcoreguidelines-no-malloc)
    if (memory == nullptr) {
      return false;
    }
    data_ = static_cast<char*>(memory);
    capacity_ = wanted;
    return true;
  }
#endif

  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  [[nodiscard]] bool full() const { return size_ == capacity_; }
  std::span<char> spare() { return std::span(data_, capacity_).subspan(size_); }
  void commit(std::size_t n) { size_ += n; }
  [[nodiscard]] std::string_view text() const { return {data_, size_}; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

iovec piece(std::string_view bytes) { return {const_cast<char*>(bytes.data()), bytes.size()}; }

// Writes every byte of the pieces, carrying on after partial writes.
bool write_all(int fd, std::span<iovec> pieces) {
  for (;;) {
    while (!pieces.empty() && pieces.front().iov_len == 0) {
      pieces = pieces.subspan(1);
    }
    if (pieces.empty()) {
      return true;
    }
    // The pieces of one call, cut down to kMaxTransfer bytes in all.
    std::array<iovec, 4> batch{};
    std::size_t count = 0;
    for (std::size_t room = kMaxTransfer; count < std::min(batch.size(), pieces.size()) && room > 0;
         ++count) {
      const iovec& next = pieces[count];
      batch[count] = {next.iov_base, std::min(next.iov_len, room)};
      room -= batch[count].iov_len;
    }
    const ssize_t n = writev(fd, batch.data(), static_cast<int>(count));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    auto written = static_cast<std::size_t>(n);
    while (written >= pieces.front().iov_len) {
      written -= pieces.front().iov_len;
      pieces = pieces.subspan(1);
      if (pieces.empty()) {
        return true;
      }
    }
    auto rest = std::span(static_cast<char*>(pieces.front().iov_base), pieces.front().iov_len)
                    .subspan(written);
    pieces.front() = {rest.data(), rest.size()};
  }
}

bool write_all(int fd, std::string_view bytes) {
  std::array pieces{piece(bytes)};
  return write_all(fd, pieces);
}

void report(std::string_view what, std::string_view path) {
  std::array pieces{piece(what), piece(path), piece("\n.")};
  write_all(STDERR_FILENO, pieces);
}

// Opens path on a descriptor above standard error. Started with a standard
// stream closed, a plain open would reuse its number, and the echo or a
// message would then land in the pipe or the command file.
Fd open_above_stdio(const char* path, int flags, mode_t mode = 0) {
  const int fd = open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0 || fd > STDERR_FILENO) {
    return Fd(fd);
  }
  const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return Fd(high);
}

// Asking for creation of a path that exists is refused where the kernel
// protects FIFOs and files of other users in sticky directories such as
// /tmp (Debian's and Ubuntu's default), although opening them is allowed;
// so the pipe is created only when it is not there. Not O_TRUNC: an existing
// file is emptied only once it is known not to be the command file as well.
Fd open_pipe(const char* path) {
  Fd pipe = open_above_stdio(path, O_WRONLY);
  if (pipe || errno != ENOENT) {
    return pipe;
  }
  return open_above_stdio(path, O_WRONLY | O_CREAT, 0664);
}

// Both names lead to one file that reading and writing would fight over:
// truncating it would destroy the command, and reading a FIFO that we hold
// open for writing would never meet end-of-file.
bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         (S_ISREG(a.st_mode) || S_ISFIFO(a.st_mode));
}

// Reads from offset until into is full or the file ends; returns the count
// read, or -1 on an error.
ssize_t read_at(int fd, std::span<char> into, off_t offset) {
  std::size_t done = 0;
  while (done < into.size()) {
    const auto rest = into.subspan(done);
    const ssize_t n = pread(fd, rest.data(), std::min(rest.size(), kMaxTransfer),
                            offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

struct Range {
  int fd;
  std::span<char> into;
  off_t offset;
  ssize_t got;
};

void* read_range(void* range) {
  auto& r = *static_cast<Range*>(range);
  r.got = read_at(r.fd, r.into, r.offset);
  return nullptr;
}

// Filling fresh memory is half copying, half the kernel clearing pages, and
// the reader at the other end sits idle until the whole command is in: a
// second thread reading the second half does both twice as fast. Without a
// thread, one reads it all.
ssize_t read_in_halves(int fd, std::span<char> into) {
  // Split on a huge-page boundary so that no page is faulted by both.
  const std::size_t half = into.size() / 2 / kHugePage * kHugePage;
  Range second{fd, into.subspan(half), static_cast<off_t>(half), -1};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kHelperStack);
  pthread_t helper{};
  const bool started = pthread_create(&helper, &attr, read_range, &second) == 0;
  pthread_attr_destroy(&attr);
  if (!started) {
    return read_at(fd, into, 0);
  }
  const ssize_t first = read_at(fd, into.first(half), 0);
  pthread_join(helper, nullptr);
  if (first < 0 || second.got < 0) {
    return -1;
  }
  // A file that shrank since it was measured ends in the first half.
  return static_cast<std::size_t>(first) < half ? first : first + second.got;
}

bool read_whole(int fd, const struct stat& info, Buffer& buffer) {
  // One spare byte lets the read that meets end-of-file land in the same
  // buffer; sources that report no size (FIFOs, /proc) grow by doubling.
  const bool sized = S_ISREG(info.st_mode) && info.st_size > 0;
  // A size that this process cannot address is refused whole, never cut.
  if (sized && static_cast<std::uintmax_t>(info.st_size) >= SIZE_MAX) {
    return false;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  if (!buffer.reserve(sized ? size + 1 : kUnknownSizeStart)) {
    return false;
  }
  if (sized && size >= kSplitReadAt) {
    const ssize_t got = read_in_halves(fd, buffer.spare().first(size));
    if (got < 0) {
      return false;
    }
    buffer.commit(static_cast<std::size_t>(got));
    if (static_cast<std::size_t>(got) < size) {
      return true;
    }
    // pread left the offset at the start; go on from the measured end in
    // case the file has grown since.
    if (lseek(fd, info.st_size, SEEK_SET) < 0) {
      return false;
    }
  }
  for (;;) {
    if (buffer.full() &&
        (buffer.capacity() > SIZE_MAX / 2 || !buffer.reserve(buffer.capacity() * 2))) {
      return false;
    }
    const auto spare = buffer.spare();
    const ssize_t n = read(fd, spare.data(), std::min(spare.size(), kMaxTransfer));
    if (n == 0) {
      return true;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    buffer.commit(static_cast<std::size_t>(n));
  }
}

// The echo is a courtesy: if standard output is closed, full, or a pipe
// that nobody reads any more, the command must still go out and the status
// speak for the delivery alone. So SIGPIPE is held back for this one write,
// and one it raised is taken off again; the pipe to the server keeps it.
void echo(std::string_view text) {
  sigset_t broken_pipe;
  sigset_t previous;
  sigemptyset(&broken_pipe);
  sigaddset(&broken_pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &broken_pipe, &previous);
  std::array pieces{piece("Client writing: "), piece(text), piece("\n")};
  sigset_t pending;
  if (!write_all(STDOUT_FILENO, pieces) && errno == EPIPE && !sigismember(&previous, SIGPIPE) &&
      sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    int taken = 0;
    sigwait(&broken_pipe, &taken);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

#if CLIENT_LINUX
std::size_t max_pipe_size() {
  constexpr std::size_t kKernelDefault = std::size_t{1} << 20;
  const Fd limit(open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC));
  std::array<char, 32> digits{};
  const ssize_t n = limit ? read(limit.get(), digits.data(), digits.size()) : -1;
  std::size_t value = 0;
  for (const char c : std::span(digits.data(), n > 0 ? static_cast<std::size_t>(n) : 0)) {
    if (c < '0' || c > '9') {
      break;
    }
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value > 0 ? value : kKernelDefault;
}

// With the default 64 KiB every few pages of a large command cost the reader
// a wake-up. Raise the capacity up to what an unprivileged process may have,
// never lower it, and carry on as before if the kernel says no.
void widen_pipe(int fd, std::size_t wanted) {
  const int current = fcntl(fd, F_GETPIPE_SZ);
  if (current < 0 || wanted <= static_cast<std::size_t>(current)) {
    return;
  }
  const std::size_t size = std::min({wanted, max_pipe_size(), std::size_t{INT_MAX}});
  if (size > static_cast<std::size_t>(current)) {
    fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size));
  }
}

// Hands the buffer's pages to the pipe instead of copying them; the buffer is
// never written again, so the reader sees exactly the command. Where splicing
// is refused, write(2) takes the rest and reports any real error.
bool splice_all(int fd, std::string_view text) {
  widen_pipe(fd, text.size());
  while (!text.empty()) {
    iovec rest = piece(text.substr(0, kMaxTransfer));
    const ssize_t n = vmsplice(fd, &rest, 1, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return write_all(fd, text);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}
#endif

bool send(int fd, [[maybe_unused]] const struct stat& info, std::string_view text) {
#if CLIENT_LINUX
  // Up to PIPE_BUF bytes still go in one write, which POSIX keeps whole
  // when several clients write into one FIFO at once.
  if (S_ISFIFO(info.st_mode) && text.size() > PIPE_BUF) {
    return splice_all(fd, text);
  }
#endif
  return write_all(fd, text);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    write_all(STDERR_FILENO, "Use: client namedPipe commandFile\n");
    return kUsage;
  }
  const std::string_view pipe_path = argv[1];
  const std::string_view command_path = argv[2];

  Fd pipe = open_pipe(argv[1]);
  struct stat pipe_info {};
  if (!pipe || fstat(pipe.get(), &pipe_info) != 0) {
    report("Cannot open the pipe ", pipe_path);
    return kPipeOpen;
  }

  const Fd command = open_above_stdio(argv[2], O_RDONLY);
  struct stat command_info {};
  const bool command_opened = command && fstat(command.get(), &command_info) == 0;
  if (command_opened && same_file(pipe_info, command_info)) {
    report("Cannot open the pipe ", pipe_path);
    return kPipeOpen;
  }
  // What O_TRUNC would have done at the open, even if the command file then
  // fails to open: the pipe path behaves as a shell's "> file" would.
  if (S_ISREG(pipe_info.st_mode) && ftruncate(pipe.get(), 0) != 0) {
    report("Cannot open the pipe ", pipe_path);
    return kPipeOpen;
  }
  if (!command_opened) {
    report("Cannot open the command file ", command_path);
    return kCommandOpen;
  }

  // The whole command is in memory before anything goes out, so a failed
  // read never leaves half a command in the pipe.
  Buffer buffer;
  if (!read_whole(command.get(), command_info, buffer)) {
    report("Cannot read the command file ", command_path);
    return kCommandRead;
  }
  const std::string_view text = buffer.text();

  echo(text);

  if (!send(pipe.get(), pipe_info, text) || pipe.close() != 0) {
    report("Cannot write to the pipe ", pipe_path);
    return kPipeWrite;
  }
  return kDelivered;
}
