import random
import struct
import sys

import pytest

from marrowfen import Circ, Gate, IdentityCirc, Instr
from helpers import panics

h = Gate.from_name("h")
x = Gate.from_name("x")
t = Gate.from_name("t")
tdg = Gate.from_name("tdg")
s = Gate.from_name("s")
cx = Gate.from_name("cx")
swap = Gate.from_name("swap")

NOT_IDENTITY = "IdentityCirc: circuit is not identity "


def content_hash_fold(data: bytes) -> int:
    if sys.flags.hash_randomization or sys.hash_info.algorithm != "siphash13":
        pytest.skip("needs PYTHONHASHSEED=0 and siphash13")
    low = hash(data) & 0xFFFFFFFF
    v = low - (1 << 32) if low >= 1 << 31 else low
    return -2 if v == -1 else v


def circ(*instrs, perm=None):
    return Circ([Instr(g, q) for g, *q in instrs], perm)


def texts(instrs):
    return [str(i) for i in instrs]


def random_circ(rng, length, nq):
    instrs = []
    for _ in range(length):
        if nq >= 2 and rng.random() < 0.4:
            a, b = rng.sample(range(nq), 2)
            instrs.append(Instr(rng.choice([cx, swap]), [a, b]))
        else:
            instrs.append(Instr(rng.choice([h, x, t, tdg, s]), [rng.randrange(nq)]))
    perm = list(range(nq))
    rng.shuffle(perm)
    return Circ(instrs, perm)


# ---- value -----------------------------------------------------------------------------------

def test_constructor_attributes_and_texts():
    c = circ((h, 0), (cx, 0, 1))
    assert c.nqubits() == 2 and c.perm == (0, 1) and type(c.perm) is tuple
    assert texts(c.instrs) == ["h(0)", "cx(0, 1)"] and type(c.instrs[0]) is Instr
    assert c.len() == len(c) == 2 and not c.is_empty()
    assert str(c) == "Circuit { h(0) cx(0, 1) (0 1) }"
    assert repr(c) == "Circ { instrs: [h(0), cx(0, 1)], perm: (0 1) }"
    e = Circ([])
    assert e.nqubits() == 0 and e.perm == () and str(e) == "Circuit { () }"
    assert Circ([Instr(x, [3])]).perm == (0, 1, 2, 3)
    assert Circ(instrs=[Instr(h, [0])], perm=[1, 0, 2]).perm == (1, 0, 2)
    assert circ((h, 0), perm=None).perm == (0,)
    # Without instructions the permutation still counts, but the circuit is falsy and empty.
    w = Circ([], [1, 0])
    assert w.nqubits() == 2 and w.is_empty() and not w and len(w) == 0
    for attr in ["instrs", "perm"]:
        with pytest.raises(AttributeError):
            setattr(c, attr, None)
    with pytest.raises(AttributeError):
        c.other = 1
    with pytest.raises(TypeError):
        type("Sub", (Circ,), {})


def test_class_docstrings_and_signatures():
    assert Circ.__doc__ == "Circuit with an explicit trailing qubit permutation."
    assert Circ.__text_signature__ == "(instrs, perm=None)"
    assert Circ.rotate.__doc__ == "Circularly rotates instruction order by `n`."
    assert Circ.rotate.__text_signature__ == "($self, n)"
    assert Circ.representative_with_perm.__doc__ == (
        "Returns `(representative, applied_perm)` used in canonicalization.")
    assert Circ.__module__ == "builtins"
    assert Circ.instrs.__doc__ == "" and Circ.perm.__doc__ == ""


@pytest.mark.parametrize("instrs,perm,message", [
    ([(h, 2)], [0, 1], "Permutation length must be greater than the max qubit index."),
    ([(x, 8)], None, "Permutation length must be less than or equal to 8"),
    ([(h, 0)], [0, 8], "Permutation values must be less than 8"),
    ([(h, 0)], [1, 1], "Permutation values must be unique"),
    ([(h, 0)], [9, 9], "Permutation values must be less than 8"),
])
def test_constructor_stops(instrs, perm, message):
    assert panics(Circ, [Instr(g, q) for g, *q in instrs], perm) == message
    assert circ((h, 2), perm=[0, 1, 2]).nqubits() == 3


def test_constructor_conversion_errors():
    with pytest.raises(TypeError, match="^argument 'instrs': Can't extract `str` to `Vec`$"):
        Circ("h0")
    with pytest.raises(TypeError, match="^argument 'instrs': 'int' object cannot be converted "
                                        "to 'Instr'$"):
        Circ([1])
    with pytest.raises(TypeError, match="^argument 'perm': Can't extract `str` to `Vec`$"):
        Circ([], "01")
    with pytest.raises(OverflowError):
        Circ([], [256])
    with pytest.raises(TypeError, match=r"^Circ.__new__\(\) missing 1 required positional "
                                        r"argument: 'instrs'$"):
        Circ()
    with pytest.raises(TypeError, match="unexpected keyword argument 'foo'"):
        Circ([], foo=1)


def test_cyclic_indexing_and_iteration():
    c = circ((h, 0), (cx, 0, 1), (t, 1))
    assert str(c[3]) == "h(0)" and str(c[-1]) == "t(1)" and str(c[-4]) == "t(1)"
    assert str(c[2**31 - 1]) == str(c[(2**31 - 1) % 3])
    assert texts(list(c)) == ["h(0)", "cx(0, 1)", "t(1)"]
    assert texts(c.instrs) == texts(c)
    assert panics(lambda: Circ([], [1, 0])[0]) == (
        "attempt to calculate the remainder with a divisor of zero")
    with pytest.raises(OverflowError):
        c[2**31]
    with pytest.raises(TypeError, match="^argument 'i': "):
        c["a"]
    match c:
        case [a, b, _]:
            assert str(a) == "h(0)" and str(b) == "cx(0, 1)"
        case _:
            pytest.fail("a Circ matches as a sequence")


def test_order_equality_and_hash():
    one = circ((x, 0), perm=[0, 1])
    assert one < circ((h, 0), (h, 0), perm=[0, 1])
    assert circ((h, 0)) < circ((h, 0), perm=[0, 1]) < circ((h, 0), perm=[0, 1, 2])
    assert circ((h, 0), perm=[0, 1]) < circ((h, 1), perm=[0, 1])
    assert circ((h, 0)) < circ((x, 0))
    assert circ((cx, 0, 1)) < circ((h, 0), perm=[0, 1])
    # Raw words: (1 0) is 0x02000001, (0 1) is 0x02000008.
    assert circ((h, 0), perm=[1, 0]) < circ((h, 0), perm=[0, 1])
    assert circ((h, 0), perm=[0, 1]) != circ((h, 0), perm=[0, 1, 2])
    a, b = circ((h, 0), (cx, 0, 1)), circ((h, 0), (cx, 0, 1))
    assert a == b and a is not b and a <= b and a >= b and not a != b and not a < b
    assert hash(a) == hash(b)
    assert (a == 1) is False and (a != 1) is True
    with pytest.raises(TypeError):
        a < 1
    data = struct.pack("<I", 2) + struct.pack("<HIBB", 1, 2, 0, 255) + \
        struct.pack("<HIBB", 9, 2, 0, 1) + struct.pack("<I", 0x02000008)
    assert hash(a) == content_hash_fold(data)


# ---- algebra ---------------------------------------------------------------------------------

def test_permut_rotate_inverse_add():
    c = circ((cx, 0, 1), (h, 2), perm=[1, 2, 0])
    p = c.permut([2, 0, 1])
    assert texts(p.instrs) == ["cx(2, 0)", "h(1)"] and p.perm == (1, 2, 0)
    assert circ((h, 0)).permut([1, 0, 2]).perm == (0, 1, 2)
    assert panics(circ((h, 0)).permut, [5]) == (
        "Permutation length must be greater than the max qubit index.")
    with pytest.raises(TypeError, match="^argument 'perm': "):
        c.permut("01")

    r = circ((h, 0), (cx, 0, 1), (t, 2), perm=[1, 2, 0])
    assert r.rotate(0) == r
    assert texts(r.rotate(1).instrs) == ["cx(0, 1)", "t(2)", "h(2)"]
    assert texts(r.rotate(-1).instrs) == ["t(0)", "h(0)", "cx(0, 1)"]
    assert texts(r.rotate(3).instrs) == ["h(2)", "cx(2, 0)", "t(1)"]
    assert panics(r.rotate, 4) == "range start index 4 out of range for slice of length 3"
    assert panics(r.rotate, -5) == (
        "range start index 4294967294 out of range for slice of length 3")
    with pytest.raises(OverflowError):
        r.rotate(2**31)
    for k in range(4):
        assert r.rotate(k).rotate(-k) == r

    assert circ((h, 0), perm=[1, 0]).inverse() == circ((h, 1), perm=[1, 0])
    d = circ((t, 0), (cx, 0, 1), (tdg, 1), (s, 2), perm=[2, 0, 1])
    assert d.inverse().inverse() == d
    assert str(d.inverse()[0]) == "sdg(1)"

    ab = circ((h, 1), perm=[1, 0]) + circ((cx, 0, 2), perm=[0, 2, 1])
    assert texts(ab.instrs) == ["h(1)", "cx(1, 2)"] and ab.perm == (2, 0, 1)
    with pytest.raises(TypeError):
        ab + 1
    with pytest.raises(TypeError):
        1 + ab


def test_swaps():
    c = circ((swap, 0, 1), (x, 0), perm=[0, 1])
    assert c.remove_swaps() == circ((x, 1), perm=[1, 0])
    plain = circ((h, 0), (cx, 1, 0), perm=[1, 0])
    assert plain.remove_swaps() == plain
    assert texts(plain.instrs_with_swaps()) == ["h(0)", "cx(1, 0)", "swap(0, 1)"]
    assert texts(circ((h, 0), perm=[0, 1, 2]).instrs_with_swaps()) == ["h(0)"]
    assert texts(circ((h, 0), perm=[2, 0, 1]).instrs_with_swaps()) == ["h(0)", "swap(0, 2)",
                                                                        "swap(0, 1)"]


def test_semantic_invariants_on_random_circuits():
    rng = random.Random(5)
    for _ in range(60):
        c = random_circ(rng, rng.randrange(1, 7), rng.randrange(1, 5))
        ident = c + c.inverse()
        assert IdentityCirc(ident).check()
        assert IdentityCirc(ident.rotate(rng.randrange(len(ident) + 1))).check()
        folded = c.remove_swaps()
        assert all(i.gate != swap for i in folded.instrs)
        assert IdentityCirc(c + folded.inverse()).check()
        written = Circ(folded.instrs_with_swaps(), list(range(folded.nqubits())))
        assert IdentityCirc(folded + written.inverse()).check()
        # The representative is the prepared circuit relabelled by the permutation it reports.
        rep, p = c.representative_with_perm()
        assert rep == c.representative()
        if not rep.is_empty():
            assert IdentityCirc(c.remove_swaps().permut(list(p)) + rep.inverse()).check()
            q = list(range(c.nqubits()))
            rng.shuffle(q)
            assert c.permut(q).representative() == rep
        # The canonical identity is one, and the same for every rotation and relabelling.
        canon = ident.rotate_representative()
        assert type(canon) is IdentityCirc and canon.check()
        if len(canon):
            q = list(range(ident.nqubits()))
            rng.shuffle(q)
            moved = ident.rotate(rng.randrange(len(ident) + 1)).permut(q)
            assert moved.rotate_representative() == canon


# ---- canonical forms -------------------------------------------------------------------------

def test_representative_examples():
    assert circ((x, 2), perm=[0, 1, 2]).representative() == circ((x, 0))
    assert circ((cx, 1, 0)).representative() == circ((cx, 0, 1))
    assert circ((cx, 0, 1)).representative() == circ((cx, 0, 1))
    assert circ((x, 1), (h, 0)).representative() == circ((h, 0), (x, 1)).representative()
    assert circ((swap, 0, 1)).representative() == Circ([], [1, 0])
    rep, p = Circ([], [0, 1, 2]).representative_with_perm()
    assert rep == Circ([], [0, 1, 2]) and p == ()
    assert circ((swap, 0, 1)).representative_with_perm()[1] == ()
    # Every relabelling gives the same circuit: the smallest raw word wins, not the first.
    rep, p = circ((h, 0), (h, 1), (h, 2)).representative_with_perm()
    assert rep == circ((h, 0), (h, 1), (h, 2)) and p == (2, 1, 0)
    rep, p = circ((x, 0), (h, 1), perm=[0, 1, 2]).representative_with_perm()
    assert rep == circ((h, 0), (x, 1)) and p == (1, 0)


def test_rotate_representative_examples_and_stops():
    hh = circ((h, 0), (h, 0))
    r = hh.rotate_representative()
    assert type(r) is IdentityCirc and r.inner == hh
    assert circ((h, 1), (h, 1), perm=[0, 1]).rotate_representative().inner == hh
    assert Circ([], [0, 1]).rotate_representative().inner == Circ([], [0, 1])
    assert circ((h, 0), (cx, 0, 1), (cx, 0, 1), (h, 0)).rotate_representative().inner == \
        circ((cx, 0, 1), (cx, 0, 1), (h, 0), (h, 0))
    assert panics(circ((x, 0)).rotate_representative).startswith(NOT_IDENTITY)
    assert panics(Circ([], [1, 0]).rotate_representative).startswith(NOT_IDENTITY)
