"""Validating a batch of CSV orders into Results.

Each row becomes a `Result[Order, dict[str, str]]`: Ok with a parsed order, or Err
with a message, an error code and details naming the row and field. Optional
columns become `MayBe` values. The script prints a report and a summary of the
errors by code, and writes the whole batch in the dict form as JSON (to the file
given with --out, else to standard output).

    PYTHONPATH=build/cmake .venv/bin/python examples/orders.py [--out batch.json]
"""

import argparse
import csv
import io
import json
import sys
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Any

from tarnwick import MayBe, Result

SAMPLE_CSV = """\
order_id,email,sku,quantity,unit_price,coupon,note
1001,ana@example.com,TEA-01,2,4.50,,
1002,bo@example.com,MUG-07,1,12.00,SPRING10,gift wrap
1003,not-an-email,TEA-01,1,4.50,,
1004,cy@example.com,,3,2.00,,
1005,di@example.com,CUP-02,zero,3.00,,
1006,ed@example.com,CUP-02,0,3.00,,
1007,fa@example.com,POT-11,1,-5,,
1002,gu@example.com,TEA-01,1,4.50,,duplicate id
1008,hi@example.com,TEA-02,4,3.25,WINTER,leave at door
"""

type Details = dict[str, str]
type Checked[T] = Result[T, Details]


@dataclass(frozen=True)
class Order:
    order_id: int
    email: str
    sku: str
    quantity: int
    unit_price: Decimal
    coupon: MayBe[str]
    note: MayBe[str]

    @property
    def total(self) -> Decimal:
        return self.unit_price * self.quantity

    def to_json(self) -> dict[str, object]:
        """A JSON-ready view: Decimal as text, optional fields as value-or-null."""
        return {
            "order_id": self.order_id,
            "email": self.email,
            "sku": self.sku,
            "quantity": self.quantity,
            "unit_price": str(self.unit_price),
            "coupon": self.coupon.to_option(),
            "note": self.note.to_option(),
            "total": str(self.total),
        }


def failure(row: int, field: str, code: str, message: str, value: str) -> Result[Any, Details]:
    return Result.err(message, code, {"row": str(row), "field": field, "value": value})


def required(row: int, record: dict[str, str], field: str) -> Checked[str]:
    text = record.get(field, "").strip()
    if not text:
        return failure(row, field, "E_MISSING", f"{field} is required", text)
    return Result.ok(text)


def optional(record: dict[str, str], field: str) -> MayBe[str]:
    """An empty or absent cell is Nothing."""
    return MayBe(record.get(field, "").strip() or None)


def positive_int(row: int, field: str) -> Callable[[str], Checked[int]]:
    def check(text: str) -> Checked[int]:
        if not text.isdigit():
            return failure(row, field, "E_FORMAT", f"{field} must be a whole number", text)
        number = int(text)
        if number <= 0:
            return failure(row, field, "E_RANGE", f"{field} must be positive", text)
        return Result.ok(number)

    return check


def price(row: int, field: str) -> Callable[[str], Checked[Decimal]]:
    def check(text: str) -> Checked[Decimal]:
        try:
            amount = Decimal(text)
        except InvalidOperation:
            return failure(row, field, "E_FORMAT", f"{field} must be a decimal number", text)
        if amount < 0:
            return failure(row, field, "E_RANGE", f"{field} must not be negative", text)
        return Result.ok(amount)

    return check


def email(row: int) -> Callable[[str], Checked[str]]:
    def check(text: str) -> Checked[str]:
        local, at, domain = text.partition("@")
        if not (local and at and "." in domain):
            return failure(row, "email", "E_FORMAT", "email is not an address", text)
        return Result.ok(text.lower())

    return check


def parse_row(row: int, record: dict[str, str], seen_ids: set[int]) -> Checked[Order]:
    """All checks of one row; the first failing field decides the error."""

    def unique(order_id: int) -> Checked[int]:
        if order_id in seen_ids:
            return failure(row, "order_id", "E_DUPLICATE", "order_id already used", str(order_id))
        seen_ids.add(order_id)
        return Result.ok(order_id)

    order_id = required(row, record, "order_id") >> positive_int(row, "order_id") >> unique
    address = required(row, record, "email") >> email(row)
    sku = required(row, record, "sku").map(str.upper)
    quantity = required(row, record, "quantity") >> positive_int(row, "quantity")
    unit_price = required(row, record, "unit_price") >> price(row, "unit_price")

    # Stop at the first Err, in column order; each step keeps the details of its own field.
    # An Err passes on into a Result of another Ok type through its error triple.
    for field in (order_id, address, sku, quantity, unit_price):
        if field.is_err():
            return Result.err(*field.unwrap_err())
    return Result.ok(
        Order(
            order_id.unwrap(), address.unwrap(), sku.unwrap(), quantity.unwrap(), unit_price.unwrap(),
            optional(record, "coupon"), optional(record, "note"),
        )
    )


def validate(text: str) -> list[Checked[Order]]:
    seen: set[int] = set()
    # Row numbers count the header as row 1, as a spreadsheet shows them.
    return [parse_row(number, record, seen) for number, record in enumerate(csv.DictReader(io.StringIO(text)), 2)]


def describe(result: Checked[Order]) -> str:
    return result.match(
        ok=lambda order: (
            f"ok    #{order.order_id} {order.quantity} x {order.sku} for {order.email} = {order.total}"
            + order.coupon.match(just=lambda c: f" (coupon {c})", nothing=lambda: "")
            + order.note.map(lambda n: f' "{n}"').or_else("")
        ),
        err=lambda message, code, details: (
            f"error [{code}] row {(details or {}).get('row', '?')}: {message}"
            f" (got {(details or {}).get('value', '')!r})"
        ),
    )


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--out", help="write the batch's dict form as JSON to this file")
    args = parser.parse_args(argv)
    out: str | None = args.out

    results = validate(SAMPLE_CSV)
    for result in results:
        print(describe(result))

    accepted = [order for result in results for order in result]  # an Ok iterates over its value
    errors = Counter(result.unwrap_err()[1] or "?" for result in results if not result)
    print()
    print(f"{len(accepted)} accepted, {len(results) - len(accepted)} rejected, total {sum(o.total for o in accepted)}")
    for code, count in sorted(errors.items()):
        print(f"  {code:<12} {count}")

    # The dict form of each Result, with Ok values made JSON-ready first.
    batch = [result.map(Order.to_json).to_dict() for result in results]
    text = json.dumps(batch, indent=2)
    if out is None:
        print()
        print(text)
    else:
        with open(out, "w", encoding="utf-8") as file:
            file.write(text + "\n")
        print(f"\nwrote {len(batch)} results to {out}")

    # The JSON reads back into Results with the same codes.
    loaded: list[dict[str, Any]] = json.loads(text)
    again = [Result.from_dict(entry) for entry in loaded]
    assert [r.is_ok() for r in again] == [r.is_ok() for r in results]
    assert [r.unwrap_err()[1] for r in again if not r] == [r.unwrap_err()[1] for r in results if not r]
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
