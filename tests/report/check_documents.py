#!/usr/bin/env python3
"""The run report of runs whose two streams were recorded together (the real-stack guest).

Each file holds one run's standard output and error stream as they arrived; the document is
its tail, from the line that is a lone "{" (the human texts go out before it, and no line of
theirs is one). Every document must pass the schema's validator and end with the expected exit
code; with two files, the documents must also be the same field for field but for the times and
the program's own name (the Linux build's against Quillmark.exe's under wine).

usage: check_documents.py <schema> <exit code> <file> [<file>]
Prints why it fails, if it does; exits 0 when every document passes.
"""

import json
import sys

import jsonschema

SCHEMA, CODE, FILES = sys.argv[1], int(sys.argv[2]), sys.argv[3:]


def document(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    start = max(i for i, line in enumerate(lines) if line == "{")
    return json.loads("\n".join(lines[start:]))


def comparable(doc):
    """The document without what differs between two runs of the same case: the times, the
    program's name, and the SCSI port number, which wine's address query numbers its own way
    (2 where the Linux build reports 0, on the same disk)."""
    doc = json.loads(json.dumps(doc))
    for key in ("started", "ended", "duration_seconds"):
        doc.pop(key)
    doc["arguments"] = doc["arguments"][1:]
    if doc["target"] and doc["target"]["scsi_address"]:
        doc["target"]["scsi_address"].pop("port")
    return doc


def main():
    with open(SCHEMA, encoding="utf-8") as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    docs = []
    for path in FILES:
        try:
            doc = document(path)
        except (OSError, ValueError) as e:
            return "%s: no document (%s)" % (path, e)
        errors = [e.message for e in validator.iter_errors(doc)]
        if errors:
            return "%s: %s" % (path, "; ".join(errors)[:300])
        if doc["exit"]["code"] != CODE:
            return "%s: exit code %s, expected %d" % (path, doc["exit"]["code"], CODE)
        docs.append(comparable(doc))
    if len(docs) == 2 and docs[0] != docs[1]:
        differ = [k for k in docs[0] if docs[0][k] != docs[1].get(k)]
        return "the documents differ in %s: %s against %s" % (
            differ, json.dumps({k: docs[0][k] for k in differ})[:200],
            json.dumps({k: docs[1][k] for k in differ})[:200])
    return None


if __name__ == "__main__":
    problem = main()
    if problem:
        print(problem)
    sys.exit(1 if problem else 0)
