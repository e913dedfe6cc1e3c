import importlib
import sys

import pytest

import marrowfen

CLASS_ORDER = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs",
               "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]


def test_all_lists_classes_in_registration_order():
    present = [n for n in CLASS_ORDER if hasattr(marrowfen, n)]
    assert marrowfen.__all__ == present
    for name in marrowfen.__all__:
        cls = getattr(marrowfen, name)
        assert isinstance(cls, type)
        assert cls.__module__ == "builtins" and cls.__qualname__ == name
    # no module-level functions
    assert not [n for n in dir(marrowfen) if callable(getattr(marrowfen, n))
                and n not in marrowfen.__all__]


def test_reimport_returns_same_module():
    first = sys.modules.pop("marrowfen")
    try:
        again = importlib.import_module("marrowfen")
        assert again is first
        assert again.Gate is first.Gate
    finally:
        sys.modules["marrowfen"] = first


def test_classes_cannot_be_subclassed_or_weakly_referenced():
    import weakref
    for name in marrowfen.__all__:
        with pytest.raises(TypeError):
            type("Sub", (getattr(marrowfen, name),), {})
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


def test_binding_errors():
    G = marrowfen.Gate
    cases = [
        (lambda: G.from_name(), "Gate.from_name() missing 1 required positional argument: 'name'"),
        (lambda: G(), "Gate.__new__() missing 3 required positional arguments: "
                      "'name', 'params', and 'matrix'"),
        (lambda: G("a"), "Gate.__new__() missing 2 required positional arguments: "
                         "'params' and 'matrix'"),
        (lambda: G.from_name("h", "x"), "Gate.from_name() takes 1 positional arguments but 2 were given"),
        (lambda: G.from_name(nam="h"), "Gate.from_name() got an unexpected keyword argument 'nam'"),
        # a keyword that cannot be encoded as UTF-8 is still just an unknown keyword
        (lambda: G.from_name(**{"\udc80": "h"}),
         "Gate.from_name() got an unexpected keyword argument '\udc80'"),
        (lambda: G("a", [], [[1j]], name="b"), "Gate.__new__() got multiple values for argument 'name'"),
        (lambda: G.from_name(3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: G("a", "x", [[1j]]), "argument 'params': Can't extract `str` to `Vec`"),
        (lambda: G("a", 5, [[1j]]), "argument 'params': 'int' object cannot be converted to 'Sequence'"),
        (lambda: G("a", [1], [[1j]]), "argument 'params': 'int' object cannot be converted to 'PyString'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert G.from_name(name="h") == G.from_name("h")
