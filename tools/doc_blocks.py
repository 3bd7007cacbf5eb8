#!/usr/bin/env python3
"""Builds or runs the code blocks of Markdown files, so that the examples of
the README and docs/ cannot drift from the code (the test suite runs it on
each of them; docs/development.md says how a block is marked).

A fenced block is taken by its language:
  c        compiled as C99 with -Wall -Wextra -pedantic -Werror (-c)
  c++      compiled as C++20 with the same warnings (-c)
  python   run from the source tree with the module on PYTHONPATH (skipped,
           with a note, when --python-path is not given: no module built)
  none     a transcript (output, a session), not run
  other    (sh, cmake, ...) must be marked, below
An HTML comment on the line before the fence marks the block:
  <!-- doc-block: illustrative (WHY) -->  not built or run
  <!-- doc-block: in PATH -->             its lines are in the file PATH
                                          (a program the test suite builds)
  <!-- doc-block: continues -->          python: runs after the file's
                                          blocks before it, in one process

  tools/doc_blocks.py [--cc CC] [--cxx CXX] [-I DIR]... [--python PYTHON]
                      [--python-path DIR] --scratch DIR FILE.md...

Prints one line per block; exits 1 if any block fails, 2 on bad usage.
"""
import argparse
import os
import re
import subprocess
import sys

FENCE = re.compile(r"^```(\S*)\s*$")
MARK = re.compile(r"^<!--\s*doc-block:\s*(illustrative|in|continues)\b\s*(.*?)\s*-->\s*$")


def blocks(path):
    """(line, language, mark, argument, text) of each fenced block."""
    lines = open(path, encoding="utf-8").read().split("\n")
    out = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        start = i
        before = lines[i - 1] if i > 0 else ""
        mark = MARK.match(before)
        j = i + 1
        while j < len(lines) and lines[j].rstrip() != "```":
            j += 1
        if j == len(lines):
            raise SystemExit(f"{path}:{start + 1}: a fence that is never closed")
        out.append((start + 1, m.group(1).lower(), mark.group(1) if mark else None,
                    mark.group(2) if mark else "", "\n".join(lines[i + 1:j]) + "\n"))
        i = j + 1
    return out


def compile_block(compiler, std, includes, text, scratch, name, suffix):
    source = os.path.join(scratch, name + suffix)
    with open(source, "w", encoding="utf-8") as f:
        f.write(text)
    command = [compiler, std, "-Wall", "-Wextra", "-pedantic", "-Werror", "-c", source,
               "-o", os.path.join(scratch, name + ".o")]
    command += [f"-I{d}" for d in includes]
    r = subprocess.run(command, capture_output=True, text=True)
    return r.returncode == 0, r.stderr


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cc", default="cc")
    p.add_argument("--cxx", default="c++")
    p.add_argument("-I", dest="includes", action="append", default=[])
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--python-path")
    p.add_argument("--scratch", required=True)
    p.add_argument("files", nargs="+")
    args = p.parse_args()
    os.makedirs(args.scratch, exist_ok=True)
    failed = 0
    for path in args.files:
        python_before = ""  # the file's python blocks so far, for "continues"
        for line, language, mark, argument, text in blocks(path):
            where = f"{path}:{line}: {language or 'transcript'}"
            name = re.sub(r"\W", "_", f"{os.path.basename(path)}_{line}")
            ok, note = True, ""
            if mark == "illustrative":
                note = "illustrative, not run"
            elif mark == "in":
                try:
                    whole = open(argument, encoding="utf-8").read()
                except OSError as e:
                    ok, note = False, f"cannot read {argument}: {e.strerror}"
                else:
                    ok = text in whole
                    note = f"in {argument}" if ok else f"not found as it stands in {argument}"
            elif language == "":
                note = "transcript, not run"
            elif language == "c":
                ok, note = compile_block(args.cc, "-std=c99", args.includes, text, args.scratch,
                                         name, ".c")
                note = note or "compiled as C99"
            elif language in ("c++", "cpp"):
                ok, note = compile_block(args.cxx, "-std=c++20", args.includes, text,
                                         args.scratch, name, ".cpp")
                note = note or "compiled as C++20"
            elif language == "python":
                program = (python_before if mark == "continues" else "") + text
                python_before = program
                if args.python_path is None:
                    note = "skipped: no Python module built (-DASRC_PYTHON=ON)"
                else:
                    env = dict(os.environ, PYTHONPATH=args.python_path)
                    r = subprocess.run([args.python, "-c", program], capture_output=True,
                                       text=True, env=env)
                    ok, note = r.returncode == 0, r.stderr or "ran"
            else:
                ok = False
                note = (f"a {language} block must be marked: <!-- doc-block: illustrative "
                        "(why) --> or <!-- doc-block: in PATH -->")
            note = "\n".join(note.strip().split("\n")[:20])  # a compiler's first errors
            print(f"{where}: {'ok' if ok else 'FAILED'}: {note}")
            failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
