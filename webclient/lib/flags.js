'use strict';
// Flag pictures for the country table: flag-icons SVGs rendered with resvg and written as 20x16 BMPs.
const fs = require('fs');
const path = require('path');
const { encodeBmp24, resampleArea } = require('./bmp');

const WIDTH = 20;
const HEIGHT = 16;
const RENDER_WIDTH = 160; // render large, then average down: crisper than rendering at 20 px

// The flag file names of the country rows, read from the table the program itself carries.
function countryFlagNames(tableSource) {
  const names = new Set();
  const row = /\{\s*0x[0-9A-Fa-f]+\s*,\s*0x[0-9A-Fa-f]+\s*,\s*"((?:[^"\\]|\\.)*)"\s*,\s*"((?:[^"\\]|\\.)*)"\s*\}/g;
  let m;
  while ((m = row.exec(tableSource)) !== null) {
    if (m[2]) names.add(m[2]);
  }
  return [...names].sort();
}

async function writeFlags(outDir, tablePath, codesPath, modulesDir) {
  const { initWasm, Resvg } = require(path.join(modulesDir, '@resvg/resvg-wasm'));
  await initWasm(fs.readFileSync(path.join(modulesDir, '@resvg/resvg-wasm/index_bg.wasm')));
  const codes = JSON.parse(fs.readFileSync(codesPath, 'utf8'));
  const names = countryFlagNames(fs.readFileSync(tablePath, 'utf8'));
  if (names.length === 0) throw new Error(`no flag file names found in ${tablePath}`);
  const missing = names.filter((n) => !codes[n.replace(/\.bmp$/, '')]);
  if (missing.length) throw new Error(`no flag picture chosen for: ${missing.join(', ')}`);

  fs.mkdirSync(outDir, { recursive: true });
  for (const name of names) {
    const code = codes[name.replace(/\.bmp$/, '')];
    const svg = fs.readFileSync(path.join(modulesDir, 'flag-icons/flags/4x3', `${code}.svg`), 'utf8');
    const image = new Resvg(svg, { fitTo: { mode: 'width', value: RENDER_WIDTH } }).render();
    const rgba = resampleArea(image.pixels, image.width, image.height, WIDTH, HEIGHT);
    image.free();
    fs.writeFileSync(path.join(outDir, name), encodeBmp24(WIDTH, HEIGHT, rgba));
  }
  return names.length;
}

module.exports = { writeFlags, countryFlagNames };
