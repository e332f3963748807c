"""What the API reference is generated from: every public name's docstring.

docs/conf.py builds one page per name in ``orvelta.__all__`` (and each public
function of ``orvelta.dask``) and fails the build if one is missing; these
tests check, without Sphinx, that each of them has the numpydoc sections the
page is made of."""

import inspect
import re

import pytest

import orvelta
import orvelta.dask

PUBLIC = [(orvelta, name) for name in orvelta.__all__] + [
    (orvelta.dask, name)
    for name, f in vars(orvelta.dask).items()
    if inspect.isfunction(f) and not name.startswith("_") and f.__module__ == "orvelta.dask"
]


def _sections(doc):
    return re.findall(r"^\s*([A-Z][A-Za-z ]+)\n\s*-{3,}\s*$", doc, flags=re.M)


def test_every_public_name_is_exported_and_unique():
    assert len(set(orvelta.__all__)) == len(orvelta.__all__)
    for name in orvelta.__all__:
        assert hasattr(orvelta, name), name


@pytest.mark.parametrize("module, name", PUBLIC, ids=[f"{m.__name__}.{n}" for m, n in PUBLIC])
def test_public_docstring_has_summary_and_numpydoc_sections(module, name):
    obj = getattr(module, name)
    doc = inspect.getdoc(obj)
    assert doc, f"{name} has no docstring"
    summary = doc.split("\n\n", 1)[0]
    assert summary.strip() and summary.rstrip().endswith((".", ":")), summary
    sections = _sections(doc)
    if not inspect.isclass(obj):
        assert "Parameters" in sections and "Returns" in sections, sections
    # numpydoc's order, so that no section is rendered out of place.
    order = [
        "Parameters",
        "Returns",
        "Yields",
        "Raises",
        "Warns",
        "See Also",
        "Notes",
        "References",
        "Examples",
    ]
    known = [s for s in sections if s in order]
    assert known == sorted(known, key=order.index), sections
    # Every parameter of the signature is described.
    if callable(obj) and not inspect.isclass(obj):
        described = set()
        block = doc.split("Parameters", 1)[1].split("Returns", 1)[0]
        for line in block.splitlines():
            m = re.match(r"^(\w[\w, ]*?)(\s:|$)", line)
            if m:
                described.update(p.strip() for p in m.group(1).split(","))
        params = [p for p in inspect.signature(obj).parameters if p not in ("self",)]
        missing = [p for p in params if p not in described]
        assert not missing, f"{name}: parameters without a description: {missing}"
