"""`python -m tracequill`: the command line."""

import sys


def main() -> int:
    from tracequill import _cli

    return _cli.main(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
