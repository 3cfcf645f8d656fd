"""`python -m sarnic`: the same command as the `sarnic` script."""

import sys

from sarnic.cli import main

sys.exit(main())
