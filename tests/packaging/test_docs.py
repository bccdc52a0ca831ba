"""The documentation holds together: every relative link of the README, the contributor guide,
the changelog and docs/ names a file of the repository and, with a #fragment, a heading of that
file; the README stays short enough to read in one sitting."""
import re
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[2]
PAGES = sorted([TOP / "README.md", TOP / "CONTRIBUTING.md", TOP / "CHANGELOG.md", *(TOP / "docs").glob("*.md")])
README_BUDGET = 12 * 1024  # bytes

LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")


def prose_lines(text):
    """The lines outside fenced code blocks."""
    inside = False
    for line in text.splitlines():
        if FENCE.match(line.strip()):
            inside = not inside
            continue
        if not inside:
            yield line


def anchor_of(heading):
    """The fragment a heading gets on the repository host: lower case, punctuation dropped,
    spaces as hyphens."""
    text = re.sub(r"[`*_]", "", heading).strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(page):
    found = set()
    for line in prose_lines(page.read_text(encoding="utf-8")):
        m = HEADING.match(line)
        if m:
            base = anchor_of(m.group(1))
            name, n = base, 1
            while name in found:
                name, n = "%s-%d" % (base, n), n + 1
            found.add(name)
    return found


def relative_links(page):
    for line in prose_lines(page.read_text(encoding="utf-8")):
        for target in LINK.findall(line):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto: ...
                continue
            yield target


def test_anchor_rule_on_known_headings():
    assert anchor_of("Strategies: the simulated exchange") == "strategies-the-simulated-exchange"
    assert anchor_of("`src/common`: the layers") == "srccommon-the-layers"
    assert anchor_of("The data source and its caches") == "the-data-source-and-its-caches"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(TOP)))
def test_relative_links_resolve(page):
    broken = []
    for target in relative_links(page):
        path, _, fragment = target.partition("#")
        dest = (page.parent / path).resolve() if path else page
        if not dest.exists():
            broken.append("%s: no such file" % target)
        elif fragment and dest.suffix == ".md" and fragment not in anchors(dest):
            broken.append("%s: no heading #%s in %s" % (target, fragment, dest.relative_to(TOP)))
    assert not broken, "broken links in %s:\n  %s" % (page.relative_to(TOP), "\n  ".join(broken))


def test_every_page_of_docs_is_reachable_from_the_readme():
    readme_targets = {(TOP / t.partition("#")[0]).resolve() for t in relative_links(TOP / "README.md")}
    missing = [p.name for p in (TOP / "docs").glob("*.md") if p.resolve() not in readme_targets]
    assert not missing, "docs pages the README does not link: %s" % ", ".join(sorted(missing))


def test_readme_is_short():
    size = (TOP / "README.md").stat().st_size
    assert size <= README_BUDGET, "README.md is %d bytes; move detail into docs/ (budget %d)" % (size, README_BUDGET)
