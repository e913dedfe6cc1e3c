import inspect
import threading

import numpy as np
import pytest

from marrowfen import Circ, ECCs, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, RawECCs
from helpers import gate_index, panics

h = Gate.from_name("h")
x = Gate.from_name("x")
cx = Gate.from_name("cx")


def xx(q=0):
    return IdentityCirc(Circ([Instr(x, [q]), Instr(x, [q])]))


@pytest.fixture(scope="module")
def eccs():
    return RawECCs.generate(Evaluator(2), [h, cx], 3)[0].simplify()


@pytest.fixture(scope="module")
def built(eccs):
    return IdentityProver.build_from_eccs(eccs)


def fresh(eccs, capfd):
    prover = IdentityProver.build_from_eccs(eccs)
    capfd.readouterr()
    return prover


def candidates(eccs):
    # The identities the builder adds: one per member but the first of each class.
    return sorted({ident for ident, _, _ in eccs.to_identity_circuits()})


def test_class_surface():
    with pytest.raises(TypeError):
        IdentityProver()
    assert IdentityProver.__doc__.startswith("Rule-based prover for circuit identities.\n\n")
    sigs = {
        "build_from_eccs": "(eccs)",
        "par_apply_rules": "($self, identity, additional_size)",
        "add_identity": "($self, identity, additional_size, count_limit)",
        "add_identity_search": "($self, identity, additional_size, count_limit)",
        "prove_identity": "($self, identity, additional_size, count_limit)",
        "prove_identity_with_visited": "($self, identity, additional_size, count_limit)",
        "get_assumed": "($self)",
    }
    for name, sig in sigs.items():
        assert getattr(IdentityProver, name).__text_signature__ == sig, name
    assert IdentityProver.add_identity.__doc__.endswith(
        "Returns `true` when this identity must be kept as an assumption."
    )
    assert isinstance(inspect.getattr_static(IdentityProver, "build_from_eccs"), staticmethod)


def test_build_writes_its_two_lines_and_keeps_the_first_candidate(eccs, capfd):
    capfd.readouterr()
    prover = IdentityProver.build_from_eccs(eccs)
    out, err = capfd.readouterr()
    # Standard error is not a terminal here, so no bar is drawn.
    assert err == f"Building identity prover from {len(eccs)} ECCs\nProving Identities\n"
    assert out == ""

    assumed = prover.get_assumed()
    assert assumed and all(isinstance(a, IdentityCirc) for a in assumed)
    # Nothing is usable when the shortest candidate with instructions comes: it is assumed.
    assert assumed[0] == next(c for c in candidates(eccs) if len(c) > 0)
    # Every assumption was a candidate or an identity reached from one; none is repeated.
    assert len(set(assumed)) == len(assumed)

    # A copy: changing it leaves the prover alone.
    assumed.clear()
    assert prover.get_assumed()


def test_build_from_no_classes(capfd):
    empty = RawECCs.generate(Evaluator(1), [h], 0)[0].simplify().filter_single()
    assert len(empty) == 0
    capfd.readouterr()
    prover = IdentityProver.build_from_eccs(empty)
    assert capfd.readouterr().err == "Building identity prover from 0 ECCs\nProving Identities\n"
    assert prover.get_assumed() == []
    assert prover.par_apply_rules(xx(), 3) == []


def test_add_identity(eccs, capfd):
    prover = fresh(eccs, capfd)
    first = prover.get_assumed()[0]
    assert prover.add_identity(first, 3, 1000) is False  # already accepted
    assert prover.add_identity(IdentityCirc(Circ([])), 3, 1000) is False  # no instructions

    # No rule rewrites an x: kept as an assumption once.
    n = len(prover.get_assumed())
    assert prover.add_identity(xx(), 3, 1000) is True
    assert prover.add_identity(xx(), 3, 1000) is False
    assert prover.get_assumed()[n:] == [xx()]

    # The search alone does not accept what it visited, so it can keep the same identity again.
    visited, assumed = prover.add_identity_search(xx(1), 3, 1000)
    assert (visited, assumed) == ({xx(1)}, True)
    assert prover.add_identity(xx(1), 3, 1000) is True
    assert prover.get_assumed()[n + 1 :] == [xx(1), xx(1)]


def test_prove_identity(eccs, built):
    # An identity without rewrites is named, not derived.
    result, visited = built.prove_identity_with_visited(xx(), 3, 1000)
    assert (result, visited) == (xx(), {xx()})

    derived = 0
    for c in candidates(eccs):
        result, visited = built.prove_identity_with_visited(c, 3, 100000)
        assert c in visited
        assert all(isinstance(v, IdentityCirc) for v in visited)
        assert built.prove_identity(c, 3, 100000) == result
        derived += result is None
    assert derived > 0


def test_par_apply_rules(built):
    for ident in built.get_assumed():
        out = built.par_apply_rules(ident, 0)
        assert all(isinstance(r, IdentityCirc) and len(r) <= len(ident) for r in out)
        assert all(len(r) <= len(ident) + 2 for r in built.par_apply_rules(ident, 2))
    assert any(built.par_apply_rules(ident, 2) for ident in built.get_assumed())

    assert "index out of bounds: the len is 20 but the index is 20" == panics(
        built.par_apply_rules, IdentityCirc(Circ([Instr(x, [0])] * 20)), 0
    )
    assert built.par_apply_rules(IdentityCirc(Circ([Instr(x, [0])] * 18)), 0) == []


def test_argument_errors(built):
    ident = xx()
    with pytest.raises(TypeError, match="^argument 'identity': 'Circ' object cannot be converted to 'IdentityCirc'$"):
        built.par_apply_rules(Circ([]), 0)
    with pytest.raises(OverflowError):
        built.par_apply_rules(ident, -1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        built.prove_identity(ident, 0, 2**32)
    with pytest.raises(TypeError, match=r"^IdentityProver\.add_identity\(\) missing 1 required positional argument: 'count_limit'$"):
        built.add_identity(ident, 0)
    with pytest.raises(TypeError, match="^argument 'eccs': 'int' object cannot be converted to 'ECCs'$"):
        IdentityProver.build_from_eccs(3)
    assert built.prove_identity(identity=ident, additional_size=0, count_limit=5) == ident
    assert "index out of bounds: the len is 0 but the index is 0" == panics(
        built.add_identity_search, xx(2), 2**32 - 1, 10
    )


# ---- adjoints registered where inverses are formed ----------------------------------------------


def unitary(theta):
    """A one-qubit unitary that no other test registers (nor its adjoint)."""
    c, s = np.cos(theta), np.sin(theta)
    return np.array([[c, -s], [s, c]]) @ np.diag([1, np.exp(0.37j * theta)])


def one_member_classes(texts, qubit=0):
    """A class file with one class per gate text, each of the single member `text(qubit)` with
    the identity permutation of one qubit."""
    out = bytearray([len(texts)])
    for text in texts:
        out += bytes([1, 1, len(text)]) + text.encode() + bytes([qubit, 0xFF, 0x80, 0x80, 0x80, 0x08])
    return bytes(out + b"\x01")


def test_a_round_registers_the_adjoints_of_the_identitys_gates_in_order(capfd):
    prover = IdentityProver.build_from_eccs(
        RawECCs.generate(Evaluator(1), [h], 0)[0].simplify().filter_single()
    )
    capfd.readouterr()
    a = unitary(0.123)
    ca = Gate("ca", [], a)
    # cb after ca is h s: the identity's second half, whose adjoints the identity check
    # takes, holds only h and sdg.
    cb = Gate("cb", [], h.matrix @ Gate.from_name("s").matrix @ np.linalg.inv(a))
    first = gate_index(ca)
    assert gate_index(cb) == first + 1
    ident = IdentityCirc(Circ([ca(0), cb(0), h(0), Gate.from_name("sdg")(0)]))
    assert Gate.from_name("ca\u2020") is None and Gate.from_name("cb\u2020") is None

    # The rule base is empty, yet every block is inverted: ca's adjoint, then cb's.
    assert prover.par_apply_rules(ident, 0) == []
    registered = [Gate.from_name(t) for t in ("ca\u2020", "cb\u2020")]
    assert None not in registered
    assert [gate_index(g) for g in registered] == [first + 2, first + 3]
    assert registered == [ca.adjoint(), cb.adjoint()]
    assert gate_index(Gate("later", [], unitary(0.456))) == first + 4


def test_building_inverts_every_class_also_of_one_member(tmp_path, capfd):
    u5 = Gate("u5", [], unitary(0.789))
    u6 = Gate("u6", [], unitary(1.011))
    first = gate_index(u5)
    assert gate_index(u6) == first + 1
    path = tmp_path / "single.eccs"
    path.write_bytes(one_member_classes(["u5", "u6"]))
    assert Gate.from_name("u5\u2020") is None
    prover = IdentityProver.build_from_eccs(ECCs.from_postcard(str(path)))
    assert prover.get_assumed() == []
    registered = [Gate.from_name(t) for t in ("u5\u2020", "u6\u2020")]
    assert None not in registered
    assert [gate_index(g) for g in registered] == [first + 2, first + 3]

    # A single member on a qubit its permutation does not cover stops the building.
    path.write_bytes(one_member_classes(["h"], qubit=1))
    eccs = ECCs.from_postcard(str(path))
    assert panics(IdentityProver.build_from_eccs, eccs) == (
        "Permutation length must be greater than the max qubit index."
    )
    capfd.readouterr()


def test_threads_that_built_provers_exit_cleanly(eccs, capfd):
    # Builds on several Python threads at once agree with one on this thread; each thread keeps
    # per-thread scratch until it exits, and past a few finished threads the C library frees
    # their thread storage.
    want = [str(c) for c in IdentityProver.build_from_eccs(eccs).get_assumed()]
    got = []

    def build():
        got.append([str(c) for c in IdentityProver.build_from_eccs(eccs).get_assumed()])

    for _ in range(3):
        threads = [threading.Thread(target=build) for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert got == [want] * 18
