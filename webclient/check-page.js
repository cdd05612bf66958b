#!/usr/bin/env node
'use strict';
// Loads the built page in headless Chromium against the development server, walks every tab on
// a desktop and a phone screen, takes screenshots and fails on any script error.
//   node check-page.js [--root ../build/webroot] [--out ../build/webclient-screens] [--api]
//                      [--chromium /usr/bin/chromium]
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');
const { createServer } = require('./dev-server');

function args(argv) {
  const o = {
    root: path.join(__dirname, '..', 'build/webroot'),
    out: path.join(__dirname, '..', 'build/webclient-screens'),
    api: false,
    chromium: '/usr/bin/chromium',
  };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--root') o.root = argv[++i];
    else if (argv[i] === '--out') o.out = argv[++i];
    else if (argv[i] === '--api') o.api = true;
    else if (argv[i] === '--chromium') o.chromium = argv[++i];
    else throw new Error('unknown option ' + argv[i]);
  }
  return o;
}

const TABS = ['charts', 'stats', 'flights', 'map', 'log', 'notams'];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const o = args(process.argv.slice(2));
  fs.mkdirSync(o.out, { recursive: true });
  const server = createServer({ root: o.root, api: o.api, expire: 180 });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const base = 'http://127.0.0.1:' + server.address().port + '/';
  const problems = [];
  const shots = [];
  const profiles = [];
  try {
    for (const [name, viewport, mobile] of [['desktop', { width: 1366, height: 820 }, false], ['phone', { width: 390, height: 844 }, true]]) {
      // A fresh profile for each run: no cookies or cache from an earlier one.
      const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velkaro-chromium-'));
      profiles.push(profile);
      const context = await chromium.launchPersistentContext(profile, {
        executablePath: o.chromium,
        headless: true,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
          '--disable-background-networking', '--disable-component-update', '--disable-sync'],
        viewport, isMobile: mobile, hasTouch: mobile, deviceScaleFactor: mobile ? 2 : 1,
      });
      // Online tiles cannot load here: answer them at once so that the page sees them fail.
      await context.route(/^https?:\/\/(?!127\.0\.0\.1)/, (route) => route.abort());
      const page = context.pages()[0] || await context.newPage();
      page.on('pageerror', (e) => problems.push(name + ': uncaught ' + e.message));
      page.on('console', (m) => {
        if (m.type() === 'error' && !/net::ERR_FAILED|Failed to load resource/.test(m.text())) problems.push(name + ': console ' + m.text());
      });
      await page.goto(base);
      await page.waitForFunction(() => document.querySelector('.tabs button.active'));
      await sleep(7000); // the simulated receiver brings its aircraft in over the first seconds
      for (const tab of TABS) {
        await page.click('[data-tab="' + tab + '"]');
        await sleep(tab === 'map' ? 2500 : 1500);
        if (tab === 'notams') {
          await page.fill('#notamInput', 'eham');
          await page.click('#notamForm button');
          await sleep(800);
        }
        const file = path.join(o.out, name + '-' + tab + '.png');
        await page.screenshot({ path: file });
        shots.push(file);
      }
      // Select an aircraft in the list, then see it with its trail and info window on the map.
      await page.click('[data-tab="flights"]');
      await sleep(1200);
      await page.click('#flightsBody tr[data-icao="4CA1FA"]');
      await sleep(1500);
      let file = path.join(o.out, name + '-flights-selected.png');
      await page.screenshot({ path: file });
      shots.push(file);
      await page.click('[data-tab="map"]');
      await page.check('#showMetar');
      await page.check('#showTaf');
      await page.fill('#airportInput', 'eham');
      await page.press('#airportInput', 'Enter');
      await page.evaluate(() => window.velkaro.mapView.focus(window.velkaro.flights.records.get('4CA1FA')));
      await sleep(3000);
      file = path.join(o.out, name + '-map-selected.png');
      await page.screenshot({ path: file });
      shots.push(file);
      const facts = await page.evaluate(() => ({
        title: document.title,
        flag: (document.querySelector('#info .flag') || {}).naturalWidth,
        trail: window.velkaro.mapView.trail.points.length,
        errorText: document.getElementById('errorText').textContent,
        metar: document.getElementById('metarLine').textContent,
      }));
      console.log(name, JSON.stringify(facts));
      if (!/^Velkaro \(\d+\)$/.test(facts.title)) problems.push(name + ': title ' + facts.title);
      if (facts.flag !== 20) problems.push(name + ': flag picture not shown');
      if (!(facts.trail > 0)) problems.push(name + ': no trail for the selected aircraft');
      await context.close();
    }
  } finally {
    server.close();
    for (const p of profiles) fs.rmSync(p, { recursive: true, force: true });
  }
  console.log('screenshots:\n  ' + shots.join('\n  '));
  if (problems.length) {
    console.error('problems:\n  ' + problems.join('\n  '));
    process.exit(1);
  }
  console.log('page check passed');
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
