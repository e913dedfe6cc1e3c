import gc
import sys

import numpy as np
import pytest

from marrowfen import ECC, ECCs, Evaluator, Gate, Instr, RawECCs, StateVec
from helpers import panics

h = Gate.from_name("h")
x = Gate.from_name("x")
t = Gate.from_name("t")
tdg = Gate.from_name("tdg")
cx = Gate.from_name("cx")

EMPTY_LINE = "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\n"


def key(ev, instrs):
    return ev.evaluate(instrs)[0].hash_value()


def texts(instrs):
    return [str(i) for i in instrs]


def relabel(instrs, perm):
    return [Instr(i.gate, [perm[q] for q in i.qargs]) for i in instrs]


def run(state, instrs):
    s = state.clone()
    for i in instrs:
        s *= i
    s.normalize_arg()
    return s


def all_act_alike(ecc, nqubits):
    # The materialised circuits of a class (members with SWAPs for their permutations relative
    # to member 0) all act alike up to global phase.
    start = StateVec.random(nqubits)
    results = [run(start, c) for c in ecc.circuits()]
    return all(r == results[0] for r in results)


@pytest.fixture(scope="module")
def searched():
    ev = Evaluator(3)
    m, counters = RawECCs.generate(ev, [h, t, cx], 3)
    return ev, m, counters


def test_class_surface():
    assert RawECCs.__text_signature__ == "(evaluator)"
    assert RawECCs.__doc__.endswith(
        "Mutable ECC map keyed by evaluator hash.\n\n"
        "This is the direct output of the search algorithm before final simplification.")
    assert RawECCs.search.__text_signature__ == "(evaluator, instrs, max_size)"
    assert RawECCs.generate.__doc__ == (
        "Generates ECCs from a gate set using the optimized search.\n\n"
        "Adjoint gates are added automatically if missing.")
    assert RawECCs.search_naive.__doc__ == (
        "Exhaustive baseline search without permutation-based multiplicity reduction.")
    assert RawECCs.find_equivalents.__text_signature__ == "($self, evaluator, instrs)"
    assert RawECCs.compute_next_key.__text_signature__ == "($self, evaluator, current_key, instr)"
    assert RawECCs.switch_evaluator.__doc__.startswith(
        "Re-evaluates all stored circuits under a new evaluator.")
    m = RawECCs(Evaluator(1))
    with pytest.raises(TypeError):
        len(m)
    with pytest.raises(TypeError):
        m < m
    with pytest.raises(AttributeError):
        m.other = 1
    with pytest.raises(TypeError):
        type("Sub", (RawECCs,), {})


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
def test_new_holds_the_root_class(n):
    ev = Evaluator(n)
    m = RawECCs(ev)
    root = m.find_equivalents(ev, [])
    assert type(root) is ECC
    assert root.circuits() == [[]]
    assert m.compute_next_key(ev, ev.initial_key(), Instr(h, [0])) is None
    if hasattr(m, "simplify"):
        assert len(m.simplify()) == 1


def test_empty_alphabet(capfd):
    ev = Evaluator(2)
    m, counters = RawECCs.search(ev, [], 3)
    assert capfd.readouterr().out == EMPTY_LINE
    assert type(m) is RawECCs and counters == [1, 0, 0]
    assert m.find_equivalents(ev, []).circuits() == [[]]


def test_one_qubit_two_gates(capfd):
    ev = Evaluator(1)
    m, counters = RawECCs.search(ev, [Instr(h, [0]), Instr(x, [0])], 1)
    assert counters == [1, 2, 2]
    assert capfd.readouterr().out == EMPTY_LINE
    assert len(m.simplify()) == 3
    # max_size 0 explores the circuits of one instruction too.
    _, counters0 = RawECCs.search(evaluator=ev, instrs=[Instr(h, [0]), Instr(x, [0])], max_size=0)
    assert counters0 == [1, 2, 2]


def test_progress_every_400_expansions(capfd):
    ev = Evaluator(2)
    m, counters = RawECCs.generate(ev, [h, t, cx], 5)
    lines = capfd.readouterr().out.splitlines(keepends=True)
    assert 400 < counters[0] <= 800
    assert len(lines) == 2
    assert lines[0] == EMPTY_LINE
    assert lines[1].startswith("#400 Exploring ")
    assert f", {400 * 8} circs, " in lines[1]  # 8 placements: h, t, tdg on 2 qubits, cx twice
    assert counters[1] == counters[0] * 8 and counters[2] >= counters[1]


def test_generate_alphabets(capfd):
    one = Evaluator(1)
    # Two-qubit gates on one qubit place nothing.
    assert RawECCs.generate(one, [cx], 3)[1] == [1, 0, 0]
    # t brings its adjoint; a gate given twice is placed twice.
    _, c = RawECCs.generate(one, [t], 1)
    assert c[:2] == [1, 2]
    _, c = RawECCs.generate(one, [h, h], 1)
    assert c[:2] == [1, 2]
    _, c = RawECCs.generate_naive(one, [t, tdg], 1)
    assert c[:2] == [1, 2]
    assert capfd.readouterr().out.count("\n") == 4
    ccx = np.eye(8, dtype=complex)[[0, 1, 2, 3, 4, 5, 7, 6]]
    g3 = Gate("test_raweccs_ccx", [], ccx)
    assert panics(RawECCs.generate, Evaluator(3), [h, g3], 2) == \
        "Only 1 and 2 qubit instructions are supported"


def test_naive_search(capfd):
    ev = Evaluator(1)
    m, counters = RawECCs.search_naive(ev, [Instr(h, [0]), Instr(x, [0])], 2)
    assert counters[2] == counters[1] == counters[0] * 2
    eccs = m.simplify()
    # h h founds the class of the identity's forward key; x x joins it. The root keeps only the
    # empty circuit.
    found = [e.circuits() for e in eccs.to_list()]
    assert [[]] in found
    assert [[texts(i) for i in c] for c in found if len(c) == 2] == \
        [[["h(0)", "h(0)"], ["x(0)", "x(0)"]]]


def test_search_classes_are_sound(searched):
    ev, m, counters = searched
    eccs = m.simplify()
    assert type(eccs) is ECCs and eccs.nqubits == 3
    assert eccs.check() == []
    for e in eccs.filter_single().to_list():
        assert all_act_alike(e, 3)


def test_find_equivalents(searched):
    ev, m, _ = searched
    queries = [
        [Instr(h, [0]), Instr(cx, [0, 1])],
        [Instr(cx, [2, 1]), Instr(t, [1]), Instr(cx, [2, 1])],
        [Instr(t, [2]), Instr(t, [2])],
    ]
    for q in queries:
        e = m.find_equivalents(ev, q)
        assert type(e) is ECC
        assert all_act_alike(e, 3)
        # Relabelling the query finds a class of the same size.
        e2 = m.find_equivalents(ev, relabel(q, (2, 0, 1)))
        assert len(e2.circuits()) == len(e.circuits())
    deep = [Instr(h, [0]), Instr(t, [0]), Instr(h, [0]), Instr(t, [0]), Instr(h, [0]),
            Instr(cx, [0, 1]), Instr(t, [1]), Instr(h, [1]), Instr(cx, [1, 2])]
    assert m.find_equivalents(ev, deep) is None


def test_find_equivalents_of_a_stored_member_contains_it(capfd):
    ev = Evaluator(2)
    m, _ = RawECCs.search(ev, [Instr(h, [0]), Instr(h, [1]), Instr(cx, [0, 1])], 2)
    q = [Instr(h, [0]), Instr(cx, [0, 1])]
    e = m.find_equivalents(ev, q)
    # The query founded its class (nothing before it in breadth-first order reaches it), so it
    # comes back first, in its own frame, with the identity permutation: no SWAP gates.
    assert texts(e.circuits()[0]) == texts(q)


def test_compute_next_key(searched):
    ev, m, _ = searched
    root = ev.initial_key()
    assert m.compute_next_key(ev, root, Instr(h, [0])) == key(ev, [Instr(h, [0])])
    assert m.compute_next_key(ev, root, instr=Instr(cx, [1, 2])) == key(ev, [Instr(cx, [0, 1])])
    # The class of t(1) has the representative t(0), found first; it is what gets extended.
    k = m.compute_next_key(ev, root, Instr(t, [1]))
    assert k == key(ev, [Instr(t, [0])])
    assert m.compute_next_key(ev, k, Instr(t, [0])) == key(ev, [Instr(t, [0]), Instr(t, [0])])
    assert m.compute_next_key(ev, k, Instr(t, [1])) == key(ev, [Instr(t, [0]), Instr(t, [1])])
    assert m.compute_next_key(ev, root ^ 1, Instr(h, [0])) is None
    with pytest.raises(OverflowError):
        m.compute_next_key(ev, 2 ** 64, Instr(h, [0]))
    with pytest.raises(OverflowError):
        m.compute_next_key(ev, -1, Instr(h, [0]))
    with pytest.raises(TypeError, match="argument 'instr': 'Gate' object cannot be converted to 'Instr'"):
        m.compute_next_key(ev, root, h)


def test_switch_evaluator(capfd):
    ev = Evaluator(3)
    m, _ = RawECCs.generate(ev, [h, t, cx], 3)
    ev2 = Evaluator(3)
    before = m.simplify()
    refs = sys.getrefcount(m)
    # The switched map shares the source's cells, not the source object.
    tmp = m.switch_evaluator(ev2)
    assert sys.getrefcount(m) == refs
    del tmp
    assert sys.getrefcount(m) == refs
    m2 = m.switch_evaluator(ev2)
    assert type(m2) is RawECCs
    del m
    gc.collect()
    # The source is gone; its cells live on with the switched map.
    after = m2.simplify()
    assert len(after) == len(before)
    assert after.check() == []
    q = [Instr(h, [1]), Instr(cx, [1, 2]), Instr(t, [2])]
    e2 = m2.find_equivalents(ev2, q)
    assert e2 is not None and all_act_alike(e2, 3)
    assert m2.compute_next_key(ev2, ev2.initial_key(), Instr(h, [0])) == key(ev2, [Instr(h, [0])])
    # Switching again, then dropping every map but the last.
    m3 = m2.switch_evaluator(new_evaluator=Evaluator(3))
    del m2
    gc.collect()
    assert len(m3.simplify()) == len(before)
    # Back under the first evaluator: the same classes under the same keys (members with
    # several fingerprint pairs may now carry the first pair only, so compare class sizes).
    back = m3.switch_evaluator(ev)
    for q in [[], [Instr(h, [0])], [Instr(h, [0]), Instr(cx, [0, 1])], [Instr(t, [2]), Instr(t, [2])]]:
        assert len(back.find_equivalents(ev, q).circuits()) == \
            len(RawECCs.generate(ev, [h, t, cx], 3)[0].find_equivalents(ev, q).circuits())


def test_argument_errors():
    ev = Evaluator(2)
    with pytest.raises(TypeError, match="argument 'evaluator': 'int' object cannot be converted to 'Evaluator'"):
        RawECCs(1)
    with pytest.raises(TypeError, match=r"RawECCs.search\(\) missing 1 required positional argument: 'max_size'"):
        RawECCs.search(ev, [])
    with pytest.raises(TypeError, match="argument 'instrs': Can't extract `str` to `Vec`"):
        RawECCs.search(ev, "h", 1)
    with pytest.raises(TypeError, match="argument 'gates': 'Instr' object cannot be converted to 'Gate'"):
        RawECCs.generate(ev, [Instr(h, [0])], 1)
    with pytest.raises(OverflowError):
        RawECCs.search(ev, [], -1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        RawECCs.generate(ev, [h], 2 ** 32)
    m = RawECCs(ev)
    with pytest.raises(TypeError, match="argument 'new_evaluator': 'RawECCs' object cannot be converted to 'Evaluator'"):
        m.switch_evaluator(m)
    with pytest.raises(TypeError, match="argument 'evaluator': "):
        m.find_equivalents(None, [])


def test_failures(capfd):
    assert panics(RawECCs, Evaluator(6)) == "index out of bounds: the len is 16 but the index is 31"
    ev = Evaluator(2)
    assert panics(RawECCs.search, ev, [Instr(h, [0]), Instr(h, [3])], 2) == \
        "index out of bounds: the len is 4 but the index is 8"
    assert panics(RawECCs(ev).find_equivalents, ev, [Instr(h, [2])]) == \
        "index out of bounds: the len is 4 but the index is 4"
