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
