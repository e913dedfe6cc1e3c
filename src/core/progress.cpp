#include "core/progress.hpp"

#include <cerrno>
#include <chrono>

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>

namespace marrowfen {
namespace {

constexpr std::int64_t REDRAW_INTERVAL_NS = 50'000'000;  // 20 redraws a second
constexpr std::size_t FALLBACK_WIDTH = 79;

void write_fd(int fd, const char* p, std::size_t n) noexcept {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void write_line(int fd, std::string_view line) noexcept {
  char small[512];
  if (line.size() < sizeof small) {
    line.copy(small, line.size());
    small[line.size()] = '\n';
    write_fd(fd, small, line.size() + 1);
    return;
  }
  try {
    std::string s;
    s.reserve(line.size() + 1);
    s.append(line).push_back('\n');
    write_fd(fd, s.data(), s.size());
  } catch (...) {
    write_fd(fd, line.data(), line.size());
    write_fd(fd, "\n", 1);
  }
}

std::size_t terminal_width() noexcept {
  struct winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return FALLBACK_WIDTH;
}

}  // namespace

std::int64_t steady_clock_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void write_stdout_line(std::string_view line) { write_line(STDOUT_FILENO, line); }
void write_stderr_line(std::string_view line) { write_line(STDERR_FILENO, line); }

std::string render_progress_line(std::uint64_t pos, std::uint64_t len, std::size_t width) {
  const std::string counts = fmt::format("{}/{}", pos, len);
  if (width <= counts.size() + 1) return counts;
  const std::size_t bar = width - counts.size() - 1;
  std::size_t filled = bar;  // a bar of length 0 counts as complete
  if (len > 0) {
    const std::uint64_t p = pos < len ? pos : len;
    filled = static_cast<std::size_t>(static_cast<unsigned __int128>(bar) * p / len);
  }
  std::string out;
  out.reserve(3 * bar + 1 + counts.size());
  for (std::size_t i = 0; i < filled; ++i) out += "\u2588";
  for (std::size_t i = filled; i < bar; ++i) out += "\u2591";
  out += ' ';
  out += counts;
  return out;
}

ProgressBar::ProgressBar(std::uint64_t len, ProgressClock clock)
    : len_(len), clock_(clock), visible_(::isatty(STDERR_FILENO) == 1), last_draw_ns_(clock()) {
  if (visible_) draw(false);
}

ProgressBar::~ProgressBar() {
  if (!visible_ || done_) return;
  try {
    draw(true);
  } catch (...) {
  }
}

void ProgressBar::inc(std::uint64_t delta) {
  pos_.fetch_add(delta, std::memory_order_relaxed);
  if (!visible_) return;
  const std::int64_t now = clock_();
  std::int64_t last = last_draw_ns_.load(std::memory_order_relaxed);
  if (now - last < REDRAW_INTERVAL_NS) return;
  // One thread wins the slot; the others skip this redraw.
  if (!last_draw_ns_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  draw(false);
}

void ProgressBar::finish() {
  if (done_) return;
  pos_.store(len_, std::memory_order_relaxed);
  if (visible_) draw(true);
  done_ = true;
}

void ProgressBar::draw(bool last) {
  std::lock_guard<std::mutex> lock(draw_mutex_);
  // Return to the start of the line and clear it, then the bar; the final draw ends the line.
  std::string out = "\r\x1b[K";
  out += render_progress_line(position(), len_, terminal_width());
  if (last) out += '\n';
  write_fd(STDERR_FILENO, out.data(), out.size());
}

}  // namespace marrowfen
