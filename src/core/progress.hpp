// Progress output. Progress lines go straight to the process's file descriptors (not through
// Python's sys.stdout / sys.stderr); the progress bar draws on standard error only when it is
// a terminal: a bar filling the terminal's width, then "{pos}/{len}", redrawn at most 20 times
// a second and left on screen when finished.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace marrowfen {

// Writes the line and "\n" to file descriptor 1 (or 2) in one write where possible. Output
// failures are ignored: progress never fails a call.
void write_stdout_line(std::string_view line);
void write_stderr_line(std::string_view line);

// The text of one bar of `width` columns: "█" for the done part and "░" for the rest, filling
// what "{pos}/{len}" and one blank leave of the width (just the counts when nothing is left).
std::string render_progress_line(std::uint64_t pos, std::uint64_t len, std::size_t width);

// A monotonic time in nanoseconds: what a bar paces its redraws by.
using ProgressClock = std::int64_t (*)() noexcept;

// std::chrono::steady_clock in nanoseconds, the clock of every bar the module draws.
std::int64_t steady_clock_ns() noexcept;

class ProgressBar {
 public:
  explicit ProgressBar(std::uint64_t len, ProgressClock clock = steady_clock_ns);
  // A bar that was never finished is left on screen as it stands.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Safe to call from several threads.
  void inc(std::uint64_t delta = 1);
  // Moves the position to the length, draws the final state and ends the line.
  void finish();

  std::uint64_t position() const noexcept { return pos_.load(std::memory_order_relaxed); }
  std::uint64_t length() const noexcept { return len_; }
  // Whether the bar draws at all (standard error is a terminal).
  bool visible() const noexcept { return visible_; }

 private:
  void draw(bool last);

  const std::uint64_t len_;
  const ProgressClock clock_;
  const bool visible_;
  bool done_ = false;
  std::atomic<std::uint64_t> pos_{0};
  std::atomic<std::int64_t> last_draw_ns_;
  std::mutex draw_mutex_;
};

}  // namespace marrowfen
