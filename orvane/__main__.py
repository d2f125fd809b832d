"""`python -m orvane`: the same as the `orvane` command."""

import sys

from orvane.cli import main

if __name__ == "__main__":  # importing the module (a documentation tool, a walk) runs nothing
    sys.exit(main())
