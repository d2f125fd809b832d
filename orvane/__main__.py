"""`python -m orvane`: the same as the `orvane` command."""

import sys

from orvane.cli import main

sys.exit(main())
