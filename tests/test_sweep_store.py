"""A sweep's store: what it keeps comes back bit for bit, an edited strategy or a store of
another sweep is refused, and a crafted, damaged or foreign file is refused without running
anything or changing a byte of it."""

import dis
import hashlib
import json
import os
import pickle
import re
import shutil
import sqlite3
import sys
import types
import warnings
from contextlib import closing

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.sweep._fingerprint import strategy_change, strategy_parts
from orvane.sweep._store import FORMAT

pytestmark = [pytest.mark.filterwarnings("ignore:weights. :UserWarning"),
              pytest.mark.filterwarnings("ignore:.* runs warned")]

KEEP = ("stats", "equity", "trades")
# The second run fails (a stop-loss above 1): failed rows are stored too.
GRID = {"stop_loss": [None, 7.0, 0.05]}


@pytest.fixture(scope="module")
def market():
    return datasets.synthetic_market(stocks=12, years=1, seed=5)


@pytest.fixture(scope="module")
def weights(market):
    return datasets.momentum(market, lookback=21, top=3)


def run(market, store, *, grid=GRID, keep=KEEP, **source):
    source = source or {"weights": None}
    return orvane.sweep(market, grid, workers=1, progress=False, keep=keep, store=store,
                        **source)


@pytest.fixture
def stored(market, weights, tmp_path):
    """A genuine store of a finished sweep, and the sweep's result."""
    path = tmp_path / "runs.sqlite"
    return path, run(market, path, weights=weights)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_stored_runs_come_back_bit_for_bit(stored, market, weights):
    path, first = stored
    with closing(sqlite3.connect(path)) as db:
        assert db.execute("SELECT count(*) FROM runs").fetchone()[0] == 3
    again = run(market, path, weights=weights)
    pd.testing.assert_frame_equal(again.table, first.table)
    pd.testing.assert_frame_equal(again.equity, first.equity)
    assert again.table["error"].notna().tolist() == [False, True, False]
    assert again.traceback(1) == first.traceback(1) and "stop_loss" in again.traceback(1)
    for i in (0, 2):
        pd.testing.assert_frame_equal(again.trades(i), first.trades(i))
    assert again.trades(1) is None
    pd.testing.assert_frame_equal(again.timings, first.timings)


def test_runs_stored_under_a_statistic_s_old_name_resume_under_its_new_one(stored, market,
                                                                           weights):
    path, first = stored
    # As an earlier version wrote them: time in market was called "exposure".
    with closing(sqlite3.connect(path)) as db, db:
        db.execute("UPDATE runs SET record = replace(record, '\"time_in_market\"', "
                   "'\"exposure\"') WHERE run = 0")
        assert '"exposure"' in db.execute("SELECT record FROM runs WHERE run = 0").fetchone()[0]
    again = run(market, path, weights=weights)
    pd.testing.assert_frame_equal(again.table, first.table)


@pytest.mark.parametrize("index", [
    pd.date_range("2020-01-01", periods=4, freq="D", tz="America/New_York", name="when"),
    pd.DatetimeIndex(["2020-01-01 09:30", "2020-01-02 16:00", "2020-01-06", "2020-01-07"]),
    pd.RangeIndex(4)])
def test_tables_of_every_column_type_round_trip(index):
    from orvane.sweep._runner import Payload
    from orvane.sweep._store import decode, encode

    trades = pd.DataFrame({
        "ticker": np.array(["A", None, "B", np.nan], dtype=object),
        "side": pd.Categorical(["long", "short", "long", None], categories=["long", "short"]),
        "when": pd.to_datetime(["2020-01-01", None, "2021-05-05", "2262-01-01"]),
        "zoned": pd.date_range("2020-03-08", periods=4, freq="h", tz="Europe/Paris"),
        "bars": np.array([1, -2, 3, 2**62], dtype=np.int64),
        "flag": [True, False, True, False],
        "value": [0.1, -0.0, np.nan, np.inf],
    }, index=index)
    payload = Payload(
        worker="h:1", started=1.5, seconds=0.25, cpu=0.2,
        warnings=[(RuntimeWarning, "one"), (UserWarning, "two")],
        stats={"sharpe": 0.1 + 0.2, "trades": 3, "start": pd.Timestamp("2020-01-02"),
               "recovery": pd.NaT, "zone": pd.Timestamp("2020-01-02 10:00", tz="Asia/Tokyo"),
               "none": None, "name": "x"},
        equity=(b"\x01\x02", np.array([1.0, np.nan, 1.25, 5e-324])), equity_index=index,
        trades=trades, exception=RuntimeError("never stored"))
    back = decode(*encode(payload))
    pd.testing.assert_frame_equal(back.trades, trades)
    pd.testing.assert_index_equal(back.equity_index, index, exact=True)
    assert back.equity[0] == b"\x01\x02"
    np.testing.assert_array_equal(back.equity[1], payload.equity[1])
    assert (back.warnings, back.worker, back.started, back.seconds, back.cpu) == \
        (payload.warnings, "h:1", 1.5, 0.25, 0.2)
    assert back.exception is None and back.result is None and back.error is None
    for name, value in payload.stats.items():
        assert type(back.stats[name]) is type(value) and (
            back.stats[name] == value or value is pd.NaT), name
    assert back.stats["zone"].tz is not None


def test_result_is_not_stored(market, weights, tmp_path):
    with pytest.raises(ValueError, match=r"keep='result' cannot go to a store.*drop store="):
        run(market, tmp_path / "r.sqlite", weights=weights, keep=("stats", "result"))
    assert not (tmp_path / "r.sqlite").exists()


# -- the strategy's fingerprint ------------------------------------------------------

HELPERS = {"momentum": datasets.momentum, "np": np}
BASE = """
LOOKBACK = 21
def strategy(market, top=3):
    return momentum(market, lookback=LOOKBACK, top=top)
"""


def strategy_from(source, name="user_strategies", **names):
    namespace = {"__name__": name, **HELPERS, **names}
    exec(compile(source, f"<{name}>", "exec"), namespace)
    return namespace["strategy"]


def closure_strategy(lookback):
    def strategy(market, top=3):
        return datasets.momentum(market, lookback=lookback, top=top)
    return strategy


def config_module(lookback):
    module = types.ModuleType("user_config")
    module.LOOKBACK = lookback
    module.__file__ = "/home/user/research/user_config.py"
    return module


EDITS = {
    "a constant": (
        "def strategy(market, top=3):\n    return momentum(market, lookback=126, top=top)\n",
        "def strategy(market, top=3):\n    return momentum(market, lookback=21, top=top)\n",
        "code and constants"),
    "a default": (
        "def strategy(market, top=3, lookback=126):\n"
        "    return momentum(market, lookback=lookback, top=top)\n",
        "def strategy(market, top=3, lookback=21):\n"
        "    return momentum(market, lookback=lookback, top=top)\n",
        "defaults"),
    "a module-level number": (BASE.replace("21", "126"), BASE, "module-level LOOKBACK"),
    "a module-level array": (
        "W = np.array([1.0, 0.5])\n"
        "def strategy(market, top=3):\n    return momentum(market, lookback=21, top=top) * W[0]\n",
        "W = np.array([1.0, 0.25])\n"
        "def strategy(market, top=3):\n    return momentum(market, lookback=21, top=top) * W[0]\n",
        "module-level W"),
    "a helper's constant": (
        "def signal(m, top):\n    return momentum(m, lookback=126, top=top)\n"
        "def strategy(market, top=3):\n    return signal(market, top)\n",
        "def signal(m, top):\n    return momentum(m, lookback=21, top=top)\n"
        "def strategy(market, top=3):\n    return signal(market, top)\n",
        "module-level signal: code and constants"),
    "a method called": (
        "def strategy(market, top=3):\n    return momentum(market, lookback=21, top=top).abs()\n",
        "def strategy(market, top=3):\n    return momentum(market, lookback=21, top=top).round()\n",
        "code and constants"),
}


@pytest.mark.parametrize("edit", list(EDITS))
def test_an_edited_strategy_is_refused_naming_what_changed(edit, market, tmp_path):
    before, after, part = EDITS[edit]
    path = tmp_path / "s.sqlite"
    run(market, path, grid={"top": [2, 3]}, keep=("stats",), strategy=strategy_from(before))
    with pytest.raises(ValueError, match=rf"its strategy differs from this one's \({part}\)"):
        run(market, path, grid={"top": [2, 3]}, keep=("stats",), strategy=strategy_from(after))
    # The same source again (another function object, lines moved) resumes.
    moved = strategy_from("\n\n\n" + before)
    assert run(market, path, grid={"top": [2, 3]}, keep=("stats",),
               strategy=moved).timings["started"].notna().all()


# Edits that keep every number and name: only the operations tell them apart.
OPERATIONS = {
    "an operator": ("return w * 2", "return w / 2"),
    "operands swapped": ("return w - top", "return top - w"),
    "a comparison": ("return w if top > 2 else -w", "return w if top < 2 else -w"),
    "is / is not": ("return w if top is None else -w", "return w if top is not None else -w"),
    "and / or": ("return top and w", "return top or w"),
    "a keyword's name": ("return w.shift(periods=1)", "return w.shift(freq=1)"),
    "break / continue": ("for k in range(top):\n        if k > 1:\n            break\n"
                         "    return w",
                         "for k in range(top):\n        if k > 1:\n            continue\n"
                         "    return w"),
    "a line out of a try": ("try:\n        w = w * 2\n        w = w.abs()\n"
                            "    except ValueError:\n        pass\n    return w",
                            "try:\n        w = w * 2\n    except ValueError:\n        pass\n"
                            "    w = w.abs()\n    return w"),
}


def operation(body):
    return strategy_from("def strategy(market, top=3):\n"
                         f"    w = momentum(market, lookback=21, top=top)\n    {body}\n")


@pytest.mark.parametrize("edit", list(OPERATIONS))
def test_an_edited_operation_changes_the_code_part(edit):
    before, after = (strategy_parts(operation(body))[0]["code and constants"]
                     for body in OPERATIONS[edit])
    assert before != after


def constants_reversed(func):
    """``func`` with its table of constants laid out in reverse, every instruction still
    loading the same value: a layout another build of the same Python may choose."""
    code = func.__code__
    last = len(code.co_consts) - 1
    raw = bytearray(code.co_code)
    for ins in dis.get_instructions(code):
        if ins.opcode in dis.hasconst:
            assert ins.arg <= 255 and raw[ins.offset] == ins.opcode
            raw[ins.offset + 1] = last - ins.arg
    laid = code.replace(co_code=bytes(raw), co_consts=code.co_consts[::-1])
    return types.FunctionType(laid, func.__globals__, func.__name__, func.__defaults__)


LAID_OUT = ("def strategy(market, top=3):\n    'Momentum, halved.'\n"
            "    return momentum(market, lookback=21, top=top).shift(periods=1) * 0.5 + 1\n")


def test_the_code_part_keys_on_what_the_code_does_not_its_layout(market):
    base = strategy_from(LAID_OUT)
    stripped = {**HELPERS, "__name__": "user_strategies"}  # as python -OO compiles it
    exec(compile(LAID_OUT, "<user_strategies>", "exec", optimize=2), stripped)
    relaid = constants_reversed(base)
    pd.testing.assert_frame_equal(relaid(market), base(market))
    assert stripped["strategy"].__doc__ is None
    assert relaid.__code__.co_code != base.__code__.co_code
    digests = {strategy_parts(f)[0]["code and constants"]
               for f in (base, stripped["strategy"], relaid)}
    assert len(digests) == 1


@pytest.mark.parametrize("old, new, part", [
    (closure_strategy(126), closure_strategy(21), "closure value lookback"),
    (strategy_from("def strategy(market, top=3):\n"
                   "    return momentum(market, lookback=cfg.LOOKBACK, top=top)\n",
                   cfg=config_module(126)),
     strategy_from("def strategy(market, top=3):\n"
                   "    return momentum(market, lookback=cfg.LOOKBACK, top=top)\n",
                   cfg=config_module(21)),
     "module-level cfg.LOOKBACK"),
])
def test_closures_and_values_read_off_a_module_are_fingerprinted(old, new, part, market, tmp_path):
    path = tmp_path / "c.sqlite"
    run(market, path, grid={"top": [3]}, keep=("stats",), strategy=old)
    with pytest.raises(ValueError, match=rf"strategy differs from this one's \({part}\)"):
        run(market, path, grid={"top": [3]}, keep=("stats",), strategy=new)


def nest(depth, inner=1, wrap=list):
    for _ in range(depth):
        inner = wrap([inner])
    return inner


def objects(item):
    out = np.empty(1, dtype=object)
    out[0] = item
    return out


def reads_cfg(value, module="user_strategies"):
    # cfg used whole, also when another global or an attribute of a local comes right after
    reads = [strategy_parts(strategy_from(f"def strategy(market):\n    return {use}\n", module, cfg=value))
             for use in ("[cfg]", "(cfg, len)", "[cfg, market.shape]")]
    assert all(unseen == reads[0][1] for _, unseen in reads)
    return reads[0]


@pytest.mark.parametrize("value, seen", [
    (nest(20), True), (nest(21), False), ({"a": nest(20)}, False), ({nest(20, wrap=tuple): 1}, False),
    (objects(nest(19)), True), (objects(nest(20)), False), (objects(object()), False),
    ({"a": object()}, False), (pd.DataFrame({"x": [1.0]}), True), (pd.NaT, True),
    (json, True), (sys, True), (config_module(21), False), (type("Model", (), {}), False),
], ids=["lists 20 deep", "lists 21 deep", "a dict value 21 deep", "a dict key 21 deep",
        "objects 20 deep", "objects 21 deep", "an object among objects", "an object in a dict",
        "a frame", "NaT", "a standard library module", "a built-in module",
        "the user's module whole", "the user's class"])
def test_data_a_strategy_reads_is_digested_or_named(value, seen):
    parts, unseen = reads_cfg(value)
    assert ("module-level cfg" in parts) == seen and (not unseen) == seen


@pytest.mark.parametrize("a, b, same", [
    (objects("ab" + str(1)), objects("ab" + str(1)), True),  # equal objects at other addresses
    (pd.DataFrame({"x": [1.0], "y": [2.0]}), pd.DataFrame({"x": [1.0], "y": [3.0]}), False),
], ids=["objects by value", "a frame's last column"])
def test_data_is_digested_by_content(a, b, same):
    digest = [reads_cfg(v)[0]["module-level cfg"] for v in (a, b)]
    assert (digest[0] == digest[1]) == same


def test_a_scripts_own_functions_and_a_librarys_callables():
    source = "def helper():\n    return {}\n\ndef strategy(market):\n    return helper()\n"
    parts = [strategy_parts(strategy_from(source.format(n), "__main__"))[0] for n in (1, 2)]
    assert parts[0]["module-level helper: code and constants"] != parts[1]["module-level helper: code and constants"]
    assert strategy_parts(np.add) == ({"strategy": strategy_parts(np.add)[0]["strategy"]}, [])
    # A function made outside any module (no __module__) is read like the user's own.
    loose = types.FunctionType(compile("def h():\n    return 1\n", "<loose>", "exec").co_consts[0], {})
    parts, _ = strategy_parts(strategy_from("def strategy(market):\n    return helper()\n", helper=loose))
    assert loose.__module__ is None and "module-level helper: code and constants" in parts
    # A name not defined yet is a fact of the strategy too; a built-in one is not a part.
    parts, _ = strategy_parts(strategy_from("def strategy(market):\n    return len(not_yet)\n"))
    assert "module-level not_yet" in parts and "module-level len" not in parts


@pytest.mark.parametrize("stored, current, said", [
    ('{"a": "1", "b": "2"}', '{"a": "1", "b": "3"}', " (b)"),
    ('{"a": "1"}', '{"a": "1", "c": "2"}', " (c)"),              # a part added
    ('{"a": "1", "c": "2"}', '{"a": "1"}', " (c)"),              # ... or gone
    ('"an old digest"', '{"a": "1"}', ""),                      # not parts at all
])
def test_a_changed_strategy_names_its_parts(stored, current, said):
    assert strategy_change(stored, current) == said


def test_what_the_fingerprint_cannot_see_is_named_once(market, tmp_path):
    class Model:
        lookback = 21

    strategy = strategy_from(
        "def strategy(market, top=3):\n"
        "    return momentum(market, lookback=model.lookback, top=top)\n", model=Model())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run(market, tmp_path / "u.sqlite", grid={"top": [2, 3]}, keep=("stats",),
            strategy=strategy)
    texts = [str(w.message) for w in caught if "fingerprint" in str(w.message)]
    assert len(texts) == 1
    assert "module-level model (a Model)" in texts[0] and "grid parameters" in texts[0]
    # Library modules and functions (numpy, orvane itself) raise no such warning.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run(market, tmp_path / "v.sqlite", grid={"top": [2]}, keep=("stats",),
            strategy=strategy_from(EDITS["a module-level array"][0]))
    assert not [w for w in caught if "fingerprint" in str(w.message)]


# -- files that are not this sweep's store --------------------------------------------

class Mark:
    """Unpickling this makes a folder: the mark a crafted store would leave."""

    def __init__(self, folder):
        self.folder = folder

    def __reduce__(self):
        return (os.mkdir, (self.folder,))


def make_pickled_store(path, mark):
    with closing(sqlite3.connect(path)) as db:
        db.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)")
        db.execute("CREATE TABLE runs (run INTEGER PRIMARY KEY, payload BLOB NOT NULL)")
        db.execute("INSERT INTO meta VALUES ('format', 'orvane sweep store 1')")
        db.execute("INSERT INTO runs VALUES (0, ?)", (pickle.dumps(Mark(str(mark))),))
        db.commit()


def make_foreign(path, mark):
    with closing(sqlite3.connect(path)) as db:
        db.execute("CREATE TABLE customers (id INTEGER, name TEXT)")
        db.execute("INSERT INTO customers VALUES (1, 'Ada')")
        db.commit()


def make_foreign_runs(path, mark):
    with closing(sqlite3.connect(path)) as db:
        db.execute("CREATE TABLE meta (key TEXT, value TEXT)")
        db.execute("CREATE TABLE runs (id INTEGER, payload BLOB)")
        db.commit()


def make_bytes(content):
    def write(path, mark):
        path.write_bytes(content)
    return write


FOREIGN = [
    (make_pickled_store, r"format that runs code when read, so it is not read: start a new store"),
    (make_foreign, r"is a database but not an orvane sweep store \(its tables: customers\); "
                   r"it was left as it was"),
    (make_foreign_runs, r"not a sweep store this version can read|not an orvane sweep store"),
    (make_bytes(b"date,close\n2020-01-01,1.5\n" * 50), r"cannot be read as a sweep store"),
    (make_bytes(b"SQLite format 3\x00" + b"\xff" * 300), r"cannot be read as a sweep store"),
]


@pytest.mark.parametrize("make, message", FOREIGN)
def test_foreign_and_crafted_files_are_refused_unchanged(make, message, market, weights,
                                                         tmp_path):
    path, mark = tmp_path / "store.sqlite", tmp_path / "MARK"
    make(path, mark)
    before, listing = digest(path), sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError, match=message):
        run(market, path, weights=weights)
    assert not mark.exists()
    assert digest(path) == before and sorted(os.listdir(tmp_path)) == listing


def test_a_truncated_store_is_refused_unchanged(stored, market, weights, tmp_path):
    path, _ = stored
    with closing(sqlite3.connect(path)) as db:
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    cut = tmp_path / "cut.sqlite"
    cut.write_bytes(path.read_bytes()[:len(path.read_bytes()) // 2])
    before = digest(cut)
    with pytest.raises(ValueError, match=r"store .*cut.sqlite.* (cannot be read|damaged)"):
        run(market, cut, weights=weights)
    assert digest(cut) == before


DAMAGE = [
    ("DELETE FROM meta", r"is not a sweep store this version can read \(format None\)"),
    ("DELETE FROM meta WHERE key = 'strategy'", r"has no fingerprint \(strategy missing\)"),
    ("UPDATE meta SET value = 'x' WHERE key = 'market'", r"its market differs"),
    ("UPDATE runs SET arrays = ? WHERE run = 0", r"damaged run 0: its arrays are a str"),
    ("UPDATE runs SET record = 'cos\\nsystem\\n(S''echo''\\ntR.' WHERE run = 0",
     r"damaged run 0: its record is not JSON"),
    ("UPDATE runs SET arrays = substr(arrays, 1, 8) WHERE run = 2",
     r"damaged run 2: an array runs past the end"),
    ("UPDATE runs SET record = replace(record, '\"<f8\"', '\"|O\"') WHERE run = 0",
     r"damaged run 0: an array has type '\|O'"),
    ("UPDATE runs SET record = replace(record, '\"warnings\": [', '\"warnings\": 5, \"x\": [') "
     "WHERE run = 0", r"damaged run 0: its warnings are not a list"),
    ("UPDATE runs SET run = 7 WHERE run = 0", r"holds a run numbered 7, not one of this grid's 3"),
]


@pytest.mark.parametrize("sql, message", DAMAGE)
def test_a_damaged_store_is_refused_naming_what_is_wrong(sql, message, stored, market,
                                                         weights):
    path, _ = stored
    with closing(sqlite3.connect(path)) as db:
        db.execute(sql, ("not bytes",)) if "?" in sql else db.execute(sql)
        db.commit()
    with pytest.raises(ValueError, match=message) as raised:
        run(market, path, weights=weights)
    assert str(path) in str(raised.value)


# A record edited by hand: each value read back as encode wrote it, or refused as damaged.
# (pattern in run 0's record, its replacement, the refusal)
EDITED = {
    "a time beyond any date": (r'"time": "[^"]*"', '"time": "1' + "0" * 400 + '"',
                               r"damaged run 0: a time '1000+' \(no zone\) cannot be read \("),
    "a time as a number": (r'"time": "[^"]*"', '"time": 1' + "0" * 400, r"damaged run 0: a time .* is malformed"),
    "an unknown unit": (r'"unit": "', '"unit": "w', r"damaged run 0: a time .* is malformed"),
    "an unknown zone": (r'"time": "([^"]*)", "unit": "(\w+)", "tz": null',
                        r'"time": "\1+00:00", "unit": "\2", "tz": "Mars/Olympus"',
                        r"damaged run 0: a time .* \(zone 'Mars/Olympus'\) cannot be read"),
    "a naive time tagged UTC": (r'"tz": null', '"tz": "UTC"',
                                r"damaged run 0: a time .* \(zone 'UTC'\) cannot be read \(its offset and "
                                r"its zone disagree\)"),
    "a span beyond any span": (r'\{"nat": null\}', '{"span": 1' + "0" * 30 + "}",
                               r"damaged run 0: a span of 1000+ ns is beyond any span"),
    "a start beyond any float": (r'"started": [^,]*', '"started": 1' + "0" * 400,
                                 r"damaged run 0: its started is not a number a float can hold"),
    "a value nested deep": (r'"worker": ', '"deep": ' + "[" * 100_000 + "]" * 100_000 + ', "worker": ',
                            r"damaged run 0: its record is nested too deep"),
}


@pytest.mark.parametrize("pattern, replacement, message", EDITED.values(), ids=EDITED.keys())
def test_a_hand_edited_record_is_refused_as_a_damaged_run(pattern, replacement, message, stored,
                                                          market, weights):
    path, _ = stored
    with closing(sqlite3.connect(path)) as db:
        record = db.execute("SELECT record FROM runs WHERE run = 0").fetchone()[0]
        edited = re.sub(pattern, lambda found: found.expand(replacement), record, count=1)
        assert edited != record
        db.execute("UPDATE runs SET record = ? WHERE run = 0", (edited,))
        db.commit()
    with pytest.raises(ValueError, match=message) as raised:
        run(market, path, weights=weights)
    assert str(path) in str(raised.value)


def test_a_store_that_cannot_be_written_is_refused_before_any_run(stored, market, weights,
                                                                 tmp_path):
    calls = []

    def strategy(m, top=3):
        calls.append(top)
        return datasets.momentum(m, lookback=21, top=top)

    # Nobody, root included, creates files under /proc.
    with pytest.raises(ValueError, match=r"cannot be written .*permissions"):
        run(market, "/proc/orvane-runs.sqlite", grid={"top": [3]}, strategy=strategy)
    assert calls == []
    path, _ = stored
    locked = tmp_path / "locked"
    locked.mkdir()
    shutil.copy(path, locked / "runs.sqlite")
    os.chmod(locked / "runs.sqlite", 0o444)
    os.chmod(locked, 0o555)
    try:
        if os.access(locked, os.W_OK):
            pytest.skip("this user writes read-only files (root)")
        with pytest.raises(ValueError, match=r"cannot be written"):
            run(market, locked / "runs.sqlite", weights=weights)
    finally:
        os.chmod(locked, 0o755)


@pytest.mark.parametrize("store, error, message", [
    ("", ValueError, "store must not be empty, got ''; name the SQLite file"),
    (b"runs.sqlite", TypeError, "store must be a path to a SQLite file .*got bytes"),
    (3, TypeError, "store must be a path to a SQLite file .* got int"),
    ("bad\0name.sqlite", ValueError, "store must not contain a NUL byte"),
    (".", ValueError, "is a folder: name a file in it"),
])
def test_store_paths_are_checked(store, error, message, market, weights, tmp_path,
                                 monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=message):
        run(market, store, weights=weights)
    assert os.listdir(tmp_path) == []


def test_the_store_format_is_data_only(stored):
    path, _ = stored
    with closing(sqlite3.connect(path)) as db:
        assert dict(db.execute("SELECT key, value FROM meta"))["format"] == FORMAT
        records = [r for (r,) in db.execute("SELECT record FROM runs")]
    import json

    assert all(isinstance(json.loads(r), dict) for r in records)
    assert "pickle" not in sys.modules["orvane.sweep._store"].__dict__


RAY_SWEEPER = """
import os, sys, warnings
warnings.simplefilter("ignore")
import pandas as pd
import ray
import orvane
from orvane import datasets

if __name__ == "__main__":
    market = datasets.synthetic_market(stocks=40, years=2, seed=int(sys.argv[2]))
    # Many short runs: an actor often has both of its calls finished when the sweep looks.
    grid = {"lookback": [21, 42, 63, 84, 126], "stop_loss": [None, 0.05, 0.1],
            "trailing_stop": [None, 0.3]}
    keep = ("stats", "equity", "trades")
    alone = orvane.sweep(market, grid, strategy=datasets.momentum, workers=1,
                         progress=False, keep=keep)
    ray.init(num_cpus=2, include_dashboard=False, logging_level="error",
             object_store_memory=128 * 2**20)
    spread = orvane.sweep(market, grid, strategy=datasets.momentum, executor="ray",
                          workers=2, progress=False, keep=keep, store=sys.argv[1])
    ray.shutdown()
    resumed = orvane.sweep(market, grid, strategy=datasets.momentum, workers=1,
                           progress=False, keep=keep, store=sys.argv[1])
    for got in (spread, resumed):
        pd.testing.assert_frame_equal(got.table.drop(columns="warnings"),
                                      alone.table.drop(columns="warnings"))
        pd.testing.assert_frame_equal(got.equity, alone.equity)
        for i in range(len(alone.table)):
            pd.testing.assert_frame_equal(got.trades(i), alone.trades(i))
    print("rows", len(alone.table))
"""


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_ray_sweep_with_a_store_equals_the_sequential_rows_in_a_fresh_process(seed, tmp_path):
    # Each in a fresh process with a fresh local Ray: answers in another order than
    # sent used to put one run's result on another's row, and the store kept it.
    pytest.importorskip("ray")
    import subprocess

    script = tmp_path / "sweeper.py"
    script.write_text(RAY_SWEEPER)
    env = {**os.environ, "RAY_AUTH_MODE": "disabled", "RAY_USAGE_STATS_ENABLED": "0"}
    done = subprocess.run([sys.executable, str(script), str(tmp_path / "runs.sqlite"),
                           str(seed)], env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "rows 30" in done.stdout


def test_a_full_disk_names_the_store_and_how_to_resume(market, weights, tmp_path,
                                                       monkeypatch):
    from orvane.sweep._store import RunStore, StoreError

    grid = {"stop_loss": [None, 0.02, 0.04, 0.06, 0.08, 0.1]}
    path = tmp_path / "runs.sqlite"
    opened = RunStore._open

    def small_disk(self, fresh):
        opened(self, fresh)
        # SQLite's own "database or disk is full" once the file has grown by a few pages.
        pages = self.db.execute("PRAGMA page_count").fetchone()[0]
        self.db.execute(f"PRAGMA max_page_count = {pages + 6}")

    monkeypatch.setattr(RunStore, "_open", small_disk)
    with pytest.raises(StoreError, match=r"store '.*runs\.sqlite' could not take run \d: the "
                       r"disk is full \(database or disk is full\); the [1-5] runs stored so "
                       r"far are safe: free space and call the same sweep again"):
        run(market, path, grid=grid, weights=weights)
    monkeypatch.setattr(RunStore, "_open", opened)
    resumed = run(market, path, grid=grid, weights=weights)
    assert resumed.table.equals(run(market, None, grid=grid, weights=weights).table)


def test_a_store_another_sweep_is_writing_is_refused_until_it_ends(stored, market, weights):
    from orvane.sweep._store import RunStore

    path, first = stored
    with closing(sqlite3.connect(path)) as db:
        prints = dict(db.execute("SELECT key, value FROM meta WHERE key != 'format'"))
    other = RunStore(path, prints)
    try:
        with pytest.raises(ValueError, match="is being written by another sweep running now"):
            run(market, path, weights=weights)
    finally:
        other.close()
    assert run(market, path, weights=weights).table.equals(first.table)


OPENER = """
import sys, time
from orvane.sweep._store import RunStore, StoreError
from orvane.sweep import _store as store
if sys.argv[3] == "unlocked":
    store.fcntl = None
prints = {part: "same" for part in store._PARTS}
while time.time() < float(sys.argv[2]):
    pass
try:
    opened = RunStore(sys.argv[1], prints)
except StoreError as exc:
    print("refused:", exc)
else:
    time.sleep(0.3)
    opened.close()
    print("opened")
"""


@pytest.mark.parametrize("locks", ["locked", "unlocked"])
def test_two_sweeps_creating_one_store_at_once_never_break_it(locks, tmp_path):
    # Without the lock (platforms without flock), the second creator joins the store
    # the first made: created inside one write transaction, never refused for a table
    # that appeared in between.
    import subprocess
    import time

    script = tmp_path / "opener.py"
    script.write_text(OPENER)
    for trial in range(4):
        path = tmp_path / f"runs{trial}.sqlite"
        start = str(time.time() + 1.0)
        procs = [subprocess.Popen([sys.executable, str(script), str(path), start, locks],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for _ in range(2)]
        answers = sorted(p.communicate(timeout=60)[0].strip() for p in procs)
        assert answers[0] == "opened", answers
        assert answers[1] == "opened" or (
            locks == "locked" and "being written by another sweep" in answers[1]), answers
        with closing(sqlite3.connect(path)) as db:
            assert dict(db.execute("SELECT key, value FROM meta"))["format"] == FORMAT
