# Everyday entry points; the build itself is CMake's.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
WIN_BUILD ?= build-win
COV_BUILD ?= build-cov
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build check coverage fuzz demo bench clean format windows check-windows \
	dist-windows install deb check-deb

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

# Line and branch coverage of src/ by the Linux suite, per folder and in
# total, from an unoptimised build with GCC's counters; the counts of an
# earlier run are cleared first. The report is printed also when a test
# fails, and the failure then ends the target.
coverage:
	@scripts/install-deps coverage
	@cmake -S . -B $(COV_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARROW_COVERAGE=ON >/dev/null
	@cmake --build $(COV_BUILD) -j $(JOBS)
	@find $(COV_BUILD) -name '*.gcda' -delete
	@(cd $(COV_BUILD) && ctest --output-on-failure -j $(JOBS)); status=$$?; \
		scripts/coverage-report $(COV_BUILD) && exit $$status

# The programs, their man pages and bash completion under PREFIX, staged
# below DESTDIR when it is set.
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package of the release build, dist/quarrow_<version>_<arch>.deb,
# and its check: lintian, then install, run and remove in a throwaway root.
deb: build
	@scripts/install-deps package
	@scripts/build-deb $(BUILD)

check-deb: build
	@scripts/install-deps package
	@scripts/check-deb "$$(scripts/build-deb $(BUILD))"

# The Windows program, cross-built with MinGW-w64 against libraries built
# for the target from Debian's sources (cached outside the build folder).
# Wine runs what the build runs: its prefix lives in the build folder.
WINE_ENV = WINEPREFIX=$(abspath $(WIN_BUILD))/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
windows:
	@scripts/install-deps windows
	@prefix=$$(scripts/build-win-deps | tail -n 1) && \
		{ [ "$$(cat $(WIN_BUILD)/deps-prefix 2>/dev/null)" = "$$prefix" ] || \
		  rm -f $(WIN_BUILD)/CMakeCache.txt; } && \
		cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/mingw-w64.cmake) -DQUARROW_WIN_DEPS=$$prefix >/dev/null && \
		echo "$$prefix" > $(WIN_BUILD)/deps-prefix
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target quarrow mklog

# The whole suite on the Windows build, under Wine. The prefix gets the
# administrative share of drive C: (\\localhost\C$), as every Windows
# machine has, so that network paths are tested too.
check-windows: windows
	@$(WINE_ENV) cmake --build $(WIN_BUILD) -j $(JOBS)
	@prefix=$(abspath $(WIN_BUILD))/wineprefix; \
		[ -f $$prefix/system.reg ] || $(WINE_ENV) wineboot -i >/dev/null 2>&1; \
		mkdir -p $$prefix/dosdevices/unc/localhost && \
		ln -sfn ../../c: "$$prefix/dosdevices/unc/localhost/C\$$"
	@cd $(WIN_BUILD) && $(WINE_ENV) ctest --output-on-failure -j $(JOBS)
	@! x86_64-w64-mingw32-objdump -p $(WIN_BUILD)/quarrow.exe | \
		awk '/DLL Name:/ { print tolower($$3) }' | \
		grep -v -x -E '(kernel32|advapi32|msvcrt|shell32|user32|ws2_32)\.dll' || \
		{ echo "quarrow.exe needs DLLs beyond the system's"; exit 1; }
	@awk '/: Skipped$$/ { getline why; getline name; sub(/^\[  SKIPPED \] /, "", name); \
		sub(/ \(.*/, "", name); print "skipped under Wine: " name ": " why }' \
		$(WIN_BUILD)/Testing/Temporary/LastTest.log

dist-windows: windows
	@scripts/dist-windows $(WIN_BUILD) $$(scripts/build-win-deps | tail -n 1)

# Every fuzz target for FUZZ_SECONDS, built with clang, ASan and UBSan in
# its own folder; fails on any finding.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQUARROW_FUZZ=ON -DQUARROW_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target mklog fuzz_seeds fuzz_convert fuzz_dbc fuzz_lzss \
		fuzz_password fuzz_paths fuzz_row_format
	@tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

demo: build
	@scripts/demo $(BUILD)

# Builds only what the benchmark runs, so a test that does not compile
# cannot stop it.
bench: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarrow mklog bench_measure bench_gcm_speed bench_unwrap_speed
	@bench/run $(BUILD)

format:
	@clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD) $(COV_BUILD) dist
