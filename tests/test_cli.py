"""`python -m orvane`: the demo, and `run` end to end on generated files, good and bad."""

import inspect
import os
import pathlib
import re
import subprocess
import sys
import warnings

import pandas as pd
import pytest

import orvane
from orvane import datasets
from orvane.cli import DEMO_MARKET, DEMO_SETTINGS, DEMO_STRATEGY, build_parser, main
from orvane.stats import format_summary

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def has(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The same small market and weights written wide and long, as CSV."""
    folder = tmp_path_factory.mktemp("cli")
    market = datasets.synthetic_market(stocks=16, years=2, seed=2)
    weights = datasets.momentum(market, top=3, bottom=3).rename_axis("date")
    market.close.rename_axis("date").to_csv(folder / "close.csv")
    weights.to_csv(folder / "weights.csv")
    long_weights = weights.stack().rename("weight").rename_axis(["date", "ticker"]).reset_index()
    long_weights[long_weights["weight"] != 0].to_csv(folder / "weights_long.csv", index=False)
    ohlc = pd.concat({f: market[f].stack() for f in ("open", "high", "low", "close")}, axis=1)
    ohlc.rename_axis(["date", "ticker"]).reset_index().to_csv(folder / "prices_long.csv", index=False)
    ohlc.rename_axis(["Date", "Symbol"]).rename(columns=str.title).reset_index().to_csv(
        folder / "prices_symbol.csv", index=False)
    (folder / "wsplit").mkdir()   # the weights as two files: wide, then long
    half = len(weights) // 2
    weights.iloc[:half].to_csv(folder / "wsplit" / "first.csv")
    late = long_weights[long_weights["date"] >= weights.index[half]]
    late[late["weight"] != 0].to_csv(folder / "wsplit" / "second.csv", index=False)
    (folder / "px").mkdir()
    for ticker, bars in ohlc.groupby(level=1):
        bars.droplevel(1).rename_axis("Date").to_csv(folder / "px" / f"{ticker}.csv")
    # Signals on the first business day of a month: every day-of-month is at most 12.
    early = weights.set_axis(weights.index + pd.offsets.BDay(1)).rename_axis("date")
    early.to_csv(folder / "early.csv")
    early.set_axis(early.index.strftime("%d/%m/%Y")).to_csv(folder / "early_dmy.csv")
    early.set_axis(early.index.strftime("%Y%m%d").astype(int)).to_csv(folder / "early_int.csv")
    return folder, market, weights


def run(folder, *args):
    return main(["run", "--prices", str(folder / args[0]), "--weights", str(folder / args[1]),
                 *args[2:]])


def summary(text):
    return text[text.index("Summary"):text.index("\nWrote")]


def test_run_on_wide_files_matches_the_library(files, tmp_path, capsys):
    folder, market, weights = files
    assert run(folder, "close.csv", "weights.csv", "--rebalance", "M", "--stop-loss", "0.1",
               "--out", str(tmp_path), "--no-report") == 0
    out = capsys.readouterr().out
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        direct = orvane.backtest(weights, market.close, rebalance="M", stop_loss=0.1)
    for label, text in format_summary(direct.stats()).items():
        assert re.search(rf"{re.escape(label)}\s+{re.escape(text)}(?!\S)", out), label
    assert "Next actions" in out
    names = {p.stem for p in tmp_path.iterdir()}
    assert {"equity", "trades", "actions", "stats"} <= names


@pytest.mark.parametrize("prices, weights, options", [
    ("prices_long.csv", "weights_long.csv", ["--intrabar-exits", "--stop-loss", "0.05"]),
    ("close.csv", "weights_long.csv", ["--window", "10", "--window-step", "5", "--delistings", "infer"]),
    ("prices_long.csv", "weights.csv", ["--trade-at", "open", "--no-skip-stopped-until-rebalance"]),
])
def test_run_on_long_and_mixed_layouts_writes_files_and_report(files, tmp_path, capsys, prices, weights,
                                                                options):
    folder, _, _ = files
    report = [] if has("matplotlib") else ["--no-report"]
    assert run(folder, prices, weights, "--out", str(tmp_path), *options, *report) == 0
    assert "Summary" in capsys.readouterr().out
    if report == []:
        assert (tmp_path / "orvane-report.html").stat().st_size > 10_000


@pytest.mark.skipif(not has("matplotlib"), reason="the report needs matplotlib")
@pytest.mark.parametrize("name, shown", [(b"w\xff.csv", "w\ufffd.csv"), ("wé.csv".encode(), "wé.csv")],
                         ids=["not UTF-8", "UTF-8"])
def test_a_weights_file_name_titles_the_report_as_it_can(files, tmp_path, capsys, name, shown):
    folder, _, _ = files
    weights = os.path.join(os.fsencode(tmp_path), name)
    with open(folder / "weights.csv", "rb") as source, open(weights, "wb") as copy:
        copy.write(source.read())
    code = main(["run", "--prices", str(folder / "close.csv"), "--weights", os.fsdecode(weights),
                 "--out", str(tmp_path / "out")])
    assert code == 0, capsys.readouterr().err
    page = (tmp_path / "out" / "orvane-report.html").read_text(encoding="utf-8")
    assert f"<h1>orvane run: {shown}</h1>" in page


@pytest.mark.parametrize("prices, weights, options, same_as, note", [
    ("px", "weights.csv", [], ("close.csv", "weights.csv"), None),
    ("px/S*.csv", "weights.csv", [], ("close.csv", "weights.csv"), None),
    ("close.csv", "early_dmy.csv", ["--dayfirst"], ("close.csv", "early.csv"), None),
    ("close.csv", "early_int.csv", [], ("close.csv", "early.csv"), None),
    ("close.csv", "weights.csv", ["--open", "close.csv", "--low", "close.csv"], ("close.csv", "weights.csv"),
     r"^orvane: warning: --open \S+close\.csv, --low \S+close\.csv not used"),
    ("close.csv", "wsplit", [], ("close.csv", "weights.csv"), None),
    ("prices_symbol.csv", "weights.csv", ["--trade-at", "open"], ("prices_long.csv", "weights.csv", "--trade-at", "open"),
     None),
], ids=["folder", "glob", "dayfirst", "yyyymmdd", "unused open and low", "weights folder", "symbol column"])
def test_other_spellings_of_the_same_run(files, tmp_path, capsys, prices, weights, options, same_as, note):
    folder, _, _ = files
    options = [str(folder / o) if o.endswith(".csv") else o for o in options]
    assert run(folder, *same_as, "--out", str(tmp_path / "a"), "--no-report") == 0
    want = summary(capsys.readouterr().out)
    assert run(folder, prices, weights, *options, "--out", str(tmp_path / "b"), "--no-report") == 0
    captured = capsys.readouterr()
    assert summary(captured.out) == want
    assert (re.search(note, captured.err, re.M) is not None) if note else "not used" not in captured.err


@pytest.mark.parametrize("buffered", [True, False], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize("command", [["run", "--prices", "px", "--weights", "weights.csv"], []],
                         ids=["run", "demo"])
def test_a_closed_pipe_ends_quietly_after_the_files_are_written(files, tmp_path, command, buffered):
    folder, _, _ = files
    demo = [] if command else ["--stocks", "20", "--years", "2"]
    # Buffered, the pipe breaks on the last flush; unbuffered, on the first print.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env.update({} if buffered else {"PYTHONUNBUFFERED": "1"})
    proc = subprocess.Popen([sys.executable, "-m", "orvane", *command, *demo, "--out", str(tmp_path)],
                            cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # the reader is gone before the first line is printed
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=300) in (0, 141), err
    assert "Traceback" not in err and "BrokenPipeError" not in err, err
    report = {"orvane-report"} if has("matplotlib") else set()
    assert ({"equity", "trades", "actions", "stats"} if command else report) <= {p.stem for p in tmp_path.iterdir()}


@pytest.mark.skipif(not has("pyarrow"), reason="Parquet needs the parquet extra (pyarrow)")
def test_run_reads_parquet(files, tmp_path):
    folder, _, weights = files
    weights.to_parquet(tmp_path / "w.parquet")
    pd.read_csv(folder / "close.csv").to_parquet(tmp_path / "p.parquet")
    assert run(tmp_path, "p.parquet", "w.parquet", "--out", str(tmp_path / "o"), "--no-report") == 0


@pytest.mark.parametrize("edit, message", [
    (lambda t: ["date,ticker,w", "2011-01-03,S0001,0.1"], r"needs columns date, ticker, weight; missing: weight"),
    (lambda t: [t[0], "2011-13-45" + t[1][10:], *t[2:]], r"bad\.csv line 2: date '2011-13-45' is not a date"),
    (lambda t: [t[0], "03/04/2011" + t[1][10:], "04/05/2011" + t[2][10:]],
     r"bad\.csv line 2: date '03/04/2011' reads as 2011-04-03 day-first and 2011-03-04 month-first, "
     r".*; pass --dayfirst or --monthfirst, or write dates as YYYY-MM-DD$"),
    (lambda t: [t[0], *[f"{pd.Timestamp(x[:10]).value // 10**9}{x[10:]}" for x in t[1:]]],
     r"bad\.csv line 2: date 1280448000 is an integer, not a date; write dates as YYYY-MM-DD or yyyymmdd"),
    (lambda t: [t[0].replace("S0003", "S0002"), *t[1:]], r"bad\.csv has repeated column names \[S0002\]"),
    (lambda t: [t[0].replace("S0003", "s0003"), *t[1:]], r"s0003 -> S0003.*\(--weights .*bad\.csv\)"),
    (lambda t: [t[0], t[1], t[1], *t[2:]], r"duplicate dates"),
    (lambda t: [t[0], t[1].replace(",0.0", ",abc", 1), *t[2:]], r"bad\.csv: S\d+ on \d{4}-\d\d-\d\d: 'abc' is not a number \(line 2\)"),
    (lambda t: [], r"cannot read it"),
], ids=["missing column", "unparseable date", "ambiguous dates", "integer dates", "repeated header",
        "unknown ticker", "duplicate date", "not a number", "empty"])
def test_bad_files_exit_2_with_one_line(files, tmp_path, capsys, edit, message):
    folder, _, _ = files
    lines = edit((folder / "weights.csv").read_text().splitlines())
    (tmp_path / "bad.csv").write_text("\n".join(lines) + "\n" if lines else "")
    code = main(["run", "--prices", str(folder / "close.csv"), "--weights", str(tmp_path / "bad.csv"),
                 "--out", str(tmp_path / "out")])
    captured = capsys.readouterr()
    assert code == 2 and captured.out == ""
    err = captured.err.splitlines()
    assert len(err) == 1 and err[0].startswith("orvane: error: ")
    assert re.search(message, err[0]), err[0]
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("options, message", [
    (["--stop-loss", "10"], r"0\.10 means 10 %"),
    (["--delistings", "nowhere.csv"], r"delistings file nowhere\.csv does not exist"),
    (["--intrabar-exits"], r"needs open, high and low"),
    (["--open", "close.csv", "--rebalance", "fortnightly"], r"rebalance must be"),
    (["--prices", "px/Z*.csv"], r"--prices: no file matches px/Z\*\.csv"),
    (["--prices", "px", "--intrabar-exits", "--high", "close.csv"], r"drop --high: px carries its own open, high and low columns"),
])
def test_bad_options_exit_2_with_one_line(files, tmp_path, capsys, options, message, monkeypatch):
    folder, _, _ = files
    monkeypatch.chdir(folder)
    code = main(["run", "--prices", "close.csv", "--weights", "weights.csv", "--out", str(tmp_path),
                 "--no-report", *options])
    err = capsys.readouterr().err
    assert code == 2 and len(err.splitlines()) == 1 and re.search(message, err), err


def test_every_backtest_parameter_has_an_option_with_its_default():
    params = {n: p for n, p in inspect.signature(orvane.backtest).parameters.items()
              if p.kind is inspect.Parameter.KEYWORD_ONLY}
    args = build_parser().parse_args(["run", "--prices", "p", "--weights", "w"])
    for name, param in params.items():
        assert getattr(args, name) == param.default, name
    flipped = build_parser().parse_args(
        ["run", "--prices", "p", "--weights", "w", "--stop-loss", "0.1", "--intrabar-exits",
         "--no-skip-stopped-until-rebalance", "--window", "20", "--rebalance", "W"])
    assert (flipped.stop_loss, flipped.intrabar_exits, flipped.skip_stopped_until_rebalance,
            flipped.window, flipped.rebalance) == (0.1, True, False, 20, "W")
    help_text = build_parser()._subparsers._group_actions[0].choices["run"].format_help()
    for name in params:
        assert "--" + name.replace("_", "-") in help_text


def test_demo_runs_as_a_module_prints_its_run_and_writes_its_report(tmp_path):
    done = subprocess.run([sys.executable, "-m", "orvane", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    for heading in ("Summary", "Last 10 of", "Next actions"):
        assert heading in done.stdout
    # The printed figures are those of the same run made in-process.
    market = datasets.synthetic_market(**DEMO_MARKET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        same = orvane.backtest(datasets.momentum(market, **DEMO_STRATEGY), market,
                               delistings=market.delistings, **DEMO_SETTINGS)
    text = format_summary(same.stats())
    for label in ("Total return", "Sharpe ratio", "Max drawdown", "Trades"):
        assert re.search(rf"{label}\s+{re.escape(text[label])}(?!\S)", done.stdout), label
    assert f"of {len(same.trades):,} trades" in done.stdout
    if has("matplotlib"):
        report = tmp_path / "orvane-report.html"
        assert f"Report written to {report.resolve()}" in done.stdout
        assert report.stat().st_size > 50_000
    else:
        assert "pip install 'orvane[plot]'" in done.stderr


@pytest.mark.parametrize("options", [["--stocks", "1"], ["--years", "0"]])
def test_demo_rejects_a_market_too_small(capsys, options):
    assert main(options) == 2
    assert options[0] in capsys.readouterr().err


@pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")
def test_readme_example_runs_on_csv_files(files, tmp_path, monkeypatch):
    if not has("matplotlib"):
        pytest.skip("the README example writes a report: needs the plot extra")
    folder, market, _ = files
    code = re.search(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S).group(1)
    (tmp_path / "data").mkdir()
    for ticker in market.close.columns:   # one file per ticker, as data usually comes
        pd.DataFrame({"Date": market.close.index.strftime("%Y-%m-%d"),
                      **{f.title(): market[f][ticker].to_numpy() for f in ("open", "high", "low", "close")},
                      "Adj Close": market.close[ticker].to_numpy() * 0.98,
                      "Volume": 1000}).to_csv(tmp_path / "data" / f"{ticker}.csv", index=False)
    (tmp_path / "weights.csv").write_text((folder / "weights.csv").read_text())
    monkeypatch.chdir(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        exec(compile(code, "README.md", "exec"), {})
    assert (tmp_path / "report.html").exists()


@pytest.mark.parametrize("out, message", [
    ("a_file", r"--out .*a_file is not a folder"),
    ("/dev/null", r"--out /dev/null is not a folder"),
    ("a_file/sub", r"--out: cannot write .*a_file/sub: Not a directory"),
])
def test_unusable_output_folders_exit_2_with_one_line(files, tmp_path, capsys, out, message):
    folder, _, _ = files
    (tmp_path / "a_file").write_text("")
    target = out if out.startswith("/") else str(tmp_path / out)
    code = main(["run", "--prices", str(folder / "close.csv"), "--weights",
                 str(folder / "weights.csv"), "--out", target, "--no-report"])
    err = capsys.readouterr().err
    assert code == 2 and len(err.splitlines()) == 1 and re.search(message, err), err
