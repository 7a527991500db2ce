# Type-check the stubs, the examples and the typed tests alone (they also run in `make test`).
.PHONY: typecheck
typecheck: $(LIB) $(VENV)/.ready
	PYTHONPATH=$(BUILD) $(VENV)/bin/python -m pytest -q tests/test_typing.py tests/test_examples.py
