"""Makes or removes the Wine prefix that a test run shares, outside pytest:
CTest runs every case as a pytest process of its own, so it makes the prefix
once (setup), points each case at it (pytest --prefix DIR --reuse-prefix)
and removes it at the end (teardown).  `probe` prints what each kind of
standard output is to a program under Wine.

    cd e2e && python3 -m harness setup --prefix DIR [--exe EXE] [--fixture FIXTURE]
    cd e2e && python3 -m harness teardown --prefix DIR
    cd e2e && python3 -m harness probe --prefix DIR
"""

import argparse
import sys

from harness import HarnessError, stdout_kinds
from harness.wine import DEFAULT_EXE, DEFAULT_FIXTURE, Wine


def main():
    parser = argparse.ArgumentParser(prog="python3 -m harness",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=("setup", "teardown", "probe"))
    parser.add_argument("--prefix", required=True, help="the Wine prefix of the test run")
    parser.add_argument("--exe", default=DEFAULT_EXE, help="zorvo-recolour.exe to test")
    parser.add_argument("--fixture", default=DEFAULT_FIXTURE,
                        help="the registry fixture built from e2e/fixture/")
    args = parser.parse_args()
    wine = Wine(args.prefix, args.exe, args.fixture)
    try:
        if args.action == "setup":
            wine.setup()
        elif args.action == "teardown":
            wine.teardown()
        else:
            wine.check_ready()
            stdout_kinds.probe(wine)
        return 0
    except HarnessError as error:
        print("harness error: %s" % error)
        return 2
    finally:
        wine.close()


if __name__ == "__main__":
    sys.exit(main())
