# Thin wrapper around CMake: make, make run, make test, make soak,
# make test-asan, make lines, make lint,
# make bench, make fuzz, make install, make package, make windows,
# make test-windows.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
WINDOWS_BUILD ?= build-windows
# Seconds each fuzz target runs in make fuzz.
FUZZ_SECONDS ?= 300
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
# The tests in `make`: AUTO builds them when GoogleTest is found, ON
# requires it, OFF leaves them out. `make test` always asks for them.
TESTS ?= AUTO

configure = cmake -S . -B $(1) -DKEL_TESTS=$(2) $(3) >/dev/null
# $(2): the targets, when not all of them.
build = cmake --build $(1) -j $(JOBS) $(if $(2),--target $(2)) -- --no-print-directory
# Shell text: installs the packages named in the shell variable need, when
# there are any, with apt (through sudo when not root).
sudo = $$([ "$$(id -u)" = 0 ] || echo sudo)
apt-install = [ -z "$$need" ] || { echo "Installing:" $$need; \
  $(sudo) apt-get update -qq && \
  $(sudo) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$need >/dev/null; }
# Wine keeps its state (about 700 MB once made) with the Windows build.
wine-env = export WINEDEBUG=-all WINEPREFIX="$(abspath $(WINDOWS_BUILD))/wine"

.PHONY: all run test soak test-asan test-deps lines lint bench fuzz fuzz-seeds sample install package package-deps clean \
  windows windows-deps test-windows test-windows-deps

all:
	$(call configure,$(BUILD),$(TESTS),-DCMAKE_BUILD_TYPE=Release)
	$(call build,$(BUILD))

# Only the tool: the sample archive is in the sources.
run:
	$(call configure,$(BUILD),$(TESTS),-DCMAKE_BUILD_TYPE=Release)
	$(call build,$(BUILD),kel)
	$(BUILD)/kel -l examples/sample.kel
	rm -rf out
	$(BUILD)/kel -d examples/sample.kel out
	@find out | sort

test: test-deps
	$(call configure,$(BUILD),ON,-DCMAKE_BUILD_TYPE=Release)
	$(call build,$(BUILD))
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -LE soak
	@$(MAKE) --no-print-directory lines

# Non-blank, non-comment lines (// in C++ and C, # in scripts, Python and
# the case table) by folder: the tests (tests/ and python/tests/) are to
# stay within a third of the code (include/, lib/, programs/, python/kel/).
lines:
	@for d in include lib programs python/kel tests python/tests fuzz bench examples tools; do \
	  find $$d -type f \( -name '*.cc' -o -name '*.h' -o -name '*.c' -o -name '*.sh' -o -name '*.txt' \
	    -o -name '*.py' -o -name layout \) -exec cat {} + | \
	    awk -v d=$$d/ '{ t = $$0; gsub(/^[ \t]+|[ \t]+$$/, "", t) } \
	      t != "" && t !~ /^\/\// && t !~ /^(\/\*|\*)/ && t !~ /^#( |!|$$)/ { n++ } END { print d, n + 0 }'; \
	done | awk '{ n[$$1] = $$2; printf "%-14s %5d\n", $$1, $$2 } \
	  $$1 ~ /^(include|lib|programs|python\/kel)\/$$/ { code += $$2 } $$1 ~ /tests\/$$/ { tests += $$2 } \
	  END { printf "tests: %.1f %% of the code\n", 100 * tests / code }'

# The long runs: every I/O call of each write failing, crashing or
# signalled in turn, and power cuts replayed.
soak: test-deps
	$(call configure,$(BUILD),ON,-DCMAKE_BUILD_TYPE=Release)
	$(call build,$(BUILD))
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -L soak

test-asan: test-deps
	$(call configure,$(ASAN_BUILD),ON,-DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=ON)
	$(call build,$(ASAN_BUILD))
	cd $(ASAN_BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -LE soak

# What the tests need beyond the build, installed with apt when missing:
# GoogleTest (missing when CMake cannot configure the tests) and the C.utf8
# locale.
test-deps:
	@need=; \
	$(call configure,$(BUILD),ON,-DCMAKE_BUILD_TYPE=Release) 2>&1 || need=libgtest-dev; \
	/usr/bin/python3 -c 'import pytest' 2>/dev/null || need="$$need python3-pytest"; \
	locale -a 2>/dev/null | grep -qix 'c\.utf-\?8' || need="$$need locales"; \
	$(apt-install) && \
	{ locale -a 2>/dev/null | grep -qix 'c\.utf-\?8' || $(sudo) localedef -i C -f UTF-8 C.UTF-8; }

# kel.exe for 64-bit Windows, static, cross-compiled with mingw-w64.
windows: windows-deps
	$(call configure,$(WINDOWS_BUILD),OFF,-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release)
	$(call build,$(WINDOWS_BUILD))

# The end-to-end tests of the Linux test binary against kel.exe (KEL_EXE),
# under wine; tests that start no kel run again at no cost. Wine's server is started once, kept for the whole
# run and stopped at the end, its output away from any reader.
test-windows: test-deps test-windows-deps
	$(call configure,$(WINDOWS_BUILD),OFF,-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release)
	$(call build,$(WINDOWS_BUILD))
	$(call configure,$(BUILD),ON,-DCMAKE_BUILD_TYPE=Release)
	$(call build,$(BUILD))
	@$(wine-env); \
	trap 'wineserver -k >/dev/null 2>&1' EXIT; \
	wineserver -p </dev/null >/dev/null 2>&1; \
	wine cmd /c exit </dev/null >/dev/null 2>&1; \
	echo "End-to-end tests against $(WINDOWS_BUILD)/kel.exe:" && \
	(cd $(BUILD) && KEL_EXE="$(abspath $(WINDOWS_BUILD))/kel.exe" \
	  ctest --output-on-failure --no-tests=error -j $(JOBS) -LE soak) && \
	echo "The C example against kel.dll:" && \
	rm -rf $(WINDOWS_BUILD)/example && mkdir $(WINDOWS_BUILD)/example && \
	cp examples/sample.kel $(WINDOWS_BUILD)/example/c.kel && \
	(cd $(WINDOWS_BUILD)/example && wine ../list_replace.exe c.kel readme.txt out </dev/null && \
	  grep -q '^Kel sample' out/readme.txt) && echo "PASS list_replace.exe"

# The posix-thread mingw-w64 compiler.
windows-deps:
	@need=; \
	command -v x86_64-w64-mingw32-g++-posix >/dev/null || need=g++-mingw-w64-x86-64-posix; \
	$(apt-install)

# Wine, and the ja_JP.UTF-8 locale that gives wine the code page 932.
test-windows-deps: windows-deps
	@need=; \
	command -v wine >/dev/null || need="wine wine64"; \
	[ -f /usr/share/i18n/locales/ja_JP ] || need="$$need locales"; \
	$(apt-install) && \
	{ locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8' || $(sudo) localedef -i ja_JP -f UTF-8 ja_JP.UTF-8; }

# Static checks: clang-tidy (.clang-tidy) and cppcheck on the tool's sources,
# and every source as clang-format (.clang-format) writes it. cppcheck does
# not see struct members that are used through containers and lambdas.
# Then the layout (tools/layout: includes point down, no room over 500
# lines), and no library file that prints, ends the process or catches a
# signal.
SOURCES = $(wildcard include/*.h lib/*.cc lib/*.h programs/*.cc programs/*.h tests/*.cc tests/*.h bench/*.cc \
  examples/*.cc examples/*.c examples/*.h fuzz/*.cc)
LIBRARY_CALLS = '\b(printf|fprintf|puts|fputs|putchar|std::cout|std::cerr|exit|_exit|abort|raise|signal|sigaction|SetConsoleCtrlHandler|ExitProcess|WriteConsoleW|setlocale|getenv|isatty)\b *\('
lint: all
	clang-tidy -p $(BUILD) --quiet $(filter-out %_win32.cc %_win32_folders.cc,$(wildcard lib/*.cc programs/*.cc))
	cppcheck --enable=warning,performance,portability,style --suppress=unusedStructMember --inline-suppr \
	  --quiet --std=c++17 --language=c++ --error-exitcode=1 -I include -I lib -I programs lib/ programs/
	clang-format --dry-run --Werror $(SOURCES)
	tools/layout >/dev/null
	@! grep -nE $(LIBRARY_CALLS) lib/*.cc lib/*.h || { echo "lint: the library prints, ends or catches signals"; exit 1; }
	@$(MAKE) --no-print-directory lines

# The libFuzzer targets in fuzz/, built with clang in $(FUZZ_BUILD) and run
# for FUZZ_SECONDS each, two at a time (fuzz/run.sh); fuzz-seeds rewrites the
# seeds of the committed corpora.
fuzz:
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

fuzz-seeds:
	FUZZ_BUILD=$(FUZZ_BUILD) fuzz/run.sh seeds

sample: all
	$(BUILD)/make_sample examples/sample.kel

bench: all
	BUILD=$(BUILD) bench/run.sh

# PREFIX (default /usr/local) and DESTDIR as usual: the tool and its manual
# page, kel.h, libkel (shared and static), kel.pc and the Python package,
# where Debian's /usr/bin/python3 looks below PREFIX: lib/python3/dist-packages
# for /usr, lib/python3.X/dist-packages for any other prefix.
PYTHON_DIR = $(if $(filter /usr,$(PREFIX)),lib/python3/dist-packages,lib/$(shell /usr/bin/python3 -c \
  'import sys; print("python%d.%d" % sys.version_info[:2])' 2>/dev/null || echo python3)/dist-packages)
install: all
	cmake -S . -B $(BUILD) -DKEL_PYTHON_DIR=$(PYTHON_DIR) >/dev/null
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

# A Debian package in $(BUILD)/package; dpkg-shlibdeps (dpkg-dev) and file
# work out its dependencies, and are installed with apt when missing.
package: package-deps all
	cd $(BUILD) && cpack

package-deps:
	@need=; \
	command -v dpkg-shlibdeps >/dev/null || need=dpkg-dev; \
	command -v file >/dev/null || need="$$need file"; \
	$(apt-install)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD) out
