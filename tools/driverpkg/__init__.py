"""Checks and packaging of the x86 driver image: its PE headers and imports, version resource,
debug directory and PDB, and the INF that installs it. Shared by tools/imagecheck,
tools/infcheck, tools/imagestamp and tools/packagecheck."""

import os

# The repository's root: tools/driverpkg/../..
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class CheckError(Exception):
    """A check that failed; the message says what was expected and what was found."""


def fail(message):
    raise CheckError(message)


def ok(message):
    print(f"  ok  {message}")
