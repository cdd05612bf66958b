#!/usr/bin/env node
// Reads a file of BaseStation MSG lines (CRLF endings) as an outside client would: every line must
// parse with the sbs1 package and carry sane values. Prints {lines, parsed, failures} as JSON and
// exits 1 on any failure.
//
//   node check_msg_lines.js <file>

'use strict';

const fs = require('fs');
const sbs1 = require('sbs1');

function checkLine(line) {
  const problems = [];
  const fields = line.split(',');
  if (fields.length !== 22) problems.push(`${fields.length} fields, not 22`);

  let m;
  try {
    m = sbs1.parseSbs1Message(line);
  } catch (error) {
    return { parsed: false, problems: [...problems, `parse error: ${error.message}`] };
  }
  if (m.message_type !== 'MSG') problems.push(`message type ${m.message_type}`);
  if (!Number.isInteger(m.transmission_type) || m.transmission_type < 1 || m.transmission_type > 8) {
    problems.push(`transmission type ${fields[1]}`);
  }
  if (typeof m.hex_ident !== 'string' || !/^[0-9A-F]{6}$/.test(m.hex_ident)) {
    problems.push(`hex ident ${m.hex_ident}`);
  }
  const generated = m.generated_timestamp();
  if (!(generated instanceof Date) || Number.isNaN(generated.getTime())) {
    problems.push(`generated timestamp ${m.generated_date} ${m.generated_time}`);
  } else if (generated.getFullYear() < 2000) {
    problems.push(`generated timestamp in ${generated.getFullYear()}`);
  }
  if (m.generated_date !== m.logged_date || m.generated_time !== m.logged_time) {
    problems.push('generated and logged times differ');
  }
  // Present numbers must be numbers within what a transponder can report.
  if (m.altitude !== null && !(Number.isInteger(m.altitude) && m.altitude >= -1300 && m.altitude <= 130000)) {
    problems.push(`altitude ${fields[11]}`);
  }
  if (m.lat !== null && !(Number.isFinite(m.lat) && m.lat >= -90 && m.lat <= 90)) problems.push(`lat ${fields[14]}`);
  if (m.lon !== null && !(Number.isFinite(m.lon) && m.lon >= -180 && m.lon <= 180)) problems.push(`lon ${fields[15]}`);
  if ((m.lat === null) !== (m.lon === null)) problems.push('latitude without longitude or the reverse');
  if (m.squawk !== null && !/^[0-7]{4}$/.test(m.squawk)) problems.push(`squawk ${m.squawk}`);
  for (const [name, value] of [['ground speed', m.ground_speed], ['track', m.track], ['vertical rate', m.vertical_rate]]) {
    if (value !== null && !Number.isFinite(value)) problems.push(`${name} not a number`);
  }
  for (const index of [18, 19, 20, 21]) {
    if (fields[index] !== undefined && !['', '0', '-1'].includes(fields[index])) {
      problems.push(`flag column ${index + 1} is ${fields[index]}`);
    }
  }
  return { parsed: true, problems };
}

function main() {
  const path = process.argv[2];
  if (!path) {
    console.error('usage: check_msg_lines.js <file>');
    process.exit(2);
  }
  const text = fs.readFileSync(path, 'latin1');
  const summary = { lines: 0, parsed: 0, failures: [] };
  if (text.length > 0 && !text.endsWith('\r\n')) {
    const tail = text.slice(text.lastIndexOf('\r\n') + 1).replace(/^\n/, '');
    summary.failures.push({ line: null, text: tail, problems: ['no CRLF at the end'] });
  }
  const lines = text.split('\r\n');
  if (lines[lines.length - 1] === '') lines.pop();
  lines.forEach((line, index) => {
    summary.lines += 1;
    const result = line.includes('\n') || line.includes('\r')
      ? { parsed: false, problems: ['bare LF or CR inside a line'] }
      : checkLine(line);
    if (result.parsed) summary.parsed += 1;
    if (result.problems.length > 0) summary.failures.push({ line: index + 1, text: line, problems: result.problems });
  });
  console.log(JSON.stringify(summary, null, 2));
  process.exit(summary.failures.length > 0 ? 1 : 0);
}

main();
