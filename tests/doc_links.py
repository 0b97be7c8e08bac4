#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md names a file or folder
that exists. Links with a scheme (https:, mailto:) and links to a place in
the same page (#...) are not followed; code blocks and code spans are not
read as links.

Usage: doc_links.py SOURCE_DIR     Exit status: 0 all found, 1 some missing.
"""
import re
import sys
from pathlib import Path
from urllib.parse import unquote

INLINE = re.compile(r"\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def links(text):
    """(line number, target) of each link outside code."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if re.match(r"^\s{0,3}(```|~~~)", line):
            fenced = not fenced
            continue
        if fenced:
            continue
        line = re.sub(r"(`+).*?\1", "", line)  # code spans
        for m in INLINE.finditer(line):
            yield number, m.group(1)
        m = REFERENCE.match(line)
        if m:
            yield number, m.group(1)


def main():
    root = Path(sys.argv[1]).resolve()
    documents = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    missing, checked = [], 0
    for document in documents:
        for number, target in links(document.read_text(encoding="utf-8")):
            if SCHEME.match(target) or target.startswith("#"):
                continue
            path = unquote(target.split("#", 1)[0].split("?", 1)[0])
            if not path:
                continue
            resolved = root / path.lstrip("/") if path.startswith("/") else document.parent / path
            checked += 1
            if not resolved.exists():
                missing.append(f"{document.relative_to(root)}:{number}: {target}")
    print(f"{checked} relative links in {len(documents)} documents, {len(missing)} missing")
    for m in missing:
        print("missing:", m)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
