// ChaCha stream generator: 256-bit key, 64-bit block counter in words 12-13, 64-bit stream
// (nonce) in words 14-15, always stream 0. Output is the stream of 32-bit words in block
// order; a 64-bit draw takes two consecutive words, the first as the low half (also across a
// block boundary). Random operations seed a fresh generator from the operating system, except
// the frequent ones (the identity checks), which draw from their thread's generator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace marrowfen {

inline constexpr std::uint32_t CHACHA_CONSTANTS[4] = {0x61707865, 0x3320646e, 0x79622d32,
                                                      0x6b206574};  // "expand 32-byte k"

// One block: `Rounds` rounds (an even number: column rounds and diagonal rounds alternate)
// over the 16 input words, then the input added word by word.
template <int Rounds>
void chacha_block(const std::uint32_t in[16], std::uint32_t out[16]) noexcept;

// Four consecutive blocks of the given key and stream, counters counter .. counter+3 (the
// 64-bit counter wraps), written one after the other into out.
template <int Rounds>
void chacha_blocks4(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                    std::uint32_t out[64]) noexcept;

template <int Rounds>
class ChaChaRng {
 public:
  using Seed = std::array<std::uint8_t, 32>;

  // The seed bytes are the key, read as eight little-endian words.
  static ChaChaRng from_seed(const Seed& seed) noexcept;
  // A 32-byte key from getrandom(2); a failure stops the call with "from_os_rng failed: {}".
  static ChaChaRng from_os();

  std::uint32_t next_u32() noexcept {
    if (index_ >= BUF_WORDS) refill();
    return buf_[index_++];
  }

  std::uint64_t next_u64() noexcept {
    if (index_ + 2 <= BUF_WORDS) {
      const std::uint64_t lo = buf_[index_], hi = buf_[index_ + 1];
      index_ += 2;
      return lo | (hi << 32);
    }
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return lo | (hi << 32);
  }

  // Uniform in [0, 1): the top 53 bits of the next 64-bit draw, times 2^-53.
  double next_f64() noexcept {
    return static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
  }

  // Continue the stream at the first word of block `block`.
  void seek_block(std::uint64_t block) noexcept {
    counter_ = block;
    index_ = BUF_WORDS;
  }

 private:
  static constexpr std::size_t BUF_WORDS = 64;  // four blocks

  ChaChaRng() noexcept = default;
  void refill() noexcept;

  std::uint32_t key_[8] = {};
  std::uint64_t counter_ = 0;  // counter of the first block not yet generated
  std::size_t index_ = BUF_WORDS;
  std::uint32_t buf_[BUF_WORDS] = {};
};

using ChaCha8 = ChaChaRng<8>;
using ChaCha12 = ChaChaRng<12>;
using ChaCha20 = ChaChaRng<20>;

// The calling thread's generator: seeded from the operating system (from_os) the first time
// the thread asks, and again the first time it asks in a child process after fork(), so that a
// child never repeats its parent's stream; every draw advances it. Successive users thus get
// independent fresh draws without a system call each. Not for use across threads.
ChaCha12& thread_rng();

extern template class ChaChaRng<8>;
extern template class ChaChaRng<12>;
extern template class ChaChaRng<20>;

}  // namespace marrowfen
