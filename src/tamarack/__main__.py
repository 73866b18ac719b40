"""``python -m tamarack``: the command-line tool of tamarack.cli."""

import sys

from tamarack.cli import main

sys.exit(main())
