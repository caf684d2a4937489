#!/usr/bin/env python3
"""How many small faults in the core the fast tests catch.

  scripts/mutants.py [-n 40] [--seed 1] [--commit HEAD]

Copies the tree at the commit to a scratch folder, builds the in-process tests (the fakes, the
transcripts, the corpus replays), then plants one fault at a time in the core modules (a
comparison turned, a condition flipped, a statement dropped) and runs those tests. A fault is
caught when a test fails, crashes or hangs. Faults that do not compile are drawn again. The
same seed draws the same faults from the same lines, so two commits compare fairly when the
core is the same in both.
"""

import argparse
import pathlib
import hashlib
import re
import shutil
import subprocess
import sys
import tempfile

CORE = ["audio", "capture", "common", "devices", "engines", "lifecycle", "locales",
        "permissions", "protocol", "speech", "voices"]
TARGETS = ["quelt_tests", "quelt_transcripts", "quelt_replay_request_lines", "quelt_replay_wire"]

SWAPS = [(" == ", " != "), (" != ", " == "), (" < ", " <= "), (" <= ", " < "), (" > ", " >= "),
         (" >= ", " > "), (" && ", " || "), (" || ", " && "), ("true", "false"),
         ("false", "true"), (" + 1", " - 1"), (" - 1", " + 1")]


def candidates(tree):
    """Every (file, line number, mutated line) the core offers, in a stable order."""
    out = []
    for module in CORE:
        for path in sorted((tree / "src" / module).rglob("*.cpp")):
            lines = path.read_text().splitlines()
            for number, line in enumerate(lines):
                code = line.strip()
                if not code or code.startswith(("//", "#", "*")):
                    continue
                for old, new in SWAPS:
                    if old in line:
                        out.append((path.relative_to(tree), number, line.replace(old, new, 1)))
                if code.endswith(";") and not code.startswith(("return", "}", "case", "default")) \
                        and "(" in code and re.match(r"^[\w:.>\-\[\]]+\(", code):
                    out.append((path.relative_to(tree), number, ""))  # a call dropped
    return out


def run(command, cwd, timeout):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def killer(tests, cwd, timeout):
    """The name of the first test that fails, or None when all pass. A run that only times out
    is tried once more, so that a machine busy with something else does not count as a hang."""
    for test in tests:
        for attempt in range(2):
            try:
                done = subprocess.run(test, cwd=cwd, capture_output=True, text=True, errors="replace",
                                      timeout=timeout)
            except subprocess.TimeoutExpired:
                if attempt == 0:
                    continue
                return pathlib.Path(test[0]).name + " (hang)"
            if done.returncode == 0:
                break
            failed = re.findall(r"\[  FAILED  \] (\S+)", done.stdout)
            return failed[0] if failed else pathlib.Path(test[0]).name
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--commit", default="HEAD")
    args = parser.parse_args()

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="quelt-mutants-"))
    tree = scratch / "tree"
    tree.mkdir()
    archive = subprocess.run(["git", "archive", args.commit], capture_output=True, check=True)
    subprocess.run(["tar", "-x", "-C", str(tree)], input=archive.stdout, check=True)
    build = scratch / "build"
    # No debug information and the gold linker: each fault relinks four test programs.
    subprocess.run(["cmake", "-S", str(tree), "-B", str(build), "-DCMAKE_BUILD_TYPE=",
                    "-DCMAKE_CXX_FLAGS=-O1 -g0", "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold",
                    "-DQUELT_BUILD_BENCH=OFF"], check=True, stdout=subprocess.DEVNULL)
    targets = [t for t in TARGETS
               if run(["cmake", "--build", str(build), "--target", t, "-j2"], tree, 1800)]
    transcripts = sorted(str(p) for p in (tree / "tests" / "transcripts").glob("*.txt"))
    tests = [[str(build / "tests" / "quelt_tests"), "--gtest_brief=1"]]
    if "quelt_transcripts" in targets and transcripts:
        tests.append([str(build / "tests" / "quelt_transcripts")] + transcripts)
    for name in ("request_lines", "wire"):
        tests.append([str(build / "tests" / f"quelt_replay_{name}"),
                      str(tree / "fuzz" / "corpus" / name)])
    # A loaded machine can fail a test now and then; only a tree that fails every time is broken.
    if not any(all(run(test, tree, 600) for test in tests) for _ in range(3)):
        sys.exit("the tests fail before any fault is planted")

    # Drawn by a hash of the seed and the line's own text, not its place: a change elsewhere in
    # the tree leaves the draw of every other line as it was.
    def draw(candidate):
        path, number, mutated = candidate
        original = (tree / path).read_text().splitlines()[number]
        key = f"{args.seed}:{path}:{original}:{mutated}".encode()
        return hashlib.sha256(key).hexdigest()

    pool = sorted(candidates(tree), key=draw)
    build_all = ["cmake", "--build", str(build), "-j2"] + [a for t in targets for a in
                                                             ("--target", t)]
    caught = tried = 0
    # The first n faults that compile, in the order drawn. Each round takes as many as are still
    # wanted and plants them file by file, so a file is rebuilt once per round rather than once
    # per fault to plant it and once more to take it out.
    while tried < args.n and pool:
        batch, pool = pool[:args.n - tried], pool[args.n - tried:]
        for path, number, mutated in sorted(batch, key=lambda c: (str(c[0]), c[1])):
            file = tree / path
            original = file.read_text()
            lines = original.splitlines()
            lines[number] = mutated
            file.write_text("\n".join(lines) + "\n")
            try:
                if not run(build_all, tree, 900):
                    continue  # does not compile: not a fault a test could catch
                tried += 1
                name = killer(tests, tree, 120)
                caught += name is not None
                print(f"{'caught by ' + name if name else 'MISSED'} {path}:{number + 1}: "
                      f"{mutated.strip()!r}", flush=True)
            finally:
                file.write_text(original)
    print(f"mutants: {caught} of {tried} caught (seed {args.seed}, commit {args.commit})")
    shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
