# make demo   - set up everything and run the main job (-I: the installed
#               package, not the source folder of the same name)
# make test   - set up everything, run the tests and type-check the package and
#               examples/typed_chain.py with mypy
# make bench  - time every function against the same formulas in Python/NumPy
# make sweep  - a million random inputs per function: direct against ordinary path
# Both create .venv with CPython 3.10 (tools/find-python310; override with
# KLIMORA_PYTHON=/path/to/python3.10), install the pinned tools and build
# and install the module.

VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.requirements-installed
BUILD_FLAGS := -C cmake.define.KLIMORA_WERROR=ON -C build-dir=build/{wheel_tag}

.PHONY: demo test bench sweep install clean

demo: install
	$(PY) -I -m klimora

test: install
	$(VENV)/bin/pytest tests
	$(VENV)/bin/mypy

sweep: install
	KLIMORA_SWEEP=1000000 $(VENV)/bin/pytest tests/test_direct.py -k agree

bench: install
	$(PY) -I bench/run.py

$(STAMP): requirements-dev.txt
	@python310=$$(tools/find-python310) && \
	  { [ -x $(PY) ] || $$python310 -m venv $(VENV); }
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $(STAMP)

install: $(STAMP)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	  $(BUILD_FLAGS) .

clean:
	rm -rf $(VENV) build
