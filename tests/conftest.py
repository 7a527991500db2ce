"""Shared test setup.

Inside an isolated sub-interpreter (tests/run_in_subinterpreter.py), where the
interpreter refuses to start processes, a test that starts one is skipped.
"""
from __future__ import annotations

import os
import subprocess

import pytest

ISOLATED = os.environ.get("TARNWICK_SUBINTERPRETER") == "isolated"


@pytest.fixture(autouse=ISOLATED)
def _no_processes(monkeypatch: pytest.MonkeyPatch) -> None:
    def refuse(*args: object, **kwargs: object) -> None:
        pytest.skip("an isolated interpreter cannot start processes")
    monkeypatch.setattr(subprocess.Popen, "_execute_child", refuse)
