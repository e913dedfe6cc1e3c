#include "core/progress.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

std::string repeat(const char* s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}
const char* FULL = "\u2588";
const char* EMPTY = "\u2591";

TEST(Progress, RenderFillsTheWidth) {
  struct Case {
    std::uint64_t pos, len;
    std::size_t width;
    std::string line;
  };
  const Case cases[] = {
      {0, 10, 20, repeat(EMPTY, 15) + " 0/10"},
      {5, 10, 20, repeat(FULL, 7) + repeat(EMPTY, 8) + " 5/10"},  // 15 * 5/10 rounded down
      {10, 10, 20, repeat(FULL, 14) + " 10/10"},
      {12, 10, 20, repeat(FULL, 14) + " 12/10"},  // past the end: full bar
      {0, 0, 10, repeat(FULL, 6) + " 0/0"},       // nothing to do counts as done
      {3, 7, 5, repeat(EMPTY, 1) + " 3/7"},
      {3, 7, 4, "3/7"},                             // no room left for a bar
      {1, 3, 6, repeat(FULL, 0) + repeat(EMPTY, 2) + " 1/3"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(render_progress_line(c.pos, c.len, c.width), c.line)
        << c.pos << "/" << c.len << " in " << c.width;
}

// Replaces file descriptor `fd` for the lifetime of the object.
class RedirectFd {
 public:
  RedirectFd(int fd, int replacement) : fd_(fd), saved_(dup(fd)) { dup2(replacement, fd); }
  ~RedirectFd() {
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_, saved_;
};

std::string drain(int fd) {
  std::string out;
  char buf[4096];
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  fcntl(fd, F_SETFL, flags);
  return out;
}

TEST(Progress, StdoutLineGoesStraightToFd1) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::fflush(stdout);
  {
    RedirectFd r(STDOUT_FILENO, p[1]);
    write_stdout_line("#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)");
    write_stdout_line(std::string(1000, 'x'));  // longer than the small-line path
  }
  close(p[1]);
  EXPECT_EQ(drain(p[0]), "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\n" +
                             std::string(1000, 'x') + "\n");
  close(p[0]);
}

TEST(Progress, NothingDrawnWhenStderrIsNotATerminal) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  {
    RedirectFd r(STDERR_FILENO, p[1]);
    ProgressBar bar(3);
    EXPECT_FALSE(bar.visible());
    bar.inc();
    bar.inc(2);
    EXPECT_EQ(bar.position(), 3u);
    bar.finish();
  }
  close(p[1]);
  EXPECT_EQ(drain(p[0]), "");
  close(p[0]);
}

// The time a test bar sees, moved by hand.
std::atomic<std::int64_t> fake_now_ns{0};
std::int64_t fake_clock() noexcept { return fake_now_ns.load(); }

// Reads what the other end of a pseudo-terminal received, up to and including the first
// `last` character (waiting for it at most a few seconds).
std::string read_through(int fd, char last) {
  std::string out;
  char buf[4096];
  while (out.find(last) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// On a terminal (a pseudo-terminal 30 columns wide here): a draw when the bar is made, at most
// one redraw per 50 ms of its clock while it advances, and a final draw at the full length that
// ends the line and stays.
TEST(Progress, DrawsOnATerminalAtMostTwentyTimesASecond) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(slave, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
  winsize ws{};
  ws.ws_col = 30;
  ws.ws_row = 10;
  ASSERT_EQ(ioctl(slave, TIOCSWINSZ, &ws), 0);

  constexpr std::int64_t MS = 1'000'000;
  fake_now_ns = 1000 * MS;
  {
    RedirectFd r(STDERR_FILENO, slave);
    ProgressBar bar(100, fake_clock);
    ASSERT_TRUE(bar.visible());
    for (int i = 0; i < 10; ++i) {  // 1 to 10, all before 50 ms have passed
      fake_now_ns += 5 * MS - 1;
      bar.inc();
    }
    fake_now_ns = 1050 * MS;
    bar.inc();  // due: redraw at 11
    fake_now_ns += 50 * MS - 1;
    bar.inc(5);  // 16, too soon after that redraw
    fake_now_ns += 1;
    bar.inc(4);  // 20, due again
    bar.inc();   // 21, the same instant
    bar.finish();
  }
  const std::string out = read_through(master, '\n');
  close(slave);
  close(master);

  const std::string clear = "\r\x1b[K";
  EXPECT_EQ(out, clear + render_progress_line(0, 100, 30) + clear +
                     render_progress_line(11, 100, 30) + clear +
                     render_progress_line(20, 100, 30) + clear +
                     render_progress_line(100, 100, 30) + "\n");
}

}  // namespace
}  // namespace marrowfen
