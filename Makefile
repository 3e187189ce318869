# Front door: every target installs what is missing, configures and builds first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

# `make test SANITIZE=1`: the same suite built with ASan and UBSan, in its own build dir.
ifeq ($(SANITIZE),1)
BUILD = build-asan
CMAKE_FLAGS += -DSERVO_SANITIZE=ON
# Every program the tests start inherits this: leaks of libraries we do not own are known.
export LSAN_OPTIONS := suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
endif

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZERS = lower_bound servo_frame

.PHONY: all setup configure build run demo test bench clean package fuzz check-fresh windows \
	check-windows format check-format arm64 check-arm64 check-drivers

all: build

setup:
	@scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/servo-panel

# The panel on a virtual controller: servo-sim opens a pseudo-terminal, starts the panel with
# it standing in for /dev/ttyS0 (in a namespace of its own, no root needed) and shows what
# arrives. Builds only the two programs.
demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target servo-panel servo-sim
	$(BUILD)/sim/servo-sim

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# Release build of its own, so the debug build of `make test` stays as it is.
RELEASE_BUILD ?= build-release

bench: setup
	@cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON \
	  -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(RELEASE_BUILD) -j$(JOBS)
	@mkdir -p $(BUILD)
	$(RELEASE_BUILD)/bench/servo-bench --json $(BUILD)/bench.json

package: build
	cd $(BUILD) && cpack -G DEB

# Each fuzzer runs for FUZZ_SECONDS from the committed corpus; inputs that reach new code
# are merged back into fuzz/corpus/, which the regular tests replay. clang++ is whichever
# clang the release ships (14 on Debian 12, 19 on Debian 13).
fuzz:
	@scripts/setup.sh fuzz
	@cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS)
	@set -e; for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f fuzz/corpus/$$f; \
	  echo "fuzz: $$f for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/$${f}_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=5 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/$$f- $$(test -f fuzz/$$f.dict && echo -dict=fuzz/$$f.dict) \
	    $(FUZZ_BUILD)/corpus/$$f fuzz/corpus/$$f 2>$(FUZZ_BUILD)/$$f.log \
	    || { tail -40 $(FUZZ_BUILD)/$$f.log; exit 1; }; \
	  grep -E '^(stat::|Done|#[0-9]+ *DONE)' $(FUZZ_BUILD)/$$f.log || true; \
	  $(FUZZ_BUILD)/$${f}_fuzz -merge=1 fuzz/corpus/$$f $(FUZZ_BUILD)/corpus/$$f \
	    2>>$(FUZZ_BUILD)/$$f.log; \
	  echo "fuzz: $$f corpus kept: $$(ls fuzz/corpus/$$f | wc -l) inputs"; \
	done

# `make test` on a fresh minimal Debian from the committed HEAD, as root and as a user:
# DEBIAN=bookworm (Debian 12, the default) or DEBIAN=trixie (Debian 13). Needs root and the
# network; a few hundred packages; not for CI.
DEBIAN ?= bookworm
check-fresh:
	@BUILD=$(BUILD) DEBIAN=$(DEBIAN) scripts/check-fresh.sh

# The Windows installer and zip in build-windows/. The first run puts Qt for Windows into
# ~/.cache/servo-panel: unpacked from QT_SOURCE_DIR's prebuilt archive where it matches this
# configuration, else built from the source tarballs there (17 to 29 minutes on two idle cores).
WINDOWS_BUILD ?= build-windows
export QT_SOURCE_DIR

windows:
	@scripts/setup.sh windows
	@WINDOWS_BUILD=$(WINDOWS_BUILD) JOBS=$(JOBS) scripts/build-windows.sh

# The Windows program, installed and run under Wine on a stand-in COM1 (root; CI runs it).
check-windows: windows
	@WINDOWS_BUILD=$(WINDOWS_BUILD) scripts/check-windows.sh

# The arm64 release program and servo-panel_<version>_arm64.deb in build-arm64/, cross-built
# with Debian's multiarch packages, and the suites that need no port or window.
ARM64_BUILD ?= build-arm64
ARM64_TARGETS = servo-panel package_texts logic_tests rule_tests corpus_tests

arm64:
	@scripts/setup.sh arm64
	@cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
	@cmake --build $(ARM64_BUILD) -j$(JOBS) --target $(ARM64_TARGETS)
	cd $(ARM64_BUILD) && DEB_HOST_ARCH=arm64 cpack -G DEB

# The arm64 build under qemu's user mode: its package's fields and the portable suites (35 s
# once built; the first `make arm64` installs the arm64 libraries and builds in 13 min on two
# busy cores). The package installed and run in arm64 Debian 12 is check-drivers' row pi.
check-arm64: arm64
	@ARM64_BUILD=$(ARM64_BUILD) scripts/check-arm64.sh

# Both packages installed in machines qemu emulates, on the kernel's own serial drivers: a
# 16550A, the kernel's console, a USB adapter pulled out, a Raspberry Pi's PL011 alone and as
# the console (root). The first run makes the kernels and roots in ~/.cache/servo-panel/drivers
# (on two busy cores the amd64 machine took 8 min, the arm64 one 15); then the five rows take
# 5 min.
check-drivers: package arm64
	@cmake --build $(BUILD) -j$(JOBS) --target layout-points
	@scripts/setup.sh drivers
	@BUILD=$(BUILD) ARM64_BUILD=$(ARM64_BUILD) scripts/check-drivers.sh

# Formats every C++ file as .clang-format says; CI fails on any difference.
format:
	@scripts/setup.sh format
	@git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i

# Fails on any C++ file that `make format` would change, naming it (CI runs this).
check-format:
	@scripts/setup.sh format
	@git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) build-asan $(RELEASE_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) $(ARM64_BUILD)
