#!/usr/bin/env python3
"""Every quillmark-sim example in the README's code blocks, run as written in the build
directory given, against the exit code the README gives for it.

usage: readme_examples.py <build directory holding quillmark-sim and sim-firmware.bin>

Each code block that runs quillmark-sim is replayed line by line in one session that starts in
the build directory: `cd build-...` stays there, `export` sets the variable (a path under /tmp
moves into a fresh folder of the test's own), and each quillmark-sim command (what follows the
last `&&` before it, up to a `;` or its comment) runs with its exit code judged. The code is the
"exit code N" of the line's comment or, for a line that echoes "exit code $?", of the text just
before the block; a comment's `shows "..."` is a line the output must hold. Other lines (set-up,
builds) are not run. Prints one line per example and "N passed, M failed"; exits 0 only when
nothing failed.
"""

import os
import re
import shlex
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def code_blocks(text):
    """(the prose line before the block, the block's lines) for each fenced block."""
    blocks, lines, inside, before = [], text.split("\n"), None, ""
    for line in lines:
        if line.startswith("```"):
            if inside is None:
                inside = []
            else:
                blocks.append((before, inside))
                inside = None
        elif inside is not None:
            inside.append(line)
        elif line.strip():
            before = line
    return blocks


def split_comment(line):
    """The command and its comment: a # that starts a word outside quotes."""
    quote = None
    for i, c in enumerate(line):
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or line[i - 1].isspace()):
            return line[:i].rstrip(), line[i + 1:].strip()
    return line.rstrip(), ""


def sim_command(command):
    """The quillmark-sim command of a line, from the last `&&` before it up to a `;` or a pipe
    (whose reader is not the tool; the tool's own exit code is the one judged)."""
    at = command.index("quillmark-sim")
    start = command.rfind("&&", 0, at)
    command = command[start + 2 if start >= 0 else 0:]
    at = command.index("quillmark-sim")
    ends = [e for e in (command.find(";", at), command.find(" | ", at)) if e >= 0]
    return (command[:min(ends)] if ends else command).strip()


def expected(comment, command_line, before):
    found = re.findall(r"exit code (\d+)", comment)
    if not found and 'echo "exit code $?"' in command_line:
        found = re.findall(r"exit code (\d+)", before)
    return int(found[-1]) if found else None


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    sim = os.path.join(build, "quillmark-sim")
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        blocks = code_blocks(f.read())
    passed = failed = 0
    for before, lines in blocks:
        if not any("quillmark-sim" in split_comment(l)[0] for l in lines):
            continue
        with tempfile.TemporaryDirectory(prefix="qm-readme.") as work:
            env = dict(os.environ)
            for env_name in ("QUILLMARK_SIM_STATE", "QUILLMARK_SIM_DOWNLOAD_LOG"):
                env.pop(env_name, None)
            for line in lines:
                command_line, comment = split_comment(line)
                m = re.match(r"^export (\w+)=(\S+)$", command_line)
                if m:
                    value = m.group(2)
                    if value.startswith("/tmp/"):
                        value = os.path.join(work, os.path.basename(value))
                    env[m.group(1)] = value
                    continue
                if "quillmark-sim" not in command_line:
                    continue
                command = sim_command(command_line)
                args = shlex.split(command)
                want = expected(comment, command_line, before)
                if want is None:
                    ok, detail = False, "the README gives no exit code for it"
                else:
                    run = subprocess.run([sim] + args[1:], cwd=build, env=env, timeout=120,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    out = run.stdout.decode("utf-8", "replace")
                    shown = re.findall(r'shows "([^"]*)"', comment)
                    missing = [s for s in shown if s not in out.split("\n")]
                    ok = run.returncode == want and not missing
                    detail = "exit %d%s\n%s" % (run.returncode,
                                                "; no line %r" % missing if missing else "",
                                                (out + run.stderr.decode("utf-8", "replace"))[-600:])
                what = "%s: exit code %s" % (command, want)
                if ok:
                    passed += 1
                    print("PASS  " + what)
                else:
                    failed += 1
                    print("FAIL  " + what + "  (" + detail + ")")
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
