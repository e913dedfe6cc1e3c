"""Shared helpers of the Python tests (importable as `helpers`: pytest puts this folder first on
sys.path)."""
import sys

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


def content_hash_fold(data: bytes) -> int:
    """The module's __hash__ of a value whose content hash feeds `data`.

    CPython's bytes hash is SipHash-1-3 with zero keys when hash randomization is off, so it
    is an independent oracle for the module's content hash.
    """
    if sys.flags.hash_randomization or sys.hash_info.algorithm != "siphash13":
        pytest.skip("needs PYTHONHASHSEED=0 and siphash13")
    low = hash(data) & 0xFFFFFFFF
    v = low - (1 << 32) if low >= 1 << 31 else low
    return -2 if v == -1 else v


def gate_index(g):
    """The registry index of a gate, read back from its hash (the fold of its 16-bit index)."""
    h = hash(g)
    return next(i for i in range(1 << 16) if content_hash_fold(i.to_bytes(2, "little")) == h)
