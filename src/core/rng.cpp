#include "core/rng.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include <pthread.h>
#include <sys/random.h>

#include <fmt/format.h>

#include "core/os_error.hpp"
#include "core/panic.hpp"

namespace marrowfen {
namespace {

inline std::uint32_t rotl32(std::uint32_t x, int n) noexcept {
  return (x << n) | (x >> (32 - n));
}

inline void quarter_round(std::uint32_t* s, int a, int b, int c, int d) noexcept {
  s[a] += s[b]; s[d] = rotl32(s[d] ^ s[a], 16);
  s[c] += s[d]; s[b] = rotl32(s[b] ^ s[c], 12);
  s[a] += s[b]; s[d] = rotl32(s[d] ^ s[a], 8);
  s[c] += s[d]; s[b] = rotl32(s[b] ^ s[c], 7);
}

// The same quarter round on four blocks at once: one vector holds one word of each of the
// four blocks (GCC/Clang vector extensions, SSE2 on x86).
typedef std::uint32_t U32x4 __attribute__((vector_size(16)));

inline U32x4 rotl4(U32x4 x, int n) noexcept { return (x << n) | (x >> (32 - n)); }

inline void quarter_round4(U32x4& a, U32x4& b, U32x4& c, U32x4& d) noexcept {
  a += b; d = rotl4(d ^ a, 16);
  c += d; b = rotl4(b ^ c, 12);
  a += b; d = rotl4(d ^ a, 8);
  c += d; b = rotl4(b ^ c, 7);
}

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

template <int Rounds>
void chacha_block(const std::uint32_t in[16], std::uint32_t out[16]) noexcept {
  static_assert(Rounds > 0 && Rounds % 2 == 0);
  std::uint32_t s[16];
  std::memcpy(s, in, sizeof s);
  for (int r = 0; r < Rounds; r += 2) {
    quarter_round(s, 0, 4, 8, 12);
    quarter_round(s, 1, 5, 9, 13);
    quarter_round(s, 2, 6, 10, 14);
    quarter_round(s, 3, 7, 11, 15);
    quarter_round(s, 0, 5, 10, 15);
    quarter_round(s, 1, 6, 11, 12);
    quarter_round(s, 2, 7, 8, 13);
    quarter_round(s, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = s[i] + in[i];
}

template <int Rounds>
void chacha_blocks4(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                    std::uint32_t out[64]) noexcept {
  static_assert(Rounds > 0 && Rounds % 2 == 0);
  U32x4 in[16];
  for (int i = 0; i < 4; ++i) in[i] = U32x4{} + CHACHA_CONSTANTS[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = U32x4{} + key[i];
  for (int l = 0; l < 4; ++l) {
    const std::uint64_t c = counter + static_cast<std::uint64_t>(l);
    in[12][l] = static_cast<std::uint32_t>(c);
    in[13][l] = static_cast<std::uint32_t>(c >> 32);
  }
  in[14] = U32x4{} + static_cast<std::uint32_t>(stream);
  in[15] = U32x4{} + static_cast<std::uint32_t>(stream >> 32);
  U32x4 x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int r = 0; r < Rounds; r += 2) {
    quarter_round4(x[0], x[4], x[8], x[12]);
    quarter_round4(x[1], x[5], x[9], x[13]);
    quarter_round4(x[2], x[6], x[10], x[14]);
    quarter_round4(x[3], x[7], x[11], x[15]);
    quarter_round4(x[0], x[5], x[10], x[15]);
    quarter_round4(x[1], x[6], x[11], x[12]);
    quarter_round4(x[2], x[7], x[8], x[13]);
    quarter_round4(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] += in[i];
  for (int l = 0; l < 4; ++l)
    for (int i = 0; i < 16; ++i) out[16 * l + i] = x[i][l];
}

template <int Rounds>
ChaChaRng<Rounds> ChaChaRng<Rounds>::from_seed(const Seed& seed) noexcept {
  ChaChaRng rng;
  for (int i = 0; i < 8; ++i) rng.key_[i] = load_le32(seed.data() + 4 * i);
  return rng;
}

template <int Rounds>
ChaChaRng<Rounds> ChaChaRng<Rounds>::from_os() {
  Seed seed{};
  std::size_t filled = 0;
  while (filled < seed.size()) {
    const ssize_t n = getrandom(seed.data() + filled, seed.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      stop(fmt::format("from_os_rng failed: {}", os_error_text(err)));
    }
    filled += static_cast<std::size_t>(n);
  }
  return from_seed(seed);
}

template <int Rounds>
void ChaChaRng<Rounds>::refill() noexcept {
  chacha_blocks4<Rounds>(key_, counter_, 0, buf_);
  counter_ += 4;
  index_ = 0;
}

template void chacha_block<8>(const std::uint32_t*, std::uint32_t*) noexcept;
template void chacha_block<12>(const std::uint32_t*, std::uint32_t*) noexcept;
template void chacha_block<20>(const std::uint32_t*, std::uint32_t*) noexcept;
template void chacha_blocks4<8>(const std::uint32_t*, std::uint64_t, std::uint64_t,
                                std::uint32_t*) noexcept;
template void chacha_blocks4<12>(const std::uint32_t*, std::uint64_t, std::uint64_t,
                                 std::uint32_t*) noexcept;
template void chacha_blocks4<20>(const std::uint32_t*, std::uint64_t, std::uint64_t,
                                 std::uint32_t*) noexcept;

template class ChaChaRng<8>;
template class ChaChaRng<12>;
template class ChaChaRng<20>;

namespace {

// Advanced in a child process right after fork(): every thread generator made before it is
// stale there.
std::atomic<std::uint64_t> FORK_GENERATION{0};

void after_fork_in_child() noexcept { FORK_GENERATION.fetch_add(1, std::memory_order_relaxed); }

struct ThreadRng {
  std::optional<ChaCha12> rng;
  std::uint64_t generation = 0;
};

}  // namespace

ChaCha12& thread_rng() {
  // Registered before any thread generator is seeded, so every later fork() is seen.
  [[maybe_unused]] static const int registered =
      pthread_atfork(nullptr, nullptr, after_fork_in_child);
  thread_local ThreadRng t;
  const std::uint64_t generation = FORK_GENERATION.load(std::memory_order_relaxed);
  if (!t.rng || t.generation != generation) {
    t.rng.emplace(ChaCha12::from_os());
    t.generation = generation;
  }
  return *t.rng;
}

}  // namespace marrowfen
