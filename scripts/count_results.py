#!/usr/bin/env python3
"""Counts test cases over ctest runs: a GoogleTest program counts each of its cases
(from its XML report); any other ctest test counts as one. Prints "N passed, N failed"."""
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

passed = failed = 0
for tree in sys.argv[1:]:
    junit = Path(tree) / "ctest.xml"
    if not junit.exists():
        print(f"no test results in {tree}", file=sys.stderr)
        failed += 1
        continue
    for case in ET.parse(junit).getroot().iter("testcase"):
        ctest_ok = case.get("status") in ("run", "passed") and case.find("failure") is None
        # "win32.fault_test.small_disk" reports to fault_test_small_disk.xml.
        name = case.get("name")
        name = name.split(".", 1)[1] if name.startswith("win32.") else name
        report = Path(tree) / "test-results" / (name.replace(".", "_") + ".xml")
        if report.exists():
            suites = ET.parse(report).getroot()
            total = int(suites.get("tests", 0)) - int(suites.get("disabled", 0))
            bad = int(suites.get("failures", 0)) + int(suites.get("errors", 0))
            if not ctest_ok and bad == 0:
                bad = 1  # the program failed after writing its report
            passed += max(total - bad, 0)
            failed += bad
        elif ctest_ok:
            passed += 1
        else:
            failed += 1
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
