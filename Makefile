# A thin layer over CMake and CTest. `make test` builds and runs every suite:
# the native one, the same under AddressSanitizer+UBSan, the threaded ones
# under ThreadSanitizer, and the Windows suites under Wine for each width
# this machine can run (a width it cannot run is reported, not failed).

JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build demo package test test-native test-asan test-tsan test-windows test-package test-fuzz fuzz bench clean

all: build

build:
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

# The demo, and the simulator that README's next commands start.
demo:
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS) --target velmar-dds velmar-dds-sim -- --no-print-directory
	./build/tools/velmar-dds demo

# Debian packages of the library, its development files and the tools, in build/.
package: build
	rm -f build/*.deb build/*.ddeb
	cd build && cpack -G DEB

# The packages installed with apt-get, used and removed (needs root).
test-package:
	MAKE="$(MAKE)" bash cmake/package-test.sh

# Every suite runs to its end, then one summary line each; the exit status
# is non-zero when a suite that ran failed.
test:
	MAKE="$(MAKE)" bash cmake/test-all.sh

test-native: build
	ctest --test-dir build --output-on-failure --no-tests=error -j$(JOBS)

test-asan:
	cmake -S . -B build-asan -DVELMAR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure --no-tests=error -j$(JOBS)

# The whole suite under ThreadSanitizer would double the run for little gain;
# the suites that start threads carry the label "threads".
test-tsan:
	cmake -S . -B build-tsan -DVELMAR_TSAN=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure --no-tests=error -L threads

test-windows:
	bash cmake/test-windows.sh

# The libFuzzer harnesses (fuzz/), built with clang, ASan and UBSan in
# build-fuzz. `make fuzz 600` runs them for 600 seconds in all, shared
# evenly among the harnesses (default 60, or SECONDS=N); `make test-fuzz` is
# the short fixed run of `make test`, 5 s per harness.
SECONDS ?= 60
ifneq ($(filter fuzz,$(MAKECMDGOALS)),)
FUZZ_NUMBER := $(shell printf '%s\n' $(MAKECMDGOALS) | grep -xE '[0-9]+' | head -n1)
ifneq ($(FUZZ_NUMBER),)
SECONDS := $(FUZZ_NUMBER)
# The number is the duration, not a target.
$(FUZZ_NUMBER):
	@:
endif
endif
FUZZ_CONFIGURE = cmake -S . -B build-fuzz -DVELMAR_FUZZ=ON -DCMAKE_C_COMPILER=clang \
	-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_BUILD_TESTS=OFF \
	$(CMAKE_FLAGS) >/dev/null

fuzz:
	$(FUZZ_CONFIGURE)
	cmake --build build-fuzz -j$(JOBS) --target velmar_fuzzers
	n=$$(wc -l <build-fuzz/fuzz-harnesses.txt); \
	bash fuzz/run.sh build-fuzz $$(( $(SECONDS) > n ? $(SECONDS) / n : 1 ))

test-fuzz:
	$(FUZZ_CONFIGURE)
	cmake --build build-fuzz -j$(JOBS) --target velmar_fuzzers
	bash fuzz/run.sh build-fuzz 5

# Builds the benchmarks, then prints the library's transfers against a plain
# client on the same simulated instrument, and MEAS:FREQ? through the SCPI
# server against velmar_dds_measure (build-bench/bench/velmar_bench has the
# planning and whole-call figures).
bench:
	cmake -S . -B build-bench -DVELMAR_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	./build-bench/bench/transport_bench
	if [ -x build-bench/bench/scpi_bench ]; then ./build-bench/bench/scpi_bench; fi

clean:
	rm -rf build build-asan build-tsan build-win32 build-win64 build-bench build-fuzz
