"""The page of a scan, OUT/index.html: one static file, no server and no framework.

Every recording is a tile: its last picture (loaded lazily, so that a page of thousands stays
usable), name, duration, label and failures, with links to its thumbnail grid and picture. A
recording that could not be read is a red tile with the reason. The tiles are written failures
first, so the page reads right with scripts off; a small script of the page's own sorts them
otherwise and keeps the choice in the address (#sort=...). While the scan runs, the page reloads
itself every few seconds.
"""

from __future__ import annotations

import html
import time
from collections.abc import Sequence
from typing import Any
from urllib.parse import quote

RELOAD_SECONDS = 3

STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; background: #f4f4f4; color: #222; }
header { padding: 12px 16px; background: #263238; color: #eceff1; }
header h1 { font-size: 18px; margin: 0 0 4px; }
header p { margin: 0; }
#sort { margin-top: 8px; }
#sort button { font: inherit; margin-right: 4px; }
#sort button[aria-pressed=true] { font-weight: bold; }
main { display: grid; grid-template-columns: repeat(auto-fill, minmax(280px, 1fr)); gap: 12px; padding: 16px; }
.tile { background: #fff; border: 1px solid #ccc; border-radius: 4px; overflow: hidden; }
.tile img { display: block; width: 100%; height: auto; background: #000; }
.tile h2 { font-size: 14px; margin: 6px 8px 2px; overflow-wrap: anywhere; }
.tile p { margin: 2px 8px 6px; }
.tile .label { display: inline-block; padding: 0 6px; border-radius: 3px; background: #1565c0; color: #fff; }
.tile .warn { color: #b71c1c; }
.tile.failed { background: #c62828; border-color: #8e0000; color: #fff; }
.tile.failed a { color: #fff; }
.tile.pending { color: #777; }
.reason { font-weight: bold; }
"""

# Sorts the tiles by the data-* attribute a button names; the static order (failures first,
# then by name) needs no script.
SCRIPT = """
(function () {
  var main = document.getElementById("tiles"), bar = document.getElementById("sort");
  var keys = {
    failures: function (t) { return [-Number(t.dataset.failures), t.dataset.name]; },
    name: function (t) { return [t.dataset.name]; },
    duration: function (t) { return [-Number(t.dataset.duration), t.dataset.name]; },
    label: function (t) { return [t.dataset.label || "\\uffff", t.dataset.name]; }
  };
  function compare(a, b) {
    for (var i = 0; i < a.length; i++) {
      if (a[i] < b[i]) return -1;
      if (a[i] > b[i]) return 1;
    }
    return 0;
  }
  function sort(key) {
    if (!keys[key]) key = "failures";
    var tiles = Array.prototype.slice.call(main.children);
    tiles.sort(function (a, b) { return compare(keys[key](a), keys[key](b)); });
    tiles.forEach(function (t) { main.appendChild(t); });
    bar.querySelectorAll("button").forEach(function (b) {
      b.setAttribute("aria-pressed", String(b.dataset.key === key));
    });
  }
  bar.addEventListener("click", function (e) {
    var key = e.target.dataset && e.target.dataset.key;
    if (key) { history.replaceState(null, "", "#sort=" + key); sort(key); }
  });
  bar.hidden = false;
  sort((location.hash.match(/^#sort=(\\w+)$/) || [])[1]);
})();
"""


def _href(relative: str) -> str:
    return html.escape(quote(relative), quote=True)


def _duration(seconds: float) -> str:
    h, rest = divmod(round(seconds), 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02}:{s:02}" if h else f"{m}:{s:02}"


def _failures(entry: dict[str, Any]) -> int:
    """How much went wrong, for the order: an unreadable recording above all, then refused
    frames, a frozen picture and an unclean close."""
    if "error" in entry:
        return 1_000_000_000
    return (
        int(entry.get("refused") or 0)
        + (1 if entry.get("frozen") else 0)
        + (0 if entry.get("closed_cleanly", True) else 1)
    )


def _tile(entry: dict[str, Any]) -> str:
    name = entry["path"]
    e = html.escape
    attrs = (
        f'data-name="{e(name)}" data-duration="{float(entry.get("duration") or 0):.3f}" '
        f'data-label="{e(entry.get("label") or "")}" data-failures="{_failures(entry)}"'
    )
    if entry.get("pending"):
        return f'<article class="tile pending" {attrs}><h2>{e(name)}</h2><p>being scanned</p></article>'
    picture, grid = entry.get("picture"), entry.get("grid")
    parts = []
    if picture:
        width, height = entry.get("width") or 0, entry.get("height") or 0
        parts.append(
            f'<a href="{_href(picture)}"><img src="{_href(picture)}" loading="lazy" width="{width}" '
            f'height="{height}" alt="the last picture of {e(name)}"></a>'
        )
    parts.append(f"<h2>{e(name)}</h2>")
    if "error" in entry:
        parts.append(f'<p class="reason">{e(entry["error"])}</p>')
    facts = []
    if entry.get("duration") is not None:
        facts.append(_duration(entry["duration"]))
    if entry.get("width"):
        facts.append(f"{entry['width']}x{entry['height']}")
    if entry.get("frames") is not None:
        facts.append(f"{entry['frames']} frames")
    changes = len(entry.get("size_changes") or []) - 1
    if changes > 0:
        facts.append(f"{changes} size change{'s' if changes != 1 else ''}")
    if facts:
        parts.append(f"<p>{' · '.join(facts)}</p>")
    if entry.get("label"):
        parts.append(f'<p><span class="label">{e(entry["label"])}</span></p>')
    warnings = []
    if entry.get("refused"):
        warnings.append(f"{entry['refused']} refused frame{'s' if entry['refused'] != 1 else ''}")
    if entry.get("frozen"):
        warnings.append("frozen for the last minute")
    if entry.get("closed_cleanly") is False:
        warnings.append("not closed")
    if warnings:
        parts.append(f'<p class="warn">{e(", ".join(warnings))}</p>')
    links = []
    if grid:
        links.append(f'<a href="{_href(grid)}">thumbnails</a>')
    if picture:
        links.append(f'<a href="{_href(picture)}">picture</a>')
    if links:
        parts.append(f"<p>{' · '.join(links)}</p>")
    kind = "tile failed" if "error" in entry else "tile"
    return f'<article class="{kind}" {attrs}>{"".join(parts)}</article>'


def render(entries: Sequence[dict[str, Any]], *, running: bool) -> str:
    """The page for these summaries; `running` makes it reload itself."""
    ordered = sorted(entries, key=lambda e: (-_failures(e), e["path"]))
    failed = sum("error" in e for e in entries)
    pending = sum(bool(e.get("pending")) for e in entries)
    status = f"{len(entries)} recordings, {failed} could not be read"
    if running:
        status += f"; scanning, {len(entries) - pending} done"
    else:
        status += f"; scanned {time.strftime('%Y-%m-%d %H:%M:%S %Z')}"
    refresh = f'<meta http-equiv="refresh" content="{RELOAD_SECONDS}">\n' if running else ""
    buttons = "".join(
        f'<button type="button" data-key="{key}">{text}</button>'
        for key, text in (("failures", "failures first"), ("name", "name"), ("duration", "longest"), ("label", "label"))
    )
    tiles = "\n".join(_tile(e) for e in ordered)
    return (
        "<!doctype html>\n"
        '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"{refresh}<title>quorvel scan: {len(entries)} recordings</title>\n"
        f"<style>{STYLE}</style>\n</head>\n<body>\n"
        f"<header><h1>quorvel scan</h1><p>{html.escape(status)}</p>"
        f'<div id="sort" hidden>Sort by {buttons}</div></header>\n'
        f'<main id="tiles">\n{tiles}\n</main>\n'
        f"<script>{SCRIPT}</script>\n</body>\n</html>\n"
    )
