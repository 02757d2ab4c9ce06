# Developer shortcuts. BUILD selects the build directory, so several working
# copies (or people) can build side by side: make test BUILD=build/mine
BUILD ?= build/dev
PYTHON ?= python3

.PHONY: build test asan clean
build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)

test: build
	PYTHONPATH=$(BUILD) $(PYTHON) -m pytest -q tests

# Extension built with ASan+UBSan, run over the suite (leaks are not reported
# because the interpreter itself keeps memory until exit).
asan:
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELORA_SANITIZE=ON >/dev/null
	cmake --build build/asan
	PYTHONPATH=build/asan ASAN_OPTIONS=detect_leaks=0 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PYTHON) -m pytest -q -x tests

clean:
	rm -rf build
