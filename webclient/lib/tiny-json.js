'use strict';
// The program's compact JSON form, for the development server's canned replies: every value is
// text in the tree; numbers without exponent and true/false are written bare, everything else
// quoted; a node without children and without value (an empty list or object) is written "".
// Line feeds and the like become a backslash pair and a letter, as the program writes them.

const NUMBER = /^-?(0|[1-9][0-9]*)(\.[0-9]+)?$/;

function escapeValue(text) {
  let out = '';
  for (const ch of Buffer.from(text, 'utf8')) {
    if (ch === 0x08) out += '\\\\b';
    else if (ch === 0x0c) out += '\\\\f';
    else if (ch === 0x0a) out += '\\\\n';
    else if (ch === 0x0d) out += '\\\\r';
    else if (ch === 0x22) out += '\\"';
    else if (ch === 0x2f) out += '\\/';
    else if (ch === 0x5c) out += '\\\\';
    else if (ch < 0x20) out += '\\u00' + ch.toString(16).toUpperCase().padStart(2, '0');
    else out += String.fromCharCode(ch);
  }
  return Buffer.from(out, 'latin1').toString('utf8');
}

function escapeKey(text) {
  return JSON.stringify(String(text)).slice(1, -1).replace(/\//g, '\\/');
}

function writeValue(v) {
  const text = escapeValue(String(v));
  if (text === '') return '""';
  if (text === 'true' || text === 'false' || NUMBER.test(text)) return text;
  return '"' + text + '"';
}

function writeNode(node, depth) {
  if (Array.isArray(node)) {
    if (node.length === 0) return depth === 0 ? '{}' : '""';
    return '[' + node.map((c) => writeNode(c, depth + 1)).join(',') + ']';
  }
  if (node !== null && typeof node === 'object') {
    const keys = Object.keys(node);
    if (keys.length === 0) return depth === 0 ? '{}' : '""';
    return '{' + keys.map((k) => '"' + escapeKey(k) + '":' + writeNode(node[k], depth + 1)).join(',') + '}';
  }
  return writeValue(node === undefined || node === null ? '' : node);
}

// The tree's root is always an object; a trailing newline ends the text.
function tinyJson(root) {
  return writeNode(root, 0) + '\n';
}

// C's %.Ng: how the program stores floats (8 digits) and doubles (17 digits) in its trees.
function gFormat(x, digits) {
  if (!Number.isFinite(x)) return Number.isNaN(x) ? 'nan' : x < 0 ? '-inf' : 'inf';
  if (x === 0) return '0';
  const exp = Math.floor(Math.log10(Math.abs(x)));
  let s;
  if (exp < -4 || exp >= digits) s = x.toExponential(digits - 1).replace(/\.?0+e/, 'e');
  else s = x.toFixed(Math.max(0, digits - 1 - exp));
  if (s.includes('.') && !s.includes('e')) s = s.replace(/0+$/, '').replace(/\.$/, '');
  return s;
}

const float8 = (x) => gFormat(Math.fround(x), 8);
const double17 = (x) => gFormat(x, 17);

module.exports = { tinyJson, gFormat, float8, double17 };
