#!/usr/bin/env node
'use strict';
// Builds the web root that the program embeds: a copy of web/ plus the browser libraries, the
// offline world outline and the flag pictures, all generated from the pinned npm packages.
//   node build.js [OUT_DIR]     (default: <repo>/build/webroot)
const fs = require('fs');
const path = require('path');
const { writeFlags } = require('./lib/flags');
const { worldScript } = require('./lib/world');

const here = __dirname;
const repo = path.resolve(here, '..');
const modules = path.join(here, 'node_modules');
const webDir = path.join(repo, 'web');

// Generated files and where they land in the web root.
const VENDOR = [
  ['leaflet/dist/leaflet.js', 'js/leaflet.js'],
  ['leaflet/dist/leaflet.css', 'css/leaflet.css'],
  ['leaflet/dist/images/layers.png', 'css/images/layers.png'],
  ['leaflet/dist/images/layers-2x.png', 'css/images/layers-2x.png'],
  ['leaflet/dist/images/marker-icon.png', 'css/images/marker-icon.png'],
  ['leaflet/dist/images/marker-icon-2x.png', 'css/images/marker-icon-2x.png'],
  ['leaflet/dist/images/marker-shadow.png', 'css/images/marker-shadow.png'],
  ['uplot/dist/uPlot.iife.min.js', 'js/uPlot.iife.min.js'],
  ['uplot/dist/uPlot.min.css', 'css/uPlot.min.css'],
];
const LICENSES = [
  ['Leaflet (js/leaflet.js, css/leaflet.css, css/images)', 'leaflet/LICENSE'],
  ['uPlot (js/uPlot.iife.min.js, css/uPlot.min.css)', 'uplot/LICENSE'],
  ['flag-icons (img/flags, rendered to BMP)', 'flag-icons/LICENSE'],
  ['world-atlas (js/world.js; map data from Natural Earth, public domain)', 'world-atlas/LICENSE'],
];

function copyTree(from, to, list) {
  for (const entry of fs.readdirSync(from, { withFileTypes: true })) {
    const src = path.join(from, entry.name);
    const dst = path.join(to, entry.name);
    if (entry.isDirectory()) {
      fs.mkdirSync(dst, { recursive: true });
      copyTree(src, dst, list);
    } else if (entry.isFile()) {
      fs.copyFileSync(src, dst);
      list.add(path.relative(list.root, dst));
    }
  }
}

function put(root, rel, data, list) {
  if (list.has(rel)) throw new Error(`web/${rel} clashes with a generated file`);
  const dst = path.join(root, rel);
  fs.mkdirSync(path.dirname(dst), { recursive: true });
  fs.writeFileSync(dst, data);
  list.add(rel);
}

async function build(outDir) {
  const out = path.resolve(outDir);
  const inside = (a, b) => a === b || a.startsWith(b + path.sep);
  if (inside(webDir, out) || inside(out, webDir) || out === repo || out === here) {
    throw new Error(`refusing to write the web root to ${out}`);
  }
  const tmp = `${out}.tmp-${process.pid}`;
  fs.rmSync(tmp, { recursive: true, force: true });
  fs.mkdirSync(tmp, { recursive: true });
  const files = new Set();
  files.root = tmp;
  try {
    copyTree(webDir, tmp, files);
    for (const [src, rel] of VENDOR) put(tmp, rel, fs.readFileSync(path.join(modules, src)), files);
    put(tmp, 'js/world.js', worldScript(modules), files);
    put(tmp, 'licenses.txt', LICENSES.map(([what, file]) =>
      `== ${what}\n\n${fs.readFileSync(path.join(modules, file), 'utf8').trim()}\n`).join('\n'), files);
    const flagDir = path.join(tmp, 'img/flags');
    const clash = [...files].filter((f) => f.startsWith('img/flags/'));
    if (clash.length) throw new Error(`web/ must not hold flag pictures: ${clash[0]}`);
    const flags = await writeFlags(flagDir, path.join(repo, 'decode/icao_country.cpp'),
      path.join(here, 'flag-codes.json'), modules);
    fs.rmSync(out, { recursive: true, force: true });
    fs.renameSync(tmp, out);
    console.log(`web root ${out}: ${files.size + flags} files (${flags} flags)`);
  } catch (e) {
    fs.rmSync(tmp, { recursive: true, force: true });
    throw e;
  }
}

if (require.main === module) {
  build(process.argv[2] || path.join(repo, 'build/webroot')).catch((e) => {
    console.error(`webclient build failed: ${e.message}`);
    process.exit(1);
  });
}

module.exports = { build };
