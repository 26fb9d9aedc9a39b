"""orvane.read_prices on files written here: adjustment, the ways to name files, bad files."""

import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane.io import AmbiguousDatesError, Source, parse_dates

DAYS = pd.to_datetime(["2021-01-04", "2021-01-05", "2021-01-06", "2021-01-07"])
# Raw bars per ticker: open, high, low, close, adj close.  AAA splits 2:1 after the second
# day; BBB goes ex-dividend after the second (adj / close = 0.75 before); CCC lacks a day.
RAW = {
    "AAA": [[98, 104, 97, 100, 50], [100, 103, 99, 102, 51], [51, 52, 50, 51, 51], [51, 53, 50, 52, 52]],
    "BBB": [[40, 42, 39, 40, 30], [40, 41, 38, 40, 30], [38, 39, 37, 38, 38], [38, 40, 38, 39, 39]],
    "CCC": [[10, 11, 9, 10, 10], [10, 12, 10, 11, 11], [11, 12, 11, 12, 12]],
}


def bars(ticker):
    dates = DAYS if ticker != "CCC" else DAYS.delete(2)
    return pd.DataFrame(RAW[ticker], index=dates, columns=["open", "high", "low", "close", "adj"], dtype=float)


def expected(adjust):
    out = {}
    for f in ("open", "high", "low", "close"):
        cols = {}
        for t in RAW:
            b = bars(t)
            cols[t] = b["adj"] if adjust and f == "close" else b[f] * (b["adj"] / b["close"] if adjust else 1)
        out[f] = pd.DataFrame(cols).rename_axis(index="date", columns="ticker")
    return out


@pytest.fixture
def folder(tmp_path):
    d = tmp_path / "prices"
    d.mkdir()
    headers = {"AAA": "Date,Open,High,Low,Close,Adj Close,Volume",
               "BBB": "date,open,high,low,close,adj_close,volume"}
    for t, header in headers.items():
        rows = [f"{d_:%Y-%m-%d},{','.join(f'{v:g}' for v in r)},1000" for d_, r in bars(t).iterrows()]
        (d / f"{t}.csv").write_text("\n".join([header, *rows]) + "\n")
    pytest.importorskip("pyarrow")
    bars("CCC").rename(columns={"adj": "Adj Close"}).rename_axis("Date").to_parquet(d / "CCC.parquet")
    (d / "notes.txt").write_text("not prices\n")
    return d


@pytest.mark.parametrize("adjust", [True, False])
def test_adjusts_open_high_low_by_adj_close_or_reads_raw_prices(folder, adjust):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the made-up adj close moves like splits
        got = orvane.read_prices(folder, adjust=adjust)
    # Raw prices come with the dividends their adj close implies.
    assert list(got) == ["open", "high", "low", "close"] + ([] if adjust else ["dividends"])
    assert got.adjusted is adjust
    for f, frame in expected(adjust).items():
        pd.testing.assert_frame_equal(got[f], frame, check_freq=False, check_index_type=False)


@pytest.mark.parametrize("spell", [
    lambda d: str(d / "???.*"),
    lambda d: [d / "AAA.csv", str(d / "BBB.csv"), d / "CCC.parquet"],
    lambda d: _long_file(d),
], ids=["glob", "list", "long file"])
def test_glob_list_and_long_file_read_as_the_folder(folder, spell):
    want = orvane.read_prices(folder)
    got = orvane.read_prices(spell(folder))
    for f in want:
        pd.testing.assert_frame_equal(got[f], want[f], check_freq=False, check_index_type=False)


def _long_file(d):
    frames = [bars(t).assign(ticker=t) for t in RAW]
    long = pd.concat(frames).rename_axis("date").reset_index().rename(columns={"adj": "Adj Close"})
    path = d.parent / "long.csv"
    long.sample(frac=1, random_state=0).to_csv(path, index=False)
    return path


@pytest.mark.parametrize("name, text, message", [
    ("BAD.csv", "Date,Close\n2021-01-04,1\n\n2021-01-05,--\n", r"BAD\.csv line 4: Close '--' is not a number"),
    ("BAD.csv", "Date,Close\n2021-01-04,1\n2021-02-30,2\n", r"BAD\.csv line 3: Date '2021-02-30' is not a date"),
    ("BAD.csv", "Date,Close,Close\n2021-01-04,1,1\n", r"BAD\.csv has repeated column names \[Close\]"),
    ("BAD.csv", "Date,Adj Close,adj_close,Close\n", r"BAD\.csv has repeated column names \[Adj Close, adj_close\]"),
    ("BAD.csv", "Date,Close\n2021-01-04,1\n2021-01-05,2\n2021-01-04,3\n",
     r"BAD\.csv has repeated dates: \[2021-01-04\] \(the first on lines 2 and 4\)"),
    ("BAD.csv", "Date,Close\n2021-01-04,1\n2021-01-05,2\n2021-01-05,3\n2021-01-04,4\n2021-01-04,5\n",
     r"BAD\.csv has repeated dates: \[2021-01-04, 2021-01-05\] \(the first on lines 2 and 5\)"),
    ("LONG.csv", "date,ticker,close\n2021-01-04,AAA,1\n", r"ticker AAA comes from two files, .*AAA\.csv and .*LONG\.csv"),
    ("BAD.csv", "Date,Open\n2021-01-04,1\n", r"BAD\.csv must have a close column, got columns \[Date, Open\]"),
    ("BAD.csv", "Date,Close\n1609459200,1\n", r"BAD\.csv line 2: Date 1609459200 is an integer, not a date"),
    ("BAD.csv", "Date,Close\n03/04/2021,1\n04/03/2021,2\n",
     r"BAD\.csv line 2: Date '03/04/2021' reads as 2021-04-03 day-first and 2021-03-04 month-first"),
    ("BAD.csv", "Date,Open,Close,Adj Close\n2021-01-04,10,10,5\n2021-01-05,10,0,5\n",
     r"BAD\.csv line 3: Close 0 is not a positive price, so adj close / close cannot scale"),
    ("BAD.csv", "Date,Close,Adj Close\n2021-01-04,10,-5\n",
     r"BAD\.csv line 2: Adj Close -5 is not a positive price"),
    ("BAD.csv", "Date,High,Close,Adj Close\n2021-01-04,10,10,5\n2021-01-05,10,inf,5\n",
     r"BAD\.csv line 3: Close inf is not a positive price"),
    ("BAD.csv", "Date,Close\n2021-01-04,1\n2300-01-04,1\n",
     r"BAD\.csv line 3: Date 2300-01-04 lies outside the dates the engine's clock can hold "
     r"\(1677-09-22 \.\. 2262-04-11\); correct or remove the row"),
    ("BAD.csv", "Date,Close\n04 Jan 1600,1\n", r"BAD\.csv line 2: Date 1600-01-04 lies outside"),
    ("BAD.csv", "Date,Open,High,Low,Close,Adj Close\n2021-01-04,1e-4,1e-4,1e-4,1e-4,1e308\n",
     r"BAD\.csv line 2: adj close / close scales the open 0.0001 beyond any float"),
    ("BAD.csv", "Date,Open,High,Low,Close,Adj Close\n2021-01-04,1e308,1e308,1,1,10\n",
     r"BAD\.csv line 2: adj close / close scales the open 1e\+308 beyond any float"),
    ("BAD.csv", "Date,Close\n2021-01-04,1\n2021-01-05," + "7" * 400 + "\n",
     r"BAD\.csv line 3: Close: 7{20}\.\.\. \(400 digits\) is beyond any float"),
    ("BAD.csv", "Date,Close\n2021-01-04,10\n2021-01-04T16:00:00+05:00,10\n",
     r"BAD\.csv line 3: Date '2021-01-04T16:00:00\+05:00' (is not a date|carries a time zone)"),
], ids=["not a number", "bad date", "repeated header", "header spelled twice", "repeated dates",
        "dates repeated two and three times", "ticker twice", "no close", "integer dates", "ambiguous dates", "zero close beside adj close",
        "negative adj close", "infinite close beside adj close", "past 2262", "before 1677",
        "adjusted close beyond any float", "adjusted open beyond any float",
        "whole number beyond any float", "a zone among plain dates"])
def test_bad_files_are_refused_naming_file_and_line(folder, name, text, message):
    (folder / name).write_text(text)
    with warnings.catch_warnings():
        warnings.simplefilter("error")   # and nothing foreign on the way
        with pytest.raises(ValueError, match=message):
            orvane.read_prices(folder)


@pytest.mark.parametrize("path, error, message", [
    (lambda d: b"dir", TypeError,
     r"path must be a path \(str or os\.PathLike\), got bytes b'dir'; decode it with os\.fsdecode"),
    (lambda d: [d / "AAA.csv", None], TypeError,
     r"path\[1\] must be a path \(str or os\.PathLike\), got NoneType None"),
    (lambda d: [str(d / "AAA.csv"), b"BBB.csv"], TypeError, r"path\[1\] must be .*, got bytes"),
    (lambda d: f"{d}/AAA\0.csv", ValueError, r"path must not contain a NUL byte, got '.*AAA\\x00\.csv'"),
    (lambda d: [d / "AAA.csv", d / "B\0"], ValueError, r"path\[1\] must not contain a NUL byte"),
    (lambda d: "", ValueError, r"path must not be empty, got ''; pass \".\" for the working folder"),
    (lambda d: [d / "AAA.csv", ""], ValueError, r"path\[1\] must not be empty"),
], ids=["bytes", "None in a list", "bytes in a list", "NUL byte", "NUL byte in a list", "empty",
        "empty in a list"])
def test_paths_that_name_no_file_are_refused_by_name(folder, path, error, message):
    with pytest.raises(error, match=message):
        orvane.read_prices(path(folder))


def test_an_unreadable_folder_is_named(folder, monkeypatch):
    def denied(self):
        raise PermissionError(13, "Permission denied", str(self))

    monkeypatch.setattr(pathlib.Path, "iterdir", denied)
    with pytest.raises(PermissionError, match=rf"Permission denied: '{folder}'"):
        orvane.read_prices(folder)


@pytest.mark.parametrize("unit", ["us", "s"])
def test_a_parquet_date_past_the_clock_is_named_beside_nanosecond_files(tmp_path, unit):
    pytest.importorskip("pyarrow")
    near = pd.DatetimeIndex(np.array(["2021-01-04", "2021-01-05"], dtype="datetime64[ns]"))
    far = pd.DatetimeIndex(np.array(["2262-04-10", "2300-01-04"], dtype=f"datetime64[{unit}]"))
    for name, dates in (("NEAR", near), ("FAR", far)):
        bars = pd.DataFrame({"date": dates, "close": [1.0, 2.0], "adj close": [1.0, 2.0]})
        bars.to_parquet(tmp_path / f"{name}.parquet")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match=r"FAR\.parquet row 2: date 2300-01-04 lies outside "
                                             r"the dates the engine's clock can hold"):
            orvane.read_prices(tmp_path)


def test_tickers_without_a_bar_are_left_out_with_a_warning(folder):
    (folder / "EMPTY.csv").write_text("Date,Close\n")
    (folder / "GONE.csv").write_text("Date,Close\n2021-01-04,null\n2021-01-05,\n")
    with pytest.warns(UserWarning, match=r"no valid bar .*\[EMPTY \(EMPTY\.csv\), GONE \(GONE\.csv\)\]"):
        got = orvane.read_prices(folder)
    assert list(got["close"].columns) == ["AAA", "BBB", "CCC"]


@pytest.mark.parametrize("values, dayfirst, result", [
    (["2021-01-04", "2021-02-03"], None, ["2021-01-04", "2021-02-03"]),
    ([20210104, 20210203], None, ["2021-01-04", "2021-02-03"]),
    (["20210104", "20210203"], True, ["2021-01-04", "2021-02-03"]),
    (["13/01/2021", "03.02.2021"], None, ["2021-01-13", "2021-02-03"]),
    (["01/13/2021", "02-03-2021"], None, ["2021-01-13", "2021-02-03"]),
    (["03/04/2021", "04/04/2021"], True, ["2021-04-03", "2021-04-04"]),
    (["03/04/2021", "04/04/2021"], False, ["2021-03-04", "2021-04-04"]),
    (["04/04/2021"], None, ["2021-04-04"]),
    (["03/04/2021", "04/03/2021"], None, AmbiguousDatesError),
    (["02/01/2021", "13/01/2021"], False, r"row 2: d '13/01/2021' is not a date written MM/DD/YYYY"),
    (["13/01/2021", "01/13/2021"], None, r"mixes day-first \('13/01/2021', row 1\) and month-first \('01/13/2021', row 2\) dates"),
    ([20210104, 1612310400], None, r"row 2: d 1612310400 is an integer, not a date"),
    (["1/2/21"], None, r"row 1: d '1/2/21' has a two-digit year"),
    (["2021-01-04", "04/01/2021"], None, r"row 2: d '04/01/2021' is written unlike the first date"),
    (["2021-01-04", None], None, r"row 2: d is empty"),
    ([20210104.0, 20210203.0], None, ["2021-01-04", "2021-02-03"]),
    ([20210104.0, 20210203.5], None, r"row 2: d 20210203.5 is not a date"),
    ([True, False], None, r"row 1: d True is not a date"),
    (["1677-09-22", "2262-04-11"], None, ["1677-09-22", "2262-04-11"]),
    (["2021-01-04", "1677-09-21"], None, r"row 2: d 1677-09-21 lies outside"),
    (["2021-01-04", "2262-04-12"], None, r"row 2: d 2262-04-12 lies outside"),
    (["2021-01-04", "2021-02-30"], None, r"row 2: d '2021-02-30' is not a date"),   # no such day
])
def test_date_rules(values, dayfirst, result):
    source = Source("x.parquet")
    if isinstance(result, list):
        got = parse_dates(pd.Series(values), source, "d", dayfirst)
        assert list(got) == list(pd.to_datetime(result))
    else:
        error, match = (result, None) if isinstance(result, type) else (ValueError, result)
        with pytest.raises(error, match=match):
            parse_dates(pd.Series(values), source, "d", dayfirst)


@pytest.mark.parametrize("text, row, line", [
    ("d,x\n2021-01-04,1\n\n2021-01-05,2\n", 1, 4),
    ('d,x\n2021-01-04,"a\nb"\n2021-01-05,2\n', 1, 4),
    (None, 1, 3),  # the file gone by the time of the message: the line of a file without blanks
], ids=["blank line", "quoted cell over two lines", "file gone"])
def test_a_file_row_is_named_by_its_line(tmp_path, text, row, line):
    path = tmp_path / "f.csv"
    if text is not None:
        path.write_text(text)
    assert Source(path).where(row) == f"{path} line {line}"


def test_long_file_tickers_keep_their_leading_zeros(tmp_path):
    (tmp_path / "tw.csv").write_text("date,ticker,close\n20210104,0050,1\n20210104,2330,2\n")
    close = orvane.read_prices(tmp_path / "tw.csv")["close"]
    assert list(close.columns) == ["0050", "2330"] and list(close.index) == [pd.Timestamp("2021-01-04")]


def volume_folder(tmp_path, volumes):
    """AAA (a 2:1 split) and BBB (a dividend) with a Volume column of ``volumes``."""
    d = tmp_path / "volumes"
    d.mkdir()
    for t in ("AAA", "BBB"):
        rows = [f"{d_:%Y-%m-%d},{','.join(f'{v:g}' for v in r)},{volumes}"
                for d_, r in bars(t).iterrows()]
        (d / f"{t}.csv").write_text("\n".join(["Date,Open,High,Low,Close,Adj Close,Volume", *rows]) + "\n")
    return d


@pytest.mark.parametrize("adjust", [True, False])
def test_volume_is_read_and_adjusted_so_the_money_traded_stays_as_written(tmp_path, adjust):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the made-up adj close moves like splits
        got = orvane.read_prices(volume_folder(tmp_path, 1000), adjust=adjust)
    assert "volume" in got
    raw_close = pd.DataFrame({t: bars(t)["close"] for t in ("AAA", "BBB")})
    money = (got["close"] * got["volume"]).to_numpy()
    np.testing.assert_allclose(money, raw_close.to_numpy() * 1000.0, rtol=1e-14)
    if adjust:
        # AAA's adj close halves its first two closes: twice the shares.
        assert got["volume"]["AAA"].tolist() == [2000.0, 2000.0, 1000.0, 1000.0]
    else:
        assert (got["volume"] == 1000.0).all().all()


@pytest.mark.parametrize("cell, message", [
    ("-5", r"AAA\.csv line 2: Volume -5 is not a number of shares traded \(0 or more\)"),
    ("inf", r"AAA\.csv line 2: Volume inf is not a number of shares traded"),
    ("lots", r"AAA\.csv line 2: Volume 'lots' is not a number"),
])
def test_a_volume_that_is_no_number_of_shares_is_refused_by_line(tmp_path, cell, message):
    with pytest.raises(ValueError, match=message):
        orvane.read_prices(volume_folder(tmp_path, cell))


def test_volume_missing_from_some_files_is_left_out_with_a_warning(tmp_path):
    d = volume_folder(tmp_path, 1000)
    (d / "CCC.csv").write_text("Date,Close\n2021-01-04,10\n2021-01-05,11\n")
    with pytest.warns(UserWarning, match=r"volume left out: \[CCC\.csv\] have no volume column"):
        got = orvane.read_prices(d)
    assert "volume" not in got
    # An empty cell is a bar without a volume, not a refusal.
    (d / "CCC.csv").write_text("Date,Close,Volume\n2021-01-04,10,\n2021-01-05,11,7\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = orvane.read_prices(d)
    assert np.isnan(got["volume"].loc["2021-01-04", "CCC"]) and got["volume"].loc["2021-01-05", "CCC"] == 7


def test_prices_written_as_decimals_read_back_to_the_last_bit(tmp_path):
    # Random closes written at full precision: every one must come back the same double.
    dates = pd.bdate_range("2020-01-01", periods=400)
    close = pd.DataFrame(np.random.default_rng(3).lognormal(3, 1.5, (400, 5)), index=dates,
                         columns=[f"T{i}" for i in range(5)])
    close.rename_axis("date").to_csv(tmp_path / "close.csv")
    long = close.stack().rename("close").rename_axis(["date", "ticker"]).reset_index()
    long.to_csv(tmp_path / "long.csv", index=False)
    wide = orvane.io.read_wide(tmp_path / "close.csv")
    np.testing.assert_array_equal(wide.to_numpy(), close.to_numpy())
    read = orvane.read_prices(tmp_path / "long.csv")["close"]
    np.testing.assert_array_equal(read[close.columns].to_numpy(), close.to_numpy())
