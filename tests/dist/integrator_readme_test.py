"""tools/dist/integrator_readme.py: the archives' README.txt is the README's
section for the parent's developers in plain text, nothing lost from its
tables, and no Markdown left in it."""
import os
from collections import Counter
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "dist"))
from integrator_readme import integrator_readme  # noqa: E402

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")

SAMPLE = """# KALMO native engine host

`kalmo-host` runs one game.
Second line of the opening.

More about building, not for integrators.

## Commands

    make setup all

## For the parent's developers

### Exit codes

| code | cause | what you see first |
|---|---|---|
| 0 | the game ended | `stopped` |
| 4 | a missing entry point | `CORELOG level=L | text` |

**Python** binding:

```python
client = Client(host)  # `kept`
```

## What the host guarantees its parent

| guarantee | backed by |
|---|---|
| packets whole | `unit/packet_framing_test.cpp` |

Send QUIT before leaving.

## Releases

| file | holds |
|---|---|
| `kalmo-host-VERSION-linux-x86_64.tar.gz` | `kalmo-host`, `README.txt` |

Rebuild it with make dist.
"""


class IntegratorReadmeTest(unittest.TestCase):
    def test_keeps_the_opening_and_the_parents_section_and_drops_the_rest(self):
        text = integrator_readme(SAMPLE, "1.2.3")
        self.assertTrue(text.startswith("KALMO native engine host 1.2.3\n==============================\n"))
        self.assertIn("kalmo-host runs one game.\nSecond line of the opening.", text)
        self.assertNotIn("More about building", text)
        self.assertNotIn("make setup all", text)
        self.assertIn("Exit codes\n----------\n", text)

    def test_the_table_of_archives_comes_first_without_the_rebuilding_text(self):
        text = integrator_readme(SAMPLE, "1.2.3")
        archives = text.index("In the release archives\n-----------------------\n")
        self.assertLess(archives, text.index("For the parent's developers"))
        self.assertRegex(text, r"\n  kalmo-host-VERSION-linux-x86_64.tar.gz\n +kalmo-host, README.txt\n")
        self.assertNotIn("Rebuild it", text)

    def test_a_table_keeps_every_cell_and_a_bar_inside_backquotes(self):
        text = integrator_readme(SAMPLE, "1.2.3")
        self.assertRegex(text, r"\n  0 +the game ended\n +what you see first: stopped\n")
        self.assertRegex(text, r"\n  4 +a missing entry point\n +what you see first: CORELOG level=L \| text\n")

    def test_the_closing_note_comes_without_the_table_of_tests(self):
        text = integrator_readme(SAMPLE, "1.2.3")
        self.assertTrue(text.endswith("When the parent goes away\n-------------------------\n\nSend QUIT before leaving.\n"))
        self.assertNotIn("packet_framing_test", text)

    def test_fenced_code_is_indented_as_it_stands_and_bold_marks_go(self):
        text = integrator_readme(SAMPLE, "1.2.3")
        self.assertIn("\nPython binding:\n\n    client = Client(host)  # `kept`\n", text)
        self.assertNotIn("```", text)

    def test_a_readme_without_the_section_is_refused(self):
        with self.assertRaises(SystemExit):
            integrator_readme("# Title\n\nText.\n", "1.2.3")

    def test_the_real_readme_loses_no_word_of_its_section_and_keeps_no_markdown(self):
        with open(README, encoding="utf-8") as file:
            markdown = file.read()
        text = integrator_readme(markdown, "0.0.1")
        section = markdown.split("## For the parent's developers\n", 1)[1].split("\n## ", 1)[0]
        # Words as a reader sees them: no Markdown marks, fences or table borders.
        prose = "\n".join(line for line in section.splitlines() if not line.startswith("```"))
        plain = prose.replace("`", "").replace("###", "").replace("**", "")
        wanted = Counter(word for word in plain.replace("|", " ").split() if set(word) - set("-|"))
        # A table header may be repeated as a label on each row, never lost.
        self.assertEqual(wanted - Counter(text.split()), Counter())
        self.assertNotIn("|---", text)
        prose = [line for line in text.splitlines() if not line.startswith("    ")]
        self.assertFalse([line for line in prose if "`" in line or "**" in line], "Markdown left in the prose")
        self.assertFalse([line for line in prose if len(line) > 100], "a prose line runs past 100 columns")


if __name__ == "__main__":
    unittest.main()
