"""The module frame: import, function table, argument conversion and checks."""

import glob
import inspect
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import orvelta
from orvelta import _kernels as K
from orvelta import kernels

# The documented wrappers: the compiled module must register the same names, in this order.
TABLE = list(kernels.__all__)


def test_docstring_and_function_table_in_registration_order():
    assert K.__doc__ == "Compiled numerical kernels for Orvelta option projects"
    public = [name for name, obj in vars(K).items() if callable(obj) and not name.startswith("_")]
    assert public == TABLE
    # Exactly the ten kernels, whatever their order.
    assert sorted(TABLE) == sorted(
        "american_tree_batch american_tree_boundary american_pde_psor american_pde_psor_batch"
        " gbm_paths_antithetic lsm_backward lsm_eval_policy fft_prices direct_prices cos_prices".split()
    )


def test_package_exports_the_documented_wrappers():
    assert set(TABLE) <= set(orvelta.__all__)
    for name in TABLE:
        wrapper = getattr(orvelta, name)
        assert wrapper is getattr(kernels, name)
        assert wrapper.__name__ == name and wrapper.__doc__
        # The compiled functions keep only their generated signature.
        kernel_doc = getattr(K, name).__doc__
        assert (
            kernel_doc.startswith(f"{name}(")
            and kernel_doc.count("\n") == 1
            and kernel_doc.endswith("\n")
        )


def _wrapper_parameters(fn):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
        for p in inspect.signature(fn).parameters.values()
    ]


@pytest.mark.parametrize("name", TABLE)
def test_wrapper_signature_matches_the_compiled_one(name):
    assert _wrapper_parameters(getattr(orvelta, name)) == _runtime_parameters(getattr(K, name))


_PATHS = K.gbm_paths_antithetic(100.0, 0.05, 0.0, 0.2, 1.0, 10, 200, 3)
_COEFFS = K.lsm_backward(_PATHS, 100.0, 0.05, 1.0, 0)["coefficients"]
_ARRAYS = dict(
    s=[100.0, 90.0],
    k=[100.0, 95.0],
    r=[0.05, 0.03],
    q=[0.0, 0.01],
    sigma=[0.2, 0.3],
    tau=[1.0, 0.5],
    option_type=[0, 1],
)
# One valid call per function, positional and by keyword, and one the binding refuses.
CALLS = [
    ("american_tree_batch", (*_ARRAYS.values(),), dict(steps=50, tree_type=1), dict(steps=50.5)),
    (
        "american_tree_boundary",
        (100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0),
        dict(steps=40, american=False),
        dict(tree_type=1.0),
    ),
    (
        "american_pde_psor",
        (100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0),
        dict(s_steps=40, t_steps=20),
        dict(max_iter=10.0),
    ),
    (
        "american_pde_psor_batch",
        (*_ARRAYS.values(),),
        dict(s_steps=40, t_steps=20, omega=1.2),
        dict(s_steps="40"),
    ),
    ("gbm_paths_antithetic", (100.0, 0.05, 0.0, 0.2, 1.0, 5, 8), dict(seed=11), dict(seed=-1)),
    ("lsm_backward", (_PATHS, 100.0, 0.05, 1.0, 0), dict(degree=2), dict(degree=2.0)),
    ("lsm_eval_policy", (_PATHS, 100.0, 0.05, 1.0, 0, _COEFFS), {}, dict(option_type=0.5)),
    ("fft_prices", (3, [], 100.0, 0.05, 0.0, 1.0), dict(n=64, eta=0.3), dict(n=64.0)),
    (
        "direct_prices",
        (1, [0.2], [90.0, 110.0], [1.0, 0.5], 100.0, 0.05, 0.0),
        dict(n_terms=128),
        dict(strikes="abc"),
    ),
    (
        "cos_prices",
        (2, [], [90.0, 110.0], [1.0, 0.5], 100.0, 0.05, 0.0),
        dict(option_type=0),
        dict(n_terms=None),
    ),
]


def _assert_same(a, b):
    assert type(a) is type(b)
    if isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            _assert_same(a[key], b[key])
    elif isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert a.tobytes() == b.tobytes()
    else:
        assert np.float64(a).tobytes() == np.float64(b).tobytes()


@pytest.mark.parametrize("name, args, kwargs, bad", CALLS, ids=[c[0] for c in CALLS])
def test_wrapper_gives_the_kernels_bits_and_errors(name, args, kwargs, bad):
    wrapper, kernel = getattr(orvelta, name), getattr(K, name)
    _assert_same(wrapper(*args), kernel(*args))
    _assert_same(wrapper(*args, **kwargs), kernel(*args, **kwargs))
    names = [p for p, _ in _runtime_parameters(kernel)]
    as_keywords = dict(zip(names, args)) | kwargs
    _assert_same(wrapper(**as_keywords), kernel(*args, **kwargs))
    # The wrapper hands every argument on by position: the kernel's own refusal comes out.
    bound = inspect.signature(wrapper).bind(**(as_keywords | bad))
    bound.apply_defaults()
    with pytest.raises(TypeError) as from_kernel:
        kernel(*bound.args)
    with pytest.raises(TypeError) as from_wrapper:
        wrapper(**(as_keywords | bad))
    assert str(from_wrapper.value) == str(from_kernel.value)
    assert f"{name}(): incompatible function arguments" in str(from_wrapper.value)


def test_kernel_errors_pass_through_the_wrappers():
    with pytest.raises(RuntimeError, match="^all input arrays must have the same length$"):
        orvelta.american_tree_batch(**{**_ARRAYS, "tau": [1.0]})
    with pytest.raises(RuntimeError, match="^strikes and tau must have the same length$"):
        orvelta.cos_prices(0, [], [100.0, 110.0], [1.0], 100.0, 0.05, 0.0)
    with pytest.raises(
        ValueError, match=re.escape("array has incorrect number of dimensions: 2; expected 1")
    ):
        orvelta.fft_prices(0, [[0.2]], 100.0, 0.05, 0.0, 1.0)


@pytest.mark.parametrize(
    "name, fragment",
    [
        ("american_tree_boundary", "steps: typing.SupportsInt | typing.SupportsIndex = 200"),
        ("american_tree_boundary", "tree_type: typing.SupportsInt | typing.SupportsIndex = 0"),
        ("american_tree_boundary", "american: bool = True) -> dict"),
        ("american_tree_batch", "s: typing.Annotated[numpy.typing.ArrayLike, numpy.float64]"),
        (
            "american_tree_batch",
            "option_type: typing.Annotated[numpy.typing.ArrayLike, numpy.int32]",
        ),
        ("american_tree_batch", "-> numpy.typing.NDArray[numpy.float64]"),
    ],
)
def test_generated_signatures(name, fragment):
    assert fragment in getattr(K, name).__doc__


def test_reimport_yields_the_cached_module():
    first = sys.modules.pop("orvelta._kernels")
    try:
        import importlib

        again = importlib.import_module("orvelta._kernels")
        assert again is first
    finally:
        sys.modules["orvelta._kernels"] = first


def test_subinterpreters_are_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    iid = interpreters.create()
    try:
        # CPython 3.12 refuses the compiled module by what it declares, the
        # package on 3.10 and 3.11 before any compiled module loads.
        with pytest.raises(Exception, match="does not support loading in subinterpreters"):
            interpreters.run_string(iid, "import orvelta._kernels")
    finally:
        interpreters.destroy(iid)


def _other_interpreter():
    """A pyenv CPython of another minor version than the running one, the
    nearest older first, and its minor version, if there is one."""
    try:
        root = subprocess.run(
            ["pyenv", "root"], capture_output=True, text=True, check=True
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None, None
    mine = sys.version_info[1]
    for minor in sorted(range(10, 20), key=lambda m: (m > mine, abs(m - mine))):
        if minor != mine:
            found = sorted(
                glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", f"python3.{minor}"))
            )
            if found:
                return found[-1], minor
    return None, None


def test_version_gate_refuses_another_interpreter():
    other, minor = _other_interpreter()
    if other is None:
        pytest.skip("no CPython of another minor version available to load the module")
    code = (
        "import importlib.machinery as m, importlib.util as u, sys\n"
        f"path = {K.__file__!r}\n"
        "loader = m.ExtensionFileLoader('_kernels', path)\n"
        "spec = u.spec_from_file_location('_kernels', path, loader=loader)\n"
        "try:\n"
        "    u.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    print(sys.version)\n"
    )
    out = subprocess.run([other, "-c", code], capture_output=True, text=True, timeout=60).stdout
    message, version = out.splitlines()[0], out.splitlines()[1]
    gate = (
        "Python version mismatch: module was compiled for Python {}.{}, ".format(
            *sys.version_info[:2]
        )
        + f"but the interpreter version is incompatible: {version}."
    )
    if message != gate:
        # The other interpreter may lack a function the module links (3.13's
        # PyThreadState_GetUnchecked in 3.12, 3.12's _PyThreadState_UncheckedGet
        # in 3.13): the loader refuses the module before the gate runs.
        assert re.search(r"undefined symbol: _?Py\w+$", message), message


ONE = dict(s=[100.0], k=[100.0], r=[0.05], q=[0.0], sigma=[0.2], tau=[1.0], option_type=[0])


class TestScalarConversion:
    def test_float_for_int_parameter_is_refused(self):
        with pytest.raises(TypeError, match="american_tree_boundary"):
            K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=200.5)
        with pytest.raises(TypeError, match="american_tree_batch"):
            K.american_tree_batch(**ONE, steps=200.5)

    @pytest.mark.parametrize("steps", [2**31, -(2**31) - 1])
    def test_int_outside_32_bits_is_refused(self, steps):
        with pytest.raises(TypeError):
            K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, steps=steps)

    def test_int_for_float_parameter_is_accepted(self):
        a = K.american_tree_boundary(100, 100, 0, 0, 1, 1, 0, steps=50)["price"]
        b = K.american_tree_boundary(100.0, 100.0, 0.0, 0.0, 1.0, 1.0, 0, steps=50)["price"]
        assert a == b

    def test_numpy_scalars_are_accepted(self):
        a = K.american_tree_boundary(
            np.float32(100), np.float64(100), 0.05, 0.0, 0.2, 1.0, np.int64(0), np.int32(50)
        )
        assert (
            a["price"]
            == K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 50)["price"]
        )

    def test_bool_conversions(self):
        args = (100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0)
        european = K.american_tree_boundary(*args, 50, 0, False)["price"]
        assert K.american_tree_boundary(*args, 50, 0, 0)["price"] == european
        assert K.american_tree_boundary(*args, 50, 0, None)["price"] == european
        # True is the int 1 for steps, which the single pricer raises to 2.
        assert len(K.american_tree_boundary(*args, steps=True)["times"]) == 3

    def test_missing_and_unknown_arguments(self):
        with pytest.raises(TypeError):
            K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0)
        with pytest.raises(TypeError):
            K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, nodes=3)
        with pytest.raises(TypeError):
            K.american_tree_boundary(100.0, 100.0, 0.05, 0.0, 0.2, 1.0, 0, 200, 0, True, 1)

    def test_string_for_array_is_refused(self):
        with pytest.raises(TypeError):
            K.american_tree_batch(**{**ONE, "s": "abc"})

    def test_keyword_and_positional_forms_agree(self):
        pos = K.american_tree_boundary(100.0, 90.0, 0.03, 0.01, 0.25, 0.5, 0, 64, 1, False)
        kw = K.american_tree_boundary(
            american=False,
            tree_type=1,
            steps=64,
            option_type=0,
            tau=0.5,
            sigma=0.25,
            q=0.01,
            r=0.03,
            k=90.0,
            s=100.0,
        )
        assert pos["price"] == kw["price"]
        np.testing.assert_array_equal(pos["boundary"], kw["boundary"])


class TestArrayConversion:
    def test_list_strided_and_foreign_dtypes_match_contiguous_float64(self):
        rng = np.random.default_rng(3)
        base = dict(
            s=rng.uniform(80, 120, 20),
            k=rng.uniform(80, 120, 20),
            r=rng.uniform(0, 0.06, 20),
            q=rng.uniform(0, 0.03, 20),
            sigma=rng.uniform(0.1, 0.4, 20),
            tau=rng.uniform(0.1, 2, 20),
            option_type=np.arange(20, dtype=np.int32) % 2,
        )
        expected = K.american_tree_batch(**base, steps=40)
        as_lists = {key: v.tolist() for key, v in base.items()}
        np.testing.assert_array_equal(K.american_tree_batch(**as_lists, steps=40), expected)
        strided = {key: np.repeat(v, 2)[::2] for key, v in base.items()}
        assert not strided["s"].flags.c_contiguous
        np.testing.assert_array_equal(K.american_tree_batch(**strided, steps=40), expected)
        # A column of a column-major 2-D array is strided too.
        fortran = {
            key: np.asfortranarray(np.stack([v, v], axis=1))[:, 1] for key, v in base.items()
        }
        np.testing.assert_array_equal(K.american_tree_batch(**fortran, steps=40), expected)
        wide = {**base, "option_type": base["option_type"].astype(np.int64)}
        np.testing.assert_array_equal(K.american_tree_batch(**wide, steps=40), expected)

    def test_float_option_type_is_cast_not_refused(self):
        n = 3
        args = dict(
            s=[100.0] * n, k=[100.0] * n, r=[0.05] * n, q=[0.0] * n, sigma=[0.2] * n, tau=[1.0] * n
        )
        cast = K.american_tree_batch(**args, option_type=np.array([1.9, 0.5, -0.5]), steps=30)
        exact = K.american_tree_batch(**args, option_type=[1, 0, 0], steps=30)
        np.testing.assert_array_equal(cast, exact)
        assert cast[0] != cast[1]

    def test_read_only_inputs_are_read_in_place(self):
        arrays = {key: np.array(v) for key, v in ONE.items()}
        for a in arrays.values():
            a.setflags(write=False)
        assert K.american_tree_batch(**arrays).shape == (1,)

    def test_result_is_a_new_contiguous_float64_array(self):
        out = K.american_tree_batch(**ONE)
        assert (
            out.dtype == np.float64
            and out.flags.c_contiguous
            and out.flags.owndata
            and out.flags.writeable
        )


LENGTH_ERROR = "all input arrays must have the same length"


class TestBatchChecks:
    def test_length_mismatch(self):
        with pytest.raises(RuntimeError) as e:
            K.american_tree_batch(**{**ONE, "tau": [1.0, 2.0]})
        assert str(e.value) == LENGTH_ERROR

    def test_length_is_checked_before_dimensions(self):
        args = {key: v * 3 for key, v in ONE.items()}
        args["k"] = np.full((2, 2), 100.0)  # 2-D and of another length
        with pytest.raises(RuntimeError) as e:
            K.american_tree_batch(**args)
        assert str(e.value) == LENGTH_ERROR

    @pytest.mark.parametrize("name", ["s", "k", "r", "q", "sigma", "tau", "option_type"])
    def test_two_dimensional_input_with_matching_count(self, name):
        args = {key: v * 3 for key, v in ONE.items()}
        args[name] = np.reshape(args[name], (1, 3))
        with pytest.raises(ValueError) as e:
            K.american_tree_batch(**args)
        assert str(e.value) == "array has incorrect number of dimensions: 2; expected 1"

    def test_all_two_dimensional(self):
        args = {key: np.reshape(v * 6, (2, 3)) for key, v in ONE.items()}
        with pytest.raises(
            ValueError, match=re.escape("incorrect number of dimensions: 2; expected 1")
        ):
            K.american_tree_batch(**args)

    def test_scalar_is_a_zero_dimensional_array(self):
        args = dict(ONE, tau=1.0)
        with pytest.raises(ValueError) as e:
            K.american_tree_batch(**args)
        assert str(e.value) == "array has incorrect number of dimensions: 0; expected 1"
        # With other lengths the length test comes first.
        with pytest.raises(RuntimeError, match=LENGTH_ERROR):
            K.american_tree_batch(**{key: v * 2 for key, v in ONE.items()} | {"tau": 1.0})

    def test_first_offending_parameter_decides_the_message(self):
        args = {key: np.zeros(4) for key in ONE}
        args["k"] = np.zeros((2, 2))
        args["sigma"] = np.zeros((1, 1, 4))
        with pytest.raises(ValueError, match=re.escape("dimensions: 2; expected 1")):
            K.american_tree_batch(**args)

    def test_empty_arrays_give_an_empty_result(self):
        out = K.american_tree_batch(*([np.empty(0)] * 6), np.empty(0, dtype=np.int32))
        assert out.shape == (0,) and out.dtype == np.float64


def _runtime_parameters(fn):
    """(name, default) pairs from the signature line the binding library generates."""
    line = fn.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1 : line.rindex(")")]
    params, depth, current = [], 0, ""
    for ch in inner + ",":
        if ch == "," and depth == 0:
            name, _, rest = current.partition(":")
            default = rest.split(" = ")[1] if " = " in rest else None
            params.append((name.strip(), default))
            current = ""
            continue
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        current += ch
    return params


def test_type_stub_matches_the_compiled_signatures():
    import ast
    import pathlib

    from orvelta import kernels

    stub = pathlib.Path(K.__file__).with_name("_kernels.pyi")
    assert (stub.parent / "py.typed").exists()
    tree = ast.parse(stub.read_text())
    # A function is declared in the stub itself, or re-exported from its wrapper.
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args.args
            defaults = [None] * (len(args) - len(node.args.defaults)) + [
                ast.unparse(d) for d in node.args.defaults
            ]
            declared[node.name] = [(a.arg, d) for a, d in zip(args, defaults)]
        elif isinstance(node, ast.ImportFrom) and (node.level, node.module) == (1, "kernels"):
            for alias in node.names:
                wrapper = getattr(kernels, alias.name)
                if inspect.isfunction(wrapper):
                    assert alias.asname == alias.name, "not re-exported: " + alias.name
                    declared[alias.name] = _wrapper_parameters(wrapper)
    assert sorted(declared) == sorted(TABLE)
    for name, params in declared.items():
        assert params == _runtime_parameters(getattr(K, name)), name
