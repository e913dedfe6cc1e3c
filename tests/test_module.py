import importlib
import sys

import pytest

import marrowfen

CLASS_ORDER = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs",
               "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]


def test_all_lists_classes_in_registration_order():
    present = [n for n in CLASS_ORDER if hasattr(marrowfen, n)]
    assert marrowfen.__all__ == present
    # no module-level functions
    assert not [n for n in dir(marrowfen) if callable(getattr(marrowfen, n))
                and n not in marrowfen.__all__]


@pytest.mark.parametrize("name", marrowfen.__all__)
def test_class_is_a_builtins_type(name):
    cls = getattr(marrowfen, name)
    assert isinstance(cls, type)
    assert cls.__module__ == "builtins" and cls.__qualname__ == name


def test_reimport_returns_same_module():
    first = sys.modules.pop("marrowfen")
    try:
        again = importlib.import_module("marrowfen")
        assert again is first
        assert again.Gate is first.Gate
    finally:
        sys.modules["marrowfen"] = first


@pytest.mark.parametrize("name", marrowfen.__all__)
def test_class_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(marrowfen, name),), {})


def test_objects_cannot_be_weakly_referenced():
    import weakref
    with pytest.raises(TypeError):
        weakref.ref(marrowfen.Gate.from_name("h"))


def test_panic_exception_is_base_exception(capfd):
    with pytest.raises(BaseException) as info:
        try:
            marrowfen.Gate("bad", [], [[1j, 0j, 0j]])
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert exc.args == ("Matrix must be squared",)
    err = capfd.readouterr().err
    assert "panicked at" in err and "Matrix must be squared" in err


def test_second_interpreter_import_fails():
    si = pytest.importorskip("_xxsubinterpreters")
    sid = si.create()
    try:
        with pytest.raises(si.RunFailedError) as info:
            si.run_string(sid, "import marrowfen")
        assert "ImportError" in str(info.value)
        assert "PyO3 modules do not yet support subinterpreters, see " in str(info.value)
    finally:
        si.destroy(sid)


G = marrowfen.Gate


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda: G.from_name(),
                 "Gate.from_name() missing 1 required positional argument: 'name'",
                 id="missing-one"),
    pytest.param(lambda: G(), "Gate.__new__() missing 3 required positional arguments: "
                              "'name', 'params', and 'matrix'", id="missing-three"),
    pytest.param(lambda: G("a"), "Gate.__new__() missing 2 required positional arguments: "
                                 "'params' and 'matrix'", id="missing-two"),
    pytest.param(lambda: G.from_name("h", "x"),
                 "Gate.from_name() takes 1 positional arguments but 2 were given",
                 id="too-many-positional"),
    pytest.param(lambda: G.from_name(nam="h"),
                 "Gate.from_name() got an unexpected keyword argument 'nam'",
                 id="unknown-keyword"),
    # a keyword that cannot be encoded as UTF-8 is still just an unknown keyword
    pytest.param(lambda: G.from_name(**{"\udc80": "h"}),
                 "Gate.from_name() got an unexpected keyword argument '\udc80'",
                 id="unencodable-keyword"),
    pytest.param(lambda: G("a", [], [[1j]], name="b"),
                 "Gate.__new__() got multiple values for argument 'name'",
                 id="positional-and-keyword"),
    pytest.param(lambda: G.from_name(3),
                 "argument 'name': 'int' object cannot be converted to 'PyString'",
                 id="int-for-str"),
    pytest.param(lambda: G("a", "x", [[1j]]),
                 "argument 'params': Can't extract `str` to `Vec`", id="str-for-list"),
    pytest.param(lambda: G("a", 5, [[1j]]),
                 "argument 'params': 'int' object cannot be converted to 'Sequence'",
                 id="int-for-list"),
    pytest.param(lambda: G("a", [1], [[1j]]),
                 "argument 'params': 'int' object cannot be converted to 'PyString'",
                 id="int-in-list"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arguments_bind_by_keyword():
    assert G.from_name(name="h") == G.from_name("h")
