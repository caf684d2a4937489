#!/usr/bin/env python3
"""How many small faults in the core the fast tests catch.

  scripts/mutants.py [-n 40] [--seed 1] [--commit HEAD] [--backends]

Copies the tree at the commit to a scratch folder, builds the in-process tests (the fakes, the
transcripts, the corpus replays), then plants one fault at a time in the core modules (a
comparison turned, a condition flipped, a statement dropped) and runs those tests. A fault is
caught when a test fails, crashes or hangs. Faults that do not compile are drawn again. The
same seed draws the same faults from the same lines, so two commits compare fairly when the
core is the same in both.

With --backends the faults go into the Linux backends instead (PulseAudio, libsndfile, soxr,
espeak-ng, flite, pocketsphinx, the synthesis workers), and after the in-process tests come the
tests of the real libraries and of the built helper, each stopping at its first failure. The
summary then says how many of the caught faults only those tests caught.
"""

import argparse
import pathlib
import hashlib
import os
import re
import signal
import shutil
import subprocess
import sys
import tempfile

CORE = ["audio", "capture", "common", "devices", "engines", "lifecycle", "locales",
        "permissions", "protocol", "speech", "voices"]
TARGETS = ["quelt_tests", "quelt_transcripts", "quelt_replay_request_lines", "quelt_replay_wire"]
LINUX_TARGETS = ["quelt_replay_audio_file", "quelt_linux_tests", "quelt_process_tests"]

SWAPS = [(" == ", " != "), (" != ", " == "), (" < ", " <= "), (" <= ", " < "), (" > ", " >= "),
         (" >= ", " > "), (" && ", " || "), (" || ", " && "), ("true", "false"),
         ("false", "true"), (" + 1", " - 1"), (" - 1", " + 1")]


def candidates(tree, modules):
    """Every (file, line number, mutated line) the modules offer, in a stable order."""
    out = []
    for module in modules:
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
    """The name of the first test that fails and the index of its program, or None when all
    pass. A run that only times out is tried once more, so that a machine busy with something
    else does not count as a hang."""
    for index, test in enumerate(tests):
        for attempt in range(2):
            # In a session of its own, so that a hung test goes with every process it started.
            child = subprocess.Popen(test, cwd=cwd, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, errors="replace",
                                     start_new_session=True)
            try:
                stdout, _ = child.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.communicate()
                if attempt == 0:
                    continue
                return pathlib.Path(test[0]).name + " (hang)", index
            if child.returncode == 0:
                break
            failed = re.findall(r"\[  FAILED  \] (\S+)", stdout)
            return (failed[0] if failed else pathlib.Path(test[0]).name), index
    return None, None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--commit", default="HEAD")
    parser.add_argument("--backends", action="store_true")
    args = parser.parse_args()
    modules = ["backends"] if args.backends else CORE
    wanted = TARGETS + (LINUX_TARGETS if args.backends else [])
    # The tests of the real libraries run for minutes when they pass.
    timeout = 400 if args.backends else 120

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
    targets = [t for t in wanted
               if run(["cmake", "--build", str(build), "--target", t, "-j2"], tree, 1800)]
    transcripts = sorted(str(p) for p in (tree / "tests" / "transcripts").glob("*.txt"))
    tests = [[str(build / "tests" / "quelt_tests"), "--gtest_brief=1"]]
    if "quelt_transcripts" in targets and transcripts:
        tests.append([str(build / "tests" / "quelt_transcripts")] + transcripts)
    for name in ("request_lines", "wire"):
        tests.append([str(build / "tests" / f"quelt_replay_{name}"),
                      str(tree / "fuzz" / "corpus" / name)])
    fast = len(tests)
    if args.backends:
        tests.append([str(build / "tests" / "quelt_replay_audio_file"),
                      str(tree / "fuzz" / "corpus" / "audio_file")])
        for name in ("quelt_linux_tests", "quelt_process_tests"):
            tests.append([str(build / "tests" / name), "--gtest_brief=1", "--gtest_fail_fast"])
    # A loaded machine can fail a test now and then; only a tree that fails every time is broken.
    if not any(all(run(test, tree, 900) for test in tests) for _ in range(3)):
        sys.exit("the tests fail before any fault is planted")

    # Drawn by a hash of the seed and the line's own text, not its place: a change elsewhere in
    # the tree leaves the draw of every other line as it was.
    def draw(candidate):
        path, number, mutated = candidate
        original = (tree / path).read_text().splitlines()[number]
        key = f"{args.seed}:{path}:{original}:{mutated}".encode()
        return hashlib.sha256(key).hexdigest()

    pool = sorted(candidates(tree, modules), key=draw)
    build_all = ["cmake", "--build", str(build), "-j2"] + [a for t in targets for a in
                                                             ("--target", t)]
    caught = tried = slow = 0
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
                name, index = killer(tests, tree, timeout)
                caught += name is not None
                slow += index is not None and index >= fast
                print(f"{'caught by ' + name if name else 'MISSED'} {path}:{number + 1}: "
                      f"{mutated.strip()!r}", flush=True)
            finally:
                file.write_text(original)
    where = "backends" if args.backends else "core"
    print(f"mutants: {caught} of {tried} caught (seed {args.seed}, commit {args.commit}, {where})")
    if args.backends:
        print(f"of those, {slow} only by the tests of the real libraries and the built helper")
    shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
