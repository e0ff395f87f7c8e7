#!/usr/bin/env python3
"""Prints the README.txt of the release archives: the repository README's
opening paragraph, its table of what the release archives hold, and its
section for the parent's developers (start-up, packets, commands, exit
codes, diagnostic lines, the native library) in plain text, so the one
README.md stays the only copy of that text.

    integrator_readme.py README.md VERSION

Markdown becomes plain text: headings are underlined, backquotes and bold
marks dropped, code blocks kept (indented), and each table becomes aligned
rows with its further columns on labelled lines beneath.
"""
import sys
import textwrap

SECTION = "For the parent's developers"
# The closing note of this section (what happens when the parent dies) is
# for integrators too; its table names test files that no archive holds.
CLOSING_NOTE_OF = "What the host guarantees its parent"
CLOSING_NOTE_TITLE = "When the parent goes away"
RELEASES = "Releases"
RELEASES_TITLE = "In the release archives"
WIDTH = 78
FIRST_COLUMN_MAX = 22


def sections(lines):
    """{title: body lines} for each '## ' section, and the lines before the first."""
    found, title, body, fenced = {}, None, [], False
    for line in lines:
        if line.startswith("```"):
            fenced = not fenced
        if line.startswith("## ") and not fenced:
            found[title] = body
            title, body = line[3:].strip(), []
        else:
            body.append(line)
    found[title] = body
    return found


def opening_paragraph(preamble):
    paragraph = []
    for line in preamble:
        if line.startswith("# "):
            continue
        if not line.strip():
            if paragraph:
                break
            continue
        paragraph.append(line)
    return paragraph


def cells(row):
    """A table row's cells; a bar inside backquotes is text, not a border."""
    found, cell, quoted = [], "", False
    for char in row.strip().strip("|"):
        if char == "`":
            quoted = not quoted
        elif char == "|" and not quoted:
            found.append(cell.strip())
            cell = ""
        else:
            cell += char
    return found + [cell.strip()]


def plain_table(rows):
    header, body = cells(rows[0]), [cells(row) for row in rows[2:]]
    first = min(max(len(row[0]) for row in [header] + body), FIRST_COLUMN_MAX)
    indent = " " * (first + 4)
    out = []
    for number, row in enumerate([header] + body):
        lead = "  " + row[0].ljust(first) + "  "
        if len(row[0]) > first:
            out.append("  " + row[0])
            lead = indent
        for column, text in enumerate(row[1:], start=1):
            if column > 1 and number > 0:
                text = header[column] + ": " + text
            # Names such as system-info must stay whole.
            wrapped = textwrap.wrap(text, WIDTH - len(indent), break_on_hyphens=False, break_long_words=False) or [""]
            out.append(lead + wrapped[0])
            out.extend(indent + more for more in wrapped[1:])
            lead = indent
        if number == 0:
            out.append("  " + "-" * (WIDTH - 2))
    return out


def plain_text(lines):
    out, table, fenced = [], [], False
    for line in lines + [""]:
        if line.startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            out.append("    " + line if line else "")
            continue
        if line.startswith("|"):
            table.append(line)
            continue
        if table:
            out.extend(plain_table(table))
            table = []
        if line.startswith("### "):
            title = line[4:].strip()
            out.extend([title, "-" * len(title)])
        elif line.startswith("    "):
            out.append(line)
        else:
            out.append(line.replace("`", "").replace("**", ""))
    return out


def first_table(lines):
    table = []
    for line in lines:
        if line.startswith("|"):
            table.append(line)
        elif table:
            break
    return table


def after_last_table(lines):
    last = max((number for number, line in enumerate(lines) if line.startswith("|")), default=-1)
    return lines[last + 1:]


def integrator_readme(markdown, version):
    found = sections(markdown.splitlines())
    if SECTION not in found:
        raise SystemExit(f"integrator_readme.py: the README has no section '## {SECTION}'")
    title = f"KALMO native engine host {version}"
    out = [title, "=" * len(title), ""] + plain_text(opening_paragraph(found[None])) + [""]
    archives = first_table(found.get(RELEASES, []))
    if archives:
        out += plain_text(["### " + RELEASES_TITLE, ""] + archives) + [""]
    out += [SECTION, "=" * len(SECTION)] + plain_text(found[SECTION])
    closing_note = after_last_table(found.get(CLOSING_NOTE_OF, []))
    if any(line.strip() for line in closing_note):
        out += [""] + plain_text(["### " + CLOSING_NOTE_TITLE, ""] + closing_note)
    text = "\n".join(line.rstrip() for line in out).strip("\n") + "\n"
    while "\n\n\n" in text:
        text = text.replace("\n\n\n", "\n\n")
    return text


def main(arguments):
    if len(arguments) != 2:
        sys.exit("usage: integrator_readme.py README.md VERSION")
    with open(arguments[0], encoding="utf-8") as readme:
        sys.stdout.write(integrator_readme(readme.read(), arguments[1]))


if __name__ == "__main__":
    main(sys.argv[1:])
