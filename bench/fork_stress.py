"""Forks right after cut-short prover searches and counts children that do not finish.

    /usr/bin/python3 bench/fork_stress.py [--module DIR] [--workers 16] [--forks 4000]
        [--jobs 3] [--gates h,s,cx] [--timeout 10] [--other-thread]

Each of --jobs processes (PYTHONPATH=DIR, RAYON_NUM_THREADS=--workers) builds the prover from
the gates on 3 qubits up to 5 instructions (filter_single), then --forks times: runs
prove_identity(c, 3, limit) on one of the longest candidates with a small limit (40 to 220, so
the search is cut short), forks at once, and lets the child run prove_identity(other, 3, 200)
and exit. A child that has not exited within --timeout seconds is counted as hung and killed.
Running several jobs side by side loads the machine, which is when a fork is most likely to
meet the pool's workers busy. Prints the children that hung, the children that failed, and the
mean time of a fork in the parent.
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
    hung = failed = 0
    fork_seconds = 0.0
    for _ in range(args.forks):
        prover.prove_identity(rng.choice(longest), 3, rng.randint(40, 220))
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
        deadline = time.monotonic() + args.timeout
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
                    failed += 1
                break
            if time.monotonic() > deadline:
                hung += 1
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                break
            time.sleep(0.001)
    print(json.dumps({"hung": hung, "failed": failed, "forks": args.forks,
                      "fork_ms": 1000 * fork_seconds / max(1, args.forks)}))


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
                               str(args.timeout), "--seed", str(args.seed + k)]
                              + (["--other-thread"] if args.other_thread else []),
                              env=env, stdout=subprocess.PIPE, text=True)
             for k in range(args.jobs)]
    results = [json.loads(p.communicate()[0].strip().splitlines()[-1]) for p in procs]
    hung = sum(r["hung"] for r in results)
    failed = sum(r["failed"] for r in results)
    forks = sum(r["forks"] for r in results)
    fork_ms = sum(r["fork_ms"] for r in results) / len(results)
    print(f"{args.module}: {{{args.gates}}} {args.workers} workers, {args.jobs} jobs: "
          f"{hung} hung and {failed} failed of {forks} children, fork {fork_ms:.3f} ms, "
          f"{time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
