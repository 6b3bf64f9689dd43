# Thin wrapper around CMake: make, make run, make test, make test-asan, make bench.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all run test test-asan bench sample clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

run: all
	$(BUILD)/kel -l examples/sample.kel
	rm -rf out
	$(BUILD)/kel -d examples/sample.kel out
	@find out | sort

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

sample: all
	$(BUILD)/make_sample examples/sample.kel

bench: all
	bench/scan.sh
	bench/extract.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) out
