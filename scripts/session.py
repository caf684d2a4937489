#!/usr/bin/env python3
"""Drives the helper as a parent application does: one JSON request per line on its stdin,
replies (matched by id) and events read from its stdout."""
import json
import subprocess
import sys

REQUESTS = [
    {"id": 1, "op": "hello"},
    {"id": 2, "op": "Hello"},
    {"id": 3, "params": {}},
    {"id": 4, "op": "shutdown"},
]


def main() -> int:
    helper = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, encoding="utf-8")
    for request in [None] + REQUESTS:
        line = "not json" if request is None else json.dumps(request)
        print(f"-> {line}")
        helper.stdin.write(line + "\n")
        helper.stdin.flush()
        print(f"<- {helper.stdout.readline().rstrip()}")
    helper.stdin.close()
    status = helper.wait(timeout=10)
    print(f"helper exited with status {status}")
    return status


if __name__ == "__main__":
    sys.exit(main())
