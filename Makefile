# Velmora: `make run` and `make test` work on a fresh Debian 12 machine as root.
BUILD    ?= build
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-sanitize fuzz samples bench clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

samples: build
	@test -d samples || $(BUILD)/make-frames --out samples --count 6 --width 640 --height 480 --planes 3

run: samples
	$(BUILD)/velmora

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Timings of the merge, the read floor and the preview against Siril and
# Gnuastro when installed; frame sets are generated into bench/data once.
bench: build
	bash bench/run.sh $(BUILD)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
# CFITSIO meets absurd sizes from a header with a calloc that fails, so the
# allocator returns null there as the system one does.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_ENV = QT_QPA_PLATFORM=offscreen \
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:strict_string_checks=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON $(CMAKE_FLAGS)
	$(SANITIZE_ENV) cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS)

# libFuzzer over frame loading (clang). New inputs go to the build folder's
# corpus, crashes to its crashes/ folder; fuzz/corpus is only read.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_FLAGS ?= -jobs=1 -rss_limit_mb=4096 -max_len=200000 -timeout=30

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target load_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/crashes
	cd $(FUZZ_BUILD) && ASAN_OPTIONS=allocator_may_return_null=1 LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 fuzz/load_fuzzer $(FUZZ_FLAGS) \
		-max_total_time=$(FUZZ_SECONDS) -artifact_prefix=crashes/ corpus $(CURDIR)/fuzz/corpus

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
