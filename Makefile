# The two commands of the README, each doing its own set-up on a fresh
# Debian machine:
#   make demo    build everything and run klor-fx --demo
#   make check   build everything and run every test
# and, for performance work:
#   make bench   build and run the benchmarks, print the table of goals

BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo check bench clean

all: build

deps:
	@.ci/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DKLOR_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@$(BUILD)/tools/klor-fx --demo --plugin $(BUILD)/libklor_distortion.so --out-dir demo-out

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@bench/run-bench $(BUILD)

clean:
	@rm -rf $(BUILD) demo-out
