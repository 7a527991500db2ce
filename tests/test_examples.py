"""Smoke tests of the examples: they run under this interpreter and print what they promise."""

import json
import os
import subprocess
import sys
from pathlib import Path

import tarnwick

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run_example(name: str, *args: str) -> str:
    # The environment (PYTHONPATH included) is passed on, so the example imports the
    # same tarnwick as the tests; PYTHONPATH is made absolute for the other cwd.
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in env["PYTHONPATH"].split(os.pathsep))
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        cwd=EXAMPLES, env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stderr == ""
    return proc.stdout


def test_tour_shows_values_and_exact_errors() -> None:
    out = run_example("tour.py")
    assert out.rstrip().endswith("End of the tour.")
    for line in [
        "Err('connection refused', code='E_CONN')",
        "ValueError: Tried to unwrap an Err: connection refused",
        "ValueError: Tried to unwrap a Nothing",
        "ValueError: Missing 'ok' key in dict",
        "TypeError: Result.ok() missing 1 required positional argument: 'value'",
        "TypeError: argument 'message': 'int' object is not an instance of 'str'",
        "TypeError: MayBe.__new__() missing 1 required positional argument: 'obj'",
        "ValueError: expected tuple of length 3, but got tuple of length 2",
    ]:
        assert line in out


def test_orders_reports_and_writes_the_dict_form(tmp_path: Path) -> None:
    target = tmp_path / "batch.json"
    out = run_example("orders.py", "--out", str(target))
    assert "3 accepted, 6 rejected, total 34.00" in out
    batch = json.loads(target.read_text(encoding="utf-8"))
    assert len(batch) == 9
    results = [tarnwick.Result.from_dict(entry) for entry in batch]
    codes = sorted(r.unwrap_err()[1] or "" for r in results if r.is_err())
    assert codes == ["E_DUPLICATE", "E_FORMAT", "E_FORMAT", "E_MISSING", "E_RANGE", "E_RANGE"]
    first_err = next(entry for entry in batch if not entry["ok"])
    assert first_err == {
        "ok": False, "error": "email is not an address", "code": "E_FORMAT",
        "details": {"row": "4", "field": "email", "value": "not-an-email"},
    }
    assert batch[1]["value"]["coupon"] == "SPRING10" and batch[0]["value"]["coupon"] is None
