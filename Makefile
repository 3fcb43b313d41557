# make demo     - set up everything and run the main job
# make test     - set up everything, run the tests (a test skipped for want
#                 of an optional package fails the run) and type-check the package
#                 and examples/typed_chain.py with mypy
# make bench    - time every function against the same formulas in Python/NumPy,
#                 the ufuncs against np.vectorize, hand-written NumPy and the
#                 functions' own array calls, utci against pythermalcomfort and
#                 thermofeel, --input against pandas, and the
#                 chain and klimora grid on a synthetic grid (4 GB of output),
#                 then the speed table, each row's ratio met or missed
#                 (bench/targets.py, from the scripts' output in build/bench/)
# make sweep    - a million random inputs per function: direct against
#                 ordinary path, and every ufunc element against the scalar call
# make sanitize - the tests again, against a build instrumented with
#                 AddressSanitizer and UndefinedBehaviorSanitizer, in a venv
#                 and build folder of its own (.venv-sanitize, build/sanitize)
# make stress   - klimora grid 200 times on small grids, 50 in each of 4
#                 processes at once, the garbage collector made to run often:
#                 fails on a crash, a file left open or a temporary file left
# make wheels   - a wheel for every CPython 3.10 to 3.13 found (pyenv, or the
#                 paths in KLIMORA_PYTHONS) into dist/, repaired by auditwheel
#                 to a manylinux tag, each installed into a venv without a
#                 compiler to run the oracle tests and `python -m klimora`
# make compat   - the (CPython, NumPy) pairs, one wheel per Python: oracle
#                 tests, sweep, ufuncs and a short bench in a venv per pair
#                 (.venv-compat/py3.X-numpy-V), the chain, grid and CLI tests
#                 on the newest NumPy of each Python, then a table, also in
#                 build/compat/table.md (tools/compat; KLIMORA_COMPAT picks
#                 the pairs)
# make validate - the chain against pvlib, thermofeel and pythermalcomfort,
#                 and against the measured station files in pvlib's sdist
#                 (fetched once by pip into build/validation-data; without
#                 it that section says what it skipped): writes
#                 docs/validation.md and docs/validation-*.png
# make docs     - the documentation (Sphinx, the gallery run anew) into
#                 docs/_build/html, warnings as errors, then every page
#                 checked in a headless Chromium (tools/check_docs.py: pages
#                 load, internal links and anchors lead somewhere, images
#                 load) with screenshots in docs/_build/screenshots; needs
#                 Debian's chromium (apt-get install -y chromium); not in CI
# make generate - the files that restate the functions, written anew from
#                 their declaration, ufuncs/functions.toml: the ufuncs'
#                 docstrings (ufuncs/functions.inc), klimora.radiation's and
#                 klimora.fluxes' keyword functions, the stubs and the
#                 glossary's table (tools/generate_functions.py; checked in,
#                 and tests/test_generated.py fails when one is stale)
# The others create their venv with the newest CPython 3.10 to 3.13 found
# (tools/find-python: pyenv's, then python3.X on PATH), or the one
# KLIMORA_PYTHON=/path/to/python3.X names (a venv of another interpreter is
# then made anew), install the pinned tools and build and install the module.

VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.requirements-installed
BUILD_FLAGS := -C cmake.define.KLIMORA_WERROR=ON -C build-dir=build/{wheel_tag}
PIP_INSTALL := -m pip install --quiet --disable-pip-version-check

SANITIZE_VENV  := .venv-sanitize
SANITIZE_STAMP := $(SANITIZE_VENV)/.requirements-installed
SANITIZE_FLAGS := -C cmake.define.KLIMORA_WERROR=ON -C cmake.define.KLIMORA_SANITIZE=ON \
                  -C cmake.build-type=RelWithDebInfo -C build-dir=build/sanitize
# The interpreter is not instrumented, so the ASan runtime of the compiler
# that built the module is preloaded, and libstdc++ with it: ASan finds the
# real __cxa_throw (which the bodies' failures go through) only in a library
# loaded before it starts.  CPython does not free everything at exit, so
# leak detection is off; reference leaks are tests/test_leaks.py's.
CXX_FOR_RUNTIME ?= g++
SANITIZE_ENV = LD_PRELOAD="$$($(CXX_FOR_RUNTIME) -print-file-name=libasan.so) $$($(CXX_FOR_RUNTIME) -print-file-name=libstdc++.so)" \
               ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
               UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: demo test generate bench sweep install sanitize stress compat wheels validate docs clean FORCE

demo: install
	$(PY) -I -m klimora

test: install
	$(VENV)/bin/pytest tests --require-extras
	$(VENV)/bin/mypy

# Only the interpreter and tomli (a test dependency before Python 3.11) are needed.
generate: $(STAMP)
	$(PY) tools/generate_functions.py

sweep: install
	KLIMORA_SWEEP=1000000 $(VENV)/bin/pytest tests/test_direct.py -k agree
	KLIMORA_SWEEP=1000000 $(VENV)/bin/pytest tests/test_ufuncs.py -k scalar_call

# Each script's output is also kept in build/bench/, for bench/targets.py to
# gather the speed table's rows from (its lines TARGET row ratio target).
bench: SHELL := /bin/bash
bench: .SHELLFLAGS := -o pipefail -c
bench: install
	rm -rf build/bench && mkdir -p build/bench
	$(PY) -I bench/run.py | tee build/bench/run.txt
	$(PY) -I bench/ufuncs.py | tee build/bench/ufuncs.txt
	$(PY) -I bench/utci.py | tee build/bench/utci.txt
	$(PY) -I bench/indices.py | tee build/bench/indices.txt
	$(PY) -I bench/chain.py | tee build/bench/chain.txt
	$(PY) -I bench/csv_speed.py | tee build/bench/csv_speed.txt
	$(PY) -I bench/grid.py | tee build/bench/grid.txt
	$(PY) -I bench/targets.py build/bench/*.txt

validate: install
	$(PY) -I tools/validate.py

# The documentation's tools (requirements-docs.txt) go into .venv beside the
# development ones.  The module is built only if .venv cannot import it.
# CHROMIUM: the browser tools/check_docs.py drives (Debian's package).
DOCS_STAMP := $(VENV)/.docs-requirements-installed
CHROMIUM   ?= $(shell command -v chromium || command -v chromium-browser)

$(DOCS_STAMP): requirements-docs.txt | $(STAMP)
	$(PY) $(PIP_INSTALL) -r requirements-docs.txt
	touch $@

docs: $(DOCS_STAMP)
	@[ -n "$(CHROMIUM)" ] || { echo "make docs: no Chromium to check the pages in;" \
	  "install Debian's (apt-get install -y chromium) or set CHROMIUM=/path/to/chromium" >&2; \
	  exit 2; }
	@$(PY) -c 'import klimora.Strahlkit, klimora.ufuncs' 2>/dev/null || $(MAKE) install
	rm -rf docs/_build/html docs/examples docs/sg_execution_times.rst
	$(VENV)/bin/sphinx-build -W --keep-going -E -q -b html docs docs/_build/html
	$(PY) tools/check_docs.py --chromium "$(CHROMIUM)" docs/_build/html

# A venv with the pinned tools: .venv/.requirements-installed and the like.
# An existing venv is kept, unless KLIMORA_PYTHON names another interpreter
# than the one it was made with (told apart by sys.base_prefix).
PREFIX_OF := -c 'import os, sys; print(os.path.realpath(sys.base_prefix))'
%/.requirements-installed: requirements-dev.txt $(if $(KLIMORA_PYTHON),FORCE)
	@python=$$(tools/find-python) && \
	  if [ -x $*/bin/python ] && [ -n "$${KLIMORA_PYTHON:-}" ] && \
	     [ "$$($$python $(PREFIX_OF))" != "$$($*/bin/python $(PREFIX_OF))" ]; then \
	    echo "$* was made with another interpreter than KLIMORA_PYTHON: made anew"; rm -rf $*; \
	  fi && \
	  if [ ! -x $*/bin/python ]; then echo "$*: $$($$python -VV | head -n 1) ($$python)" && \
	    $$python -m venv $*; fi
	$*/bin/python $(PIP_INSTALL) -r requirements-dev.txt
	touch $@

FORCE:

install: $(STAMP)
	$(PY) $(PIP_INSTALL) --no-build-isolation --no-deps $(BUILD_FLAGS) .

sanitize: $(SANITIZE_STAMP)
	$(SANITIZE_VENV)/bin/python $(PIP_INSTALL) --no-build-isolation --no-deps $(SANITIZE_FLAGS) .
	$(SANITIZE_ENV) $(SANITIZE_VENV)/bin/pytest tests

stress: install
	$(PY) -I tests/stress_grid.py --processes 4 --runs 50

# tools/compat and tools/wheels need only Python's standard library; they
# build each wheel with its own interpreter (.venv-compat/build-py3.X).
compat:
	python=$$(tools/find-python) && $$python tools/compat

wheels:
	python=$$(tools/find-python) && $$python tools/wheels

clean:
	rm -rf $(VENV) $(SANITIZE_VENV) .venv-compat build
