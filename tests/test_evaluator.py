import math

import pytest

from marrowfen import Evaluator, Gate, Instr, StateVec
from helpers import panics

h = Gate.from_name("h")
x = Gate.from_name("x")
z = Gate.from_name("z")
t = Gate.from_name("t")
s = Gate.from_name("s")
cx = Gate.from_name("cx")


def key(ev, instrs):
    return ev.evaluate(instrs)[0].hash_value()


CIRCUIT = [Instr(h, [0]), Instr(t, [0]), Instr(cx, [0, 1]), Instr(h, [2]), Instr(s, [2]),
           Instr(cx, [2, 1]), Instr(t, [1])]


def relabel(instrs, perm):
    return [Instr(i.gate, [perm[q] for q in i.qargs]) for i in instrs]


def test_class_surface():
    assert Evaluator.__doc__.endswith(
        "Randomized evaluator used to hash circuits and recover permutation metadata.")
    assert Evaluator.__text_signature__ == "(nqubits)"
    assert Evaluator.nqubits.__doc__ == "Returns evaluator qubit count."
    assert Evaluator.evaluate.__text_signature__ == "($self, instrs)"
    assert Evaluator.evaluate.__doc__ == "Python wrapper for circuit evaluation."
    assert Evaluator.initial_key.__doc__ == "Hash key for the empty circuit under this evaluator."
    assert Evaluator.__module__ == "builtins"
    with pytest.raises(TypeError):
        type("Sub", (Evaluator,), {})
    with pytest.raises(AttributeError):
        Evaluator(1).other = 1


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 5])
def test_empty_circuit(n):
    ev = Evaluator(n)
    assert ev.nqubits() == n
    back, front_perm, back_perm, fwd = ev.evaluate([])
    assert type(back) is StateVec and type(fwd) is StateVec
    assert front_perm == back_perm == tuple(range(n))
    assert back.len() == fwd.len() == 2 ** n
    key0 = ev.initial_key()
    assert isinstance(key0, int) and 0 <= key0 < 2 ** 64
    assert key0 == back.hash_value()
    assert ev.evaluate(instrs=[]) [0] == back


def test_key_ignores_relabelling_phase_and_outer_swaps():
    ev = Evaluator(3)
    k = key(ev, CIRCUIT)
    for perm in [(1, 2, 0), (2, 1, 0), (0, 2, 1)]:
        assert key(ev, relabel(CIRCUIT, perm)) == k
    # (Z X)^2 = -1: only a global phase.
    phase = [Instr(z, [1]), Instr(x, [1]), Instr(z, [1]), Instr(x, [1])]
    assert key(ev, CIRCUIT + phase) == k
    swap = [Instr(cx, [0, 1]), Instr(cx, [1, 0]), Instr(cx, [0, 1])]
    assert key(ev, swap + CIRCUIT) == key(ev, CIRCUIT + swap) == k
    # Equal operators meet, different ones do not.
    assert key(ev, [Instr(h, [0]), Instr(x, [0]), Instr(h, [0])]) == key(ev, [Instr(z, [0])])
    assert key(ev, [Instr(h, [0])]) != key(ev, [Instr(x, [0])])
    # Another evaluator gives unrelated keys.
    assert key(Evaluator(3), CIRCUIT) != k


def test_permutations_and_forward_state():
    ev = Evaluator(3)
    back, f, b, fwd = ev.evaluate(CIRCUIT)
    assert sorted(f) == sorted(b) == [0, 1, 2]
    # The forward state is the initial symmetric state after the circuit, phase-fixed.
    assert fwd.check()
    assert abs(fwd[0].imag) == 0.0 and fwd[0].real >= 0
    # Written in its canonical frame (qubit f[i] becomes i) the circuit has identity front perm.
    inv = [0] * 3
    for i, q in enumerate(f):
        inv[q] = i
    canon = relabel(CIRCUIT, inv)
    back2, f2, _, _ = ev.evaluate(canon)
    assert f2 == (0, 1, 2)
    assert back2 == back


def test_equality():
    a, b = Evaluator(2), Evaluator(2)
    assert a == a and not (a != a)
    assert a != b and not (a == b)
    assert a.__eq__(1) is NotImplemented and a.__ne__("x") is NotImplemented
    assert (a == 1) is False
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        hash(a)


def test_argument_errors():
    with pytest.raises(TypeError, match=r"Evaluator.__new__\(\) missing 1 required positional argument: 'nqubits'"):
        Evaluator()
    with pytest.raises(OverflowError):
        Evaluator(-1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        Evaluator(2 ** 32)
    with pytest.raises(TypeError, match="argument 'nqubits': "):
        Evaluator("3")
    ev = Evaluator(2)
    with pytest.raises(TypeError, match="argument 'instrs': Can't extract `str` to `Vec`"):
        ev.evaluate("h")
    with pytest.raises(TypeError, match="argument 'instrs': 'int' object cannot be converted to 'Instr'"):
        ev.evaluate([1])
    with pytest.raises(TypeError, match=r"Evaluator.nqubits\(\) takes 0 positional arguments but 1 was given"):
        ev.nqubits(1)


def test_failures():
    ev = Evaluator(2)
    assert panics(ev.evaluate, [Instr(h, [2])]) == "index out of bounds: the len is 4 but the index is 4"
    for n, index in [(6, 31), (7, 63)]:
        big = Evaluator(n)
        assert big.nqubits() == n
        assert panics(big.initial_key) == f"index out of bounds: the len is 16 but the index is {index}"
    assert panics(Evaluator, 32) == \
        "Number of qubits too large, resulting in overflow for state vector size."
