#!/usr/bin/python3
"""usage: validate_events.py SCHEMA [FILE...]  (standard input without FILE)

Checks that every line is one compact JSON object that the event schema
accepts (after the schema itself and its examples); names each bad line."""

import json
import sys

import jsonschema


def record(raw: bytes) -> dict:
    def unique(pairs: list) -> dict:
        if len(dict(pairs)) != len(pairs):
            raise ValueError("a key appears twice")
        return dict(pairs)

    def refuse(constant: str) -> None:
        raise ValueError(f"{constant} is not JSON")

    if raw != raw.strip():
        raise ValueError("white space around the record")
    return json.loads(raw.decode("utf-8"), object_pairs_hook=unique,
                      parse_constant=refuse)


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as source:
        schema = json.load(source)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    named = [("example", json.dumps(e, ensure_ascii=False).encode())
             for e in schema.get("examples", [])]
    for path in argv[2:] or ["/dev/stdin"]:
        with open(path, "rb") as lines:
            named += [(path, line.rstrip(b"\n")) for line in lines]
    bad = 0
    for origin, raw in named:
        try:
            found = jsonschema.exceptions.best_match(
                validator.iter_errors(record(raw)))
            problem = found and f"{found.message} at {found.json_path}"
        except ValueError as error:  # UnicodeDecodeError is one too
            problem = f"not a JSON line ({error})"
        if problem:
            bad += 1
            print(f"{origin}: {problem}: {raw[:300]!r}", file=sys.stderr)
    print(f"{len(named) - bad} of {len(named)} lines valid", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
