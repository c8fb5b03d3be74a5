# Front door: every target installs what is missing first (scripts/bootstrap is
# quiet and quick when everything is already there).
BUILD     ?= build
SAN_BUILD ?= build-san
TSAN_BUILD ?= build-tsan
# Labels of the suites run under AddressSanitizer and UndefinedBehaviorSanitizer.
SAN_LABELS ?= unit|emulator
# Suites whose concurrency is checked under ThreadSanitizer (tests labelled tsan).
TSAN_TARGETS ?= host_unit_tests plugin_unit_tests disks_unit_tests inventory_unit_tests \
                cli_unit_tests snapframework_unit_tests emulator_http_tests gce-emulator \
                concurrency_integration_tests
JOBS      ?= $(shell nproc)
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
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-san: bootstrap
	@cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGCE_SANITIZE=ON >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -L '$(SAN_LABELS)' -LE 'slow|nosan' $(CTEST_ARGS)

test-tsan: bootstrap
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGCE_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L tsan $(CTEST_ARGS)

demo: build
	@$(BUILD)/bin/gcebackup demo

bench: build
	@if [ -x bench/run ]; then bench/run $(BUILD); else echo "no benchmarks yet"; fi

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD)
