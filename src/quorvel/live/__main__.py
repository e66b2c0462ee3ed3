"""``python -m quorvel.live``: the command line `quorvel-live`."""

import sys

from quorvel.live.command import main

sys.exit(main())
