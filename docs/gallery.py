"""Write the gallery's screenshots: the demo's backtest report, a small demo sweep's
report and the reconciliation of the demo book's last year with a live book, rendered by headless Chromium at desktop (1,400 px) and phone (420 px) width,
cropped to their first screens, into docs/gallery/.

    python docs/gallery.py            # needs the plot extra and a chromium on PATH

CI does not run this: the PNGs are committed, and rewritten by hand when the reports change.
"""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys
import tempfile
import warnings

from PIL import Image, ImageChops

import numpy as np
import pandas as pd

import orvane
from orvane.cli import DEMO_MARKET, DEMO_SETTINGS, DEMO_STRATEGY

OUT = pathlib.Path(__file__).resolve().parent / "gallery"
WIDTHS = {"desktop": 1400, "phone": 420}
# Screenshot height rendered, and kept: the first screens tell what a report is like.
RENDERED, KEPT = 6000, {"desktop": 1700, "phone": 2200}


def reports(folder: pathlib.Path) -> dict:
    market = orvane.datasets.synthetic_market(**DEMO_MARKET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(orvane.datasets.momentum(market, **DEMO_STRATEGY), market,
                                 delistings=market.delistings, **DEMO_SETTINGS)
        backtest = result.report(folder / "report.html",
                                 title="orvane demo: synthetic market, monthly momentum")
        small = orvane.datasets.synthetic_market(stocks=100, years=6, seed=0)
        sweep = orvane.sweep(small, {"lookback": [63, 126, 252], "stop_loss": [None, 0.05, 0.1]},
                             strategy=orvane.datasets.momentum, keep=("stats", "equity"),
                             workers=2, progress=False)
        sweep_page = sweep.report(folder / "sweep.html", metric="sharpe", x="lookback",
                                  y="stop_loss", title="orvane demo sweep: look-back x stop-loss")
        live = live_book(market).report(folder / "reconcile.html",
                                        title="orvane demo: the last year, live against backtest")
    return {"report": backtest, "sweep-report": sweep_page, "reconciliation": live}


def live_book(market: orvane.datasets.Market) -> orvane.Reconciliation:
    """The demo book run for its last year at 10 million, against a book that traded it
    2 bp + |N(0, 5 bp)| worse, never bought the run's first purchase, and filled its
    fourth rebalance a day late."""
    weights = orvane.datasets.momentum(market, **DEMO_STRATEGY)
    capital = 10_000_000
    result = orvane.backtest(weights.loc[weights.index[-1] - pd.DateOffset(years=1):], market,
                             capital=capital, delistings=market.delistings, **DEMO_SETTINGS)
    ran = result.fills
    slip = 2e-4 + np.abs(np.random.default_rng(7).normal(0, 5e-4, len(ran)))
    side = np.sign(ran["shares"].to_numpy())
    fills = pd.DataFrame({"date": ran["date"], "ticker": ran["ticker"], "shares": ran["shares"],
                          "price": ran["price"] * (1 + slip * side),
                          "fee": ran["fee"] * capital, "tax": ran["tax"] * capital})
    kept = (ran["ticker"] != ran.loc[ran["shares"] > 0, "ticker"].iloc[0]).to_numpy()
    close = market["close"]
    late = result.rebalance_dates[3]
    moved = kept & (ran["date"] == late).to_numpy()
    after = close.index[close.index.get_loc(late) + 1]
    fills.loc[moved, "date"] = after
    fills.loc[moved, "price"] = close.loc[after, ran["ticker"][moved]].to_numpy() * (1 + slip * side)[moved]
    fills = fills[kept & np.isfinite(fills["price"].to_numpy())]
    found = orvane.reconcile(result, fills)
    print(found.text())
    return found


def shoot(page: pathlib.Path, width: int, height: int, target: pathlib.Path) -> None:
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        sys.exit("no chromium on PATH")
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    f"--window-size={width},{RENDERED}", f"--screenshot={target}",
                    page.resolve().as_uri()], check=True, capture_output=True, timeout=120)
    with Image.open(target) as image:
        image = image.convert("RGB")
    # Down to the page's last content (the rendered window is taller than a short
    # page), and no further than the kept height.
    background = Image.new("RGB", image.size, image.getpixel((0, image.height - 1)))
    box = ImageChops.difference(image, background).getbbox()
    bottom = box[3] + 24 if box else image.height
    image = image.crop((0, 0, image.width, min(height, bottom, image.height)))
    # A palette of 256 colours keeps the files small; the reports are flat colours.
    image.quantize(colors=256, method=Image.Quantize.MEDIANCUT).save(target, optimize=True)


def main() -> None:
    OUT.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for name, page in reports(pathlib.Path(tmp)).items():
            for label, width in WIDTHS.items():
                target = OUT / f"{name}-{label}.png"
                shoot(pathlib.Path(page), width, KEPT[label], target)
                print(f"{target.relative_to(OUT.parent.parent)}: {target.stat().st_size // 1024} KB")


if __name__ == "__main__":
    main()
