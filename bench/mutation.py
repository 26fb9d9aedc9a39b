"""Mutation score of the pure-Python front: does a wrong number fail a test?

Each mutant changes one operator or constant of one source file (arithmetic swap,
comparison swap incl. < vs <=, and/or, &/|, dropping ~ / not / unary minus,
a constant off by one, an index 0 <-> 1, a returned boolean flipped). The file is
rewritten in place, pytest runs ``-x -q`` on the module's tests in a fresh process
with a timeout, and the original bytes and mtime are put back afterwards, also on
Ctrl-C or SIGTERM. A mutant no test fails "survived".

By default the fresh process is a fork of this one, which has imported the heavy
third-party modules (numpy, pandas, pytest, hypothesis, matplotlib) once but never
orvane: each child imports orvane and the tests from the mutated source. ``--subprocess``
starts a new interpreter per mutant instead (slower; the same verdicts).

    python bench/mutation.py                                   # every default module, all mutants
    python bench/mutation.py --sample 60 --seed 1              # 60 random mutants per module
    python bench/mutation.py --module src/orvane/stats/_relative.py --tests tests/test_stats.py
    python bench/mutation.py --list --module src/orvane/inputs.py   # show mutants, run nothing
    python bench/mutation.py --module src/orvane/_records.py --keys survivors.txt --tests ...
    git archive HEAD~3 tests | tar -x -C /tmp/old && python bench/mutation.py --tests-dir /tmp/old/tests

Mutants listed in bench/mutation_equivalent.txt (no behaviour can tell them from the
original) are counted apart and left out of the score. Run from the repository root
with the package installed editable (the tests must import the files mutated here).
"""

from __future__ import annotations

import argparse
import ast
import atexit
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

STATS_TESTS = ["tests/test_stats.py", "tests/test_analytics.py", "tests/test_stats_table.py"]
INPUT_TESTS = ["tests/test_front_inputs.py", "tests/test_front_errors.py", "tests/test_shapes.py",
               "tests/test_front_trust.py"]
DEFAULT_TESTS = {
    # The financing rows and the figures built from a result are tested with their runs.
    "src/orvane/stats": STATS_TESTS + ["tests/test_front_ledger.py", "tests/test_financing.py",
                                       "tests/test_front_trust_figures.py"],
    # Every file whose runs read the records, the quick ones first; of the report's tests
    # only those that read them (its chart and title cases take 15 s).
    "src/orvane/_records.py": ["tests/test_front_engine.py", "tests/test_front_ledger.py",
                               "tests/test_front_result.py",
                               "tests/test_report.py::test_report_tables_match_the_result",
                               "tests/test_report.py::test_report_into_a_folder_and_of_a_run_without_trades",
                               "tests/test_report.py::test_actions_most_urgent_first_and_what_needs_doing",
                               "tests/test_front_trust_figures.py", "tests/test_book_controls.py",
                               "tests/test_financing.py", "tests/test_one_run.py",
                               "tests/test_lean_runs.py", "tests/test_front_trust.py",
                               "tests/test_unaligned.py", "tests/test_front_options.py"],
    "src/orvane/inputs.py": INPUT_TESTS + ["tests/test_front_engine.py"],
    "src/orvane/_values.py": INPUT_TESTS + ["tests/test_io.py"],
    "src/orvane/_shapes.py": INPUT_TESTS + ["tests/test_io.py"],
    "src/orvane/_clock.py": INPUT_TESTS + ["tests/test_front_engine.py"],
    "src/orvane/_checks.py": INPUT_TESTS + ["tests/test_front_options.py", "tests/test_io.py"],
    "src/orvane/stats/overfit.py": ["tests/test_overfit.py"],
    # test_sweep.py runs whole sweeps (tens of seconds a mutant); the store tests read the digests
    "src/orvane/sweep/_fingerprint.py": ["tests/test_sweep_store.py"],
}
DEFAULT_MODULES = (
    sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src/orvane/stats").glob("*.py"))
    + ["src/orvane/_records.py", "src/orvane/inputs.py", "src/orvane/_values.py",
       "src/orvane/_shapes.py", "src/orvane/_clock.py", "src/orvane/_checks.py",
       "src/orvane/stats/overfit.py", "src/orvane/sweep/_fingerprint.py"]
)
EQUIVALENT_FILE = ROOT / "bench" / "mutation_equivalent.txt"

BINOP_SWAP = {
    ast.Add: ast.Sub, ast.Sub: ast.Add, ast.Mult: ast.Div, ast.Div: ast.Mult,
    ast.FloorDiv: ast.Div, ast.Mod: ast.FloorDiv, ast.Pow: ast.Mult,
    ast.BitAnd: ast.BitOr, ast.BitOr: ast.BitAnd, ast.BitXor: ast.BitOr,
    ast.LShift: ast.RShift, ast.RShift: ast.LShift, ast.MatMult: ast.Mult,
}
CMP_SWAP = {
    ast.Lt: ast.LtE, ast.LtE: ast.Lt, ast.Gt: ast.GtE, ast.GtE: ast.Gt,
    ast.Eq: ast.NotEq, ast.NotEq: ast.Eq, ast.Is: ast.IsNot, ast.IsNot: ast.Is,
    ast.In: ast.NotIn, ast.NotIn: ast.In,
}
SYMBOL = {
    ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.FloorDiv: "//",
    ast.Mod: "%", ast.Pow: "**", ast.BitAnd: "&", ast.BitOr: "|", ast.BitXor: "^",
    ast.LShift: "<<", ast.RShift: ">>", ast.MatMult: "@", ast.Lt: "<", ast.LtE: "<=",
    ast.Gt: ">", ast.GtE: ">=", ast.Eq: "==", ast.NotEq: "!=", ast.Is: "is",
    ast.IsNot: "is not", ast.In: "in", ast.NotIn: "not in", ast.And: "and", ast.Or: "or",
    ast.Invert: "~", ast.Not: "not", ast.USub: "-",
}
# Keywords whose value only shapes a message or a warning's frame.
QUIET_KEYWORDS = {"stacklevel", "maxlen", "width", "precision", "indent"}


@dataclass
class Mutant:
    path: str          # relative to the repository root
    line: int
    col: int
    change: str        # e.g. "< -> <="
    start: int         # byte span of the replaced node in the file
    end: int
    text: bytes        # its replacement
    original: str      # the replaced source, first line

    @property
    def key(self) -> str:
        return f"{self.path}:{self.line}:{self.col} {self.change}"


def _offsets(source: bytes) -> list[int]:
    starts, pos = [0], 0
    for line in source.splitlines(keepends=True):
        pos += len(line)
        starts.append(pos)
    return starts


def _skipped_nodes(tree: ast.AST) -> set[int]:
    """Nodes never mutated: docstrings, annotations, f-strings, raise/assert messages,
    quiet keywords, and everything under them."""
    skip: set[int] = set()

    def cover(node: ast.AST | None) -> None:
        if node is not None:
            skip.update(id(n) for n in ast.walk(node))

    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            cover(node.returns)
            for arg in node.args.args + node.args.kwonlyargs + node.args.posonlyargs:
                cover(arg.annotation)
            cover(node.args.vararg and node.args.vararg.annotation)
            cover(node.args.kwarg and node.args.kwarg.annotation)
        if isinstance(node, ast.AnnAssign):
            cover(node.annotation)
        if isinstance(node, (ast.Module, ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            body = node.body
            if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
                cover(body[0])
        if isinstance(node, ast.JoinedStr):
            cover(node)
        if isinstance(node, ast.Raise):
            cover(node.exc)
            cover(node.cause)
        if isinstance(node, ast.Assert):
            cover(node.msg)
        if isinstance(node, ast.keyword) and node.arg in QUIET_KEYWORDS:
            cover(node)
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            cover(node)
    return skip


def _variants(node: ast.AST, parent: ast.AST | None):
    """Yield (change, replacement node) for one node."""
    if isinstance(node, ast.BinOp) and type(node.op) in BINOP_SWAP:
        new = BINOP_SWAP[type(node.op)]
        yield (f"{SYMBOL[type(node.op)]} -> {SYMBOL[new]}",
               ast.BinOp(left=node.left, op=new(), right=node.right))
    elif isinstance(node, ast.Compare):
        for i, op in enumerate(node.ops):
            if type(op) in CMP_SWAP:
                new = CMP_SWAP[type(op)]
                ops = list(node.ops)
                ops[i] = new()
                label = f"{SYMBOL[type(op)]} -> {SYMBOL[new]}" + (f" (#{i + 1})" if len(ops) > 1 else "")
                yield label, ast.Compare(left=node.left, ops=ops, comparators=node.comparators)
    elif isinstance(node, ast.BoolOp):
        new = ast.Or if isinstance(node.op, ast.And) else ast.And
        yield f"{SYMBOL[type(node.op)]} -> {SYMBOL[new]}", ast.BoolOp(op=new(), values=node.values)
    elif isinstance(node, ast.UnaryOp) and type(node.op) in (ast.Invert, ast.Not, ast.USub):
        if not (isinstance(node.op, ast.USub) and isinstance(node.operand, ast.Constant)):
            yield f"drop {SYMBOL[type(node.op)]}", node.operand
        elif type(node.operand.value) in (int, float):
            v = node.operand.value  # a negative literal: off by one like any constant
            yield f"-{v} -> {-v + 1}", ast.Constant(-v + 1)
    elif isinstance(node, ast.Constant) and not isinstance(parent, ast.UnaryOp):
        v = node.value
        if isinstance(v, bool):
            yield f"{v} -> {not v}", ast.Constant(not v)
        elif isinstance(v, int):
            new_v = {0: 1, 1: 0}.get(v, v + 1)
            yield f"{v} -> {new_v}", ast.Constant(new_v)
        elif isinstance(v, float):
            new_v = 0.0 if v == 1.0 else v + 1.0
            yield f"{v!r} -> {new_v!r}", ast.Constant(new_v)
    elif isinstance(node, ast.Return) and isinstance(node.value, (ast.Compare, ast.BoolOp)):
        yield "return not", ast.Return(value=ast.UnaryOp(op=ast.Not(), operand=node.value))


def mutants_of(path: str) -> list[Mutant]:
    source = (ROOT / path).read_bytes()
    lines = source.splitlines(keepends=True)
    starts = _offsets(source)
    tree = ast.parse(source)
    skip = _skipped_nodes(tree)
    parents = {id(c): p for p in ast.walk(tree) for c in ast.iter_child_nodes(p)}
    out: list[Mutant] = []
    for node in ast.walk(tree):
        if id(node) in skip or not hasattr(node, "end_lineno"):
            continue
        if b"no mutate" in lines[node.lineno - 1]:
            continue
        # col offsets are UTF-8 byte offsets, so the spans are byte spans
        start = starts[node.lineno - 1] + node.col_offset
        end = starts[node.end_lineno - 1] + node.end_col_offset
        for change, new in _variants(node, parents.get(id(node))):
            ast.fix_missing_locations(new)
            if isinstance(node, ast.stmt):
                text = ast.unparse(new)
            else:
                text = "(" + ast.unparse(new) + ")"
            original = source[start:end].decode().splitlines()[0]
            out.append(Mutant(path, node.lineno, node.col_offset, change, start, end,
                              text.encode(), original))
    out.sort(key=lambda m: (m.line, m.col, m.change))
    return out


def read_equivalents(path: Path) -> dict[str, str]:
    """'file:line:col change | reason' per line; '#' starts a comment."""
    found: dict[str, str] = {}
    if not path.exists():
        return found
    for raw in path.read_text().splitlines():
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        key, _, reason = line.partition(" | ")
        if key.endswith("->") and reason.startswith("| "):  # the change is "& -> |"
            key, reason = key + " |", reason[2:]
        elif len(key.split()) == 1 and reason.startswith("-> "):  # the change is "| -> &"
            change, _, reason = reason.partition(" | ")
            key = f"{key} | {change}"
        found[" ".join(key.split())] = reason.strip()
    return found


def tests_for(path: str) -> list[str]:
    for prefix, tests in DEFAULT_TESTS.items():
        if path == prefix or path.startswith(prefix + "/"):
            return tests
    name = Path(path).stem.lstrip("_")
    guess = [str(p.relative_to(ROOT)) for p in (ROOT / "tests").glob(f"test_*{name}*.py")]
    if not guess:
        raise SystemExit(f"no default tests for {path}; pass --tests")
    return guess


class Restorer:
    """Puts the original bytes and mtime back whatever ends the run."""

    def __init__(self, path: Path):
        self.path = path
        self.data = path.read_bytes()
        st = path.stat()
        self.times = (st.st_atime_ns, st.st_mtime_ns)

    def write(self, data: bytes) -> None:
        self.path.write_bytes(data)
        # bytecode cached from the original is checked by mtime (whole seconds) and size:
        # a mutant must never carry the original's mtime
        if self.path.stat().st_mtime_ns // 10**9 == self.times[1] // 10**9:
            os.utime(self.path, ns=(self.times[0], self.times[1] + 2 * 10**9))

    def restore(self) -> None:
        self.path.write_bytes(self.data)
        os.utime(self.path, ns=self.times)


def run_pytest(tests: list[str], timeout: float) -> tuple[str, float]:
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")  # a mutant's bytecode must never be cached
    cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
           "-p", "no:randomly", "-o", "addopts=", *tests]
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        rc = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return "timeout", time.monotonic() - t0
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    elapsed = time.monotonic() - t0
    if rc == 0:
        return "survived", elapsed
    if rc in (1, 2, 3):  # failed, interrupted, internal error (e.g. the mutant does not import)
        return "killed", elapsed
    return f"error rc={rc}", elapsed


# Imported once by the parent of the forked runs. orvane must stay out of this list and
# out of sys.modules: every child has to import it from the mutated file.
PRELOAD = ["numpy", "pandas", "pytest", "hypothesis", "hypothesis.extra.numpy",
           "hypothesis.extra.pandas", "matplotlib", "matplotlib.figure", "pyarrow",
           "pyarrow.parquet", "sqlite3", "multiprocessing", "concurrent.futures"]


def preload() -> None:
    os.environ.setdefault("MPLBACKEND", "Agg")
    for name in PRELOAD:
        try:
            __import__(name)
        except ImportError:
            pass
    if any(n == "orvane" or n.startswith("orvane.") for n in sys.modules):
        raise SystemExit("orvane was imported before forking; the children would not see the mutants")


def run_forked(tests: list[str], timeout: float, cache: bool = False) -> tuple[str, float]:
    """pytest.main in a forked child, killed with its process group on timeout.

    Bytecode lives under a private sys.pycache_prefix. Only a run on the unmutated
    source (``cache``) writes it; mutant runs read it for the files they did not change
    and compile the mutated one afresh, since its mtime differs."""
    args = ["-x", "-q", "-p", "no:cacheprovider", "-p", "no:randomly", "-o", "addopts=", *tests]
    t0 = time.monotonic()
    pid = os.fork()
    if pid == 0:  # the child: never return into the parent's code
        rc = 4
        try:
            os.setpgid(0, 0)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            devnull = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            os.chdir(ROOT)
            sys.dont_write_bytecode = not cache
            import pytest
            rc = int(pytest.main(args))
        finally:
            os._exit(rc)
    try:
        deadline = t0 + timeout
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                _kill_group(pid)
                return "timeout", time.monotonic() - t0
            time.sleep(0.02)
    except BaseException:
        _kill_group(pid)
        raise
    elapsed = time.monotonic() - t0
    rc = os.waitstatus_to_exitcode(status)
    if rc == 0:
        return "survived", elapsed
    if rc in (1, 2, 3):
        return "killed", elapsed
    return f"error rc={rc}", elapsed


def _kill_group(pid: int) -> None:
    for target in (lambda: os.killpg(pid, signal.SIGKILL), lambda: os.kill(pid, signal.SIGKILL)):
        try:
            target()
        except (ProcessLookupError, PermissionError):
            pass
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:
        pass


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--module", action="append", help="source file to mutate (repeatable)")
    ap.add_argument("--tests", action="append",
                    help="pytest selection for every --module (repeatable; default: per module)")
    ap.add_argument("--tests-dir", type=Path,
                    help="read the default selections from this copy of tests/ (e.g. an older "
                         "commit's, exported with git archive) to score those tests")
    ap.add_argument("--sample", type=int, help="random mutants per module")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--keys", type=Path,
                    help="only these mutants: a file of their keys, one a line, as a run prints "
                         "its survivors (to try a quick selection's survivors on more tests)")
    ap.add_argument("--full", action="store_true", help="every mutant (the default without --sample)")
    ap.add_argument("--timeout", type=float, help="seconds per mutant (default: 3x the clean run + 10)")
    ap.add_argument("--equivalent", type=Path, default=EQUIVALENT_FILE)
    ap.add_argument("--list", action="store_true", help="print the mutants and exit")
    ap.add_argument("--subprocess", action="store_true",
                    help="a new interpreter per mutant instead of a fork of a preloaded one")
    args = ap.parse_args(argv)
    if sum(map(bool, (args.full, args.sample, args.keys))) > 1:
        ap.error("--full, --sample and --keys exclude each other")
    if args.subprocess or args.list or not hasattr(os, "fork"):
        run = run_pytest
    else:
        preload()
        sys.dont_write_bytecode = True  # a mutant's bytecode must never be cached
        sys.pycache_prefix = tempfile.mkdtemp(prefix="orvane-mutation-pyc-")
        atexit.register(shutil.rmtree, sys.pycache_prefix, True)
        run = run_forked

    modules = args.module or DEFAULT_MODULES
    equivalents = read_equivalents(args.equivalent)
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    totals = []
    t_start = time.monotonic()
    for module in modules:
        module = str(Path(module))
        if not (ROOT / module).is_file():
            ap.error(f"no such file: {module}")
        tests = args.tests or tests_for(module)
        if args.tests_dir and not args.tests:
            tests = [str(args.tests_dir.resolve() / Path(t).relative_to("tests")) for t in tests]
        mutants = mutants_of(module)
        n_all = len(mutants)
        known = {m.key for m in mutants}
        for key in sorted(k for k in equivalents if k.split(":")[0] == module and k not in known):
            print(f"   stale equivalent (no such mutant now; the file moved?): {key}", flush=True)
        if args.keys:
            wanted = {line.split("    ")[0].split(" survived ")[-1].strip()
                      for line in args.keys.read_text().splitlines() if line.strip()}
            mutants = [m for m in mutants if m.key in wanted]
        elif args.sample and args.sample < n_all:
            mutants = sorted(random.Random(f"{args.seed}:{module}").sample(mutants, args.sample),
                             key=lambda m: (m.line, m.col, m.change))
        if args.list:
            for m in mutants:
                mark = "  [equivalent]" if m.key in equivalents else ""
                print(f"{m.key}    {m.original.strip()}{mark}")
            continue
        skipped = [m for m in mutants if m.key in equivalents]
        todo = [m for m in mutants if m.key not in equivalents]
        print(f"\n== {module}: {len(todo)} of {n_all} mutants, tests: {' '.join(tests)}", flush=True)
        if run is run_forked:
            run(tests, timeout=3600, cache=True)  # fills the bytecode cache, not timed
        clean, clean_s = run(tests, timeout=3600)
        if clean != "survived":
            print(f"   the unmutated tests do not pass ({clean}); skipping", flush=True)
            continue
        timeout = args.timeout or 3 * clean_s + 10
        restorer = Restorer(ROOT / module)
        outcome: dict[str, list[Mutant]] = {}
        t_mod = time.monotonic()
        try:
            for i, m in enumerate(todo, 1):
                restorer.write(restorer.data[:m.start] + m.text + restorer.data[m.end:])
                try:
                    ast.parse(restorer.path.read_bytes())
                    status, _ = run(tests, timeout)
                except SyntaxError:
                    status = "invalid"
                finally:
                    restorer.restore()
                outcome.setdefault(status, []).append(m)
                if status == "survived":
                    print(f"   [{i}/{len(todo)}] survived {m.key}    {m.original.strip()}", flush=True)
        except KeyboardInterrupt:
            restorer.restore()
            print("\ninterrupted; the source file is restored", flush=True)
            return 130
        finally:
            restorer.restore()
        killed = len(outcome.get("killed", []))
        survived = outcome.get("survived", [])
        timed_out = len(outcome.get("timeout", []))
        scored = killed + len(survived) + timed_out
        score = (killed + timed_out) / scored if scored else float("nan")
        seconds = time.monotonic() - t_mod
        others = {k: len(v) for k, v in outcome.items() if k not in ("killed", "survived", "timeout")}
        print(f"   mutants {len(mutants)}  killed {killed}  survived {len(survived)}  "
              f"timed out {timed_out}  equivalent {len(skipped)}"
              + (f"  other {others}" if others else "")
              + f"  score {score:.1%}  ({seconds:.0f} s, {seconds / max(len(todo), 1):.1f} s/mutant,"
              f" clean run {clean_s:.1f} s)", flush=True)
        for m in survived:
            print(f"   survivor {m.key}    {m.original.strip()}")
        totals.append((module, len(mutants), killed, len(survived), timed_out, len(skipped), score))
    if totals:
        print(f"\n{'module':45s} {'mutants':>7s} {'killed':>6s} {'surv':>5s} {'t/o':>4s} {'equiv':>5s} {'score':>6s}")
        for row in totals:
            print(f"{row[0]:45s} {row[1]:7d} {row[2]:6d} {row[3]:5d} {row[4]:4d} {row[5]:5d} {row[6]:6.1%}")
        print(f"total {time.monotonic() - t_start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
