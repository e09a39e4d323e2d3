#!/usr/bin/env python3
# Holds what the program prints and takes to the schemas of schema/: every golden document and
# request of tests/cases/ (a request marked malformed must be refused, any other taken), and the
# documents that fuzz/request_documents.cpp prints for the request fuzz corpus.
#   tests/schemas.py SOURCE_DIR REQUEST_DOCUMENTS_PROGRAM
import json
import subprocess
import sys
from pathlib import Path

from jsonschema import Draft202012Validator

source, driver = Path(sys.argv[1]), sys.argv[2]
cases, schemas, failures = source / "tests" / "cases", {}, []
for path in (source / "schema").glob("*.schema.json"):
    Draft202012Validator.check_schema(schema := json.loads(path.read_text()))
    schemas[path.name.removesuffix(".schema.json")] = Draft202012Validator(schema)
document = {word: word for word in ("status", "calendars", "snapshot", "apply")}
document["permission"] = "status"
checked = 0


def check(name, what, value, well_formed=True):
    global checked
    checked += 1
    errors = ["not JSON"] if value is ... else [
        f"{e.json_path}: {e.message}" for e in schemas[name].iter_errors(value)]
    if bool(errors) == well_formed:
        failures.append(f"{what} ({name}): {errors[0] if errors else 'taken, but marked malformed'}")


def parsed(text):  # `...` stands for text that is not JSON
    try:
        return json.loads(text)
    except ValueError:
        return ...


for expected in sorted(cases.glob("*/*/expected.json")):
    folder, word = expected.parent, expected.parent.parent.name
    kinds = {"expected": document[word], "request": f"{word}-request",
             "after-request": "snapshot-request", "after": "snapshot"}
    for name, kind in kinds.items():
        if (file := folder / f"{name}.json").exists():
            well_formed = name != "request" or not (folder / "malformed").exists()
            check(kind, file, parsed(file.read_text()), well_formed)

for row in json.loads((cases / "requests.json").read_text()):
    word, what = (row.get("args", ["apply"]) or [""])[0], f"requests.json: {row['name']}"
    check(document.get(word, "usage-error"), what,
          row.get("expected", {"writes": [], "deletes": [], "external": []}))
    if word in ("snapshot", "apply"):
        request = row["request"] if "request" in row else parsed(row["text"])
        check(word + "-request", what, request, not row.get("malformed", False))

identifiers = json.loads((cases / "identifiers.json").read_text())
for row in identifiers["ids"]:
    for part, kind in (("request", "apply-request"), ("expected", "apply")):
        text = json.dumps(identifiers[part]).replace('"@ID@"', json.dumps(row["id"]))
        check(kind, f"identifiers.json: {row['name']}", json.loads(text))

corpus = sorted((source / "fuzz" / "corpus" / "request").iterdir())
printed = subprocess.run([driver, *corpus], check=True, capture_output=True, text=True).stdout
for i, line in enumerate(printed.splitlines()):
    check(("snapshot", "apply")[i % 2], corpus[i // 2], parsed(line))

print(*failures, sep="\n", end="\n" if failures else "")
print(f"schemas: {checked - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
