# The two commands of the README. Both install missing Debian packages first.
.PHONY: run test deps build build-asan build-tsan test-asan test-tsan bench fuzz fuzz-smoke format clean

JOBS ?= $(shell nproc)

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	@scripts/run.sh

test: build
	ctest --preset default -j $(JOBS)

build-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

test-asan: build-asan
	ctest --preset asan -j $(JOBS)

build-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

test-tsan: build-tsan
	ctest --preset tsan -j $(JOBS)

bench: build
	@scripts/bench.sh

# libFuzzer targets (clang): each runs FUZZ_SECONDS (default 60); fuzz-smoke is CI's short run.
fuzz: deps
	@fuzz/run.sh $(FUZZ_SECONDS)

fuzz-smoke: deps
	@fuzz/run.sh 10

# Formats every C/C++ file git tracks with the checked-in .clang-format.
format:
	git ls-files -z '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format -i --style=file

clean:
	rm -rf build build-asan build-tsan build-fuzz out
