# Front for the two CMake builds: build/linux (native, with the tests) and
# build/windows (mingw-w64 cross build of kalmo-host.exe and its test DLLs).
JOBS ?= 2
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: all linux windows test setup clean sanitize fuzz web-test dist dist-test
all: linux windows

setup:
	bash tools/setup.sh

linux:
	cmake -S . -B build/linux $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/linux -j $(JOBS)

windows:
	cmake -S . -B build/windows $(GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake
	cmake --build build/windows -j $(JOBS)

test: all
	ctest --test-dir build/linux --output-on-failure -j $(JOBS)
	$(MAKE) dist-test sanitize fuzz
	$(MAKE) web-test

# The web package (web/): its Node tests against the Linux host, the demo and
# test cores, then the player's tests in headless Chromium.
WEB_TARGETS := kalmo-host demo_core probe_core not_a_core cursor_core kalmo-stream-dump
web-test:
	cmake -S . -B build/linux $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/linux -j $(JOBS) --target $(WEB_TARGETS)
	test -d web/node_modules || (cd web && npm ci --no-audit --no-fund)
	cd web && npm test && npm run test:browser
	$(MAKE) --no-print-directory web-windows-test

# The same package under a pinned Windows node.exe in Wine, against the
# Windows host and DLLs (web/test/windows/); it skips, saying why, without wine.
WEB_WINDOWS_TARGETS := kalmo-host demo_core probe_core not_a_core
.PHONY: web-windows-test
web-windows-test:
	cmake -S . -B build/windows $(GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake
	cmake --build build/windows -j $(JOBS) --target $(WEB_WINDOWS_TARGETS)
	bash tools/windows_node.sh
	cd web && npm run test:windows

# The release archives in dist/ (tools/dist/make_dist.sh says what each
# holds), checked by unpacking and running each one.
dist:
	JOBS=$(JOBS) bash tools/dist/make_dist.sh

# Two `make dist` runs in fresh clones of HEAD must give identical archives.
dist-test:
	bash tests/dist/reproducible_dist.sh

# The Linux build again with AddressSanitizer and UndefinedBehaviorSanitizer
# (the host, the test cores and the tests), running the unit, end-to-end and
# robustness tests; any report ends the run with a failure.
SANITIZE_DIR ?= build/sanitize
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SANITIZED_AREAS := unit e2e robustness
# With Ninja, only what those areas' tests need is built (tests/<area>/all).
SANITIZED_TARGETS = $(if $(GEN),--target $(foreach area,$(SANITIZED_AREAS),$(if $(wildcard tests/$(area)/CMakeLists.txt),tests/$(area)/all)))
sanitize:
	cmake -S . -B $(SANITIZE_DIR) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_C_FLAGS=$(SANITIZE)" \
		"-DCMAKE_CXX_FLAGS=$(SANITIZE)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE)" \
		"-DCMAKE_SHARED_LINKER_FLAGS=$(SANITIZE)" "-DCMAKE_MODULE_LINKER_FLAGS=$(SANITIZE)"
	cmake --build $(SANITIZE_DIR) -j $(JOBS) $(SANITIZED_TARGETS)
	set -e; for area in $(SANITIZED_AREAS); do \
		if [ -d $(SANITIZE_DIR)/tests/$$area ]; then \
			ctest --test-dir $(SANITIZE_DIR)/tests/$$area --output-on-failure -j $(JOBS); fi; done

# The libFuzzer harnesses, built by clang, each run for a short while from
# its seed corpus (tests/fuzz/README.md has the longer runs).
FUZZ_DIR ?= build/fuzz
fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_harnesses
	ctest --test-dir $(FUZZ_DIR)/tests/fuzz --output-on-failure -j $(JOBS)

# Figures and ratios measured side by side, also written to bench/RESULTS.md;
# BENCH_ARGS passes options, e.g. BENCH_ARGS=--pacing-seconds=10.
.PHONY: bench
bench: all
	build/linux/bench/kalmo_bench --markdown=bench/RESULTS.md $(BENCH_ARGS)
	test -d web/node_modules || (cd web && npm ci --no-audit --no-fund)
	cd web && npm run bench && npm run bench:browser

clean:
	rm -rf build dist
