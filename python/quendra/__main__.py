"""`python -m quendra`: the command line, described in quendra._cli."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
