# The two commands a newcomer needs: `make demo` and `make test`. Each installs
# what is missing, configures, builds, then runs.
PRESET ?= default
BUILD  := build/$(PRESET)
JOBS   ?= $(shell nproc)

.PHONY: all deps configure build demo test e2e soak package package-test bench asan tsan fuzz format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@$(BUILD)/tools/zt/zt demo

# The package test builds and unpacks a Debian package: `make package-test`.
test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE package

# Several hosts on this machine, each a network namespace (needs root; skips
# without it): tests/e2e/run.
e2e: build
	@tests/e2e/run $(BUILD)

package: build
	@cmake --build $(BUILD) --target package

package-test: build
	@ctest --test-dir $(BUILD) --output-on-failure -L package

# The shared stores under load, forks and kills for a few minutes (SOAK_SECONDS).
SOAK_SECONDS ?= 180
soak: build
	@$(BUILD)/tests/store_soak $(SOAK_SECONDS)

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

fuzz:
	@scripts/install-deps --fuzz
	@cmake --preset fuzz >/dev/null && cmake --build build/fuzz -j $(JOBS)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	@rm -rf build
