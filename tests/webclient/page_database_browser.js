#!/usr/bin/env node
'use strict';
// The page with the BaseStation and FlightRoute databases behind the program: the list shows
// each known aircraft's registration, type and route, the info window its picture (found by
// registration or by address), its type silhouette (a BMP served as PNG) and the route's
// airports, and after SIGTERM the session and the flights carry their end times. Run by CTest:
//   node page_database_browser.js --velkaro BIN --synth BIN --scenario FILE --out DIR
//                                 [--chromium /usr/bin/chromium]
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, execFileSync } = require('child_process');
const { options, freePort, waitForServer, BROWSER_ARGS, screenshots, reportPageErrors, canvasJpeg, finish } =
  require('./page_browser.js');

const repo = path.join(__dirname, '..', '..');

// Aircraft of the demo scenario. The first one's picture is named by its registration, the
// second one's by its address; the third has neither, nor a silhouette, so nothing of the
// aircraft selected before it may stay in the window.
const AIRCRAFT = [
  { icao: '4840D6', callsign: 'KLM1023', reg: 'PH-BXA', itc: 'B738', make: 'Boeing', type: '737-8K2',
    route: 'EHAM-LFPG', airports: ['EHAM', 'LFPG'], picture: 'PH-BXA', photo: [64, 40], silhouette: true },
  { icao: '3C6586', callsign: 'DLH4AB', reg: 'D-AIZB', itc: 'A320', make: 'Airbus', type: 'A320-214',
    route: 'EDDF-EHAM-EGLL', airports: ['EDDF', 'EHAM', 'EGLL'], picture: '3C6586', photo: [48, 32], silhouette: false },
  { icao: '4CA7A3', callsign: 'EIN64C', reg: 'EI-DCL', itc: 'A20N', make: 'Airbus', type: 'A320-251N',
    route: 'EIDW-EHAM', airports: ['EIDW', 'EHAM'], picture: null, silhouette: false },
];
const NOT_IN_DB = '406A35'; // BAW431: no Aircraft row, so nothing beyond the decoded values

// 30 x 12 pixels: a row of 90 bytes padded to 92, stored bottom-up, blue-green-red. Top half red,
// bottom half blue, so a flipped picture or swapped channels show.
const BMP_SIZE = [30, 12];
function silhouetteBmp() {
  const [w, h] = BMP_SIZE;
  const stride = Math.ceil((w * 3) / 4) * 4;
  const data = Buffer.alloc(54 + stride * h);
  data.write('BM', 0, 'ascii');
  data.writeUInt32LE(data.length, 2);
  data.writeUInt32LE(54, 10);
  data.writeUInt32LE(40, 14);
  data.writeInt32LE(w, 18);
  data.writeInt32LE(h, 22);
  data.writeUInt16LE(1, 26);
  data.writeUInt16LE(24, 28);
  data.writeUInt32LE(stride * h, 34);
  data.writeInt32LE(2835, 38);
  data.writeInt32LE(2835, 42);
  for (let row = 0; row < h; ++row) {
    const top = row >= h / 2; // the first stored row is the bottom one
    for (let x = 0; x < w; ++x) {
      const at = 54 + row * stride + x * 3;
      data[at] = top ? 0 : 255;
      data[at + 1] = 0;
      data[at + 2] = top ? 255 : 0;
    }
  }
  return data;
}

function sql(sqlite3, db, text) {
  return execFileSync(sqlite3, ['-bail', '-separator', '|', db, text], { encoding: 'utf8' }).trim();
}

const q = (s) => "'" + String(s).replace(/'/g, "''") + "'";

async function main() {
  const began = Date.now();
  const o = options(process.argv.slice(2));
  if (!fs.existsSync(o.chromium)) throw new Error(o.chromium + ' is missing: run scripts/install-deps.sh');
  const sqlite3 = 'sqlite3';
  try {
    execFileSync(sqlite3, ['-version'], { stdio: 'ignore' });
  } catch (e) {
    throw new Error('the sqlite3 command is missing: the databases are made with it');
  }
  const { chromium } = require(path.join(repo, 'webclient/node_modules/playwright-core'));
  fs.mkdirSync(o.out, { recursive: true });

  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velkaro-page-db-'));
  const bsDb = path.join(work, 'basestation.sqb');
  const frDb = path.join(work, 'flightroute.sqb');
  const pictures = path.join(work, 'pictures');
  const silhouettes = path.join(work, 'silhouettes');
  const fifo = path.join(work, 'signal.fifo');
  const children = [];
  const start = (bin, args) => {
    const child = spawn(bin, args, { stdio: ['ignore', 'ignore', 'pipe'] });
    child.stderr.on('data', (d) => process.stderr.write(d));
    child.exited = new Promise((r) => child.on('exit', (code, signal) => r({ code, signal })));
    children.push(child);
    return child;
  };
  const problems = [];
  let context;
  try {
    execFileSync(path.join(repo, 'tools/basestation/make-databases.sh'), [bsDb, frDb]);
    sql(sqlite3, bsDb, AIRCRAFT.map((a) => 'INSERT INTO Aircraft (FirstCreated, LastModified, ModeS, Registration, ' +
      'ICAOTypeCode, Type, Manufacturer) VALUES (datetime(), datetime(), ' +
      [a.icao, a.reg, a.itc, a.type, a.make].map(q).join(', ') + ');').join('\n'));
    // An older route for the first flight: the newest one is the one to show.
    sql(sqlite3, frDb, "INSERT INTO FlightRoute VALUES ('KLM1023', 'EHAM-EGLL', 100);\n" +
      AIRCRAFT.map((a) => 'INSERT INTO FlightRoute VALUES (' + q(a.callsign) + ', ' + q(a.route) + ', 200);').join('\n'));

    context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
      executablePath: o.chromium,
      headless: true,
      args: BROWSER_ARGS,
      viewport: { width: 1366, height: 820 },
    });
    await context.route(/^https?:\/\/(?!127\.0\.0\.1)/, (route) => route.abort());
    const page = context.pages()[0] || await context.newPage();

    // The pictures are JPEGs the browser itself encodes, each of its own size.
    fs.mkdirSync(pictures);
    fs.mkdirSync(silhouettes);
    for (const a of AIRCRAFT.filter((x) => x.picture)) {
      fs.writeFileSync(path.join(pictures, a.picture + '.jpg'), await canvasJpeg(page, a.photo));
    }
    fs.writeFileSync(path.join(silhouettes, 'B738.bmp'), silhouetteBmp());

    reportPageErrors(page, problems);
    const { shot, files: shots } = screenshots(page, o.out);

    execFileSync('mkfifo', [fifo]);
    const port = await freePort();
    const base = 'http://127.0.0.1:' + port + '/';
    const synth = start(o.synth, [o.scenario, '--stream', fifo]);
    const velkaro = start(o.velkaro, ['--input-file', 'rtl:' + fifo, '--location', '52.31:4.76', '--web', String(port),
      '--db', bsDb, '--frdb', frDb, '--pictures', pictures, '--silhouettes', silhouettes]);
    await waitForServer(base, velkaro, 15000);

    await page.goto(base);
    await page.click('[data-tab="flights"]');
    // Rows come first; the database answers follow from the worker thread.
    const rowsFilled = (list) => list.every((a) => {
      const tr = document.querySelector('#flightsBody tr[data-icao="' + a.icao + '"]');
      return tr && tr.textContent.includes(a.reg) && tr.textContent.includes(a.route);
    });
    await page.waitForFunction(rowsFilled, AIRCRAFT.map((a) => ({ icao: a.icao, reg: a.reg, route: a.route })), { timeout: 30000 });

    // The database columns of the list: their text, and whether all of it is in view without
    // scrolling the list sideways.
    const listCells = (icaos) => page.evaluate((list) => {
      const fields = [...document.querySelectorAll('#flightsHead th')].map((th) => th.dataset.field || '');
      const box = document.querySelector('#flightsBody').closest('.table-scroll').getBoundingClientRect();
      const out = {};
      for (const icao of list) {
        const tr = document.querySelector('#flightsBody tr[data-icao="' + icao + '"]');
        if (!tr) continue;
        const row = {};
        [...tr.children].forEach((td, i) => {
          if (!['registration', 'icaoTypeCode', 'route'].includes(fields[i])) return;
          const r = td.getBoundingClientRect();
          const range = document.createRange();
          range.selectNodeContents(td);
          const t = range.getBoundingClientRect();
          row[fields[i]] = { text: td.textContent, inView: r.width > 0 && r.left >= box.left && t.right <= box.right + 0.5 };
        });
        out[icao] = row;
      }
      return out;
    }, icaos);
    const checkRow = (a, cells, when) => {
      const row = cells[a.icao] || {};
      const want = { registration: a.reg, icaoTypeCode: a.itc, route: a.route };
      for (const field of Object.keys(want)) {
        const c = row[field];
        if (!c || c.text !== want[field] || !c.inView) problems.push(a.callsign + ' list ' + field + ' ' + when + ' ' + JSON.stringify(c));
      }
    };
    const cells = await listCells(AIRCRAFT.map((a) => a.icao).concat(NOT_IN_DB));
    for (const a of AIRCRAFT) checkRow(a, cells, 'with no selection');
    const plain = cells[NOT_IN_DB];
    if (!plain) problems.push('no row for ' + NOT_IN_DB);
    else if (Object.values(plain).some((c) => c.text !== '')) problems.push(NOT_IN_DB + ' without a database row shows ' + JSON.stringify(plain));
    await shot('db-flights');

    // Each aircraft in turn, so a picture or route left from the one before would show.
    for (const a of AIRCRAFT) {
      await page.click('#flightsBody tr[data-icao="' + a.icao + '"]');
      await page.waitForFunction((cs) => {
        const info = document.getElementById('info');
        return !info.hidden && info.querySelector('h2').textContent === cs;
      }, a.callsign, { timeout: 5000 });
      if (a.picture || a.silhouette) {
        await page.waitForFunction((want) => [...document.querySelectorAll('#info .media img')]
          .filter((img) => img.complete && img.naturalWidth > 0).length === want, (a.picture ? 1 : 0) + (a.silhouette ? 1 : 0), { timeout: 10000 });
      } else {
        await page.waitForTimeout(1500); // a few polls: nothing may turn up
      }
      const seen = await page.evaluate(async () => {
        const info = document.getElementById('info');
        const img = (cls) => {
          const n = info.querySelector('.media img.' + cls);
          if (!n) return null;
          const r = n.getBoundingClientRect();
          return { src: new URL(n.src).pathname, w: n.naturalWidth, h: n.naturalHeight, shown: r.width > 0 && r.height > 0 };
        };
        const sil = info.querySelector('.media img.silhouette');
        let png = null;
        if (sil && sil.naturalWidth) {
          const c = document.createElement('canvas');
          c.width = sil.naturalWidth;
          c.height = sil.naturalHeight;
          const g = c.getContext('2d');
          g.drawImage(sil, 0, 0);
          const px = (x, y) => [...g.getImageData(x, y, 1, 1).data.slice(0, 3)];
          const r = await fetch(sil.src);
          const bytes = new Uint8Array(await r.arrayBuffer());
          png = { type: r.headers.get('content-type'), magic: [...bytes.slice(1, 4)].map((b) => String.fromCharCode(b)).join(''),
            top: px(0, 0), bottom: px(c.width - 1, c.height - 1) };
        }
        const rows = {};
        for (const tr of info.querySelectorAll('details tr')) {
          const th = tr.querySelector('th');
          if (th) rows[th.textContent] = tr.querySelector('td').textContent;
        }
        return {
          subtitle: info.querySelector('.subtitle').textContent,
          photo: img('photo'),
          silhouette: img('silhouette'),
          png,
          mediaShown: info.querySelector('.media').getBoundingClientRect().height > 0,
          airports: [...info.querySelectorAll('.route .airport')].map((s) => s.textContent),
          rows,
        };
      });
      const tag = a.callsign + ' info';
      if (!seen.subtitle.includes(a.reg) || !seen.subtitle.includes(a.itc)) problems.push(tag + ' subtitle ' + seen.subtitle);
      if (JSON.stringify(seen.airports) !== JSON.stringify(a.airports)) problems.push(tag + ' airports ' + JSON.stringify(seen.airports));
      const rows = seen.rows;
      if (rows.Registration !== a.reg || rows.Type !== a.make + ' ' + a.type || rows['ICAO type'] !== a.itc || rows['Times seen'] !== '1') {
        problems.push(tag + ' aircraft rows ' + JSON.stringify(rows));
      }
      if (a.picture) {
        const p = seen.photo;
        if (!p || p.src !== '/img/aircrafts/' + a.picture + '.jpg' || p.w !== a.photo[0] || p.h !== a.photo[1] || !p.shown) {
          problems.push(tag + ' picture ' + JSON.stringify(p));
        }
      } else if (seen.photo) problems.push(tag + ' has a picture ' + JSON.stringify(seen.photo));
      if (a.silhouette) {
        const s = seen.silhouette;
        if (!s || s.src !== '/img/silhouettes/' + a.itc + '.bmp' || s.w !== BMP_SIZE[0] || s.h !== BMP_SIZE[1] || !s.shown) {
          problems.push(tag + ' silhouette ' + JSON.stringify(s));
        }
        const png = seen.png || {};
        if (png.type !== 'image/png' || png.magic !== 'PNG' || JSON.stringify(png.top) !== '[255,0,0]' || JSON.stringify(png.bottom) !== '[0,0,255]') {
          problems.push(tag + ' silhouette not the BMP as PNG ' + JSON.stringify(png));
        }
      } else if (seen.silhouette) problems.push(tag + ' has a silhouette ' + JSON.stringify(seen.silhouette));
      if (seen.mediaShown !== Boolean(a.picture || a.silhouette)) problems.push(tag + ' picture area shown ' + seen.mediaShown);
      // The info window takes room from the list: the row's values stay in view all the same.
      checkRow(a, await listCells([a.icao]), 'beside the info window');
      await shot('db-info-' + a.callsign);
    }

    // Closing the program writes the end times; the browser goes first so that nothing polls.
    await context.close();
    context = null;
    velkaro.kill('SIGTERM');
    let timer;
    const end = await Promise.race([velkaro.exited, new Promise((r) => { timer = setTimeout(() => r(null), 10000); })]);
    clearTimeout(timer);
    if (!end) throw new Error('velkaro did not end within 10 s of SIGTERM');
    if (end.code !== 0) problems.push('velkaro ended with ' + JSON.stringify(end));
    if (synth.exitCode === null) synth.kill('SIGTERM');
    await synth.exited;

    const sessions = sql(sqlite3, bsDb, "SELECT SessionID, EndTime IS NOT NULL AND EndTime >= StartTime FROM Sessions;");
    if (!/^\d+\|1$/.test(sessions)) problems.push('Sessions rows (id|ended) ' + JSON.stringify(sessions));
    const flights = sql(sqlite3, bsDb, 'SELECT a.ModeS, f.Callsign, f.EndTime IS NOT NULL AND f.EndTime >= f.StartTime, ' +
      'f.SessionID = (SELECT SessionID FROM Sessions) FROM Flights f JOIN Aircraft a ON a.AircraftID = f.AircraftID ' +
      'WHERE a.ModeS IN (' + AIRCRAFT.map((a) => q(a.icao)).join(', ') + ') ORDER BY a.ModeS;');
    const want = AIRCRAFT.map((a) => a.icao + '|' + a.callsign + '|1|1').sort().join('\n');
    if (flights !== want) problems.push('Flights rows (address|callsign|ended|session):\n' + flights + '\n  wanted:\n' + want);
    // The program adds rows only for aircraft it had no row of: ours stay single and unchanged.
    const ours = sql(sqlite3, bsDb, "SELECT COUNT(*), SUM(Registration IS NOT NULL) FROM Aircraft WHERE ModeS IN (" +
      AIRCRAFT.map((a) => q(a.icao)).join(', ') + ');');
    if (ours !== AIRCRAFT.length + '|' + AIRCRAFT.length) problems.push('Aircraft rows (count|registered) ' + ours);
    console.log('screenshots:\n  ' + shots.join('\n  '));
  } finally {
    if (context) await context.close().catch(() => {});
    for (const child of children) if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    await Promise.all(children.map((c) => c.exited));
    fs.rmSync(work, { recursive: true, force: true });
  }
  finish('page database test', began, problems);
}

main().catch((e) => {
  console.error('page database test failed: ' + (e && e.stack ? e.stack : e));
  process.exit(1);
});
