// StateVec: a complex state vector of 2^n amplitudes, held as two buffers of Qreal (real parts,
// imaginary parts). Bit q of an amplitude index is qubit q (qubit 0 the least significant bit).
//
// Every operation here is plain double arithmetic in one fixed order: the results enter class
// keys through the 2^-24 grid of Qreal, so the order of operations is part of the contract.
#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "core/content_hash.hpp"
#include "core/qreal.hpp"
#include "core/rng.hpp"
#include "groups/permutation.hpp"
#include "state/order_info.hpp"
#include "utils/fmt_display.hpp"

namespace marrowfen {

class StateVec {
 public:
  // A state has fewer than 32 qubits...
  static constexpr std::uint32_t QUBIT_BOUND = 32;
  // ...and its two buffers must each fit the largest allocation of a 32-bit build
  // (8 * 2^n bytes below 2^31), so at most 27 qubits can be allocated.
  static constexpr std::uint32_t MAX_ALLOC_QUBITS = 27;
  static constexpr double UNIT_NORM_TOLERANCE = 5.960464477539063e-08;  // 2^-24

  // An empty state (no amplitudes). No constructor below yields one; it exists so that states
  // can be moved from and default-built as placeholders.
  StateVec() noexcept = default;

  // Copies are explicit (clone): a state is copied only where a caller asks for it.
  StateVec(const StateVec&) = delete;
  StateVec& operator=(const StateVec&) = delete;
  StateVec(StateVec&&) noexcept = default;
  StateVec& operator=(StateVec&&) noexcept = default;

  // The two lists stored unchanged (no normalisation). Lists of different lengths stop with
  // the equality assertion "Real and imaginary parts must have the same length" (left: the
  // real count, right: the imaginary count); a length that is not a power of two (0 included)
  // then stops with "Length must be a power of 2".
  static StateVec create(std::vector<Qreal> re, std::vector<Qreal> im);
  static StateVec create(std::span<const double> re, std::span<const double> im);

  // 2^n amplitudes, every part 0.0. 32 or more qubits stop with "Number of qubits too large,
  // resulting in overflow for state vector size."; 28 to 31 with "capacity overflow".
  static StateVec zeros(std::uint32_t num_qubits);

  // 2^n uniform doubles into re (index 0 first), then 2^n into im; then normalize().
  static StateVec from_random(ChaCha12& rng, std::uint32_t num_qubits);

  // n+1 uniform doubles into table A, n+1 into table B; amplitude i = (A[w], B[w]) with w the
  // number of set bits of i; then normalize(). Unchanged by any relabelling of the qubits.
  static StateVec from_random_symmetric(ChaCha12& rng, std::uint32_t num_qubits);

  StateVec clone() const;

  // Unit norm (s = sum of re^2 + im^2 in index order, every part divided by sqrt(s); no zero
  // test, so an all-zero state becomes NaN), then normalize_arg(). No-op without amplitudes.
  void normalize() noexcept;

  // Global-phase canonicalisation: the reference amplitude (amplitude 0, else the last one,
  // else the normalised sum of all amplitudes, whichever first has a part that is not
  // negligible) is made real and non-negative by multiplying every amplitude by conj(c)/|c|;
  // finally im[0] is set to exactly 0.0.
  void normalize_arg() noexcept;

  // The content hash: len(re) (4 bytes), each re[i] quantised (8 bytes), then len(im) and each
  // im[i] the same way. Nothing is normalised first.
  std::uint64_t hash_value() const noexcept;
  void feed(ContentHasher& h) const noexcept;

  // Quantised equality and total order: re compared first (element by element in the Qreal
  // order, a proper prefix first), then im.
  friend bool operator==(const StateVec& a, const StateVec& b) noexcept;
  friend std::strong_ordering operator<=>(const StateVec& a, const StateVec& b) noexcept;

  // Qreal::loose_eq over the common prefix of re, then of im; lengths are not compared.
  bool loose_eq(const StateVec& other) const noexcept;

  // |sum of (im^2 + re^2) - 1| < 2^-24; false without amplitudes or for a NaN sum.
  bool check() const noexcept;

  // Bounds-checked access ("index out of bounds: the len is {} but the index is {}").
  QComplex at(std::size_t index) const;
  void set(std::size_t index, QComplex value);

  std::uint32_t nqubits() const noexcept;
  std::size_t len() const noexcept { return re_.size(); }

  std::span<const Qreal> re() const noexcept { return re_; }
  std::span<const Qreal> im() const noexcept { return im_; }
  // Raw buffers for the kernels (len() entries each).
  Qreal* re_data() noexcept { return re_.data(); }
  Qreal* im_data() noexcept { return im_.data(); }
  const Qreal* re_data() const noexcept { return re_.data(); }
  const Qreal* im_data() const noexcept { return im_.data(); }

  // Applies a gate to the given qubits (the present qubits of an instruction, in order): the
  // gate's kernel from GATE_FUNCS when it has one, else the dense multiplication with the gate's
  // matrix. The matrix is read from the registry (under its read lock) on the gate's first
  // dense application in the process; later ones read a published copy without any lock. The
  // first qubit is the most significant bit of the matrix index. Every failure stops before the
  // first amplitude is written.
  void apply(std::span<const std::uint8_t> qubits, Gate16 gate);
  // The same for an instruction: its gate on its present qubits (none, one or two, in order).
  void apply(Instr32 instr) {
    const QArgs16 q = instr.qargs();
    apply(q.as_slice(), instr.gate());
  }

  // Dense application of a 2^k x 2^k column-major matrix on k = 1, 2 or 3 qubits:
  // w_j = sum_c M(j, c) * v_c over each index group, accumulated in ascending column order.
  void multiply(std::span<const std::uint8_t> qubits, const GateMatrix& matrix);

  // Relabels the qubits in place: amplitude i moves to index permut.permut_bv(i), i.e. the
  // content of qubit t moves to qubit permut[t]. Writes into this thread's scratch state of
  // the same size and exchanges buffers with it (no allocation after the first call for a
  // given qubit count). The permutation must have exactly nqubits() entries.
  void apply_permutation(Permut32 permut);

  // Key of qubit q (q < nqubits()), as compared by get_orderinfo.
  QubitKey qubit_key(std::uint32_t q) const;

  // The qubits sorted stably by key, split into runs of equal keys.
  OrderInfo get_orderinfo() const;
  // Entry k = the qubit at canonical position k (the permutation of get_orderinfo().as_bits()).
  Permut32 get_permutation() const;

  std::string display() const;

 private:
  friend void swap_buffers(StateVec& a, StateVec& b) noexcept;

  std::vector<Qreal> re_;
  std::vector<Qreal> im_;
};

// Exchanges the two buffers of a and b (no copy).
inline void swap_buffers(StateVec& a, StateVec& b) noexcept {
  a.re_.swap(b.re_);
  a.im_.swap(b.im_);
}

// Size checks shared by every constructor that allocates 2^n amplitudes.
void check_state_qubits(std::uint32_t num_qubits);

}  // namespace marrowfen

// Display: "[" amplitudes ", " ... "]", each with four decimals: the real part alone when the
// imaginary part is negligible, else the imaginary part alone followed by "j" when the real part
// is negligible, else "{re}{+im}j".
template <>
inline constexpr bool marrowfen::formats_by_display<marrowfen::StateVec> = true;
