"""inspect.signature and help() read every Python-callable function of the core
from its docstring, with the documented parameters and defaults, and the type
stubs name the same parameters with the same defaults."""
import ast
import inspect
import math
import pathlib
import pydoc

import pytest

from orvane.core import tidemark, toolkin, tradeloom

REQUIRED = inspect.Parameter.empty
BACKTEST = [(name, REQUIRED) for name in (
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample")] + [
    ("fee_ratio", 0.001425), ("tax_ratio", 0.003), ("stop_loss", 1.0), ("take_profit", math.inf),
    ("trail_stop", math.inf), ("trail_stop_activation", 0.0), ("touched_exit", False),
    ("position_limit", 1.0), ("retain_cost_when_rebalance", False), ("stop_trading_next_period", True),
    ("tidemark_window", 0), ("tidemark_window_step", 1), ("periodically_rebalance", True),
    ("delisting_bars", None)]

DOCUMENTED = {
    (tradeloom, "backtest_"): BACKTEST,
    (tradeloom, "get_stock_operations"): [],
    (tradeloom, "normalize_weight"): [("weights", REQUIRED), ("position_limit", REQUIRED)],
    (tradeloom, "get_trade_stocks"): [("pos_columns", REQUIRED), ("price_index", REQUIRED),
                                      ("touched_exit", REQUIRED)],
    (tradeloom, "ioft"): [("v", REQUIRED)],
    (tradeloom, "record_ledger"): [("on", REQUIRED)],
    (tradeloom, "get_ledger"): [],
    (tradeloom, "get_trade_arrays"): [],
    (tradeloom, "set_financing"): [("cash", None), ("rebate", None), ("borrow", None),
                                   ("dividends", None)],
    (tradeloom, "set_book_controls"): [("max_gross", 1.0), ("band", 0.0), ("min_trade", 0.0),
                                       ("lot", 0.0)],
    (tradeloom, "record_arrays"): [("on", REQUIRED)],
    (tradeloom, "run_"): [("switches", REQUIRED), ("args", REQUIRED), ("kwargs", REQUIRED)],
    (toolkin, "str_to_bytearray"): [("text", REQUIRED)],
    (toolkin, "positive_finite"): [("values", REQUIRED)],
    (toolkin, "bars_hold"): [(name, REQUIRED) for name in ("close", "open", "high", "low",
                                                            "tolerance")],
    (toolkin, "has_jumps"): [("close", REQUIRED), ("down", REQUIRED), ("up", REQUIRED)],
    (toolkin, "scan_prices"): [(name, REQUIRED) for name in ("close", "open", "high", "low", "tolerance",
                                                             "down", "up")],
    (toolkin, "record_stats"): [(name, REQUIRED) for name in ("money", "ret", "bars_held", "mae",
                                                              "gmfe")],
    (toolkin, "group_records"): [(name, REQUIRED) for name in ("key", "entry", "short", "exit")],
    (toolkin, "holding_sums"): [(name, REQUIRED) for name in ("key", "entry", "short", "exit", "ret",
                                                              "pnl", "weight")],
    (toolkin, "bars_with_open"): [("start", REQUIRED), ("stop", REQUIRED), ("bars", REQUIRED)],
    (toolkin, "same_bytes"): [("a", REQUIRED), ("b", REQUIRED)],
}


# Every other parameter may be given by position or keyword; run_ passes the rest on.
KINDS = {"run_": [inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.VAR_POSITIONAL,
                  inspect.Parameter.VAR_KEYWORD]}


def callables(module):
    return sorted(name for name, obj in vars(module).items()
                  if inspect.isbuiltin(obj) and obj.__module__ == module.__name__)


def test_every_function_is_listed():
    assert {(m, n) for m in (tradeloom, toolkin, tidemark) for n in callables(m)} == set(DOCUMENTED)


@pytest.mark.parametrize("module, name", list(DOCUMENTED), ids=[n for _, n in DOCUMENTED])
def test_signature_has_the_documented_parameters(module, name):
    fn = getattr(module, name)
    params = list(inspect.signature(fn).parameters.values())
    assert [(p.name, p.default) for p in params] == DOCUMENTED[module, name]
    assert [p.kind for p in params] == KINDS.get(
        name, [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(params))
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert f"{name}{inspect.signature(fn)}" in text
    assert len(inspect.getdoc(fn).splitlines()) >= 2  # a description, not the signature alone


def stub_functions(module):
    path = pathlib.Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module", [tradeloom, toolkin, tidemark], ids=lambda m: m.__name__)
def test_stubs_match_the_signatures(module):
    stubs = stub_functions(module)
    assert sorted(stubs) == callables(module)
    for name, node in stubs.items():
        params = list(inspect.signature(getattr(module, name)).parameters.values())
        args = node.args.posonlyargs + node.args.args
        rest = [a.arg for a in (node.args.vararg, node.args.kwarg) if a is not None]
        assert [a.arg for a in args] + rest == [p.name for p in params]
        params = params[:len(args)]
        defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
        for p, d in zip(params, defaults):
            assert (d is None) == (p.default is REQUIRED), (name, p.name)
            if d is not None and not (isinstance(d, ast.Constant) and d.value is Ellipsis):
                assert ast.literal_eval(d) == p.default, (name, p.name)
