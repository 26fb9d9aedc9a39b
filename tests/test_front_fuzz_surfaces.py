"""Generated hostile inputs to the front's other doors: price files and folders for
``read_prices``, arguments to a result's methods, report and chart titles, sweep grids and
sweep stores.

Every call either runs or is refused by orvane itself: a ValueError, TypeError, LookupError
or OSError whose innermost frame is an orvane Python module (not the core, not pandas,
NumPy, pathlib, sqlite3 or matplotlib).  No warning but the front's own reaches the caller,
and nothing changes outside the folder the call was given: the working directory stays
empty, a folder no call names stays as it was, and so do the inputs a call only reads.
"""

import builtins
import collections
import decimal
import fractions
import functools
import importlib
import importlib.util
import io
import os
import pathlib
import pickle
import re
import sqlite3
import sys
import tempfile
import traceback
import unicodedata
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, Phase, event, given, settings
from hypothesis import strategies as st

import orvane

FRONT = pathlib.Path(orvane.__file__).resolve().parent
CORE = FRONT / "core"
EXAMPLES = int(os.environ.get("ORVANE_FRONT_FUZZ_EXAMPLES", "300"))
# Fixed examples in CI, so a red run is the same red run when repeated; no explain phase,
# which reruns hundreds of examples to name the lines a failure ran.
SETTINGS = dict(deadline=None, derandomize=os.environ.get("CI") == "true",
                suppress_health_check=list(HealthCheck),
                phases=(Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink))
REFUSALS = (ValueError, TypeError, LookupError, OSError)


def _installed(name):
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):
        return False


# The optional extras: without one, the inputs that need it are not generated (the oldest
# supported environment has neither).
HAS_PLOT = _installed("matplotlib")
HAS_PARQUET = _installed("pyarrow")


def _share(part, least):
    """This test's share of ``EXAMPLES``: a report costs about a second, a file a few ms."""
    return max(least, int(EXAMPLES * part))


# ---------------------------------------------------------------- the oracle

Problem = collections.namedtuple("Problem", "what kind text where detail")


def _where(tb):
    frames = traceback.extract_tb(tb)
    if not frames:
        return "(no frame)", None
    last = frames[-1]
    return f"{_short(last.filename)}:{last.lineno} in {last.name}", pathlib.Path(last.filename)


def _short(filename):
    path = pathlib.Path(filename)
    for anchor in ("site-packages", "src", "lib"):
        if anchor in path.parts:
            return "/".join(path.parts[len(path.parts) - path.parts[::-1].index(anchor):])
    return str(path)


def _in_front(path):
    path = path.resolve() if path is not None else None
    return path is not None and FRONT in path.parents and CORE not in path.parents


def _first_line(text):
    lines = str(text).strip().splitlines()
    return lines[0][:300] if lines else ""


def _refusal_problem(what, exc):
    """None when ``exc`` is the front's own refusal, else what is wrong with it."""
    where, path = _where(exc.__traceback__)
    text = f"{type(exc).__module__}.{type(exc).__qualname__}: {_first_line(exc)}"
    detail = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    if not isinstance(exc, REFUSALS):
        return Problem(what, "not a refusal", text, where, detail)
    if not _in_front(path):
        return Problem(what, "raised outside orvane", text, where, detail)
    if not str(exc).strip():
        return Problem(what, "refusal without a message", text, where, detail)
    return None


def _tree(path):
    """Everything under ``path`` (or the file itself): relative name -> bytes, or a mark
    for folders and links, so that any change shows as a difference."""
    path = pathlib.Path(path)
    if path.is_symlink():
        return {".": ("link", os.readlink(path))}
    if path.is_file():
        return {".": path.read_bytes()}
    if not path.is_dir():
        return {}
    out = {".": "folder"}
    for folder, dirs, files in os.walk(path):
        for name in dirs + files:
            full = pathlib.Path(folder) / name
            key = str(full.relative_to(path))
            if full.is_symlink():
                out[key] = ("link", os.readlink(full))
            elif full.is_dir():
                out[key] = "folder"
            else:
                out[key] = full.read_bytes()
    return out


def _changes(before, after):
    keys = sorted(set(before) | set(after))
    return [k for k in keys if before.get(k, "absent") != after.get(k, "absent")]


Outcome = collections.namedtuple("Outcome", "ok value")


class Scene:
    """One example's world, in a fresh temporary folder: ``user`` is the folder the calls
    are given, ``cwd`` the working directory during the example (it must stay empty),
    ``sentinel`` a folder no call names (it must not change).  ``run`` makes one call and
    notes its problems; leaving the ``with`` block checks the folders and judges."""

    def __init__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="orvane-fuzz-")
        self.root = pathlib.Path(self._tmp.name)
        self.user = self.root / "user"
        self.cwd = self.root / "cwd"
        self.sentinel = self.root / "sentinel"
        for folder in (self.user, self.cwd, self.sentinel):
            folder.mkdir()
        (self.sentinel / "prices.csv").write_bytes(b"Date,Close\n2021-01-04,10\n")
        self.problems = []
        self.noted = set()
        self._kept = {}
        self._sentinel = _tree(self.sentinel)
        self._home = None

    def __enter__(self):
        self._home = os.getcwd()
        os.chdir(self.cwd)
        return self

    def __exit__(self, kind, exc, tb):
        try:
            if kind is None:
                self._check_folders()
        finally:
            os.chdir(self._home)
            self._tmp.cleanup()
        if kind is None:
            _judge(self.problems)
        return False

    def keep(self, path):
        """``path`` (a file or folder) is only read: it must end as it began."""
        self._kept[pathlib.Path(path)] = _tree(path)

    def changed(self, path, before):
        return _changes(before, _tree(path))

    def problem(self, what, kind, text, detail=""):
        self.problems.append(Problem(what, kind, text, "", detail))

    def run(self, what, call, *args, **kwargs):
        """``call(*args, **kwargs)``: Outcome(True, value) or Outcome(False, exception)."""
        noted = self.noted
        original = warnings.warn

        def warn(message, category=None, stacklevel=1, source=None, **more):
            # The front's own warnings, told apart by the module that issues them; NumPy's
            # C-level warnings and pandas' never pass through here from an orvane frame.
            caller = sys._getframe(1).f_globals.get("__name__", "")
            if caller == "orvane" or caller.startswith("orvane."):
                noted.add(str(message))
            return original(message, category, stacklevel + 1, source, **more)

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            warnings.warn = warn
            try:
                outcome = Outcome(True, call(*args, **kwargs))
            except Exception as exc:  # judged below: only the front's refusals pass
                found = _refusal_problem(what, exc)
                if found is not None:
                    self.problems.append(found)
                event(f"{what}: {type(exc).__name__}")
                outcome = Outcome(False, exc)
            else:
                event(f"{what}: ran")
            finally:
                warnings.warn = original
        for w in caught:
            if str(w.message) not in noted:
                self.problems.append(Problem(
                    what, "foreign warning", f"{w.category.__name__}: {_first_line(w.message)}",
                    f"{_short(w.filename)}:{w.lineno}", ""))
        return outcome

    def foreign_text(self, what, text):
        """A warning text kept by the front (a sweep's table) that it did not issue itself."""
        rest = str(text)
        for mine in sorted(self.noted, key=len, reverse=True):
            rest = rest.replace(mine, "")
        if rest.replace(";", "").strip():
            self.problems.append(Problem(what, "foreign warning kept", _first_line(text), "", ""))

    def _check_folders(self):
        extra = sorted(set(os.listdir(self.root)) - {"user", "cwd", "sentinel"})
        if extra:
            self.problem("the example", "wrote outside its folder", f"{extra} beside it")
        inside = sorted(os.listdir(self.cwd))
        if inside:
            self.problem("the example", "wrote into the working directory", f"{inside}")
        moved = self.changed(self.sentinel, self._sentinel)
        if moved:
            self.problem("the example", "changed a folder no call names", f"{moved}")
        for path, before in self._kept.items():
            moved = self.changed(path, before)
            if moved:
                self.problem("the example", "changed an input it only reads",
                             f"{path.relative_to(self.root)}: {moved[:5]}")


def _judge(problems):
    assert not problems, "\n\n".join(
        f"{p.what}: {p.kind}: {p.text}" + (f" (at {p.where})" if p.where else "")
        + (f"\n{p.detail}" if p.detail else "") for p in problems)


# ---------------------------------------------------------------- 1. price files

DATE_CELLS = ["2021-01-04", "2021-01-05", "2021-01-06", "2021-01-07", "04/01/2021",
              "01/04/2021", "13/01/2021", "20210107", "2021-13-45", "", "NaN", "2300-01-01",
              "1677-09-21", "1500-01-01", "9999-12-31", "21-01-04", "2021-01-04T16:00:00+05:00",
              "2021-01-05 00:00:00Z", "9" * 30, "-1", "0", "Jan 5 2021", "2015-06-17", "2015-06-1",
              '"2021-01-08"', "2021-01-04\x00", "２０２１-01-04"]
NUMBER_CELLS = ["10", "10.5", "45.730", "45.7", "4", "0", "-5", "1e400", "-1e400", "1e-400",
                "nan", "inf", "-inf", "", "abc", '"1,5"', "0x10", " 10 ", "1_000", "9" * 400,
                "True", '"12"', "\u0661\u0662", "1e308", "5e-324", "NULL", "#N/A", "--"]
TICKER_CELLS = ["AAA", "BBB", "", "0050", "NaN", "aaa", " AAA", "A/B", "..", "CON"]
HEADERS = [
    ("Date", "Close"), ("date", "open", "high", "low", "close"), ("Date", "Close", "Adj Close"),
    ("Date", "Ticker", "Close"), ("Date", "Close", "Close"), ("Date", "Close", "close"),
    ("Close",), ("Date", "Close", ""), ("date", "adj_close", "Adj Close", "close"),
    ("Date", "Close", "Volume"), ("symbol", "date", "close", "ticker"), (" Date ", " Close "),
    ("Date", "Close\x00"), ("Dätum", "Close"), ("Date", "Open", "Close", "Adj Close"),
    ("Date", "Unnamed: 1", "Close"), ("index", "close"), ("DATE", "CLOSE", "ticker"),
]
ENCODINGS = ["utf-8"] * 4 + ["utf-8-sig", "latin-1", "utf-16", "cp1252", "utf-32"]


def _cells_for(name):
    key = re.sub(r"[\s_.\-]", "", name.lower())
    if key in ("date", "index"):
        return DATE_CELLS
    if key in ("ticker", "symbol"):
        return TICKER_CELLS
    return NUMBER_CELLS


CLEAN_HEADERS = [("Date", "Close"), ("date", "open", "high", "low", "close"),
                 ("Date", "Close", "Adj Close"), ("Date", "Ticker", "Close"),
                 ("Date", "Open", "Close", "Adj Close"), ("Date", "Close", "Volume"),
                 ("symbol", "date", "adj_close", "close")]
CLEAN_NUMBERS = ["10", "10.5", "45.730", "4", "12", "1e308", "5e-324", "", "nan", "0.0001"]
DATE_FORMATS = {"iso": "%Y-%m-%d", "compact": "%Y%m%d", "dmy": "%d/%m/%Y", "mdy": "%m/%d/%Y",
                "dotted": "%d.%m.%Y", "stamp": "%Y-%m-%d %H:%M:%S"}
TWISTS = ["none", "bom", "crlf", "cr", "no-final-newline", "cut-off", "trailing-delimiter",
          "blank-lines", "padded", "quoted", "latin-1", "nul", "utf-16", "junk-column",
          "header-again", "semicolon-line", "tab-separated", "unsorted", "repeated-date",
          "short-line", "long-line", "non-utf8-cell"]


def _lines(rows, sep=",", end="\n"):
    return "".join(sep.join(row) + end for row in rows)


@st.composite
def clean_csv_files(draw):
    """A valid price file but for one twist, so that reading gets past the first check."""
    header = list(draw(st.sampled_from(CLEAN_HEADERS)))
    fmt = DATE_FORMATS[draw(st.sampled_from(sorted(DATE_FORMATS)))]
    keyed = any(name.lower() in ("ticker", "symbol") for name in header)
    count = draw(st.integers(1, 6))
    days = pd.bdate_range("2021-01-04", periods=count)
    rows = []
    for k in range(count):
        row = []
        for name in header:
            key = name.lower()
            if key == "date":
                row.append(days[k // 2 if keyed else k].strftime(fmt))
            elif key in ("ticker", "symbol"):
                row.append("AAA" if k % 2 == 0 else "BBB")
            else:
                row.append(draw(st.sampled_from(CLEAN_NUMBERS)))
        rows.append(row)
    twist = draw(st.sampled_from(TWISTS))
    sep, end, encoding = ",", "\n", "utf-8"
    if twist == "unsorted":
        rows = rows[::-1]
    elif twist == "repeated-date":
        rows.append(list(rows[0]))
    elif twist == "padded":
        rows = [[f" {cell} " for cell in row] for row in rows]
    elif twist == "quoted":
        rows = [[f'"{cell}"' for cell in row] for row in rows]
    elif twist == "trailing-delimiter":
        rows = [row + [""] for row in rows]
    elif twist == "junk-column":
        header.append("Volumé")
        rows = [row + [draw(st.sampled_from(NUMBER_CELLS))] for row in rows]
    elif twist == "short-line":
        rows[-1] = rows[-1][:-1]
    elif twist == "long-line":
        rows[0] = rows[0] + ["99"]
    text_rows = [header] + rows
    if twist == "crlf":
        end = "\r\n"
    elif twist == "cr":
        end = "\r"
    elif twist == "tab-separated":
        sep = "\t"
    text = _lines(text_rows, sep, end)
    if twist == "no-final-newline":
        text = text.rstrip("\n")
    elif twist == "cut-off":
        # Stopped writing inside the last line: "2015-06-17,45.7" under a longer header.
        last = _lines(text_rows[-1:])
        text = text[:len(text) - len(last) + draw(st.integers(1, max(len(last) - 2, 1)))]
    elif twist == "blank-lines":
        text = "\n" + text.replace("\n", "\n\n", 2) + "\n\n"
    elif twist == "header-again":
        text = text + _lines([header]) + _lines(rows[:1])
    elif twist == "semicolon-line":
        text = text + _lines([[days[-1].strftime(fmt), "11"]], ";")
    elif twist == "nul":
        text = text.replace(",", ",\x00", 1)
    elif twist == "bom":
        encoding = "utf-8-sig"
    elif twist == "latin-1":
        encoding = "latin-1"
        text = text.replace("Date", "Daté", 1) if draw(st.booleans()) else text + "Zürich,é\n"
    elif twist == "utf-16":
        encoding = "utf-16"
    data = text.encode(encoding, "replace")
    if twist == "non-utf8-cell":
        data = data.replace(b"\n", b"\n\xff\xfe", 1)
    return data


@st.composite
def csv_files(draw):
    """The bytes of a CSV file: half nearly valid, half built from hostile parts."""
    if draw(st.booleans()):
        return draw(clean_csv_files())
    if draw(st.integers(0, 9)) == 0:
        return draw(st.sampled_from([b"", b"\n", b"\r\n", b"\xef\xbb\xbf", b"\x00" * 16,
                                     b"\xff\xfe", b",,,\n,,,\n", b'"', b"Date,Close"]))
    header = list(draw(st.sampled_from(HEADERS)))
    lines = [header]
    for _ in range(draw(st.integers(0, 5))):
        row = [draw(st.sampled_from(_cells_for(name))) for name in header]
        # Ragged rows: a field short (a cut-off line) or one too many.
        shape = draw(st.sampled_from(["whole"] * 6 + ["short", "long"]))
        if shape == "short" and row:
            row = row[:draw(st.integers(0, len(row) - 1))]
        elif shape == "long":
            row.append(draw(st.sampled_from(NUMBER_CELLS)))
        lines.append(row)
    delimiter = draw(st.sampled_from([",", ",", ",", ";", "\t", "mixed"]))
    ending = draw(st.sampled_from(["\n", "\n", "\r\n", "\r", "mixed"]))
    texts = []
    for row in lines:
        sep = draw(st.sampled_from([",", ";", "\t", "|"])) if delimiter == "mixed" else delimiter
        end = draw(st.sampled_from(["\n", "\r\n", "\r"])) if ending == "mixed" else ending
        texts.append(sep.join(row) + end)
    text = "".join(texts)
    if draw(st.booleans()):
        text = text.rstrip("\r\n")  # no newline after the last line
    if len(lines) > 1 and draw(st.integers(0, 3)) == 0:
        # Cut off inside the last line, as a copy that stopped writing: "2015-06-17,45.7".
        last = len(texts[-1].rstrip("\r\n"))
        text = text[:len(text) - len(texts[-1]) + draw(st.integers(0, max(last - 1, 0)))]
    data = text.encode(draw(st.sampled_from(ENCODINGS)), "replace")
    if draw(st.integers(0, 5)) == 0:
        junk = draw(st.sampled_from([b"\xff", b"\xc3\x28", b"\x00", b"\xed\xa0\x80", b"\x80\x80",
                                     b"\xef\xbb\xbf", b"\r", b'"']))
        at = draw(st.integers(0, len(data)))
        data = data[:at] + junk + data[at:]
    return data


PARQUET_DATES = ["ns", "us", "us-far", "ms", "s", "tz-ns", "tz-us-far", "string", "int",
                 "int-small", "date32", "null", "float", "dictionary", "bool", "index", "none",
                 "duration", "repeated"]
PARQUET_CLOSES = ["float64", "float32", "float16", "int8", "uint64", "string", "junk", "decimal",
                  "bool", "null", "dictionary", "nan", "inf", "timestamp", "duplicate", "large-string"]


@st.composite
def parquet_files(draw):
    """How to build a hostile Parquet file: (dates kind, close kind, rows, with a ticker)."""
    return (draw(st.sampled_from(PARQUET_DATES)), draw(st.sampled_from(PARQUET_CLOSES)),
            draw(st.integers(0, 4)), draw(st.booleans()))


def _write_parquet(path, drawn):
    """Write ``drawn`` (see ``parquet_files``) with pyarrow; False when pyarrow cannot."""
    import datetime
    import pyarrow as pa
    import pyarrow.parquet as pq

    dates, close, rows, ticker = drawn
    days = [datetime.datetime(2021, 1, 4) + datetime.timedelta(days=k) for k in range(rows)]
    far = [datetime.datetime(2300, 1, 1) + datetime.timedelta(days=k) for k in range(rows)]
    columns = {}
    date_arrays = {
        "ns": lambda: pa.array(days, pa.timestamp("ns")),
        "us": lambda: pa.array(days, pa.timestamp("us")),
        "us-far": lambda: pa.array(far, pa.timestamp("us")),
        "ms": lambda: pa.array(days, pa.timestamp("ms")),
        "s": lambda: pa.array(days, pa.timestamp("s")),
        "tz-ns": lambda: pa.array(days, pa.timestamp("ns", tz="UTC")),
        "tz-us-far": lambda: pa.array(far, pa.timestamp("us", tz="Asia/Tokyo")),
        "string": lambda: pa.array([d.strftime("%Y-%m-%d") for d in days]),
        "int": lambda: pa.array([int(d.strftime("%Y%m%d")) for d in days], pa.int64()),
        "int-small": lambda: pa.array(list(range(rows)), pa.int8()),
        "date32": lambda: pa.array([d.date() for d in days], pa.date32()),
        "null": lambda: pa.nulls(rows, pa.timestamp("ns")),
        "float": lambda: pa.array([float(d.strftime("%Y%m%d")) for d in days]),
        "dictionary": lambda: pa.array([d.strftime("%Y-%m-%d") for d in days]).dictionary_encode(),
        "bool": lambda: pa.array([True] * rows),
        "duration": lambda: pa.array([datetime.timedelta(days=k) for k in range(rows)]),
        "repeated": lambda: pa.array([days[0]] * rows if rows else [], pa.timestamp("ns")),
    }
    if dates in date_arrays:
        columns["Date"] = date_arrays[dates]()
    closes = {
        "float64": lambda: pa.array([10.0 + k for k in range(rows)]),
        "float32": lambda: pa.array([10.0 + k for k in range(rows)], pa.float32()),
        "float16": lambda: pa.array(np.arange(rows, dtype=np.float16) + np.float16(10)),
        "int8": lambda: pa.array([k - 2 for k in range(rows)], pa.int8()),
        "uint64": lambda: pa.array([2**64 - 1] * rows, pa.uint64()),
        "string": lambda: pa.array([str(10 + k) for k in range(rows)]),
        "junk": lambda: pa.array(["--"] * rows),
        "decimal": lambda: pa.array([decimal.Decimal("10.25")] * rows, pa.decimal128(10, 2)),
        "bool": lambda: pa.array([k % 2 == 0 for k in range(rows)]),
        "null": lambda: pa.nulls(rows, pa.float64()),
        "dictionary": lambda: pa.array([str(10 + k) for k in range(rows)]).dictionary_encode(),
        "nan": lambda: pa.array([float("nan")] * rows),
        "inf": lambda: pa.array([float("inf")] * rows),
        "timestamp": lambda: pa.array(days, pa.timestamp("ns")),
        "duplicate": lambda: pa.array([10.0] * rows),
        "large-string": lambda: pa.array(["1" * 10_000] * rows, pa.large_string()),
    }
    names = list(columns) + ["Close"]
    arrays = list(columns.values()) + [closes[close]()]
    if close == "duplicate":
        names.append("Close")
        arrays.append(pa.array([11.0] * rows))
    if ticker:
        names.append("Ticker")
        arrays.append(pa.array(["AAA", "BBB", None, "AAA"][:rows] + ["AAA"] * max(rows - 4, 0)))
    try:
        table = pa.Table.from_arrays(arrays, names=names)
        if dates == "index":
            # Dates kept as the pandas index, as DataFrame.to_parquet writes a date-indexed frame.
            frame = pd.DataFrame({"Close": np.arange(rows, dtype=float) + 10.0},
                                 index=pd.DatetimeIndex(days, name=None))
            frame.to_parquet(path)
            return True
        pq.write_table(table, path)
    except (pa.ArrowException, NotImplementedError, ValueError, TypeError):
        return False
    return True


ENTRY_NAMES = ["AAA.csv", "BBB.CSV", "c.parquet", "d.pq", "e.txt", ".hidden.csv", "dir.csv",
               "ü ñ.csv", "x.csv.csv", "BRK.B.csv", "aaa.csv", "AAA.parquet", "CON.csv", "-.csv"]
if not HAS_PARQUET:
    ENTRY_NAMES = [n for n in ENTRY_NAMES if not n.endswith((".parquet", ".pq"))]


@st.composite
def folders(draw):
    """A folder of one to four entries: (name, "csv", bytes), (name, "parquet", drawn) or
    (name, "folder", None), a folder named like a file."""
    entries = {}
    for _ in range(draw(st.sampled_from([1, 1, 1, 2, 3]))):
        name = draw(st.sampled_from(ENTRY_NAMES))
        kind = draw(st.sampled_from(["csv"] * 6 + ["folder"] + ["parquet"] * 2 * HAS_PARQUET))
        if name.lower().endswith((".parquet", ".pq")) and kind == "csv" and draw(st.booleans()):
            kind = "parquet"
        entries[name] = (kind, draw(csv_files()) if kind == "csv" else
                         draw(parquet_files()) if kind == "parquet" else None)
    return sorted((name, kind, content) for name, (kind, content) in entries.items())


PATH_FORMS = (["folder"] * 8 + ["files"] * 4 + ["path", "file", "paths-tuple", "glob", "relative"] * 2
              + ["bytes", "bytes-list", "list-with-none", "none", "nul", "missing", "empty-list",
                 "generator", "folder-named-file", "int", "nested-list"])


def _path_argument(form, folder, files, cwd):
    listed = [str(f) for f in files]
    if form == "folder":
        return str(folder)
    if form == "path":
        return folder
    if form == "bytes":
        return os.fsencode(folder)
    if form == "files":
        return listed
    if form == "file":
        return listed[0] if listed else str(folder / "AAA.csv")
    if form == "paths-tuple":
        return tuple(files)
    if form == "bytes-list":
        return [os.fsencode(f) for f in listed]
    if form == "list-with-none":
        return listed[:1] + [None]
    if form == "none":
        return None
    if form == "glob":
        return str(folder / "*.csv")
    if form == "nul":
        return str(folder / "AAA\x00.csv")
    if form == "missing":
        return str(folder / "nothing-here")
    if form == "empty-list":
        return []
    if form == "generator":
        return (f for f in listed)
    if form == "folder-named-file":
        return [str(folder / "dir.csv")]
    if form == "relative":
        return os.path.relpath(folder, cwd)
    if form == "int":
        return 3
    return [listed]


@settings(max_examples=_share(2, 20), **SETTINGS)
@given(entries=folders(), form=st.sampled_from(PATH_FORMS),
       adjust=st.booleans(), dayfirst=st.sampled_from([None, True, False]))
def test_price_folders_and_files_are_read_or_refused(entries, form, adjust, dayfirst):
    with Scene() as scene:
        folder = scene.user / "prices"
        folder.mkdir()
        files = []
        for name, kind, content in entries:
            path = folder / name
            if kind == "csv":
                path.write_bytes(content)
            elif kind == "parquet":
                if not _write_parquet(path, content):
                    continue
            else:
                path.mkdir()
                (path / "inner.csv").write_bytes(b"Date,Close\n2021-01-04,1\n")
            files.append(path)
        scene.keep(folder)
        argument = _path_argument(form, folder, files, scene.cwd)
        out = scene.run("read_prices", orvane.read_prices, argument, adjust=adjust,
                        dayfirst=dayfirst)
        if out.ok:
            # What the docstring promises of a successful read.
            prices = out.value
            if not (isinstance(prices, dict) and "close" in prices):
                scene.problem("read_prices", "broken result", f"no 'close' in {type(prices)}")
            else:
                for field, frame in prices.items():
                    index = frame.index
                    if not (isinstance(index, pd.DatetimeIndex) and index.is_monotonic_increasing
                            and index.is_unique):
                        scene.problem("read_prices", "broken result",
                                      f"{field} dates are not sorted unique dates: "
                                      f"{type(index).__name__} {list(index[:4])}")


# ---------------------------------------------------------------- 2. a result's methods

@functools.lru_cache(maxsize=None)
def _results():
    """A few small results of different shapes, made once."""
    market = orvane.datasets.synthetic_market(stocks=8, years=1, seed=11)
    weights = orvane.datasets.momentum(market, lookback=20, skip=5, top=2, bottom=2)
    days = pd.bdate_range("2021-01-04", periods=8)
    two = pd.DataFrame({"A": [10, 11, 12, 11, 13, 14, 13, 15.0],
                        "B": [20, 19, 18, 19, 17, 16, 18, 17.0]}, index=days)
    rising = pd.DataFrame({"A": [1, 2, 4, 8, 16, 32, 64, 128.0]}, index=days)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return {
            "market": orvane.backtest(weights, market, stop_loss=0.1, window=5),
            "small": orvane.backtest(pd.DataFrame({"A": [0.5], "B": [-0.5]}, index=days[:1]), two,
                                     benchmark=two["A"] * 2),
            "ruined": orvane.backtest(pd.DataFrame({"A": [-1.0]}, index=days[:1]), rising),
            "last_bar": orvane.backtest(pd.DataFrame({"A": [1.0]}, index=days[-1:]), two),
        }


HOSTILE = [2**64, 10**400, -(2**64), 2**63, float("nan"), float("inf"), float("-inf"), -1, 0, 1,
           2, 5, 0.5, 2.5, 126.0, -0.0, 1e-300, 1e308, "5", "", "nan", None, True, False,
           np.int64(5), np.uint64(2**64 - 1), np.float32("nan"), np.float64(0.04), np.bool_(True),
           decimal.Decimal("0.01"), fractions.Fraction(1, 3), 1 + 0j, [], (1,), {}, b"1", pd.NA,
           pd.NaT, np.datetime64("2021-01-05"), pd.Timestamp("2021-01-05")]
NUMBERS = st.sampled_from(HOSTILE)
BENCHMARKS = st.sampled_from(["none", "ticker", "unknown-ticker", "empty-ticker", "number", "nan",
                              "empty", "prices", "returns", "strings", "tz", "repeated", "huge",
                              "prices-mapping", "returns-mapping", "bad-mapping", "frame", "list",
                              "one-date", "far-dates"])
PATHS = st.sampled_from(["folder", "file", "existing-file", "none", "bytes", "empty", "nul",
                         "long-name", "deep", "int", "file-as-folder"])
FIGSIZES = st.sampled_from([(10.0, 6.0), (0, 0), (-1, 5), (float("nan"), 5), (float("inf"), 5),
                            (2**64, 2), ("10", "6"), 10, None, (1,), (1, 2, 3), [3, 2],
                            (True, False), (1e-9, 1e-9)])
FORMATS = st.sampled_from(["csv", "auto", "CSV", "", None, 5, "xlsx", ["csv"]]
                          + ["parquet"] * HAS_PARQUET)
ORDER_PRICES = st.sampled_from(["none", "good", "string", "huge", "googol", "negative", "inf",
                                "none-key", "tuple-key", "list", "text", "repeated", "int-keys",
                                "empty", "series-nan"])


def _benchmark(name, result):
    dates = result.full_equity.index
    level = pd.Series(np.linspace(1.0, 2.0, len(dates)), index=dates)
    return {
        "none": lambda: None,
        "ticker": lambda: "A",
        "unknown-ticker": lambda: "ZZZ",
        "empty-ticker": lambda: "",
        "number": lambda: 5,
        "nan": lambda: float("nan"),
        "empty": lambda: pd.Series([], dtype=float),
        "prices": lambda: level,
        "returns": lambda: level.pct_change(),
        "strings": lambda: level.astype(str),
        "tz": lambda: level.tz_localize("UTC"),
        "repeated": lambda: pd.Series(1.5, index=dates[:1].repeat(3)),
        "huge": lambda: level * 1e308,
        "prices-mapping": lambda: {"prices": level},
        "returns-mapping": lambda: {"returns": level - 1.0},
        "bad-mapping": lambda: {"price": level, "returns": None},
        "frame": lambda: level.to_frame(),
        "list": lambda: [1.0, 2.0],
        "one-date": lambda: level.iloc[:1],
        "far-dates": lambda: pd.Series([1.0, 2.0], index=pd.DatetimeIndex(["1700-01-01", "2200-01-01"])),
    }[name]()


def _order_prices(name):
    return {
        "none": None, "good": {"A": 10.0}, "string": {"A": "x"}, "huge": {"A": 2**64},
        "googol": {"A": 10**400}, "negative": {"A": -1}, "inf": {"A": float("inf")},
        "none-key": {None: 5.0}, "tuple-key": {("A",): 1.0}, "list": [1, 2], "text": "A",
        "repeated": pd.Series([1.0, 2.0], index=["A", "A"]), "int-keys": {1: 5.0},
        "empty": {}, "series-nan": pd.Series([np.nan], index=["A"]),
    }[name]


def _path(name, scene):
    user = scene.user
    return {
        "folder": lambda: str(user / "out"),
        "file": lambda: user / "out" / "report.html",
        "existing-file": lambda: user / "existing.html",
        "none": lambda: None,
        "bytes": lambda: os.fsencode(user / "out"),
        "empty": lambda: "",
        "nul": lambda: str(user / "a\x00b"),
        "long-name": lambda: user / ("x" * 300),
        "deep": lambda: user / "a" / "b" / "c",
        "int": lambda: 7,
        "file-as-folder": lambda: user / "existing.html" / "inside",
    }[name]()


METHODS = {
    "stats": st.fixed_dictionaries({}, optional={"risk_free": NUMBERS, "benchmark": BENCHMARKS}),
    "rolling": st.fixed_dictionaries({}, optional={"window": NUMBERS, "risk_free": NUMBERS}),
    "drawdowns": st.fixed_dictionaries({}, optional={"top": NUMBERS}),
    "orders": st.fixed_dictionaries({"capital": NUMBERS},
                                    optional={"prices": ORDER_PRICES, "rebalance": NUMBERS}),
    "yearly_returns": st.fixed_dictionaries({}, optional={"benchmark": BENCHMARKS}),
    "monthly_returns": st.just({}),
    "trades_window": st.just({}),
    "round_trips": st.just({}),
    "save": st.fixed_dictionaries({"folder": PATHS}, optional={"format": FORMATS}),
    "report": st.fixed_dictionaries({"path": PATHS}, optional={
        "last_trades": NUMBERS, "benchmark": BENCHMARKS, "risk_free": NUMBERS}),
    "plot": st.fixed_dictionaries({}, optional={"log": NUMBERS, "figsize": FIGSIZES,
                                                "benchmark": BENCHMARKS}),
    "plot_trades": st.fixed_dictionaries({}, optional={"figsize": FIGSIZES}),
}


CHARTS = ("report", "plot", "plot_trades")


@st.composite
def method_calls(draw):
    # A report costs about a second: drawn less often than the cheap methods.
    cheap = [m for m in METHODS if m != "report" and (HAS_PLOT or m not in CHARTS)]
    name = draw(st.sampled_from(cheap * 4 + ["report"] * HAS_PLOT))
    return name, draw(METHODS[name])


def _arguments(kwargs, result, scene):
    out = {}
    for key, value in kwargs.items():
        if key == "benchmark":
            value = _benchmark(value, result)
        elif key == "prices":
            value = _order_prices(value)
        elif key in ("folder", "path"):
            value = _path(value, scene)
        out[key] = value
    return out


@settings(max_examples=_share(2, 20), **SETTINGS)
@given(which=st.sampled_from(["market", "small", "ruined", "last_bar"]), call=method_calls())
def test_result_methods_take_hostile_arguments(which, call):
    result = _results()[which]
    name, kwargs = call
    with Scene() as scene:
        existing = scene.user / "existing.html"
        existing.write_bytes(b"<p>kept unless named</p>")
        if "existing-file" not in (kwargs.get("path"), kwargs.get("folder")):
            scene.keep(existing)
        arguments = _arguments(kwargs, result, scene)
        scene.run(name, getattr(result, name), **arguments)


# ---------------------------------------------------------------- 3. titles

SPECIAL_TITLES = [None, "", "\ud800", "\udfff\ud800", "$x^$", "$\\frac{1}{$", "$$", "100$ and 5$",
                  "<script>alert(1)</script>", "<b>bold</b> & <i>", "</title><script>x</script>",
                  '"quoted" & \'single\'', "&amp; &lt;", "a" * 100_000, "x\x00y", "\x00",
                  "\n\n", "\r", "\x1b[31mred", "ü€ ☃", "\u202eevil", "\ufeff", "\U0010ffff",
                  5, b"bytes", ["a"]]


@functools.lru_cache(maxsize=None)
def _default_font():
    """The code points of the font charts use, which matplotlib ships: a title's glyph
    missing from it is a character no font draws, not a font this machine lacks."""
    from matplotlib import font_manager, ft2font

    return frozenset(ft2font.FT2Font(font_manager.findfont("DejaVu Sans")).get_charmap())


def _drawable_or_never(char):
    return unicodedata.category(char) in ("Cc", "Cs", "Cn") or ord(char) in _default_font()


TITLES = st.one_of(
    st.sampled_from(SPECIAL_TITLES),
    st.lists(st.sampled_from([t for t in SPECIAL_TITLES if isinstance(t, str) and len(t) < 100]),
             min_size=2, max_size=4).map("".join),
    st.text(st.characters(categories=("Cs", "Cc", "Cf", "Cn", "Lu", "Ll", "Lo", "Mn", "Nd", "Po",
                                      "Ps", "Sm", "Sc", "So", "Zs")).filter(_drawable_or_never),
            max_size=12),
)
ENTITY = re.compile(r"&(?!(?:#\d+|#x[0-9a-fA-F]+|[A-Za-z]+);)")


def _draw(figure):
    """Render the figure as a user saving it would; a small one is enough."""
    figure.savefig(io.BytesIO(), format="png", dpi=20)


def _title_markup(text):
    """What is wrong with the report's title and heading: markup or a bare ampersand."""
    wrong = []
    if "<script" in text.lower():
        wrong.append("a <script> element")
    for tag in ("title", "h1"):
        found = re.search(rf"<{tag}>(.*?)</{tag}>", text, re.S)
        if found is None:
            wrong.append(f"no <{tag}> element")
        elif re.search(r"[<>]", found.group(1)):
            wrong.append(f"markup inside <{tag}>: {found.group(1)[:80]!r}")
        elif ENTITY.search(found.group(1)):
            wrong.append(f"a bare '&' inside <{tag}>: {found.group(1)[:80]!r}")
    return wrong


@pytest.mark.skipif(not HAS_PLOT, reason="reports and charts need matplotlib")
@settings(max_examples=_share(1 / 20, 8), **SETTINGS)
@given(title=TITLES, which=st.sampled_from(["small", "ruined"]))
def test_report_and_plot_titles_are_text(title, which):
    result = _results()[which]
    with Scene() as scene:
        path = scene.user / "report.html"
        out = scene.run("report", result.report, path, title=title)
        if out.ok:
            text = pathlib.Path(out.value).read_text(encoding="utf-8", errors="replace")
            for wrong in _title_markup(text):
                scene.problem("report", "title not escaped", wrong)
        figure = scene.run("plot", result.plot, title=title)
        if figure.ok:
            scene.run("drawing the plot", _draw, figure.value)


# ---------------------------------------------------------------- 4. sweep grids

@functools.lru_cache(maxsize=None)
def _market():
    market = orvane.datasets.synthetic_market(stocks=6, years=1, seed=5)
    return market, orvane.datasets.momentum(market, lookback=20, skip=5, top=2, bottom=2)


def _self_list():
    items = [0.1]
    items.append(items)
    return items


GRID_VALUES = {
    "none": lambda: [None],
    "small": lambda: [0.05, 0.1],
    "three": lambda: [None, 0.05, 0.2],
    "nan": lambda: [float("nan")],
    "nan-alone": lambda: float("nan"),
    "inf": lambda: [float("inf")],
    "huge-int": lambda: [2**64],
    "googol": lambda: [10**400],
    "negative": lambda: [-1],
    "zero": lambda: [0],
    "string": lambda: ["0.1"],
    "bools": lambda: [True, False],
    "empty": lambda: [],
    "empty-tuple": lambda: (),
    "nested-list": lambda: [[1, [2]]],
    "dict": lambda: {"a": 1},
    "nested-dict": lambda: {"a": {"b": [1, {"c": {1, 2}}]}},
    "set": lambda: {0.1, 0.2},
    "unhashable": lambda: [[0.1], {"x": [1]}],
    "self-list": lambda: [_self_list()],
    "range-huge": lambda: range(10**12),
    "range-2**64": lambda: range(2**64),
    "range-googol": lambda: range(10**400),
    "range-wide-step": lambda: range(0, 10**30, 10**29),
    "generator": lambda: (v for v in [None, 0.1]),
    "empty-generator": lambda: (v for v in []),
    "array-2d": lambda: np.zeros((2, 2)),
    "array-0d": lambda: np.array(0.1),
    "array": lambda: np.array([0.1, np.nan]),
    "series": lambda: pd.Series([0.1, 0.2]),
    "object": lambda: [object()],
    "function": lambda: [len],
    "bytes": lambda: b"ab",
    "words": lambda: ["M", "W", "fortnightly"],
    "dates": lambda: [[pd.Timestamp("2010-03-31")]],
    "lookbacks": lambda: [10, 20],
}
GRID_NAMES = ["stop_loss", "take_profit", "fee", "window", "rebalance", "position_limit",
              "trade_at", "lookback", "top", "skip", "stoploss", "", "weights", "market",
              "__class__", 1, None, ("stop_loss",), b"fee"]
HOSTILE_GRIDS = ["none", "number", "string", "empty-list", "empty-mapping", "generator-of-dicts",
                 "set", "frame", "list-of-number", "list-with-none", "items", "series"]


@st.composite
def grids(draw):
    """How to build a grid: ("mapping", ((name, values), ...)), ("list", (((name, values),
    ...), ...)) or ("hostile", kind); values are names in ``GRID_VALUES``."""
    shape = draw(st.sampled_from(["mapping", "mapping", "list", "hostile"]))
    values = st.sampled_from(sorted(GRID_VALUES))
    entry = st.tuples(st.sampled_from(GRID_NAMES), values)
    if shape == "mapping":
        return shape, tuple(draw(st.lists(entry, min_size=1, max_size=2)))
    if shape == "list":
        return shape, tuple(tuple(draw(st.lists(entry, max_size=2)))
                            for _ in range(draw(st.integers(0, 3))))
    return shape, draw(st.sampled_from(HOSTILE_GRIDS))


def _one(name):
    # A list-of-dicts grid passes values as they are: the first of a swept list, or the value.
    value = GRID_VALUES[name]()
    return value[0] if isinstance(value, list) and value else value


def _grid(drawn):
    shape, body = drawn
    if shape == "mapping":
        return {name: GRID_VALUES[values]() for name, values in body}
    if shape == "list":
        return [{name: _one(values) for name, values in run} for run in body]
    return {
        "none": lambda: None, "number": lambda: 5, "string": lambda: "stop_loss",
        "empty-list": lambda: [], "empty-mapping": lambda: {},
        "generator-of-dicts": lambda: ({"stop_loss": v} for v in [None, 0.1]),
        "set": lambda: {"stop_loss", "fee"}, "frame": lambda: pd.DataFrame({"stop_loss": [0.1]}),
        "list-of-number": lambda: [5], "list-with-none": lambda: [{"stop_loss": 0.1}, None],
        "items": lambda: {"stop_loss": [0.1]}.items(),
        "series": lambda: pd.Series({"stop_loss": 0.1}),
    }[body]()


def _stored_error(text):
    """(exception class or None, innermost frame's path, "file:line in function", the
    exception's first line) of a traceback kept as text."""
    lines = (text or "").splitlines()
    frames = [k for k, line in enumerate(lines) if line.startswith('  File "')]
    if not frames:
        return None, None, "(no frame)", _first_line(text or "")
    found = re.match(r'  File "(.*?)", line (\d+), in (.*)', lines[frames[-1]])
    path = pathlib.Path(found.group(1))
    # The exception's line is the first after the innermost frame that is not indented.
    last = next((line for line in lines[frames[-1] + 1:] if line and not line.startswith(" ")), "")
    module, _, qualname = last.split(":", 1)[0].strip().rpartition(".")
    try:
        kind = getattr(importlib.import_module(module) if module else builtins, qualname)
    except (ImportError, AttributeError, ValueError):
        kind = None
    return kind, path, f"{_short(path)}:{found.group(2)} in {found.group(3)}", last[:300]


def _check_sweep(scene, what, out):
    """The table a sweep returned: its runs' errors are refusals by orvane, and the warnings
    it kept are the front's own."""
    if not out.ok:
        return
    table = out.value.table
    for run, (error, kept) in enumerate(zip(table["error"], table["warnings"])):
        if kept is not None:
            scene.foreign_text(f"{what} run {run}", kept)
        if error is None:
            continue
        text = out.value.traceback(run)
        kind, path, where, last = _stored_error(text)
        if not (isinstance(kind, type) and issubclass(kind, REFUSALS)):
            scene.problems.append(Problem(f"{what} run {run}", "not a refusal", last, where, text))
        elif not _in_front(path):
            scene.problems.append(Problem(f"{what} run {run}", "raised outside orvane", last, where,
                                          text))


@settings(max_examples=_share(1, 15), **SETTINGS)
@given(drawn=grids(), source=st.sampled_from(["weights", "strategy"]),
       errors=st.sampled_from(["store", "raise"]),
       keep=st.sampled_from([("stats",), ("stats", "equity", "trades"), ("result",)]))
def test_sweep_grids_run_or_are_refused(drawn, source, errors, keep):
    market, weights = _market()
    source_arg = {"weights": weights} if source == "weights" else \
        {"strategy": orvane.datasets.momentum}
    with Scene() as scene:
        out = scene.run("sweep", orvane.sweep, market, _grid(drawn), **source_arg, keep=keep,
                        errors=errors, workers=1, progress=False)
        _check_sweep(scene, "sweep", out)


# ---------------------------------------------------------------- 5. sweep stores

STORE_GRID = {"stop_loss": [None, 0.1], "fee": [0.0, 0.001]}
STORE_KEEP = ("stats", "equity")


def _store_sweep(keep=STORE_KEEP, grid=STORE_GRID, store=None):
    market, weights = _market()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return orvane.sweep(market, grid, weights=weights, keep=keep, workers=1, progress=False,
                            store=store)


@functools.lru_cache(maxsize=None)
def _store_bytes(kind):
    """The file of a finished store: this test's sweep ("same") or another grid's."""
    grid = STORE_GRID if kind == "same" else {"stop_loss": [None, 0.2]}
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "store.db"
        _store_sweep(grid=grid, store=path)
        leftovers = sorted(os.listdir(folder))
        assert leftovers == ["store.db"], leftovers
        return path.read_bytes()


@functools.lru_cache(maxsize=None)
def _reference(keep):
    return _store_sweep(keep=keep)


class _Plant:
    """A stored payload that, once unpickled, makes a folder in the working directory."""

    def __reduce__(self):
        return os.mkdir, ("planted-by-a-store",)


def _edit(path, *statements):
    db = sqlite3.connect(path)
    try:
        with db:
            for sql, args in statements:
                db.execute(sql, args)
    finally:
        db.close()


FOREIGN = {
    "plain": [("CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT)", ()),
              ("INSERT INTO customers VALUES (1, 'Ada'), (2, 'Lin')", ())],
    "meta": [("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)", ()),
             ("INSERT INTO meta VALUES ('schema', '42'), ('app', 'ledger')", ())],
    "meta-columns": [("CREATE TABLE meta (a, b, c)", ()),
                     ("INSERT INTO meta VALUES (1, 2, 3)", ())],
    "runs": [("CREATE TABLE runs (run TEXT, payload TEXT, extra REAL)", ()),
             ("INSERT INTO runs VALUES ('x', 'y', 1.5)", ())],
    "wal": [("PRAGMA journal_mode=WAL", ()),
            ("CREATE TABLE notes (body TEXT)", ()), ("INSERT INTO notes VALUES ('hello')", ())],
    "view": [("CREATE TABLE t (x)", ()), ("CREATE VIEW meta AS SELECT 1 AS key, 2 AS value", ())],
}
STORE_KINDS = ["missing", "empty", "random", "sqlite-header", "truncated", "other-sweep",
               "tampered", "planted", "planted-old", "unfingerprinted", "wal-junk", "folder",
               "bytes-path",
               "nul-path", "no-parent"] + [f"foreign-{name}" for name in FOREIGN]


@st.composite
def stores(draw):
    kind = draw(st.sampled_from(STORE_KINDS))
    if kind in ("random", "sqlite-header", "wal-junk", "tampered"):
        return kind, draw(st.binary(max_size=1024))
    if kind == "truncated":
        return kind, draw(st.one_of(st.integers(0, 40).map(lambda k: k * 512),
                                    st.integers(0, 10**6)))
    return kind, None


def _make_store(drawn, folder):
    """Lay out the store of ``drawn`` in ``folder``; (the store argument, foreign or not)."""
    kind, data = drawn
    path = folder / "store.db"
    if kind == "empty":
        path.write_bytes(b"")
    elif kind == "random":
        path.write_bytes(data)
    elif kind == "sqlite-header":
        path.write_bytes(b"SQLite format 3\x00" + data)
    elif kind == "truncated":
        whole = _store_bytes("same")
        path.write_bytes(whole[:data % (len(whole) + 1)])
    elif kind == "other-sweep":
        path.write_bytes(_store_bytes("other"))
    elif kind == "planted-old":
        # The pickled layout of the first store format, holding a payload that plants a folder.
        _edit(path, ("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)", ()),
              ("CREATE TABLE runs (run INTEGER PRIMARY KEY, payload BLOB NOT NULL)", ()),
              ("INSERT INTO meta VALUES ('format', 'orvane sweep store 1')", ()),
              ("INSERT INTO runs VALUES (0, ?)", (pickle.dumps(_Plant()),)))
    elif kind in ("tampered", "planted", "unfingerprinted", "wal-junk"):
        path.write_bytes(_store_bytes("same"))
        if kind == "tampered":
            _edit(path, ("UPDATE runs SET arrays = ?, record = ? WHERE run = 0",
                         (data, data.decode("latin-1"))))
        elif kind == "planted":
            _edit(path, ("UPDATE runs SET arrays = ? WHERE run = 0", (pickle.dumps(_Plant()),)))
        elif kind == "unfingerprinted":
            _edit(path, ("DELETE FROM meta WHERE key != 'format'", ()))
        else:
            (folder / "store.db-wal").write_bytes(data)
    elif kind == "folder":
        path.mkdir()
    elif kind.startswith("foreign-"):
        _edit(path, *FOREIGN[kind[len("foreign-"):]])
    if kind == "bytes-path":
        return os.fsencode(path), False
    if kind == "nul-path":
        return str(folder / "store\x00.db"), False
    if kind == "no-parent":
        return folder / "missing" / "store.db", False
    return path, kind.startswith("foreign-")


@settings(max_examples=_share(1 / 2, 10), **SETTINGS)
@given(drawn=stores(), keep=st.sampled_from([STORE_KEEP, ("stats",)]))
def test_sweep_stores_resume_or_are_refused_untouched(drawn, keep):
    market, weights = _market()
    reference = _reference(keep)
    with Scene() as scene:
        store, foreign = _make_store(drawn, scene.user)
        before = _tree(scene.user)
        out = scene.run("sweep with a store", orvane.sweep, market, STORE_GRID, weights=weights,
                        keep=keep, workers=1, progress=False, store=store)
        _check_sweep(scene, "sweep with a store", out)
        moved = scene.changed(scene.user, before)
        if foreign and moved:
            scene.problem("sweep with a store", "changed a foreign database", f"{moved}")
        elif not out.ok and moved:
            scene.problem("sweep with a store", "refused but changed the store's folder",
                          f"{moved}")
        if out.ok:
            # A resumed sweep returns what an uninterrupted one does.
            try:
                pd.testing.assert_frame_equal(out.value.table, reference.table)
                if "equity" in keep:
                    pd.testing.assert_frame_equal(out.value.equity, reference.equity)
            except AssertionError as exc:
                scene.problem("sweep with a store", "another table than a sweep without a store",
                              _first_line(exc), str(exc))
