"""``python -m tavrinex``: the command line."""

import sys

from tavrinex.cli import main

sys.exit(main())
