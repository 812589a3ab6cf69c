#!/usr/bin/python3
"""Checks quorvel event lines against the event schema with a real
validator (Debian's python3-jsonschema), so that the schema and the
program cannot drift apart.

usage: validate_events.py SCHEMA [FILE...]   (standard input without FILE)

Every line of every FILE must be one JSON object, with nothing around it,
that the schema accepts.
The schema itself, and the records it gives as examples (the encoding
fallback among them), are checked first. Exits 1 and names each bad line
when anything fails.
"""

import json
import sys

import jsonschema


def refuse(constant: str) -> None:
    raise ValueError(f"{constant} is not JSON")


def unique_keys(pairs: list[tuple[str, object]]) -> dict[str, object]:
    record = dict(pairs)
    if len(record) != len(pairs):
        raise ValueError("a key appears twice")
    return record


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as source:
        schema = json.load(source)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    named = [("example", json.dumps(example, ensure_ascii=False).encode())
             for example in schema.get("examples", [])]
    if len(argv) > 2:
        for path in argv[2:]:
            with open(path, "rb") as lines:
                named += [(path, line.rstrip(b"\n")) for line in lines]
    else:
        named += [("stdin", line.rstrip(b"\n")) for line in sys.stdin.buffer]

    bad = 0
    for origin, raw in named:
        line = raw.decode("utf-8", errors="replace")
        try:
            record = json.loads(raw.decode("utf-8"), parse_constant=refuse,
                                object_pairs_hook=unique_keys)
        except ValueError as error:  # UnicodeDecodeError is one too
            problem = f"not a JSON line ({error})"
        else:
            problem = "white space around the record" if raw != raw.strip() else None
        if not problem:
            found = jsonschema.exceptions.best_match(validator.iter_errors(record))
            problem = None if found is None else (
                f"{found.message} at {found.json_path}")
        if problem:
            bad += 1
            if bad <= 20:
                print(f"{origin}: {problem}: {line[:300]}", file=sys.stderr)
    print(f"{len(named) - bad} of {len(named)} lines valid", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
