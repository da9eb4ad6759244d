"""Writes the README's Python examples as one module, for `mypy --strict` (./dev typecheck).

    python tools/readme_snippets.py README.md OUT.py

Every block fenced as ```python is taken, in order, as the examples are meant to be read and
as tests/test_cli.py runs them; a block fenced as ```py (the Qt one, whose toolkit the checks do
not install) is shown but neither run nor checked. Every other line of the README becomes an
empty line, so that a line number in mypy's report is the README's own.
"""

import re
import sys
from pathlib import Path

FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def snippets_module(readme: str) -> str:
    """The README's text with every line outside a ```python block emptied."""
    kept = [""] * (readme.count("\n") + 1)
    for block in FENCE.finditer(readme):
        first = readme.count("\n", 0, block.start(1))
        for i, line in enumerate(block.group(1).splitlines()):
            kept[first + i] = line
    return "\n".join(kept).rstrip("\n") + "\n"


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: python tools/readme_snippets.py README.md OUT.py", file=sys.stderr)
        return 2
    readme = Path(sys.argv[1]).read_text()
    if not FENCE.search(readme):
        print(f"{sys.argv[1]}: no ```python block", file=sys.stderr)
        return 1
    out = Path(sys.argv[2])
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(snippets_module(readme))
    return 0


if __name__ == "__main__":
    sys.exit(main())
