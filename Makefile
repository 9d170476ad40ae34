# The Installer on two platforms. See README.md.
.PHONY: all native windows sign release distribution sanitize fuzz-build fuzz test demo deps clean

all: native

deps:
	@tools/install-deps.sh

native:
	@cmake --preset native >/dev/null
	@cmake --build --preset native

windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

# Signs build/windows/SETUP.EXE in place: VTN2_SIGN_PFX, VTN2_SIGN_PASSWORD_FILE
# and, if wanted, VTN2_SIGN_TIMESTAMP_URL (tools/sign.sh).
sign: windows
	@tools/sign.sh build/windows/SETUP.EXE

# build/release/: SETUP.EXE (signed when the signing settings are there), its
# debug information and their SHA-256 sums (tools/release.sh).
release: windows
	@tools/release.sh build/windows build/release

# build/distribution/: the vendor's distribution in DIST checked against this
# release, copied, with the release's detection rule for each deployment tool
# (tools/distribution.py).
distribution:
	@python3 tools/distribution.py --release build/release --out build/distribution "$(DIST)"

sanitize:
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize

FUZZ_TARGETS := answer command_line reg_import faults

# The fuzz targets alone: the programs of this build would go unused.
fuzz-build: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz --target $(addprefix fuzz_,$(FUZZ_TARGETS))

# Each fuzz target for FUZZ_SECONDS on a copy of its seed corpus, which keeps
# what it finds there; a crash leaves its input in build/fuzz/artifacts/.
FUZZ_SECONDS ?= 60
fuzz: fuzz-build
	@for target in $(FUZZ_TARGETS); do \
	    corpus=build/fuzz/corpus/$$target; \
	    mkdir -p $$corpus build/fuzz/artifacts/$$target; \
	    cp -r tests/fuzz/corpus/$$target/. $$corpus/; \
	    echo "== fuzz_$$target, $(FUZZ_SECONDS) s"; \
	    build/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	        -dict=tests/fuzz/$$target.dict -artifact_prefix=build/fuzz/artifacts/$$target/ \
	        -print_final_stats=1 $$corpus 2>build/fuzz/$$target.log || \
	        { tail -50 build/fuzz/$$target.log; exit 1; }; \
	    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
	        build/fuzz/$$target.log; \
	done

# The unit tests run shuffled: SEED=N replays an order. Drawn once, with :=,
# or each use of it would draw another.
ifndef SEED
SEED := $(shell shuf -i 1-99999 -n 1)
endif

# Every suite on the plain build (SETUP.EXE under Wine included), the native
# suites again under AddressSanitizer and UndefinedBehaviorSanitizer, and each
# fuzz target for a few seconds.
test: deps native windows sanitize fuzz-build
	@echo "unit tests shuffled with seed $(SEED) (make test SEED=$(SEED) replays the order)"
	@GTEST_RANDOM_SEED=$(SEED) ctest --preset native -j2 --timeout 300
	@GTEST_RANDOM_SEED=$(SEED) ctest --preset sanitize -j2 --timeout 300
	@ctest --preset fuzz -j2 --timeout 120

# Every unit-test binary shuffled 40 times and each end-to-end suite run 5
# times, with two busy loops beside them: what failed, and how often
# (tests/stress.py --help for fewer runs or other suites).
.PHONY: stress
stress: native sanitize
	@python3 tests/stress.py

demo: native
	@python3 tools/demo.py

# The Installer's time and memory against the machine's size: printed
# figures, outside `make test`.
.PHONY: bench
bench: native
	@python3 tests/bench/bench.py

# Faults planted one at a time in a copy of the tree, each fault no suite
# catches listed (tests/mutate.py): outside `make test`, as a whole run takes
# hours. MUTATE="PATH... --sample N --seed S" chooses what is planted.
.PHONY: mutate
mutate: deps
	@python3 tests/mutate.py $(MUTATE)

clean:
	rm -rf build
