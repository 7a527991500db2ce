"""The fuzz target between fuzzing runs: its programs, decoded from a fixed
set of pseudo-random inputs, run against tarnwick and the model and agree,
and the decoder still reaches every shape it is meant to (so the target
cannot rot unnoticed). `make check-fuzz` is the real run.
"""
from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fuzz_program  # noqa: E402
import fuzz_target  # noqa: E402

import tarnwick  # noqa: E402

# Shapes of faults that are known and not fixed yet; each leaves this list
# when its fix lands (the fuzz target itself covers them unless told not to).
KNOWN_OPEN: tuple[str, ...] = ()

# A few seconds; memcheck (make check-valgrind) is some fifty times slower.
INPUTS = 300 if os.environ.get("TARNWICK_UNDER_VALGRIND") else 3000


def test_programs_agree_with_the_model() -> None:
    findings = fuzz_target.Findings(None)
    one_input = fuzz_target.make_one_input(frozenset(KNOWN_OPEN), findings)
    first = {}
    for data in fuzz_target.random_inputs(INPUTS, seed=11):
        before = dict(findings.counts)
        one_input(data)
        for sig in findings.counts.keys() - before.keys():
            first[sig] = data
    assert not findings.counts, "\n".join(
        f"{sig} ({n}x), replay input: {first[sig].hex()}" for sig, n in findings.counts.items())


# What each shape looks like in a rendered program.
SHAPES = {
    "call": "('call'", "new": "('new'", "proto": "('proto'", "dunder": "('dunder'", "binop": "('binop'",
    "getitem": "('getitem'", "eq": "('eq'", "drop": "('drop'", "chain": "('chain'",
    "bound call": "'attr'", "unbound call": "'unbound'", "call without receiver": "'unbound-empty'",
    "partial": "'partial'", "keyword of a str subclass": "('kwsub'", "keyword not a str": "('kwobj'",
    "dict for from_dict": "('dict'", "key mutating the dict": "('mutkey'", "NumPy-like flag": "('flag'",
    "hostile __str__": "('hostile', 'str'", "finaliser": "('hostile', 'finalizer'",
    "re-entering callable": "('reenter'", "callable dropping everything": "('drop', (",
    "borrowed-receiver": "('borrowed'", "unmade-result": "('unmade', 'R')", "abstract": "('abstract'",
}


def _rendered(skip=()) -> str:
    return "\n".join(fuzz_program.render(fuzz_program.decode(data, skip))
                     for data in fuzz_target.random_inputs(3000, seed=5))


def test_the_decoder_reaches_every_shape() -> None:
    text = _rendered()
    missing = [name for name, mark in SHAPES.items() if mark not in text]
    assert not missing


@pytest.mark.parametrize("shape", fuzz_program.KNOWN_SHAPES)
def test_skipping_a_shape_removes_it(shape: str) -> None:
    assert SHAPES[shape] not in _rendered({shape})


def test_a_difference_is_reported_with_its_program(tmp_path) -> None:
    class ForgetfulResult:
        """Result.ok that loses its argument."""

        ok = staticmethod(lambda value: None)
        err = staticmethod(tarnwick.Result.err)

    program = [("call", ("cls", "R"), "ok", "attr", "R", [("const", 1)], [])]
    fuzz_program.run_program(program, tarnwick)   # the real module agrees
    module = type("module", (), {"Result": ForgetfulResult, "MayBe": tarnwick.MayBe})
    with pytest.raises(fuzz_program.Mismatch) as info:
        fuzz_program.run_program(program, module)
    assert info.value.real[0] == "returned" and info.value.model[1][0] == "Result"
    findings = fuzz_target.Findings(str(tmp_path))
    findings.record(info.value, b"\x00", program)
    (txt,) = tmp_path.glob("mismatch-*.txt")
    assert (tmp_path / (txt.stem + ".bin")).read_bytes() == b"\x00"
    assert "('call', ('cls', 'R'), 'ok'" in txt.read_text() and "--replay" in txt.read_text()


@pytest.mark.parametrize("how", ["map", "flat_map", "match"])
def test_a_callable_recursing_on_a_class_receiver_agrees(how: str) -> None:
    # The class itself is the receiver the callable recurses on: the model
    # must answer its methods as descriptors, as for any unbound call.
    fuzz_program.run_program(
        [("call", ("cls", "R"), "match", "attr", "R", [("pool", 28), ("fn", ("recurse", how))], [])], tarnwick)
