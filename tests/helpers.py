"""Shared helpers of the Python tests (importable as `helpers`: pytest puts this folder first on
sys.path)."""
import pytest

import marrowfen

Gate = marrowfen.Gate


def gate(text):
    """A built-in or registered gate by display text."""
    g = Gate.from_name(text)
    assert g is not None, text
    return g


def panics(fn, *args, **kwargs):
    """Runs fn, which must stop with PanicException; returns the message."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return info.value.args[0]
