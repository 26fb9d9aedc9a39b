"""The reports read on a phone: each is rendered in a 420 px frame by a headless Chromium,
and every table with a header shows its first column and its key column (``th.key``: the
figure a reader looks for first) inside its own box without scrolling, and the page itself
never scrolls sideways."""

import json
import re
import shutil
import subprocess
import warnings

import numpy as np
import pandas as pd
import pytest

import orvane
from orvane import datasets

pytest.importorskip("matplotlib")
BROWSER = next((shutil.which(n) for n in ("chromium", "chromium-browser", "google-chrome")
                if shutil.which(n)), None)
pytestmark = pytest.mark.skipif(BROWSER is None,
                                reason="no headless Chromium (.ci/run installs Debian's)")

PHONE = 420
HARNESS = """<!DOCTYPE html><html><body style="margin:0">
<iframe id="f" src="PAGE" style="width:WIDTHpx;height:2000px;border:0"></iframe>
<pre id="out">pending</pre>
<script>
document.getElementById('f').onload = function () {
  var doc = this.contentDocument, out = [];
  doc.querySelectorAll('table').forEach(function (t) {
    var heads = t.querySelectorAll('thead th');
    if (!heads.length) return;
    var box = (t.closest('.scroll') || t.parentElement).getBoundingClientRect();
    var first = heads[0].getBoundingClientRect(), key = t.querySelector('thead th.key');
    var k = key ? key.getBoundingClientRect() : null;
    out.push({section: (t.closest('section') || {}).id || '', first: [first.left, first.right],
              key: k ? [k.left, k.right] : null, box: [box.left, box.right],
              name: key ? key.textContent : ''});
  });
  document.getElementById('out').textContent = JSON.stringify(
    {page: doc.documentElement.scrollWidth, view: doc.documentElement.clientWidth, tables: out});
};
</script></body></html>"""


def layout(page, tmp_path):
    harness = tmp_path / "harness.html"
    harness.write_text(HARNESS.replace("PAGE", page.as_uri()).replace("WIDTH", str(PHONE)),
                       encoding="utf-8")
    done = subprocess.run([BROWSER, "--headless", "--no-sandbox", "--disable-gpu",
                           "--allow-file-access-from-files", "--virtual-time-budget=20000",
                           "--dump-dom", harness.as_uri()],
                          capture_output=True, text=True, timeout=120)
    found = re.search(r'<pre id="out">(.*?)</pre>', done.stdout, re.S)
    assert found and found.group(1) != "pending", done.stderr[-2000:]
    return json.loads(found.group(1).replace("&amp;", "&").replace("&lt;", "<"))


def quiet(call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return call()


@pytest.fixture(scope="module")
def market():
    return datasets.synthetic_market(stocks=30, years=3, seed=6, trend=0.3)


def backtest_report(market, path):
    """A financed, levered run with every section: execution costs and a capacity curve."""
    weights = datasets.momentum(market, top=5, bottom=5, lookback=42) * 2
    close = market["close"]
    dividends = pd.DataFrame(np.where(np.arange(len(close))[:, None] % 63 == 5,
                                      0.01 * close.to_numpy(), 0.0),
                             index=close.index, columns=close.columns)
    options = dict(max_gross=2.0, cash_rate=0.03, borrow_fee=0.01, dividends=dividends,
                   stop_loss=0.1, impact=0.7, max_participation=0.1, spread=0.001)
    result = quiet(lambda: orvane.backtest(weights, market, capital=1e7, **options))
    curve = quiet(lambda: orvane.capacity(weights, market, [1e6, 1e8, 1e10], workers=1,
                                          **options))
    return result.report(path, capacity=curve)


def sweep_report(market, path):
    grid = {"stop_loss": [None, 0.05, 0.1], "lookback": [21, 63], "top": [3, 5],
            "rebalance": "M", "max_gross": 1.0}
    swept = quiet(lambda: orvane.sweep(market, grid, strategy=datasets.momentum,
                                       keep=("stats", "equity"), workers=1, progress=False))
    return swept.report(path)


def walk_forward_report(market, path):
    grid = {"lookback": [21, 63], "top": [3, 5], "rebalance": "M"}
    wf = quiet(lambda: orvane.walk_forward(market, grid, strategy=datasets.momentum, train=189,
                                           test=63, workers=1, progress=False,
                                           keep=("stats", "equity")))
    return wf.report(path)


def reconciliation_report(market, path):
    """A book that skipped some of the run's fills and paid more for the rest."""
    weights = datasets.momentum(market, top=5, bottom=5, lookback=42)
    result = quiet(lambda: orvane.backtest(weights, market, capital=1e6))
    f = result.fills.iloc[::3]
    live = pd.DataFrame({"date": f.date, "ticker": f.ticker, "shares": f.shares,
                         "price": f.price * (1 + 5e-4 * np.sign(f.shares)), "fee": 5.0})
    return quiet(lambda: orvane.reconcile(result, live)).report(path)


@pytest.mark.parametrize("write, keyed", [
    (backtest_report, {"drawdowns", "monthly", "trades", "actions", "capacity"}),
    (sweep_report, {"runs"}),
    (walk_forward_report, {"choices", "deflated"}),
    (reconciliation_report, {"causes", "rebalances", "names", "fills"}),
], ids=["backtest", "sweep", "walk-forward", "reconciliation"])
def test_every_table_shows_its_first_and_key_column_in_a_phone_frame(market, tmp_path, write,
                                                                      keyed):
    seen = layout(write(market, tmp_path / "report.html"), tmp_path)
    assert seen["page"] <= seen["view"], "the page scrolls sideways on a phone"
    tables = seen["tables"]
    assert {t["section"] for t in tables if t["key"]} >= keyed
    for t in tables:
        left, right = t["box"]
        for column in ("first", "key"):
            if t[column] is not None:
                a, b = t[column]
                assert left - 0.5 <= a and b <= right + 0.5, (t["section"], column, t)
