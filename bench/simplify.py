"""Times RawECCs.simplify on the classes of one search, with the pool's thread count.

    RAYON_NUM_THREADS=8 PYTHONPATH=build /usr/bin/python3 bench/simplify.py [--size 8] [--repeat 3]

The search ({h, t, cx} on 3 qubits up to --size instructions) runs once, its progress lines
silenced; the simplification runs --repeat times and the best wall time is reported, with the
CPU time of that run (all threads) beside it, then the process's peak resident size through the
search and the first simplification (what a process that simplifies once needs; later runs may
raise it further). Run it once per module to compare two builds.
"""
import argparse
import os
import resource
import sys
import time

import marrowfen as mf


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    ev = mf.Evaluator(3)
    gates = [mf.Gate.from_name(n) for n in ("h", "t", "cx")]
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        t0 = time.perf_counter()
        raw, _ = mf.RawECCs.generate(ev, gates, args.size)
        t_gen = time.perf_counter() - t0
    finally:
        os.dup2(saved, 1)
        os.close(devnull)
        os.close(saved)
    best = (float("inf"), 0.0)
    classes = 0
    peak_kib = 0
    for _ in range(args.repeat):
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        eccs = raw.simplify()
        wall = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
        classes = len(eccs)
        if not peak_kib:
            peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        del eccs
        best = min(best, (wall, cpu))
    print(f"threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'default')}",
          file=sys.stderr)
    print(f"3q h+t+cx size {args.size}: generate {t_gen:.2f} s, {classes} classes, "
          f"simplify best {best[0]:.3f} s (cpu {best[1]:.2f} s), "
          f"peak RSS {peak_kib} KiB")


if __name__ == "__main__":
    main()
