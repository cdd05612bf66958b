'use strict';
// Build-step pieces: the flag list read from the country table, the BMP form, and the
// development server's compact JSON, which must look like the program's.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { countryFlagNames } = require('../../webclient/lib/flags');
const { encodeBmp24, resampleArea } = require('../../webclient/lib/bmp');
const { tinyJson, float8, double17 } = require('../../webclient/lib/tiny-json');

const repo = path.join(__dirname, '..', '..');

test('every flag file name of the country table has a flag picture chosen', () => {
  const names = countryFlagNames(fs.readFileSync(path.join(repo, 'decode/icao_country.cpp'), 'utf8'));
  assert.equal(names.length, 189);
  assert.ok(names.includes('ICAO.bmp') && names.includes("Cote_d'Ivoire.bmp") && names.includes('South_Africa.bmp'));
  const codes = JSON.parse(fs.readFileSync(path.join(repo, 'webclient/flag-codes.json'), 'utf8'));
  assert.deepEqual(names.filter((n) => !codes[n.replace(/\.bmp$/, '')]), []);
});

test('flags are 20x16 24-bit bottom-up BMPs; transparency becomes white', () => {
  const rgba = new Uint8Array(20 * 16 * 4);
  for (let i = 0; i < 20 * 16; i++) rgba.set(i < 20 ? [255, 0, 0, 255] : [0, 0, 255, 0], i * 4); // top row red
  const bmp = encodeBmp24(20, 16, rgba);
  assert.equal(bmp.length, 54 + 60 * 16);
  assert.equal(bmp.toString('ascii', 0, 2), 'BM');
  assert.equal(bmp.readUInt32LE(2), bmp.length);
  assert.equal(bmp.readUInt32LE(10), 54);
  assert.equal(bmp.readInt32LE(18), 20);
  assert.equal(bmp.readInt32LE(22), 16);
  assert.equal(bmp.readUInt16LE(28), 24);
  assert.equal(bmp.readUInt32LE(30), 0);
  const top = 54 + 15 * 60; // the top row is stored last
  assert.deepEqual([...bmp.subarray(top, top + 3)], [0, 0, 255]); // blue, green, red
  assert.deepEqual([...bmp.subarray(54, 57)], [255, 255, 255]);
  const half = resampleArea(new Uint8Array([255, 0, 0, 255, 0, 0, 255, 255]), 2, 1, 1, 1);
  assert.deepEqual([...half], [128, 0, 128, 255]);
});

test('compact JSON: bare numbers and flags, everything else quoted, empty nodes as ""', () => {
  assert.equal(tinyJson({ status: 'OK', key: 'abc' }), '{"status":"OK","key":"abc"}\n');
  assert.equal(tinyJson({ a: [1, 'x', ''] }), '{"a":[1,"x",""]}\n');
  assert.equal(tinyJson({ a: [], b: {} }), '{"a":"","b":""}\n');
  const values = { v: ['007', '-', '.', '.5', '5.', '7', '-7.25', 'true', 'True', '0456', '400123', '4CA1FA'] };
  assert.equal(tinyJson(values), '{"v":["007","-",".",".5","5.",7,-7.25,true,"True","0456",400123,"4CA1FA"]}\n');
  assert.equal(tinyJson({ m: 'A\nB\t/' }), '{"m":"A\\\\nB\\u0009\\/"}\n');
  assert.equal(float8(51.47), '51.470001');
  assert.equal(double17(51.47), '51.469999999999999');
  assert.equal(float8(35000), '35000');
});
