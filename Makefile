# The two commands of the README. Both install missing Debian packages first.
.PHONY: run test deps build build-asan build-tsan test-asan test-tsan bench bench-template fuzz fuzz-smoke format clean install uninstall

JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
LV2_BUNDLE_DIR = $(DESTDIR)$(PREFIX)/lib/lv2/Korvel.lv2

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

# A 500-track Ardour session with and without Korvel (LV2): load time and idle CPU. Not in CI.
bench-template: build
	@scripts/bench-template.sh

# libFuzzer targets (clang): each runs FUZZ_SECONDS (default 60); fuzz-smoke is CI's short run.
fuzz: deps
	@fuzz/run.sh $(FUZZ_SECONDS)

fuzz-smoke: deps
	@fuzz/run.sh 10

# The LV2 bundle for Linux hosts (Ardour, Qtractor, jalv): $(PREFIX)/lib/lv2/Korvel.lv2
install: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target korvel_lv2_bundle
	rm -rf "$(LV2_BUNDLE_DIR)"
	mkdir -p "$(dir $(LV2_BUNDLE_DIR))"
	cp -R build/Korvel.lv2 "$(LV2_BUNDLE_DIR)"

uninstall:
	rm -rf "$(LV2_BUNDLE_DIR)"

# Formats every C/C++ file git tracks with the checked-in .clang-format.
format: deps
	git ls-files -z '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format -i --style=file

clean:
	rm -rf build build-asan build-tsan build-fuzz out
