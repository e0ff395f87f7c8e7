# Front for the two CMake builds: build/linux (native, with the tests) and
# build/windows (mingw-w64 cross build of kalmo-host.exe and its test DLLs).
JOBS ?= 2
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: all linux windows test setup clean
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

# Figures and ratios measured side by side, also written to bench/RESULTS.md;
# BENCH_ARGS passes options, e.g. BENCH_ARGS=--pacing-seconds=10.
.PHONY: bench
bench: all
	build/linux/bench/kalmo_bench --markdown=bench/RESULTS.md $(BENCH_ARGS)

clean:
	rm -rf build
