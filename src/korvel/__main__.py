"""`python -m korvel`: the korvel command (see korvel.cli)."""

import sys

from korvel.cli import main

sys.exit(main())
