import math
import struct
import threading

import numpy as np
import pytest

from helpers import content_hash_fold, panics
from marrowfen import Argument, Gate, Instr, Instruction


R = 0.7071067811865476
S4 = 0.7071067811865475

# index, display text, base name, params, qubits, adjoint index
BUILTINS = [
    (0, "i", "i", [], 1, 0),
    (1, "h", "h", [], 1, 1),
    (2, "x", "x", [], 1, 2),
    (3, "z", "z", [], 1, 3),
    (4, "y", "y", [], 1, 4),
    (5, "s", "s", [], 1, 6),
    (6, "sdg", "sdg", [], 1, 5),
    (7, "t", "t", [], 1, 8),
    (8, "tdg", "tdg", [], 1, 7),
    (9, "cx", "cx", [], 2, 9),
    (10, "cz", "cz", [], 2, 10),
    (11, "cy", "cy", [], 2, 11),
    (12, "cs", "cs", [], 2, 13),
    (13, "csdg", "csdg", [], 2, 12),
    (14, "swap", "swap", [], 2, 14),
    (15, "t1/2", "t1/2", [], 1, 16),
    (16, "tdg1/2", "tdg1/2", [], 1, 15),
    (17, "rz(pi/3)", "rz", ["pi/3"], 1, 18),
    (18, "rz(-pi/3)", "rz", ["-pi/3"], 1, 17),
    (19, "rz(pi/5)", "rz", ["pi/5"], 1, 20),
    (20, "rz(-pi/5)", "rz", ["-pi/5"], 1, 19),
    (21, "rz(pi/16)", "rz", ["pi/16"], 1, 22),
    (22, "rz(-pi/16)", "rz", ["-pi/16"], 1, 21),
]
BY_INDEX = {row[0]: row[1] for row in BUILTINS}


@pytest.mark.parametrize("index,text,name,params,nq,adj", BUILTINS, ids=[r[1] for r in BUILTINS])
def test_builtin_rows(index, text, name, params, nq, adj):
    g = Gate.from_name(text)
    assert g is not None
    assert str(g) == text
    assert g.name == name
    assert g.params == params
    assert g.nqargs == nq
    # The hash is the fold of the content hash of the 16-bit index: it pins the index.
    assert hash(g) == content_hash_fold(struct.pack("<H", index))
    m = g.matrix
    assert m.shape == (2 ** nq, 2 ** nq) and m.dtype == np.complex128
    assert np.allclose(m @ m.conj().T, np.eye(2 ** nq))
    a = g.adjoint()
    assert str(a) == BY_INDEX[adj]
    assert a.adjoint() == g
    assert np.array_equal(a.matrix, m.conj().T)


def test_builtin_matrices_bit_exact():
    t = Gate.from_name("t").matrix
    assert t[1, 1].real.hex() == (0.7071067811865476).hex() == "0x1.6a09e667f3bcdp-1"
    assert t[1, 1].imag.hex() == (0.7071067811865475).hex() == "0x1.6a09e667f3bccp-1"
    assert Gate.from_name("tdg").matrix[1, 1] == complex(R, -S4)
    rz = Gate.from_name("rz(pi/3)").matrix
    assert rz[1, 1].real == 0.5000000000000001 and rz[1, 1].imag == 0.8660254037844386
    assert Gate.from_name("t1/2").matrix[1, 1] == complex(0.9238795325112867, 0.3826834323650898)
    h = Gate.from_name("h").matrix
    assert h.tolist() == [[R, R], [R, -R]]
    # Controlled on the first qubit argument (the most significant index bit).
    assert Gate.from_name("cx").matrix.tolist() == [
        [1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]
    assert Gate.from_name("cy").matrix[2, 3] == -1j and Gate.from_name("cy").matrix[3, 2] == 1j
    assert Gate.from_name("y").matrix[0, 1] == -1j
    # Real entries have imaginary part +0.0.
    assert str(Gate.from_name("x").matrix[0, 1].imag) == "0.0"


def test_from_name():
    assert Gate.from_name("cx") == Gate.from_name("cx")
    assert hash(Gate.from_name("cx")) == hash(Gate.from_name("cx"))
    for text in ["rz", "rz(pi / 3)", "RZ(pi/3)", "CX", ""]:
        assert Gate.from_name(text) is None
    assert Gate.from_name(name="h") == Gate.from_name("h")
    with pytest.raises(TypeError, match=r"^Gate.from_name\(\) missing 1 required positional "
                                        r"argument: 'name'$"):
        Gate.from_name()
    with pytest.raises(TypeError, match=r"^argument 'name': 'int' object cannot be converted "
                                        r"to 'PyString'$"):
        Gate.from_name(3)


def test_constructor_registers_by_matrix():
    h = Gate("hadamard_again", [], np.array([[R, R], [R, -R]], dtype=complex))
    assert h == Gate.from_name("h") and h.name == "h"
    z = Gate("flip", ["p"], np.diag([1, -1]).astype(np.complex128))
    assert z == Gate.from_name("z") and str(z) == "z" and z.params == []
    # Complex nested lists are read through numpy.asarray.
    assert Gate("ident", [], [[1 + 0j, 0j], [0j, 1 + 0j]]) == Gate.from_name("i")
    assert Gate(name="ident", params=[], matrix=[[1 + 0j, 0j], [0j, 1 + 0j]]) == Gate.from_name("i")


@pytest.mark.parametrize("matrix", [
    [[1, 0], [0, 1]],
    [[1.0, 0.0], [0.0, 1.0]],
    np.eye(2),
    np.eye(2, dtype=np.int64),
    np.array([1j, 0j]),  # one dimension
    np.eye(2, dtype=">c16"),  # complex, but not in native byte order
])
def test_constructor_refuses_non_complex_2d(matrix):
    with pytest.raises(TypeError, match=r"^argument 'matrix': 'ndarray' object cannot be "
                                        r"converted to 'PyArray<T, D>'$"):
        Gate("g", [], matrix)


def test_constructor_argument_errors():
    m = np.eye(2, dtype=complex)
    with pytest.raises(TypeError, match="^argument 'params': Can't extract `str` to `Vec`$"):
        Gate("g", "ab", m)
    with pytest.raises(TypeError, match="^argument 'name': "):
        Gate(1, [], m)
    with pytest.raises(TypeError, match=r"^Gate.__new__\(\) missing 1 required positional "
                                        r"argument: 'matrix'$"):
        Gate("g", [])
    with pytest.raises(ValueError):  # raised by numpy itself on ragged lists
        Gate("g", [], [[1j, 0j], [0j]])


@pytest.mark.parametrize("shape,message", [
    ((3, 3), "Matrix must have a number of rows that is a power of two"),
    ((0, 0), "Matrix must have a number of rows that is a power of two"),
    ((2, 4), "Matrix must be squared"),
])
def test_constructor_matrix_shape(shape, message):
    assert panics(Gate, "bad", [], np.zeros(shape, dtype=complex)) == message


def test_constructor_reads_through_strides():
    base = np.array([[1, 2j], [0, 1]], dtype=complex)
    g = Gate("upper_view", [], base.T)  # a transposed view: memory order differs
    assert np.array_equal(g.matrix, base.T)
    assert g.matrix.flags["F_CONTIGUOUS"]
    reversed_rows = np.array([[1, 3j], [0, 1]], dtype=complex)[::-1]
    assert panics(Gate, "reversed", [], reversed_rows) == \
        "called `Option::unwrap()` on a `None` value"


def test_one_by_one_gate_has_no_qubits():
    g = Gate("phase_m1", [], np.array([[-1 + 0j]]))
    assert g.nqargs == 0 and g.matrix.shape == (1, 1)


def test_getters():
    rz = Gate.from_name("rz(pi/3)")
    assert rz.params_f == [1.0471975511965976]
    bad = Gate("divzero", ["1/0"], np.diag([1j, 1]).astype(complex))
    assert bad.params == ["1/0"]
    with pytest.raises(ValueError, match="^DivisionByZero$"):
        bad.params_f
    h = Gate.from_name("h")
    m = h.matrix
    assert m.flags["F_CONTIGUOUS"] and m.dtype == np.complex128 and m.shape == (2, 2)
    m[0, 0] = 5
    assert h.matrix[0, 0] == R
    for attr in ["name", "params", "matrix", "nqargs"]:
        with pytest.raises(AttributeError):
            setattr(h, attr, None)
    assert Gate.adjoint.__text_signature__ == "($self)"
    assert Gate.from_name.__text_signature__ == "(name)"
    assert Gate.__text_signature__ == "(name, params, matrix)"


MAX_NESTING = 4096


def test_params_nest_to_the_bound_on_a_small_stack():
    n = MAX_NESTING - 1  # n openings around a number: n + 1 levels
    accepted = ["(" * n + "1" + ")" * n, "-" * n + "1", "sin(" * n + "0" + ")" * n, "-" * 20 + "pi"]
    refused = ["(" * (n + 1) + "1" + ")" * (n + 1), "-" * (n + 1) + "1"]
    phases = iter(np.linspace(0.5, 0.6, 1 + len(refused)))
    gates = [Gate("deep", accepted, np.diag([1, np.exp(1j * next(phases))]))]
    gates += [Gate("too_deep", [expr], np.diag([1, np.exp(1j * next(phases))])) for expr in refused]
    results = []

    def evaluate():
        for g in gates:
            try:
                results.append(g.params_f)
            except ValueError as e:
                results.append(str(e))

    old = threading.stack_size(256 << 10)
    try:
        thread = threading.Thread(target=evaluate)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert results[0] == [1.0, -1.0, 0.0, math.pi]
    assert len(results) == 3
    for message in results[1:]:
        assert message.endswith(f"= expression nested more than {MAX_NESTING} levels deep"), message


def test_custom_adjoint_named_with_dagger():
    u = Gate("u", ["a"], np.array([[1, 1j], [0, 1]], dtype=complex))
    ud = u.adjoint()
    assert str(u) == "u(a)" and str(ud) == "u\u2020(a)"
    assert ud.name == "u\u2020" and ud.params == ["a"]
    assert np.array_equal(ud.matrix, np.array([[1, 0], [-1j, 1]]))
    assert ud.adjoint() == u
    assert u.adjoint() == ud


def test_equality_and_order():
    h, x = Gate.from_name("h"), Gate.from_name("x")
    assert h == Gate.from_name("h") and h != x
    assert (h == 1) is False and (h != 1) is True
    with pytest.raises(TypeError):
        h < x
    assert "__repr__" not in Gate.__dict__


class TestCall:
    cx = Gate.from_name("cx")
    h = Gate.from_name("h")

    def test_integers_make_an_instr(self):
        i = self.cx(0, 1)
        assert type(i) is Instr and str(i) == "cx(0, 1)" and i.qargs == b"\x00\x01"
        assert self.h(3).qargs == b"\x03"
        # Repeated qubits are not refused when calling a gate.
        assert self.cx(0, 0).qargs == b"\x00\x00"
        g0 = Gate("phase_m1", [], np.array([[-1 + 0j]]))
        assert g0().qargs == b"" and str(g0()) == "phase_m1()"

    @pytest.mark.parametrize("gate,args,message", [
        ("cx", (0,), "Number of arguments not match for gate cx"),
        ("h", (), "Number of arguments not match for gate h"),
        ("rz(pi/3)", (0, 1), "Number of arguments not match for gate rz(pi/3)"),
        ("h", (255,), "Qubit index 255 is reserved for an empty slot"),
        ("cx", (1, 255), "Qubit index 255 is reserved for an empty slot"),
    ])
    def test_integer_errors(self, gate, args, message):
        assert panics(Gate.from_name(gate), *args) == message

    def test_three_qubit_gate_cannot_be_packed(self):
        g3 = Gate("ccz_like", [], np.diag([1] * 7 + [-1]).astype(complex))
        assert g3.nqargs == 3
        assert panics(g3, 0, 1, 2) == "index out of bounds: the len is 2 but the index is 2"

    def test_arguments_make_an_instruction(self):
        q0, q1, c0 = Argument("q", 0), Argument("q", 1), Argument("c", 0)
        i = self.h(q0, c0)
        assert type(i) is Instruction
        assert i.qargs == [q0] and i.cargs == [c0]
        j = self.cx(q0, q1)
        assert str(j) == "cx q[0], q[1];" and j.cargs == []
        # The instruction holds copies.
        q0.index = 7
        assert i.qargs == [Argument("q", 0)]
        assert panics(self.cx, q0) == "range end index 2 out of range for slice of length 1"

    @pytest.mark.parametrize("args", [(0, 300), (0, -1), (0, Argument("q", 0)), ("0",),
                                      ((0, 1),), (0.0,)])
    def test_union_error(self, args):
        with pytest.raises(TypeError) as info:
            self.cx(*args)
        assert str(info.value) == ("argument 'args': failed to convert the value to "
                                   "'Union[Vec<u8>, Vec<Argument>]'")

    @pytest.mark.parametrize("name", ["q", "\udc80"])
    def test_keywords_refused(self, name):
        with pytest.raises(TypeError) as info:
            self.h(**{name: 0})
        assert str(info.value) == f"Gate.__call__() got an unexpected keyword argument '{name}'"
