# Entry points for a fresh Debian 12 machine: `make demo` and `make test`.
.PHONY: setup demo test tsan bench format clean

ARVEX_CORE := build/release/src/program/arvex-core

setup:
	./scripts/setup.sh

demo: setup
	cmake --preset release
	cmake --build --preset release
	./scripts/demo.sh $(ARVEX_CORE)

test: setup
	cmake --preset debug
	cmake --build --preset debug
	ctest --preset debug

tsan: setup
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

bench: setup
	cmake --preset release
	cmake --build --preset release
	for b in build/release/bench/arvex_*_bench; do $$b; done
	./bench/network_rate.sh build/release

format:
	find include src tests bench -name '*.hpp' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
