"""`python -m tracequill`: the command line."""

import sys


def main() -> int:
    try:
        from tracequill import _cli
    except KeyboardInterrupt:
        print("tracequill: interrupted", file=sys.stderr)
        return 130
    return _cli.main(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
