# The two commands of the quick start: `make demo` and `make test`. Both work from nothing but the
# repository: they create .venv, install what they need into it, build the extension and run.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := $(VENV)/.build-deps
TEST_DEPS := $(VENV)/.test-deps

.PHONY: demo test build bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)

$(BUILD_DEPS): | $(PY)
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja "arx-nanoarrow-sources==0.8.0.post1"
	touch $@

$(TEST_DEPS): $(BUILD_DEPS)
	$(PY) -m pip install -q "pytest>=8" "hypothesis>=6" orjson "pyarrow>=14" "polars>=1" "pandas>=2"
	touch $@

build: $(BUILD_DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: build
	$(PY) -m velkora._demo

test: $(TEST_DEPS) build
	$(PY) -m pytest -q

bench: $(TEST_DEPS) build
	$(PY) benchmarks/bench_parse.py
	$(PY) benchmarks/bench_objects.py
	$(PY) benchmarks/bench_chunked.py
	$(PY) benchmarks/bench_arrow.py

clean:
	rm -rf $(VENV) build
