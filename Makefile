# Builds and checks fileplacer. `make` builds the Linux release binary,
# `make check` runs every suite on every build this machine can make,
# `make demo` installs the example tree into demo-out/, `make install` and
# `make package` install and package the builds.

JOBS ?= 2
E2E_JOBS ?= 2
# Runs under Wine mostly wait on the Wine server, so more of them overlap.
WINE_E2E_JOBS ?= 3
CMAKE ?= cmake
PYTHON ?= python3
E2E = $(PYTHON) tests/e2e/run.py

MINGW_CXX = x86_64-w64-mingw32-g++-posix
# wine64 may be installed without a wine64 on PATH.
WINE ?= $(firstword $(shell command -v wine64 2>/dev/null) \
          $(wildcard /usr/lib/wine/wine64) $(shell command -v wine 2>/dev/null))
HAVE_MINGW := $(shell command -v $(MINGW_CXX) >/dev/null 2>&1 && echo yes)

# The fuzz targets need clang++ and its libFuzzer runtime.
CLANGXX ?= clang++
HAVE_FUZZ := $(if $(shell command -v $(CLANGXX) 2>/dev/null),$(wildcard \
    $(shell $(CLANGXX) -print-resource-dir 2>/dev/null)/lib/*/libclang_rt.fuzzer*.a))
FUZZ_SECONDS ?= 300

export WINEDEBUG ?= -all
export WINEPREFIX ?= $(CURDIR)/build-win/wineprefix

.PHONY: all build check check-linux check-faults check-asan check-windows demo clean
.PHONY: install package check-package fuzz fuzz-build check-fuzz killtest

all: build

build:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build -j$(JOBS)

check: check-linux check-faults check-asan check-windows check-fuzz check-package
	@echo "make check: all suites passed"

check-linux: build
	cd build && ctest --output-on-failure -j$(JOBS)
	$(E2E) --exe build/fileplacer -j$(E2E_JOBS)
	$(PYTHON) tests/layering/run.py

# Fault injection, in a build of its own (release builds have none of it):
# the seam's unit test, then every file call of an install made to fail in
# turn, and the release binary checked to hold none of the fault code.
check-faults: build
	$(CMAKE) -S . -B build-faults -DCMAKE_BUILD_TYPE=Release -DFP_FAULTS=ON
	$(CMAKE) --build build-faults -j$(JOBS) --target fileplacer test_faults
	build-faults/test_faults
	$(PYTHON) tests/faults/sweep.py --exe build-faults/fileplacer --release build/fileplacer

# The tool keeps every record until it exits, by design, so leak reports
# say nothing; every other sanitizer finding ends the run.
ASAN_ENV = ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1

check-asan:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFP_SANITIZE=ON
	$(CMAKE) --build build-asan -j$(JOBS)
	cd build-asan && $(ASAN_ENV) ctest --output-on-failure -j$(JOBS)
	$(ASAN_ENV) $(E2E) --exe build-asan/fileplacer -j$(E2E_JOBS)

check-windows:
ifeq ($(and $(HAVE_MINGW),$(WINE)),)
	@echo "SKIPPING the Windows build: needs $(MINGW_CXX) and wine64 (or wine);" \
	      "install g++-mingw-w64-x86-64-posix and wine64"
	@if [ "$(FP_REQUIRE_WINDOWS)" = 1 ]; then \
	    echo "FP_REQUIRE_WINDOWS=1: the Windows build is required"; exit 1; fi
else
	$(CMAKE) -S . -B build-win -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake
	$(CMAKE) --build build-win -j$(JOBS)
	@mkdir -p $(WINEPREFIX)
	@[ -f $(WINEPREFIX)/system.reg ] || { echo "initialising the Wine prefix"; \
	    $(WINE) wineboot --init >/dev/null 2>&1; \
	    command -v wineserver >/dev/null && wineserver -w; true; }
	@# The Wine server is kept running through the suite (one that exits when
	@# idle races with the next program starting) and stopped afterwards.
	@command -v wineserver >/dev/null && wineserver -p || true
	@timeout 120 $(WINE) build-win/fileplacer.exe >/dev/null 2>&1 || true
	$(E2E) --exe build-win/fileplacer.exe --wine $(WINE) -j$(WINE_E2E_JOBS); \
	    status=$$?; command -v wineserver >/dev/null && wineserver -k; exit $$status
endif

# The Linux build into $(PREFIX); DESTDIR, when set, is put in front of it.
PREFIX ?= /usr/local
install: build
	$(CMAKE) --install build --prefix $(PREFIX)

# A Debian package of the Linux build (build/*.deb) and, when the MinGW-w64
# cross compiler is present, a zip archive of the Windows build
# (build-win/*.zip).
CPACK ?= cpack
package: build
	cd build && $(CPACK) -G DEB
ifneq ($(HAVE_MINGW),)
	$(CMAKE) -S . -B build-win -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake
	$(CMAKE) --build build-win -j$(JOBS)
	cd build-win && $(CPACK) -G ZIP
endif

# The packages' contents, the installed programs, the manual page and the
# shell completion; the zip only where the Windows build runs under Wine.
check-package: package
	$(PYTHON) tests/package/run.py --build build \
	    $(if $(and $(HAVE_MINGW),$(WINE)),--windows build-win --wine $(WINE))

# The fuzz targets of tests/fuzz, built with clang, libFuzzer and the
# sanitizers; `make fuzz` runs each for FUZZ_SECONDS on a copy of its corpus.
fuzz-build:
ifeq ($(HAVE_FUZZ),)
	@echo "the fuzz targets need $(CLANGXX) with libFuzzer: install clang and libclang-rt-dev"
	@exit 1
endif
	$(CMAKE) -S . -B build-fuzz -DCMAKE_CXX_COMPILER=$(CLANGXX) -DFP_FUZZ=ON -DFP_UNIT_TESTS=OFF
	$(CMAKE) --build build-fuzz --target fuzzers -j$(JOBS)

fuzz: fuzz-build
	tests/fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Smoke test: the seam checks, then 15 seconds per target from a fixed seed.
check-fuzz:
ifeq ($(HAVE_FUZZ),)
	@echo "SKIPPING the fuzz smoke test: needs $(CLANGXX) with libFuzzer;" \
	      "install clang and libclang-rt-dev"
else
	$(MAKE) fuzz-build
	build-fuzz/seamcheck
	FUZZ_FLAGS=-seed=1 tests/fuzz/run.sh build-fuzz 15
endif

# The kill scenarios (runs killed at random moments: a first install,
# --update, the manifest writer, --prune, --uninstall) with more rounds than
# the 50 of make check: make killtest ROUNDS=500. Linux build.
ROUNDS ?= 200
killtest: build
	KILLTEST_ROUNDS=$(ROUNDS) $(E2E) --exe build/fileplacer -k test_killed_ -j$(E2E_JOBS)

demo: build
	rm -rf demo-out
	./build/fileplacer -v -d demo-out -i examples/install.ins examples/src examples/src2

# `make bench`: the benchmark script (bench/run.py, options through
# BENCH_ARGS) on the release build, then the micro-benchmarks, which
# `make bench-micro` builds in build-bench/ and runs alone (MICRO_ARGS go to
# each). Neither is part of `make check`.
BENCH_ARGS ?=
MICRO_ARGS ?=

.PHONY: bench bench-micro clean-bench

bench: build
	$(PYTHON) bench/run.py $(BENCH_ARGS)
	$(MAKE) --no-print-directory bench-micro

bench-micro:
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFP_BENCH=ON -DFP_UNIT_TESTS=OFF
	$(CMAKE) --build build-bench -j$(JOBS)
	@set -e; for b in build-bench/micro_*; do \
	    if [ -f "$$b" ] && [ -x "$$b" ]; then echo "== $$b"; "$$b" $(MICRO_ARGS); fi; done

clean: clean-bench
clean-bench:
	rm -rf build-bench

clean:
	rm -rf build build-asan build-faults build-win build-fuzz demo-out
