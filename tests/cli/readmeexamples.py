#!/usr/bin/env python3
"""Runs the command examples of the README and compares what they print with what the README shows.

An example is a fenced block marked `console`. In it, a line starting with "$ " is a command (a line
ending in a backslash continues on the next), and the lines after it, up to the next command, are what it
prints on standard output and standard error together. A line "..." stands for any number of lines. A
command that ends with a non-zero status shows "[exit status N]" as its last line. Every example runs in
order, each command in its own `bash -c`, in one scratch folder that holds a copy of samples/, with the
tessel-cli under test first on PATH, TZ=UTC and LC_ALL=C.UTF-8. A block after the line
`<!-- example: skip (reason) -->` is not run, and is reported as skipped with its reason.

Usage: readme_examples.py README SAMPLES_DIR TESSEL_CLI_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^(\s*)```(\S*)\s*$")
SKIP = re.compile(r"^\s*<!--\s*example:\s*skip\s*\((.*)\)\s*-->\s*$")


class Example:
    def __init__(self, line, skip_reason):
        self.line = line
        self.skip_reason = skip_reason
        # (command, expected output lines, README line of the command)
        self.commands = []

    def name(self):
        first = self.commands[0][0].splitlines()[0] if self.commands else ""
        return "README line %d: %s" % (self.line, first)


def parse(readme_lines):
    examples = []
    skip_reason = None
    index = 0
    while index < len(readme_lines):
        line = readme_lines[index]
        skip = SKIP.match(line)
        if skip:
            skip_reason = skip.group(1)
            index += 1
            continue
        fence = FENCE.match(line)
        if not fence or fence.group(2) != "console":
            if line.strip() and not fence:
                skip_reason = None
            index += 1
            continue
        indent = len(fence.group(1))
        example = Example(index + 1, skip_reason)
        skip_reason = None
        index += 1
        command = None
        while index < len(readme_lines) and not FENCE.match(readme_lines[index]):
            raw = readme_lines[index]
            # The block's own indentation (inside a list item) is not part of its lines.
            text = raw[indent:] if raw[:indent].strip() == "" else raw.lstrip()
            if command is not None and command[0].endswith("\\"):
                command[0] += "\n" + text
            elif text.startswith("$ "):
                command = [text[2:], [], index + 1]
                example.commands.append(command)
            elif command is not None:
                command[1].append(text.rstrip())
            index += 1
        index += 1
        for command in example.commands:
            while command[1] and not command[1][-1]:
                command[1].pop()
        examples.append(example)
    return examples


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
    lines = [line.rstrip() for line in process.stdout.decode("utf-8", "replace").split("\n")]
    while lines and not lines[-1]:
        lines.pop()
    if process.returncode != 0:
        lines.append("[exit status %d]" % process.returncode)
    return lines


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
    failures = 0
    commands = 0
    with tempfile.TemporaryDirectory(prefix="tessel-readme-") as folder:
        shutil.copytree(samples, os.path.join(folder, "samples"))
        for example in examples:
            if example.skip_reason is not None:
                print("skipped: %s (%s)" % (example.name(), example.skip_reason))
                continue
            for command, expected, line in example.commands:
                commands += 1
                actual = run(command, folder, environment)
                if matches(expected, actual):
                    continue
                failures += 1
                print("FAILED: README line %d: $ %s" % (line, command))
                print("  shown:\n    " + "\n    ".join(expected))
                print("  printed:\n    " + "\n    ".join(actual))
    print("%d examples, %d commands, %d failed" % (len(examples), commands, failures))
    return 1 if failures or not commands else 0


if __name__ == "__main__":
    sys.exit(main())
