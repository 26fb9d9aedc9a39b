"""stop_trading_next_period is tested for truth at every use, and only there:
the pending exits, the rebalance, and per sid or per exit at the end of a run.
An object whose answer changes, or that refuses on some test, must see the same
tests in the same order as the pure-Python model makes them."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane.core import tradeloom

from test_engine_reference import T0, assert_same, engine_run, market, markets, reference_run, same_dict


class Scripted:
    """Answers from a repeating pattern, counts its tests, refuses test number `refuse_at`."""

    def __init__(self, pattern, refuse_at=None):
        self.pattern, self.refuse_at, self.calls = pattern, refuse_at, 0

    def __bool__(self):
        self.calls += 1
        if self.calls == self.refuse_at:
            raise LookupError("refused")
        return self.pattern[(self.calls - 1) % len(self.pattern)]


def outcome(run, m, pattern, refuse_at):
    flag = Scripted(pattern, refuse_at)
    try:
        return run({**m, "stop_trading_next_period": flag}), flag.calls
    except (LookupError, ZeroDivisionError) as exc:
        return type(exc), flag.calls


def check(m, pattern, refuse_at=None):
    want, want_calls = outcome(reference_run, m, pattern, refuse_at)
    got, got_calls = outcome(engine_run, m, pattern, refuse_at)
    assert got_calls == want_calls
    if isinstance(want, type):
        assert got is want
    else:
        assert_same(got, want)
    return got_calls


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(markets(), st.lists(st.booleans(), min_size=1, max_size=4), st.none() | st.integers(1, 12))
def test_truth_tests_follow_the_model(m, pattern, refuse_at):
    check(m, pattern, refuse_at)


def stopped_market():
    # four sids; sid 1 stopped out on row 2 by the close rule, sid 3 on the last
    # row, so the end of run has an exited and a pending exit to weigh per sid
    return market([[10.0, 10.0, 10.0, 10.0]] * 5, close=[[10.0, 10.0, 10.0, 10.0]] * 2
                  + [[10.0, 8.0, 10.0, 10.0]] * 2 + [[10.0, 10.0, 10.0, 8.0]],
                  pos_values=[[0.25, 0.25, 0.25, 0.25]], pos_index=[T0], resample=[T0],
                  stop_loss=0.1)


@pytest.mark.parametrize("pattern", [[True], [False], [True, False], [False, True], [True, True, False]])
def test_next_weights_test_the_flag_once_per_sid(pattern):
    # the rebalance on row 1, then at the end: the four sids of the next row,
    # the pending exit of sid 3 and the carried-out exit of sid 1 (no rebalance
    # is pending on row 3, so its pending exit makes no test)
    assert check(stopped_market(), pattern) == 1 + 4 + 1 + 1


@pytest.mark.parametrize("refuse_at", range(1, 8))
def test_a_refused_test_ends_the_run_where_the_model_stops(refuse_at):
    assert check(stopped_market(), [True], refuse_at) == refuse_at


def refusing_market(scale):
    # six sids: sid 1 stopped out on row 2, sid 4 found on the last row (a pending
    # exit), sid 2 with no weight; gross 0.9375 times scale
    flat = [10.0] * 6
    return market([flat] * 5, close=[flat] * 2 + [[10.0, 8.0] + flat[2:]] * 2 + [flat[:4] + [8.0, 10.0]],
                  pos_values=[[w * scale for w in (0.125, 0.25, 0.0, 0.0625, 0.25, 0.25)]],
                  pos_index=[T0], resample=[T0], stop_loss=0.1)


# 1 + 6 + 2 tests: the rebalance, one per sid of the next row, then the
# pending exit of sid 4 and the carried-out exit of sid 1
@pytest.mark.parametrize("scale", [1.0, 2.0])
@pytest.mark.parametrize("refuse_at", range(2, 8))
def test_a_refused_next_weights_step_leaves_the_sids_before_it(scale, refuse_at):
    m = refusing_market(scale)
    clean = engine_run({**m, "stop_trading_next_period": Scripted([True])})["ops"]
    assert list(clean["next_weights"]) == [0, 3, 5]
    flag = Scripted([True], refuse_at)
    with pytest.raises(LookupError):
        engine_run({**m, "stop_trading_next_period": flag})
    assert flag.calls == refuse_at
    record = tradeloom.get_stock_operations()
    # the steps after the next weights never ran: no times, no actions
    assert list(record) == ["actions", "weights", "next_weights"]
    assert record["actions"] == {}
    assert same_dict(record["weights"], clean["weights"])
    failed_sid = refuse_at - 2
    row = m["pos_values"][0]
    # each sid reached keeps the weight row's value, before the division by the gross
    want = {sid: float(row[sid]) for sid in clean["next_weights"] if sid < failed_sid}
    assert same_dict(record["next_weights"], want), (record["next_weights"], want)
    if scale == 1.0:  # gross below 1: the clean run stores the row's values as they are
        assert same_dict(record["next_weights"], {k: clean["next_weights"][k] for k in want})
