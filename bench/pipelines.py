"""A realistic pipeline over 10^5 records: parse, validate, transform.

Each record is a dict of strings as read from a CSV file or a form. About one
record in ten is bad: an age that is not a number, an age out of range, or an
e-mail address without "@". The same steps are written once per library as
Result chains, and once with plain exceptions as a reference. Every run
returns (number of good records, sum of their ages, number per error code),
which must agree across implementations.
"""
from __future__ import annotations

import random

RECORDS = 100_000


def make_records(count: int, seed: int = 7) -> list[dict[str, str]]:
    rng = random.Random(seed)
    records = []
    for i in range(count):
        age = str(rng.randrange(0, 100))
        email = f"user{i}@example{i % 17}.org"
        roll = rng.random()
        if roll < 0.04:
            age = "n/a"
        elif roll < 0.07:
            age = str(rng.randrange(150, 999))
        elif roll < 0.10:
            email = f"user{i}.example.org"
        records.append({"id": str(i), "age": age, "email": email})
    return records


def summarise(goods, codes) -> tuple[int, int, dict[str, int]]:
    per_code: dict[str, int] = {}
    for code in codes:
        per_code[code] = per_code.get(code, 0) + 1
    return len(goods), sum(g["age"] for g in goods), dict(sorted(per_code.items()))


def _transform(t):
    ident, age, email = t
    return {"id": ident, "age": age, "domain": email.partition("@")[2]}


# ---------------------------------------------------------------------------
# tarnwick

def run_tarnwick(records):
    import tarnwick

    ok, err = tarnwick.Result.ok, tarnwick.Result.err

    def parse(rec):
        age = rec["age"]
        if not age.isdigit():
            return err("age is not a number", "E_PARSE")
        return ok((int(rec["id"]), int(age), rec["email"]))

    def validate(t):
        if t[1] > 130:
            return err("age out of range", "E_RANGE")
        if "@" not in t[2]:
            return err("e-mail address without @", "E_EMAIL")
        return ok(t)

    goods, codes = [], []
    for rec in records:
        r = parse(rec).and_then(validate).map(_transform)
        if r.is_ok():
            goods.append(r.unwrap())
        else:
            codes.append(r.unwrap_err()[1])
    return summarise(goods, codes)


# ---------------------------------------------------------------------------
# result 0.17.0: the error value is a (message, code) tuple

def run_result(records):
    from result import Err, Ok

    def parse(rec):
        age = rec["age"]
        if not age.isdigit():
            return Err(("age is not a number", "E_PARSE"))
        return Ok((int(rec["id"]), int(age), rec["email"]))

    def validate(t):
        if t[1] > 130:
            return Err(("age out of range", "E_RANGE"))
        if "@" not in t[2]:
            return Err(("e-mail address without @", "E_EMAIL"))
        return Ok(t)

    goods, codes = [], []
    for rec in records:
        r = parse(rec).and_then(validate).map(_transform)
        if r.is_ok():
            goods.append(r.unwrap())
        else:
            codes.append(r.unwrap_err()[1])
    return summarise(goods, codes)


# ---------------------------------------------------------------------------
# returns 0.30.0

def run_returns(records):
    from returns.pipeline import is_successful
    from returns.result import Failure, Success

    def parse(rec):
        age = rec["age"]
        if not age.isdigit():
            return Failure(("age is not a number", "E_PARSE"))
        return Success((int(rec["id"]), int(age), rec["email"]))

    def validate(t):
        if t[1] > 130:
            return Failure(("age out of range", "E_RANGE"))
        if "@" not in t[2]:
            return Failure(("e-mail address without @", "E_EMAIL"))
        return Success(t)

    goods, codes = [], []
    for rec in records:
        r = parse(rec).bind(validate).map(_transform)
        if is_successful(r):
            goods.append(r.unwrap())
        else:
            codes.append(r.failure()[1])
    return summarise(goods, codes)


# ---------------------------------------------------------------------------
# plain exceptions, the reference

class InvalidRecord(Exception):
    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


def run_plain(records):
    def parse(rec):
        try:
            return int(rec["id"]), int(rec["age"]), rec["email"]
        except ValueError:
            raise InvalidRecord("age is not a number", "E_PARSE") from None

    def validate(t):
        if t[1] > 130:
            raise InvalidRecord("age out of range", "E_RANGE")
        if "@" not in t[2]:
            raise InvalidRecord("e-mail address without @", "E_EMAIL")
        return t

    goods, codes = [], []
    for rec in records:
        try:
            goods.append(_transform(validate(parse(rec))))
        except InvalidRecord as e:
            codes.append(e.code)
    return summarise(goods, codes)


# ---------------------------------------------------------------------------
# the same steps with no library and no exceptions: what the user's own code
# costs, so that the chains' difference from it is the library's share

def run_bare(records):
    def parse(rec):
        age = rec["age"]
        if not age.isdigit():
            return None, "E_PARSE"
        return (int(rec["id"]), int(age), rec["email"]), None

    def validate(t):
        if t[1] > 130:
            return None, "E_RANGE"
        if "@" not in t[2]:
            return None, "E_EMAIL"
        return t, None

    goods, codes = [], []
    for rec in records:
        t, code = parse(rec)
        if code is None:
            t, code = validate(t)
        if code is None:
            goods.append(_transform(t))
        else:
            codes.append(code)
    return summarise(goods, codes)
