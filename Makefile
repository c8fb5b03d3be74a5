# Front door: every target installs what is missing first (scripts/bootstrap is
# quiet and quick when everything is already there).
BUILD     ?= build
SAN_BUILD ?= build-san
TSAN_BUILD ?= build-tsan
# Labels of the suites run under AddressSanitizer and UndefinedBehaviorSanitizer:
# all of them (the end-to-end suites drive the sanitized gcebackup).
SAN_LABELS ?= unit|emulator|integration|e2e
# Suites whose concurrency is checked under ThreadSanitizer: only these targets
# are built there, so the labels below select exactly their tests. gcebackup
# and the plug-in are built with it for the test of concurrent processes; a
# report in one of them ends it with exit status 66, which fails that test.
TSAN_LABELS ?= unit|emulator|integration
TSAN_TARGETS ?= host_unit_tests plugin_unit_tests disks_unit_tests inventory_unit_tests \
                cli_unit_tests snapframework_unit_tests emulator_http_tests gce-emulator \
                concurrency_integration_tests gcebackup GoogleCloudInfo process_concurrency_tests
# The long reliability runs of make soak: kill points per flow of the crash
# driver, seconds per fuzz harness.
SOAK_KILL_POINTS ?= 20
SOAK_FUZZ_SECONDS ?= 300
JOBS      ?= $(shell nproc)
# The suite spends most of its time waiting on the emulator's latencies (73 s
# of CPU in 234 s at -j 2 on 2 cores), so it runs twice as many tests as cores.
TEST_JOBS ?= $(shell expr 2 \* $(JOBS))
CTEST_ARGS ?=

.PHONY: all bootstrap build test test-san test-tsan demo bench soak format clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/build.ninja: | bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: bootstrap $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS) $(CTEST_ARGS)

test-san: bootstrap
	@cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGCE_SANITIZE=ON >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -L '$(SAN_LABELS)' -LE 'slow|nosan' $(CTEST_ARGS)

test-tsan: bootstrap
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGCE_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:exitcode=66 ctest --output-on-failure -j $(JOBS) -L '$(TSAN_LABELS)' \
	  --no-tests=error $(CTEST_ARGS)

# The demo builds only what it runs: gcebackup, the plug-in it loads and the
# emulator it starts (with their libraries), none of the test suites.
DEMO_TARGETS ?= gcebackup GoogleCloudInfo gce-emulator

demo: bootstrap $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@$(BUILD)/bin/gcebackup demo

# Long forms: the crash driver with 20 kill points per flow, every fuzz
# harness for SOAK_FUZZ_SECONDS, and the demo under valgrind (any memory
# error or definite leak fails).
soak: build
	@GCE_CRASH_POINTS=$(SOAK_KILL_POINTS) $(BUILD)/bin/crash_e2e_tests
	@fuzz/run $(SOAK_FUZZ_SECONDS)
	@valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite -q \
	  $(BUILD)/bin/gcebackup demo

bench: build
	@if [ -x bench/run ]; then bench/run $(BUILD); else echo "no benchmarks yet"; fi

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD)
