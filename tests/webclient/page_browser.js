#!/usr/bin/env node
'use strict';
// The page in a real browser, served by the program itself while it decodes a synthesised live
// signal, without internet: the list updates in place and a double-click opens the aircraft on
// the map; the info card leaves the map controls and the aircraft free; Esc and a click on empty
// map end the selection; symbols, scale and charts read right; offline tiles stay quiet; a
// stopped program shows as such and the page recovers when it is back. Run by CTest:
//   node page_browser.js --velkaro BIN --synth BIN --scenario FILE --out DIR
//                        [--chromium /usr/bin/chromium] [--readme-shot FILE]
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { spawn, execFileSync } = require('child_process');

const repo = path.join(__dirname, '..', '..');
const TABS = ['charts', 'stats', 'flights', 'map', 'log', 'notams'];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const BROWSER_ARGS = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

function options(argv) {
  const o = { chromium: '/usr/bin/chromium', readmeShot: '' };
  const names = { '--velkaro': 'velkaro', '--synth': 'synth', '--scenario': 'scenario', '--out': 'out', '--chromium': 'chromium', '--readme-shot': 'readmeShot' };
  for (let i = 0; i < argv.length; i += 2) {
    if (!names[argv[i]] || argv[i + 1] === undefined) throw new Error('bad option ' + argv[i]);
    o[names[argv[i]]] = argv[i + 1];
  }
  for (const k of ['velkaro', 'synth', 'scenario', 'out']) if (!o[k]) throw new Error('missing --' + k);
  return o;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function waitForServer(url, child, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (child.exitCode !== null) throw new Error('velkaro ended early with status ' + child.exitCode);
    try {
      const r = await fetch(url);
      if (r.ok) return;
    } catch (e) {
      // not listening yet
    }
    await sleep(200);
  }
  throw new Error('the web server did not answer ' + url);
}

// Program and synthesiser for one run; the program can be stopped and started again on the
// same port and signal.
function launcher(o, work) {
  const fifo = path.join(work, 'signal.fifo');
  execFileSync('mkfifo', [fifo]);
  const children = [];
  const start = (bin, args) => {
    const child = spawn(bin, args, { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (d) => process.stderr.write(d));
    children.push(child);
    return child;
  };
  return {
    children,
    synth: (scenario) => start(o.synth, [scenario, '--stream', fifo]),
    // `lead`: arguments before the program's options (those of a test build of the program).
    velkaro: (port, extra, lead) => start(o.velkaro, (lead || []).concat(['--input-file', 'rtl:' + fifo, '--location', '52.31:4.76',
      '--web', String(port)], extra || [])),
    async stop(child) {
      if (child.exitCode === null && child.signalCode === null) {
        const ended = new Promise((r) => child.on('exit', r));
        child.kill('SIGTERM');
        await ended;
      }
    },
    async stopAll() {
      for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      await Promise.all(children.map((c) => (c.exitCode === null && c.signalCode === null ? new Promise((r) => c.on('exit', r)) : null)));
    },
  };
}

// Browser with every outside address refused (no internet), counting the map-tile requests.
async function openBrowser(o, work, viewport) {
  const { chromium } = require(path.join(repo, 'webclient/node_modules/playwright-core'));
  const context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: o.chromium, headless: true, args: BROWSER_ARGS, viewport,
  });
  const outside = { tiles: 0, other: [] };
  await context.route(/^https?:\/\/(?!127\.0\.0\.1)/, (route) => {
    if (/tile/.test(route.request().url())) outside.tiles++;
    else outside.other.push(route.request().url());
    return route.abort();
  });
  const page = context.pages()[0] || await context.newPage();
  return { context, page, outside };
}

const waitUntil = (page, what, fn, arg, ms) =>
  page.waitForFunction(fn, arg, { timeout: ms || 15000, polling: 200 }).catch((e) => {
    throw new Error('waiting for ' + what + ': ' + e.message.split('\n')[0]);
  });

// Screenshots of one test: shot(name) writes DIR/name.png and keeps its path in `files`.
function screenshots(page, dir) {
  const files = [];
  const shot = async (name) => {
    const file = path.join(dir, name + '.png');
    await page.screenshot({ path: file });
    files.push(file);
    return file;
  };
  return { shot, files };
}

// Uncaught errors and console errors other than failed loads (offline, expected) are problems.
function reportPageErrors(page, problems) {
  page.on('pageerror', (e) => problems.push('uncaught ' + e.message));
  page.on('console', (m) => {
    if (m.type() === 'error' && !/Failed to load resource|net::ERR_/.test(m.text())) problems.push('console ' + m.text());
  });
}

// A one-colour JPEG of w x h pixels, encoded by the browser itself.
async function canvasJpeg(page, [w, h]) {
  const url = await page.evaluate(([width, height]) => {
    const c = document.createElement('canvas');
    c.width = width;
    c.height = height;
    const g = c.getContext('2d');
    g.fillStyle = '#3b82f6';
    g.fillRect(0, 0, width, height);
    return c.toDataURL('image/jpeg', 0.9);
  }, [w, h]);
  if (!url.startsWith('data:image/jpeg;base64,')) throw new Error('no JPEG from the canvas');
  return Buffer.from(url.split(',')[1], 'base64');
}

const overlap = (a, b) => a.left < b.right && a.right > b.left && a.top < b.bottom && a.bottom > b.top;

async function main() {
  const o = options(process.argv.slice(2));
  if (!fs.existsSync(o.chromium)) throw new Error(o.chromium + ' is missing: run scripts/install-deps.sh');
  fs.mkdirSync(o.out, { recursive: true });
  const began = Date.now();
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velkaro-page-'));
  const run = launcher(o, work);
  const port = await freePort();
  const base = 'http://127.0.0.1:' + port + '/';
  const problems = [];
  const check = (ok, text) => { if (!ok) problems.push(text); };
  let context;
  try {
    run.synth(o.scenario);
    let velkaro = run.velkaro(port);
    await waitForServer(base, velkaro, 15000);

    const browser = await openBrowser(o, work, { width: 1280, height: 820 });
    context = browser.context;
    const { page, outside } = browser;
    // Failed loads of the program's own address are expected only while it is stopped.
    let programStopped = false;
    const networkErrors = [];
    page.on('pageerror', (e) => problems.push('uncaught ' + e.message));
    page.on('console', (m) => {
      if (m.type() !== 'error') return;
      if (/Failed to load resource|net::ERR_/.test(m.text())) {
        if (!programStopped) networkErrors.push(m.text());
      } else problems.push('console ' + m.text());
    });
    const { shot, files: shots } = screenshots(page, o.out);

    // --- Charts, the first tab: no tile is asked while the map is not shown ---
    await page.goto(base);
    await page.waitForSelector('#chartDistance .uplot', { timeout: 15000 });
    await waitUntil(page, 'the feed note', () => !document.getElementById('bytesNote').hidden);
    const charts = await page.evaluate(() => {
      const grid = document.querySelector('.charts-grid').getBoundingClientRect();
      const pad = parseFloat(getComputedStyle(document.querySelector('.charts-grid')).paddingRight);
      const cards = [...document.querySelectorAll('.charts-grid > .card')].map((c) => c.getBoundingClientRect());
      const rows = {};
      for (const c of cards) rows[Math.round(c.top)] = Math.max(rows[Math.round(c.top)] || 0, c.right);
      const plot = document.querySelector('#chartDistance');
      return {
        gap: Object.values(rows).map((right) => Math.round(grid.right - pad - right)),
        plotWidth: plot.querySelector('canvas').getBoundingClientRect().width,
        plotBox: plot.getBoundingClientRect().width,
        dashes: document.getElementById('panel-charts').textContent.includes('--'),
      };
    });
    check(charts.gap.length >= 2 && charts.gap.every((g) => Math.abs(g) <= 2), 'chart rows leave room on the right ' + JSON.stringify(charts));
    check(charts.plotWidth >= charts.plotBox - 2, 'the distance chart is narrower than its card ' + JSON.stringify(charts));
    check(!charts.dashes, 'a chart legend shows "--"');
    await shot('charts-1280');
    check(outside.tiles === 0, 'tiles asked on the Charts tab: ' + outside.tiles);

    // --- Flights: rows stay the same elements while they update ---
    await page.click('[data-tab="flights"]');
    await page.waitForSelector('#flightsBody tr[data-icao]', { timeout: 30000 });
    await waitUntil(page, 'an airborne aircraft with a position',
      () => [...window.velkaro.flights.records.values()].some((x) => x.lat !== undefined && x.altitude > 3000), null, 30000);
    const epoch = await page.evaluate(() => {
      for (const tr of document.querySelectorAll('#flightsBody tr[data-icao]')) tr.dataset.mark = 'first';
      return window.velkaro.flights.epoch;
    });
    await waitUntil(page, 'two more flight updates', (e) => window.velkaro.flights.epoch > e + 1, epoch);
    const kept = await page.evaluate(() => [...document.querySelectorAll('#flightsBody tr[data-icao]')]
      .map((tr) => tr.dataset.mark === 'first'));
    check(kept.length > 0 && kept.filter(Boolean).length >= kept.length - 1, 'rows rebuilt instead of updated ' + JSON.stringify(kept));
    // A callsign can be selected as text, and doing so selects no aircraft.
    const cs = await page.evaluate(() => {
      const td = [...document.querySelectorAll('#flightsBody tr[data-icao] td:nth-child(3)')].find((c) => c.textContent);
      const r = document.createRange();
      r.selectNodeContents(td);
      const b = r.getBoundingClientRect();
      return { x: b.left, y: b.top, width: b.width, height: b.height };
    });
    await page.mouse.move(cs.x + 1, cs.y + cs.height / 2);
    await page.mouse.down();
    await page.mouse.move(cs.x + cs.width + 2, cs.y + cs.height / 2, { steps: 5 });
    await page.mouse.up();
    const picked = await page.evaluate(() => ({ text: String(window.getSelection()).trim(), selected: window.velkaro.flights.selected }));
    check(picked.text.length > 0 && picked.selected === null, 'a callsign cannot be selected as text ' + JSON.stringify(picked));
    await page.evaluate(() => window.getSelection().removeAllRanges());

    // --- Double-click a row: the Map, centred on that aircraft, selected ---
    const icao = await page.evaluate(() => {
      const r = [...window.velkaro.flights.records.values()].find((x) => x.lat !== undefined && x.altitude > 3000);
      return r.icao;
    });
    await page.dblclick('#flightsBody tr[data-icao="' + icao + '"] td:nth-child(2)');
    await waitUntil(page, 'the map with the aircraft selected', (a) => document.body.dataset.view === 'map' &&
      window.velkaro.flights.selected === a && !document.getElementById('info').hidden &&
      document.querySelector('#map .ac-icon.selected'), icao);
    const opened = await page.evaluate(() => {
      const m = document.getElementById('map').getBoundingClientRect();
      const c = document.getElementById('info').getBoundingClientRect();
      const a = document.querySelector('#map .ac-icon.selected').getBoundingClientRect();
      const centre = { x: (a.left + a.right) / 2, y: (a.top + a.bottom) / 2 };
      return { centre, free: { x: (m.left + c.left) / 2, y: (m.top + m.bottom) / 2 }, card: c.toJSON(), ac: a.toJSON() };
    });
    check(Math.abs(opened.centre.x - opened.free.x) < 40 && Math.abs(opened.centre.y - opened.free.y) < 40,
      'the aircraft is not centred in the free map ' + JSON.stringify(opened));
    check(!overlap(opened.card, opened.ac), 'the info card covers the selected aircraft');
    await page.waitForSelector('#info .flag', { timeout: 5000 });
    // A trail needs two positions after the selection; a loaded machine may deliver them late.
    await waitUntil(page, 'a trail', () => window.velkaro.mapView.trail.points.length > 1, null, 30000);
    await shot('list-to-map');

    // --- With a selection the layers control stays clear of the card and works ---
    const layers = await page.evaluate(() => ({
      control: document.querySelector('.leaflet-control-layers').getBoundingClientRect().toJSON(),
      zoom: document.querySelector('.leaflet-control-zoom').getBoundingClientRect().toJSON(),
      card: document.getElementById('info').getBoundingClientRect().toJSON(),
    }));
    check(!overlap(layers.control, layers.card) && !overlap(layers.zoom, layers.card), 'the card covers a map control ' + JSON.stringify(layers));
    const lc = layers.control;
    await page.mouse.move((lc.left + lc.right) / 2, (lc.top + lc.bottom) / 2, { steps: 3 });
    await page.waitForSelector('.leaflet-control-layers-expanded', { timeout: 5000 });
    const expanded = await page.evaluate(() => document.querySelector('.leaflet-control-layers').getBoundingClientRect().toJSON());
    check(!overlap(expanded, layers.card), 'the open layers control runs under the card');
    const ringsBox = page.locator('.leaflet-control-layers-overlays label', { hasText: 'Range rings' }).locator('input');
    await ringsBox.uncheck();
    check(!(await page.evaluate(() => window.velkaro.mapView.map.hasLayer(window.velkaro.mapView.ringLayer))), 'range rings still shown after unticking them');
    await ringsBox.check();
    // Offline: the tile source failed once, so the control says so and panning asks nothing.
    await waitUntil(page, '"offline map" in the layers control',
      () => document.querySelector('.leaflet-control-layers').textContent.includes('offline map'));
    await shot('layers-with-selection');
    const tilesBefore = outside.tiles;
    for (const [dx, dy] of [[300, 0], [0, 300], [-600, 0], [0, -600]]) {
      await page.evaluate(([x, y]) => window.velkaro.mapView.map.panBy([x, y], { animate: false }), [dx, dy]);
      await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => r())));
    }
    await page.evaluate(() => window.velkaro.mapView.map.setZoom(9, { animate: false }));
    check(outside.tiles === tilesBefore && outside.tiles <= 2, 'offline tiles asked again on pan: ' + tilesBefore + ' then ' + outside.tiles);

    // --- Esc and a click on empty map end the selection ---
    await page.mouse.move(640, 500);
    await page.keyboard.press('Escape');
    await waitUntil(page, 'Esc to clear the selection', () => !window.velkaro.flights.selected && document.getElementById('info').hidden);
    await page.evaluate((a) => window.velkaro.select(a), icao);
    await waitUntil(page, 'the selection again', () => !document.getElementById('info').hidden);
    const empty = await page.evaluate(() => {
      const m = document.getElementById('map').getBoundingClientRect();
      const icons = [...document.querySelectorAll('#map .leaflet-marker-icon, #map .leaflet-tooltip')].map((n) => n.getBoundingClientRect());
      for (let y = m.bottom - 80; y > m.top + 80; y -= 37) {
        for (let x = m.left + 80; x < m.left + m.width / 2; x += 41) {
          const hit = document.elementFromPoint(x, y);
          if (!hit || !hit.closest('#map') || hit.closest('.leaflet-control, .leaflet-marker-icon, .leaflet-tooltip')) continue;
          if (icons.some((r) => x > r.left - 30 && x < r.right + 30 && y > r.top - 30 && y < r.bottom + 30)) continue;
          return { x, y };
        }
      }
      return null;
    });
    if (!empty) problems.push('no empty spot on the map to click');
    else {
      await page.mouse.click(empty.x, empty.y);
      await waitUntil(page, 'a click on empty map to clear the selection', () => !window.velkaro.flights.selected && document.getElementById('info').hidden);
    }

    // --- Symbols: the receiver, aircraft on the ground beside it, the emergency ---
    const emergencyMark = await page.evaluate(() => {
      const rec = [...window.velkaro.flights.records.values()].find((r) => String(r.squawk) === '7700');
      return rec ? rec.icao : null;
    });
    await waitUntil(page, 'the emergency marked on the map', () => {
      const n = document.querySelector('#map .ac-icon.emergency');
      const label = [...document.querySelectorAll('#map .emergency-label')].find((l) => l.textContent.includes('7700'));
      return n && label && getComputedStyle(label).visibility === 'visible';
    });
    check(emergencyMark !== null, 'no aircraft squawks 7700');
    const scale = await page.evaluate(() => ({
      bar: document.querySelector('.leaflet-control-scale-line').textContent,
      ring: (document.querySelector('#map .ring-label') || {}).textContent,
    }));
    check(/ NM$/.test(scale.bar) && / NM$/.test(scale.ring || ''), 'scale bar and rings not both in NM ' + JSON.stringify(scale));
    await page.evaluate(() => window.velkaro.mapView.map.setView([52.5, 4.95], 10, { animate: false }));
    await shot('emergency');
    await page.evaluate(() => window.velkaro.mapView.map.setView([52.309, 4.763], 15, { animate: false }));
    await waitUntil(page, 'an aircraft on the ground', () => document.querySelector('#map .ac-icon.ground'), null, 20000);
    const ground = await page.evaluate(() => {
      const rx = document.querySelector('#map .receiver-icon');
      const badge = rx.querySelector('.badge');
      const plane = document.querySelector('#map .ac-icon.ground');
      const r = plane.getBoundingClientRect();
      const hit = document.elementFromPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2);
      return {
        badge: badge ? getComputedStyle(badge).fill : null,
        planeFill: plane.querySelector('svg').style.fill,
        receiverHasPlane: rx.innerHTML === plane.innerHTML,
        planeOnTop: !!(hit && hit.closest('.ac-icon')),
        zReceiver: Number(rx.style.zIndex), zPlane: Number(plane.style.zIndex),
      };
    });
    check(ground.badge === 'rgb(255, 255, 255)' && !ground.receiverHasPlane, 'the receiver looks like an aircraft ' + JSON.stringify(ground));
    check(/0, 0, 0|#000000/.test(ground.planeFill) && ground.zPlane > ground.zReceiver, 'a ground aircraft is hidden by the receiver ' + JSON.stringify(ground));
    await shot('ground-and-receiver');

    if (o.readmeShot) {
      // For the README: a longer trail, seen closer.
      await page.evaluate((a) => window.velkaro.select(a), icao);
      await sleep(45000);
      await page.evaluate(() => window.velkaro.mapView.map.setView([52.3, 4.85], 9, { animate: false }));
      await page.evaluate((a) => window.velkaro.mapView.focus(window.velkaro.flights.records.get(a)), icao);
      await sleep(1000);
      await page.screenshot({ path: o.readmeShot });
    }

    // --- Every tab ---
    for (const tab of TABS) {
      await page.click('[data-tab="' + tab + '"]');
      if (tab === 'charts') {
        await page.waitForSelector('#chartDistance .uplot', { timeout: 5000 });
        // The distance axis ends near the farthest position, not at the longest possible range.
        await waitUntil(page, 'the histogram scaled to the data', () => {
          const v = window.velkaro.charts;
          const d = (v.data && v.data.distances) || {};
          const last = Math.max(0, ...Object.keys(d).filter((k) => Number(d[k]) > 0).map((k) => Number(k) + 1));
          const max = v.plots.distance.scales.x.max;
          return last > 0 && max >= last && max <= Math.max(20, last * 2.5);
        });
      }
      if (tab === 'stats') await waitUntil(page, 'the DF table', () => document.querySelectorAll('#dfTable td.num').length > 0);
      if (tab === 'log') await page.waitForSelector('#log .line', { timeout: 5000 });
      if (tab === 'map') {
        // Without internet the METAR request fails.
        await page.fill('#airportInput', 'eham');
        // Waiting starts before the click: the reply may come before the click has returned.
        const metarReply = page.waitForResponse((r) => r.url().endsWith('/json') && r.request().postData().includes('metar'));
        await page.check('#showMetar');
        await metarReply;
        // Offline the weather service cannot be reached: the line says so in plain words.
        await waitUntil(page, 'the METAR line saying it is not available',
          () => /^METAR EHAM not available: no answer from the weather service$/.test(document.getElementById('metarLine').textContent));
        await page.uncheck('#showMetar');
      }
      if (tab === 'notams') {
        // Without internet the page shows the program's error reply, and the error dialog
        // records it until the next request succeeds.
        await page.evaluate(() => {
          window.errorTexts = [];
          const node = document.getElementById('errorText');
          new MutationObserver(() => window.errorTexts.push(node.textContent)).observe(node, { childList: true, characterData: true, subtree: true });
        });
        await page.fill('#notamInput', 'eham');
        await page.click('#notamForm button');
        await page.waitForSelector('#notamResult .error-text', { timeout: 5000 });
      }
      await shot(tab);
    }
    const facts = await page.evaluate(() => ({
      title: document.title,
      errors: window.errorTexts,
      notam: document.getElementById('notamResult').textContent,
    }));
    check(/^Velkaro \([1-9]\d*\)$/.test(facts.title), 'title ' + facts.title);
    check(/^Error: ./.test(facts.errors[0] || ''), 'error dialog texts ' + JSON.stringify(facts.errors));
    check(facts.notam.includes('EHAM'), 'NOTAM reply not shown');

    // A fresh visit comes back to the last tab, and asks no tile while the map stays hidden.
    const tilesBeforeReload = outside.tiles;
    await page.reload();
    await page.waitForSelector('.tabs button.active');
    const restored = await page.evaluate(() => document.querySelector('.tabs button.active').dataset.tab);
    check(restored === 'notams', 'tab after reload ' + restored);
    await page.waitForFunction(() => window.velkaro && window.velkaro.flights, null, { timeout: 5000 });
    check(outside.tiles === tilesBeforeReload, 'tiles asked on the NOTAMS tab');
    check(networkErrors.length <= outside.tiles + outside.other.length,
      'more failed loads than outside requests offline ' + JSON.stringify(networkErrors));

    // --- The program stops for 25 s: the view empties and says so; it comes back by itself ---
    await page.click('[data-tab="map"]');
    await page.evaluate(() => window.velkaro.mapView.map.setView([52.4, 4.8], 8, { animate: false }));
    await page.waitForSelector('#map .ac-icon', { timeout: 15000 });
    const mainTop = await page.evaluate(() => document.querySelector('main').getBoundingClientRect().top);
    programStopped = true;
    await run.stop(velkaro);
    const stoppedAt = Date.now();
    await waitUntil(page, 'the stale notice', () => !document.getElementById('staleNotice').hidden &&
      /\d\d:\d\d:\d\d/.test(document.getElementById('staleSince').textContent));
    await waitUntil(page, 'the markers to go', () => document.querySelectorAll('#map .ac-icon').length === 0 &&
      document.title === 'Velkaro (0)', null, 40000);
    await sleep(Math.max(0, 25000 - (Date.now() - stoppedAt))); // the stop lasts 25 s
    const stale = await page.evaluate(() => ({
      notice: !document.getElementById('staleNotice').hidden,
      text: document.getElementById('staleNotice').textContent.replace(/\s+/g, ' ').trim(),
      errorButton: !document.getElementById('errorButton').hidden,
      top: document.querySelector('main').getBoundingClientRect().top,
      markers: document.querySelectorAll('#map .ac-icon').length,
    }));
    check(stale.notice && stale.markers === 0, 'after 25 s stopped ' + JSON.stringify(stale));
    check(stale.errorButton && stale.top === mainTop, 'the error button moved the page ' + mainTop + ' -> ' + stale.top);
    await shot('stale-map');
    await page.click('[data-tab="flights"]');
    check(await page.evaluate(() => document.querySelectorAll('#flightsBody tr[data-icao]').length) === 0, 'rows stay after the program stopped');
    await shot('stale-flights');
    velkaro = run.velkaro(port);
    await waitUntil(page, 'rows after the restart', () => document.querySelectorAll('#flightsBody tr[data-icao]').length > 0 &&
      document.getElementById('staleNotice').hidden && /^Velkaro \([1-9]\d*\)$/.test(document.title), null, 40000);
    programStopped = false;
    await page.click('[data-tab="map"]');
    await page.waitForSelector('#map .ac-icon', { timeout: 15000 });
    await shot('recovered-map');

    // --- Phone: the card at the bottom leaves the controls free ---
    await page.setViewportSize({ width: 390, height: 844 });
    await page.click('[data-tab="flights"]');
    await page.waitForSelector('#flightsBody tr[data-icao]', { timeout: 10000 });
    await shot('phone-flights');
    const any = await page.evaluate(() => document.querySelector('#flightsBody tr[data-icao]').dataset.icao);
    await page.dblclick('#flightsBody tr[data-icao="' + any + '"] td:nth-child(2)');
    await waitUntil(page, 'the phone map with a selection', () => document.body.dataset.view === 'map' && !document.getElementById('info').hidden);
    const phone = await page.evaluate(() => {
      const card = document.getElementById('info').getBoundingClientRect();
      return [...document.querySelectorAll('#map .leaflet-control')].map((c) => c.getBoundingClientRect())
        .filter((r) => r.width > 0).some((r) => r.left < card.right && r.right > card.left && r.top < card.bottom && r.bottom > card.top);
    });
    check(!phone, 'on a phone the card covers a map control');
    await shot('phone-map-selected');
    console.log('screenshots:\n  ' + shots.join('\n  '));
  } catch (e) {
    if (context && context.pages()[0]) await context.pages()[0].screenshot({ path: path.join(o.out, 'failure.png') }).catch(() => {});
    throw e;
  } finally {
    if (context) await context.close().catch(() => {});
    await run.stopAll();
    fs.rmSync(work, { recursive: true, force: true });
  }
  finish('page test', began, problems);
}

// The run's time and its problems; a run with problems fails.
function finish(name, began, problems) {
  console.log('run time ' + Math.round((Date.now() - began) / 1000) + ' s');
  if (problems.length) {
    console.error('problems:\n  ' + problems.join('\n  '));
    process.exit(1);
  }
  console.log(name + ' passed');
}

// The database test beside this one starts the program and the browser the same way.
module.exports = { options, freePort, waitForServer, BROWSER_ARGS, launcher, openBrowser, waitUntil, screenshots,
  reportPageErrors, canvasJpeg, finish };

if (require.main === module) {
  main().catch((e) => {
    console.error('page test failed: ' + (e && e.stack ? e.stack : e));
    process.exit(1);
  });
}
