"""One reader of shapes: a table runs the same from its file and from memory, frames that
read two ways are refused, weights are read from files like prices, and the readers keep
the import direction io -> inputs."""

import ast
import importlib.util
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane

DAYS = pd.bdate_range("2024-01-01", periods=12)   # 1 to 16 January: day-first dates are clear
TICKERS = ["A", "B", "C"]
OHLC_RUN = dict(trade_at="open", intrabar_exits=True, stop_loss=0.03, take_profit=0.05)


def long_bars():
    """Bars of A, B, C in eighths (written to CSV and read back exactly), one row a bar."""
    rng = np.random.default_rng(3)
    close = np.round(160 * np.exp(rng.normal(0, 0.03, (len(DAYS), 3)).cumsum(axis=0))) / 8
    open_ = np.round(close * 8 * np.exp(rng.normal(0, 0.01, close.shape))) / 8
    return pd.DataFrame({"date": np.repeat(DAYS, 3), "ticker": TICKERS * len(DAYS),
                         "open": open_.ravel(), "high": np.maximum(open_, close).ravel() + 0.25,
                         "low": np.minimum(open_, close).ravel() - 0.25, "close": close.ravel(),
                         "volume": 1000})


def weights(index=DAYS[[0, 4, 10]]):
    return pd.DataFrame({"A": [0.5, -0.25, 0.5], "B": [-0.25, 0.5, 0.0], "C": [0.25, 0.25, -0.5]},
                        index=index)


def gaps(frame):
    """Missing bars three ways: rows without a close, absent rows, a date without any
    close, and a ticker D without a single bar."""
    frame = frame.copy()
    frame.loc[[4, 10], ["open", "close"]] = np.nan
    frame.loc[frame["date"] == DAYS[6], ["open", "high", "low", "close"]] = np.nan
    never = frame[frame["ticker"] == "A"].assign(ticker="D", close=np.nan)
    return pd.concat([frame.drop(index=[7, 20]), never], ignore_index=True)


PRICE_LAYOUTS = {
    "long": (long_bars, OHLC_RUN),
    "symbol, title case": (lambda: long_bars().rename(columns=str.title).rename(columns={"Ticker": "Symbol"}),
                           OHLC_RUN),
    "spaced and underscored names": (
        lambda: long_bars().set_axis([" DATE ", "Ticker_", "open", "High ", "LOW", "close_", "Vol"], axis=1),
        OHLC_RUN),
    "rows shuffled": (lambda: long_bars().sample(frac=1, random_state=0), OHLC_RUN),
    "close only": (lambda: long_bars()[["date", "ticker", "close"]], dict(stop_loss=0.03)),
    "missing bars": (lambda: gaps(long_bars()), OHLC_RUN),
    "yyyymmdd integers": (lambda: long_bars().assign(date=np.repeat(DAYS.strftime("%Y%m%d").astype(int), 3)),
                          OHLC_RUN),
    "ISO text dates": (lambda: long_bars().assign(date=np.repeat(DAYS.strftime("%Y-%m-%d"), 3)), OHLC_RUN),
    "day-first text dates": (lambda: long_bars().assign(date=np.repeat(DAYS.strftime("%d/%m/%Y"), 3)),
                             OHLC_RUN),
    "time zone": (lambda: long_bars().assign(date=np.repeat(DAYS.tz_localize("America/New_York"), 3)),
                  dict(OHLC_RUN, weights=weights(DAYS[[0, 4, 10]].tz_localize("America/New_York")))),
    "(date, ticker) index": (lambda: long_bars().set_index(["date", "ticker"]), OHLC_RUN),
    "dates on the index": (lambda: long_bars().set_index("date"), OHLC_RUN),
}


# Frames only: what holds the dates, tickers and fields has no file of its own.
MEMORY_LAYOUTS = {
    "(ticker, date) index": lambda b: b.set_index(["ticker", "date"]),
    "unnamed (date, ticker) index": lambda b: b.set_index(["date", "ticker"]).rename_axis([None, None]),
    "unnamed dates on the index": lambda b: b.set_index("date").rename_axis(None),
    "text dates on an index named date": lambda b: b.assign(date=b["date"].dt.strftime("%Y-%m-%d")).set_index("date"),
    "a date column beside other dates on the index": lambda b: b.set_axis(pd.date_range("1990-01-01", periods=len(b))),
    "(field, ticker) columns": lambda b: b.drop(columns="volume").pivot(index="date", columns="ticker"),
    "(ticker, field) columns": lambda b: b.drop(columns="volume").pivot(index="date", columns="ticker").swaplevel(axis=1),
}


@pytest.mark.parametrize("make", MEMORY_LAYOUTS.values(), ids=list(MEMORY_LAYOUTS))
def test_a_price_frame_runs_the_same_as_its_long_table(make):
    run = quietly(orvane.backtest, weights(), make(long_bars()), **OHLC_RUN)
    assert_same_run(run, quietly(orvane.backtest, weights(), long_bars(), **OHLC_RUN))


def test_tickers_that_are_not_text_are_paired_by_their_text():
    number = {"A": 1, "B": 2, "C": 3}
    bars = long_bars().assign(ticker=lambda b: b["ticker"].map(number))
    run = quietly(orvane.backtest, weights().rename(columns=number), bars, **OHLC_RUN)
    assert sorted(run.trades["ticker"].unique()) == ["1", "2", "3"]


def nanos(values):
    """Instants as naive UTC nanoseconds: a file and a frame may hold the same ones in other
    units or spellings of a zone."""
    dates = pd.DatetimeIndex(values)
    return np.asarray(dates.tz_convert(None) if dates.tz is not None else dates, dtype="datetime64[ns]")


def plain(frame):
    frame = frame.copy()
    for name, column in frame.items():
        if pd.api.types.is_datetime64_any_dtype(column.dtype):
            frame[name] = nanos(column)
    return frame


def assert_same_run(a, b):
    assert len(a.trades) > 0
    assert np.array_equal(a.equity.to_numpy().view(np.int64), b.equity.to_numpy().view(np.int64))
    assert np.array_equal(nanos(a.equity.index), nanos(b.equity.index))
    pd.testing.assert_frame_equal(plain(a.trades), plain(b.trades), check_exact=True)


def quietly(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return call(*args, **kwargs)


def to_file(table, path):
    table.to_csv(path, index=not isinstance(table.index, pd.RangeIndex))
    return path


@pytest.mark.parametrize("make, options", PRICE_LAYOUTS.values(), ids=list(PRICE_LAYOUTS))
def test_a_price_table_runs_the_same_from_its_file_and_from_memory(tmp_path, make, options):
    table, options = make(), dict(options)
    w = options.pop("weights", weights())
    read = quietly(orvane.read_prices, to_file(table, tmp_path / "prices.csv"))
    assert read["close"].index.is_monotonic_increasing and list(read["close"].columns) == sorted(read["close"].columns)
    from_file = quietly(orvane.backtest, w, read, **options)
    in_memory = quietly(orvane.backtest, w, table, **options)
    assert_same_run(in_memory, from_file)


def test_a_long_frame_leaves_out_a_ticker_without_bars_and_says_so():
    result = quietly(orvane.backtest, weights(), gaps(long_bars()))
    assert "prices: no valid bar (a close price) for [D]; left out" in result.warnings
    assert "D" not in result.actions.index


def long_weights(frame):
    out = frame.stack().rename("weight").rename_axis(["date", "ticker"]).reset_index()
    return out[out["weight"] != 0]


WEIGHT_LAYOUTS = {
    "wide, date column": lambda: weights().rename_axis("date").reset_index(),
    "wide, dates on the index": weights,
    "wide, day-first text date column": lambda: weights().set_axis(
        weights().index.strftime("%d/%m/%Y")).rename_axis("Date").reset_index(),
    "long": lambda: long_weights(weights()),
    "long, Symbol and Weight, yyyymmdd": lambda: long_weights(weights()).set_axis(
        ["Date", "Symbol", "Weight"], axis=1).assign(Date=lambda f: f["Date"].dt.strftime("%Y%m%d").astype(int)),
    "long, a NaN weight": lambda: long_weights(weights()).assign(weight=lambda f: f["weight"].where(
        f["ticker"] != "C", np.nan)),
    "long, (date, ticker) index": lambda: long_weights(weights()).set_index(["date", "ticker"]),
}


@pytest.mark.parametrize("make", WEIGHT_LAYOUTS.values(), ids=list(WEIGHT_LAYOUTS))
def test_a_weight_table_runs_the_same_from_its_file_and_from_memory(tmp_path, make):
    table, prices = make(), long_bars()
    read = orvane.read_weights(to_file(table, tmp_path / "weights.csv"))
    assert read.index.is_monotonic_increasing and list(read.columns) == sorted(read.columns)
    from_file = quietly(orvane.backtest, read, prices, **OHLC_RUN)
    in_memory = quietly(orvane.backtest, table, prices, **OHLC_RUN)
    assert_same_run(in_memory, from_file)
    if not read.isna().any(axis=None):  # a pair without a row is no position, as in the wide frame
        wide = quietly(orvane.backtest, weights(), prices, **OHLC_RUN)
        assert_same_run(in_memory, wide)
        assert in_memory.weights.equals(wide.weights)
    assert [n for n in in_memory.warnings if "NaN" in n] == [n for n in from_file.warnings if "NaN" in n]


# ---------------------------------------------------------------- frames that read two ways

# Fields on both levels, each cell its own price: which level holds the fields decides.
TWO_FIELD_LEVELS = pd.DataFrame({("close", "close"): 10.0, ("close", "open"): 20.0,
                                 ("open", "close"): 9.5, ("open", "open"): 19.0}, index=DAYS)

AMBIGUOUS = {
    "bars with a date column": (
        dict(prices=long_bars().drop(columns=["ticker", "volume"]).iloc[::3].reset_index(drop=True)),
        r"prices has the columns \[open, high, low, close\] but no ticker column, so it reads two ways: "
        r"as one ticker's bars, or as a wide table whose tickers are named \[open, high, low, close\]; "
        r"for bars add a ticker column \(long: date, ticker, close, \.\.\.\), for a wide table of "
        r"closes pass \{'close': frame\}"),
    "bars on dated rows": (dict(prices=pd.DataFrame({"Adj Close": 10.0}, index=DAYS)),
                           r"prices has the columns \[Adj Close\] but no ticker column"),
    "fields on both column levels": (
        dict(prices=TWO_FIELD_LEVELS),
        r"prices has field names on both column levels, \[close, open\] and \[close, open\], so it "
        r"reads two ways: as \(field, ticker\) or as \(ticker, field\); name the level of fields "
        r"'field' to say which"),
    "weights with a weight column": (
        dict(weights=pd.DataFrame({"date": DAYS[:2], "Weight": [0.5, 0.5]})),
        r"weights has a 'Weight' column but no ticker column, so it reads two ways: as one ticker's "
        r"weights, or as a wide table with a ticker named 'Weight'; for weights add a ticker column "
        r"\(long: date, ticker, weight\), for a wide table rename the column to its ticker"),
}


@pytest.mark.parametrize("given, message", AMBIGUOUS.values(), ids=list(AMBIGUOUS))
def test_frames_that_read_two_ways_are_refused_naming_both(given, message):
    args = {"weights": weights(), "prices": long_bars(), **given}
    with pytest.raises(ValueError, match=message):
        orvane.backtest(args["weights"], args["prices"])


def test_saying_which_settles_a_frame_that_reads_two_ways():
    by_field = orvane.prepare_prices(TWO_FIELD_LEVELS.rename_axis(["field", "ticker"], axis=1))
    by_ticker = orvane.prepare_prices(TWO_FIELD_LEVELS.rename_axis(["ticker", "field"], axis=1))
    assert list(by_field.tickers) == list(by_ticker.tickers) == ["close", "open"]
    assert by_field.arrays["close"][0].tolist() == [10.0, 20.0]
    assert by_ticker.arrays["close"][0].tolist() == [10.0, 9.5]
    wide = orvane.prepare_prices({"close": pd.DataFrame({"open": 9.0, "close": 10.0}, index=DAYS)})
    assert list(wide.tickers) == ["open", "close"] and set(wide.arrays) == {"close"}


@pytest.mark.parametrize("columns, first, second", [
    (["date", "ticker", "Symbol", "close"], "ticker", "Symbol"),
    (["date", "ticker", "Close", "close_"], "Close", "close_"),
], ids=["ticker and symbol", "close spelled twice"])
def test_two_columns_for_one_are_refused_in_files_and_frames(tmp_path, columns, first, second):
    frame = pd.DataFrame([["2024-01-01", "A", "A" if "Symbol" in columns else 1.0, 1.0]], columns=columns)
    frame.to_csv(tmp_path / "prices.csv", index=False)
    with pytest.raises(ValueError, match=rf"prices\.csv has repeated column names \[{first}, {second}\]"):
        orvane.read_prices(tmp_path / "prices.csv")
    with pytest.raises(ValueError, match=rf"prices has the column '\w+' more than once: '{first}' and "
                                         rf"'{second}'; keep one"):
        orvane.backtest(weights(), frame)


# ---------------------------------------------------------------- read_weights

def test_a_folder_of_weights_reads_as_its_files_together(tmp_path):
    whole = weights().rename_axis("date")
    (tmp_path / "w").mkdir()
    whole.iloc[:2, :2].to_csv(tmp_path / "w" / "early_ab.csv")                  # wide
    whole.iloc[:2, 2:].to_csv(tmp_path / "w" / "early_c.csv")                   # wide
    long_weights(whole.iloc[2:]).to_csv(tmp_path / "w" / "late.csv", index=False)  # long, B's 0 left out
    read = orvane.read_weights(tmp_path / "w")
    assert np.array_equal(nanos(read.index), nanos(whole.index))
    assert list(read.columns) == TICKERS
    assert np.array_equal(read.to_numpy(), whole.to_numpy())


@pytest.mark.parametrize("files, message", [
    ({"a.csv": "date,A\n2024-01-01,0.5\n", "b.csv": "date,ticker,weight\n2024-01-01,A,0.1\n"},
     r"weights for A on 2024-01-01 come from two files, .*a\.csv and .*b\.csv; keep one of them"),
    ({"w.csv": "date,ticker,weight\n2024-01-01,A,0.1\n2024-01-02,A,0.1\n2024-01-01,A,0.2\n"},
     r"w\.csv has more than one row per \(date, ticker\): \[\(2024-01-01, A\)\] \(the first on lines "
     r"2 and 4\); keep one"),
    ({"w.csv": "date,A\n2024-01-01,0.5\n2024-01-01,0.5\n"},
     r"w\.csv has duplicate dates: \[2024-01-01\] \(the first on lines 2 and 3\); keep one row per date"),
    ({"w.csv": "date,A,B\n2024-01-01,0.5,x\n"}, r"w\.csv: B on 2024-01-01: 'x' is not a number \(line 2\)"),
    ({"w.csv": "date,A,B\n2024-01-01,0.5,True\n2024-01-02,0.5,False\n"},
     r"w\.csv: B on 2024-01-01: True is not a number \(line 2\)"),
    ({"w.csv": "date,ticker,weight\n2024-01-01,A,--\n"}, r"w\.csv line 2: weight '--' is not a number"),
    ({"w.csv": "date,ticker,weight\n2024-01-01,A,False\n"}, r"w\.csv line 2: weight False is not a number"),
    ({"w.csv": "date,Symbol\n2024-01-01,A\n"},
     r"w\.csv: a long table needs columns date, ticker, weight; missing: weight"),
    ({"w.csv": "date,weight\n2024-01-01,0.5\n"}, r"w\.csv has a 'weight' column but no ticker column"),
    ({"a.csv": "date,ticker,weight\n", "b.csv": "date,ticker,weight\n"}, r"every file holds no rows"),
    ({"a.csv": "date,A\n2024-01-01T00:00+01:00,0.5\n", "b.csv": "date,B\n2024-01-01,0.5\n"},
     r"some files have time-zone-aware dates and others naive ones: \[a\.csv\] and \[b\.csv\]"),
], ids=["pair in two files", "pair twice in a long file", "date twice in a wide file", "text cell",
        "true or false", "text weight", "false weight", "no weight column", "one ticker's weights", "no rows",
        "zones mixed"])
def test_bad_weight_files_are_refused_naming_file_and_line(tmp_path, files, message):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    with pytest.raises(ValueError, match=message):
        orvane.read_weights(tmp_path)


@pytest.mark.parametrize("read", [orvane.read_weights, orvane.io.read_wide], ids=["weights", "wide prices"])
def test_numbers_stored_as_text_in_a_wide_file_are_read_as_numbers(tmp_path, read):
    pytest.importorskip("pyarrow")
    days = pd.bdate_range("2024-01-01", periods=3)
    table = pd.DataFrame({"date": days, "A": ["0.5", None, "0.25"], "B": [0.5, 0.5, 0.75]})
    table.to_parquet(tmp_path / "w.parquet", index=False)
    got = read(tmp_path / "w.parquet")
    expected = pd.DataFrame({"A": [0.5, np.nan, 0.25], "B": [0.5, 0.5, 0.75]},
                            index=pd.DatetimeIndex(days, name="date"))
    pd.testing.assert_frame_equal(got, expected, check_names=False, check_index_type=False,
                                  check_freq=False)


# ---------------------------------------------------------------- the import direction

FRONT = pathlib.Path(orvane.__file__).parent


def is_module(name):
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError:   # a name inside a module that is no package
        return False


def imports_of(name):
    """(module, name) for each import of an orvane module in the file ``name``; (module, "")
    for a plain ``import``."""
    tree = ast.parse((FRONT / name).read_text(encoding="utf-8"))
    imported = [(node.module, alias.name) for node in ast.walk(tree)
                if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("orvane")
                for alias in node.names]
    imported += [(alias.name, "") for node in ast.walk(tree) if isinstance(node, ast.Import)
                 for alias in node.names]
    return imported


def imports_module(imported, module):
    return [(m, n) for m, n in imported if module in (m, f"{m}.{n}")]


@pytest.mark.parametrize("name", ["_common.py", "_values.py", "_shapes.py", "io.py", "inputs.py",
                                  "cli.py"])
def test_readers_import_no_private_name_and_io_no_inputs(name):
    imported = imports_of(name)
    # Private modules (_params, _common) are how internals are named; private names are not.
    private = [f"{m}.{n}" for m, n in imported if n.startswith("_") and not is_module(f"{m}.{n}")]
    assert not private
    if name in ("_values.py", "_shapes.py", "io.py", "_common.py"):
        assert not imports_module(imported, "orvane.inputs")


# Each reader imports only those before it: io -> _shapes -> _values -> _common.
READERS = ["_common.py", "_values.py", "_shapes.py", "io.py"]


@pytest.mark.parametrize("at", range(len(READERS)))
def test_the_readers_import_only_downwards(at):
    imported = imports_of(READERS[at])
    above = ["orvane." + name[:-3] for name in READERS[at:]]
    # "from orvane import io" is (orvane, io), matched as orvane.io.
    assert not [(m, n) for module in above for m, n in imports_module(imported, module)]


def test_io_still_offers_every_name_it_lists():
    # Names that moved out are re-exported: callers keep importing them from io.
    import orvane.io
    import orvane._shapes
    import orvane._values
    homes = {**vars(orvane._values), **vars(orvane._shapes)}
    for name in orvane.io.__all__:
        assert hasattr(orvane.io, name), name
        if name in homes:
            assert getattr(orvane.io, name) is homes[name], name


# Native code has two doors: engine.py runs the engine, _native.py holds the kernels and
# the names the core publishes. Any other module importing it spreads the seam again.
DOORS = {"engine.py": ("orvane.core",), "_native.py": ("orvane._kernels", "orvane.core")}


@pytest.mark.parametrize("path", sorted(
    str(p.relative_to(FRONT)) for p in FRONT.rglob("*.py") if "core" not in p.parts[-2:-1]))
def test_native_code_is_imported_through_its_two_doors(path):
    imported = imports_of(path)
    native = [f"{m}.{n}" for m, n in imported
              for home in ("orvane.core", "orvane._kernels")
              if f"{m}.{n}".startswith(home) or m.startswith(home) or (m, n) == ("orvane", home[7:])]
    allowed = DOORS.get(path, ())
    assert [name for name in native if not name.startswith(allowed) or not allowed] == [], \
        f"{path} imports native code; go through engine.py (runs) or _native.py (kernels)"
    if path == "engine.py":
        assert not [name for name in native if name.startswith("orvane._kernels")]
