"""Integration tests against the sanitizer build.

ctest of the AddressSanitizer and UndefinedBehaviorSanitizer build (build-asan) runs a subset of
the relay and recording tests with TAMBLO_SANITIZED=1. The servers started then keep their
workers' standard streams, where the sanitizers' reports of the workers go, and every process
the harness started is checked for reports when it is stopped: a report fails the test even
when the process that made it ended quietly (a report ends a worker with status 1).
"""

import os

SANITIZED = os.environ.get("TAMBLO_SANITIZED") == "1"
SERVER_ARGS = ["--enable-streams"] if SANITIZED else []
_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def reports(output):
    """The lines of a process's output that begin a sanitizer report."""
    if not SANITIZED:
        return []
    return [line for line in output.splitlines() if any(marker in line for marker in _MARKERS)]


def check(output, what):
    found = reports(output)
    if found:
        raise AssertionError("%s made sanitizer reports:\n%s\n--- output ---\n%s"
                             % (what, "\n".join(found), output[-8000:]))
