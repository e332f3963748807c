# Set-up is automatic: every target below creates .venv/ with a CPython 3.12
# (found by scripts/find-python unless PYTHON=... is given), installs the
# dependencies from the package index and rebuilds the module when a source
# file has changed.

VENV    := .venv
VPY     := $(VENV)/bin/python
SOURCES := $(shell find src python -type f -not -path '*/__pycache__/*' 2>/dev/null) \
           CMakeLists.txt pyproject.toml

.PHONY: all build demo test test-fast lint format bench wheel wheels docs clean sanitize
.DEFAULT_GOAL := all

all: build

$(VENV)/.created:
	@py="$(PYTHON)"; [ -n "$$py" ] || py=$$(scripts/find-python) || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)
	@touch $@

$(VENV)/.deps: $(VENV)/.created requirements-dev.txt
	$(VPY) -m pip install --upgrade pip
	$(VPY) -m pip install -r requirements-dev.txt
	@touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install --no-build-isolation --no-deps .
	@touch $@

build: $(VENV)/.built

demo: build
	$(VPY) -m orvelta demo

test: build
	$(VPY) -m pytest

# The quick subset: everything but the tests marked slow.
test-fast: build
	$(VPY) -m pytest -m "not slow"

# Formatters and linters, all from .venv (the same tools and versions the
# pre-commit hooks run): ruff (lint and format), clang-format, mypy --strict
# on the package, shellcheck on the shell scripts, codespell. Checks only;
# `make format` applies the formatters.
CXX_SOURCES := $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'bench/*.cpp' 'tests/*.cpp' 'cmake/*.cpp' 'cmake/*.h' 2>/dev/null)
SHELL_SCRIPTS := .ci/run $(shell grep -l '^\#!.*sh' scripts/* 2>/dev/null)

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check python tests bench docs scripts/erfc-coefficients
	$(VENV)/bin/ruff format --check python tests bench docs
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VPY) -m mypy
	$(VENV)/bin/shellcheck --severity=warning $(SHELL_SCRIPTS)
	$(VENV)/bin/codespell

format: $(VENV)/.deps
	$(VENV)/bin/ruff check --fix-only -q python tests bench docs
	$(VENV)/bin/ruff format python tests bench docs
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

bench: build
	@for f in bench/bench_*.py; do echo "== $$f"; $(VPY) $$f || exit 1; done

# dist/: the source distribution and manylinux wheels built from it (so the
# sdist is known to build), each by its own interpreter and repaired by
# auditwheel: libgomp is grafted into orvelta.libs/ and the modules' RPATH
# points there (scripts/build-wheels says how the tag is kept low).
# `make wheel`: the wheel for the project's own interpreter (.venv's 3.12);
# `make wheels`: one per CPython 3.10 to 3.13 that scripts/find-pythons finds.
wheel: $(VENV)/.deps
	scripts/build-wheels $(abspath $(VPY))

wheels: $(VENV)/.deps
	@pythons=$$(scripts/find-pythons) || exit 1; scripts/build-wheels $$pythons

# The documentation site (docs/): Sphinx with numpydoc and sphinx-gallery,
# installed into .venv from requirements-docs.txt; the gallery's examples run
# against the built package. Any warning fails the build.
$(VENV)/.docs: $(VENV)/.deps requirements-docs.txt
	$(VPY) -m pip install -r requirements-docs.txt
	@touch $@

docs: build $(VENV)/.docs
	$(VENV)/bin/sphinx-build -W --keep-going -n -b html -d build/docs/.doctrees docs build/docs
	@echo "docs: build/docs/index.html"

clean:
	rm -rf build dist $(VENV)

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer in a
# folder of its own, build/sanitize/ (the .venv build is untouched), and the suite run
# against it: the instrumented shared objects beside a copy of the package,
# found first on PYTHONPATH. CPython itself is not instrumented, so libasan is
# preloaded (with libstdc++, so that its exception interceptors resolve) and
# leak detection is off; any sanitizer report fails the run. The long
# accuracy sweeps (marked slow) are left to `make test`: their time goes to
# the NumPy references, and the fuzz tests reach the same native paths.
SAN_DIR   := build/sanitize
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
SAN_ENV   := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
             UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
             LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
             PYTHONPATH=$(SAN_DIR)/pkg

sanitize: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(CURDIR)/$(VPY) \
	    -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) \
	    -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(SAN_FLAGS)"
	$(VENV)/bin/cmake --build $(SAN_DIR)
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg
	cp -r python/orvelta $(SAN_DIR)/pkg/
	cp $(SAN_DIR)/_kernels*.so $(SAN_DIR)/_engines*.so $(SAN_DIR)/pkg/orvelta/
	$(SAN_ENV) $(VPY) -c "import orvelta._kernels as k; assert '/$(SAN_DIR)/pkg/' in k.__file__, k.__file__"
	$(SAN_ENV) $(VPY) -m pytest -p no:cacheprovider -q -m "not slow"
