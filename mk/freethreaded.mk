# `make test-freethreaded PYTHON_FT=/path/to/python3.13t`: the free-threaded
# variant (a version-specific build against the full C API, tag cpXY-cpXYt),
# installed with `pip install .` into a venv of that interpreter (.venv-ft;
# warnings as errors, as in the project's other builds),
# and the whole suite run there with the GIL left as the module sets it
# (PYTHON_GIL unset). Any free-threaded CPython 3.13 will do: CONTRIBUTING.md
# ("A free-threaded interpreter") lists ways to get one.
PYTHON_FT ?=
VENV_FT   := .venv-ft

.PHONY: test-freethreaded

test-freethreaded:
	@test -n "$(PYTHON_FT)" || { echo "usage: make test-freethreaded PYTHON_FT=/path/to/python3.13t"; exit 2; }
	@"$(PYTHON_FT)" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else "$(PYTHON_FT) is not a free-threaded interpreter")'
	@# The venv is made anew when the interpreter or the requirements change.
	@# --only-binary: the newest releases of some test tools (or of their
	@# dependencies) have no free-threaded wheel, and their sources need Rust
	@# crates this machine cannot fetch; pip takes the newest that has wheels.
	@stamp="$$(realpath "$(PYTHON_FT)") $$(cksum < requirements-dev.txt)"; \
	if [ "$$(cat $(VENV_FT)/.ready 2>/dev/null)" != "$$stamp" ]; then \
	  set -ex; rm -rf $(VENV_FT); "$(PYTHON_FT)" -m venv $(VENV_FT); \
	  $(VENV_FT)/bin/python -m pip install --quiet --upgrade pip; \
	  $(VENV_FT)/bin/python -m pip install --quiet --only-binary :all: -r requirements-dev.txt; \
	  echo "$$stamp" > $(VENV_FT)/.ready; \
	fi
	$(VENV_FT)/bin/python -m pip install --quiet --force-reinstall --no-deps -Ccmake.define.TARNWICK_WERROR=ON .
	env -u PYTHON_GIL $(VENV_FT)/bin/python -m pytest -q -p no:cacheprovider tests
