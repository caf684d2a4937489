#!/usr/bin/env python3
"""Drives the helper as a parent application does: one JSON request per line on its stdin,
replies (matched by id) and events read from its stdout. It speaks a sentence, renders one to a
WAV file, and transcribes a recorded voice."""
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDING = os.path.join(HERE, "..", "tests", "fixtures", "sentences-16k-mono.wav")


class Helper:
    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, encoding="utf-8")
        self.next_id = 0

    def send(self, op, **params):
        self.next_id += 1
        line = json.dumps({"id": self.next_id, "op": op, "params": params})
        print(f"-> {line}")
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.next_id

    def read(self):
        line = self.process.stdout.readline()
        if not line:
            raise SystemExit("the helper ended early")
        return json.loads(line)

    def until(self, done, show=lambda message: True):
        """Reads messages until `done` says so; prints the ones `show` picks."""
        while True:
            message = self.read()
            if show(message):
                print(f"<- {json.dumps(message, ensure_ascii=False)[:200]}")
            if done(message):
                return message

    def call(self, op, **params):
        request = self.send(op, **params)
        return self.until(lambda m: m.get("id") == request)


def main() -> int:
    helper = Helper(sys.argv[1])
    helper.call("hello")
    voices = helper.call("voices.list")["result"]["voices"]
    print(f"   {len(voices)} voices installed")
    helper.call("locales.list")

    helper.send("speech.speak", utterance=1, text="Hello! I am the Quelt voice helper.")
    helper.until(lambda m: m.get("event") in ("speech.finished", "speech.cancelled"))

    with tempfile.TemporaryDirectory() as directory:
        helper.call("speech.synthesize_file", text="This sentence was written to a file.",
                    path=os.path.join(directory, "spoken.wav"))

    helper.send("capture.start", capture=1, level_interval_ms=1000,
                source={"kind": "file", "path": os.path.abspath(RECORDING)})
    helper.until(lambda m: m.get("event") == "capture.stopped",
                 show=lambda m: m.get("event") != "capture.level")

    helper.call("shutdown")
    status = helper.process.wait(timeout=10)
    print(f"helper exited with status {status}")
    return status


if __name__ == "__main__":
    sys.exit(main())
