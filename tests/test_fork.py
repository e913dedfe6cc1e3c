"""A process that forks between calls (multiprocessing's default on Linux) stays sound."""
import concurrent.futures
import multiprocessing
import os
import random
import threading
import time

import pytest

from marrowfen import Evaluator, Gate, IdentityProver, RawECCs


def threads():
    return len(os.listdir("/proc/self/task"))


def wait(pid, seconds=20.0):
    """The child's exit code, or None when it did not end in time (then it is killed)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.001)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return None


@pytest.fixture(scope="module")
def prover_and_ids():
    gates = [Gate.from_name(n) for n in ("h", "s", "cx")]
    eccs = RawECCs.generate(Evaluator(3), gates, 4)[0].simplify().filter_single()
    ids = sorted({i for i, _, _ in eccs.to_identity_circuits()}, key=lambda i: (-len(i), str(i)))
    return IdentityProver.build_from_eccs(eccs), ids


# Forks right after searches cut short, which leave the pool's workers just done with their
# work; each child searches at once and must give the parent's answer.
def test_children_after_cut_short_searches_finish_with_the_parents_answers(prover_and_ids):
    prover, ids = prover_and_ids
    rng = random.Random(1)
    longest = ids[: max(1, len(ids) // 5)]
    pairs = [(rng.choice(longest), rng.randint(40, 220), rng.choice(ids)) for _ in range(300)]
    expected = {str(o): str(prover.prove_identity(o, 3, 200)) for _, _, o in pairs}
    failures = []
    for k, (start, limit, other) in enumerate(pairs):
        prover.prove_identity(start, 3, limit)
        pid = os.fork()
        if pid == 0:
            ok = str(prover.prove_identity(other, 3, 200)) == expected[str(other)]
            os._exit(0 if ok else 1)
        code = wait(pid)
        if code != 0:
            failures.append((k, "hung" if code is None else f"exit {code}"))
    assert failures == []


def fork_and_check(prover, identity, answer):
    pid = os.fork()
    if pid == 0:
        os._exit(0 if str(prover.prove_identity(identity, 3, 2000)) == answer else 1)
    assert wait(pid) == 0


# At a fork the pool's workers are stopped, so there is no thread whose lock the child could
# copy; the next call in the parent starts them again.
def test_a_fork_stops_the_workers_and_the_parent_goes_on(prover_and_ids):
    prover, ids = prover_and_ids
    answer = str(prover.prove_identity(ids[0], 3, 2000))
    fork_and_check(prover, ids[0], answer)
    idle = threads()  # no workers (a sanitizer may run a thread of its own)
    assert str(prover.prove_identity(ids[0], 3, 2000)) == answer
    if threads() == idle:
        pytest.skip("the pool runs no workers here")
    fork_and_check(prover, ids[0], answer)
    assert threads() == idle


# While another thread that has used the module lives, the workers cannot be stopped at a fork;
# every child then runs every parallel step on its one thread, with the same answers.
def test_a_child_forked_beside_another_user_thread_runs_on_its_own_thread(prover_and_ids):
    prover, ids = prover_and_ids
    answers = [str(prover.prove_identity(i, 3, 2000)) for i in ids[:20]]
    ran, done = threading.Event(), threading.Event()

    def other():
        prover.prove_identity(ids[1], 3, 2000)
        ran.set()
        done.wait()

    thread = threading.Thread(target=other)
    thread.start()
    try:
        ran.wait()
        for _ in range(25):
            prover.prove_identity(ids[0], 3, 100)
            for _ in range(2):  # a second fork in a row, with no call between, too
                pid = os.fork()
                if pid == 0:
                    before = threads()
                    ok = [str(prover.prove_identity(i, 3, 2000)) for i in ids[:20]] == answers
                    os._exit(0 if ok and threads() == before else 1)
                assert wait(pid) == 0
    finally:
        done.set()
        thread.join()


# What a child of the pool below searches: the parent's prover and identities, copied by fork.
SHARED = {}


def prove_shared(k):
    return str(SHARED["prover"].prove_identity(SHARED["ids"][k], 3, 2000))


# multiprocessing's pool forks its workers back to back. Beside the live threads of an executor
# that has used the module, and once the executor has ended, its children answer like the
# parent.
def test_a_fork_pool_beside_a_thread_pool_that_used_the_module(prover_and_ids):
    prover, ids = prover_and_ids
    SHARED.update(prover=prover, ids=ids)
    answers = [prove_shared(k) for k in range(16)]
    fork = multiprocessing.get_context("fork")

    def map_in_children():
        prover.prove_identity(ids[0], 3, 100)  # cut short right before the forks
        with fork.Pool(4) as pool:
            assert pool.map_async(prove_shared, range(16), chunksize=2).get(60) == answers

    with concurrent.futures.ThreadPoolExecutor(2) as executor:
        assert list(executor.map(prove_shared, range(4))) == answers[:4]
        for _ in range(3):
            map_in_children()
    map_in_children()
