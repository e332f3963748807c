"""orvelta.dask.price_frame and `orvelta price --scheduler` on a two-process local cluster."""

import re

import numpy as np
import pytest

import orvelta
from _helpers import random_book
from orvelta import book as B
from orvelta.__main__ import main

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from orvelta.dask import price_frame  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            worker_dashboard_address=":0",
        ) as c,
        distributed.Client(c) as client,
    ):
        client.wait_for_workers(2)
        yield c, client


def frame(n=600, seed=9):
    rng = np.random.default_rng(seed)
    ids = [f"o{i}" for i in range(n)]
    book = random_book(rng, n)
    return pd.DataFrame({"id": ids, **book, "american": rng.integers(0, 2, n).astype(bool)})


def columns(df):
    return [df[c].to_numpy(np.float64) for c in B.MARKET] + [df["option_type"].to_numpy(np.int32)]


def test_frame_across_two_workers_equals_local_and_the_batch(cluster):
    _, client = cluster
    df = frame()
    got = price_frame(dd.from_pandas(df, npartitions=5), steps=60, tree_type=1).compute()
    assert len(client.scheduler_info()["workers"]) == 2
    assert list(got.columns) == list(df.columns) + ["price"]
    pd.testing.assert_frame_equal(
        got.drop(columns="price"), df, check_dtype=False
    )  # dask re-types text
    local = price_frame(df, steps=60, tree_type=1)
    np.testing.assert_array_equal(got["price"].to_numpy(), local["price"].to_numpy())
    a = columns(df)
    want = np.where(
        df["american"],
        orvelta.american_tree_batch(*a, steps=60, tree_type=1),
        orvelta.american_tree_batch(*a, steps=60, tree_type=1, american=False),
    )
    np.testing.assert_array_equal(local["price"].to_numpy(), want)


@pytest.mark.skipif(
    not hasattr(orvelta, "american_greeks"), reason="orvelta has no american_greeks in this build"
)
def test_accurate_greeks_on_the_cluster_equal_local(cluster):
    df = frame(200).drop(columns="american")
    got = price_frame(
        dd.from_pandas(df, npartitions=3), "accurate", greeks=True, tol=1e-6
    ).compute()
    assert list(got.columns)[-6:] == ["price", "delta", "gamma", "theta", "vega", "rho"]
    g = orvelta.american_greeks(*columns(df), tol=1e-6)
    for c in ("price", *B.GREEKS):
        np.testing.assert_array_equal(got[c].to_numpy(), g[c])


def test_bad_cells_and_columns_are_value_errors(cluster):
    df = frame(40).astype({"sigma": object})
    df.loc[23, "sigma"] = "high"
    lazy = price_frame(dd.from_pandas(df, npartitions=3))
    with pytest.raises(ValueError, match=r"^row 23, column sigma: 'high' is not a number$"):
        lazy.compute()
    with pytest.raises(ValueError, match=r"^frame: missing column 'tau'$"):
        price_frame(dd.from_pandas(frame(10).drop(columns="tau"), npartitions=2))
    with pytest.raises(B.UsageError, match=r"^--greeks needs --method accurate or european"):
        price_frame(frame(10), greeks=True)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"steps": -5}, "--steps must be a whole number from 2 to 2147483646, got -5"),
        ({"steps": 1}, "--steps must be a whole number from 2 to 2147483646, got 1"),
        ({"method": "accurate", "tol": 0.0}, "--tol must be a positive finite number, got 0.0"),
        (
            {"method": "european", "model": "heston", "params": [0.04, 2.0, 0.04, 0.6, -1.5]},
            "--params: heston parameter rho must lie in [-1, 1], got -1.5",
        ),
    ],
)
def test_settings_are_checked_before_pricing(kwargs, message):
    """steps=-5 priced every option at its intrinsic value without a word."""
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        price_frame(frame(10), **kwargs)


def test_command_line_on_the_scheduler_writes_the_local_bytes(cluster, tmp_path, monkeypatch):
    c, _ = cluster
    df = frame(900).drop(columns="id")
    df.to_csv(tmp_path / "b.csv", index=False)
    monkeypatch.setattr(
        B.methods, "_TREE_NODES_PER_CALL", 100 * 40 * 40
    )  # 100-row slices: many tasks in flight
    assert (
        main(["price", str(tmp_path / "b.csv"), "-o", str(tmp_path / "local.csv"), "--steps", "40"])
        == 0
    )
    assert (
        main(
            [
                "price",
                str(tmp_path / "b.csv"),
                "-o",
                str(tmp_path / "dask.csv"),
                "--steps",
                "40",
                "--scheduler",
                c.scheduler_address,
            ]
        )
        == 0
    )
    assert (tmp_path / "dask.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()
