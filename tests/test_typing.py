"""Static typing of the installed package: mypy --strict on calls written as a user would."""

import ast
import inspect
import pydoc
import re
import subprocess
import sys

import pytest

import orvelta
from orvelta import kernels

GOOD = """\
import numpy as np
from numpy.typing import NDArray

import orvelta

res = orvelta.american_tree_boundary(100.0, 100.0, 0.05, 0.02, 0.2, 1.0, 0)
price: float = res["price"]
times: NDArray[np.float64] = res["times"]
n = 100
rng = np.random.default_rng(0)
prices: NDArray[np.float64] = orvelta.american_tree_batch(
    rng.uniform(80, 120, n), np.full(n, 100.0), np.full(n, 0.05), np.zeros(n),
    np.full(n, 0.2), np.full(n, 1.0), np.zeros(n, dtype=np.int32), steps=50)
small = orvelta.american_tree_batch([100.0], [100], [0.05], [0.0], [0.2], [1.0], [0], tree_type=1, american=False)
grid = orvelta.american_pde_psor(100, 100, 0.05, 0.0, 0.2, 1.0, 0, s_steps=40, t_steps=20, omega=1.2)
surface: NDArray[np.float64] = grid["values"]
batch = orvelta.american_pde_psor_batch([100.0], [100.0], [0.05], [0.0], [0.2], [1.0], [0], s_steps=40)
residuals: NDArray[np.float64] = batch["residuals"]
paths = orvelta.gbm_paths_antithetic(100.0, 0.05, 0.0, 0.2, 1.0, 10, 200, seed=np.uint32(3))
fit = orvelta.lsm_backward(paths, 100.0, 0.05, 1.0, 0, degree=2)
policy = orvelta.lsm_eval_policy(paths, 100.0, 0.05, 1.0, 0, fit["coefficients"])
dates: NDArray[np.int32] = policy["exercise_time"]
fft = orvelta.fft_prices(3, [], 100.0, 0.05, 0.0, 1.0, n=64)
strikes: NDArray[np.float64] = fft["strikes"]
direct = orvelta.direct_prices(1, [0.2, 0.3], [90.0, 110.0], [1.0, 0.5], 100.0, 0.05, 0.0)
cos = orvelta.cos_prices(0, np.array([0.2]), (100.0,), [1.0], 100.0, 0.05, 0.0, truncation_width=10.0)
version: str = orvelta.__version__
print(price + fit["price"] + policy["price"] + float(cos[0] + direct[0] + prices[0] + small[0]))
"""

# Each line is a mistake that mypy must flag with the error code after "# E:".
BAD = """\
import numpy as np

import orvelta

orvelta.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=200.5)  # E: arg-type
orvelta.gbm_paths_antithetic(100.0, 0.05, 0.0, 0.2, 1.0, 50.0, 100)  # E: arg-type
orvelta.american_tree_batch("100", [100.0], [0.05], [0.0], [0.2], [1.0], [0])  # E: arg-type
orvelta.cos_prices(0, [], "100", [1.0], 100.0, 0.05, 0.0)  # E: arg-type
orvelta.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0)["prise"]  # E: typeddict-item
orvelta.fft_prices(0, [], 100.0, 0.05, 0.0, 1.0)["price"]  # E: typeddict-item
orvelta.american_tree_batches  # E: attr-defined
"""


def _run_mypy(tmp_path, cache):
    cmd = [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--show-error-codes",
        "--no-error-summary",
        "--no-color-output",
        "--cache-dir",
        str(cache),
        "good.py",
        "bad.py",
    ]
    proc = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory, request):
    pytest.importorskip("mypy")
    folder = tmp_path_factory.mktemp("typing")
    (folder / "good.py").write_text(GOOD)
    (folder / "bad.py").write_text(BAD)
    # mypy's cache lives in pytest's when there is one: later runs take a second, not ten.
    pytest_cache = getattr(request.config, "cache", None)
    cache = pytest_cache.mkdir("mypy") if pytest_cache else folder / ".mypy_cache"
    return folder, _run_mypy(folder, cache)


def test_readme_style_calls_pass_strict(mypy_report):
    folder, report = mypy_report
    assert not [line for line in report.splitlines() if line.startswith("good.py")], report
    # And they run.
    subprocess.run(
        [sys.executable, "good.py"], cwd=folder, check=True, capture_output=True, timeout=300
    )


def test_mistakes_are_flagged(mypy_report):
    _, report = mypy_report
    expected = {
        (no, m.group(1))
        for no, line in enumerate(BAD.splitlines(), 1)
        if (m := re.search(r"# E: (\S+)", line))
    }
    found = {
        (int(m.group(1)), m.group(2))
        for m in re.finditer(r"^bad\.py:(\d+): error: .*\[([a-z-]+)\]$", report, re.M)
    }
    assert found == expected, report


@pytest.mark.parametrize("name", kernels.__all__)
def test_help_documents_every_argument_with_its_default(name):
    fn = getattr(orvelta, name)
    doc = inspect.getdoc(fn)
    assert doc.splitlines()[0] in pydoc.render_doc(fn, renderer=pydoc.plaintext)
    _, _, rest = doc.partition("Parameters\n----------\n")
    assert rest and "Returns\n-------\n" in rest, name
    for pname, p in inspect.signature(fn).parameters.items():
        line = re.search(rf"^(?:\w+, )*{pname}(?:, \w+)* : (.*)$", rest, re.M)
        assert line, f"{name}: {pname} undocumented"
        default = re.search(r"default (\S+)$", line.group(1))
        if p.default is inspect.Parameter.empty:
            assert default is None, f"{name}: {pname} has no default"
        else:
            assert default and ast.literal_eval(default.group(1)) == p.default, (
                f"{name}: default of {pname}"
            )


FOURIER = ["fft_prices", "direct_prices", "cos_prices"]


@pytest.mark.parametrize("name", FOURIER)
def test_fourier_help_carries_the_model_table(name):
    doc = getattr(orvelta, name).__doc__
    for model in (
        "1, Merton",
        "2, variance gamma",
        "3, Heston",
        "4, Bates",
        "any other value, Black-Scholes",
    ):
        assert model in doc
    for layout in (
        "[sigma 0.2, lambda 0.3",
        "[sigma 0.2, theta -0.08, nu 0.2]",
        "[v0 0.04, kappa 2.0, theta 0.04, sigma_v 0.6, rho -0.5]",
        "lambda 0.3, mu_J -0.05, delta_J 0.2]",
    ):
        assert layout in doc
