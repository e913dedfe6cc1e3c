"""Forks right after cut-short prover searches and counts children that do not finish.

    /usr/bin/python3 bench/fork_stress.py [--module DIR] [--workers 16] [--forks 4000]
        [--jobs 3] [--gates h,s,cx] [--timeout 10] [--other-thread] [--in-a-row 1] [--pool 0]

Each of --jobs processes (PYTHONPATH=DIR, RAYON_NUM_THREADS=--workers) builds the prover from
the gates on 3 qubits up to 5 instructions (filter_single), then --forks times: runs
prove_identity(c, 3, limit) on one of the longest candidates with a small limit (40 to 220, so
the search is cut short), forks --in-a-row times at once, with no call between, and lets each
child run prove_identity(other, 3, 200) and exit. A child that has not exited within --timeout
seconds is counted as hung and killed. With --pool N it starts a multiprocessing pool of N
processes (fork context, which forks them in a row) right after the search instead, maps
prove_identity(other, 3, 200) over 8 candidates and compares the answers with the parent's; a
pool that has not answered within --timeout seconds is counted as never returned.
--other-thread keeps a second thread that has run a search alive all along, so that the
workers cannot be stopped at a fork. Running several jobs side by side loads the machine, which
is when a fork is most likely to meet the pool's workers busy. Prints the children (or pools)
that hung, by their place in the row, the ones that failed, and the mean time of a fork (or of
a pool) in the parent.
"""
import argparse
import json
import os
import random
import signal
import subprocess
import sys
import time


def job(args):
    import marrowfen as mf

    gates = [mf.Gate.from_name(n) for n in args.gates.split(",")]
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    try:
        raw, _ = mf.RawECCs.generate(mf.Evaluator(3), gates, 5)
        eccs = raw.simplify().filter_single()
        prover = mf.IdentityProver.build_from_eccs(eccs)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    ids = sorted({i for i, _, _ in eccs.to_identity_circuits()}, key=lambda i: -len(i))
    longest = ids[: max(1, len(ids) // 10)]
    rng = random.Random(args.seed)
    if args.other_thread:
        # A second thread that has run a search and stays alive: the pool's workers cannot be
        # stopped at a fork then.
        import threading
        ran = threading.Event()
        threading.Thread(target=lambda: (prover.prove_identity(ids[0], 3, 200), ran.set(),
                                         threading.Event().wait()), daemon=True).start()
        ran.wait()
    if args.pool:
        pool_job(args, prover, ids, longest, rng)
    else:
        fork_job(args, prover, ids, longest, rng)


def wait_or_kill(pid, deadline):
    """The child's exit code, or None when it has not ended by the deadline (then killed)."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.001)


def fork_job(args, prover, ids, longest, rng):
    hung = [0] * args.in_a_row  # by the child's place in its row of forks
    failed = 0
    fork_seconds = 0.0
    for _ in range(args.forks):
        prover.prove_identity(rng.choice(longest), 3, rng.randint(40, 220))
        pids = []
        for _ in range(args.in_a_row):
            other = rng.choice(ids)
            t0 = time.perf_counter()
            pid = os.fork()
            if pid == 0:
                try:
                    prover.prove_identity(other, 3, 200)
                    os._exit(0)
                except BaseException:
                    os._exit(1)
            fork_seconds += time.perf_counter() - t0
            pids.append(pid)
        deadline = time.monotonic() + args.timeout
        for place, pid in enumerate(pids):
            code = wait_or_kill(pid, deadline)
            if code is None:
                hung[place] += 1
            elif code != 0:
                failed += 1
    forks = args.forks * args.in_a_row
    print(json.dumps({"hung": hung, "failed": failed, "children": forks,
                      "fork_ms": 1000 * fork_seconds / max(1, forks)}))


# What a child of a multiprocessing pool searches: the job's prover and candidates, copied by
# fork.
SHARED = {}


def prove_shared(k):
    return str(SHARED["prover"].prove_identity(SHARED["ids"][k], 3, 200))


def pool_job(args, prover, ids, longest, rng):
    import multiprocessing

    fork = multiprocessing.get_context("fork")
    SHARED.update(prover=prover, ids=ids)
    hung = failed = 0
    pool_seconds = 0.0
    for _ in range(args.forks):
        picks = [rng.randrange(len(ids)) for _ in range(8)]
        answers = [prove_shared(k) for k in picks]
        prover.prove_identity(rng.choice(longest), 3, rng.randint(40, 220))
        t0 = time.perf_counter()
        pool = fork.Pool(args.pool)
        try:
            if pool.map_async(prove_shared, picks).get(args.timeout) != answers:
                failed += 1
        except multiprocessing.TimeoutError:
            hung += 1
        finally:
            pool.terminate()
            pool.join()
        pool_seconds += time.perf_counter() - t0
    print(json.dumps({"hung": hung, "failed": failed, "children": args.forks,
                      "fork_ms": 1000 * pool_seconds / max(1, args.forks)}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", default="build")
    parser.add_argument("--workers", type=int, default=16)
    parser.add_argument("--forks", type=int, default=4000)
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--gates", default="h,s,cx")
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--other-thread", action="store_true",
                        help="keep a second thread that has used the module alive")
    parser.add_argument("--in-a-row", type=int, default=1,
                        help="forks in a row after each search, with no call between")
    parser.add_argument("--pool", type=int, default=0,
                        help="start a multiprocessing pool (fork) of this many processes after "
                             "each search instead, and map 8 searches over it")
    parser.add_argument("--job", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.job:
        job(args)
        return
    env = dict(os.environ, PYTHONPATH=os.path.abspath(args.module),
               RAYON_NUM_THREADS=str(args.workers))
    t0 = time.perf_counter()
    procs = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--job", "--gates",
                               args.gates, "--forks", str(args.forks), "--timeout",
                               str(args.timeout), "--seed", str(args.seed + k),
                               "--in-a-row", str(args.in_a_row), "--pool", str(args.pool)]
                              + (["--other-thread"] if args.other_thread else []),
                              env=env, stdout=subprocess.PIPE, text=True)
             for k in range(args.jobs)]
    results = [json.loads(p.communicate()[0].strip().splitlines()[-1]) for p in procs]
    failed = sum(r["failed"] for r in results)
    children = sum(r["children"] for r in results)
    fork_ms = sum(r["fork_ms"] for r in results) / len(results)
    if args.pool:
        hung = sum(r["hung"] for r in results)
        what = (f"pools of {args.pool}: {hung} never returned and {failed} answered wrong of "
                f"{children} pools, {fork_ms:.1f} ms a pool")
    else:
        hung = [sum(r["hung"][k] for r in results) for k in range(args.in_a_row)]
        places = ", ".join(f"{h} of {children // args.in_a_row}" for h in hung)
        what = (f"{args.in_a_row} in a row: hung by place in the row {places}; {failed} failed "
                f"of {children} children, fork {fork_ms:.3f} ms")
    print(f"{args.module}: {{{args.gates}}} {args.workers} workers, {args.jobs} jobs"
          f"{', other thread' if args.other_thread else ''}: {what}, "
          f"{time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
