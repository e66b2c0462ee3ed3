import sys

from quorvel.backtest.cli import main

sys.exit(main())
