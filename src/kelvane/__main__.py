"""`python -m kelvane`: the same as the `lma` command."""

import sys

from .cli import main

sys.exit(main())
