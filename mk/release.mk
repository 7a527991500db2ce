# Release artifacts (see the "Releasing" section of CONTRIBUTING.md):
#   make wheel         dist/: the sdist and the abi3 wheel built from it, repaired
#                      to a manylinux tag, checked, and imported by fresh 3.12 and
#                      3.13 venvs
#   make wheel-plan    what the release pipeline (cibuildwheel) builds per
#                      platform, and its workflow checked against GitHub's schema
#   make release-check PYTHON_FT=/path/to/python3.13t
#                      the pipeline's test step, as cibuildwheel runs it, for the
#                      abi3 wheel under 3.12 and 3.13 and a cp313t wheel under
#                      the free-threaded interpreter (mk/release_check.py)
# The tools come from requirements-release.txt into .venv-release.
RELEASE_VENV := .venv-release
RELEASE_BIN  := $(abspath $(RELEASE_VENV))/bin
RELEASE_TMP  := build/release
# The pipeline's tag (glibc 2.17): auditwheel refuses the wheel if a newer
# symbol version creeps in.
MANYLINUX    ?= manylinux_2_17_$(shell uname -m)
# cibuildwheel 4 no longer builds free-threaded 3.13: the workflow's cp313t
# step runs this version (keep the two in step).
CIBW313T     := cibuildwheel==3.4.1

.PHONY: wheel wheel-plan release-check

$(RELEASE_VENV)/.ready: requirements-release.txt mk/release.mk
	$(PY312) -m venv $(RELEASE_VENV)
	$(RELEASE_BIN)/python -m pip install --quiet --upgrade pip
	$(RELEASE_BIN)/python -m pip install --quiet -r requirements-release.txt
	$(PY312) -m venv $(RELEASE_VENV)/cibw313t
	$(RELEASE_VENV)/cibw313t/bin/python -m pip install --quiet "$(CIBW313T)"
	touch $@

# `build` makes the sdist and then the wheel from the unpacked sdist, as a
# user's pip would (so a file missing from the sdist fails here), in an
# isolated environment; the project's own builds keep warnings as errors.
wheel: $(RELEASE_VENV)/.ready
	rm -rf dist $(RELEASE_TMP)
	$(RELEASE_BIN)/python -c 'import tomllib, trove_classifiers as t; \
	  bad = [c for c in tomllib.load(open("pyproject.toml", "rb"))["project"]["classifiers"] if c not in t.classifiers]; \
	  assert not bad, f"unknown classifiers: {bad}"'
	$(RELEASE_BIN)/python -m build --outdir $(RELEASE_TMP)/raw -Ccmake.define.TARNWICK_WERROR=ON .
	mkdir -p dist
	cp $(RELEASE_TMP)/raw/*.tar.gz dist/
	PATH="$(RELEASE_BIN):$$PATH" auditwheel repair --plat $(MANYLINUX) -w dist $(RELEASE_TMP)/raw/*.whl
	PATH="$(RELEASE_BIN):$$PATH" auditwheel show dist/*.whl
	$(RELEASE_BIN)/abi3audit --strict --report dist/*.whl
	$(RELEASE_BIN)/twine check --strict dist/*
	set -e; for py in $(PY312) $(PY313); do \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  rm -rf $(RELEASE_TMP)/venv-$$v; $$py -m venv $(RELEASE_TMP)/venv-$$v; \
	  $(RELEASE_TMP)/venv-$$v/bin/python -m pip install --quiet --no-index --no-deps dist/*.whl; \
	  (cd $(RELEASE_TMP) && venv-$$v/bin/python -c 'import sys, tarnwick; \
	    assert tarnwick.Result.ok(20).map(lambda v: v + 22).unwrap() == 42; \
	    assert tarnwick.MayBe(None).is_nothing(); \
	    print(sys.version.split()[0], tarnwick.__file__)'); \
	done
	@ls -l dist

# The workflow installs cibuildwheel from PyPI: its two pins must be the ones
# this machine's plan (and release-check) runs.
wheel-plan: $(RELEASE_VENV)/.ready
	$(RELEASE_BIN)/check-jsonschema --builtin-schema vendor.github-workflows .github/workflows/*.yml
	@cibw=$$(grep -o '^cibuildwheel==[^ ]*' requirements-release.txt); \
	grep -q "^  CIBUILDWHEEL: $$cibw$$" .github/workflows/wheels.yml && \
	grep -q "^  CIBUILDWHEEL_313T: $(CIBW313T)$$" .github/workflows/wheels.yml || \
	  { echo "wheels.yml must pin $$cibw and $(CIBW313T), as requirements-release.txt and mk/release.mk do"; exit 1; }
	@for p in linux macos windows; do \
	  echo "== cibuildwheel --print-build-identifiers --platform $$p"; \
	  $(RELEASE_BIN)/cibuildwheel --print-build-identifiers --platform $$p || exit 1; \
	  echo "== $(CIBW313T): the same with CIBW_BUILD=cp313t-*"; \
	  CIBW_BUILD="cp313t-*" CIBW_ENABLE=cpython-freethreading \
	    $(RELEASE_VENV)/cibw313t/bin/cibuildwheel --print-build-identifiers --platform $$p || exit 1; \
	done

# The pipeline's test step for this machine's wheels. The identifiers are
# those cibuildwheel gives these builds on this platform; each wheel is tested
# with the test settings that identifier resolves to, read by the
# cibuildwheel version that builds it in the workflow (the cp313t one with
# the environment the workflow's cp313t step sets). The cp313t wheel is built
# from the same sdist in an isolated environment, warnings as errors, and
# repaired like the abi3 one.
ARCH      := $(shell uname -m)
FT_DIST   := $(RELEASE_TMP)/ft-dist
CHECK_ABI3 = $(RELEASE_BIN)/python mk/release_check.py --wheel "$$(ls dist/*-abi3-*.whl)"
CHECK_FT   = $(RELEASE_VENV)/cibw313t/bin/python mk/release_check.py --wheel "$$(ls $(FT_DIST)/*-cp313t-*.whl)"

release-check: wheel
	@test -n "$(PYTHON_FT)" || { echo "usage: make release-check PYTHON_FT=/path/to/python3.13t"; exit 2; }
	@"$(PYTHON_FT)" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info[:2] == (3, 13) else "$(PYTHON_FT) is not a free-threaded CPython 3.13")'
	rm -rf $(FT_DIST) $(RELEASE_TMP)/ft-raw
	"$(PYTHON_FT)" -m pip wheel --quiet --no-deps --wheel-dir $(RELEASE_TMP)/ft-raw \
	    -Ccmake.define.TARNWICK_WERROR=ON dist/*.tar.gz
	PATH="$(RELEASE_BIN):$$PATH" auditwheel repair --plat $(MANYLINUX) -w $(FT_DIST) $(RELEASE_TMP)/ft-raw/*.whl
	$(CHECK_ABI3) --identifier cp312-manylinux_$(ARCH) --python $(PY312) --work $(RELEASE_TMP)/check-cp312
	$(CHECK_ABI3) --identifier cp313-manylinux_$(ARCH) --python $(PY313) --work $(RELEASE_TMP)/check-cp313
	$(CHECK_FT) --identifier cp313t-manylinux_$(ARCH) --python "$(PYTHON_FT)" --work $(RELEASE_TMP)/check-cp313t \
	    "CIBW_BUILD=cp313t-*" CIBW_ENABLE=cpython-freethreading
