import os
import subprocess
import sys

import pytest

from marrowfen import Evaluator, Gate, RawECCs
from helpers import panics

h = Gate.from_name("h")
t = Gate.from_name("t")
cx = Gate.from_name("cx")


@pytest.fixture(scope="module", params=[2, 3])
def searched(request):
    """Two independent searches over h, t, cx to size 3, each with its evaluator."""
    n = request.param
    ev_a, ev_b = Evaluator(n), Evaluator(n)
    raw_a, _ = RawECCs.generate(ev_a, [h, t, cx], 3)
    raw_b, _ = RawECCs.generate(ev_b, [h, t, cx], 3)
    return ev_a, raw_a, ev_b, raw_b


def test_signature_and_docstring():
    f = RawECCs.check_identity_subset
    assert f.__text_signature__ == "($self, ecc1, evaluator)"
    assert f.__doc__ == "Checks that every identity in `self` is representable in `ecc1`."


def test_a_search_is_consistent_with_itself(searched):
    ev_a, raw_a, _, _ = searched
    # The receiver may be ecc1 itself: both are borrowed shared.
    assert raw_a.check_identity_subset(raw_a, ev_a) is None
    assert raw_a.check_identity_subset(ecc1=raw_a, evaluator=ev_a) is None


def test_classes_rekeyed_for_another_evaluator_are_found_by_its_search(searched):
    ev_a, raw_a, ev_b, raw_b = searched
    assert raw_a.switch_evaluator(ev_b).check_identity_subset(raw_b, ev_b) is None
    assert raw_b.switch_evaluator(ev_a).check_identity_subset(raw_a, ev_a) is None


def test_member_missing_from_ecc1_stops(searched):
    ev_a, raw_a, _, _ = searched
    # A root-only map of another evaluator holds none of the keys.
    other = RawECCs(Evaluator(ev_a.nqubits()))
    assert panics(raw_a.check_identity_subset, other, ev_a) == (
        "assertion failed: ecc1.contains_key(&bv.hash_value())"
    )
    # The other way round, the empty circuit's class is found.
    assert other.check_identity_subset(raw_a, ev_a) is None


def test_argument_errors():
    ev = Evaluator(1)
    raw = RawECCs(ev)
    with pytest.raises(TypeError, match=r"^argument 'ecc1': 'Evaluator' object cannot be "
                       r"converted to 'RawECCs'$"):
        raw.check_identity_subset(ev, ev)
    with pytest.raises(TypeError, match=r"^argument 'evaluator': 'RawECCs' object cannot be "
                       r"converted to 'Evaluator'$"):
        raw.check_identity_subset(raw, raw)
    with pytest.raises(TypeError, match=r"^RawECCs.check_identity_subset\(\) missing 1 "
                       r"required positional argument: 'evaluator'$"):
        raw.check_identity_subset(raw)


def test_one_pool_thread():
    # RAYON_NUM_THREADS=1: the calling thread alone works through every chunk.
    code = (
        "from marrowfen import Evaluator, Gate, RawECCs\n"
        "ev = Evaluator(3)\n"
        "g = [Gate.from_name(x) for x in ('h', 't', 'cx')]\n"
        "raw, _ = RawECCs.generate(ev, g, 3)\n"
        "assert raw.check_identity_subset(raw, ev) is None\n"
    )
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    subprocess.run([sys.executable, "-c", code], env=env, check=True,
                   stdout=subprocess.DEVNULL)
