#!/usr/bin/env node
'use strict';
// The page in a real browser, served by the program itself while it decodes a synthesised live
// signal: aircraft rows and map markers appear, an aircraft's trail and info window show, every
// tab opens, and no script error escapes. Run by CTest:
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

async function main() {
  const o = options(process.argv.slice(2));
  if (!fs.existsSync(o.chromium)) throw new Error(o.chromium + ' is missing: run scripts/install-deps.sh');
  const { chromium } = require(path.join(repo, 'webclient/node_modules/playwright-core'));
  fs.mkdirSync(o.out, { recursive: true });

  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velkaro-page-'));
  const fifo = path.join(work, 'signal.fifo');
  execFileSync('mkfifo', [fifo]);
  const port = await freePort();
  const base = 'http://127.0.0.1:' + port + '/';
  const children = [];
  const start = (bin, args) => {
    const child = spawn(bin, args, { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (d) => process.stderr.write(d));
    children.push(child);
    return child;
  };
  const problems = [];
  let context;
  try {
    start(o.synth, [o.scenario, '--stream', fifo]);
    const velkaro = start(o.velkaro, ['--input-file', 'rtl:' + fifo, '--location', '52.31:4.76', '--web', String(port)]);
    await waitForServer(base, velkaro, 15000);

    context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
      executablePath: o.chromium,
      headless: true,
      args: BROWSER_ARGS,
      viewport: { width: 1366, height: 820 },
    });
    // No internet here: online tiles fail at once and the embedded outline map stays.
    await context.route(/^https?:\/\/(?!127\.0\.0\.1)/, (route) => route.abort());
    const page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (e) => problems.push('uncaught ' + e.message));
    page.on('console', (m) => {
      if (m.type() === 'error' && !/Failed to load resource|net::ERR_/.test(m.text())) problems.push('console ' + m.text());
    });
    const shot = async (name) => {
      const file = path.join(o.out, name + '.png');
      await page.screenshot({ path: file });
      return file;
    };

    await page.goto(base);
    await page.click('[data-tab="flights"]');
    await page.waitForSelector('#flightsBody tr[data-icao]', { timeout: 30000 });
    await page.click('[data-tab="map"]');
    await page.waitForSelector('#map .ac-icon', { timeout: 15000 });

    // Select an airborne aircraft with a position: its trail and info window follow.
    const icao = await page.evaluate(() => {
      const recs = [...window.velkaro.flights.records.values()];
      const r = recs.find((x) => x.lat !== undefined && x.altitude > 3000);
      return r ? r.icao : null;
    });
    if (!icao) throw new Error('no airborne aircraft with a position');
    await page.click('[data-tab="flights"]');
    await page.click('#flightsBody tr[data-icao="' + icao + '"]');
    await page.waitForSelector('#info:not([hidden]) .flag', { timeout: 5000 });
    await page.click('[data-tab="map"]');
    await page.evaluate((a) => window.velkaro.mapView.focus(window.velkaro.flights.records.get(a)), icao);
    // A trail needs two positions after the selection; a loaded machine may deliver them late.
    await page.waitForFunction(() => window.velkaro.mapView.trail.points.length > 1, null, { timeout: 30000 });
    await page.waitForFunction(() => { const f = document.querySelector('#info .flag'); return f && f.naturalWidth === 20; }, null, { timeout: 5000 });
    await sleep(1500); // a few more polls: the trail grows and the coverage outline fills
    const mapShot = await shot('map-selected');
    if (o.readmeShot) {
      // For the README: a longer trail, seen closer.
      await sleep(45000);
      await page.evaluate(() => window.velkaro.mapView.map.setView([52.3, 4.85], 9, { animate: false }));
      await sleep(1000);
      await page.screenshot({ path: o.readmeShot });
    }

    const shots = [mapShot];
    for (const tab of TABS) {
      await page.click('[data-tab="' + tab + '"]');
      if (tab === 'charts') await page.waitForSelector('#chartDistance .uplot', { timeout: 5000 });
      if (tab === 'stats') await page.waitForFunction(() => document.querySelectorAll('#dfTable td.num').length > 0);
      if (tab === 'log') await page.waitForSelector('#log .line', { timeout: 5000 });
      if (tab === 'map') {
        // Until the "api" command exists a METAR request fails, and a failed one clears its line.
        await page.fill('#airportInput', 'eham');
        // Waiting starts before the click: the reply may come before the click has returned.
        const metarReply = page.waitForResponse((r) => r.url().endsWith('/json') && r.request().postData().includes('metar'));
        await page.check('#showMetar');
        await metarReply;
        await page.waitForFunction(() => document.getElementById('metarLine').hidden, null, { timeout: 5000 });
        await page.uncheck('#showMetar');
      }
      if (tab === 'notams') {
        // Offline, the NOTAM service cannot be reached: the page shows the program's error reply,
        // and the error dialog records it until the next request succeeds.
        await page.evaluate(() => {
          window.errorTexts = [];
          const node = document.getElementById('errorText');
          new MutationObserver(() => window.errorTexts.push(node.textContent)).observe(node, { childList: true, characterData: true, subtree: true });
        });
        await page.fill('#notamInput', 'eham');
        await page.click('#notamForm button');
        await page.waitForSelector('#notamResult .error-text', { timeout: 5000 });
      }
      await sleep(600);
      shots.push(await shot(tab));
    }

    const facts = await page.evaluate(() => ({
      title: document.title,
      active: document.querySelector('.tabs button.active').dataset.tab,
      rows: document.querySelectorAll('#flightsBody tr[data-icao]').length,
      markers: document.querySelectorAll('#map .ac-icon').length,
      errors: window.errorTexts,
      notam: document.getElementById('notamResult').textContent,
    }));
    console.log(JSON.stringify(facts));
    if (!/^Velkaro \([1-9]\d*\)$/.test(facts.title)) problems.push('title ' + facts.title);
    if (!/^Error: ./.test(facts.errors[0] || '')) problems.push('error dialog texts ' + JSON.stringify(facts.errors));
    if (!facts.notam.includes('EHAM')) problems.push('NOTAM reply not shown');

    // A fresh visit comes back to the last tab.
    await page.reload();
    await page.waitForSelector('.tabs button.active');
    const restored = await page.evaluate(() => document.querySelector('.tabs button.active').dataset.tab);
    if (restored !== 'notams') problems.push('tab after reload ' + restored);

    // The phone layout of the list.
    await page.setViewportSize({ width: 390, height: 844 });
    await page.click('[data-tab="flights"]');
    await page.waitForSelector('#flightsBody tr[data-icao]', { timeout: 10000 });
    shots.push(await shot('phone-flights'));
    console.log('screenshots:\n  ' + shots.join('\n  '));
  } finally {
    if (context) await context.close().catch(() => {});
    for (const child of children) if (child.exitCode === null) child.kill('SIGTERM');
    await Promise.all(children.map((c) => (c.exitCode === null ? new Promise((r) => c.on('exit', r)) : null)));
    fs.rmSync(work, { recursive: true, force: true });
  }
  if (problems.length) {
    console.error('problems:\n  ' + problems.join('\n  '));
    process.exit(1);
  }
  console.log('page test passed');
}

// The database test beside this one starts the program and the browser the same way.
module.exports = { options, freePort, waitForServer, BROWSER_ARGS };

if (require.main === module) {
  main().catch((e) => {
    console.error('page test failed: ' + (e && e.stack ? e.stack : e));
    process.exit(1);
  });
}
