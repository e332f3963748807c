"""The installed package: metadata, extras, the OpenMP runtime it loads, the demo without matplotlib."""

import ast
import json
import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import orvelta
from _helpers import demo_output

HERE = Path(__file__).resolve().parent
PACKAGE = Path(orvelta.__file__).resolve().parent
# A wheel installs libgomp beside the package; a development build uses the system's.
WHEEL_LIBS = PACKAGE.parent / "orvelta.libs"


def _requirements(extra=None):
    """Distribution names required by orvelta (for an extra, only those it adds)."""
    names = set()
    for req in metadata.requires("orvelta") or []:
        name = re.match(r"[A-Za-z0-9._-]+", req).group(0)
        marker = req.partition(";")[2]
        if (extra is None and not marker) or (
            extra is not None and f'extra == "{extra}"' in marker
        ):
            names.add(_normalise(name))
    return names


def _normalise(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def test_metadata():
    meta = metadata.metadata("orvelta")
    assert meta["Version"] == orvelta.__version__ == metadata.version("orvelta")
    # The interpreters wheels are built for, and no other, in both places pip and PyPI read.
    assert sorted(meta["Requires-Python"].split(",")) == ["<3.14", ">=3.10"]
    shipped = ["3.10", "3.11", "3.12", "3.13"]
    versions = [
        c.rsplit(" :: ", 1)[1]
        for c in meta.get_all("Classifier")
        if c.startswith("Programming Language :: Python :: 3.")
    ]
    assert versions == shipped
    assert "{}.{}".format(*sys.version_info[:2]) in shipped
    assert meta["License-Expression"] == "BSD-3-Clause"
    assert "LICENSE" in meta.get_all("License-File")
    assert _requirements() == {"numpy"}
    assert set(meta.get_all("Provides-Extra")) >= {
        "demo",
        "test",
        "bench",
        "docs",
        "fit",
        "io",
        "dask",
    }
    assert "matplotlib" in _requirements("demo")
    scripts = {
        ep.name: ep.value
        for ep in metadata.entry_points(group="console_scripts")
        if ep.dist.name == "orvelta"
    }
    assert scripts == {"orvelta": "orvelta.__main__:main"}


def test_typing_files_are_installed():
    for name in ("py.typed", "_kernels.pyi", "_engines.pyi"):
        assert (PACKAGE / name).is_file(), name


def _third_party_imports(folder):
    local = {p.stem for p in folder.glob("*.py")} | {"orvelta"}
    found = set()
    for path in folder.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                found.update(alias.name.split(".")[0] for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                found.add(node.module.split(".")[0])
    return {name for name in found - local if name not in sys.stdlib_module_names}


@pytest.mark.parametrize("folder, extra", [("tests", "test"), ("bench", "bench"), ("docs", "docs")])
def test_extras_cover_what_each_part_imports(folder, extra):
    path = HERE.parent / folder
    if not path.is_dir():
        pytest.skip(f"no {folder}/ folder beside the tests")
    distributions = metadata.packages_distributions()
    provided = _requirements(extra) | _requirements()
    missing = set()
    for module in _third_party_imports(path):
        dists = {_normalise(d) for d in distributions.get(module, [module])}
        if not dists & provided:
            missing.add(module)
    assert not missing, f"imported by {folder}/ but not in orvelta[{extra}]: {sorted(missing)}"


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("orvelta")
    proc = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout.startswith("usage: orvelta")


# The OpenMP runtime as seen from threadpoolctl, from /proc/self/maps and from
# the number of threads the process runs. OMP_NUM_THREADS=2 fixes the default
# team; libgomp starts worker threads at the first region with more than one.
OPENMP_PROBE = """
import json, os
import numpy as np
import orvelta
from threadpoolctl import threadpool_info, threadpool_limits

def batch(n):
    rng = np.random.default_rng(5)
    return orvelta.american_tree_batch(rng.uniform(80, 120, n), np.full(n, 100.0), np.full(n, 0.05),
        np.zeros(n), np.full(n, 0.2), np.full(n, 1.0), np.arange(n, dtype=np.int32) % 2, steps=64)

def openmp():
    return [i for i in threadpool_info() if i["user_api"] == "openmp"]

def threads():
    return len(os.listdir("/proc/self/task"))

def mapped():
    with open("/proc/self/maps") as maps:
        return sorted({os.path.realpath(line.split()[-1]) for line in maps if "libgomp" in line})

batch(8)  # runs on the calling thread
out = {"info": openmp(), "maps": mapped(), "before": threads()}
with threadpool_limits(1, user_api="openmp"):
    out["limited_info"] = [i["num_threads"] for i in openmp()]
    limited = batch(256)
    out["limited"] = threads()
free = batch(256)
out["free"] = threads()
out["same_bits"] = limited.tobytes() == free.tobytes()
print(json.dumps(out))
"""


def test_threadpoolctl_sees_and_limits_the_modules_openmp_runtime(run_python):
    out = json.loads(run_python(OPENMP_PROBE, env={"OMP_NUM_THREADS": "2"}))
    (info,) = out["info"]
    assert info["internal_api"] == "openmp" and info["prefix"] == "libgomp"
    assert info["num_threads"] == 2
    # threadpoolctl reports the one libgomp the process mapped.
    assert out["maps"] == [str(Path(info["filepath"]).resolve())]
    if WHEEL_LIBS.is_dir():
        assert Path(out["maps"][0]).parent == WHEEL_LIBS.resolve()
    # Under the limit the batch starts no worker; without it the team of two does.
    assert out["limited_info"] == [1]
    assert out["limited"] == out["before"]
    assert out["free"] == out["before"] + 1
    assert out["same_bits"]


def test_demo_without_matplotlib_prints_its_tables_and_names_the_extra(tmp_path):
    out = demo_output(tmp_path, without="matplotlib")
    for row in (
        "Cox-Ross-Rubinstein lattice",
        "Longstaff-Schwartz out-of-sample",
        "Heston",
        "Bates",
    ):
        assert row in out
    assert out.count("needs matplotlib (pip install 'orvelta[demo]')") == 3
    assert not list(tmp_path.glob("*.png"))


def test_demo_without_scipy_skips_the_calibration_and_names_the_extra(tmp_path):
    out = demo_output(tmp_path, without="scipy")
    assert (
        "Heston calibration to a synthetic smile: needs scipy (pip install 'orvelta[demo]')" in out
    )
