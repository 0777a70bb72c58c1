#!/usr/bin/env python3
"""Tests of check_links.py on small trees of pages made in a temporary folder."""

import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import check_links  # noqa: E402


class Anchors(unittest.TestCase):
    def test_headings_become_anchors_as_on_github(self):
        page = "\n".join([
            "# Radio, PIO/AIO/LED and UART tests",
            "## Random faults: the `fault:` layer",
            "## The CS key database (`cskey_db.xml`)",
            "## The simulated adapter's folder",
            "## Step `cs_write` and _emphasis_ and **bold** [a link](x.md)",
            "### Tests",
            "### Tests",
            "Setext heading",
            "==============",
            '<a id="explicit"></a>',
        ])
        self.assertEqual(check_links.anchors(page), {
            "radio-pioaioled-and-uart-tests",
            "random-faults-the-fault-layer",
            "the-cs-key-database-cskey_dbxml",
            "the-simulated-adapters-folder",
            "step-cs_write-and-emphasis-and-bold-a-link",
            "tests", "tests-1",
            "setext-heading",
            "explicit",
        })

    def test_code_blocks_hold_no_headings_and_rules_no_setext(self):
        page = "```sh\n# a shell comment\n```\n~~~\n## inside tildes\n~~~\n\n---\n| a | b |\n|---|---|\n#!ALIGN 16\n"
        self.assertEqual(check_links.anchors(page), set())


class Tree(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = Path(self.folder.name) / "repo"
        (self.root / "docs" / "formats").mkdir(parents=True)
        (self.root / "python").mkdir()
        (self.root / "src").mkdir()
        (self.root / "src" / "main.cpp").write_text("int main() {}\n")
        (self.root / "docs" / "shot.png").write_bytes(b"\x89PNG")
        (self.root / "docs" / "formats" / "xbv.md").write_text("# XBV files\n## Chunks\n")
        (self.root / "python" / "README.md").write_text("# nivoratest\n[docs](../docs/guide.md#usage)\n")
        (self.root / "README.md").write_text("# Top\n[guide](docs/guide.md) [src](src/) [main](src/main.cpp#L1)\n")

    def tearDown(self):
        self.folder.cleanup()

    def guide(self, text):
        (self.root / "docs" / "guide.md").write_text("# Guide\n## Usage\n" + text)
        return check_links.check(self.root)

    def test_a_tree_whose_links_resolve_passes(self):
        problems, checked = self.guide(
            "[chunks](formats/xbv.md#chunks), ![shot](shot.png), [up](#usage), [web](https://example.com),\n"
            "[over a\nline end](formats/xbv.md \"title\"), [spaced](<formats/xbv.md>)\n\n"
            "`[in code](nowhere.md)`\n\n```\n[in a block](nowhere.md)\n```\n\n[ref]: formats/xbv.md#xbv-files\n")
        self.assertEqual(problems, [])
        self.assertEqual(checked, 10)  # 6 here, 3 in README.md, 1 in python/README.md
        self.assertEqual(check_links.main(["check_links.py", str(self.root)]), 0)

    def test_every_kind_of_broken_link_is_reported_with_its_line(self):
        problems, _ = self.guide(
            "[gone](missing.md)\n"
            "![gone](images/missing.png)\n"
            "[bad anchor](formats/xbv.md#verf)\n"
            "[own page](#nowhere)\n"
            "[not markdown](shot.png#top)\n"
            "[outside](../../elsewhere.md)\n"
            "[over a\nline end](formats/nothing.md)\n"
            '<img src="missing.svg">\n'
            "[empty]()\n")
        self.assertEqual(problems, [
            "docs/guide.md:3: missing.md: no such file",
            "docs/guide.md:4: images/missing.png: no such file",
            "docs/guide.md:5: formats/xbv.md#verf: docs/formats/xbv.md has no heading #verf",
            "docs/guide.md:6: #nowhere: docs/guide.md has no heading #nowhere",
            "docs/guide.md:7: shot.png#top: #top is not a heading of a Markdown file",
            "docs/guide.md:8: ../../elsewhere.md leaves the repository",
            "docs/guide.md:9: formats/nothing.md: no such file",
            "docs/guide.md:11: missing.svg: no such file",
            "docs/guide.md:12: empty link",
        ])
        self.assertEqual(check_links.main(["check_links.py", str(self.root)]), 1)

    def test_the_python_page_and_the_readme_are_checked_too(self):
        (self.root / "docs" / "guide.md").write_text("# Guide\n")
        problems, _ = check_links.check(self.root)
        self.assertEqual(problems, ["python/README.md:2: ../docs/guide.md#usage: docs/guide.md has no heading #usage"])


if __name__ == "__main__":
    unittest.main()
