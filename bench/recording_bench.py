"""The recordings benchmark alone: python bench/recording_bench.py [--keep FILE] [--seeks N].
See quorvel._recording_bench (./dev bench runs it too; ./dev bench --recording runs it alone)."""

import sys

from quorvel._recording_bench import main

sys.exit(main())
