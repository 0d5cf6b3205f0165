"""Renders decoded values as JSON text the way `deserialize_json` writes them, for the command line's `docs`
and for the checks that hold the two decoders to each other.

The rules are deserialize_json's: compact text, object keys in ascending order of their UTF-8 bytes, a null
key written as "", a dict with any key that is not a string written as an array of [key, value] pairs, bytes
as padded standard Base64, non-finite floats as the strings "NaN", "Infinity" and "-Infinity", and finite
floats as the shortest digits that read back as the same double: plain decimals for decimal exponents -5 to
15 (always with a fraction, "1.0"), exponent notation with a written sign outside that range ("1e+16",
"1.5e-7").
"""

from __future__ import annotations

import base64
import json
import math
from decimal import Decimal
from typing import Any


def json_value(value: Any) -> Any:
    """The value `json.loads` reads back from the text `json_text(value)`: what deserialize_json writes for a
    value that `deserialize` returned, as plain JSON data."""
    if isinstance(value, dict):
        if all(isinstance(k, str) or k is None for k in value):
            return {("" if k is None else k): json_value(v) for k, v in value.items()}
        return [[json_value(k), json_value(v)] for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [json_value(v) for v in value]
    if isinstance(value, bytes):
        return base64.b64encode(value).decode("ascii")
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def json_text(value: Any) -> str:
    """`value` (as `deserialize` returns it) as compact JSON text by deserialize_json's rules."""
    out: list[str] = []
    _write(json_value(value), out)
    return "".join(out)


def float_text(x: float) -> str:
    """A finite double as deserialize_json writes it: 1e-05 is "0.00001", 1e16 is "1e+16"."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    # repr gives the shortest digits that read back as the same double (the nearest when several do).
    _, digit_tuple, exponent = Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    assert isinstance(exponent, int)
    e = exponent + len(digit_tuple) - 1  # the decimal exponent of the first digit
    n = len(digits)
    if -5 <= e <= 15:
        if e >= n - 1:
            return f"{sign}{digits}{'0' * (e - n + 1)}.0"
        if e >= 0:
            return f"{sign}{digits[:e + 1]}.{digits[e + 1:]}"
        return f"{sign}0.{'0' * (-e - 1)}{digits}"
    mantissa = digits if n == 1 else f"{digits[0]}.{digits[1:]}"
    return f"{sign}{mantissa}e{'+' if e > 0 else '-'}{abs(e)}"


def _write(value: Any, out: list[str]) -> None:
    if value is None:
        out.append("null")
    elif value is True or value is False:
        out.append("true" if value else "false")
    elif isinstance(value, int):
        out.append(str(value))
    elif isinstance(value, float):
        out.append(float_text(value))
    elif isinstance(value, str):
        out.append(json.dumps(value, ensure_ascii=False))  # escapes exactly ", \ and the bytes below 0x20
    elif isinstance(value, list):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _write(item, out)
        out.append("]")
    elif isinstance(value, dict):
        out.append("{")
        # Code point order is the byte order of the UTF-8 encodings.
        for i, key in enumerate(sorted(value)):
            if i:
                out.append(",")
            out.append(json.dumps(key, ensure_ascii=False))
            out.append(":")
            _write(value[key], out)
        out.append("}")
    else:
        raise TypeError(f"json_text: no JSON rendering for {type(value).__name__} {value!r}")
