#!/usr/bin/env python3
"""Runs ctest in a build folder and holds its counts against what the configure registered
(registered-tests.txt, written by tests/AddTests.cmake): every registered program or script
must have tests listed under its label, every listed test must come from one of them, and ctest
must have run every listed test. Prints one line of counts for the phase and fails when they
differ, so a test that stops being built, discovered or run cannot leave the suite quietly.

Usage: counted-ctest.py PHASE BUILD_DIR [ctest options...]
"""
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET


def registered(build):
    with open(os.path.join(build, "registered-tests.txt")) as f:
        rows = [line.split(None, 1) for line in f if line.strip()]
    return [name.strip() for runner, name in rows if runner == "ctest"]


def listed(build):
    """Each test ctest lists, with the labels that name its program."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                         capture_output=True, text=True).stdout
    tests = {}
    for test in json.loads(out)["tests"]:
        labels = [p["value"] for p in test.get("properties", []) if p["name"] == "LABELS"]
        tests[test["name"]] = labels[0] if labels else []
    return tests


def ran(junit):
    """(run, skipped, failed) as ctest's report counts them; None when it wrote none."""
    if not os.path.exists(junit):
        return None
    cases = ET.parse(junit).getroot().iter("testcase")
    statuses = [case.get("status", "run") for case in cases]
    skipped = sum(s in ("disabled", "notrun") for s in statuses)
    failed = sum(s == "fail" for s in statuses)
    return len(statuses) - skipped, skipped, failed


def mismatches(programs, tests):
    problems = []
    by_label = {}
    for name, labels in tests.items():
        known = [l for l in labels if l in programs]
        if not known:
            problems.append("%s is listed but no registered program holds it" % name)
        for label in known:
            by_label[label] = by_label.get(label, 0) + 1
    for program in programs:
        if not by_label.get(program):
            problems.append("%s is registered but ctest lists no test of it" % program)
    not_built = [name for name in tests if name.endswith("_NOT_BUILT")]
    problems += ["%s: its program was not built" % name for name in not_built]
    return problems


def main():
    phase, build, ctest_args = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3:]
    programs = registered(build)
    tests = listed(build)
    problems = mismatches(programs, tests)
    junit = os.path.join(build, "ctest-junit.xml")
    if os.path.exists(junit):
        os.remove(junit)
    status = subprocess.run(["ctest", "--output-junit", junit] + ctest_args, cwd=build).returncode
    counts = ran(junit)
    run, skipped, failed = counts if counts else (0, 0, 0)
    if run + skipped != len(tests):
        problems.append("ctest lists %d tests but reported %d" % (len(tests), run + skipped))
    print("== %s: %d test programs registered, %d tests listed, %d run, %d skipped, %d failed"
          % (phase, len(programs), len(tests), run, skipped, failed))
    for problem in problems:
        print("== %s: %s" % (phase, problem))
    return 1 if status or problems else 0


if __name__ == "__main__":
    sys.exit(main())
