"""The option table drives backtest, the command line and the report; the action codes give
one "to act on" count everywhere."""

import inspect
import re
import warnings

import pytest

import orvane
from orvane import _params, _records, datasets
from orvane.cli import build_parser, print_actions

NONE_MEANS = [o for o in _params.OPTIONS if o.none]


def run_help():
    return build_parser()._subparsers._group_actions[0].choices["run"].format_help()


def test_backtest_signature_and_docstring_follow_the_table():
    params = list(inspect.signature(orvane.backtest).parameters.values())[2:]
    # Then ``register``: where the run is recorded, not how it runs (no option of the table).
    assert params[-1].name == "register" and params[-1].default is None
    assert [(p.name, p.default) for p in params[:-1]] == [(o.name, o.default)
                                                           for o in _params.OPTIONS]
    doc = " ".join(orvane.backtest.__doc__.split())
    for option in _params.OPTIONS:
        assert f"{option.name} : {option.kind}" in doc
        if option.none:
            assert f"None: {option.none}." in doc


@pytest.mark.parametrize("option", NONE_MEANS, ids=lambda o: o.name)
def test_what_none_means_reads_the_same_in_the_cli_and_the_report(option):
    help_text = " ".join(run_help().split())
    assert f"{option.flag} {option.metavar}" in help_text
    assert f"(default: {option.none})" in help_text
    assert _params.setting_text(option.name, None) == option.none


def test_command_line_values_reach_backtest_checked_by_the_table():
    args = build_parser().parse_args(["run", "--prices", "p", "--weights", "w", "--fee", "0.002",
                                      "--window", "7", "--no-split-trades-on-rebalance"])
    given = {name: getattr(args, name) for name in _params.option_names()}
    settings, core, notes = _params.check_options(given)
    assert (settings["fee"], settings["window"], settings["split_trades_on_rebalance"]) == (0.002, 7, False)
    assert (core["fee_ratio"], core["tidemark_window"], core["periodically_rebalance"]) == (0.002, 7, False)
    # None keeps its words in the settings; the engine gets the number standing for it.
    assert settings["stop_loss"] is None and core["stop_loss"] == core["take_profit"] == float("inf")
    assert notes == []


@pytest.mark.parametrize("seed", [0, 4])
def test_to_act_on_counts_agree_between_the_cli_and_the_report(seed, capsys):
    pytest.importorskip("matplotlib")
    from orvane import report

    market = datasets.synthetic_market(stocks=40, years=2, seed=seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = orvane.backtest(datasets.momentum(market, top=6, bottom=6, lookback=40, skip=5),
                                 market, stop_loss=0.03, take_profit=0.05)
    codes = result.actions["code"]
    # Exits made since the last rebalance are in the book but need nothing doing.
    assert codes.isin(["sl_", "tp_"]).any()
    expected = int(codes.isin(["enter", "exit", "sl", "tp", "sl_enter", "tp_enter"]).sum())
    assert int(_records.to_act_on(result.actions).sum()) == expected
    print_actions(result)
    printed = re.search(r"Next actions \((\d+) to act on\)", capsys.readouterr().out)
    page = report.render_report(result)
    shown = re.search(r"<small>(\d+) to act on,", page)
    assert int(printed.group(1)) == int(shown.group(1)) == expected
