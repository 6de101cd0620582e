# Everyday entry points; the build itself is CMake's.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps build check demo bench clean format

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The whole suite, once on the release build and once under the sanitizers.
check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARROW_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

bench: build
	@bench/run $(BUILD)

format:
	@clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
