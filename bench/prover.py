"""Times IdentityProver.build_from_eccs on whole class sets, per thread count and per module.

    /usr/bin/python3 bench/prover.py [--module DIR ...] [--threads 1,8] [--size 6] [--repeat N]

Every (module, thread count) pair runs in its own process (the pool's size is fixed once per
process) with PYTHONPATH=DIR and RAYON_NUM_THREADS set; DIR defaults to build. Give --module
twice (say, a copy of the previous commit's module, then build) to compare two modules side by
side in one run. The classes are those of bench/whole_jobs.py: RawECCs.generate, simplify,
filter_single (or the classes of a class file given with --classes, so that every module
builds from the same classes); only the prover build is timed, best of N, in wall time and in the process's CPU time (all threads;
on a busy machine the CPU time of one thread is the steadier figure). Each row also prints the number of
assumptions and a digest of the assumption list, so two modules can be seen to agree.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import time


def worker(args):
    import marrowfen as mf

    if args.classes:
        eccs = mf.ECCs.from_postcard(args.classes)
    else:
        gates = [mf.Gate.from_name(n) for n in args.gates.split(",")]
        raw, _ = mf.RawECCs.generate(mf.Evaluator(args.qubits), gates, args.size)
        eccs = raw.simplify().filter_single()
    best = cpu = float("inf")
    prover = None
    for _ in range(args.repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        prover = mf.IdentityProver.build_from_eccs(eccs)
        best = min(best, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
    assumed = prover.get_assumed()
    digest = hashlib.sha256("\n".join(str(a) for a in assumed).encode()).hexdigest()[:12]
    print(json.dumps({"classes": len(eccs), "seconds": best, "cpu": cpu, "assumed": len(assumed),
                      "digest": digest}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", action="append", help="directory holding the module")
    parser.add_argument("--threads", default="1,8", help="comma-separated thread counts")
    parser.add_argument("--qubits", type=int, default=3)
    parser.add_argument("--gates", default="h,cx,t")
    parser.add_argument("--size", type=int, default=6)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--classes", help="a class file to build from instead (ECCs.dump_postcard)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return

    modules = args.module or ["build"]
    source = args.classes or (f"{{{args.gates}}} {args.qubits} qubits up to {args.size} "
                              f"instructions, filter_single")
    print(f"build_from_eccs {source}, best of {args.repeat}")
    print(f"{'module':>28} {'threads':>8} {'classes':>8} {'seconds':>9} {'cpu s':>9} "
          f"{'assumed':>8} digest")
    for module in modules:
        for threads in args.threads.split(","):
            env = dict(os.environ, PYTHONPATH=os.path.abspath(module), RAYON_NUM_THREADS=threads)
            cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--qubits",
                   str(args.qubits), "--gates", args.gates, "--size", str(args.size),
                   "--repeat", str(args.repeat)] + (
                       ["--classes", os.path.abspath(args.classes)] if args.classes else [])
            out = subprocess.run(cmd, env=env, check=True, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, text=True).stdout
            r = json.loads(out.strip().splitlines()[-1])
            print(f"{module[-28:]:>28} {threads:>8} {r['classes']:>8} {r['seconds']:>9.3f} "
                  f"{r['cpu']:>9.3f} {r['assumed']:>8} {r['digest']}", flush=True)


if __name__ == "__main__":
    main()
