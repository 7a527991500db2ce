"""Judges a memcheck log of the test suite.

Fails (exit 1) when memcheck reported any error (invalid access, use of
uninitialised memory, bad free) or when a definitely lost block that the
suppressions did not explain was allocated with a tarnwick frame on its
stack. Prints the figures either way.
"""
from __future__ import annotations

import re
import sys


def main(path: str) -> int:
    text = open(path, encoding="utf-8", errors="replace").read()
    # A log per process: the suite's own interpreter writes the first one.
    errors = [int(n) for n in re.findall(r"ERROR SUMMARY: (\d+) errors", text)]
    lost = re.findall(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
    records = re.split(r"\n==\d+== \n", text)
    ours = [r for r in records if "definitely lost in loss record" in r and "tarnwick" in r]
    bad_access = [r for r in records if re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free", r)]
    print(f"memcheck: errors={errors} definitely lost={lost} tarnwick leak records={len(ours)}")
    for r in (ours + bad_access)[:20]:
        print(r[:3000], "\n---")
    if not errors:
        print("no memcheck summary found")
        return 1
    return 0 if sum(errors) == 0 and not ours and not bad_access else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
