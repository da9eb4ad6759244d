"""Runs the decoding benchmark: python bench/bench.py [--rounds N]. See quorvel._bench."""

import sys

from quorvel._bench import main

sys.exit(main())
