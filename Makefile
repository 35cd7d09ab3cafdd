# Velmora: `make run` and `make test` work on a fresh Debian 12 machine as root.
BUILD    ?= build
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test samples clean

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

clean:
	rm -rf $(BUILD)
