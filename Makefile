# Developer shortcuts. BUILD selects the build directory, so several working
# copies (or people) can build side by side: make test BUILD=build/mine
BUILD ?= build/dev
# The project's venv (the README's commands make it) when there is one.
PYTHON ?= $(if $(wildcard .venv/bin/python),.venv/bin/python,python3)

.PHONY: build test asan fuzz clean
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

# The random operation sequences of tests/test_fuzz.py, long, on the
# sanitizer build: FUZZ_OPS operations from seed FUZZ_SEED, with the
# re-entrant and array-rewriting operations weighted FUZZ_REENTRY times.
FUZZ_OPS ?= 100000
FUZZ_SEED ?= 20261208
FUZZ_REENTRY ?= 1
fuzz:
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELORA_SANITIZE=ON >/dev/null
	cmake --build build/asan
	PYTHONPATH=build/asan ASAN_OPTIONS=detect_leaks=0 \
	  PELORA_FUZZ_OPS=$(FUZZ_OPS) PELORA_FUZZ_SEED=$(FUZZ_SEED) PELORA_FUZZ_REENTRY=$(FUZZ_REENTRY) \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PYTHON) -m pytest -q -x -s tests/test_fuzz.py

clean:
	rm -rf build
