"""Times whole jobs through the Python surface: a search, its simplification and a prover build.

    PYTHONPATH=build /usr/bin/python3 bench/whole_jobs.py [--repeat N]

Each job runs N times (default 3); the best wall time is reported. Progress output of the
module goes to the terminal as usual.
"""
import argparse
import os
import sys
import time

import marrowfen as mf

JOBS = [
    # (qubits, gate names, max_size)
    (1, ["h", "t", "s", "x"], 6),
    (2, ["h", "t", "cx"], 5),
    (3, ["h", "t", "cx"], 4),
    (3, ["h", "s", "cx"], 5),
]


def best_of(repeat, fn):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--prover", action="store_true", help="also build a prover per job")
    args = parser.parse_args()
    rows = []
    for nq, names, size in JOBS:
        gates = [mf.Gate.from_name(n) for n in names]
        ev = mf.Evaluator(nq)
        t_gen, (raw, counters) = best_of(args.repeat, lambda: mf.RawECCs.generate(ev, gates, size))
        t_simp, eccs = best_of(args.repeat, raw.simplify)
        row = [f"{nq}q {'+'.join(names)} size {size}", f"{t_gen * 1e3:.1f} ms",
               f"{counters[1] / t_gen / 1e6:.2f} M evals/s", f"{t_simp * 1e3:.1f} ms", str(len(eccs))]
        if args.prover:
            single = eccs.filter_single()
            t_prov, prover = best_of(1, lambda: mf.IdentityProver.build_from_eccs(single))
            row += [f"{t_prov * 1e3:.0f} ms", str(len(prover.get_assumed()))]
        rows.append(row)
    head = ["job", "generate", "rate", "simplify", "classes"]
    if args.prover:
        head += ["prover", "assumed"]
    print(f"threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'default')}",
          file=sys.stderr)
    for r in [head] + rows:
        print("  ".join(f"{c:>22}" if i == 0 else f"{c:>16}" for i, c in enumerate(r)))


if __name__ == "__main__":
    main()
