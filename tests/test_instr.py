import struct
import sys

import pytest

from helpers import panics
from marrowfen import Argument, Gate, Instr

cx = Gate.from_name("cx")
h = Gate.from_name("h")
t = Gate.from_name("t")


def content_hash_fold(data: bytes) -> int:
    if sys.flags.hash_randomization or sys.hash_info.algorithm != "siphash13":
        pytest.skip("needs PYTHONHASHSEED=0 and siphash13")
    low = hash(data) & 0xFFFFFFFF
    v = low - (1 << 32) if low >= 1 << 31 else low
    return -2 if v == -1 else v


def test_constructor_and_getters():
    i = Instr(cx, [0, 1])
    assert str(i) == repr(i) == "cx(0, 1)"
    assert i.qargs == b"\x00\x01" and type(i.qargs) is bytes
    assert i.gate == cx and i.gate is not cx
    assert Instr(h, (2,)).qargs == b"\x02"
    assert str(Instr(Gate.from_name("rz(pi/3)"), [0])) == "rz(pi/3)(0)"
    assert str(Instr(gate=h, qargs=[4])) == "h(4)"
    for attr in ["gate", "qargs"]:
        with pytest.raises(AttributeError):
            setattr(i, attr, None)
    with pytest.raises(AttributeError):
        i.other = 1


@pytest.mark.parametrize("gate,qargs,message", [
    (cx, [0], "Number of qubit arguments does not match gate arity"),
    (h, [], "Number of qubit arguments does not match gate arity"),
    (h, [1, 1], "Number of qubit arguments does not match gate arity"),
    (cx, [1, 1], "Qubit arguments must be unique"),
    (h, [255], "Qubit index 255 is reserved for an empty slot"),
    (cx, [0, 255], "Qubit index 255 is reserved for an empty slot"),
])
def test_constructor_stops(gate, qargs, message):
    assert panics(Instr, gate, qargs) == message


def test_constructor_conversion_errors():
    with pytest.raises(TypeError, match="^argument 'qargs': Can't extract `str` to `Vec`$"):
        Instr(cx, "01")
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        Instr(h, [256])
    with pytest.raises(TypeError, match="^argument 'gate': 'str' object cannot be converted "
                                        "to 'Gate'$"):
        Instr("h", [0])
    with pytest.raises(TypeError, match=r"^Instr.__new__\(\) missing 1 required positional "
                                        r"argument: 'qargs'$"):
        Instr(h)


def test_identity_comparison_content_hash():
    a, b = Instr(cx, [0, 1]), Instr(cx, [0, 1])
    assert hash(a) == hash(b)
    assert a != b and not (a == b)
    assert a == a
    with pytest.raises(TypeError):
        a < b
    # Gate (2 bytes), count 2 (4 bytes), both slot bytes (255 for an empty one).
    assert hash(a) == content_hash_fold(bytes([9, 0, 2, 0, 0, 0, 0, 1]))
    assert hash(Instr(h, [2])) == content_hash_fold(bytes([1, 0, 2, 0, 0, 0, 2, 255]))
    assert hash(Instr(h, [2])) != hash(Instr(h, [3]))


@pytest.mark.parametrize("instr,perm,expected", [
    ((cx, [0, 1]), [1, 0], "cx(1, 0)"),
    ((h, [3]), [1, 0], "h(0)"),  # past the permutation's length: 0
    ((cx, [2, 0]), (2, 0, 1), "cx(1, 2)"),
    ((h, [0]), [], "h(0)"),
])
def test_apply_permutation(instr, perm, expected):
    i = Instr(*instr)
    assert str(i.apply_permutation(perm)) == expected
    assert str(i.permut(perm=perm)) == expected
    assert str(i) == str(Instr(*instr))  # the receiver is unchanged


@pytest.mark.parametrize("qubit,perm,message", [
    (9, [1, 0], "assertion failed: idx < 8"),
    (0, [0, 8], "Permutation values must be less than 8"),
    (0, [1, 1], "Permutation values must be unique"),
    (0, [9, 9], "Permutation values must be less than 8"),
])
def test_apply_permutation_stops(qubit, perm, message):
    assert panics(Instr(h, [qubit]).apply_permutation, perm) == message


def test_apply_permutation_conversion_errors():
    i = Instr(h, [0])
    with pytest.raises(TypeError, match="^argument 'perm': Can't extract `str` to `Vec`$"):
        i.apply_permutation("01")
    with pytest.raises(TypeError, match="^argument 'perm': 'int' object cannot be converted "
                                        "to 'Sequence'$"):
        i.permut(1)
    with pytest.raises(OverflowError):
        i.apply_permutation([0, 256])
    with pytest.raises(TypeError, match=r"^Instr.apply_permutation\(\) missing 1 required "
                                        r"positional argument: 'perm'$"):
        i.apply_permutation()


def test_masks_and_qubits():
    assert Instr(cx, [0, 9]).arg_mask() == 0b11
    assert Instr(cx, [2, 5]).arg_mask() == 0b100100
    assert Instr(cx, [5, 2]).largest_qubit() == 5
    assert Instr(h, [3]).largest_qubit() == 3
    assert Instr(cx, [0, 1]).disjoint(Instr(h, [2]))
    assert not Instr(cx, [0, 1]).disjoint(other=Instr(h, [1]))
    with pytest.raises(TypeError, match="^argument 'other': 'Gate' object cannot be converted "
                                        "to 'Instr'$"):
        Instr(h, [0]).disjoint(h)
    i = Instr(cx, [2, 5])
    assert [i.position_of_qubit(q) for q in (2, 5, 3, 255)] == [0, 1, None, None]
    with pytest.raises(OverflowError):
        i.position_of_qubit(256)


@pytest.mark.parametrize("instr,mask,expected", [
    ((cx, [0, 1]), 0, 0b11),
    ((cx, [1, 0]), 0, None),
    ((h, [0]), 0, 1),
    ((cx, [0, 1]), 0b01, 0b11),
    ((cx, [2, 0]), 0b01, None),
    ((cx, [3, 6]), 255, 255),
])
def test_pass_mask(instr, mask, expected):
    assert Instr(*instr).pass_mask(mask) == expected


def test_adjoint():
    a = Instr(t, [3]).adjoint()
    assert str(a) == "tdg(3)" and a.gate == Gate.from_name("tdg")
    assert str(Instr(cx, [1, 0]).adjoint()) == "cx(1, 0)"


def test_docstrings_and_signatures():
    assert Instr.__text_signature__ == "(gate, qargs)"
    assert Instr.__doc__.startswith("A compact, index-only quantum instruction")
    assert Instr.apply_permutation.__text_signature__ == "($self, perm)"
    assert Instr.pass_mask.__text_signature__ == "($self, mask)"
    assert Instr.apply_permutation.__doc__ == "Applies a qubit permutation."
    assert Instr.qargs.__doc__ == "Qubit arguments as dense integer indices."
    assert Instr.gate.__doc__ == "Underlying gate."


def test_gate_call_makes_the_same_instruction():
    assert hash(cx(0, 1)) == hash(Instr(cx, [0, 1]))
    assert str(cx(1, 0)) == "cx(1, 0)"
    assert type(cx(Argument("q", 0), Argument("q", 1))).__name__ == "Instruction"
