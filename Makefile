# The two commands of the README:
#   make run   builds pellix and starts it in the foreground
#   make test  builds and runs the whole test suite (normal, ASan+UBSan, and ThreadSanitizer builds)
# Everything the build needs is installed by scripts/install-deps first.

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j $(JOBS)
# ThreadSanitizer's runtime needs address randomisation narrow enough for its shadow
# memory; setarch -R runs the tests without it.
TSAN_RUN := $(shell command -v setarch >/dev/null 2>&1 && echo "setarch $$(uname -m) -R")

.PHONY: run test deps build test-normal test-asan test-tsan test-services bench clean

deps:
	@bash scripts/install-deps

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

run: build
	./build/src/pellix

test: deps test-services test-normal test-asan test-tsan

test-services:
	@if [ -x scripts/start-test-services ]; then bash scripts/start-test-services; fi

test-normal: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIX_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	ctest --test-dir build $(CTEST_FLAGS)

test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELLIX_SANITIZE=address -DPELLIX_WERROR=ON -DPELLIX_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan $(CTEST_FLAGS)

test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIX_SANITIZE=thread -DPELLIX_WERROR=ON -DPELLIX_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(TSAN_RUN) ctest --test-dir build-tsan -L concurrency $(CTEST_FLAGS)

# The in-process benchmarks; each prints its ratio against a baseline measured in the same run.
# bench/http/run-http-bench.sh (wrk against nginx), bench/tls/run-handshake-bench.sh (CPU per
# new TLS connection of pellix against nginx, openssl s_time) and build/bench/e2e/e2e_bench (the
# running program with pcscd and the virtual card) are run by hand.
bench: build
	./build/bench/dispatch/dispatch_bench
	./build/bench/logging/logging_bench
	./build/bench/socket/bench_socket_echo
	./build/bench/tls/bench_tls

clean:
	rm -rf build build-asan build-tsan
