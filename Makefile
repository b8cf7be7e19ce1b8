# The two commands of a new machine: `make run` and `make test`.
JOBS      ?= $(shell nproc)
BUILD     ?= build
CTEST_ARGS ?=

.PHONY: all deps deps-run deps-fuzz run test asan tsan fuzz bench format clean

all: $(BUILD)/release/src/app/VevareviDiravad

# What the test build needs (tests, benchmarks, seed replays of the fuzz
# targets); deps-run only what the gateway's own build needs.
deps:
	@./scripts/install-deps.sh test
deps-run:
	@./scripts/install-deps.sh run
deps-fuzz:
	@./scripts/install-deps.sh fuzz

define configure_and_build
	cmake -S . -B $(BUILD)/$(1) $(2) >/dev/null
	cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

# The gateway alone: no tests, no benchmarks.
$(BUILD)/release/src/app/VevareviDiravad: deps-run
	$(call configure_and_build,release,-DCMAKE_BUILD_TYPE=Release -DKAVRI_TESTS=OFF -DKAVRI_BENCH=OFF)

# Foreground gateway on the repo-local demo configuration, its log under the
# build tree. Stop it with Ctrl-C. A failed start ends it with status 1.
run: $(BUILD)/release/src/app/VevareviDiravad
	mkdir -p $(BUILD)/demo/log
	@./scripts/show-endpoints.sh conf/demo.conf
	$(BUILD)/release/src/app/VevareviDiravad conf/demo.conf

test: deps
	$(call configure_and_build,debug,-DCMAKE_BUILD_TYPE=Debug -DKAVRI_WERROR=ON)
	cd $(BUILD)/debug && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

asan: deps
	$(call configure_and_build,asan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRI_SANITIZE=address -DKAVRI_BENCH=OFF -DKAVRI_WERROR=ON)
	cd $(BUILD)/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

tsan: deps
	$(call configure_and_build,tsan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRI_SANITIZE=thread -DKAVRI_BENCH=OFF -DKAVRI_WERROR=ON)
	cd $(BUILD)/tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
		ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# libFuzzer targets with ASan+UBSan; run one with a scratch corpus first, e.g.
#   build/fuzz/fuzz/fuzz_tag -max_total_time=120 fuzz/corpus-out/fuzz_tag fuzz/corpus/fuzz_tag
fuzz: deps-fuzz
	CC=clang CXX=clang++ $(call configure_and_build,fuzz,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRI_FUZZ=ON -DKAVRI_TESTS=OFF -DKAVRI_BENCH=OFF -DKAVRI_SANITIZE=address)

bench: deps
	$(call configure_and_build,bench,-DCMAKE_BUILD_TYPE=Release -DKAVRI_TESTS=OFF)
	@for b in $(BUILD)/bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
