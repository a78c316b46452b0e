#!/usr/bin/env python3
"""Prints the armhf build's tests as commands for the virtual device.

    test-list.py BUILD_DIR

Reads what ctest would run (`ctest --show-only=json-v1`) and writes one line
per test for scripts/device/run-tests, in ctest's order:

    run_test NAME TIMEOUT WORKDIR PROGRAM ARGUMENTS...

every word quoted for sh. The emulator prefix that runs ARM programs on the
build host (the tests' DVRCORE_TEST_LAUNCHER) is dropped: on the device they run natively. Tests labelled
"host-only" need the build host's tools and are left out, each named on
standard error with the reason.
"""
import json
import os
import shlex
import subprocess
import sys

HOST_ONLY = "host-only"


def emulator_prefix(build_dir):
    """The words that run ARM programs on the build host: the tests' own."""
    with open(f"{build_dir}/tests/support/test_paths.h", encoding="utf-8") as paths:
        for line in paths:
            if line.startswith("#define DVRCORE_TEST_LAUNCHER "):
                value = line.split(" ", 2)[2].strip().strip('"')
                return [word for word in value.split(";") if word]
    return []


def main():
    build_dir = sys.argv[1]
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    prefix = emulator_prefix(build_dir)
    left_out = 0
    for test in json.loads(listing)["tests"]:
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        if HOST_ONLY in properties.get("LABELS", []):
            left_out += 1
            continue
        command = test["command"]
        # ctest names the emulator by its full path.
        if prefix and len(command) > len(prefix) and os.path.basename(command[0]) == os.path.basename(
                prefix[0]) and command[1:len(prefix)] == prefix[1:]:
            command = command[len(prefix):]
        timeout = int(float(properties.get("TIMEOUT", 600)))
        workdir = properties.get("WORKING_DIRECTORY", build_dir)
        words = ["run_test", test["name"], str(timeout), workdir] + command
        print(" ".join(shlex.quote(word) for word in words))
    if left_out:
        print(f"device tests: {left_out} tests labelled {HOST_ONLY} left out (they need the build host)",
              file=sys.stderr)


if __name__ == "__main__":
    main()
