#!/usr/bin/python3
"""Checks what the helper really wrote against protocol/quelt-voice-helper.schema.json.

  validate-wire.py SCHEMA LOG_DIR [TRANSCRIPT...]

LOG_DIR holds what tests/HelperProcess.h logged under QUELT_WIRE_LOG_DIR, per helper process:
NAME.jsonl, every line it wrote on stdout, and NAME.requests.jsonl, the request lines sent to it.
Each output line must be a reply or an event, and a success reply whose id went out with one op
only must carry that op's result. The transcripts' expected output lines ("< {...}") are checked
the same way, against their own request lines. First the schema must name every op, event and
error code of the helper's vocabulary, turn away a few broken messages and judge sample
requests right, so that a schema loosened by mistake cannot pass on good output alone.
"""
import glob
import json
import os
import re
import sys

from jsonschema import Draft202012Validator
from jsonschema.exceptions import best_match

# A few tests run alone log a few lines; none at all means the logging is broken.
MIN_LINES = 1
SHOWN = 5

MUST_FAIL = [
    ("a reply with neither result nor error", {"id": 1, "ok": True}),
    ("a reply with both", {"error": {"code": "native", "message": "x"}, "id": 1, "ok": False,
                           "result": {}}),
    ("a final without text", {"capture": 1, "event": "capture.final", "segment": 0}),
    ("an unknown event", {"capture": 1, "event": "capture.paused"}),
    ("an error code outside the protocol",
     {"error": {"code": "timeout", "message": "late"}, "id": 1, "ok": False}),
    ("a level event with a key of its own",
     {"capture": 1, "elapsed_ms": 50.0, "event": "capture.level", "peak": 0.5, "rms": 0.1,
      "db": -6}),
]
GOOD_REQUESTS = [
    {"id": 1, "op": "hello"},
    {"id": 2, "op": "authorization.request", "params": {"kind": "microphone"}},
    {"id": 3, "op": "devices.list", "params": {}},
    {"id": 4, "op": "locales.install", "params": {"locale": "en-US"}},
    {"id": 5, "op": "capture.start",
     "params": {"capture": 1, "source": {"kind": "file", "path": "/tmp/a.wav", "realtime": True},
                "contextual_strings": ["Quelt"], "level_interval_ms": 100, "engine": "auto"}},
    {"id": 6, "op": "capture.commit", "params": {"capture": 1}},
    {"id": 7, "op": "speech.speak",
     "params": {"utterance": 1, "text": " Hello. ", "rate": 0.5, "pitch": 2, "interrupt": True}},
    {"id": 8, "op": "speech.pause", "params": {"boundary": "word"}},
    {"id": 9, "op": "speech.synthesize_file",
     "params": {"path": "/tmp/hi.caf", "format": "caf", "text": "Hi", "voice": "flite:awb"}},
    {"id": 10, "op": "voices.list"},
]
BAD_REQUESTS = [
    ("an utterance id given as text",
     {"id": 1, "op": "speech.speak", "params": {"utterance": "1", "text": "Hi"}}),
    ("a rate out of range", {"id": 1, "op": "speech.speak",
                             "params": {"utterance": 1, "text": "Hi", "rate": 1.5}}),
    ("a text of white space", {"id": 1, "op": "speech.speak",
                               "params": {"utterance": 1, "text": " \n"}}),
    ("a file source without a path",
     {"id": 1, "op": "capture.start", "params": {"capture": 1, "source": {"kind": "file"}}}),
    ("a capture start without its id", {"id": 1, "op": "capture.start"}),
    ("an op in another letter case", {"id": 1, "op": "Hello"}),
]


def part(schema, pointer):
    # The whole document, so that its references resolve, checking against one of its parts.
    return Draft202012Validator(dict(schema, oneOf=[{"$ref": pointer}]))


def problem(validator, instance):
    error = best_match(validator.iter_errors(instance))
    if error is None:
        return None
    where = "/".join(map(str, error.absolute_path))
    return f"{where}: {error.message}" if where else error.message


def strict_json(text):
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")
    return json.loads(text, parse_constant=refuse)


def integer(value):
    return type(value) in (int, float) and value == value and abs(value) < 2**63


def ops_by_id(request_lines):
    ops = {}
    for text in request_lines:
        try:
            request = strict_json(text)
        except ValueError:
            continue
        if isinstance(request, dict) and integer(request.get("id")) and \
                isinstance(request.get("op"), str):
            ops.setdefault(int(request["id"]), set()).add(request["op"])
    return ops


class Check:
    def __init__(self, schema):
        self.schema = schema
        self.line = Draft202012Validator(schema)
        self.results = {}
        self.failures = []
        self.lines = self.distinct = self.matched = 0
        self.seen = set()

    def result(self, op):
        if op not in self.results:
            self.results[op] = part(self.schema, "#/$defs/result/" + op)
        return self.results[op]

    def output(self, where, text, ops):
        self.lines += 1
        try:
            text.encode("utf-8")  # a byte that was no UTF-8 fails here
            message = strict_json(text)
        except ValueError as error:
            self.failures.append(f"{where}: not JSON in UTF-8 ({error}): {text[:300]!r}")
            return
        op = shape = None
        if isinstance(message, dict) and integer(message.get("id")):
            candidates = ops.get(int(message["id"]), ())
            if message.get("ok") is True and len(candidates) == 1:
                op = next(iter(candidates))
            # Replies differ mostly by id: one check per shape keeps 600000 hellos quick.
            shape = dict(message, id=0)
        key = (json.dumps(message if shape is None else shape, sort_keys=True), op)
        if key in self.seen:
            return
        self.seen.add(key)
        self.distinct += 1
        wrong = problem(self.line, message)
        if wrong is None and op in self.schema["$defs"]["result"]:
            self.matched += 1
            wrong = problem(self.result(op), message["result"])
            wrong = wrong and f"result of {op}: {wrong}"
        if wrong:
            self.failures.append(f"{where}: {wrong}: {text[:300]}")


def vocabulary_gaps(schema):
    # Every name the helper has (src/wire/include/quelt/wire/Vocabulary.h) in every list of
    # the schema, and no other.
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src",
                          "wire", "include", "quelt", "wire", "Vocabulary.h")
    with open(header, encoding="utf-8") as file:
        text = file.read()
    names = {kind: set(re.findall(kind + r' \w+\{"([^"]+)"\}', text))
             for kind in ("OpName", "EventName", "ErrorCode")}
    defs = schema["$defs"]
    lists = {
        "request ops": ("OpName", defs["request"]["properties"]["op"]["enum"]),
        "$defs/params": ("OpName", defs["params"]),
        "$defs/result": ("OpName", defs["result"]),
        "event names": ("EventName", defs["event"]["properties"]["event"]["enum"]),
        "event schemas": ("EventName", [e["properties"]["event"]["const"]
                                        for e in defs["event"]["oneOf"]]),
        "error codes": ("ErrorCode", defs["error"]["properties"]["code"]["enum"]),
    }
    gaps = []
    for where, (kind, listed) in lists.items():
        if names[kind] != set(listed):
            gaps.append(f"{where}: lacks {sorted(names[kind] - set(listed))}, has unknown "
                        f"{sorted(set(listed) - names[kind])}")
    return gaps


def read_lines(path):
    with open(path, encoding="utf-8", errors="surrogateescape") as file:
        return file.read().splitlines()


def main(schema_path, log_dir, *transcripts):
    with open(schema_path, encoding="utf-8") as file:
        schema = json.load(file)
    Draft202012Validator.check_schema(schema)
    check = Check(schema)

    check.failures += vocabulary_gaps(schema)
    request = part(schema, "#/$defs/request")
    for what, message in MUST_FAIL:
        if check.line.is_valid(message):
            check.failures.append(f"the schema accepts {what}: {json.dumps(message)}")
    for message in GOOD_REQUESTS:
        if wrong := problem(request, message):
            check.failures.append(f"the schema refuses a good request ({wrong}): "
                                  f"{json.dumps(message)}")
    for what, message in BAD_REQUESTS:
        if request.is_valid(message):
            check.failures.append(f"the schema accepts {what}: {json.dumps(message)}")

    for path in sorted(glob.glob(os.path.join(log_dir, "*.jsonl"))):
        if path.endswith(".requests.jsonl"):
            continue
        sent = path[:-len(".jsonl")] + ".requests.jsonl"
        ops = ops_by_id(read_lines(sent)) if os.path.exists(sent) else {}
        for number, text in enumerate(read_lines(path), 1):
            check.output(f"{os.path.basename(path)}:{number}", text, ops)
    logged = check.lines

    for path in transcripts:
        lines = read_lines(path)
        ops = ops_by_id(line for line in lines if line.startswith("{"))
        for number, text in enumerate(lines, 1):
            if text.startswith("< {"):
                check.output(f"{os.path.basename(path)}:{number}", text[2:], ops)

    print(f"{check.lines} lines checked ({logged} logged by the tests, {check.lines - logged} "
          f"from transcripts), {check.distinct} distinct, {check.matched} results matched to "
          f"their op")
    if logged < MIN_LINES:
        check.failures.append(f"only {logged} lines logged in {log_dir}; expected at least "
                              f"{MIN_LINES} (did the tests run with QUELT_WIRE_LOG_DIR?)")
    for failure in check.failures[:SHOWN]:
        print("FAILED:", failure)
    if len(check.failures) > SHOWN:
        print(f"... and {len(check.failures) - SHOWN} more")
    return 1 if check.failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
