#!/usr/bin/env python3
"""Runs the command examples of the README (fenced blocks marked `console`) in order and compares what
each prints with what the README shows; the README's "Development" section says how an example is written
and where it runs.

Usage: readmeexamples.py README SAMPLES_DIR TESSEL_CLI_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^(\s*)```(\S*)\s*$")
SKIP = re.compile(r"^\s*<!--\s*example:\s*skip\s*\((.*)\)\s*-->\s*$")


def parse(readme_lines):
    """The examples in order, each [README line, skip reason or None, [[command, shown lines, line], ...]]."""
    examples, skip_reason, example = [], None, None
    for number, line in enumerate(readme_lines, 1):
        fence, skip = FENCE.match(line), SKIP.match(line)
        if example is None:
            if skip:
                skip_reason = skip.group(1)
            elif fence and fence.group(2) == "console":
                indent = len(fence.group(1))
                example = [number, skip_reason, []]
                examples.append(example)
                skip_reason = None
            elif line.strip() and not fence:
                skip_reason = None
            continue
        commands = example[2]
        # The block's own indentation (inside a list item) is not part of its lines.
        text = line[indent:] if line[:indent].strip() == "" else line.lstrip()
        if fence:
            example = None
        elif commands and commands[-1][0].endswith("\\"):
            commands[-1][0] += "\n" + text
        elif text.startswith("$ "):
            commands.append([text[2:], [], number])
        elif commands:
            commands[-1][1].append(text.rstrip())
    return examples


def trimmed(lines):
    while lines and not lines[-1]:
        lines.pop()
    return lines


def matches(expected, actual):
    """Whether the lines match, "..." standing for any number of lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[skip:]) for skip in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


def run(command, folder, environment):
    process = subprocess.run(["bash", "-c", command], cwd=folder, env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    lines = trimmed([line.rstrip() for line in process.stdout.decode("utf-8", "replace").split("\n")])
    return lines + (["[exit status %d]" % process.returncode] if process.returncode else [])


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    readme, samples, cli_folder = sys.argv[1:]
    with open(readme, encoding="utf-8") as file:
        examples = parse(file.read().split("\n"))
    environment = dict(os.environ)
    environment.pop("SOURCE_DATE_EPOCH", None)
    environment.update({"PATH": os.path.abspath(cli_folder) + os.pathsep + environment.get("PATH", ""),
                        "TZ": "UTC", "LC_ALL": "C.UTF-8"})
    failures = commands = 0
    with tempfile.TemporaryDirectory(prefix="tessel-readme-") as folder:
        shutil.copytree(samples, os.path.join(folder, "samples"))
        for line, skip_reason, example in examples:
            if skip_reason is not None:
                first = example[0][0].splitlines()[0] if example else ""
                print("skipped: README line %d: %s (%s)" % (line, first, skip_reason))
                continue
            for command, expected, line in example:
                commands += 1
                actual = run(command, folder, environment)
                if not matches(trimmed(expected), actual):
                    failures += 1
                    print("FAILED: README line %d: $ %s" % (line, command))
                    print("  shown:\n    " + "\n    ".join(expected))
                    print("  printed:\n    " + "\n    ".join(actual))
    print("%d examples, %d commands, %d failed" % (len(examples), commands, failures))
    return 1 if failures or not commands else 0


if __name__ == "__main__":
    sys.exit(main())
