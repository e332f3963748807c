# Set-up is automatic: every target below creates .venv/ with a CPython 3.12
# (found by scripts/find-python unless PYTHON=... is given), installs the
# dependencies from the package index and rebuilds the module when a source
# file has changed.

VENV    := .venv
VPY     := $(VENV)/bin/python
SOURCES := $(shell find src python -type f -not -path '*/__pycache__/*' 2>/dev/null) \
           CMakeLists.txt pyproject.toml

.PHONY: all build demo test bench wheel clean
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

bench: build
	@for f in bench/bench_*.py; do echo "== $$f"; $(VPY) $$f || exit 1; done

# dist/: the source distribution and a manylinux wheel built from it (so the
# sdist is known to build), repaired by auditwheel: libgomp is grafted into
# orvelta.libs/ and the modules' RPATH points there. auditwheel picks the
# oldest manylinux tag the binaries allow.
wheel: $(VENV)/.deps
	rm -rf dist
	$(VPY) -m build --no-isolation --outdir dist/unrepaired .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair --wheel-dir dist dist/unrepaired/*.whl
	mv dist/unrepaired/*.tar.gz dist/
	rm -rf dist/unrepaired
	@ls -l dist

clean:
	rm -rf build dist $(VENV)
