# Build once against the 3.12 limited API, test the very same library under 3.12 and 3.13.
PY312   ?= python3.12
PY313   ?= python3.13
VENV    := .venv
VENV13  := .venv-3.13
BUILD   := build/cmake
LIB     := $(BUILD)/tarnwick.abi3.so
# Every source under src/, subfolders included, and the build files.
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt $(wildcard cmake/*)

.PHONY: all demo test test-3.12 test-3.13 lib clean
all: lib

# One recipe for both test venvs: $(1) the venv, $(2) the interpreter.
define make_venv
$(1)/.ready: requirements-dev.txt
	$(2) -m venv $(1)
	$(1)/bin/python -m pip install --quiet --upgrade pip
	$(1)/bin/python -m pip install --quiet -r requirements-dev.txt
	touch $$@
endef
$(eval $(call make_venv,$(VENV),$(PY312)))
$(eval $(call make_venv,$(VENV13),$(PY313)))

# The project's own builds treat warnings as errors (TARNWICK_WERROR); a user's
# `pip install` does not.
$(BUILD)/build.ninja: CMakeLists.txt | $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python -DCMAKE_BUILD_TYPE=Release -DTARNWICK_WERROR=ON

$(LIB): $(SOURCES) $(BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BUILD)
	@touch $@

lib: $(LIB)

# Installs the wheel into .venv (pip install .) and runs the tour.
$(VENV)/.installed: $(SOURCES) pyproject.toml $(wildcard tarnwick-stubs/*.pyi) | $(VENV)/.ready
	$(VENV)/bin/python -m pip install --quiet --no-build-isolation .
	touch $@

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/tour.py

test-3.12: $(LIB) $(VENV)/.ready
	PYTHONPATH=$(BUILD) $(VENV)/bin/python -m pytest -q tests

test-3.13: $(LIB) $(VENV13)/.ready
	PYTHONPATH=$(BUILD) $(VENV13)/bin/python -m pytest -q tests

test: test-3.12 test-3.13

# Extra targets (benchmarks, sanitizers, typing) live in mk/*.mk.
-include $(wildcard mk/*.mk)

clean:
	rm -rf build $(VENV) $(VENV13) .venv-bench $(RELEASE_VENV) $(VENV_FT) dist *.egg-info
