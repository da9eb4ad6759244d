"""The export benchmark alone: python bench/export_bench.py [--minutes N] [--keep FOLDER].
See quorvel._export_bench (./dev bench runs it too; ./dev bench --export runs it alone)."""

import sys

from quorvel._export_bench import main

sys.exit(main())
