# Front door of the project. Every target first makes sure the Debian packages
# the build needs are installed (scripts/install-deps.sh is idempotent).

SIM_ROOT ?= build/sim-root
SOAK_MINUTES ?= 60
FUZZ_SECONDS ?= 60
MAKEFLAGS += --no-print-directory

.PHONY: all deps build test tsan demo sim bench target armhf soak fuzz fuzz-smoke fuzz-build format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset sim >/dev/null
	cmake --build --preset sim

test: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

# The unit tests, then the system tests, under ThreadSanitizer (slow; not part of `make test`).
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan -L unit
	ctest --preset tsan -L system

demo: build
	scripts/demo.sh build/sim/bin

sim: build
	build/sim/bin/vboard-sim --root $(abspath $(SIM_ROOT))

bench: build
	scripts/run-benchmarks.sh build/sim/bin

target: deps
	cmake --preset target >/dev/null
	cmake --build --preset target

# The simulated board cross-built for the 32-bit ARM board, its unit tests run
# under qemu-arm. Slow (emulation), so not part of `make test`.
armhf:
	@scripts/install-armhf-deps.sh
	cmake --preset armhf >/dev/null
	cmake --build --preset armhf
	ctest --preset armhf -j2

# Soak test of the simulated board (not part of `make test`): SOAK_MINUTES of
# accelerated use; CSV, plot and summary in build/soak/.
soak: deps
	@scripts/install-deps.sh soak
	cmake --preset sim >/dev/null
	cmake --build --preset sim --target vboard vboard-sim vbctl fcsim
	unshare -rn bash tests/system/soak.sh build/sim/bin build/soak $(SOAK_MINUTES)

# libFuzzer targets (clang, see docs/fuzzing.md): each runs FUZZ_SECONDS on a
# scratch copy of its seed corpus; fails when anything was found.
fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz.sh build/fuzz/bin

fuzz-smoke: fuzz-build
	FUZZ_SECONDS=5 scripts/run-fuzz.sh build/fuzz/bin

format:
	find src sim tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build
