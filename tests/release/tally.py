"""PASS and FAIL lines of a check, and their count, as the project's checks print them."""

import sys


class Tally:
    def __init__(self, prefix):
        self.prefix = prefix
        self.passed = 0
        self.failed = 0
        self.not_run = 0

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

    def skip(self, name, why):
        """A loud line for a check this machine cannot run; it neither passes nor fails."""
        self.not_run += 1
        print(f"NOT RUN  {self.prefix}: {name}: {why}")
        sys.stdout.flush()

    def summary(self):
        """Prints "N passed, M failed" (and how many did not run); the exit status: 1 when a
        check failed."""
        print(f"{self.passed} passed, {self.failed} failed"
              + (f", {self.not_run} NOT RUN (see above)" if self.not_run else ""))
        return 0 if self.failed == 0 else 1
