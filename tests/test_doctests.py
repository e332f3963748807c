"""The Examples sections of the installed package's docstrings, run as doctests.

Every module of the package is searched, so an example added to any public
docstring is checked here against the installed build (a wheel's too)."""

import doctest
import importlib
import pkgutil

import pytest

import orvelta

MODULES = ["orvelta"] + sorted(
    m.name
    for m in pkgutil.walk_packages(orvelta.__path__, "orvelta.")
    if not m.name.endswith("__main__")
)


def _examples():
    finder = doctest.DocTestFinder(exclude_empty=True)
    found = []
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:  # a module of an optional extra that is not installed
            continue
        for test in finder.find(module, name):
            if test.examples and test.name.startswith(name):
                found.append(pytest.param(test, id=test.name))
    return found


EXAMPLES = _examples()


def test_the_user_level_functions_have_examples():
    names = {p.id for p in EXAMPLES}
    for name in (
        "american_price",
        "american_greeks",
        "american_implied_vol",
        "lsm_price",
        "european_price",
        "implied_vol",
        "calibrate",
        "american_tree_batch",
        "cos_prices",
    ):
        assert any(n.endswith(f".{name}") for n in names), name


@pytest.mark.parametrize("test", EXAMPLES)
def test_docstring_example(test):
    if "calibrate" in test.name:
        pytest.importorskip("scipy")
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    test.globs = dict(test.globs)
    result = runner.run(test, out=lambda text: pytest.fail(text, pytrace=False), clear_globs=True)
    assert result.failed == 0 and result.attempted == len(test.examples)
