"""`orvelta price` and `orvelta sample-book`: books priced through the command line."""

import csv
import fcntl
import io
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import numpy as np
import pytest

import orvelta
from orvelta import book as B
from orvelta.book.formats import CsvWriter

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pc = pytest.importorskip("pyarrow.compute")

ORVELTA = str(Path(sys.executable).with_name("orvelta"))
HEADER = "s,k,r,q,sigma,tau,option_type"


def book_rows(n=40, seed=3):
    """Valid options plus the lattice's edge cases (expired, zero volatility, option types as numbers)."""
    rng = np.random.default_rng(seed)
    rows = []
    for _i in range(n):
        rows.append(
            [
                f"{rng.uniform(60, 140):.2f}",
                f"{rng.uniform(60, 140):.3f}",
                f"{rng.uniform(0, 0.08):.4f}",
                f"{rng.uniform(0, 0.05):.4f}",
                repr(rng.uniform(0.1, 0.6)),
                f"{rng.uniform(0.05, 2):.3f}",
                str(int(rng.integers(0, 2))),
            ]
        )
    rows[1][5] = "0"  # intrinsic value
    rows[2][4] = "0.0"  # intrinsic value
    rows[3][6] = "-3"  # a put
    rows[4][6] = "5"  # a call
    return rows


def write_csv(path, header, rows):
    path.write_text(header + "\n" + "".join(",".join(r) + "\n" for r in rows))


def arrays(rows):
    a = np.array([[float(x) for x in r] for r in rows]).T
    return [*a[:6], (a[6] > 0).astype(np.int32)]


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.endswith(".part"))


@pytest.mark.parametrize(
    "extra, kw",
    [([], {}), (["--steps", "37", "--tree-type", "tian"], {"steps": 37, "tree_type": 1})],
)
def test_tree_equals_batch_bit_for_bit_and_keeps_input_text(tmp_path, extra, kw, run):
    rows = book_rows()
    american = ["true", "False", "1", "no"] * 10
    write_csv(tmp_path / "b.csv", HEADER + ",american", [r + [a] for r, a in zip(rows, american)])
    proc = run("price", tmp_path / "b.csv", "-o", tmp_path / "o.csv", *extra)
    assert (proc.returncode, proc.stderr) == (
        0,
        "orvelta price: 40 rows priced, 0 with a NaN result\n",
    )
    out = read_csv(tmp_path / "o.csv")
    assert out[0] == HEADER.split(",") + ["american", "price"]
    assert [r[:-1] for r in out[1:]] == [r + [a] for r, a in zip(rows, american)]
    got = np.array([float(r[-1]) for r in out[1:]])
    flags = np.array([a in ("true", "1") for a in american])
    a = arrays(rows)
    want = np.where(
        flags,
        orvelta.american_tree_batch(*a, american=True, **kw),
        orvelta.american_tree_batch(*a, american=False, **kw),
    )
    np.testing.assert_array_equal(got, want)  # exact: the text reads back to the same doubles
    assert not np.isnan(got).any()


def test_chunking_does_not_change_the_output_and_errors_keep_their_line(tmp_path, monkeypatch):
    rows = book_rows(300)
    write_csv(tmp_path / "b.csv", HEADER, rows)
    B.price_book(str(tmp_path / "b.csv"), str(tmp_path / "whole.csv"), B.Method(steps=30))
    monkeypatch.setattr(B.formats, "CSV_BLOCK_BYTES", 512)
    monkeypatch.setattr(B.methods, "_TREE_NODES_PER_CALL", 1)
    B.price_book(str(tmp_path / "b.csv"), str(tmp_path / "chunked.csv"), B.Method(steps=30))
    assert (tmp_path / "whole.csv").read_bytes() == (tmp_path / "chunked.csv").read_bytes()
    rows[250][3] = "x1"
    write_csv(tmp_path / "b.csv", HEADER, rows)
    with pytest.raises(
        B.BookError, match=r"^b\.csv, line 252, column q: 'x1' is not a number\n1 bad row: "
    ):
        B.price_book(str(tmp_path / "b.csv"), str(tmp_path / "chunked.csv"), B.Method(steps=30))


def test_parquet_keeps_columns_and_types(tmp_path, monkeypatch):
    rows = book_rows(50)
    a = arrays(rows)
    table = pa.table(
        {
            "id": pa.array([f"opt-{i}" for i in range(50)]),
            **{c: pa.array(v) for c, v in zip(B.MARKET, a[:6])},
            "option_type": pa.array(a[6], type=pa.int8()),
            "american": pa.array([i % 3 != 0 for i in range(50)]),
        }
    )
    pq.write_table(table, tmp_path / "b.parquet")
    monkeypatch.setattr(B.formats, "PARQUET_BATCH_ROWS", 7)
    B.price_book(str(tmp_path / "b.parquet"), str(tmp_path / "o.parquet"), B.Method())
    out = pq.read_table(tmp_path / "o.parquet")
    assert out.schema.names == table.schema.names + ["price"]
    assert out.select(table.schema.names).equals(table)
    flags = np.array([i % 3 != 0 for i in range(50)])
    want = np.where(
        flags, orvelta.american_tree_batch(*a), orvelta.american_tree_batch(*a, american=False)
    )
    np.testing.assert_array_equal(out.column("price").to_numpy(), want)


def test_quoted_text_and_awkward_doubles_survive(tmp_path, run):
    header = 'note,"we""ird",' + HEADER
    body = '"a, b",x,100,100,0.05,0,0.2,1,0\n"say ""hi""",y,1e2,9.9e1,5e-2,0,2e-1,1.5,call\n'
    (tmp_path / "b.csv").write_text(header + "\n" + body)
    proc = run("price", tmp_path / "b.csv", "-o", tmp_path / "o.csv", "--steps", "3")
    assert proc.returncode == 0, proc.stderr
    out = read_csv(tmp_path / "o.csv")
    assert out[0] == ["note", 'we"ird', *HEADER.split(","), "price"]
    assert [r[:-1] for r in out[1:]] == [r for r in csv.reader(body.splitlines())]
    want = orvelta.american_tree_batch(
        [100, 100],
        [100, 99],
        [0.05, 0.05],
        [0, 0],
        [0.2, 0.2],
        [1, 1.5],
        np.array([0, 1], dtype=np.int32),
        steps=3,
    )
    assert [float(r[-1]) for r in out[1:]] == list(want)


ONE_BAD = "\norvelta price: 1 bad row: nothing written (--skip-bad prices the other rows)"
BAD = [
    ("s,k,r,q,sigma,option_type\n1,1,0,0,.2,1\n", [], "b.csv, line 1: missing column 'tau'"),
    ("s,k,r,q,option_type\n1,1,0,0,1\n", [], "b.csv, line 1: missing columns 'sigma', 'tau'"),
    (
        HEADER + "\n100,100,.05,0,.2,1,1\n100,100,.05,0,abc,1,0\n",
        [],
        "b.csv, line 3, column sigma: 'abc' is not a number" + ONE_BAD,
    ),
    (HEADER + "\n100,,.05,0,.2,1,1\n", [], "b.csv, line 2, column k: empty cell" + ONE_BAD),
    (
        HEADER + "\n100,100,.05,0,.2,1,1\n100,100,.05,0,.2,1\n",
        [],
        "b.csv, line 3: expected 7 fields, found 6",
    ),
    (
        HEADER + "\n100,100,.05,0,.2,1,1\n100,100,.05,0,-0.25,1,0\n",
        ["--method", "accurate"],
        "b.csv, line 3, column sigma: negative volatility (-0.25)" + ONE_BAD,
    ),
    (
        HEADER + "\n100,100,.05,0,-0.25,1,0\n",
        [],
        "b.csv, line 2, column sigma: negative volatility (-0.25)" + ONE_BAD,
    ),
    (
        HEADER + "\n100,100,.05,0,.2,1,straddle\n",
        [],
        "b.csv, line 2, column option_type: 'straddle' is not a number, 'call' or 'put'" + ONE_BAD,
    ),
    (
        HEADER + ",american\n100,100,.05,0,.2,1,1,maybe\n",
        [],
        "b.csv, line 2, column american: 'maybe' is not true or false" + ONE_BAD,
    ),
    (
        HEADER + ",american\n100,100,.05,0,.2,1,1,false\n100,100,.05,0,.2,1,1,true\n",
        ["--method", "european", "--model", "heston"],
        "b.csv, line 3, column american: true, but --model heston prices European options only "
        "(American rows need --model bs)" + ONE_BAD,
    ),
    (
        HEADER + ",price,Model_Price\n100,100,.05,0,.2,1,1,3,4\n",
        [],
        "b.csv, line 1: the book already has a column 'model_price', which this run would add",
    ),
    (HEADER + ",S\n1,1,1,1,1,1,1,1\n", [], "b.csv, line 1: column 'S' appears twice"),
    # Values no pricer takes: NaN cells, a zero spot, a negative maturity.
    (
        HEADER + "\nnan,100,.05,0,.2,1,1\n",
        [],
        "b.csv, line 2, column s: 'nan' is not a finite number" + ONE_BAD,
    ),
    (
        HEADER + "\n0,100,.05,0,.2,1,1\n",
        [],
        "b.csv, line 2, column s: the spot must be positive (0.0)" + ONE_BAD,
    ),
    (
        HEADER + "\n100,100,.05,0,.2,-1,1\n",
        [],
        "b.csv, line 2, column tau: negative time to expiry (-1.0)" + ONE_BAD,
    ),
    (
        HEADER
        + "\n100,100,.05,0,.2,1,1\n"
        + "".join(f"100,100,.05,0,.2,{-i},1\n" for i in range(1, 4)),
        [],
        "\norvelta price: ".join(
            f"b.csv, line {i + 2}, column tau: negative time to expiry ({-i}.0)"
            for i in range(1, 4)
        )
        + "\norvelta price: 3 bad rows: nothing written (--skip-bad prices the other rows)",
    ),
]


@pytest.mark.parametrize("content, extra, message", BAD)
def test_bad_input_names_line_and_column_and_leaves_no_file(tmp_path, content, extra, message, run):
    (tmp_path / "b.csv").write_text(content)
    (tmp_path / "o.csv").write_text("previous result\n")
    proc = run("price", "b.csv", "-o", "o.csv", *extra, cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (2, f"orvelta price: {message}\n")
    assert (tmp_path / "b.csv").read_text() == content
    assert (tmp_path / "o.csv").read_text() == "previous result\n"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(
    "extra, message",
    [
        (
            ["--greeks"],
            "--greeks needs --method accurate or european (the lattice batch gives prices only)",
        ),
        (["--implied-vol"], "--implied-vol needs --method accurate or european"),
        (["--tol", "1e-6"], "--tol applies to --method accurate and european"),
        (["--method", "accurate", "--steps", "50"], "--steps applies to --method tree only"),
        (["--steps", "0"], "--steps must be a whole number from 2 to 2147483646, got 0"),
        (["--steps", "-5"], "--steps must be a whole number from 2 to 2147483646, got -5"),
        (
            ["--method", "accurate", "--tol", "inf"],
            "--tol must be a positive finite number, got inf",
        ),
        (
            ["--method", "accurate", "--model", "heston"],
            "--model applies to --method european only",
        ),
        (
            ["--method", "european", "--params", "0.3"],
            "--model bs takes its volatility from the book's sigma column; --params is for the other models",
        ),
        (
            ["--method", "european", "--model", "heston", "--implied-vol"],
            "--implied-vol with --method european inverts Black-Scholes prices: use --model bs",
        ),
        (
            ["--method", "european", "--model", "heston", "--params", "0.04,x"],
            "argument --params: not a comma-separated list of numbers: '0.04,x'",
        ),
        (
            ["--method", "european", "--model", "heston", "--params", "0.04,2"],
            "--params: heston takes 5 parameters (v0, kappa, theta, sigma_v, rho), got 2",
        ),
        (
            ["--method", "european", "--model", "heston", "--params", "0.04,2,0.04,0.6,-1.5"],
            "--params: heston parameter rho must lie in [-1, 1], got -1.5",
        ),
    ],
)
def test_impossible_requests_are_usage_errors(tmp_path, extra, message, run):
    write_csv(tmp_path / "b.csv", HEADER, book_rows(5))
    proc = run("price", tmp_path / "b.csv", "-o", tmp_path / "o.csv", *extra)
    assert proc.returncode == 2 and proc.stderr.endswith(f"orvelta price: error: {message}\n"), (
        proc.stderr
    )
    assert not (tmp_path / "o.csv").exists()


@pytest.mark.parametrize(
    "src, dst, message",
    [
        ("missing.csv", "o.csv", "cannot read missing.csv: no such file"),
        (
            "b.csv",
            "o.parquet",
            "the output is written in the book's format (csv); name it accordingly",
        ),
        ("b.csv", "b.csv", "the output would overwrite the book"),
        ("b.csv", "nowhere/o.csv", "cannot write nowhere/o.csv: no folder"),
    ],
)
def test_bad_paths(tmp_path, src, dst, message, run):
    write_csv(tmp_path / "b.csv", HEADER, book_rows(5))
    before = (tmp_path / "b.csv").read_bytes()
    proc = run("price", src, "-o", dst, cwd=tmp_path)
    assert proc.returncode == 2 and proc.stderr.startswith(f"orvelta price: {message}"), proc.stderr
    assert (tmp_path / "b.csv").read_bytes() == before and leftovers(tmp_path) == []


def test_interrupt_exits_130_and_leaves_nothing(tmp_path, run):
    assert run("sample-book", 20000, "-o", tmp_path / "b.csv").returncode == 0
    before = (tmp_path / "b.csv").read_bytes()
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvelta", "price", "b.csv", "-o", "o.csv", "--steps", "1500"],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 60
    while not leftovers(tmp_path) and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.05)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (130, "orvelta price: interrupted\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["b.csv"]
    assert (tmp_path / "b.csv").read_bytes() == before


def run_on_terminal(args, cwd):
    """Runs the command with standard error on a pseudo-terminal; returns (code, what the terminal saw)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen([ORVELTA, *args], cwd=cwd, stderr=slave, stdout=subprocess.DEVNULL)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    return proc.wait(timeout=60), seen.decode(errors="replace")


def test_progress_bar_only_on_a_terminal_and_not_when_quiet(tmp_path, run):
    assert run("sample-book", 3000, "-o", tmp_path / "b.csv").returncode == 0
    code, seen = run_on_terminal(["price", "b.csv", "-o", "o.csv", "--steps", "20"], tmp_path)
    assert code == 0 and "3.00k/3.00k" in seen and "rows/s" in seen and "<00:00" in seen, seen
    code, seen = run_on_terminal(
        ["price", "b.csv", "-o", "q.csv", "--steps", "20", "--quiet"], tmp_path
    )
    assert (code, seen) == (0, "")
    proc = run(
        "price", "b.csv", "-o", "p.csv", "--steps", "20", cwd=tmp_path
    )  # not a terminal: the summary only
    assert (proc.returncode, proc.stderr) == (
        0,
        "orvelta price: 3000 rows priced, 0 with a NaN result\n",
    )
    assert (
        (tmp_path / "o.csv").read_bytes()
        == (tmp_path / "q.csv").read_bytes()
        == (tmp_path / "p.csv").read_bytes()
    )


@pytest.mark.parametrize(
    "blocked, args, message",
    [
        (
            "pyarrow",
            ["price", "b.csv", "-o", "o.csv"],
            "orvelta price needs pyarrow: pip install 'orvelta[io]'",
        ),
        (
            "pyarrow",
            ["sample-book", "5", "-o", "o.csv"],
            "orvelta sample-book needs pyarrow: pip install 'orvelta[io]'",
        ),
        (
            "distributed",
            ["price", "b.csv", "-o", "o.csv", "--scheduler", "tcp://127.0.0.1:1"],
            "orvelta price needs distributed: pip install 'orvelta[dask]'",
        ),
    ],
)
def test_a_missing_extra_is_named(tmp_path, blocked, args, message):
    write_csv(tmp_path / "b.csv", HEADER, book_rows(5))
    code = f"import sys; sys.modules[{blocked!r}] = None; from orvelta.__main__ import main; sys.exit(main({args!r}))"
    proc = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert (proc.returncode, proc.stderr) == (2, message + "\n")
    assert leftovers(tmp_path) == [] and not (tmp_path / "o.csv").exists()


def test_version_console_script_and_sample_book(tmp_path, run):
    for cmd in ([ORVELTA, "--version"], [sys.executable, "-m", "orvelta", "--version"]):
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
        assert (proc.returncode, proc.stdout) == (0, f"orvelta {orvelta.__version__}\n")
    assert (
        subprocess.run(
            [ORVELTA, "sample-book", "1000", "-o", tmp_path / "a.csv", "--seed", "5"]
        ).returncode
        == 0
    )
    assert run("sample-book", 1000, "-o", tmp_path / "a.parquet", "--seed", "5").returncode == 0
    rows = read_csv(tmp_path / "a.csv")
    assert rows[0] == HEADER.split(",") and len(rows) == 1001
    table = pq.read_table(tmp_path / "a.parquet")
    np.testing.assert_array_equal(
        np.array(rows[1:], dtype=float), np.array(table.to_pandas(), dtype=float)
    )
    prices = orvelta.american_tree_batch(*arrays(rows[1:]), steps=20)
    assert np.isfinite(prices).all() and (prices >= 0).all()


# --------------------------------------------------------------------------- accurate and European pricers


def needs(*names):
    missing = [n for n in names if not hasattr(orvelta, n)]
    return pytest.mark.skipif(
        bool(missing), reason=f"orvelta has no {', '.join(missing)} in this build"
    )


def priced(run, tmp_path, header, rows, *extra):
    write_csv(tmp_path / "b.csv", header, rows)
    proc = run("price", tmp_path / "b.csv", "-o", tmp_path / "o.csv", *extra)
    assert proc.returncode == 0, proc.stderr
    out = read_csv(tmp_path / "o.csv")
    return out[0], np.array([[float(x) for x in r] for r in out[1:]])


def priced_quotes(run, tmp_path, rows, quotes, *extra):
    """priced on the rows with a price column holding the quotes."""
    quoted = [r + [repr(float(p))] for r, p in zip(rows, quotes)]
    return priced(run, tmp_path, HEADER + ",price", quoted, *extra)


def valid_rows(n=30):
    rows = book_rows(n, seed=11)
    rows[0][0], rows[1][5], rows[2][4] = "101", "0.5", "0.3"
    return rows


@needs("american_price")
def test_accurate_prices_equal_american_price(tmp_path, run):
    rows = valid_rows()
    header, out = priced(run, tmp_path, HEADER, rows, "--method", "accurate", "--tol", "1e-6")
    assert header[-1] == "price"
    np.testing.assert_array_equal(out[:, -1], orvelta.american_price(*arrays(rows), tol=1e-6))


@needs("american_greeks", "american_implied_vol")
def test_accurate_greeks_and_implied_vols(tmp_path, run):
    rows = valid_rows()
    header, out = priced(run, tmp_path, HEADER, rows, "--method", "accurate", "--greeks")
    assert header[7:] == ["price", "delta", "gamma", "theta", "vega", "rho"]
    g = orvelta.american_greeks(*arrays(rows))
    for j, c in enumerate(header[7:]):
        np.testing.assert_array_equal(out[:, 7 + j], g[c])
    header, out = priced_quotes(
        run, tmp_path, rows, g["price"], "--method", "accurate", "--implied-vol"
    )
    assert header[-1] == "implied_vol"
    a = arrays(rows)
    np.testing.assert_array_equal(
        out[:, -1], orvelta.american_implied_vol(g["price"], *a[:4], a[5], a[6])
    )


@needs("european_price")
@pytest.mark.parametrize(
    "extra, model_id, params",
    [
        ([], 0, None),
        (
            ["--model", "heston", "--params", "0.04,1.5,0.05,0.5,-0.6"],
            3,
            [0.04, 1.5, 0.05, 0.5, -0.6],
        ),
    ],
)
def test_european_prices_equal_european_price_per_option(tmp_path, extra, model_id, params, run):
    rows = valid_rows(20)
    rows[5][:4], rows[6][:4] = rows[4][:4], rows[4][:4]  # three options of one spot, rate and yield
    rows[5][6] = rows[6][6] = rows[4][6]
    _, out = priced(run, tmp_path, HEADER, rows, "--method", "european", *extra)
    s, k, r, q, sigma, tau, ot = arrays(rows)
    want = [
        orvelta.european_price(
            model_id,
            [sigma[i]] if params is None else params,
            k[i],
            tau[i],
            s[i],
            r[i],
            q[i],
            option_type=int(ot[i]),
        )
        for i in range(len(s))
    ]
    np.testing.assert_allclose(
        out[:, -1], np.asarray(want, dtype=float).reshape(-1), rtol=0, atol=2e-8
    )


@needs("implied_vol")
def test_european_implied_vols_equal_implied_vol(tmp_path, run):
    rows = valid_rows(20)
    quotes = np.linspace(2.0, 12.0, 20)
    _, out = priced_quotes(run, tmp_path, rows, quotes, "--method", "european", "--implied-vol")
    s, k, r, q, _, tau, ot = arrays(rows)
    np.testing.assert_array_equal(out[:, -1], orvelta.implied_vol(quotes, s, k, r, q, tau, ot))


def test_blanks_around_numbers_and_parquet_places(tmp_path):
    (tmp_path / "b.csv").write_text(HEADER + "\n 100 ,100,\t0.05,0,0.2 ,1, put \n")
    B.price_book(str(tmp_path / "b.csv"), str(tmp_path / "o.csv"), B.Method(steps=10))
    price = float(read_csv(tmp_path / "o.csv")[1][-1])
    assert (
        price
        == orvelta.american_tree_batch(
            [100.0], [100.0], [0.05], [0.0], [0.2], [1.0], np.zeros(1, np.int32), steps=10
        )[0]
    )
    table = pa.table(
        {c: pa.array(["1"] * 4) for c in B.MARKET} | {"option_type": pa.array([1, 0, None, 1])}
    )
    pq.write_table(table, tmp_path / "b.parquet")
    with pytest.raises(
        B.BookError, match=r"^b\.parquet, row 3, column option_type: empty cell\n1 bad row"
    ):
        B.price_book(str(tmp_path / "b.parquet"), str(tmp_path / "o.parquet"), B.Method())
    (tmp_path / "latin.csv").write_bytes(HEADER.encode() + b",\xe9t\xe9\n")
    with pytest.raises(B.BookError, match=r"^latin\.csv, line 1: not UTF-8 text$"):
        B.price_book(str(tmp_path / "latin.csv"), str(tmp_path / "o.csv"), B.Method())
    assert leftovers(tmp_path) == [] and not (tmp_path / "o.parquet").exists()


def test_float_text_is_arrows_shortest_round_trip_text():
    rng = np.random.default_rng(3)
    v = np.concatenate(
        [
            rng.standard_normal(20_000) * 10.0 ** rng.integers(-30, 30, 20_000),
            np.frombuffer(rng.bytes(8 * 20_000), dtype=np.float64),
            10.0 ** np.arange(-9, 23),
            1.5 * 10.0 ** np.arange(-9, 23),
            [
                0.0,
                -0.0,
                np.inf,
                -np.inf,
                np.nan,
                -np.nan,
                5e-324,
                1.7976931348623157e308,
                2.2250738585072014e-308,
                -2.2250738585072014e-308,
            ],
        ]
    )
    text = orvelta._engines._csv_lines([], [], [v]).decode().split("\n")
    assert text.pop() == ""
    assert text == pc.cast(pa.array(v), pa.string()).to_pylist()
    back = np.array(text, dtype=np.float64)
    np.testing.assert_array_equal(back, v)
    numbers = ~np.isnan(v)
    np.testing.assert_array_equal(np.signbit(back[numbers]), np.signbit(v[numbers]))


def test_csv_lines_quote_what_needs_it_and_honour_slices():
    cells = ["plain", "", 'say "hi"', "a,b", "two\nlines", "cr\rhere", "ünï"]
    col = pa.array(cells + ["x"]).slice(1, len(cells) - 1)  # an offset into shared buffers
    other = pa.array([str(i) for i in range(len(cells) - 1)])
    w = CsvWriter(io.BytesIO(), ["a", "b", "c"])
    w.write([col, other], [np.arange(len(cells) - 1) + 0.5])
    header, got = w.f.getvalue().decode().split("\n", 1)
    assert header == "a,b,c"
    want = "".join(
        f"{c},{i},{i + 0.5!r}\n"
        if not any(ch in c for ch in '",\r\n')
        else '"' + c.replace('"', '""') + f'",{i},{i + 0.5!r}\n'
        for i, c in enumerate(cells[1:])
    )
    assert got == want
    assert [r for r in csv.reader(io.StringIO(got, newline=""))] == [
        [c, str(i), repr(i + 0.5)] for i, c in enumerate(cells[1:])
    ]


def test_csv_lines_read_unaligned_views():
    # Arrays unpickled from a byte stream (results from Dask workers) need not be aligned.
    v = np.array([1.5, -2.25e-9, 3e12])
    raw = np.frombuffer(b"x" + v.tobytes(), dtype=np.uint8)[1:]
    unaligned = raw.view(np.float64)
    assert not unaligned.flags.aligned
    offsets = np.frombuffer(b"x" + np.array([0, 1, 3, 3], np.int32).tobytes(), dtype=np.uint8)[
        1:
    ].view(np.int32)
    got = orvelta._engines._csv_lines([offsets], [np.frombuffer(b"abc", np.uint8)], [unaligned])
    assert got == b"a,1.5\nbc,-2.25e-9\n,3e+12\n"


@pytest.mark.parametrize(
    "offsets, data, floats, message",
    [
        (
            [np.array([0, 5], np.int32)],
            [np.zeros(3, np.uint8)],
            [],
            "offsets outside their data buffer",
        ),
        (
            [np.array([0, 2, 1], np.int32)],
            [np.zeros(3, np.uint8)],
            [],
            "offsets must be non-decreasing",
        ),
        (
            [np.array([-1, 1], np.int32)],
            [np.zeros(3, np.uint8)],
            [],
            "offsets outside their data buffer",
        ),
        ([np.array([0, 1], np.int32)], [], [], "one data buffer is needed per offsets array"),
        (
            [np.array([0, 1], np.int32)],
            [np.zeros(3, np.uint8)],
            [np.zeros(2)],
            "all columns must have the same number of rows",
        ),
        ([np.array([], np.int32)], [np.zeros(3, np.uint8)], [], "offsets need at least one entry"),
    ],
)
def test_csv_lines_reject_malformed_columns(offsets, data, floats, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        orvelta._engines._csv_lines(offsets, data, floats)


# --------------------------------------------------------------------------- real books


def test_a_market_price_column_is_kept_and_the_model_price_goes_beside_it(tmp_path, run):
    rows = valid_rows(12)
    quotes = [repr(float(x)) for x in np.linspace(3.0, 9.0, 12)]
    write_csv(tmp_path / "b.csv", HEADER + ",Price", [r + [p] for r, p in zip(rows, quotes)])
    for extra, fn in (
        (["--steps", "40"], lambda a: orvelta.american_tree_batch(*a, steps=40)),
        (["--method", "accurate", "--tol", "1e-6"], lambda a: orvelta.american_price(*a, tol=1e-6)),
    ):
        proc = run("price", tmp_path / "b.csv", "-o", tmp_path / "o.csv", *extra)
        assert proc.returncode == 0, proc.stderr
        out = read_csv(tmp_path / "o.csv")
        assert out[0] == HEADER.split(",") + ["Price", "model_price"]
        assert [r[7] for r in out[1:]] == quotes
        np.testing.assert_array_equal([float(r[8]) for r in out[1:]], fn(arrays(rows)))


def american_at_implied_vol(a):
    quotes = orvelta.american_price(*a, tol=1e-10)
    iv = orvelta.american_implied_vol(quotes, *a[:4], a[5], a[6])
    return quotes, iv, orvelta.american_greeks(*a[:4], iv, a[5], a[6])


def european_at_implied_vol(a):
    quotes = orvelta.european_price("bs", [a[4]], a[1], a[5], a[0], a[2], a[3], a[6])
    iv = orvelta.implied_vol(quotes, *a[:4], a[5], a[6])
    return quotes, iv, orvelta.european_greeks("bs", [iv], a[1], a[5], a[0], a[2], a[3], a[6])


@pytest.mark.parametrize(
    "method, reference",
    [("accurate", american_at_implied_vol), ("european", european_at_implied_vol)],
)
def test_greeks_at_the_implied_volatility(tmp_path, run, method, reference):
    # reference: the quotes, their implied volatilities and the Greeks at them.
    rows = valid_rows(10)
    quotes, iv, g = reference(arrays(rows))
    _, out = priced_quotes(
        run, tmp_path, rows, quotes, "--method", method, "--implied-vol", "--greeks"
    )
    np.testing.assert_array_equal(out[:, -1], iv)
    for j, c in enumerate(("delta", "gamma", "theta", "vega", "rho")):
        np.testing.assert_array_equal(out[:, 8 + j], g[c])


def test_european_greeks_of_every_model(tmp_path, run):
    rows = valid_rows(8)
    s, k, r, q, sigma, tau, ot = arrays(rows)
    header, out = priced(
        run,
        tmp_path,
        HEADER,
        rows,
        "--method",
        "european",
        "--greeks",
        "--model",
        "heston",
        "--params",
        "0.04,1.5,0.05,0.5,-0.6",
    )
    assert header[7:] == ["price", "delta", "gamma", "theta", "vega_v0", "vega_theta", "rho"]
    g = orvelta.european_greeks("heston", [0.04, 1.5, 0.05, 0.5, -0.6], k, tau, s, r, q, ot)
    for j, c in enumerate(header[7:]):
        np.testing.assert_array_equal(out[:, 7 + j], g[c])


def test_american_and_european_rows_are_priced_in_one_run(tmp_path, run):
    rows = valid_rows(16)
    flags = ["1", "0"] * 8
    a = arrays(rows)
    am = np.array([f == "1" for f in flags])
    for method in ("accurate", "european"):
        _, out = priced(
            run,
            tmp_path,
            HEADER + ",american",
            [r + [f] for r, f in zip(rows, flags)],
            "--method",
            method,
            "--tol",
            "1e-7",
        )
        american = orvelta.american_price(*a, tol=1e-7)
        european = orvelta.european_price(
            "bs", [a[4]], a[1], a[5], a[0], a[2], a[3], a[6], tol=1e-7
        )
        np.testing.assert_array_equal(out[:, -1], np.where(am, american, european))
    # Without the column, accurate prices American options and european European ones.
    _, out = priced(run, tmp_path, HEADER, rows, "--method", "european", "--tol", "1e-7")
    np.testing.assert_array_equal(
        out[:, -1],
        orvelta.european_price("bs", [a[4]], a[1], a[5], a[0], a[2], a[3], a[6], tol=1e-7),
    )


def test_every_bad_row_is_reported_up_to_twenty(tmp_path, run):
    rows = valid_rows(60)
    for i in range(0, 60, 2):
        rows[i][5] = "-0.5"
    write_csv(tmp_path / "b.csv", HEADER, rows)
    proc = run("price", "b.csv", "-o", "o.csv", cwd=tmp_path)
    lines = proc.stderr.splitlines()
    assert proc.returncode == 2 and len(lines) == 21, proc.stderr
    assert lines[:2] == [
        "orvelta price: b.csv, line 2, column tau: negative time to expiry (-0.5)",
        "orvelta price: b.csv, line 4, column tau: negative time to expiry (-0.5)",
    ]
    assert (
        lines[-1] == "orvelta price: at least 30 bad rows in the first 60 rows: nothing written "
        "(--skip-bad prices the other rows)"
    )
    assert not (tmp_path / "o.csv").exists() and leftovers(tmp_path) == []


def test_skip_bad_prices_the_good_rows_and_strict_flags_nan(tmp_path, run):
    rows = valid_rows(6)
    rows[1][0] = "x"
    rows[3][4] = "nan"
    rows[4][6] = ""
    write_csv(tmp_path / "b.csv", HEADER, rows)
    proc = run("price", "b.csv", "-o", "o.csv", "--skip-bad", "--steps", "30", cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stderr.splitlines() == [
        "orvelta price: skipped b.csv, line 3, column s: 'x' is not a number",
        "orvelta price: skipped b.csv, line 5, column sigma: 'nan' is not a finite number",
        "orvelta price: skipped b.csv, line 6, column option_type: empty cell",
        "orvelta price: 3 rows priced, 0 with a NaN result, 3 bad rows skipped",
    ]
    out = read_csv(tmp_path / "o.csv")
    good = [rows[i] for i in (0, 2, 5)]
    assert [r[:-1] for r in out[1:]] == good
    np.testing.assert_array_equal(
        [float(r[-1]) for r in out[1:]], orvelta.american_tree_batch(*arrays(good), steps=30)
    )
    # A price below the put's intrinsic value has no implied volatility: NaN, counted, and --strict fails.
    two = valid_rows(6)[:2]
    s0, k0, r0, q0, sigma0, tau0, ot0 = arrays(two[:1])
    fair = orvelta.european_price("bs", [sigma0], k0, tau0, s0, r0, q0, ot0)
    write_csv(
        tmp_path / "q.csv", HEADER + ",price", [two[0] + [repr(float(fair[0]))], two[1] + ["0.0"]]
    )
    proc = run(
        "price",
        "q.csv",
        "-o",
        "v.csv",
        "--method",
        "european",
        "--implied-vol",
        "--strict",
        cwd=tmp_path,
    )
    assert proc.returncode == 3 and proc.stderr.endswith("2 rows priced, 1 with a NaN result\n"), (
        proc.stderr
    )
    assert len(read_csv(tmp_path / "v.csv")) == 3


def test_option_types_follow_one_rule(tmp_path, run):
    """0.5 is a call for the book (and american_price), as any number > 0, even
    where the lattice kernel would cast it to the put 0; 2**40 does not wrap."""
    rows = valid_rows(6)[:3]
    typed = [r[:6] + [t] for r, t in zip(rows, ["0.5", "1099511627776", "Put"])]
    write_csv(tmp_path / "b.csv", HEADER, typed)
    assert (
        run("price", tmp_path / "b.csv", "-o", tmp_path / "o.csv", "--steps", "25").returncode == 0
    )
    a = arrays(rows)
    np.testing.assert_array_equal(
        [float(r[-1]) for r in read_csv(tmp_path / "o.csv")[1:]],
        orvelta.american_tree_batch(*a[:6], np.array([1, 1, 0], np.int32), steps=25),
    )


def test_header_names_in_any_case_and_files_that_end_early_or_late(tmp_path, run):
    rows = valid_rows(6)[:3]
    text = (
        HEADER.upper().replace("OPTION_TYPE", "Option_Type")
        + "\n"
        + "".join(",".join(r) + "\n" for r in rows)
    )
    for name, content in (
        ("blank.csv", text + "\n\n  \n"),
        ("crlf.csv", text.replace("\n", "\r\n") + "\r\n"),
        ("open.csv", text.rstrip("\n")),
    ):
        (tmp_path / name).write_text(content, newline="")
        proc = run("price", name, "-o", "o_" + name, "--steps", "20", cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        out = read_csv(tmp_path / ("o_" + name))
        assert out[0][:7] == text.split("\n")[0].split(",") and len(out) == 4
        np.testing.assert_array_equal(
            [float(r[-1]) for r in out[1:]], orvelta.american_tree_batch(*arrays(rows), steps=20)
        )
    (tmp_path / "header.csv").write_text(HEADER)  # no newline, no rows
    proc = run("price", "header.csv", "-o", "h.csv", cwd=tmp_path)
    assert proc.returncode == 0 and read_csv(tmp_path / "h.csv") == [HEADER.split(",") + ["price"]]


# --------------------------------------------------------------------------- files, signals, devices


def test_a_fifo_is_written_in_place_and_never_replaced(tmp_path, run):
    import threading

    write_csv(tmp_path / "b.csv", HEADER, book_rows(5))
    fifo = tmp_path / "out.csv"
    os.mkfifo(fifo)
    got = {}
    reader = threading.Thread(target=lambda: got.setdefault("text", fifo.read_text()), daemon=True)
    reader.start()
    proc = run("price", tmp_path / "b.csv", "-o", fifo, "--steps", "10")
    reader.join(timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert stat_kind(fifo) == "fifo" and leftovers(tmp_path) == []
    assert got["text"].splitlines()[0] == HEADER + ",price" and len(got["text"].splitlines()) == 6


def stat_kind(path):
    import stat

    mode = os.stat(path).st_mode
    return (
        "fifo"
        if stat.S_ISFIFO(mode)
        else "char"
        if stat.S_ISCHR(mode)
        else "regular"
        if stat.S_ISREG(mode)
        else "other"
    )


def test_devices_are_written_in_place(tmp_path, run):
    write_csv(tmp_path / "b.csv", HEADER, book_rows(5))
    assert run("price", tmp_path / "b.csv", "-o", "/dev/null", "--steps", "10").returncode == 0
    assert stat_kind("/dev/null") == "char"
    proc = run("sample-book", 100000, "-o", "/dev/full")
    assert (proc.returncode, proc.stderr) == (1, "orvelta sample-book: No space left on device\n")
    # No temporary file beside the device (it used to fill the RAM-backed /dev).
    assert stat_kind("/dev/full") == "char" and not list(Path("/dev").glob(".full.*.part"))
    proc = run("price", tmp_path / "b.csv", "-o", "/dev/full", "--steps", "10")
    assert (proc.returncode, proc.stderr) == (1, "orvelta price: No space left on device\n")


@pytest.mark.parametrize("command", ["price", "sample-book"])
def test_folders_and_missing_folders_are_one_line_errors(tmp_path, run, command):
    write_csv(tmp_path / "b.csv", HEADER, book_rows(5))
    args = ["price", "b.csv"] if command == "price" else ["sample-book", "5"]
    for target, message in (
        ("sub", "cannot write sub: it is a folder"),
        ("nowhere/o.csv", f"cannot write nowhere/o.csv: no folder {tmp_path / 'nowhere'}"),
    ):
        (tmp_path / "sub").mkdir(exist_ok=True)
        proc = run(*args, "-o", target, cwd=tmp_path)
        assert (proc.returncode, proc.stderr) == (2, f"orvelta {command}: {message}\n")
        assert (tmp_path / "sub").is_dir() and leftovers(tmp_path) == []


def test_a_field_over_the_csv_module_limit_and_a_bad_row(tmp_path, run):
    wide = "x" * 200_000
    (tmp_path / "b.csv").write_text(
        "note," + HEADER + f"\n{wide},100,100,0.05,0,0.2,1,0\nn,100,100,0.05,0,0.2,1\n"
    )
    proc = run("price", "b.csv", "-o", "o.csv", cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (
        2,
        "orvelta price: b.csv, line 3: expected 8 fields, found 7\n",
    )
    (tmp_path / "c.csv").write_text(HEADER + f"\n{wide},100,0.05,0,0.2,1,0\n")
    proc = run("price", "c.csv", "-o", "o.csv", cwd=tmp_path)
    assert proc.returncode == 2 and proc.stderr.startswith(
        "orvelta price: c.csv, line 2, column s: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'... (200000 characters) "
        "is not a number\n"
    )


def wait_for_part(folder, proc, timeout=120):
    deadline = time.monotonic() + timeout
    while not leftovers(folder) and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.05)
    assert leftovers(folder), "the run never started writing"


@pytest.mark.parametrize(
    "signum, code, word",
    [(signal.SIGTERM, 143, "terminated (SIGTERM)"), (signal.SIGHUP, 129, "hung up (SIGHUP)")],
)
@pytest.mark.parametrize("command", ["price", "sample-book"])
def test_sigterm_and_sighup_clean_up_like_ctrl_c(tmp_path, run, signum, code, word, command):
    if command == "price":
        assert run("sample-book", 20000, "-o", tmp_path / "b.csv").returncode == 0
        args = ["price", "b.csv", "-o", "o.csv", "--steps", "1500"]
    else:
        args = ["sample-book", "50000000", "-o", "o.csv"]
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvelta", *args], cwd=tmp_path, stderr=subprocess.PIPE, text=True
    )
    try:
        wait_for_part(tmp_path, proc)
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert (proc.returncode, err) == (code, f"orvelta {command}: {word}\n")
    assert leftovers(tmp_path) == [] and not (tmp_path / "o.csv").exists()


def test_ctrl_c_ends_the_run_at_once_while_a_slice_is_priced(tmp_path, run):
    """A slice of 16,384 options at --tol 1e-10 with Greeks takes minutes; the
    command used to print "interrupted" at once and exit when the slice was
    done. It now exits right after the message."""
    assert run("sample-book", 20000, "-o", tmp_path / "b.csv").returncode == 0
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "orvelta",
            "price",
            "b.csv",
            "-o",
            "o.csv",
            "--method",
            "accurate",
            "--greeks",
            "--tol",
            "1e-10",
        ],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        wait_for_part(tmp_path, proc)
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        start = time.monotonic()
        _, err = proc.communicate(timeout=30)
        latency = time.monotonic() - start
    finally:
        proc.kill()
    assert (proc.returncode, err) == (130, "orvelta price: interrupted\n")
    assert latency < 2.0 and leftovers(tmp_path) == []


@pytest.mark.parametrize("option_type", ["1", "put", "-1.5"])
def test_pricing_a_csv_book_does_not_import_pandas(tmp_path, run_python, option_type):
    # pyarrow imports pandas on some conversions (pa.array of a NumPy array among
    # them): half a second per run, more than a small book's pricing.
    src = tmp_path / "book.csv"
    src.write_text(f"s,k,r,q,sigma,tau,option_type\n100,100,0.05,0.02,0.2,1,{option_type}\n")
    out = run_python(
        f"""
        import sys
        from orvelta.__main__ import main
        code = main(["price", {str(src)!r}, "-o", {str(tmp_path / "out.csv")!r}, "--quiet"])
        print(code, "pandas" in sys.modules)
        """
    )
    assert out.split() == ["0", "False"]


def test_a_csv_book_left_early_ends_its_read_ahead(tmp_path, run_python):
    # Arrow reads a CSV book ahead, on threads of its own, through Python. A
    # run that stops before the end (an error, Ctrl-C, SIGTERM) must end that
    # read-ahead before it goes on: a thread still reading while the
    # interpreter shuts down aborts the process (seen on Python 3.13, where
    # SIGTERM then gave -6 instead of 143). Ended, its last read is the end
    # of the file and nothing is read after.
    src = tmp_path / "b.csv"
    src.write_text(HEADER + "\n" + "100,100,0.05,0.02,0.2,1,0\n" * 100_000)
    out = run_python(
        f"""
        import time
        from orvelta.book import formats
        formats.CSV_BLOCK_BYTES = 4096  # a read-ahead of 128 KiB, far short of the book
        got = []
        real = formats._Limited.readinto
        def counted(self, b):
            got.append(real(self, b))
            return got[-1]
        formats._Limited.readinto = counted
        batches = formats.Reader({str(src)!r}, "csv").batches()
        next(batches)
        batches.close()
        reads = len(got)
        time.sleep(0.3)
        print(len(got) - reads, got[-1], reads < 200)
        """,
        timeout=60,
    )
    assert out.split() == ["0", "0", "True"]
