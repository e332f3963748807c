"""Sphinx configuration of the Orvelta documentation (built by `make docs`).

The API reference is generated at build time from ``orvelta.__all__`` (and the
public functions of ``orvelta.dask``): a function added to the package appears
without editing the docs, and the build fails if any public name ends up
without an entry.
"""

from __future__ import annotations

import inspect
from pathlib import Path

import orvelta
import orvelta.dask

HERE = Path(__file__).resolve().parent

project = "Orvelta"
author = "The Orvelta developers"
copyright = "the Orvelta developers"
release = orvelta.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

html_theme = "furo"
html_title = f"Orvelta {release}"
templates_path: list[str] = []
exclude_patterns = ["_build", "api/generated/*.inc", "examples/README.txt"]

# numpydoc renders the Parameters/Returns/Raises/Examples sections; class
# members are listed by autodoc, not numpydoc.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
autodoc_typehints = "none"  # the numpydoc sections give the types, in words
autodoc_member_order = "bysource"

sphinx_gallery_conf = {
    "examples_dirs": str(HERE / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
}


# ----------------------------------------------------------------- API reference

API_MODULES = {
    "orvelta": (orvelta, list(orvelta.__all__)),
    "orvelta.dask": (
        orvelta.dask,
        [
            n
            for n, f in vars(orvelta.dask).items()
            if inspect.isfunction(f) and not n.startswith("_") and f.__module__ == "orvelta.dask"
        ],
    ),
}


def _directive(module: object, name: str) -> str:
    obj = getattr(module, name)
    kind = "autoclass" if inspect.isclass(obj) else "autofunction"
    return f".. {kind}:: {name}\n"


def write_api_pages(app: object) -> None:
    """Writes one page per public name and the lists that index them."""
    out = HERE / "api" / "generated"
    out.mkdir(parents=True, exist_ok=True)
    wanted = set()
    for modname, (module, names) in API_MODULES.items():
        index = []
        for name in sorted(names):
            page = f"{modname}.{name}"
            wanted.add(f"{page}.rst")
            text = (
                f"{modname}.{name}\n{'=' * len(page)}\n\n.. currentmodule:: {modname}\n\n"
                f"{_directive(module, name)}"
            )
            path = out / f"{page}.rst"
            if not path.exists() or path.read_text() != text:
                path.write_text(text)
            index.append(f"   generated/{page}\n")
        listing = ".. toctree::\n   :maxdepth: 1\n\n" + "".join(index)
        inc = out / f"{modname}.inc"
        if not inc.exists() or inc.read_text() != listing:
            inc.write_text(listing)
    for stale in out.glob("*.rst"):
        if stale.name not in wanted:
            stale.unlink()


def check_api_complete(app: object, env: object) -> None:
    """Fails the build when a public name has no documented entry."""
    documented = set(env.get_domain("py").objects)  # type: ignore[attr-defined]
    missing = [
        f"{modname}.{name}"
        for modname, (_, names) in API_MODULES.items()
        for name in names
        if f"{modname}.{name}" not in documented
    ]
    if missing:
        from sphinx.errors import ExtensionError

        raise ExtensionError(f"public names missing from the API reference: {missing}")


def setup(app: object) -> None:
    app.connect("builder-inited", write_api_pages)  # type: ignore[attr-defined]
    app.connect("env-check-consistency", check_api_complete)  # type: ignore[attr-defined]
