import inspect
import re

import pytest

from marrowfen import ECCs, Circ, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, Proof, RawECCs
from helpers import panics

h = Gate.from_name("h")
x = Gate.from_name("x")
z = Gate.from_name("z")
s = Gate.from_name("s")
cx = Gate.from_name("cx")


def ident(*instrs):
    return IdentityCirc(Circ(list(instrs)))


HH = ident(Instr(h, [0]), Instr(h, [0]))
XX = ident(Instr(x, [0]), Instr(x, [0]))


@pytest.fixture(scope="module")
def two_qubit():
    eccs = RawECCs.generate(Evaluator(2), [h, s, cx], 3)[0].simplify()
    return IdentityProver.build_from_eccs(eccs), sorted({c for c, _, _ in eccs.to_identity_circuits()})


@pytest.fixture(scope="module")
def one_qubit():
    eccs = RawECCs.generate(Evaluator(1), [h, x, z, s], 6)[0].simplify()
    return IdentityProver.build_from_eccs(eccs), sorted({c for c, _, _ in eccs.to_identity_circuits()})


# ---- Proof ---------------------------------------------------------------------------------------


def test_proof_surface():
    assert Proof.__doc__ == (
        "Exported proof DAG.\n\nEach entry stores:\n- an identity circuit,\n"
        "- either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived."
    )
    assert Proof.__text_signature__ == "(data)"
    assert Proof.raw.__doc__ == "Returns raw proof entries."
    with pytest.raises(TypeError):
        hash(Proof([]))

    empty = Proof([])
    assert (repr(empty), str(empty), empty.raw) == ("0", "", [])

    # Indices are taken as given, also out of range.
    one = Proof(data=[(HH, (5, 7))])
    assert str(one) == f"0: {HH} <- 5, 7\n"
    assert repr(one) == "1"

    p = Proof([(HH, None), (XX, (0, 0)), (HH, (1, 0))])
    assert str(p) == f"0: {HH} <- ASSUME\n1: {XX} <- 0, 0\n2: {HH} <- 1, 0\n"
    raw = p.raw
    assert raw == [(HH, None), (XX, (0, 0)), (HH, (1, 0))]
    assert all(type(e) is tuple and type(e[0]) is IdentityCirc for e in raw)
    assert raw[0][0] is not HH  # copies
    assert Proof(raw) == p


def test_proof_order():
    # The circuit order on identities, then none before any pair, pairs by lhs then rhs, and a
    # proper prefix first.
    assert HH < XX
    ascending = [
        Proof([]),
        Proof([(HH, None)]),
        Proof([(HH, None), (HH, None)]),
        Proof([(HH, (0, 1))]),
        Proof([(HH, (0, 2))]),
        Proof([(HH, (1, 0))]),
        Proof([(XX, None)]),
    ]
    for i, a in enumerate(ascending):
        for j, b in enumerate(ascending):
            assert (a < b, a <= b, a == b, a != b, a > b, a >= b) == (
                i < j, i <= j, i == j, i != j, i > j, i >= j
            ), (i, j)

    assert (Proof([]) == []) is False
    assert Proof([]) != []
    with pytest.raises(TypeError):
        Proof([]) < []


@pytest.mark.parametrize(
    "data, error, message",
    [
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ("ab", TypeError, "Can't extract `str` to `Vec`"),
        ([[HH, None]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([(HH,)], TypeError, "expected tuple of length 2, but got tuple of length 1"),
        ([(Circ([]), None)], TypeError, "'Circ' object cannot be converted to 'IdentityCirc'"),
        ([(HH, 3)], TypeError, "'int' object cannot be converted to 'PyTuple'"),
        ([(HH, (1, 2, 3))], TypeError, "expected tuple of length 2, but got tuple of length 3"),
        ([(HH, (1, "a"))], TypeError, None),
    ],
)
def test_proof_type_errors(data, error, message):
    with pytest.raises(error) as info:
        Proof(data)
    text = str(info.value)
    assert text.startswith("argument 'data': ")
    if message is not None:
        assert text == "argument 'data': " + message


def test_proof_index_range_and_binding():
    assert Proof([(HH, (2**32 - 1, 0))]).raw == [(HH, (2**32 - 1, 0))]
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        Proof([(HH, (2**32, 0))])
    with pytest.raises(OverflowError):
        Proof([(HH, (-1, 0))])
    with pytest.raises(TypeError, match=r"^Proof\.__new__\(\) missing 1 required positional argument: 'data'$"):
        Proof()


# ---- export_proof -------------------------------------------------------------------------------


def test_prover_method_surface():
    sigs = {
        "export_proof": "($self, identity, additional_size, count_limit)",
        "dump_postcard": "($self, filepath)",
        "from_postcard": "(filepath)",
    }
    for name, sig in sigs.items():
        assert getattr(IdentityProver, name).__text_signature__ == sig, name
    assert isinstance(inspect.getattr_static(IdentityProver, "from_postcard"), staticmethod)
    assert IdentityProver.export_proof.__doc__.endswith(
        "Exports a proof DAG when `identity` is derivable under the given limits."
    )
    assert IdentityProver.dump_postcard.__doc__.endswith("Stores a prover as postcard serialization.")
    assert IdentityProver.from_postcard.__doc__.endswith("Loads a prover from postcard serialization.")


def check_proof(proof, start, assumed):
    """Entry 0 is the start, entries without premises are the prover's assumptions or have no
    instructions, every index is in range, no identity
    is listed twice and the numbering is the depth-first pre-order from entry 0."""
    raw = proof.raw
    assert raw[0][0] == start
    assert len({e[0] for e in raw}) == len(raw)
    order = []

    def visit(i):
        order.append(i)
        dep = raw[i][1]
        if dep is None:
            assert raw[i][0] in assumed or len(raw[i][0]) == 0  # no instructions: trivially true
            return
        for k in dep:
            assert 0 <= k < len(raw)
            if k not in order:
                visit(k)

    visit(0)
    assert order == list(range(len(raw)))


def test_export_proof_end_to_end(two_qubit, capfd):
    prover, cands = two_qubit
    assumed = prover.get_assumed()
    capfd.readouterr()
    derived = 0
    for c in cands:
        proof = prover.export_proof(c, 3, 100000)
        out = capfd.readouterr().out
        if prover.prove_identity(c, 3, 100000) is not None:
            assert proof is None and out == ""  # not derivable: nothing written
            continue
        assert isinstance(proof, Proof)
        check_proof(proof, c, assumed)
        if c in assumed:
            assert proof == Proof([(c, None)]) and out == ""
        if len(proof.raw) > 1:
            derived += 1
            assert out.startswith(f"Exploring {c.hash_value():x} {len(c)} {c} (0 queued)\n")
    assert derived > 0
    # Searches of an identity without rewrites end without a proof.
    assert prover.export_proof(XX, 3, 100000) is None
    assert capfd.readouterr().out == ""


def check_replay(prover, proof, additional_size):
    """Every derived entry is rewritten by one round into one of its two premises (the rewritten
    identity; the other is the rule identity, itself an identity)."""
    raw = proof.raw
    bound = len(raw[0][0]) + additional_size
    for identity, dep in raw:
        if dep is None:
            continue
        a, b = raw[dep[0]][0], raw[dep[1]][0]
        rewrites = prover.par_apply_rules(identity, bound - len(identity))
        assert a in rewrites or b in rewrites, identity
        assert a.check() and b.check()


# The class file of the single class {empty circuit, h(0) h(0)} over one qubit.
HH_CLASS = bytes.fromhex("01 02 00 80 80 80 08 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01")
EMPTY = ident()
HHHH = ident(*[Instr(h, [0])] * 4)


@pytest.fixture(scope="module")
def hh_prover(tmp_path_factory):
    path = tmp_path_factory.mktemp("hh") / "hh.eccs"
    path.write_bytes(HH_CLASS)
    return IdentityProver.build_from_eccs(ECCs.from_postcard(str(path)))


def test_the_identity_without_instructions_is_trivially_true(hh_prover, capfd):
    prover = hh_prover
    assert prover.get_assumed() == [HH]
    for limit in (0, 10):
        assert prover.prove_identity_with_visited(EMPTY, 3, limit) == (None, {EMPTY})
    # h h rewrites to the identity without instructions; h h h h to h h first.
    for start in (HH, HHHH):
        result, visited = prover.prove_identity_with_visited(start, 3, 100)
        assert result is None
        assert any(len(v) == 0 for v in visited)

    capfd.readouterr()
    assert prover.export_proof(EMPTY, 3, 100) == Proof([(EMPTY, None)])
    assert prover.export_proof(HH, 3, 100) == Proof([(HH, None)])
    proof = prover.export_proof(HHHH, 3, 100)
    assert len(proof.raw) > 1
    check_proof(proof, HHHH, [HH])
    check_replay(prover, proof, 3)


def test_every_assumption_of_a_real_prover_exports(capfd):
    t = Gate.from_name("t")
    eccs = RawECCs.generate(Evaluator(2), [h, t, cx], 5)[0].simplify()
    prover = IdentityProver.build_from_eccs(eccs)
    assumed = prover.get_assumed()
    tt = ident(Instr(t, [0]), Instr(Gate.from_name("tdg"), [0]))
    assert HH in assumed and tt in assumed
    cands = sorted({c for c, _, _ in eccs.to_identity_circuits()})
    capfd.readouterr()
    for c in assumed:
        assert prover.export_proof(c, 3, 100000) == Proof([(c, None)])
    derived = 0
    for c in cands:
        proof = prover.export_proof(c, 3, 100000)
        assert (proof is None) == (prover.prove_identity(c, 3, 100000) is not None)
        if proof is None:
            continue
        check_proof(proof, c, assumed)
        check_replay(prover, proof, 3)
        derived += len(proof.raw) > 1
    assert derived > 0


EXPLORING = re.compile(r"^Exploring [0-9a-f]+ (\d+) (Identity \{ .* \}) \((\d+) queued\)$")


def test_export_progress_lines(one_qubit, capfd):
    prover, cands = one_qubit
    capfd.readouterr()
    most = 0
    for half in cands:
        c = (half.inner + half.inner).rotate_representative()
        if len(c) + 2 > 19:
            continue
        proof = prover.export_proof(c, 2, 100000)
        out, err = capfd.readouterr()
        assert err == ""
        lines = out.splitlines()
        if proof is None:
            assert lines == []
            continue
        if len(proof.raw) > 1:
            assert lines[0] == f"Exploring {c.hash_value():x} {len(c)} {c} (0 queued)"
        for line in lines:
            m = EXPLORING.match(line)
            assert m, line
            assert len(m.group(2).split(" ")) - 4 == int(m.group(1))  # length of the node shown
        most = max(most, len(lines))
    # Some search works on more than 50 nodes, so a second line comes.
    assert most >= 2


def test_export_limits(two_qubit, capfd):
    prover, cands = two_qubit
    assumed = prover.get_assumed()
    capfd.readouterr()
    # With count_limit 0 the tracker, already holding the start, gives up at its first pop
    # while the read-only search still finds a first-round rewrite accepted.
    stopped = 0
    for c in cands:
        if c in assumed or prover.prove_identity(c, 2, 0) is not None:
            continue
        assert panics(prover.export_proof, c, 2, 0) == "Failed to export proof for proved identity"
        assert capfd.readouterr().out == "Proof search exceeded limit of 0 states.\n"
        stopped += 1
    assert stopped > 0
    # Not derivable within the limits: None and nothing written.
    some = next(c for c in cands if prover.prove_identity(c, 0, 1) is not None)
    capfd.readouterr()
    assert prover.export_proof(some, 0, 1) is None
    assert capfd.readouterr().out == ""


def test_export_argument_errors(two_qubit):
    prover, _ = two_qubit
    with pytest.raises(TypeError, match="^argument 'identity': 'Circ' object cannot be converted to 'IdentityCirc'$"):
        prover.export_proof(Circ([]), 3, 10)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        prover.export_proof(XX, 3, 2**32)
    with pytest.raises(TypeError, match=r"^IdentityProver\.export_proof\(\) missing 1 required positional argument: 'count_limit'$"):
        prover.export_proof(XX, 3)
    assert prover.export_proof(identity=XX, additional_size=0, count_limit=5) is None


# ---- prover file --------------------------------------------------------------------------------

# One assumption h(0) h(0) over one wire, the same identity accepted, no rules.
EXAMPLE = bytes.fromhex(
    "01 02 01 68 00 FF 01 68 00 FF 80 80 80 08"
    " 01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 00"
)


def test_prover_file_layout(tmp_path, capfd):
    path = str(tmp_path / "p.pc")
    (tmp_path / "ex.pc").write_bytes(EXAMPLE + b"\x99\x98")  # trailing bytes are not read
    p = IdentityProver.from_postcard(str(tmp_path / "ex.pc"))
    assert p.get_assumed() == [HH]
    assert p.par_apply_rules(HH, 3) == []
    p.dump_postcard(path)
    assert (tmp_path / "p.pc").read_bytes() == EXAMPLE

    # A prover built from no classes.
    (tmp_path / "none.eccs").write_bytes(b"\x00\x00")
    empty = IdentityProver.build_from_eccs(ECCs.from_postcard(str(tmp_path / "none.eccs")))
    capfd.readouterr()
    empty.dump_postcard(path)
    assert (tmp_path / "p.pc").read_bytes() == b"\x00\x00\x00"
    assert IdentityProver.from_postcard(path).get_assumed() == []


def test_prover_file_round_trip(two_qubit, tmp_path, capfd):
    prover, cands = two_qubit
    path = str(tmp_path / "p.pc")
    prover.dump_postcard(path)
    back = IdentityProver.from_postcard(path)
    assert back.get_assumed() == prover.get_assumed()

    # The same accepted set and rule base: every rewrite round (whose order depends on the cuts
    # and the rule lists only), search and export comes out the same.
    capfd.readouterr()
    seen = set(cands) | set(prover.get_assumed())
    for c in sorted(seen):
        assert back.par_apply_rules(c, 2) == prover.par_apply_rules(c, 2)
        assert back.prove_identity_with_visited(c, 3, 100000) == prover.prove_identity_with_visited(c, 3, 100000)
        assert back.export_proof(c, 3, 100000) == prover.export_proof(c, 3, 100000)
    # The sets and maps are written in their own hash order: the bytes may differ, the size not.
    back.dump_postcard(str(tmp_path / "q.pc"))
    assert len((tmp_path / "q.pc").read_bytes()) == len((tmp_path / "p.pc").read_bytes())


def test_prover_file_errors(two_qubit, tmp_path):
    prover, _ = two_qubit
    missing = str(tmp_path / "no_such_dir" / "p.pc")
    with pytest.raises(OSError, match=r"^Failed to create file: No such file or directory \(os error 2\)$"):
        prover.dump_postcard(missing)
    with pytest.raises(OSError, match=r"^Failed to open file: No such file or directory \(os error 2\)$"):
        IdentityProver.from_postcard(missing)
    with pytest.raises(TypeError, match="^argument 'filepath': 'int' object cannot be converted to 'PyString'$"):
        prover.dump_postcard(5)
    with pytest.raises(TypeError, match="^argument 'filepath': 'bytes' object cannot be converted to 'PyString'$"):
        IdentityProver.from_postcard(b"p.pc")

    # A file cut anywhere inside the structure.
    path = tmp_path / "p.pc"
    prover.dump_postcard(str(path))
    data = path.read_bytes()
    for cut in (0, 2, 1, len(data) // 2, len(data) - 1):
        path.write_bytes(data[:cut])
        with pytest.raises(ValueError, match="^Failed to read postcard data: Hit the end of buffer, expected more data$"):
            IdentityProver.from_postcard(str(path))

    # A gate text the registry does not hold stops the call.
    path.write_bytes(EXAMPLE.replace(b"\x01\x68", b"\x01\x71"))
    assert panics(IdentityProver.from_postcard, str(path)) == "Failed to deserialize Gate16 from q"

    with pytest.raises(ValueError, match="^Failed to write postcard data: The serialize buffer is full$"):
        prover.dump_postcard("/dev/full")
