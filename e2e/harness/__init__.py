"""The end-to-end harness: Wine and its prefix (wine), programs run beside a
case (processes), the registry fixture client and the registry model
(registry), the kinds of standard output and the channel's model
(stdout_kinds), the tool's lines (runs), the failure report and the linker
map (report), other Unix locales (locales), the backup program's users
(backups) and the soft checker (checks).
`python3 -m harness` makes and removes a prefix for a test run that shares
one (see e2e/README.md)."""

import os
import sys

# scripts/i386_host.py tells how this host runs Wine's 32-bit side; set-up
# and the harness share it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, "scripts"))


class HarnessError(Exception):
    """The harness itself could not do its part (not a fault of the tool)."""
