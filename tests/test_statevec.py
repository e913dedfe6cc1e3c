import cmath
import math

import pytest

import marrowfen as mf
from helpers import panics


def gate(name):
    return mf.Gate.from_name(name)


def amplitudes(s):
    return [s[i] for i in range(s.len())]


def reference_apply(amps, qubits, matrix):
    # Plain matrix-vector product: the first qubit argument is the most significant bit.
    n = len(amps)
    mask = sum(1 << q for q in qubits)

    def row(x):
        r = 0
        for q in qubits:
            r = (r << 1) | ((x >> q) & 1)
        return r

    out = []
    for x in range(n):
        out.append(sum(matrix[row(x)][row(y)] * amps[y]
                       for y in range(n) if (x & ~mask) == (y & ~mask)))
    return out


def test_construction_and_accessors():
    s = mf.StateVec([1.0, 0.0], [0.0, 0.0])
    assert (s.nqubits(), s.len(), s.check()) == (1, 2, True)
    assert s[0] == 1 + 0j and isinstance(s[1], complex)
    # Stored as given; normalize divides by the norm.
    t = mf.StateVec(re=[3, 4], im=(0, 0))
    assert not t.check()
    assert t.normalize() is None
    assert t.check() and str(t) == "[0.6000, 0.8000]"
    assert str(mf.StateVec([0.5], [0.25])) == "[0.5000+0.2500j]"
    assert str(mf.StateVec([0.6, 0.0], [0.0, -0.8])) == "[0.6000, -0.8000j]"
    c = t.clone()
    assert c == t and c is not t
    c[0] = 1j
    assert c != t


@pytest.mark.parametrize("re, im, message", [
    ([1.0, 0.0, 0.0], [0.0, 0.0, 0.0], "Length must be a power of 2"),
    ([], [], "Length must be a power of 2"),
    ([1.0, 0.0], [0.0] * 4, "assertion `left == right` failed: Real and imaginary parts must "
                            "have the same length\n  left: 2\n right: 4"),
])
def test_constructor_failures(re, im, message):
    assert panics(mf.StateVec, re, im) == message


def test_constructor_conversion_errors():
    with pytest.raises(TypeError, match=r"^argument 're': Can't extract `str` to `Vec`$"):
        mf.StateVec("10", [0.0, 0.0])
    with pytest.raises(TypeError, match=r"^argument 'im': "):
        mf.StateVec([1.0], ["x"])
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'im'"):
        mf.StateVec([1.0])
    with pytest.raises(TypeError, match="unexpected keyword argument 'real'"):
        mf.StateVec(real=[1.0], im=[0.0])


def test_normalize_arg_and_all_zero():
    s = mf.StateVec([0.0, 1.0], [1.0, 0.0])
    s.normalize_arg()
    assert s == mf.StateVec([1.0, 0.0], [0.0, -1.0])
    assert str(s) == "[1.0000, -1.0000j]"
    z = mf.StateVec([0.0] * 4, [0.0] * 4)
    z.normalize()
    assert z[0].imag == 0.0 and all(math.isnan(z[i].real) for i in range(4))
    assert not z.check()


def test_random_states():
    a, b = mf.StateVec.random(3), mf.StateVec.random(3)
    assert a != b  # fresh entropy every call
    assert a.check() and a[0].imag == 0.0 and a[0].real >= 0.0
    assert a == a.clone()
    s = mf.StateVec.random_symmetric(num_qubits=4)
    assert s.check()
    by_weight = {}
    for i in range(16):
        by_weight.setdefault(bin(i).count("1"), set()).add(s[i] if i else None)
    assert all(len(v) == 1 for w, v in by_weight.items() if w > 0)
    assert panics(mf.StateVec.random, 32) == \
        "Number of qubits too large, resulting in overflow for state vector size."
    assert panics(mf.StateVec.random_symmetric, 28) == "capacity overflow"
    with pytest.raises(OverflowError):
        mf.StateVec.random(-1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        mf.StateVec.random(2 ** 32)


def test_global_phase_equality_and_hash_value():
    s = mf.StateVec.random(3)
    phase = cmath.exp(0.7j)
    amps = [a * phase for a in amplitudes(s)]
    t = mf.StateVec([a.real for a in amps], [a.imag for a in amps])
    assert t != s
    t.normalize_arg()
    assert t == s and t.hash_value() == s.hash_value()
    assert 0 <= s.hash_value() < 2 ** 64
    with pytest.raises(TypeError):
        hash(s)
    with pytest.raises(TypeError):
        s < s  # noqa: B015
    assert (s == 3) is False and (s != "x") is True


def test_hash_value_matches_content_hash():
    # Under PYTHONHASHSEED=0, hash(bytes) is SipHash-1-3 with zero keys: the same function over
    # the bytes the state feeds (each length as 4 bytes, each part quantised to 8 bytes).
    import os
    import struct
    if os.environ.get("PYTHONHASHSEED") != "0" or struct.calcsize("P") != 8:
        pytest.skip("needs PYTHONHASHSEED=0 and 64-bit hashes")
    re, im = [0.5, -0.25, 3.0, 1e-9], [0.0, 0.125, -2.0, 0.75]
    s = mf.StateVec(re, im)
    data = b"".join([struct.pack("<I", 4), *(struct.pack("<q", round(x * 2 ** 24)) for x in re),
                     struct.pack("<I", 4), *(struct.pack("<q", round(x * 2 ** 24)) for x in im)])
    want = hash(data) % 2 ** 64
    assert want == s.hash_value() or (want == 2 ** 64 - 2 and s.hash_value() == 2 ** 64 - 1)


def test_item_access():
    s = mf.StateVec([1.0, 0.0], [0.0, 0.0])
    s[1] = 0.5
    s[0] = complex(0.25, -0.75)
    assert amplitudes(s) == [0.25 - 0.75j, 0.5 + 0j]
    assert panics(s.__getitem__, 2) == "index out of bounds: the len is 2 but the index is 2"
    assert panics(s.__setitem__, 7, 1.0) == "index out of bounds: the len is 2 but the index is 7"
    with pytest.raises(OverflowError):
        s[-1]
    with pytest.raises(TypeError, match="^argument 'index': "):
        s["a"]
    with pytest.raises(TypeError, match="^argument 'value': "):
        s[0] = "x"
    with pytest.raises(NotImplementedError, match="can't delete item"):
        del s[0]
    assert amplitudes(s) == [0.25 - 0.75j, 0.5 + 0j]  # failures leave it unchanged


def test_imul_applies_instructions():
    s = mf.StateVec([0.0, 1.0], [0.0, 0.0])
    same = s
    s *= mf.Instr(gate("x"), [0])
    assert s is same
    assert s == mf.StateVec([1.0, 0.0], [0.0, 0.0])
    with pytest.raises(TypeError):
        s *= 5
    with pytest.raises(TypeError):
        s * mf.Instr(gate("x"), [0])  # noqa: B018 - only the in-place form exists


def test_imul_matches_reference_for_kernel_and_dense_gates():
    np = pytest.importorskip("numpy")
    for name, qubits in [("h", [1]), ("t", [2]), ("sdg", [0]), ("y", [1]), ("rz(pi/5)", [2]),
                         ("cx", [2, 0]), ("swap", [0, 2]), ("cy", [1, 2]), ("cz", [2, 1])]:
        g = gate(name)
        s = mf.StateVec.random(3)
        before = amplitudes(s)
        s *= mf.Instr(g, qubits)
        want = reference_apply(before, qubits, np.asarray(g.matrix).tolist())
        assert all(abs(a - b) < 1e-12 for a, b in zip(amplitudes(s), want)), name
        assert s.check()


def test_imul_failures():
    s = mf.StateVec([1.0], [0.0])  # 0 qubits
    assert panics(s.__imul__, mf.Instr(gate("h"), [0])) == \
        "index out of bounds: the len is 1 but the index is 1"
    assert s == mf.StateVec([1.0], [0.0])


def test_custom_gate_dense_application():
    np = pytest.importorskip("numpy")
    m = np.diag([1, 1, 1, -1]).astype(complex)
    m[0, 0] = 1j  # not a registered matrix: a new row, applied densely
    g = mf.Gate("ccz_like", [], m)
    s = mf.StateVec([float(i + 1) for i in range(8)], [0.0] * 8)
    s *= mf.Instr(g, [2, 0])
    # Entry 0 (neither qubit set: indices 0, 2) times 1j, entry 3 (both set: 5, 7) negated.
    assert [s[i] for i in range(8)] == [1j, 2, 3j, 4, 5, -6, 7, -8]


def test_docstrings_and_receiver_borrows():
    assert mf.StateVec.__doc__ == "Complex state vector used for randomized circuit evaluation."
    assert mf.StateVec.__text_signature__ == "(re, im)"
    assert mf.StateVec.normalize.__doc__.startswith("Normalizes the state vector in place.")
    assert mf.StateVec.random.__text_signature__ == "(num_qubits)"
    assert mf.StateVec.len.__doc__ == "Returns vector length (`2^nqubits`)."
    with pytest.raises(TypeError, match=r"StateVec.len\(\) takes 0 positional arguments"):
        mf.StateVec([1.0], [0.0]).len(1)

    class Sneaky:
        # Reads the state while it is borrowed exclusively for item assignment.
        def __init__(self, s):
            self.s = s

        def __complex__(self):
            self.s.len()
            return 1j

    class Reentrant(Sneaky):
        def __complex__(self):
            self.s *= mf.Instr(gate("x"), [0])
            return 1j

    s = mf.StateVec([1.0, 0.0], [0.0, 0.0])
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        s[0] = Sneaky(s)
    # *= on a borrowed state is a core failure, not a RuntimeError.
    assert panics(s.__setitem__, 0, Reentrant(s)) == "Already borrowed: PyBorrowMutError"
    assert amplitudes(s) == [1, 0]  # the borrows were released, nothing was written
