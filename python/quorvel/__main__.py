"""`python -m quorvel`: the same as the `quorvel` command."""

import sys

from .cli import main

sys.exit(main())
