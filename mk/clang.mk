# `make check-clang`: the library built with clang++ and warnings as errors
# (build/clang), and the test suite run against it once under 3.12; the wheel
# test of the suite builds with clang++ too. Installs Debian's clang when
# there is no clang++ (needs root, as CI is).
#   make check-clang CLANG_STDLIB=libc++   the same against LLVM's libc++
#                                          (build/clang-libc++; installs libc++-dev)
CLANG_CXX    ?= clang++
CLANG_STDLIB ?=
CLANG_BUILD  := build/clang$(if $(CLANG_STDLIB),-$(CLANG_STDLIB))
CLANG_LIB    := $(CLANG_BUILD)/tarnwick.abi3.so
CLANG_FLAGS  := $(if $(CLANG_STDLIB),-stdlib=$(CLANG_STDLIB))
CLANG_DEBS   := clang $(if $(filter libc++,$(CLANG_STDLIB)),libc++-dev libc++abi-dev)
# Compiler and flags as a user's `pip install` would pass them.
CLANG_ENV     = CXX=$(CLANG_CXX) CXXFLAGS="$(CLANG_FLAGS)" LDFLAGS="$(CLANG_FLAGS)"

.PHONY: check-clang clang-toolchain

# A clang++ already on PATH is used as it is; Debian's packages fill in what is missing.
clang-toolchain:
	@missing=""; \
	command -v $(CLANG_CXX) >/dev/null 2>&1 || missing="clang"; \
	for p in $(filter-out clang,$(CLANG_DEBS)); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing $$missing from Debian's packages"; \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; } \
	    || { echo "check-clang needs: $$missing (apt-get install, as root)"; exit 2; }; \
	fi

$(CLANG_BUILD)/build.ninja: CMakeLists.txt | $(VENV)/.ready clang-toolchain
	$(CLANG_ENV) $(VENV)/bin/cmake -S . -B $(CLANG_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python -DCMAKE_BUILD_TYPE=Release -DTARNWICK_WERROR=ON

$(CLANG_LIB): $(SOURCES) $(CLANG_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(CLANG_BUILD)
	@touch $@

check-clang: $(CLANG_LIB) $(VENV)/.ready
	$(CLANG_ENV) PYTHONPATH=$(CLANG_BUILD) $(VENV)/bin/python -m pytest -q tests
