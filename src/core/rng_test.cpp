#include "core/rng.hpp"

#include <array>
#include <cstdint>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

using Words = std::array<std::uint32_t, 16>;

Words block_input(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                  std::uint64_t stream) {
  Words in{};
  for (int i = 0; i < 4; ++i) in[i] = CHACHA_CONSTANTS[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = static_cast<std::uint32_t>(counter);
  in[13] = static_cast<std::uint32_t>(counter >> 32);
  in[14] = static_cast<std::uint32_t>(stream);
  in[15] = static_cast<std::uint32_t>(stream >> 32);
  return in;
}

// Key bytes 00 01 02 ... 1f, as the RFC 8439 examples use.
ChaCha12::Seed sequential_seed() {
  ChaCha12::Seed s{};
  for (int i = 0; i < 32; ++i) s[i] = static_cast<std::uint8_t>(i);
  return s;
}

const std::array<std::uint32_t, 8> SEQ_KEY = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                              0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

// RFC 8439 section 2.3.2: block counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00. The
// block function only sees words, so the RFC's 32-bit counter and 96-bit nonce land in words
// 12 to 15 exactly as they would in our 64-bit counter / 64-bit stream layout.
TEST(ChaChaBlock, Rfc8439Chacha20Vector) {
  Words in = block_input(SEQ_KEY, 0x0900000000000001ULL, 0x000000004a000000ULL);
  ASSERT_EQ(in[12], 0x00000001u);
  ASSERT_EQ(in[13], 0x09000000u);
  ASSERT_EQ(in[14], 0x4a000000u);
  ASSERT_EQ(in[15], 0x00000000u);
  const Words expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                          0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                          0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                          0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  Words out{};
  chacha_block<20>(in.data(), out.data());
  EXPECT_EQ(out, expected);
}

// Reduced-round vectors. They come from a separate word-level ChaCha written in Python for
// this test (rounds as a parameter, key 00..1f, counter 0, stream 0); that reference was first
// checked against the 20-round vector above and against `openssl enc -chacha20` keystream
// for two keys and two counters before its 8- and 12-round output was pasted here.
TEST(ChaChaBlock, ReducedRoundVectors) {
  const Words in = block_input(SEQ_KEY, 0, 0);
  const Words expected12 = {0xfff931f2, 0x5ec67ad1, 0x25f30544, 0xaa40e9d7,
                            0x1f601349, 0xbc46bec2, 0xc3cac3e9, 0x361a1ad9,
                            0x08b34059, 0x9f7c85c2, 0x54e2d629, 0x9ad42885,
                            0x0a1b2b61, 0x165d76e6, 0xfbae85e5, 0x79883646};
  const Words expected8 = {0x8fb21540, 0x6aab126e, 0x7b66e8d9, 0x3312c531,
                           0x27178ff7, 0x4fd9b290, 0xd72e6b32, 0xcbbebcff,
                           0x36ad9eff, 0x3bce895f, 0xbc55406f, 0xfd909d75,
                           0x271d838f, 0x93dfb0c7, 0x82edb9b3, 0xd656a238};
  Words out{};
  chacha_block<12>(in.data(), out.data());
  EXPECT_EQ(out, expected12);
  chacha_block<8>(in.data(), out.data());
  EXPECT_EQ(out, expected8);
}

// The four-block generator must equal four single blocks with consecutive 64-bit counters,
// including a carry from word 12 into word 13 and the wrap of the whole counter.
TEST(ChaChaBlock, FourBlocksMatchSingleBlocks) {
  for (std::uint64_t counter : {0ULL, 0xfffffffeULL, 0xfffffffffffffffeULL}) {
    std::uint32_t four[64];
    chacha_blocks4<12>(SEQ_KEY.data(), counter, 0x0123456789abcdefULL, four);
    for (int b = 0; b < 4; ++b) {
      const Words in = block_input(SEQ_KEY, counter + b, 0x0123456789abcdefULL);
      Words one{};
      chacha_block<12>(in.data(), one.data());
      for (int i = 0; i < 16; ++i)
        ASSERT_EQ(four[16 * b + i], one[i]) << "counter " << counter << " block " << b;
    }
  }
}

// The stream from a seed: the key is the seed read as little-endian words, the counter
// starts at 0, words come out in block order. RFC 7539 appendix A.1 vectors 1 and 2 (zero
// key, counters 0 and 1) check the layout through the generator itself.
TEST(ChaChaRng, SeedLayoutAndBlockOrder) {
  ChaCha20 rng = ChaCha20::from_seed({});
  const std::uint32_t block0[4] = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653};
  const std::uint32_t block1[4] = {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73};
  for (std::uint32_t w : block0) EXPECT_EQ(rng.next_u32(), w);
  for (int i = 4; i < 16; ++i) rng.next_u32();
  for (std::uint32_t w : block1) EXPECT_EQ(rng.next_u32(), w);

  // ChaCha12 block 4 (the first word after the four-block buffer), from the Python reference.
  ChaCha12 r12 = ChaCha12::from_seed(sequential_seed());
  EXPECT_EQ(r12.next_u32(), 0xfff931f2u);
  for (int i = 1; i < 64; ++i) r12.next_u32();
  EXPECT_EQ(r12.next_u32(), 0x56e96aa5u);
  EXPECT_EQ(r12.next_u32(), 0x5d537674u);
}

// Counter carry into the high word, through the generator (Python reference values).
TEST(ChaChaRng, CounterCarriesIntoHighWord) {
  ChaCha12 rng = ChaCha12::from_seed(sequential_seed());
  rng.seek_block(0xffffffffULL);
  EXPECT_EQ(rng.next_u32(), 0x5b04700eu);
  for (int i = 1; i < 16; ++i) rng.next_u32();
  EXPECT_EQ(rng.next_u32(), 0x7c560e88u);  // block 0x100000000
  EXPECT_EQ(rng.next_u32(), 0x65674bf2u);
}

// A 64-bit draw is two consecutive words, low first, wherever it starts, including a draw
// whose halves straddle a refill of the four-block buffer.
TEST(ChaChaRng, U64TakesTwoWordsLowFirstAcrossRefills) {
  ChaCha12 words = ChaCha12::from_seed(sequential_seed());
  std::vector<std::uint32_t> w(200);
  for (auto& x : w) x = words.next_u32();

  ChaCha12 mixed = ChaCha12::from_seed(sequential_seed());
  std::size_t pos = 0;
  // Odd offsets put a u64 at words 63/64 and 127/128.
  EXPECT_EQ(mixed.next_u32(), w[pos++]);
  while (pos + 2 < w.size()) {
    const std::uint64_t v = mixed.next_u64();
    ASSERT_EQ(v, static_cast<std::uint64_t>(w[pos]) | (static_cast<std::uint64_t>(w[pos + 1]) << 32))
        << "at word " << pos;
    pos += 2;
  }
  EXPECT_EQ(mixed.next_u32(), w[pos]);
}

TEST(ChaChaRng, F64IsTop53BitsTimesTwoToMinus53) {
  ChaCha12 a = ChaCha12::from_seed(sequential_seed());
  ChaCha12 b = ChaCha12::from_seed(sequential_seed());
  for (int i = 0; i < 100; ++i) {
    const std::uint64_t u = a.next_u64();
    const double d = b.next_f64();
    ASSERT_EQ(d, static_cast<double>(u >> 11) / 9007199254740992.0);
    ASSERT_GE(d, 0.0);
    ASSERT_LT(d, 1.0);
  }
}

TEST(ChaChaRng, FromOsGivesDistinctStreams) {
  ChaCha12 a = ChaCha12::from_os();
  ChaCha12 b = ChaCha12::from_os();
  bool differ = false;
  for (int i = 0; i < 8; ++i) differ |= a.next_u64() != b.next_u64();
  EXPECT_TRUE(differ);
}

// One generator per thread, advanced by every draw; another thread has its own stream.
TEST(ThreadRng, PerThreadAndAdvancing) {
  ChaCha12& mine = thread_rng();
  EXPECT_EQ(&thread_rng(), &mine);
  const std::uint64_t a = thread_rng().next_u64();
  const std::uint64_t b = thread_rng().next_u64();
  EXPECT_NE(a, b);
  std::uint64_t other[2] = {};
  const ChaCha12* other_rng = nullptr;
  std::thread t([&] {
    other_rng = &thread_rng();
    other[0] = thread_rng().next_u64();
    other[1] = thread_rng().next_u64();
  });
  t.join();
  EXPECT_NE(other_rng, &mine);
  const std::uint64_t c = thread_rng().next_u64();
  EXPECT_FALSE(other[0] == c && other[1] == thread_rng().next_u64());
}

// A child made by fork() does not continue its parent's stream: what it draws next differs
// from what the parent draws next.
TEST(ThreadRng, ForkedChildDrawsAFreshStream) {
  (void)thread_rng().next_u64();  // seeded before the fork
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::uint64_t words[4];
    for (std::uint64_t& w : words) w = thread_rng().next_u64();
    const bool ok = write(fds[1], words, sizeof words) == static_cast<ssize_t>(sizeof words);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  std::uint64_t child[4] = {};
  ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::uint64_t parent[4];
  for (std::uint64_t& w : parent) w = thread_rng().next_u64();
  EXPECT_NE(std::vector<std::uint64_t>(child, child + 4),
            std::vector<std::uint64_t>(parent, parent + 4));
}

}  // namespace
}  // namespace marrowfen
