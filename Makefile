# Entry points for a fresh Debian machine: `make demo` and `make test`.
JOBS      ?= $(shell nproc)
BUILD     ?= build
DEPS      := cmake g++ make zlib1g-dev liblzma-dev libgtest-dev libgmock-dev libbenchmark-dev xz-utils
# The exchange library (libVq81Exchange, vqtool import/export) reads and writes through
# assimp and makes levels of detail with meshoptimizer (also the peer of bench_strip).
DEPS      += libassimp-dev libmeshoptimizer-dev
# Only benchmarks use these (rapidjson-dev: the reference of bench_json; libdraco-dev: the
# peer of bench_meshcodec and bench_exchange); installed when run as root, otherwise named
# without stopping the build, which leaves their parts out.
BENCH_DEPS := rapidjson-dev libdraco-dev
# The reference glTF validator, which the exchange tests run on the files they export:
# installed with npm into the build directory when node is there, else those checks skip.
VALIDATOR := $(BUILD)/node_modules/gltf-validator/package.json
CMAKE_GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps build demo test test-release test-asan test-tsan bench fuzz clean format validator

all: build

deps:
	@missing=""; optional=""; for p in $(DEPS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	for p in $(BENCH_DEPS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || optional="$$optional $$p"; \
	done; \
	if [ -n "$$missing$$optional" ] && [ "$$(id -u)" = 0 ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing $$optional; \
	elif [ -n "$$missing" ]; then \
	  echo "Missing packages; run: sudo apt-get install -y$$missing$$optional"; exit 1; \
	elif [ -n "$$optional" ]; then \
	  echo "Benchmark references left out; for them run: sudo apt-get install -y$$optional"; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

validator:
	@if [ -f $(VALIDATOR) ]; then :; \
	elif command -v npm >/dev/null 2>&1; then \
	  mkdir -p $(BUILD) && npm install --no-save --no-audit --no-fund --prefix $(BUILD) gltf-validator >/dev/null || \
	  echo "gltf-validator could not be installed: the exchange tests skip their glTF validation"; \
	else echo "node/npm not found: the exchange tests skip their glTF validation"; fi

demo: build
	./$(BUILD)/tools/vqtool/vqtool demo

test: test-release test-asan

test-release: build validator
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps validator
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVQ_SANITIZE=address,undefined -DVQ_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVQ_SANITIZE=thread -DVQ_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b; done

FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVQ_BUILD_FUZZ=ON -DVQ_BUILD_TESTS=OFF -DVQ_BUILD_BENCH=OFF -DVQ_SANITIZE=address,undefined
	cmake --build build-fuzz -j $(JOBS)
	@# With VQ_MESH_DIR set, the records of the real meshes seed fuzz_meshrecord too.
	@if [ -n "$$VQ_MESH_DIR" ]; then mkdir -p build-fuzz/corpus/fuzz_meshrecord && \
	  build-fuzz/fuzz/make_meshrecord_seeds build-fuzz/corpus/fuzz_meshrecord; fi
	@for f in build-fuzz/fuzz/fuzz_*; do \
	  name=$$(basename $$f); mkdir -p build-fuzz/corpus/$$name; \
	  $$f -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus/$$name fuzz/seeds/$$name; \
	done

format:
	find src tests tools bench fuzz -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
