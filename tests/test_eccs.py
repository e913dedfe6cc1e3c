import inspect
import json
import os

import numpy as np
import pytest

from marrowfen import ECC, ECCs, Circ, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, RawECCs
from helpers import panics

h = Gate.from_name("h")
x = Gate.from_name("x")
cx = Gate.from_name("cx")
t = Gate.from_name("t")

# The class file of one class {empty circuit, h(0) h(0)} on one qubit.
EXAMPLE = bytes.fromhex("01 02 00 80808008 02 0168 00FF 0168 00FF 80808008 01")


def varint(v):
    out = bytearray()
    while True:
        b = v & 0x7F
        v >>= 7
        if v:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def perm_raw(entries):
    raw = len(entries) << 24
    for i, e in enumerate(entries):
        raw |= e << (3 * i)
    return raw


def class_file(classes, nqubits):
    """classes: lists of members (instrs, perm); instrs: (gate text, q0, q1) with 255 empty."""
    out = bytearray(varint(len(classes)))
    for members in classes:
        out += varint(len(members))
        for instrs, perm in members:
            out += varint(len(instrs))
            for text, a, b in instrs:
                data = text.encode()
                out += varint(len(data)) + data + bytes([a, b])
            out += varint(perm_raw(perm))
    out += varint(nqubits)
    return bytes(out)


@pytest.fixture
def load(tmp_path):
    def load(data):
        path = tmp_path / "eccs.bin"
        path.write_bytes(data)
        return ECCs.from_postcard(str(path))

    return load


def texts(circuits):
    return [[str(i) for i in c] for c in circuits]


def test_example_file_loads_and_writes_the_same_bytes(load, tmp_path):
    eccs = load(EXAMPLE)
    assert len(eccs) == 1 and eccs.nqubits == 1
    assert str(eccs) == "ECC {\n\t,\n\th(0) h(0),\n}"
    [ecc] = eccs.to_list()
    assert str(ecc) == "ECC {\n\t,\n\th(0) h(0),\n}"
    assert texts(ecc.circuits()) == [[], ["h(0)", "h(0)"]]
    assert all(type(i) is Instr for c in ecc.circuits() for i in c)
    out = tmp_path / "again.bin"
    assert eccs.dump_postcard(str(out)) is None
    assert out.read_bytes() == EXAMPLE
    assert ECCs.from_postcard(str(out)) == eccs
    # Trailing bytes are never read.
    assert load(EXAMPLE + b"\xff\xff\x00") == eccs


def test_equality_and_comparisons(load):
    a = load(EXAMPLE)
    b = load(EXAMPLE)
    assert a == b and not (a != b)
    assert a != load(EXAMPLE[:-1] + b"\x02")  # same classes, other qubit count
    assert a.to_list()[0] == b.to_list()[0]
    assert a.to_list() != load(class_file([[([], [0])]], 1)).to_list()
    assert (a == 1) is False and (a.to_list()[0] == "x") is False
    for lhs, rhs in [(a, b), (a.to_list()[0], b.to_list()[0])]:
        with pytest.raises(TypeError):
            lhs < rhs
        with pytest.raises(TypeError):
            hash(lhs)


def test_classes_cannot_be_made_from_python():
    for cls in (ECC, ECCs):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):

            class Sub(cls):
                pass


def test_docstrings_and_signatures():
    assert ECC.__doc__ == "One equivalence class of circuits."
    assert ECCs.__doc__ == "Collection of equivalence classes for a fixed number of qubits."
    assert str(inspect.signature(ECCs.from_postcard)) == "(filepath)"
    assert str(inspect.signature(ECCs.dump_postcard)) == "(self, /, filepath)"
    assert str(inspect.signature(ECCs.dump_quartz)) == "(self, /, filepath)"
    assert str(inspect.signature(ECC.circuits)) == "(self, /)"
    assert ECCs.check.__doc__.endswith("Returns classes that fail randomized equivalence checks.")
    assert RawECCs.simplify.__doc__ == "Converts raw buckets into sorted, normalized ECCs."
    assert ECCs.nqubits.__doc__ is None
    assert ECC.__repr__ is object.__repr__ and ECCs.__repr__ is object.__repr__


def test_empty_collection(load):
    eccs = load(b"\x00\x03")
    assert len(eccs) == 0 and eccs.nqubits == 3
    assert eccs.check() == [] and eccs.to_identity_circuits() == [] and eccs.to_list() == []
    assert str(eccs) == ""


def test_one_member_and_empty_classes(load):
    eccs = load(class_file([[([("h", 0, 255)], [0])], [], [([], [0]), ([("x", 0, 255)] * 2, [0])]], 1))
    assert len(eccs) == 3
    single, empty, pair = eccs.to_list()
    assert texts(single.circuits()) == [["h(0)"]]
    assert len(eccs.filter_single()) == 1 and eccs.filter_single().to_list() == [pair]
    assert eccs.filter_single().nqubits == 1 and len(eccs) == 3
    assert str(eccs) == str(pair)
    ids = load(class_file([[([("h", 0, 255)], [0])], [([], [0]), ([("x", 0, 255)] * 2, [0])]], 1))
    assert len(ids.to_identity_circuits()) == 1
    msg = "index out of bounds: the len is 0 but the index is 0"
    assert panics(empty.circuits) == msg
    assert panics(str, empty) == msg
    assert panics(eccs.check) == msg
    assert panics(eccs.to_identity_circuits) == msg


def test_swaps_materialised_relative_to_the_first_member(load):
    eccs = load(class_file([[([], [0, 1]), ([("cx", 0, 1), ("cx", 1, 0), ("cx", 0, 1)], [1, 0])]], 2))
    [ecc] = eccs.to_list()
    assert texts(ecc.circuits()) == [[], ["cx(0, 1)", "cx(1, 0)", "cx(0, 1)", "swap(0, 1)"]]
    assert str(ecc) == "ECC {\n\t,\n\tcx(0, 1) cx(1, 0) cx(0, 1) swap(0, 1),\n}"
    assert eccs.check() == []


def test_check_returns_failing_classes(load):
    good = [([], [0]), ([("h", 0, 255)] * 2, [0])]
    bad = [([("h", 0, 255)], [0]), ([("x", 0, 255)], [0])]
    eccs = load(class_file([good, bad, good, bad], 1))
    failing = eccs.check()
    assert len(failing) == 2 and all(type(e) is ECC for e in failing)
    assert failing[0] == eccs.to_list()[1] and failing[1] == eccs.to_list()[3]
    # A qubit the state does not have stops the simulation.
    wide = load(class_file([[([], [0, 1]), ([("h", 1, 255)] * 2, [0, 1])]], 1))
    assert panics(wide.check) == "index out of bounds: the len is 2 but the index is 2"


def test_to_identity_circuits(load):
    eccs = load(class_file([
        [([("z", 0, 255)], [0]), ([("s", 0, 255)] * 2, [0])],
        [([], [0]), ([("h", 0, 255)] * 2, [0]), ([("x", 0, 255)] * 2, [0])],
    ], 1))
    out = eccs.to_identity_circuits()
    assert len(out) == 3
    for ident, inv, member in out:
        assert type(ident) is IdentityCirc and type(inv) is Circ and type(member) is Circ
    assert [str(e[0]) for e in out] == [
        "Identity { h(0) h(0) (0) }", "Identity { x(0) x(0) (0) }", "Identity { z(0) s(0) s(0) (0) }"]
    assert [str(e[1]) for e in out] == ["Circuit { (0) }", "Circuit { (0) }", "Circuit { z(0) (0) }"]
    bad = load(class_file([[([("h", 0, 255)], [0]), ([("x", 0, 255)], [0])]], 1))
    assert panics(bad.to_identity_circuits).startswith("IdentityCirc: circuit is not identity")
    uncovered = load(class_file([[([], [0]), ([("h", 1, 255)], [0])]], 1))
    assert panics(uncovered.to_identity_circuits) == (
        "Permutation length must be greater than the max qubit index.")


def test_quartz_export(load, tmp_path):
    eccs = load(class_file([
        [([], [0]), ([("h", 0, 255)] * 2, [0])],
        [([("h", 0, 255)], [0])],
        [([("h", 0, 255)], [1, 0]), ([("x", 1, 255)], [0, 1]), ([], [1, 0])],
    ], 2))
    path = tmp_path / "q.json"
    assert eccs.dump_quartz(str(path)) is None
    sw = '["swap",["Q0","Q1"],["Q0","Q1"]]'
    expected = (
        '[[[0],[0]],{"0_0":[[[1,0],[]],[[1,2],[["h",["Q0"],["Q0"]],["h",["Q0"],["Q0"]]]]],'
        '"2_0":[[[2,1],[["h",["Q0"],["Q0"]]]],[[2,2],[["x",["Q1"],["Q1"]],' + sw + ']],[[2,0],[]]],'
        '"2_1":[[[2,2],[["h",["Q0"],["Q0"]],' + sw + ']],[[2,1],[["x",["Q1"],["Q1"]]]],[[2,1],[' + sw + ']]]}]'
    )
    assert path.read_text() == expected
    load(b"\x00\x01").dump_quartz(str(path))
    assert path.read_bytes() == b"[[[0],[0]],{}]"


QUARTZ_GATES = {
    "h": np.array([[1, 1], [1, -1]]) / np.sqrt(2),
    "t": np.diag([1, np.exp(1j * np.pi / 4)]),
    "tdg": np.diag([1, np.exp(-1j * np.pi / 4)]),
    # Two-qubit matrices with the first qubit as the high index bit.
    "cx": np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]),
    "swap": np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]),
}


def quartz_unitary(instrs, nqubits):
    """The matrix of a written circuit, qubit q being tensor axis q."""
    dim = 2 ** nqubits
    u = np.eye(dim, dtype=complex).reshape((2,) * nqubits + (dim,))
    for name, qubits, again in instrs:
        assert again == qubits
        qs = [int(q[1:]) for q in qubits]
        k = len(qs)
        g = QUARTZ_GATES[name].reshape((2,) * (2 * k))
        u = np.moveaxis(np.tensordot(g, u, axes=(list(range(k, 2 * k)), qs)), list(range(k)), qs)
    return u.reshape(dim, dim)


def test_quartz_export_of_a_search(tmp_path):
    ev = Evaluator(3)
    raw, _counters = RawECCs.generate(ev, [h, t, cx], 5)
    path = tmp_path / "search.json"
    raw.simplify().dump_quartz(str(path))
    header, groups = json.loads(path.read_text())
    assert header == [[0], [0]] and groups
    for key, group in groups.items():
        need = max([1] + [int(q[1:]) + 1 for _, instrs in group for _, qs, _ in instrs for q in qs])
        assert {count for (count, _), _ in group} == {need}, key
        assert all(n == len(instrs) for (_, n), instrs in group), key
        first = quartz_unitary(group[0][1], need)
        for _, instrs in group[1:]:
            other = quartz_unitary(instrs, need)
            phase = np.vdot(first, other) / 2 ** need
            assert np.allclose(first * phase, other, atol=1e-9), key


def test_file_errors(load, tmp_path):
    missing = str(tmp_path / "missing" / "f.bin")
    eccs = load(EXAMPLE)
    with pytest.raises(OSError, match=r"^Failed to create file: No such file or directory \(os error 2\)$"):
        eccs.dump_postcard(missing)
    with pytest.raises(OSError, match=r"^Failed to create file: No such file or directory \(os error 2\)$"):
        eccs.dump_quartz(missing)
    with pytest.raises(OSError, match=r"^Failed to open file: No such file or directory \(os error 2\)$"):
        ECCs.from_postcard(missing)
    for n in range(len(EXAMPLE)):
        with pytest.raises(ValueError) as info:
            load(EXAMPLE[:n])
        assert str(info.value) == "Failed to read postcard data: Hit the end of buffer, expected more data"
    with pytest.raises(ValueError, match="^Failed to read postcard data: Found a varint"):
        load(b"\x80\x80\x80\x80\x10")
    assert panics(load, class_file([[([("nope(1)", 0, 255)], [0])]], 1)) == (
        "Failed to deserialize Gate16 from nope(1)")
    with pytest.raises(TypeError, match="^argument 'filepath': 'int' object cannot be converted to 'PyString'$"):
        eccs.dump_postcard(3)
    with pytest.raises(TypeError, match=r"^ECCs.from_postcard\(\) missing 1 required positional argument: 'filepath'$"):
        ECCs.from_postcard()
    if os.access("/dev/full", os.W_OK):
        with pytest.raises(ValueError, match="^Failed to write postcard data: The serialize buffer is full$"):
            eccs.dump_postcard("/dev/full")
        with pytest.raises(ValueError, match=r"^Failed to write JSON: No space left on device \(os error 28\)$"):
            eccs.dump_quartz("/dev/full")


NUL_REFUSED = "file name contained an unexpected NUL byte"


@pytest.mark.parametrize("call, prefix", [
    (lambda eccs, prover, path: eccs.dump_postcard(path), "Failed to create file"),
    (lambda eccs, prover, path: eccs.dump_quartz(path), "Failed to create file"),
    (lambda eccs, prover, path: ECCs.from_postcard(path), "Failed to open file"),
    (lambda eccs, prover, path: prover.dump_postcard(path), "Failed to create file"),
    (lambda eccs, prover, path: IdentityProver.from_postcard(path), "Failed to open file"),
])
def test_nul_in_path_names_no_file(load, tmp_path, call, prefix):
    eccs = load(EXAMPLE)
    prover = IdentityProver.build_from_eccs(load(b"\x00\x01"))
    (tmp_path / "eccs.bin").unlink()
    # The file that the path names up to its NUL exists and would read well.
    valid = {"out": EXAMPLE, "prover": b"\x00\x00\x00"}
    for name, data in valid.items():
        (tmp_path / name).write_bytes(data)
    for name in ("out", "prover", "new"):
        with pytest.raises(OSError) as info:
            call(eccs, prover, str(tmp_path / name) + "\x00.bin")
        assert str(info.value) == f"{prefix}: {NUL_REFUSED}"
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == valid


def test_simplify_a_search(tmp_path):
    ev = Evaluator(2)
    raw, _counters = RawECCs.generate(ev, [h, cx, t], 3)
    eccs = raw.simplify()
    assert type(eccs) is ECCs and eccs.nqubits == 2
    assert raw.simplify() == eccs  # the map is unchanged and the order does not depend on it
    classes = eccs.to_list()
    assert texts(classes[0].circuits())[0] == []  # the root class comes first
    assert eccs.check() == []
    path = tmp_path / "search.bin"
    eccs.dump_postcard(str(path))
    again = ECCs.from_postcard(str(path))
    assert again == eccs
    path2 = tmp_path / "search2.bin"
    again.dump_postcard(str(path2))
    assert path2.read_bytes() == path.read_bytes()
    pairs = eccs.filter_single()
    assert all(len(c.circuits()) >= 2 for c in pairs.to_list())
    assert str(pairs) == str(eccs)
    ids = pairs.to_identity_circuits()
    assert len(ids) == sum(len(c.circuits()) - 1 for c in pairs.to_list())
    eccs.dump_quartz(str(tmp_path / "search.json"))
    assert (tmp_path / "search.json").read_text().startswith('[[[0],[0]],{"')
