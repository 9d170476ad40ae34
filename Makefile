# The Installer on two platforms. See README.md.
.PHONY: all native windows test demo deps clean

all: native

deps:
	@tools/install-deps.sh

native:
	@cmake --preset native >/dev/null
	@cmake --build --preset native

windows: deps
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

test: deps native windows
	@ctest --preset native -j2 --timeout 300

demo: native
	@tools/demo.sh

clean:
	rm -rf build
