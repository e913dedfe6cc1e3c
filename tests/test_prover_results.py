"""A prover built from a real class set gives the same prover whatever the number of threads.

The class file holds the classes of {h, cx, t} on 3 qubits up to 5 instructions (simplified,
single classes filtered out). The expected figures and digest were taken from the prover that an
earlier release built from the same file: the assumption list in order, the accepted set and the
rule base (each list in its order).
"""
import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

import marrowfen
from marrowfen import ECCs, IdentityProver

CLASSES = Path(__file__).parent / "data" / "eccs_h_cx_t_3q_5.postcard"

ASSUMED = [
    "Identity { cx(0, 1) cx(0, 1) (0 1) }",
    "Identity { h(0) h(0) (0) }",
    "Identity { t(0) tdg(0) (0) }",
    "Identity { cx(0, 1) cx(1, 0) cx(0, 1) (1 0) }",
    "Identity { cx(0, 1) cx(0, 2) cx(0, 1) cx(0, 2) (0 1 2) }",
    "Identity { cx(0, 1) t(0) cx(0, 1) tdg(0) (0 1) }",
    "Identity { cx(0, 1) cx(2, 1) cx(0, 1) cx(2, 1) (0 1 2) }",
    "Identity { cx(0, 1) cx(0, 2) cx(1, 2) cx(0, 1) cx(1, 2) (0 1 2) }",
    "Identity { cx(0, 1) h(0) h(1) cx(1, 0) h(0) h(1) (0 1) }",
    "Identity { t(0) t(0) t(0) t(0) t(0) t(0) t(0) t(0) (0) }",
    "Identity { h(0) t(0) t(0) h(0) t(0) t(0) h(0) t(0) t(0) (0) }",
]
# (classes, assumptions, accepted identities, rule keys, digest of the three sections)
EXPECTED = (359, 11, 9543, 726, "97b7d436ed5925d8")


def _varint(b, i):
    v = shift = 0
    while True:
        x = b[i]
        i += 1
        v |= (x & 0x7F) << shift
        shift += 7
        if x < 0x80:
            return v, i


def _circ(b, i):
    n, i = _varint(b, i)
    instrs = []
    for _ in range(n):
        size, i = _varint(b, i)
        instrs.append((b[i:i + size].decode(), b[i + size], b[i + size + 1]))
        i += size + 2
    perm, i = _varint(b, i)
    return (tuple(instrs), perm), i


def _prover_sections(path):
    """The prover file's assumption list, accepted set and rule base."""
    b = path.read_bytes()
    n, i = _varint(b, 0)
    assume = []
    for _ in range(n):
        c, i = _circ(b, i)
        assume.append(c)
    n, i = _varint(b, i)
    proved = []
    for _ in range(n):
        c, i = _circ(b, i)
        proved.append(c)
    n, i = _varint(b, i)
    rules = []
    for _ in range(n):
        key, i = _circ(b, i)
        m, i = _varint(b, i)
        circuits = []
        for _ in range(m):
            c, i = _circ(b, i)
            circuits.append(c)
        rules.append((key, tuple(circuits)))
    assert i == len(b)
    return assume, proved, rules


def build_figures(tmp_path):
    eccs = ECCs.from_postcard(str(CLASSES))
    prover = IdentityProver.build_from_eccs(eccs)
    out = tmp_path / "prover.postcard"
    prover.dump_postcard(str(out))
    assume, proved, rules = _prover_sections(out)
    assert len(set(proved)) == len(proved) and len({k for k, _ in rules}) == len(rules)
    digest = hashlib.sha256(repr((assume, sorted(proved), sorted(rules))).encode()).hexdigest()
    return [str(a) for a in prover.get_assumed()], (
        len(eccs), len(assume), len(proved), len(rules), digest[:16])


def test_build_from_a_real_class_set_is_unchanged(tmp_path, capfd):
    assumed, figures = build_figures(tmp_path)
    capfd.readouterr()
    assert assumed == ASSUMED
    assert figures == EXPECTED


@pytest.mark.parametrize("threads", ["1", "8"])
def test_build_is_the_same_on_one_thread_and_on_eight(threads, tmp_path):
    # The pool's size is fixed once per process: each count gets a process of its own.
    code = (
        "import sys, pathlib; sys.path.insert(0, sys.argv[1]);"
        "import test_prover_results as t;"
        "print(repr(t.build_figures(pathlib.Path(sys.argv[2]))))"
    )
    env = dict(os.environ, RAYON_NUM_THREADS=threads,
               PYTHONPATH=os.path.dirname(os.path.abspath(marrowfen.__file__)))
    out = subprocess.run(
        [sys.executable, "-c", code, str(Path(__file__).parent), str(tmp_path)],
        env=env, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    ).stdout
    assert eval(out) == (ASSUMED, EXPECTED)
