# Set-up and everyday commands. Each target finds CPython 3.13 itself, makes .venv with the
# pinned dependencies, and builds the package into it (incrementally, in build/).
.DEFAULT_GOAL := test
SHELL := /bin/bash

VENV := .venv
PY := $(VENV)/bin/python
BUILD_DIR := build/cp313
# The interpreter to build for: python3.13 on PATH, else the pyenv installation of 3.13.
PYTHON313 ?= $(shell for p in python3.13 $$(ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r); do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

.PHONY: demo test suite test-matrix install stubtest bench format clean test-asan test-clang wheel wheel-tag macos macos-linker fuzz fuzz-toolchain fuzz-install fuzz-merge

# The pinned requirements to install: all of the development commands', or only what the build
# and the suite need (the test matrix's roots).
REQUIREMENTS ?= requirements/dev.txt
$(VENV)/.deps: $(REQUIREMENTS) $(wildcard requirements/suite*.txt)
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 not found (python3.13 on PATH, or pyenv's 3.13)"; exit 1; }
	test -x $(PY) || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r $(REQUIREMENTS)
	touch $@

# Builds the package (with the test-only modules) and installs it into .venv.
install: $(VENV)/.deps
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
		-C build-dir=$(BUILD_DIR) -C cmake.define.TOOLS_TEST_MODULES=ON .

demo: install
	cd examples && ../$(PY) demo.py

# Every module with a stub beside its source is checked against the built module. The stand-in
# for the host's `logger` (examples/) lets tools.folders.folders import.
STUBBED := $(subst /,.,$(patsubst src/%.pyi,%,$(wildcard src/tools/*/*.pyi)))

stubtest: install
	cd build && PYTHONPATH=../examples ../$(PY) -m mypy.stubtest --mypy-config-file ../pyproject.toml \
		--allowlist ../tests/stubtest-allowlist.txt $(STUBBED)

# The suite in the interpreter's development mode with its debug allocator (which catches
# misused memory APIs and buffer overruns).
suite: install
	PYTHONMALLOC=debug $(PY) -X dev -m pytest -q

# The suite, then the same suite against the sanitizer build and against a Clang build, then
# the wheel as a user installs it, and last the macOS builds (compiled and linked, not run).
test: suite stubtest
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-clang
	$(MAKE) --no-print-directory wheel
	$(MAKE) --no-print-directory macos

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in its
# own environment; the interpreter allocates with malloc so that ASan sees every object.
ASAN_VENV := .venv-asan
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
test-asan: $(VENV)/.deps
	test -x $(ASAN_VENV)/bin/python || $(PYTHON313) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check -r requirements/dev.txt
	$(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		--no-deps -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
		-C cmake.define.TOOLS_SANITIZE=ON -C cmake.define.TOOLS_TEST_MODULES=ON .
	LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		TOOLS_SANITIZER_BUILD=1 $(ASAN_VENV)/bin/python -m pytest -q

# The whole suite against a build by Clang, in its own environment.
CLANG_VENV := .venv-clang
CLANG_CXX ?= clang++
test-clang: $(VENV)/.deps
	test -x $(CLANG_VENV)/bin/python || $(PYTHON313) -m venv $(CLANG_VENV)
	$(CLANG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check -r requirements/dev.txt
	CXX=$(CLANG_CXX) $(CLANG_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
		--no-build-isolation --no-deps -C build-dir=build/clang -C cmake.define.TOOLS_TEST_MODULES=ON .
	$(CLANG_VENV)/bin/python -m pytest -q

# The distributions as users get them: the sdist, and from it one manylinux2014 wheel per CPU,
# built by Zig's Clang for glibc 2.17 (cmake/zig.cmake) and repaired to that tag by auditwheel,
# which refuses a wheel that needs more; twine checks them all. The x86_64 wheel is then
# installed with no index into a bare environment, where the demo runs and the suite runs
# against it (the aarch64 wheel runs in the test matrix's arm64 root).
WHEEL_VENV := build/wheel-venv
WHEEL_CPUS := x86_64 aarch64
WHEEL_GLIBC := 2.17
WHEEL_PLATFORM := manylinux2014
WHEEL_SOURCE := build/sdist
WHEEL_TEST_PINS = -r requirements/suite-run.txt
$(VENV)/.wheel-deps: $(VENV)/.deps requirements/wheel.txt
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements/wheel.txt
	touch $@

wheel: $(VENV)/.wheel-deps
	rm -rf dist $(WHEEL_SOURCE) $(addprefix build/wheel-,$(WHEEL_CPUS)) && mkdir -p $(WHEEL_SOURCE)
	$(PY) -m build --no-isolation --sdist --outdir dist .
	tar -xzf dist/*.tar.gz -C $(WHEEL_SOURCE) --strip-components=1
	export PATH="$(abspath $(VENV))/bin:$$PATH"; for cpu in $(WHEEL_CPUS); do \
		SETUPTOOLS_EXT_SUFFIX=.cpython-313-$$cpu-linux-gnu.so \
		_PYTHON_HOST_PLATFORM=linux-$$cpu $(PY) -m build --no-isolation --wheel --outdir dist/raw \
			-C build-dir=$(abspath build)/wheel-$$cpu -C cmake.define.ZIG_TARGET=$$cpu-linux-gnu.$(WHEEL_GLIBC) \
			-C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath $(WHEEL_SOURCE))/cmake/zig.cmake $(WHEEL_SOURCE) && \
		$(MAKE) --no-print-directory wheel-tag WHEEL_CPU=$$cpu || exit 1; \
	done
	rm -rf dist/raw
	$(VENV)/bin/twine check --strict dist/*
	rm -rf $(WHEEL_VENV) && $(PYTHON313) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-index dist/*_x86_64.whl
	$(WHEEL_VENV)/bin/python -m pip install --quiet --disable-pip-version-check $(WHEEL_TEST_PINS)
	cd examples && ../$(WHEEL_VENV)/bin/python -E -s demo.py >/dev/null
	$(WHEEL_VENV)/bin/python -m pytest -q
	@echo "built: $$(cd dist && ls); installed and tested in a bare environment: $$(cd dist && ls *_x86_64.whl)"

# Gives the raw wheel of WHEEL_CPU its manylinux tag. auditwheel repairs wheels for the machine's
# own CPU only; a wheel for another CPU is checked by `auditwheel show` (the lowest glibc it is
# consistent with, and no outside library to graft in) and then retagged, which is all that a
# repair would do to it.
wheel-tag:
	@raw=$$(ls dist/raw/*_$(WHEEL_CPU).whl) && \
		{ $(PY) -m zipfile -l $$raw | grep 'cpython-313-$(WHEEL_CPU)-linux-gnu\.so' >/dev/null || \
			{ echo "$$raw: its modules lack the $(WHEEL_CPU) suffix"; exit 1; }; } && \
		report=$$($(VENV)/bin/auditwheel show $$raw 2>/dev/null) && \
		echo "$$report" && glibc=$$(echo "$$report" | grep -o 'manylinux_2_[0-9]*_' | head -1 | cut -d_ -f3) && \
		test -n "$$glibc" && test "$$glibc" -le $(lastword $(subst ., ,$(WHEEL_GLIBC))) || \
		{ echo "$$raw needs a glibc newer than $(WHEEL_GLIBC)"; exit 1; }; \
	if [ "$(WHEEL_CPU)" = "$$(uname -m)" ]; then \
		$(VENV)/bin/auditwheel repair --only-plat --plat $(WHEEL_PLATFORM)_$(WHEEL_CPU) --wheel-dir dist $$raw; \
	else \
		echo "$$report" | grep -q "requires no external shared libraries" && \
		$(PY) -m wheel tags --platform-tag $(WHEEL_PLATFORM)_$(WHEEL_CPU).manylinux_2_$(lastword $(subst ., ,$(WHEEL_GLIBC)))_$(WHEEL_CPU) $$raw && \
		mv dist/raw/*-manylinux*_$(WHEEL_CPU).whl dist/; \
	fi

# The modules for macOS, x86_64 and arm64, compiled and linked here but not run (no macOS
# machine is at hand): Zig's Clang compiles them with macOS's headers, against this machine's
# CPython 3.13 headers (cmake/python_headers_check.cpp checks, for each target, the values of
# their pyconfig.h that the public headers read), and LLVM's ld64.lld links each one into a
# bundle against Zig's libSystem stubs. Each bundle is then checked: its architecture, its one
# exported symbol and what it needs (cmake/check_macos_bundles.py). The oldest macOS versions
# are those of CPython 3.13's own macOS builds (10.13 for x86_64; arm64 began with 11.0).
MACOS_TARGETS := x86_64:x86_64-macos.10.13 arm64:aarch64-macos.11.0
MODULE_NAMES := $(sort $(basename $(notdir $(wildcard src/tools/*/*.cpp))))
MACOS_LINKER_PROBE = command -v ld64.lld-19 || command -v ld64.lld
# LLVM 19's linker (Debian's lld-19; older ones do not know Zig's newer stubs), and llvm-nm and
# llvm-objdump for the checks; installed when missing, where apt-get can run.
macos-linker:
	@{ $(MACOS_LINKER_PROBE) && command -v llvm-nm && command -v llvm-objdump; } >/dev/null || \
		{ command -v apt-get >/dev/null && test "$$(id -u)" = 0 && \
		DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lld-19 llvm-19 file >/dev/null; } || \
		{ echo "make macos needs ld64.lld (Debian: apt-get install lld-19 llvm-19)"; exit 1; }

macos: $(VENV)/.wheel-deps macos-linker
	export PATH="$(abspath $(VENV))/bin:$$PATH"; linker=$$($(MACOS_LINKER_PROBE)) && \
	include=$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') && \
	for pair in $(MACOS_TARGETS); do arch=$${pair%%:*}; target=$${pair#*:}; \
		cmake -S . -B build/macos-$$arch -G Ninja -DCMAKE_BUILD_TYPE=Release \
			-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/zig.cmake) -DZIG_TARGET=$$target -DMACOS_LINKER=$$linker \
			-DTOOLS_SOABI=cpython-313-darwin -DPython_INCLUDE_DIR=$$include >/dev/null && \
		cmake --build build/macos-$$arch -j 2 && \
		$(PY) cmake/check_macos_bundles.py build/macos-$$arch $$arch $(MODULE_NAMES) || exit 1; \
	done

# The suite on other interpreter builds and CPUs, each in a Debian 13 root of its own (.ci/matrix
# says how): MATRIX picks the targets, MATRIX_WHEEL runs a built wheel there instead of a build
# from source. Needs root; a target whose step cannot run here is skipped, and says so.
MATRIX ?= amd64 amd64-debug arm64 i386
test-matrix:
	bash .ci/matrix $(MATRIX)

# The benchmarks' own data (requirements/bench.txt), on top of the build.
$(VENV)/.bench-deps: $(VENV)/.deps requirements/bench.txt
	$(PY) -m pip install --quiet --disable-pip-version-check --no-deps -r requirements/bench.txt
	touch $@

# Coverage-guided fuzzing (tests/fuzz/): a Clang build with libFuzzer's coverage, ASan and UBSan
# in its own environment, run under the runtime that atheris ships (libFuzzer and ASan+UBSan in
# one library, preloaded so that the modules' sanitizer and coverage calls resolve to it).
FUZZ_VENV := .venv-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := binding walks prop_keeper
FUZZ_RUN = LD_PRELOAD="$$($(FUZZ_VENV)/bin/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(FUZZ_VENV)/bin/python
# The fuzzing build links Clang's sanitizer runtimes and includes their interface headers:
# Debian ships them in libclang-rt-dev, which an install of clang without its recommended
# packages leaves out. Installed here when missing, where apt-get can run.
FUZZ_PROBE = printf '\043include <sanitizer/common_interface_defs.h>\nint main() {}\n' | \
	clang++ -x c++ -fsanitize=fuzzer-no-link,address,undefined -o /dev/null - 2>/dev/null
fuzz-toolchain:
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang++ (Debian: apt-get install clang)"; exit 1; }
	@$(FUZZ_PROBE) || { command -v apt-get >/dev/null && test "$$(id -u)" = 0 && \
		DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libclang-rt-dev >/dev/null && \
		$(FUZZ_PROBE); } || \
		{ echo "make fuzz needs Clang's sanitizer runtimes (Debian: apt-get install libclang-rt-dev)"; exit 1; }

fuzz-install: $(VENV)/.deps fuzz-toolchain
	test -x $(FUZZ_VENV)/bin/python || $(PYTHON313) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
		-r requirements/dev.txt -r requirements/fuzz.txt
	CXX=clang++ $(FUZZ_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
		--no-build-isolation --no-deps -C build-dir=build/fuzz -C cmake.build-type=RelWithDebInfo \
		-C cmake.define.TOOLS_FUZZ=ON -C cmake.define.TOOLS_TEST_MODULES=ON .

# Runs every target for FUZZ_SECONDS, from its corpus (new inputs go to build/fuzz-corpus/, not
# to the committed corpus); a crash leaves its input in tests/fuzz/crashes/ and fails the command.
fuzz: fuzz-install
	mkdir -p tests/fuzz/crashes
	failed=""; for target in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz-corpus/$$target tests/fuzz/corpus/$$target; \
		$(FUZZ_RUN) tests/fuzz/$$target.py -max_total_time=$(FUZZ_SECONDS) \
			-artifact_prefix=tests/fuzz/crashes/$$target- \
			build/fuzz-corpus/$$target tests/fuzz/corpus/$$target || failed="$$failed $$target"; \
	done; test -z "$$failed" || { echo "fuzz: crashes in$$failed (inputs in tests/fuzz/crashes/)"; exit 1; }

# Folds what the last runs found into the committed corpus, keeping only the inputs that add
# coverage (libFuzzer's merge, by edges alone so that the corpus stays small).
fuzz-merge: fuzz-install
	for target in $(FUZZ_TARGETS); do \
		rm -rf build/fuzz-merged/$$target && \
		mkdir -p build/fuzz-merged/$$target tests/fuzz/corpus/$$target build/fuzz-corpus/$$target && \
		$(FUZZ_RUN) tests/fuzz/$$target.py -merge=1 -use_counters=0 build/fuzz-merged/$$target \
			tests/fuzz/corpus/$$target build/fuzz-corpus/$$target && \
		rm -rf tests/fuzz/corpus/$$target && cp -r build/fuzz-merged/$$target tests/fuzz/corpus/ || exit 1; \
	done

bench: install $(VENV)/.bench-deps
	$(PY) benchmarks/run.py --quiet

format: $(VENV)/.deps
	$(VENV)/bin/clang-format -i src/frame/*.[ch]pp src/frame/shared/*.[ch]pp src/frame/platform/*.cpp src/tools/*/*.cpp tests/native/*.cpp

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(CLANG_VENV)
