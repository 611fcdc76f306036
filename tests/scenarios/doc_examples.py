#!/usr/bin/env python3
"""Runs every scenario example of a Markdown file (each ```scn block) with mdmhost run.

A block that does not start with `load` runs after the usual opening: load, add device COM7
scripted, start, open COM7. Each block becomes a file whose line numbers are the Markdown file's,
so that a failure names the line of the document. A block whose first line is
`# must fail with: TEXT` must fail, with TEXT in the report.
"""
import argparse
import os
import subprocess
import sys
import tempfile

OPENING = ["load", "add device COM7 scripted", "start", "open COM7"]
MUST_FAIL = "# must fail with: "


def examples(lines):
    """(first line number, lines) of each ```scn block; numbers count from 1."""
    i = 0
    while i < len(lines):
        if lines[i].strip() == "```scn":
            first = i + 2
            body = []
            i += 1
            while i < len(lines) and lines[i].strip() != "```":
                body.append(lines[i])
                i += 1
            yield first, body
        i += 1


def starts_with_load(body):
    for line in body:
        text = line.split("#", 1)[0].strip()
        if text:
            return text.split()[0].lower() == "load"
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--mdmhost", required=True)
    parser.add_argument("markdown")
    parser.add_argument("run_args", nargs=argparse.REMAINDER,
                        help="options for mdmhost run (the 32-bit host's --image ...)")
    args = parser.parse_args()
    with open(args.markdown, encoding="utf-8") as f:
        lines = f.read().split("\n")
    failed = 0
    count = 0
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, os.path.basename(args.markdown))
        for first, body in examples(lines):
            count += 1
            opening = [] if starts_with_load(body) else OPENING
            if len(opening) > first - 1:
                sys.exit(f"{args.markdown}:{first}: no room for the opening lines before this block")
            text = opening + [""] * (first - 1 - len(opening)) + body
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(text) + "\n")
            run = subprocess.run([args.mdmhost, "run", "-q", *args.run_args, path], capture_output=True,
                                 text=True, timeout=120)
            report = run.stdout + run.stderr
            wanted = [l[len(MUST_FAIL):] for l in body if l.startswith(MUST_FAIL)]
            if wanted:
                missing = [w for w in wanted if w not in report]
                ok = run.returncode == 1 and not missing
            else:
                ok = run.returncode == 0
            if not ok:
                failed += 1
                print(f"{args.markdown}:{first}: the example does not run as the document says"
                      f" (exit status {run.returncode})")
                print(report.replace(path, args.markdown))
    print(f"{count} examples, {failed} failed")
    return 1 if failed or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
