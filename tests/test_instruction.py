import sys

import pytest

from marrowfen import Argument, Gate, Instruction

cx = Gate.from_name("cx")
h = Gate.from_name("h")


def content_hash_fold(data: bytes) -> int:
    if sys.flags.hash_randomization or sys.hash_info.algorithm != "siphash13":
        pytest.skip("needs PYTHONHASHSEED=0 and siphash13")
    low = hash(data) & 0xFFFFFFFF
    v = low - (1 << 32) if low >= 1 << 31 else low
    return -2 if v == -1 else v


class TestArgument:
    def test_constructor_and_attributes(self):
        a = Argument("q", 0)
        assert a.regid == "q" and a.index == 0
        assert str(a) == "q[0]"
        assert repr(a) == 'Argument { regid: "q", index: 0 }'
        assert Argument(regid="anc", index=4294967295).index == 4294967295
        a.regid = "c"
        a.index = 2
        assert str(a) == "c[2]"
        for attr in ["regid", "index"]:
            with pytest.raises(AttributeError, match="^can't delete attribute$"):
                delattr(a, attr)
        with pytest.raises(AttributeError):
            a.other = 1

    def test_conversion_errors(self):
        with pytest.raises(TypeError, match="^argument 'regid': 'int' object cannot be "
                                            "converted to 'PyString'$"):
            Argument(1, 0)
        for index in (-1, 2 ** 32):
            with pytest.raises(OverflowError):
                Argument("q", index)
        a = Argument("q", 0)
        with pytest.raises(TypeError):
            a.regid = 5
        with pytest.raises(OverflowError):
            a.index = 2 ** 32
        assert str(a) == "q[0]"

    def test_equality_and_hash(self):
        a, b = Argument("q", 0), Argument("q", 0)
        assert a == b and not (a != b) and hash(a) == hash(b)
        assert a != Argument("q", 1) and a != Argument("c", 0)
        assert (a == ("q", 0)) is False
        with pytest.raises(TypeError):
            a < b
        assert hash(Argument("q", 7)) == content_hash_fold(b"q\xff\x07\x00\x00\x00")
        # The low 32 bits of this argument's content hash are all ones: -1 folds to -2.
        assert hash(Argument("q", 1285220209)) == -2

    @pytest.mark.parametrize("regid,text", [
        ('a"b', r'"a\"b"'),
        ("a\\b", r'"a\\b"'),
        ("\n\r\t\0", r'"\n\r\t\0"'),
        ("\x01\x7f\x85", r'"\u{1}\u{7f}\u{85}"'),
        ("'é†", "\"'é†\""),
    ])
    def test_debug_escapes(self, regid, text):
        assert repr(Argument(regid, 3)) == "Argument { regid: %s, index: 3 }" % text
        assert str(Argument(regid, 3)) == regid + "[3]"


class TestInstruction:
    def test_constructor_accepts_arguments_and_tuples(self):
        i = Instruction(cx, [Argument("q", 0), ("q", 1)])
        assert str(i) == "cx q[0], q[1];"
        assert i.cargs == [] and i.qargs == [Argument("q", 0), Argument("q", 1)]
        assert i.gate == cx
        assert str(Instruction(h, [], [])) == "h ;"
        # No arity check.
        assert str(Instruction(cx, [("q", 0)], cargs=[("c", 1)])) == "cx q[0], c[1];"
        assert str(Instruction(gate=h, qargs=(), cargs=[Argument("c", 0), ("c", 1)])) == \
            "h c[0], c[1];"

    def test_constructor_copies_arguments(self):
        a = Argument("q", 0)
        i = Instruction(h, [a])
        a.index = 5
        assert i.qargs == [Argument("q", 0)]

    @pytest.mark.parametrize("qargs,message", [
        ("q0", "argument 'qargs': Can't extract `str` to `Vec`"),
        ([["q", 0]], "argument 'qargs': failed to convert the value to 'Union[Argument, PyTuple]'"),
        ([("q", 0, 1)], "argument 'qargs': failed to convert the value to 'Union[Argument, PyTuple]'"),
        ([(0, "q")], "argument 'qargs': failed to convert the value to 'Union[Argument, PyTuple]'"),
        ([("q", -1)], "argument 'qargs': failed to convert the value to 'Union[Argument, PyTuple]'"),
        ([h], "argument 'qargs': failed to convert the value to 'Union[Argument, PyTuple]'"),
        (5, "argument 'qargs': 'int' object cannot be converted to 'Sequence'"),
    ])
    def test_constructor_errors(self, qargs, message):
        with pytest.raises(TypeError) as info:
            Instruction(cx, qargs)
        assert str(info.value) == message
        with pytest.raises(TypeError) as info:
            Instruction(cx, [], qargs)
        assert str(info.value) == message.replace("'qargs'", "'cargs'")

    def test_constructor_binding_errors(self):
        with pytest.raises(TypeError, match=r"^Instruction.__new__\(\) missing 1 required "
                                            r"positional argument: 'qargs'$"):
            Instruction(cx)
        with pytest.raises(TypeError, match=r"^Instruction.__new__\(\) takes from 2 to 3 "
                                            r"positional arguments but 4 were given$"):
            Instruction(cx, [], [], [])
        with pytest.raises(TypeError, match="^argument 'gate': 'str' object cannot be "
                                            "converted to 'Gate'$"):
            Instruction("cx", [])

    def test_getters_return_copies(self):
        i = Instruction(cx, [("q", 0), ("q", 1)], [("c", 0)])
        got = i.qargs
        got[0].index = 9
        got.append(Argument("x", 1))
        assert i.qargs == [Argument("q", 0), Argument("q", 1)]
        i.cargs[0].regid = "z"
        assert str(i) == "cx q[0], q[1], c[0];"

    def test_setters(self):
        i = Instruction(cx, [("q", 0), ("q", 1)])
        a = Argument("r", 3)
        i.qargs = [a]
        a.index = 4
        assert str(i) == "cx r[3];"
        i.cargs = (Argument("c", 0),)
        i.gate = h
        assert str(i) == "h r[3], c[0];"
        with pytest.raises(TypeError):
            i.qargs = [("q", 0)]
        with pytest.raises(TypeError):
            i.cargs = "c0"
        with pytest.raises(TypeError):
            i.gate = "h"
        assert str(i) == "h r[3], c[0];"
        for attr in ["gate", "qargs", "cargs"]:
            with pytest.raises(AttributeError, match="^can't delete attribute$"):
                delattr(i, attr)

    def test_repr(self):
        assert repr(Instruction(cx, [("q", 0)])) == (
            'Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: "q", index: 0 }], '
            'cargs: [] }')
        assert repr(Instruction(h, [], [('c"', 1)])) == (
            'Instruction { gate: Gate(1 -> h), qargs: [], '
            'cargs: [Argument { regid: "c\\"", index: 1 }] }')

    def test_equality_and_hash(self):
        a = Instruction(cx, [("q", 0), ("q", 1)], [("c", 0)])
        b = Instruction(cx, [Argument("q", 0), Argument("q", 1)], [Argument("c", 0)])
        assert a == b and hash(a) == hash(b)
        # The same arguments split differently between the lists differ.
        c = Instruction(cx, [("q", 0)], [("q", 1), ("c", 0)])
        assert a != c and hash(a) != hash(c)
        assert a != Instruction(h, [("q", 0), ("q", 1)], [("c", 0)])
        assert (a == "cx q[0], q[1], c[0];") is False
        with pytest.raises(TypeError):
            a <= b
        # Gate (2 bytes), qargs count (4) and each argument, cargs count (4).
        assert hash(Instruction(h, [("q", 3)])) == content_hash_fold(
            bytes([1, 0, 1, 0, 0, 0]) + b"q\xff" + bytes([3, 0, 0, 0, 0, 0, 0, 0]))

    def test_docstrings(self):
        assert Instruction.__text_signature__ == "(gate, qargs, cargs=...)"
        assert Argument.__text_signature__ == "(regid, index)"
        assert Argument.__doc__.startswith("A named register argument")
