// Writes one bench's section of bench/RESULTS.md: the text between its
// begin and end markers is replaced, or the section is added at the end, so
// each bench owns its part of the file and leaves the others alone.
import { existsSync, readFileSync, writeFileSync } from 'node:fs';

// name: the markers' name (web-tiles); title: the section's heading; command (optional): how the figures were made.
export function writeResultsSection(path, { name, title, command, lines }) {
  const section = [`<!-- begin ${name} -->`, `## ${title}`, '', ...(command ? [`\`${command}\``, ''] : []), '```', ...lines,
    '```', `<!-- end ${name} -->`].join('\n');
  const text = existsSync(path) ? readFileSync(path, 'utf8') : '';
  const pattern = new RegExp(`<!-- begin ${name} -->[\\s\\S]*?<!-- end ${name} -->`);
  const updated = pattern.test(text) ? text.replace(pattern, () => section) : `${text.replace(/\n*$/, '\n\n')}${section}\n`;
  writeFileSync(path, updated);
}
