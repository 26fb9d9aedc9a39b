"""Every Python block of the documentation site runs as written.

Each page's blocks run in order, in one namespace, in a fresh folder holding the files
that the block marked ``<!-- prepares: ... -->`` (on Getting started) writes, since the
pages say their examples read those. A block opts out only with a ``<!-- no-run: reason
-->`` line just above it; a page whose examples need an extra says so with ``<!-- needs:
module -->`` and is skipped where that extra is not installed.
"""

import os
import pathlib
import re
import runpy
import types
import warnings

import pytest

DOCS = pathlib.Path(__file__).resolve().parents[1] / "docs"
BLOCK = re.compile(r"^(?:<!-- (no-run|prepares): ?(.*?) -->\n)?```python\n(.*?)^```", re.M | re.S)
NEEDS = re.compile(r"^<!-- needs: ([\w.]+) -->$", re.M)
# Opting out is for what cannot run here (a cluster, a network); keep it rare.
MOST_OPTED_OUT = 2


class Block:
    def __init__(self, page, match, text):
        self.page = page
        self.marker, self.reason, self.code = match.group(1), match.group(2), match.group(3)
        self.line = text.count("\n", 0, match.start(3)) + 1

    def run(self, namespace):
        # Padded so that a traceback names the page's own line.
        code = compile("\n" * (self.line - 1) + self.code, str(self.page.relative_to(DOCS)), "exec")
        exec(code, namespace)


def blocks(page):
    text = page.read_text(encoding="utf-8")
    return [Block(page, m, text) for m in BLOCK.finditer(text)]


PAGES = sorted(DOCS.rglob("*.md")) if DOCS.is_dir() else []
ALL = [b for page in PAGES for b in blocks(page)]
pytestmark = pytest.mark.skipif(not PAGES, reason="no docs/ folder next to the tests")


def run_page(page, folder):
    for module in NEEDS.findall(page.read_text(encoding="utf-8")):
        pytest.importorskip(module, reason=f"{page.name} needs {module}")
    namespace = {"__name__": "__main__"}
    with warnings.catch_warnings():
        # Adjustments the examples' data cause are listed as warnings; the examples
        # print them where the page is about them.
        warnings.simplefilter("ignore", UserWarning)
        for block in blocks(page):
            if block.marker != "no-run":
                block.run(namespace)
    return namespace


@pytest.fixture
def in_folder(tmp_path):
    old = os.getcwd()
    os.chdir(tmp_path)
    yield tmp_path
    os.chdir(old)


@pytest.mark.parametrize("page", [p for p in PAGES if any(b.marker != "no-run" for b in blocks(p))],
                         ids=lambda p: str(p.relative_to(DOCS)))
def test_page_examples_run(page, in_folder):
    for block in ALL:
        if block.marker == "prepares" and block.page != page:
            block.run({"__name__": "__main__"})
    run_page(page, in_folder)


def test_prepared_files_are_what_the_pages_read(in_folder):
    prepares = [b for b in ALL if b.marker == "prepares"]
    assert len(prepares) == 1, "one block writes the files every page reads"
    prepares[0].run({"__name__": "__main__"})
    for name in prepares[0].reason.split():
        assert (in_folder / name).exists(), f"the prepares block says it writes {name}"
    assert len(list((in_folder / "data").glob("*.csv"))) > 10


def test_blocks_are_found_and_opt_outs_stay_rare():
    runnable = [b for b in ALL if b.marker != "no-run"]
    assert len(runnable) >= 20, [str(b.page) for b in ALL]
    opted_out = [f"{b.page.name}:{b.line} ({b.reason})" for b in ALL if b.marker == "no-run"]
    assert len(opted_out) <= MOST_OPTED_OUT, opted_out
    assert all(b.reason.strip() for b in ALL if b.marker == "no-run"), "an opt-out says why"


def test_python_fences_are_all_collected():
    # A block the pattern misses (an indented fence, a ```py) would silently never run.
    fences = sum(len(re.findall(r"^\s*```(?:python|py)\b", p.read_text(encoding="utf-8"), re.M))
                 for p in PAGES)
    assert fences == len(ALL)


def load_hooks():
    return types.SimpleNamespace(**runpy.run_path(str(DOCS / "hooks.py")))


def test_generated_statistics_table_covers_every_statistic():
    from orvane.stats import STATISTICS

    table = load_hooks().statistics()
    rows = [line for line in table.splitlines() if line.startswith("| ") and "<br>`" in line]
    keys = [re.search(r"<br>`(\w+)`", row).group(1) for row in rows]
    assert sorted(keys) == sorted(STATISTICS), "one row per statistic (grouped as the reports group them)"
    for row in rows:
        formula = re.split(r"(?<!\\)\|", row)[-2].strip()
        assert len(formula) > 10, row
        # Outside code spans a formula's * and _ are escaped: m2 ** 1.5 must not turn bold.
        assert not re.search(r"(?<!\\)[*_]", re.sub(r"`[^`]*`", "", formula)), row


def test_generated_option_list_has_every_backtest_option():
    from orvane._params import OPTIONS

    text = load_hooks().cli_help()
    for option in OPTIONS:
        assert f"`{option.flag}`" in text, option.flag


def test_pages_ask_only_for_known_generated_parts():
    hooks = load_hooks()
    asked = [m.group(1) for p in PAGES for m in hooks.MARKER.finditer(p.read_text(encoding="utf-8"))]
    assert sorted(asked) == sorted(hooks.WRITERS), asked
