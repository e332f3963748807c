"""Books with discrete dividends: `orvelta price --dividends FILE` and
orvelta.dask.price_frame(..., dividends=...), each row priced with its
underlying's schedule exactly as american_price prices it."""

import csv

import pytest

import orvelta

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

DIVS = {"ACME": [(0.25, 1.5), (0.5, 1.5)], "BETA": [(0.3, 0.02)]}
KINDS = {"ACME": "cash", "BETA": "proportional"}
TOL = 1e-4


def write_csv(path, header, rows):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(header)
        w.writerows(rows)
    return path


def book():
    return [
        ["ACME", 100, 100, 0.05, 0.0, 0.25, 1.0, -1],
        ["BETA", 50, 55, 0.03, 0.0, 0.3, 0.5, -1],
        ["ACME", 100, 95, 0.05, 0.0, 0.25, 0.75, 1],
        ["NONE", 80, 80, 0.02, 0.01, 0.2, 0.5, 1],
    ]


def dividend_rows(kind_column=True):
    rows = []
    for name, divs in DIVS.items():
        for t, a in divs:
            rows.append([name, t, a] + ([KINDS[name]] if kind_column else []))
    return rows


def expected(rows):
    out = []
    for name, s, k, r, q, sigma, tau, ot in rows:
        kw = {}
        if name in DIVS:
            kw = dict(dividends=DIVS[name], dividend_kind=KINDS[name])
        out.append(orvelta.american_price(s, k, r, q, sigma, tau, ot, tol=TOL, **kw))
    return out


HEADER = ["underlying", "s", "k", "r", "q", "sigma", "tau", "option_type"]


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_book_with_a_dividend_file_prices_each_underlying_with_its_schedule(run, tmp_path, fmt):
    rows = book()
    src = write_csv(tmp_path / "book.csv", HEADER, rows)
    divs = write_csv(
        tmp_path / "divs.csv", ["underlying", "ex_tau", "amount", "kind"], dividend_rows()
    )
    if fmt == "parquet":
        import pyarrow.csv as pcsv

        t = pcsv.read_csv(divs)
        divs = tmp_path / "divs.parquet"
        pq.write_table(t, divs)
    out = tmp_path / "out.csv"
    res = run(
        "price", src, "-o", out, "--method", "accurate", "--tol", TOL, "--dividends", divs, "-q"
    )
    assert res.returncode == 0, res.stderr
    with open(out) as f:
        got = [float(r["price"]) for r in csv.DictReader(f)]
    assert got == expected(rows)


def price_acme_without_kinds(run, tmp_path, *extra):
    """Runs `orvelta price` on the ACME rows of the book with a dividend file that has
    no kind column; returns the rows and the output's records."""
    rows = [r for r in book() if r[0] == "ACME"]
    src = write_csv(tmp_path / "book.csv", HEADER, rows)
    divs = write_csv(
        tmp_path / "divs.csv",
        ["underlying", "ex_tau", "amount"],
        [r for r in dividend_rows(False) if r[0] == "ACME"],
    )
    out = tmp_path / "out.csv"
    res = run(
        "price",
        src,
        "-o",
        out,
        "--method",
        "accurate",
        "--tol",
        TOL,
        *extra,
        "--dividends",
        divs,
        "-q",
    )
    assert res.returncode == 0, res.stderr
    with open(out) as f:
        return rows, list(csv.DictReader(f))


def test_dividend_file_without_kind_is_cash(run, tmp_path):
    rows, got = price_acme_without_kinds(run, tmp_path)
    assert [float(r["price"]) for r in got] == expected(rows)


@pytest.mark.parametrize(
    "div_rows, message",
    [
        ([["ACME", "0.25", "x"]], "divs.csv, line 2, column amount: 'x' is not a number"),
        ([["ACME", "0.25", "1"], ["ACME", "", "1"]], "divs.csv, line 3, column ex_tau: empty cell"),
        (
            [["ACME", "0.25", "-1"]],
            "divs.csv, line 2, column amount: -1.0 is not a finite non-negative amount",
        ),
        ([["", "0.25", "1"]], "divs.csv, line 2, column underlying: empty cell"),
    ],
)
def test_bad_dividend_rows_name_line_and_column(run, tmp_path, div_rows, message):
    src = write_csv(tmp_path / "book.csv", HEADER, book())
    divs = write_csv(tmp_path / "divs.csv", ["underlying", "ex_tau", "amount"], div_rows)
    res = run(
        "price", src, "-o", tmp_path / "out.csv", "--method", "accurate", "--dividends", divs, "-q"
    )
    assert res.returncode == 2
    assert res.stderr.strip() == f"orvelta price: {message}"


@pytest.mark.parametrize(
    "div_rows, message",
    [
        (
            [["ACME", "0.25", "1", "stock"]],
            "divs.csv, line 2, column kind: 'stock' is not cash or proportional",
        ),
        (
            [["ACME", "0.25", "1.5", "proportional"]],
            "divs.csv, line 2, column amount: 1.5 is not a fraction in [0, 1] (kind proportional)",
        ),
        (
            [["ACME", "0.25", "1", "cash"], ["ACME", "0.5", "0.1", "proportional"]],
            "divs.csv, line 3, column kind: proportional, but 'ACME' has cash dividends (divs.csv, line 2); "
            "one underlying takes one kind",
        ),
    ],
)
def test_bad_kinds_name_line_and_column(run, tmp_path, div_rows, message):
    src = write_csv(tmp_path / "book.csv", HEADER, book())
    divs = write_csv(tmp_path / "divs.csv", ["underlying", "ex_tau", "amount", "kind"], div_rows)
    res = run(
        "price", src, "-o", tmp_path / "out.csv", "--method", "accurate", "--dividends", divs, "-q"
    )
    assert res.returncode == 2
    assert res.stderr.strip() == f"orvelta price: {message}"


def test_missing_columns_and_methods(run, tmp_path):
    src = write_csv(tmp_path / "book.csv", HEADER[1:], [r[1:] for r in book()])
    divs = write_csv(
        tmp_path / "divs.csv", ["underlying", "ex_tau", "amount"], dividend_rows(False)
    )
    res = run(
        "price", src, "-o", tmp_path / "o.csv", "--method", "accurate", "--dividends", divs, "-q"
    )
    assert res.returncode == 2
    assert res.stderr.strip() == "orvelta price: book.csv, line 1: missing column 'underlying'"
    bad = write_csv(tmp_path / "bad.csv", ["underlying", "amount"], [["ACME", "1"]])
    res = run(
        "price", src, "-o", tmp_path / "o.csv", "--method", "accurate", "--dividends", bad, "-q"
    )
    assert res.stderr.strip() == "orvelta price: bad.csv, line 1: missing column 'ex_tau'"
    res = run("price", src, "-o", tmp_path / "o.csv", "--method", "tree", "--dividends", divs, "-q")
    assert res.returncode == 2 and "--dividends needs --method accurate" in res.stderr
    res = run(
        "price",
        src,
        "-o",
        tmp_path / "o.csv",
        "--method",
        "accurate",
        "--dividends",
        tmp_path / "nothere.csv",
        "-q",
    )
    assert res.returncode == 2 and "no such file" in res.stderr


def test_bad_underlying_cell_in_the_book(run, tmp_path):
    rows = book()
    rows[2][0] = ""
    src = write_csv(tmp_path / "book.csv", HEADER, rows)
    divs = write_csv(
        tmp_path / "divs.csv", ["underlying", "ex_tau", "amount"], dividend_rows(False)
    )
    res = run(
        "price", src, "-o", tmp_path / "o.csv", "--method", "accurate", "--dividends", divs, "-q"
    )
    assert res.returncode == 2
    assert (
        res.stderr.splitlines()[0]
        == "orvelta price: book.csv, line 4, column underlying: empty cell"
    )


def test_greeks_and_implied_vols_with_dividends(run, tmp_path):
    rows, got = price_acme_without_kinds(run, tmp_path, "--greeks")
    for row, g in zip(rows, got):
        _, s, k, r, q, sigma, tau, ot = row
        ref = orvelta.american_greeks(s, k, r, q, sigma, tau, ot, tol=TOL, dividends=DIVS["ACME"])
        assert float(g["delta"]) == ref["delta"] and float(g["price"]) == ref["price"]


def test_dask_frame_with_dividends_equals_the_command_line():
    pd = pytest.importorskip("pandas")
    pytest.importorskip("dask.dataframe")
    from orvelta.dask import price_frame

    rows = book()
    df = pd.DataFrame(rows, columns=HEADER)
    divs = pd.DataFrame(dividend_rows(), columns=["underlying", "ex_tau", "amount", "kind"])
    got = price_frame(df, "accurate", tol=TOL, dividends=divs)
    assert got["price"].tolist() == expected(rows)
    import dask.dataframe as dd

    lazy = price_frame(dd.from_pandas(df, npartitions=2), "accurate", tol=TOL, dividends=divs)
    assert lazy.compute(scheduler="synchronous")["price"].tolist() == expected(rows)
    bad = divs.copy()
    bad.loc[1, "amount"] = -2.0
    with pytest.raises(
        ValueError, match=r"^dividends row 1, column amount: -2.0 is not a finite non-negative"
    ):
        price_frame(df, "accurate", tol=TOL, dividends=bad)
    with pytest.raises(ValueError, match="--dividends needs --method accurate"):
        price_frame(df, "tree", dividends=divs)
