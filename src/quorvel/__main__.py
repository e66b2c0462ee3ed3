"""``python -m quorvel``: the command line `quorvel-backtest`."""

import sys

from quorvel.cli import main

sys.exit(main())
