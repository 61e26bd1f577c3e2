# The two commands of the README: `make run` (from the top folder; it starts
# the arranger in demo/) and `make test`. Both install missing packages first.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
ASAN_BUILD := build-asan
TSAN_BUILD := build-tsan
ARM64_BUILD := build-arm64

.PHONY: all deps test-deps build demo-files run test test-release test-soak test-asan test-tsan test-kernel test-fuzz test-arm64 bench bench-kernel deb clean

all: build

deps:
	@bash tools/install-deps.sh

test-deps:
	@bash tools/install-deps.sh --test

# The arranger, its companion tool and the phone remote only; the tests build
# with `make test`.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTN_WERROR=OFF
	cmake --build $(BUILD) -j$(JOBS) --target veltrona veltrona-tool veltrona-remote

# The demo's styles and settings file, built from their readable sources in
# demo/ by the companion tool of $(BUILD) (the built files are not kept in git).
TOOL = $(BUILD)/tools/veltrona-tool/veltrona-tool
demo-files:
	@mkdir -p demo/Styles "demo/MIDI files"
	@for desc in demo/style-sources/*.json; do \
	    $(TOOL) style-write "$$desc" "demo/Styles/$$(basename "$$desc" .json).sty" >/dev/null || exit 1; \
	done
	@$(TOOL) settings-write demo/settings.json demo/vtn.cfg >/dev/null

# FluidSynth is started as the sound generator when no port matches midiout:.
run: build
	@$(MAKE) --no-print-directory demo-files
	@tools/run-demo.sh $(BUILD)

# Every test, in the normal build and again under AddressSanitizer with
# UndefinedBehaviorSanitizer; the threaded tests under ThreadSanitizer; and the
# kernel suite against the real ALSA sequencer (here, or in a throwaway VM).
# A warning fails the test builds.
test: test-deps
	$(MAKE) test-release
	$(MAKE) test-soak
	$(MAKE) test-asan
	$(MAKE) test-tsan
	$(MAKE) test-kernel
	$(MAKE) test-fuzz
	$(MAKE) test-arm64

test-release:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTN_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The demo set-up played at random for three minutes in all: many simulated
# minutes on the manual clock (time jumps to each wake-up of the player), then
# two real ones. Longer: build/tools/veltrona-soak --clock real --minutes 60.
SOAK_MANUAL_MINUTES ?= 20
SOAK_REAL_MINUTES ?= 2
test-soak:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTN_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target veltrona-soak veltrona-tool
	$(MAKE) --no-print-directory demo-files
	$(BUILD)/tools/veltrona-soak --clock manual --minutes $(SOAK_MANUAL_MINUTES)
	$(BUILD)/tools/veltrona-soak --clock real --minutes $(SOAK_REAL_MINUTES)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVTN_SANITIZE=ON -DVTN_WERROR=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTN_TSAN=ON -DVTN_WERROR=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target test_midi test_engine test_input test_player test_app veltrona-tool
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/test_midi
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/test_engine
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/test_input
# The control socket's threads beside the console's.
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/test_app --gtest_filter='ControlSocket*'
# The render tests run veltrona-tool, whose FluidSynth spreads work over an
# OpenMP pool that ThreadSanitizer cannot see into; one thread needs no pool.
	OMP_NUM_THREADS=1 TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/test_player

# Every file reader under libFuzzer (clang, ASan+UBSan) for a bounded time.
FUZZ_SECONDS ?= 60
test-fuzz:
	tools/run-fuzzers.sh $(FUZZ_SECONDS)

# The arranger, its tool and the unit tests built for the Pi's 64-bit OS with
# Debian's cross compiler and the tests run under qemu-user, so what differs
# on the board (char is unsigned there) shows at every change. The board's
# optimisation without debug information, which changes no code and costs a
# quarter of the compile time.
test-arm64:
	@bash tools/install-deps.sh --test
	@bash tools/install-deps.sh --arm64
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
	    -DVTN_WERROR=ON -DVTN_BENCH=OFF
	cmake --build $(ARM64_BUILD) -j$(JOBS)
	cd $(ARM64_BUILD) && ctest --output-on-failure -j$(JOBS)

# The kernel suite installs the board's package in its VM, so it packs it first.
test-kernel:
	$(MAKE) --no-print-directory deb
	tests/e2e/run-kernel-tests.sh $(BUILD) $(TSAN_BUILD)

# The VM and the timing song (python3-mido) are test dependencies.
bench-kernel: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	tests/e2e/run-kernel-tests.sh $(BUILD) --bench

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b; done

# The board's Debian package, $(BUILD)/veltrona_VERSION_ARCH.deb: the arranger,
# the companion tool, the services and the demo (see the README's guide for the
# board). It packs the binaries of $(BUILD) in the configuration it has.
deb:
	@bash tools/install-deps.sh --deb
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVTN_WERROR=OFF
	cmake --build $(BUILD) -j$(JOBS) --target veltrona veltrona-tool veltrona-remote
	@$(MAKE) --no-print-directory demo-files
	cd $(BUILD) && cpack -G DEB
	@packaging/verify-units.sh $$(ls -t $(BUILD)/veltrona_*.deb | head -n 1)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(ARM64_BUILD) build-fuzz
