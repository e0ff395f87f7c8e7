// One section of bench/RESULTS.md, rewritten in place: each bench owns the
// text between its `<!-- begin NAME -->` and `<!-- end NAME -->` markers and
// leaves the rest of the file alone; a section not there yet goes at the end.

import { existsSync, readFileSync, writeFileSync } from 'node:fs';

// `lines` go inside a code block under the heading `## title`; `intro` lines (if any) between the two.
export function writeResultsSection(path, name, title, lines, intro = []) {
  const section = [`<!-- begin ${name} -->`, `## ${title}`, '', ...(intro.length ? [...intro, ''] : []),
    '```', ...lines, '```', `<!-- end ${name} -->`].join('\n');
  const text = existsSync(path) ? readFileSync(path, 'utf8') : '';
  const pattern = new RegExp(`<!-- begin ${name} -->[\\s\\S]*?<!-- end ${name} -->`);
  const updated = pattern.test(text) ? text.replace(pattern, () => section) : `${text.replace(/\n*$/, '\n\n')}${section}\n`;
  writeFileSync(path, updated);
}
