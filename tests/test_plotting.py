"""Charts: what they draw, headless use, and the error without the plot extra."""

import os
import subprocess
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets, plotting
from orvane.stats import live_equity, max_drawdown


@pytest.fixture(scope="module")
def result():
    market = datasets.synthetic_market(stocks=24, years=2, seed=3)
    weights = datasets.momentum(market, top=4, bottom=4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.backtest(weights, market, stop_loss=0.08, window=10, window_step=2,
                               delistings=market.delistings)


def test_equity_figure_draws_the_live_curve_and_its_drawdown(result):
    pytest.importorskip("matplotlib")
    fig = plotting.plot_equity(result)
    top, bottom = fig.axes
    equity = live_equity(result)
    np.testing.assert_array_equal(top.lines[0].get_ydata(), equity.to_numpy())
    drawn = bottom.lines[0].get_ydata()
    assert drawn.min() == pytest.approx(max_drawdown(equity)[0])
    assert len(drawn) == len(equity) and drawn.max() == 0.0


def test_trades_figure_has_one_dot_per_trade_coloured_by_outcome(result):
    pytest.importorskip("matplotlib")
    fig = plotting.plot_trades(result)
    trades = result.trades
    assert len(fig.axes) == 2
    won = (trades["return"] > 0).to_numpy()
    for ax, column in zip(fig.axes, ("mae", "gmfe")):
        dots = {line.get_color(): line for line in ax.get_lines() if line.get_marker() == "o"}
        # Every trade once: the winners in green, the others in red.
        for color, pick in ((plotting.WIN_COLOR, won), (plotting.LOSS_COLOR, ~won)):
            np.testing.assert_array_equal(dots[color].get_xdata(), trades[column].to_numpy()[pick])
            np.testing.assert_array_equal(dots[color].get_ydata(), trades["return"].to_numpy()[pick])


def test_trades_figure_without_trades():
    pytest.importorskip("matplotlib")
    empty = types.SimpleNamespace(trades=pd.DataFrame(columns=["return", "mae", "gmfe"]))
    fig = plotting.plot_trades(empty)
    assert [t.get_text() for ax in fig.axes for t in ax.texts] == ["no trades", "no trades"]


def test_charts_need_no_gui_backend(tmp_path):
    pytest.importorskip("matplotlib")
    # A display-less machine with an unusable interactive backend configured.
    code = (
        "import sys, orvane\n"
        "from orvane import datasets\n"
        "m = datasets.synthetic_market(stocks=10, years=1, seed=1)\n"
        "r = orvane.backtest(datasets.momentum(m, top=2, bottom=2), m)\n"
        f"r.plot().savefig({str(tmp_path / 'e.png')!r}); r.plot_trades().savefig({str(tmp_path / 't.png')!r})\n"
        "assert 'matplotlib.pyplot' not in sys.modules\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["MPLBACKEND"] = "TkAgg"
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for name in ("e.png", "t.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("call", ["plot", "plot_trades", "report"])
def test_without_matplotlib_the_error_names_the_extra(result, monkeypatch, tmp_path, call):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    args = (tmp_path / "r.html",) if call == "report" else ()
    with pytest.raises(ImportError, match=r"pip install 'orvane\[plot\]'"):
        getattr(result, call)(*args)
    assert not (tmp_path / "r.html").exists()


@pytest.mark.parametrize("chart", ["plot_equity", "plot_rolling", "plot_exposure",
                                   "plot_distribution", "plot_trades"])
def test_a_resized_chart_draws_as_one_built_at_that_size(result, chart):
    # The report's phone variant is the desktop figure resized: its margins must stay in
    # inches, or the narrow drawing loses its tick labels off the edge.
    pytest.importorskip("matplotlib")
    from orvane._html import png
    draw = getattr(plotting, chart)
    wide = draw(result, figsize=(9.0, 3.4))
    png(wide)
    assert png(plotting.resize(wide, (4.0, 3.8))) == png(draw(result, figsize=(4.0, 3.8)))


@pytest.mark.parametrize("ticks, labels", [
    ([0.03, 0.035, 0.04], ["3.0%", "3.5%", "4.0%"]),
    # A 0.25 % step needs two decimals: one would print 0.75 % as "0.8%".
    ([-0.0075, -0.005, -0.0025, 0.0, 0.0025], ["-0.75%", "-0.50%", "-0.25%", "0.00%", "0.25%"]),
    ([-0.2, -0.1, -0.0, 0.1], ["-20%", "-10%", "0%", "10%"]),
    ([0.0, 10.0, 20.0], ["0%", "1,000%", "2,000%"]),
    ([0.000012, 0.000014], ["0.0012%", "0.0014%"]),
])
def test_percent_ticks_write_every_value_exactly_and_alike(ticks, labels):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    ax = Figure().subplots()
    plotting.percent_axis(ax.yaxis)
    assert ax.yaxis.get_major_formatter().format_ticks(ticks) == labels


def test_a_narrow_drawing_gets_fewer_date_ticks_not_crowded_ones(result):
    pytest.importorskip("matplotlib")
    from matplotlib.dates import num2date
    fig = plotting.plot_equity(result, figsize=(9.0, 4.0))

    def ticks():
        fig.canvas.draw()
        low, high = fig.axes[-1].get_xlim()
        return [num2date(t).date() for t in fig.axes[-1].get_xticks() if low <= t <= high]

    wide = ticks()
    plotting.resize(fig, (4.0, 4.0))   # the report's phone drawing
    narrow = ticks()
    # Every other one (or fewer) of the same calendar steps.
    assert len(wide) > len(narrow) >= 2 and set(narrow) <= set(wide)


def test_the_trades_chart_title_is_optional(result):
    pytest.importorskip("matplotlib")
    assert plotting.plot_trades(result, title="Mine $5")._suptitle.get_text() == "Mine $5"
    assert plotting.plot_trades(result, title=None)._suptitle is None


@pytest.mark.parametrize("chart", ["plot_equity", "plot_rolling", "plot_exposure",
                                   "plot_distribution", "plot_trades"])
@pytest.mark.parametrize("width", [9.0, 4.0])
def test_x_tick_labels_never_touch_at_either_width(result, chart, width):
    # Labels in one row (panels side by side included) keep a gap of a point or more.
    pytest.importorskip("matplotlib")
    assert_x_labels_apart(plotting.resize(getattr(plotting, chart)(result, figsize=(9.0, 3.8)),
                                          (width, 3.8)))


def assert_x_labels_apart(fig):
    fig.canvas.draw()
    rows = {}
    for ax in fig.axes:
        for label in ax.get_xticklabels():
            box = label.get_window_extent()
            # Ticks the locator gave beyond the view limits are not drawn.
            inside = ax.bbox.x0 - 1 <= (box.x0 + box.x1) / 2 <= ax.bbox.x1 + 1
            if label.get_visible() and label.get_text() and inside:
                rows.setdefault(round(box.y0), []).append((box.x0, box.x1, label.get_text()))
    assert rows
    point = fig.dpi / 72
    for row in rows.values():
        row.sort()
        for (_, right, a), (left, _, b) in zip(row, row[1:]):
            assert left - right >= point, f"{a!r} and {b!r} touch"


@pytest.mark.parametrize("bars", [3, 40, 100, 300, 780, 2600])
@pytest.mark.parametrize("width", [3.0, 4.0])
def test_date_ticks_fit_a_phone_drawing_of_any_span_without_warnings(bars, width):
    # Few ticks for a span with no calendar step that few fit (three years in months)
    # makes matplotlib warn and crowd the axis.
    pytest.importorskip("matplotlib")
    days = pd.bdate_range("2014-01-01", periods=bars)
    close = pd.DataFrame({"A": np.linspace(10.0, 12.0, bars)}, index=days)
    result = orvane.backtest(pd.DataFrame({"A": [1.0]}, index=days[:1]), close, fee=0.0, tax=0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for chart in (plotting.plot_equity, plotting.plot_exposure):
            assert_x_labels_apart(plotting.resize(chart(result), (width, 3.0)))


@pytest.fixture(scope="module")
def curve():
    market = datasets.synthetic_market(stocks=24, years=2, seed=3, trend=0.4)
    weights = datasets.momentum(market, top=4, bottom=4, lookback=42)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return orvane.capacity(weights, market, [1e5, 1e6, 1e7, 1e8, 1e9], workers=1,
                               impact=1.0, max_participation=0.1, spread=0.002)


@pytest.mark.parametrize("width", [9.0, 4.0])
def test_the_capacity_chart_draws_at_a_phone_s_width_as_at_a_desk_s(curve, width):
    pytest.importorskip("matplotlib")
    from orvane._html import png
    wide = plotting.plot_capacity(curve, title=None, figsize=(9.0, 4.2))
    png(wide)
    resized = plotting.resize(wide, (width, 4.6))
    assert png(resized) == png(plotting.plot_capacity(curve, title=None, figsize=(width, 4.6)))
    assert_x_labels_apart(resized)
    top, bottom = resized.axes
    # The net CAGR at every capital, and a dashed line at each crossing the curve has.
    np.testing.assert_array_equal(top.lines[0].get_ydata(), curve.table["cagr"].to_numpy())
    crossings = [c for c in (curve.halves_at, curve.zero_at) if c is not None]
    assert crossings and [line.get_xdata()[0] for line in top.lines[2:]] == crossings
    # The costs stack up to the total paid.
    stacked = bottom.collections[-1].get_paths()[0].vertices[:, 1].max()
    assert stacked == pytest.approx(curve.table["total_costs"].max(), rel=1e-9)
