# Front door: every target installs what is missing, configures and builds first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all setup configure build run test bench clean

all: build

setup:
	@scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/servo-panel

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

clean:
	rm -rf $(BUILD) $(RELEASE_BUILD)
