# The two commands a user needs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build deps test unit demo clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Every test: unit tests, end-to-end runs of the binary and the lab tests.
test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Unit tests only (no namespaces, no peers).
unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

# One real scan of the lab (needs root): dependencies, build, lab up, scan,
# result and summary, lab down.
demo:
	@BUILD=$(BUILD) JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" scripts/demo.sh

clean:
	rm -rf $(BUILD)

# Discovery benchmark in a lab of its own (needs root and the tools of
# scripts/install-deps.sh --bench).
.PHONY: bench
bench: build
	@BUILD=$(BUILD) scripts/bench-discovery.sh
	@BUILD=$(BUILD) scripts/bench-mib.sh

# The unit, e2e tests and fuzz replays again under AddressSanitizer +
# UndefinedBehaviorSanitizer (build-asan), the threaded tests under
# ThreadSanitizer (build-tsan). Part of CI.
.PHONY: sanitize
sanitize:
	@JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" scripts/sanitize.sh

# Every libFuzzer target for FUZZ_SECONDS (default 60) each, with clang, in
# build-fuzz; prints execs and findings per target.
.PHONY: fuzz
fuzz:
	@JOBS=$(JOBS) scripts/fuzz.sh $(if $(FUZZ_SECONDS),--seconds $(FUZZ_SECONDS))

# clang-format (check mode) over every C++ file and clang-tidy over the product
# code, with the compile commands of $(BUILD). Part of CI.
.PHONY: lint
lint: deps
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/lint.sh

# The Debian package (build/ordalen_VERSION_ARCH.deb) with CPack; checked and
# installed in the lab by `ctest -L package` (part of make test).
.PHONY: package man
package: build
	cmake --build $(BUILD) --target package

# The manual page rendered as text (build/packaging/ordalen.8.txt); groff -ww
# fails on any warning.
man: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target man
	@echo "$(BUILD)/packaging/ordalen.8.txt (man -l packaging/ordalen.8)"
