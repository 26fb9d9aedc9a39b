"""A sweep on a real two-node Ray cluster started on this machine: the runs spread over
both nodes and the rows equal the sequential sweep's."""

import os
import pickle
import socket
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

pytest.importorskip("ray")
RAY = os.path.join(os.path.dirname(sys.executable), "ray")
if not os.path.exists(RAY):
    pytest.skip("the ray command is not installed beside this Python", allow_module_level=True)

SWEEPER = textwrap.dedent("""
    import os, pickle, sys, time
    import ray
    import orvane
    from orvane import datasets

    def strategy(market, lookback=21, out=None):
        # Which node ran it: each node's workers inherit that node's environment.
        with open(os.path.join(out, f"{os.getpid()}.node"), "w") as note:
            note.write(os.environ.get("ORVANE_NODE", "?"))
        time.sleep(0.5)
        return datasets.momentum(market, lookback=lookback, top=5, bottom=5)

    if __name__ == "__main__":
        address, out = sys.argv[1], sys.argv[2]
        market = datasets.synthetic_market(stocks=40, years=2, seed=3)
        grid = {"lookback": [21, 42, 63, 84, 105, 126], "stop_loss": [None, 0.1], "out": [out]}
        ray.init(address=address, logging_level="warning")
        spread = orvane.sweep(market, grid, strategy=strategy, executor="ray", progress=False)
        ray.shutdown()
        alone = orvane.sweep(market, grid, strategy=strategy, workers=1, progress=False)
        with open(os.path.join(out, "tables.pkl"), "wb") as f:
            pickle.dump((spread.table, alone.table), f)
""")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_sweep_spreads_over_a_two_node_cluster_and_equals_the_sequential_rows(tmp_path):
    env = {**os.environ, "RAY_AUTH_MODE": "disabled", "RAY_USAGE_STATS_ENABLED": "0"}
    port = free_port()
    address = f"127.0.0.1:{port}"
    common = ["--node-ip-address=127.0.0.1", "--num-cpus=1", "--disable-usage-stats",
              f"--object-store-memory={200 * 2**20}"]
    try:
        subprocess.run([RAY, "start", "--head", f"--port={port}", "--include-dashboard=false",
                        *common], env={**env, "ORVANE_NODE": "head"}, check=True,
                       capture_output=True, timeout=120)
        subprocess.run([RAY, "start", f"--address={address}", *common],
                       env={**env, "ORVANE_NODE": "second"}, check=True, capture_output=True,
                       timeout=120)
        script = tmp_path / "sweeper.py"
        script.write_text(SWEEPER)
        done = subprocess.run([sys.executable, str(script), address, str(tmp_path)], env=env,
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr[-3000:]
    finally:
        subprocess.run([RAY, "stop", "--force"], env=env, capture_output=True, timeout=120)
    nodes = {p.read_text() for p in tmp_path.glob("*.node")}
    assert {"head", "second"} <= nodes
    with open(tmp_path / "tables.pkl", "rb") as f:
        spread, alone = pickle.load(f)
    pd.testing.assert_frame_equal(spread, alone)
    assert spread["error"].isna().all()
