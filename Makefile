# The Installer on two platforms. See README.md.
.PHONY: all native windows sanitize test demo deps clean

all: native

deps:
	@tools/install-deps.sh

native:
	@cmake --preset native >/dev/null
	@cmake --build --preset native

windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

sanitize:
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize

# Every suite on the plain build (SETUP.EXE under Wine included), and the
# native suites again under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps native windows sanitize
	@ctest --preset native -j2 --timeout 300
	@ctest --preset sanitize -j2 --timeout 300

demo: native
	@python3 tools/demo.py

clean:
	rm -rf build
