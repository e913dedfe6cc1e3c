import collections.abc
import gc
import inspect
import struct
import sys

import pytest

from marrowfen import Circ, Gate, IdentityCirc, Instr
from helpers import panics

h = Gate.from_name("h")
x = Gate.from_name("x")
t = Gate.from_name("t")
sdg = Gate.from_name("sdg")
cx = Gate.from_name("cx")


def hh(q=0, n=None):
    perm = None if n is None else list(range(n))
    return Circ([Instr(h, [q]), Instr(h, [q])], perm)


def swap3():
    # SWAP by three CX, undone by the trailing permutation.
    return Circ([Instr(cx, [0, 1]), Instr(cx, [1, 0]), Instr(cx, [0, 1])], [1, 0])


def content_hash_fold(data: bytes) -> int:
    if sys.flags.hash_randomization or sys.hash_info.algorithm != "siphash13":
        pytest.skip("needs PYTHONHASHSEED=0 and siphash13")
    low = hash(data) & 0xFFFFFFFF
    v = low - (1 << 32) if low >= 1 << 31 else low
    return -2 if v == -1 else v


def test_constructor_keeps_the_circuit_and_checks_it():
    c = hh(1, 2)
    i = IdentityCirc(c)
    assert i.inner == c and i.inner is not c
    assert i != c.rotate_representative()
    assert IdentityCirc(circuit=swap3()).inner == swap3()
    assert IdentityCirc(Circ([])).nqubits() == 0
    for bad in [Circ([Instr(x, [0])]), Circ([], [1, 0]), Circ([Instr(h, [0]), Instr(t, [0])])]:
        assert panics(IdentityCirc, bad).startswith("IdentityCirc: circuit is not identity [")


def test_constructor_argument_errors():
    with pytest.raises(TypeError, match="^argument 'circuit': 'int' object cannot be converted "
                                        "to 'Circ'$"):
        IdentityCirc(3)
    with pytest.raises(TypeError, match=r"^IdentityCirc.__new__\(\) missing 1 required "
                                        r"positional argument: 'circuit'$"):
        IdentityCirc()


def test_methods_and_texts():
    i = IdentityCirc(Circ([Instr(t, [0]), Instr(t, [0]), Instr(sdg, [0])]))
    assert i.check() is True
    assert i.nqubits() == 1
    assert str(i) == "Identity { t(0) t(0) sdg(0) (0) }"
    assert repr(i) == "IdentityCirc(Circ { instrs: [t(0), t(0), sdg(0)], perm: (0) })"
    assert i.qargs_forward(0) == [1] and i.qargs_backward(0) == [2]
    s = IdentityCirc(swap3())
    assert s.qargs_forward(2) == [0, 0] and s.qargs_backward(0) == [2, 2]
    assert s.qargs_forward(gate_id=1) == [2, 2]
    assert IdentityCirc.__doc__ == ("Canonical identity circuit (a circuit proven equivalent "
                                    "to identity).")
    assert IdentityCirc.__text_signature__ == "(circuit)"
    assert IdentityCirc.qargs_forward.__text_signature__ == "($self, gate_id)"
    assert str(inspect.signature(IdentityCirc.from_python)) == "(obj)"
    assert IdentityCirc.inner.__doc__ == "Underlying circuit representation."


def test_stops_and_conversion_errors():
    i = IdentityCirc(hh())
    assert panics(i.qargs_forward, 2) == "index out of bounds: the len is 2 but the index is 2"
    assert panics(i.qargs_backward, 9) == "index out of bounds: the len is 2 but the index is 9"
    gone = IdentityCirc.from_python({"instrs": [("h", (0, 255))], "perm": {"raw": 0x02000001}})
    assert panics(gone.qargs_forward, 0) == "Identity { h(0) (1 0) } [4294967295]"
    assert panics(gone.qargs_backward, 0) == ("a Identity { h(0) (1 0) } "
                                              "Circ { instrs: [h(1)], perm: (1 0) } 0")
    assert panics(gone.check).startswith("IdentityCirc: circuit is not identity")
    with pytest.raises(OverflowError):
        i.qargs_forward(-1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        i.qargs_forward(2**32)
    with pytest.raises(TypeError, match="^argument 'gate_id': "):
        i.qargs_backward("0")


def test_cyclic_indexing_and_iteration():
    i = IdentityCirc(swap3())
    assert len(i) == 3
    assert str(i[3]) == "cx(0, 1)" and str(i[-1]) == "cx(0, 1)" and str(i[1]) == "cx(1, 0)"
    assert str(i[-5]) == str(i[1]) and str(i[2**31 - 1]) == str(i[(2**31 - 1) % 3])
    with pytest.raises(OverflowError):
        i[2**31]
    with pytest.raises(TypeError, match="^argument 'idx': "):
        i["a"]
    with pytest.raises(TypeError, match="^argument 'idx': "):
        i[0:2]
    empty = IdentityCirc(Circ([]))
    assert len(empty) == 0 and not empty
    assert panics(lambda: empty[0]) == "attempt to calculate the remainder with a divisor of zero"
    # Iteration visits each instruction once, although indexing is cyclic.
    assert [str(g) for g in i] == ["cx(0, 1)", "cx(1, 0)", "cx(0, 1)"]
    assert list(empty) == []
    # A sequence for the interpreter too: reversible, and accepted where a list is expected.
    assert [str(g) for g in reversed(i)] == ["cx(0, 1)", "cx(1, 0)", "cx(0, 1)"]
    assert Circ(i, [1, 0]) == i.inner
    match i:
        case [a, b, c]:
            assert str(b) == "cx(1, 0)"
        case _:
            pytest.fail("an IdentityCirc matches as a sequence")


def test_comparisons_and_hashes():
    a, b = IdentityCirc(hh()), IdentityCirc(hh())
    longer = IdentityCirc(swap3())
    wider = IdentityCirc(hh(0, 2))
    assert a == b and not a != b and a <= b and a >= b and hash(a) == hash(b)
    assert a != longer and a < longer and longer > a and not longer < a
    assert a < wider  # same instructions, the permutation with fewer entries first
    assert a.hash_value() != wider.hash_value()
    assert (a == 1) is False and a != "x"
    assert a.__eq__(1) is NotImplemented and a.__lt__(a.inner) is NotImplemented
    with pytest.raises(TypeError):
        a < 1
    assert {a: 1}[b] == 1
    # The content hash: count, then gate (2 bytes), 2 (4 bytes), both qubit bytes, per
    # instruction, then the raw permutation.
    data = struct.pack("<I", 2) + struct.pack("<HIBB", 1, 2, 0, 255) * 2 + struct.pack("<I", 1 << 24)
    assert hash(a) == content_hash_fold(data)
    assert hash(a) == hash(a.inner)


def test_plain_form_round_trip_and_errors():
    i = IdentityCirc(swap3())
    p = i.pythonize()
    assert p == {"instrs": [("cx", (0, 1)), ("cx", (1, 0)), ("cx", (0, 1))],
                 "perm": {"raw": 0x02000001}}
    assert list(p) == ["instrs", "perm"]
    assert IdentityCirc.from_python(p) == i
    assert IdentityCirc.from_python(obj=IdentityCirc(Circ([])).pythonize()) == IdentityCirc(Circ([]))

    # No check of any kind: not an identity, a qubit beyond the permutation, extra keys.
    odd = IdentityCirc.from_python({"extra": 1, "perm": {"raw": 0}, "instrs": [["x", [5, 255]]]})
    assert str(odd) == "Identity { x(5) () }"

    class Form(collections.abc.Mapping):
        def __init__(self, d):
            self.d = d

        def __getitem__(self, k):
            return self.d[k]

        def __iter__(self):
            return iter(self.d)

        def __len__(self):
            return len(self.d)

    assert IdentityCirc.from_python(Form(p)) == i

    with pytest.raises(TypeError, match="^missing field `instrs`$"):
        IdentityCirc.from_python({"perm": {"raw": 0}})
    with pytest.raises(TypeError, match="^missing field `perm`$"):
        IdentityCirc.from_python({"instrs": []})
    with pytest.raises(TypeError, match="^missing field `raw`$"):
        IdentityCirc.from_python({"instrs": [], "perm": {}})
    with pytest.raises(TypeError, match="cannot be converted to 'Mapping'"):
        IdentityCirc.from_python([1, 2])
    with pytest.raises(TypeError, match="expected tuple struct Instr32 with 2 elements"):
        IdentityCirc.from_python({"instrs": [("h",)], "perm": {"raw": 0}})
    assert panics(IdentityCirc.from_python, {"instrs": [("nope", (0, 255))], "perm": {"raw": 0}}) \
        == "Failed to deserialize Gate16 from nope"


def test_instance_dict_and_immutability():
    i = IdentityCirc(hh())
    i.note = "kept"
    assert i.note == "kept" and i.__dict__ == {"note": "kept"}
    with pytest.raises(AttributeError):
        i.inner = hh()
    with pytest.raises(TypeError):
        class Sub(IdentityCirc):
            pass
    # A reference cycle through the instance dict is collected.
    i.me = i
    del i
    gc.collect()


def test_rotate_representative_results_check():
    c = Circ([Instr(cx, [0, 1]), Instr(x, [1]), Instr(cx, [0, 1]), Instr(x, [1]),
              Instr(x, [0]), Instr(x, [0])], [0, 1])
    rep = c.rotate_representative()
    assert isinstance(rep, IdentityCirc) and rep.check() is True
    for k in range(-len(c), len(c) + 1):
        assert IdentityCirc(c.rotate(k)).check() is True


@pytest.mark.parametrize("instrs,raw", [
    ([("h", (3, 255))], 0),                       # a qubit and no wires
    ([("h", (5, 255))], 0x02000001),              # a qubit beyond the permutation
    ([("cx", (1, 1))], 0x02000008),               # a repeated qubit
    ([("cx", (0, 255))], 0x02000008),             # too few qubits for the gate
    ([("h", (0, 1))], 0x02000008),                # too many
    ([("h", (255, 0))], 0x01000000),              # an empty first slot
    ([("h", (0, 255))], 0xFFFFFFFF),              # a permutation word that is no permutation
    ([("h", (0, 255)), ("h", (200, 255))], 0x02000008),
])
def test_malformed_forms_stop_without_crashing(instrs, raw):
    i = IdentityCirc.from_python({"instrs": instrs, "perm": {"raw": raw}})
    assert isinstance(panics(i.check), str)
    for k in range(len(i)):
        for query in (i.qargs_forward, i.qargs_backward):
            try:
                assert isinstance(query(k), list)
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
    str(i), repr(i), hash(i), i.pythonize(), i.inner
