#!/usr/bin/env python3
"""Counts test cases over ctest runs: a GoogleTest program counts each of its cases
(from its XML report); any other ctest test counts as one. Prints "N passed, N failed",
followed by ", N skipped" when a test or case was skipped. Disabled ones are not counted."""
import sys
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path


def ctest_outcome(case):
    if case.get("status") == "disabled":
        return None
    skipped = case.find("skipped")
    if case.get("status") == "notrun" or skipped is not None:
        # ctest also reports a program it could not start as not run, and counts that as failed.
        message = "" if skipped is None else skipped.get("message", "")
        return "skipped" if message.startswith("SKIP_") else "failed"
    ok = case.get("status") in ("run", "passed") and case.find("failure") is None
    return "passed" if ok else "failed"


def gtest_outcome(case):
    if case.find("failure") is not None:
        return "failed"
    if case.get("result") == "suppressed":  # a DISABLED_ case
        return None
    if case.get("result") == "skipped" or case.find("skipped") is not None:
        return "skipped"
    return "passed"


counts = Counter()
for tree in sys.argv[1:]:
    junit = Path(tree) / "ctest.xml"
    if not junit.exists():
        print(f"no test results in {tree}", file=sys.stderr)
        counts["failed"] += 1
        continue
    for case in ET.parse(junit).getroot().iter("testcase"):
        outcome = ctest_outcome(case)
        # "win32.fault_test.small_disk" reports to fault_test_small_disk.xml.
        name = case.get("name")
        name = name.split(".", 1)[1] if name.startswith("win32.") else name
        report = Path(tree) / "test-results" / (name.replace(".", "_") + ".xml")
        if outcome in ("passed", "failed") and report.exists():
            cases = [gtest_outcome(c) for c in ET.parse(report).getroot().iter("testcase")]
            if outcome == "failed" and "failed" not in cases:
                cases.append("failed")  # the program failed after writing its report
            counts.update(filter(None, cases))
        elif outcome:
            counts[outcome] += 1
summary = f"{counts['passed']} passed, {counts['failed']} failed"
print(summary + (f", {counts['skipped']} skipped" if counts["skipped"] else ""))
sys.exit(1 if counts["failed"] else 0)
