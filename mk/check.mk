# Reliability checks beyond `make test`:
#   make check-reliability   full-size runs of tests/reliability (10**5 per op/thread)
#   make check-sanitizers    the whole suite against an ASan+UBSan build, runtime preloaded
#   make check-valgrind      the whole suite under valgrind memcheck (slow)
#   make check-embed         an application that embeds CPython and initialises it
#                            again, three rounds, under memcheck
#   make check               all three
#   make check-fuzz          coverage-guided fuzzing against the reference model on the
#                            ASan+UBSan build, FUZZ_SECONDS long (not part of `make check`)
ASAN_BUILD   := build/asan
ASAN_LIB     := $(ASAN_BUILD)/tarnwick.abi3.so
ASAN_RUNTIME  = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
# The interpreter leaks at exit by design; UBSan reports are fatal.
ASAN_ENV      = LD_PRELOAD="$(ASAN_RUNTIME)" \
                ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0 \
                UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
                PYTHONPATH=$(ASAN_BUILD)
VALGRIND_SUPP := tests/reliability/valgrind-python.supp
VALGRIND_LOG  := build/valgrind

.PHONY: check check-reliability check-sanitizers check-valgrind check-fuzz

check: check-reliability check-sanitizers check-valgrind

check-reliability: $(LIB) $(VENV)/.ready $(VENV13)/.ready
	TARNWICK_RELIABILITY_FULL=1 PYTHONPATH=$(BUILD) $(VENV)/bin/python -m pytest -q tests/reliability
	TARNWICK_RELIABILITY_FULL=1 PYTHONPATH=$(BUILD) $(VENV13)/bin/python -m pytest -q tests/reliability

$(ASAN_BUILD)/build.ninja: CMakeLists.txt | $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTARNWICK_SANITIZE=ON -DTARNWICK_WERROR=ON

$(ASAN_LIB): $(SOURCES) $(ASAN_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	@touch $@

# Instrumented frames are several times larger than release ones, while the
# interpreter's C recursion limit (which turns deep repr chains into
# RecursionError) assumes release-sized frames: the sanitizer run gets a
# larger stack, as ASan's own documentation advises.
SANITIZER_STACK_KB := 262144

check-sanitizers: $(ASAN_LIB) $(VENV)/.ready $(VENV13)/.ready
	ulimit -s $(SANITIZER_STACK_KB) && $(ASAN_ENV) $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests
	ulimit -s $(SANITIZER_STACK_KB) && $(ASAN_ENV) $(VENV13)/bin/python -m pytest -q -p no:cacheprovider tests

# Memcheck on the pytest process (child interpreters run natively: the
# sanitizer run covers them). PYTHONMALLOC=malloc so that every object is a
# malloc block memcheck can see; the leak loops shrink, memcheck itself being
# the leak detector here. tests/reliability/valgrind_report.py fails on any
# memcheck error and on definitely lost blocks allocated from tarnwick.
check-valgrind: $(LIB) $(VENV)/.ready
	@mkdir -p $(VALGRIND_LOG)
	PYTHONMALLOC=malloc PYTHONPATH=$(BUILD) TARNWICK_LEAK_ITERATIONS=300 TARNWICK_UNDER_VALGRIND=1 \
	  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite \
	    --errors-for-leak-kinds=none --num-callers=40 --suppressions=$(VALGRIND_SUPP) \
	    --log-file=$(VALGRIND_LOG)/memcheck.log \
	    $(VENV)/bin/python -m pytest -q -p no:cacheprovider tests
	$(VENV)/bin/python tests/reliability/valgrind_report.py $(VALGRIND_LOG)/memcheck.log

# Fuzzing: random programs over the whole call surface (tests/fuzz/), every
# result and exception compared with the reference model, on the ASan+UBSan
# build with the sanitizer runtimes preloaded (atheris too runs under them).
# Coverage is atheris's Python-level coverage of the model and the program
# runner; the extension is instrumented by the sanitizers, not for coverage.
# Findings (mismatches with a replay command, crashing inputs with the
# report) go to build/fuzz/; any finding fails the target.
#   make check-fuzz FUZZ_SECONDS=60 FUZZ_SKIP=known   (skip the known open shapes)
FUZZ_SECONDS ?= 600
FUZZ_SKIP    ?=
FUZZ_DIR     := build/fuzz

$(VENV)/.fuzz-ready: requirements-fuzz.txt $(VENV)/.ready
	$(VENV)/bin/python -m pip install --quiet -r requirements-fuzz.txt
	touch $@

check-fuzz: $(ASAN_LIB) $(VENV)/.fuzz-ready
	ulimit -s $(SANITIZER_STACK_KB) && $(ASAN_ENV) $(VENV)/bin/python tests/fuzz/run_fuzz.py \
	    --seconds $(FUZZ_SECONDS) --out $(FUZZ_DIR) $(if $(FUZZ_SKIP),--skip $(FUZZ_SKIP))

# An application that embeds CPython 3.12 and initialises it again after
# finalising it, three rounds, each importing and using tarnwick, under
# memcheck (tests/embed/embed.c). Built against the 3.12 libpython, as
# python3.12-config --embed gives it.
EMBED_BUILD := build/embed
PY312_CONFIG ?= $(PY312)-config
.PHONY: check-embed
$(EMBED_BUILD)/embed: tests/embed/embed.c
	@mkdir -p $(EMBED_BUILD)
	$(CC) -O1 -g -Wall -Wextra -Werror $$($(PY312_CONFIG) --includes) $< -o $@ $$($(PY312_CONFIG) --embed --ldflags)

# valgrind comes from Debian's packages when it is missing (CI runs this).
check-embed: $(LIB) $(EMBED_BUILD)/embed $(VENV)/.ready
	@command -v valgrind >/dev/null || { echo "installing valgrind from Debian's packages"; \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind >/dev/null; } \
	    || { echo "check-embed needs valgrind (apt-get install valgrind, as root)"; exit 2; }; }
	$(EMBED_BUILD)/embed $(BUILD)
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
	    --errors-for-leak-kinds=none --num-callers=40 --suppressions=$(VALGRIND_SUPP) \
	    --log-file=$(EMBED_BUILD)/memcheck.log $(EMBED_BUILD)/embed $(BUILD)
	$(VENV)/bin/python tests/reliability/valgrind_report.py $(EMBED_BUILD)/memcheck.log
