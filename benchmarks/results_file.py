"""RESULTS.md is shared by several benchmark scripts: each writes its own marked section.

A section is the text between ``<!-- section: NAME -->`` and
``<!-- end section: NAME -->``.  `write_section` replaces (or appends) one
section and leaves the rest of the file alone; `write_report` writes a
script's main report and carries over every section found in the old file.
"""

from __future__ import annotations

import re
from pathlib import Path

__all__ = ["sections", "write_section", "write_report"]

_SECTION = re.compile(r"<!-- section: (?P<name>[\w-]+) -->\n.*?<!-- end section: (?P=name) -->\n?", re.S)


def _block(name: str, text: str) -> str:
    return f"<!-- section: {name} -->\n{text.rstrip()}\n<!-- end section: {name} -->\n"


def sections(text: str) -> dict[str, str]:
    """Marked sections of a file's text, by name, markers included."""
    return {m.group("name"): m.group(0) for m in _SECTION.finditer(text)}


def write_section(path: Path, name: str, text: str) -> None:
    old = path.read_text() if path.exists() else ""
    block = _block(name, text)
    if name in sections(old):
        new = _SECTION.sub(lambda m: block if m.group("name") == name else m.group(0), old)
    else:
        new = old.rstrip() + ("\n\n" if old else "") + block
    path.write_text(new)


def write_report(path: Path, text: str) -> None:
    """Write `text` as the file's main report, keeping the marked sections it had."""
    kept = sections(path.read_text()) if path.exists() else {}
    body = _SECTION.sub("", text).rstrip() + "\n"
    for block in kept.values():
        body += "\n" + block
    path.write_text(body)
