'use strict';
// The offline base map: land outlines and country borders at 1:110m, as one small script.
const fs = require('fs');
const path = require('path');

function round(ring) {
  const out = [];
  let prev = '';
  for (const [lon, lat] of ring) {
    const p = [Math.round(lat * 100) / 100, Math.round(lon * 100) / 100];
    const key = p.join(',');
    if (key !== prev) out.push(p);
    prev = key;
  }
  return out;
}

function worldScript(modulesDir) {
  const topojson = require(path.join(modulesDir, 'topojson-client'));
  const topo = JSON.parse(fs.readFileSync(path.join(modulesDir, 'world-atlas/countries-110m.json'), 'utf8'));
  const land = topojson.merge(topo, topo.objects.countries.geometries);
  const borders = topojson.mesh(topo, topo.objects.countries, (a, b) => a !== b);
  // Leaflet takes [lat, lon]; a polygon is a list of rings, the first the outer one.
  const polygons = land.coordinates.map((poly) => poly.map(round));
  const lines = borders.coordinates.map(round).filter((l) => l.length > 1);
  return '// Generated from Natural Earth 1:110m (world-atlas), public domain.\n' +
    `window.VELKARO_WORLD=${JSON.stringify({ land: polygons, borders: lines })};\n`;
}

module.exports = { worldScript };
