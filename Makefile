# Thin wrappers over the CMake presets. `make test` is what CI runs.
.PHONY: deps build demo test bench package format

JOBS ?= $(shell nproc)

deps:
	@scripts/install-deps

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

demo: build
	scripts/demo

test: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	ctest --preset default
	scripts/package
	scripts/check-packages
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

# Benchmarks, apart from the tests: they measure, they do not judge.
bench: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	build/default/bench/ipc
	build/default/bench/agent
	build/default/bench/server
	build/default/bench/sessions
	build/default/bench/wakeup

# The Debian packages tovucontrol and tovucontrol-server, in build/packages/.
package: deps
	scripts/package

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i
