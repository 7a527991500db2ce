# Benchmarks: `make bench` (wall time beside the floor and the pure-Python
# peers, then one workload in 1 thread, 2 threads and 2 isolated
# interpreters), `make bench-instructions` (callgrind instruction counts
# against the floor), `make bench-gc` (gc.collect() beside a million
# untracked instances held in lists, tuples and a dict, then beside instances
# of classes written for the comparison). All use the module from build/cmake
# and a venv of their own.
BENCH_VENV   := .venv-bench
BENCH_BUILD  := build/bench
BENCH_PY     := $(BENCH_VENV)/bin/python
BENCH_CC     ?= cc
BENCH_CFLAGS ?= -O3 -fPIC -shared -Wall -Wextra -Werror
BENCH_ENV    := PYTHONPATH=$(BUILD):$(BENCH_BUILD)

.PHONY: bench bench-quick bench-instructions bench-gc

$(BENCH_VENV)/.ready: requirements-bench.txt
	$(PY312) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet -r requirements-bench.txt
	touch $@

# The floor (cheapest hand-written C for a few operations) and the callgrind
# client-request probe, against the same interpreter's headers.
$(BENCH_BUILD)/%.abi3.so: bench/%.c | $(BENCH_VENV)/.ready
	@mkdir -p $(BENCH_BUILD)
	$(BENCH_CC) $(BENCH_CFLAGS) -I"$$($(BENCH_PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" $< -o $@

bench: $(LIB) $(BENCH_VENV)/.ready $(BENCH_BUILD)/floor.abi3.so
	$(BENCH_ENV) $(BENCH_PY) bench/bench_ops.py $(BENCH_ARGS)
	$(BENCH_ENV) $(BENCH_PY) bench/parallel.py

bench-quick: $(LIB) $(BENCH_VENV)/.ready $(BENCH_BUILD)/floor.abi3.so
	$(BENCH_ENV) $(BENCH_PY) bench/bench_ops.py --quick $(BENCH_ARGS)

bench-instructions: $(LIB) $(BENCH_VENV)/.ready $(BENCH_BUILD)/floor.abi3.so $(BENCH_BUILD)/cgprobe.abi3.so
	@command -v valgrind >/dev/null || { echo "bench-instructions needs valgrind (apt-get install valgrind)"; exit 2; }
	$(BENCH_ENV) $(BENCH_PY) bench/instructions.py $(BENCH_ARGS)

# `make bench-gc`: wall time of gc.collect() with a million untracked instances
# alive, held in a list, in tuples and in a dict, then with as many instances
# of hand-written classes of one layout that meet the collector in each
# possible way.
bench-gc: $(LIB) $(BENCH_VENV)/.ready $(BENCH_BUILD)/gc_layouts.abi3.so
	$(BENCH_ENV) $(BENCH_PY) bench/gc_collect.py $(BENCH_ARGS)
