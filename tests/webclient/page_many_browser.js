#!/usr/bin/env node
'use strict';
// The page with 150 aircraft in a crowded sky: with labels on, no two visible labels print on
// top of each other, and the list, updated in place, keeps its rows. Run by CTest:
//   node page_many_browser.js --velkaro BIN --synth BIN --out DIR [--chromium /usr/bin/chromium]
const fs = require('fs');
const os = require('os');
const path = require('path');
const { options, freePort, waitForServer, launcher, openBrowser, waitUntil, finish } = require('./page_browser.js');

const COUNT = 150;

// Aircraft in rings around the receiver, 5 to 40 NM out, every one turning so that they stay.
function crowdedScenario() {
  const lines = ['seed 150', 'noise -32', 'timing random', 'modeac 0'];
  for (let i = 0; i < COUNT; i++) {
    const ring = 1 + (i % 6);
    const angle = (i * 137.5) % 360;
    const lat = 52.31 + (ring * 0.1) * Math.cos((angle * Math.PI) / 180);
    const lon = 4.76 + (ring * 0.16) * Math.sin((angle * Math.PI) / 180);
    const icao = (0x500000 + i * 7).toString(16).toUpperCase();
    lines.push('aircraft ' + icao + ' callsign=TST' + String(i).padStart(3, '0') + ' squawk=' + (1000 + i).toString().replace(/[89]/g, '0') +
      ' lat=' + lat.toFixed(4) + ' lon=' + lon.toFixed(4) + ' track=' + Math.round(angle) + ' gs=' + (180 + (i % 9) * 30) +
      ' alt=' + (3000 + (i % 30) * 1000) + ' turn=' + (i % 2 ? 0.3 : -0.3) + ' level=' + (14 + (i % 10)) + ' replies=0.3');
  }
  return lines.join('\n') + '\n';
}

async function main() {
  const o = options(process.argv.slice(2).concat(['--scenario', 'written-below']));
  if (!fs.existsSync(o.chromium)) throw new Error(o.chromium + ' is missing: run scripts/install-deps.sh');
  fs.mkdirSync(o.out, { recursive: true });
  const began = Date.now();
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velkaro-page-many-'));
  const scenario = path.join(work, 'crowded.txt'); // in place of --scenario
  fs.writeFileSync(scenario, crowdedScenario());
  const run = launcher(o, work);
  const port = await freePort();
  const base = 'http://127.0.0.1:' + port + '/';
  const problems = [];
  let context;
  try {
    run.synth(scenario);
    const velkaro = run.velkaro(port);
    await waitForServer(base, velkaro, 15000);
    const browser = await openBrowser(o, work, { width: 1366, height: 820 });
    context = browser.context;
    const { page } = browser;
    page.on('pageerror', (e) => problems.push('uncaught ' + e.message));
    await page.goto(base);
    await page.click('[data-tab="map"]');
    await page.check('#showLabels');
    await page.evaluate(() => window.velkaro.mapView.map.setView([52.31, 4.76], 8, { animate: false }));
    await waitUntil(page, 'most of the aircraft on the map', (n) => document.querySelectorAll('#map .ac-icon').length >= n, COUNT - 10, 45000);
    // One more update, so that every label has been placed and sorted out.
    const epoch = await page.evaluate(() => window.velkaro.flights.epoch);
    await waitUntil(page, 'another update', (e) => window.velkaro.flights.epoch > e, epoch);
    const labels = await page.evaluate(() => {
      const all = [...document.querySelectorAll('#map .ac-label')];
      const shown = all.filter((l) => getComputedStyle(l).visibility === 'visible').map((l) => l.getBoundingClientRect());
      let clashes = 0;
      for (let i = 0; i < shown.length; i++) {
        for (let j = i + 1; j < shown.length; j++) {
          const a = shown[i];
          const b = shown[j];
          if (a.left < b.right - 0.5 && a.right > b.left + 0.5 && a.top < b.bottom - 0.5 && a.bottom > b.top + 0.5) clashes++;
        }
      }
      return { all: all.length, shown: shown.length, clashes, markers: document.querySelectorAll('#map .ac-icon').length };
    });
    console.log(JSON.stringify(labels));
    if (labels.clashes) problems.push(labels.clashes + ' pairs of labels overlap');
    if (!(labels.shown > 10 && labels.shown < labels.all)) problems.push('labels shown ' + JSON.stringify(labels));
    await page.screenshot({ path: path.join(o.out, 'labels-150.png') });
    // Zoomed in, room for more: fewer labels are hidden.
    await page.evaluate(() => window.velkaro.mapView.map.setZoom(10, { animate: false }));
    const closer = await page.evaluate(() => [...document.querySelectorAll('#map .ac-label')]
      .filter((l) => getComputedStyle(l).visibility === 'visible').length);
    if (closer === 0) problems.push('no label shown zoomed in');

    // The list at 150 rows: kept rows, and the time of an update.
    await page.click('[data-tab="flights"]');
    await waitUntil(page, 'the rows', (n) => document.querySelectorAll('#flightsBody tr[data-icao]').length >= n, COUNT - 10);
    const list = await page.evaluate(async () => {
      const rows = [...document.querySelectorAll('#flightsBody tr[data-icao]')];
      rows.forEach((tr) => { tr.dataset.mark = '1'; });
      const v = window.velkaro;
      const t0 = performance.now();
      for (let i = 0; i < 20; i++) v.list.update(v.flights.records, v.flights.selected, v.flights.metric);
      const ms = (performance.now() - t0) / 20;
      await new Promise((r) => setTimeout(r, 2500));
      const now = [...document.querySelectorAll('#flightsBody tr[data-icao]')];
      return { ms, rows: now.length, kept: now.filter((tr) => tr.dataset.mark === '1').length };
    });
    console.log('list update at ' + list.rows + ' rows: ' + list.ms.toFixed(2) + ' ms, rows kept ' + list.kept);
    if (list.kept < list.rows - 5) problems.push('rows replaced on update ' + JSON.stringify(list));
    await page.screenshot({ path: path.join(o.out, 'flights-150.png') });
  } finally {
    if (context) await context.close().catch(() => {});
    await run.stopAll();
    fs.rmSync(work, { recursive: true, force: true });
  }
  finish('many-aircraft page test', began, problems);
}

main().catch((e) => {
  console.error('many-aircraft page test failed: ' + (e && e.stack ? e.stack : e));
  process.exit(1);
});
