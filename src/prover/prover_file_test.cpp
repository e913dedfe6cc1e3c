#include "prover/prover_file.hpp"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/test_support.hpp"

#include "circ/gate.hpp"
#include "core/panic.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// Each test writes its files into a fresh directory, removed with everything in it at the end.
class ProverFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "marrowfen_prover_file_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string temp_path(const std::string& name) const { return dir_ + "/" + name; }

  IdentityProver read_bytes_as_prover(const Bytes& b) const {
    const std::string path = temp_path("input");
    write_bytes(path, b);
    return prover_from_postcard(path);
  }

  std::string dir_;
};

template <class E>
std::string error_text(auto&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

const Instr32 H0 = Instr32::one(gates::H, 0);
const Permut32 ID1 = Permut32::identity(1);  // raw 0x01000000

// h(0) h(0) over one wire, as the file stores it: 02, then 01 68 00 FF twice, then the
// permutation 80 80 80 08.
const Bytes HH = {0x02, 0x01, 0x68, 0x00, 0xFF, 0x01, 0x68, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08};

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(ProverFile, LayoutIsAssumptionsThenAcceptedSetThenRuleBase) {
  const IdentityCirc hh = IdentityCirc::from_circ(Circ::create({H0, H0}, ID1));
  IdentityProver p;
  p.assume.push_back(hh);
  p.proved.insert(hh);
  const std::string path = temp_path("example");
  dump_postcard(p, path);
  EXPECT_EQ(read_bytes(path), concat({{0x01}, HH, {0x01}, HH, {0x00}}));

  const IdentityProver back = prover_from_postcard(path);
  EXPECT_EQ(back.assume, p.assume);
  EXPECT_EQ(back.proved, p.proved);
  EXPECT_TRUE(back.circ_map.empty());

  dump_postcard(IdentityProver{}, path);
  EXPECT_EQ(read_bytes(path), (Bytes{0x00, 0x00, 0x00}));
  const IdentityProver empty = prover_from_postcard(path);
  EXPECT_TRUE(empty.assume.empty() && empty.proved.empty() && empty.circ_map.empty());
}

TEST_F(ProverFile, BuiltProverRoundTripsWithTheSameContent) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const Evaluator ev = Evaluator::random_py(2);
  const ECCs eccs =
      RawECCs::generate(ev, {gates::H, gates::S, gates::CX}, 3).map.simplify();
  const IdentityProver p = IdentityProver::build(eccs);
  ::testing::internal::GetCapturedStderr();
  ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(p.assume.empty());
  ASSERT_FALSE(p.circ_map.empty());

  const std::string path = temp_path("built");
  dump_postcard(p, path);
  const IdentityProver back = prover_from_postcard(path);
  EXPECT_EQ(back.assume, p.assume);  // in order
  EXPECT_EQ(back.proved, p.proved);  // as sets
  EXPECT_EQ(back.circ_map, p.circ_map);
  // Fresh containers, fresh keys.
  EXPECT_NE(back.proved.hash_function().key, p.proved.hash_function().key);
}

TEST_F(ProverFile, ReadingTakesTheEncodingAsItStands) {
  // Nothing is checked: a non-identity assumption that is not accepted, a repeated accepted
  // identity (stored once), a repeated key (the later list wins), and trailing bytes.
  const Bytes h = {0x01, 0x01, 0x68, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08};
  const Bytes x = {0x01, 0x01, 0x78, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08};
  const IdentityProver p = read_bytes_as_prover(
      concat({{0x01}, h, {0x02}, HH, HH, {0x02}, h, {0x01}, x, h, {0x02}, HH, x, {0xAB, 0xCD}}));
  const Circ hc = Circ::create({H0}, ID1), xc = Circ::create({Instr32::one(gates::X, 0)}, ID1);
  const Circ hhc = Circ::create({H0, H0}, ID1);
  EXPECT_EQ(p.assume, std::vector<IdentityCirc>{IdentityCirc::from_circ(hc)});
  EXPECT_EQ(p.proved.size(), 1u);
  EXPECT_TRUE(p.proved.contains(IdentityCirc::from_circ(hhc)));
  ASSERT_EQ(p.circ_map.size(), 1u);
  EXPECT_EQ(p.circ_map.at(hc).circuits(), (std::vector<Circ>{hhc, xc}));
}

TEST_F(ProverFile, DecodingAndFileFailures) {
  const std::string end = "Failed to read postcard data: Hit the end of buffer, expected more data";
  const struct {
    Bytes bytes;
    std::string message;
  } cases[] = {
      {{}, end},
      {{0x00, 0x00}, end},
      {concat({{0x01}, Bytes(HH.begin(), HH.end() - 2)}), end},  // cut inside a permutation
      {{0x00, 0x01, 0x01, 0x02, 0x68}, end},                     // cut inside a gate text
      {{0x80, 0x80, 0x80, 0x80, 0x10},
       "Failed to read postcard data: Found a varint that didn't terminate. Is the usize too "
       "big for this platform?"},
      {{0x01, 0x01, 0x02, 0xC3, 0x28, 0x00, 0xFF, 0x00},
       "Failed to read postcard data: Tried to parse invalid utf-8"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(error_text<DecodeError>([&] { read_bytes_as_prover(c.bytes); }), c.message);

  // A gate text the registry does not hold stops the call instead.
  EXPECT_EQ(stop_message([&] {
              read_bytes_as_prover({0x01, 0x01, 0x03, 'z', 'z', 'z', 0x00, 0xFF, 0x00});
            }),
            "Failed to deserialize Gate16 from zzz");

  const std::string missing = temp_path("no_such_dir/prover.pc");
  EXPECT_EQ(error_text<IoError>([&] { dump_postcard(IdentityProver{}, missing); }),
            "Failed to create file: No such file or directory (os error 2)");
  EXPECT_EQ(error_text<IoError>([&] { prover_from_postcard(missing); }),
            "Failed to open file: No such file or directory (os error 2)");
  // Every output failure, here the final flush, has the encoder's one text.
  EXPECT_EQ(error_text<DecodeError>([&] { dump_postcard(IdentityProver{}, "/dev/full"); }),
            "Failed to write postcard data: The serialize buffer is full");
}

}  // namespace
}  // namespace marrowfen
