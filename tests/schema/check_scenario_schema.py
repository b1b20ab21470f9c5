#!/usr/bin/python3
"""Scenario files against docs/scenario.schema.json.

    check_scenario_schema.py SOURCE_DIR

Every example and every scenario the tests use must pass the schema. Every file of
tests/schema/invalid/ must fail it, at the key its first line names ("// refused at: KEY",
the key the loader's message names too). The files of tests/schema/loader-only/ break rules
a schema cannot state (times in order, names used once, faults naming real phones, ...):
they must pass the schema, so that the documentation of what the schema leaves to the
loader stays true. The loader refuses both sets; a test of the sim suite checks that.

Comments are stripped first, as the loader strips them: // to the end of the line and
/* ... */, outside strings.
"""

import json
import pathlib
import re
import sys

import jsonschema


def strip_comments(text):
    out = []
    i = 0
    in_string = False
    while i < len(text):
        c = text[i]
        if in_string:
            out.append(c)
            if c == "\\":
                out.append(text[i + 1 : i + 2])
                i += 2
                continue
            if c == '"':
                in_string = False
            i += 1
        elif c == '"':
            in_string = True
            out.append(c)
            i += 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            i = len(text) if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                raise ValueError("a /* comment is not closed")
            out.append(" ")
            i = end + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def load(path):
    return json.loads(strip_comments(path.read_text(encoding="utf-8")), parse_constant=refuse_constant)


def expected_path(path):
    first = path.read_text(encoding="utf-8").splitlines()[0]
    m = re.fullmatch(r"// refused at: (\S+)", first)
    if not m:
        raise SystemExit(f"{path}: the first line must be '// refused at: KEY'")
    return [int(t[1:-1]) if t.startswith("[") else t for t in re.findall(r"\[\d+\]|[^.\[\]]+", m.group(1))]


def all_errors(errors):
    for error in errors:
        yield error
        yield from all_errors(error.context)


def near(error_path, key_path):
    """An error at the key, at the object holding it, or at a key beside it."""
    e = list(error_path)
    return e == key_path or e == key_path[:-1] or (len(e) == len(key_path) and e[:-1] == key_path[:-1])


def main(argv):
    root = pathlib.Path(argv[1]).resolve()
    schema = json.loads((root / "docs" / "scenario.schema.json").read_text(encoding="utf-8"))
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    failures = []

    valid = sorted(root.glob("examples/*.json")) + sorted(root.glob("tests/**/scenarios/*.json"))
    for path in valid:
        for error in validator.iter_errors(load(path)):
            failures.append(f"{path.relative_to(root)}: {error.json_path}: {error.message[:200]}")

    invalid = sorted((root / "tests" / "schema" / "invalid").glob("*.json"))
    for path in invalid:
        errors = list(all_errors(validator.iter_errors(load(path))))
        key = expected_path(path)
        if not errors:
            failures.append(f"{path.relative_to(root)}: the schema lets it pass")
        elif not any(near(e.absolute_path, key) for e in errors):
            where = sorted({e.json_path for e in errors})
            failures.append(f"{path.relative_to(root)}: refused, but not at {key}: {where}")

    loader_only = sorted((root / "tests" / "schema" / "loader-only").glob("*.json"))
    for path in loader_only:
        expected_path(path)
        for error in validator.iter_errors(load(path)):
            failures.append(
                f"{path.relative_to(root)}: the schema refuses it ({error.message[:120]}): "
                "move it to tests/schema/invalid/"
            )

    if len(valid) < 6 or len(invalid) < 15 or not loader_only:
        failures.append(f"too few files found under {root}")
    for failure in failures:
        print(failure)
    print(f"{len(valid)} valid, {len(invalid)} invalid, {len(loader_only)} loader-only files checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
