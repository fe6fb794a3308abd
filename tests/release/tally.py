"""PASS and FAIL lines of a check, and their count, as the project's checks print them."""

import sys


class Tally:
    def __init__(self, prefix):
        self.prefix = prefix
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        """One line for the check 'name'; returns ok."""
        if ok:
            self.passed += 1
            print(f"PASS  {self.prefix}: {name}")
        else:
            self.failed += 1
            print(f"FAIL  {self.prefix}: {name}" + (f": {detail}" if detail else ""))
        sys.stdout.flush()
        return ok

    def summary(self):
        """Prints "N passed, M failed"; the exit status: 1 when a check failed."""
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.failed == 0 else 1
