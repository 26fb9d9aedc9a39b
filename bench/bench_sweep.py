"""Time orvane.sweep on one market: sequential, the process pool (started per sweep, and
kept in a SweepPool) and Ray, side by side.

Each round runs the same grid once per executor, interleaved, so machine load hits all
alike; the ratios are what carries across machines.  Each round also measures the
machine's own ceiling: as many independent processes as workers, forked ready and
released together, each sweeping its share of the grid sequentially; the warm pool's
share of that ceiling is ceiling time / pool time.

    python bench/bench_sweep.py                        # 200 runs, 2,520 x 500, 2 workers
    python bench/bench_sweep.py --rounds 3 --no-ray
"""

import argparse
import itertools
import multiprocessing
import os
import platform
import resource
import statistics
import sys
import time
import warnings

import orvane
from orvane import datasets
from orvane.sweep import SweepPool

# 4 x 5 x 10 = 200 runs: a signal parameter and two exit rules.
GRID = {
    "lookback": [63, 126, 189, 252],
    "stop_loss": [None, 0.05, 0.08, 0.1, 0.15],
    "take_profit": [None, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.75, 1.0, 2.0],
}


def grid_of(runs):
    names = list(GRID)
    full = [dict(zip(names, combo)) for combo in itertools.product(*GRID.values())]
    if runs > len(full):
        raise SystemExit("at most %d runs" % len(full))
    return full[:runs]


def cpu_seconds():
    # This process and its reaped children (the pool's workers, joined at the end).
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed_sweep(market, grid, **kwargs):
    cpu = cpu_seconds()
    called = time.time()
    start = time.perf_counter()
    res = orvane.sweep(market, grid, strategy=datasets.momentum, progress=False, **kwargs)
    wall = time.perf_counter() - start
    return wall, cpu_seconds() - cpu, res, phases(res, called, called + wall)


def side_by_side(market, grid, workers):
    """Wall seconds of ``workers`` independent processes, forked and waiting, released
    together, each sweeping its share of the grid sequentially: until the last is done."""
    ctx = multiprocessing.get_context("fork")
    go, done = ctx.Event(), ctx.Queue()

    def work(part):
        go.wait()
        orvane.sweep(market, part, strategy=datasets.momentum, executor="sequential",
                     progress=False)
        done.put(time.perf_counter())  # the monotonic clock is the machine's, not the process's

    procs = [ctx.Process(target=work, args=(grid[k::workers],)) for k in range(workers)]
    for proc in procs:
        proc.start()
    time.sleep(1.0)  # forked and waiting
    start = time.perf_counter()
    go.set()
    ends = [done.get() for _ in procs]
    for proc in procs:
        proc.join()
    return max(ends) - start


def phases(res, called, returned):
    """(start-up s, gaps per run s) from where and when each run ran.

    Start-up: from the call to the first run. Gaps: each worker's span from its first
    run's start to its last run's end, minus its runs' own time, summed and divided by
    the runs: what scheduling, the transfer of tasks and results, and the parent's
    bookkeeping add per run once the workers are up.
    """
    t = res.timings
    started = t["started"].map(lambda ts: ts.timestamp())
    ended = started + t["seconds"]
    spans = ended.groupby(t["worker"]).max() - started.groupby(t["worker"]).min()
    gaps = (spans.sum() - t["seconds"].sum()) / len(t)
    return started.min() - called, gaps


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--years", type=float, default=10.0, help="252 bars a year")
    parser.add_argument("--stocks", type=int, default=500)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=2, help="interleaved rounds")
    parser.add_argument("--no-ray", action="store_true", help="skip the Ray executor")
    args = parser.parse_args()
    warnings.simplefilter("ignore")

    market = datasets.synthetic_market(stocks=args.stocks, years=args.years, seed=0)
    grid = grid_of(args.runs)
    # Warm workers, started once outside every figure as Ray's are.
    pool = SweepPool(workers=args.workers)
    pool_start = timed_sweep(market, grid_of(args.workers), executor=pool)[3][0]
    executors = {"sequential": {"executor": "sequential"},
                 "process": {"executor": "process", "workers": args.workers},
                 "warm pool": {"executor": pool}}
    ray_start = None
    if not args.no_ray:
        try:
            import ray
        except ImportError:
            print("Ray is not installed (pip install 'orvane[ray]'): skipped")
        else:
            t0 = time.perf_counter()
            ray.init(num_cpus=args.workers, include_dashboard=False, logging_level="warning")
            ray_start = time.perf_counter() - t0
            executors["ray"] = {"executor": "ray", "workers": args.workers}

    print("python %s, %s, %d cores; market %d x %d, %d runs, %d workers, %d rounds"
          % (platform.python_version(), platform.machine(), os.cpu_count(),
             *market["close"].shape, len(grid), args.workers, args.rounds))
    # Other work on the machine takes cores from the pool, never from the sequential run.
    load = [os.getloadavg()[0]]
    walls = {name: [] for name in executors}
    work = {name: [] for name in executors}
    cpus = {name: [] for name in executors}
    run_cpu = {name: [] for name in executors}
    starts = {name: [] for name in executors}
    gaps = {name: [] for name in executors}
    tables = {}
    ceiling = []
    for _ in range(args.rounds):
        ceiling.append(side_by_side(market, grid, args.workers))
        for name, kwargs in executors.items():
            wall, cpu, res, (start, gap) = timed_sweep(market, grid, **kwargs)
            walls[name].append(wall)
            cpus[name].append(cpu)
            work[name].append(res.seconds.sum())
            run_cpu[name].append(res.timings["cpu"].sum())
            starts[name].append(start)
            gaps[name].append(gap)
            tables[name] = res.table
    load.append(os.getloadavg()[0])
    if ray_start is not None:
        ray.shutdown()
    pool.close()

    forked = pool._pool.ctx.get_start_method() == "forkserver"
    reference = tables["sequential"]
    identical = all(table.equals(reference) for table in tables.values())
    seq = statistics.median(walls["sequential"])
    print()
    seq_cpu = statistics.median(cpus["sequential"])
    print("%-11s %7s %7s %7s %7s %7s %7s %8s %9s %7s %8s" % (
        "executor", "wall s", "runs/s", "vs seq", "run ms", "cpu ms", "gap ms", "gap/run",
        "overhead", "start", "all cpu"))
    for name in executors:
        wall = statistics.median(walls[name])
        busy = statistics.median(work[name])
        run = busy / len(grid)
        lanes = 1 if name == "sequential" else args.workers
        # Lane time not spent inside runs: start-up, scheduling, transfer, idle tails.
        overhead = (wall * lanes - busy) / busy
        gap = statistics.median(gaps[name])
        # Only reaped children count: not Ray's workers, nor the warm pool's (yet), nor
        # workers forked from a server (they are its children, reaped by it).
        cpu = "n/a" if name in ("ray", "warm pool") or (name == "process" and forked) else \
            "%.2fx" % (statistics.median(cpus[name]) / seq_cpu)
        print("%-11s %7.2f %7.1f %6.2fx %7.1f %7.1f %7.2f %7.1f%% %8.1f%% %6.2fs %8s" % (
            name, wall, len(grid) / wall, seq / wall, 1e3 * run,
            1e3 * statistics.median(run_cpu[name]) / len(grid), 1e3 * gap, 100 * gap / run,
            100 * overhead, statistics.median(starts[name]), cpu))
    top = statistics.median(ceiling)
    print("\nthe machine's ceiling: %d independent sequential processes side by side, %.2f s "
          "(%.1f runs/s); the warm pool reaches %.1f %% of it"
          % (args.workers, top, len(grid) / top, 100 * top / statistics.median(walls["warm pool"])))
    print("SweepPool start-up (to its first run): %.2f s (once, outside every figure)"
          % pool_start)
    if forked:
        print("every pool's workers are forked from one server, started with the SweepPool "
              "before the rounds (once per Python process)")
    if ray_start is not None:
        print("ray.init of a local %d-CPU cluster: %.2f s (once, outside every figure)"
              % (args.workers, ray_start))
    print("load average (1 min) before / after: %.2f / %.2f" % tuple(load))
    print("rows identical across executors: %s" % ("yes" if identical else "NO"))
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
