#!/usr/bin/env node
'use strict';
// The page's views of the outside information services, with those services played by local
// servers: the aircraft picture, an airport of the route, the METAR and TAF lines of the map and
// the NOTAM table, each asked once through the program (HTTPS with a certificate made here for
// the real host name) and shown; a failed look-up reads as a sentence. Run by CTest:
//   node page_services_browser.js --velkaro BIN (velkaro-local-services) --synth BIN --scenario FILE
//                                 --out DIR [--chromium /usr/bin/chromium]
const fs = require('fs');
const http = require('http');
const https = require('https');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { options, freePort, waitForServer, launcher, openBrowser, waitUntil, screenshots, reportPageErrors, canvasJpeg, finish } =
  require('./page_browser.js');

const repo = path.join(__dirname, '..', '..');
const NOTAM_HOST = 'notams.aim.faa.gov';
const PICTURE = [64, 40];

// Aircraft of the demo scenario: the first has a picture at the photo service, the second none.
const WITH_PICTURE = { icao: '4840D6', callsign: 'KLM1023', route: 'EHAM-LFPG' };
const WITHOUT_PICTURE = { icao: '3C6586', callsign: 'DLH4AB', route: 'EDDF-EHAM-EGLL' };

const METAR_RAW = 'EHAM 110125Z 24012KT 9999 FEW030 08/05 Q1012 NOSIG';
const TAF_TEXT = 'TAF EHAM 110500Z 1106/1212 24012KT 9999 SCT030 BECMG 1110/1112 27018G28KT';
const NOTAM = { notamNumber: 'A1234/26', icaoId: 'EHAM', startDate: '12/11/2026 0600', endDate: '12/12/2026 1800',
  icaoMessage: 'RWY 18R/36L CLSD DUE TO WIP' };

// One local server for the four plain-HTTP services; it notes every request.
function serviceReplies(base, seen) {
  return (req, res) => {
    seen.push({ method: req.method, url: req.url, host: req.headers.host });
    const url = new URL(req.url, 'http://x');
    const send = (status, type, body) => {
      res.writeHead(status, { 'Content-Type': type, 'Content-Length': Buffer.byteLength(body) });
      res.end(body);
    };
    if (url.pathname === '/api/ac_thumb.json') {
      if (url.searchParams.get('m') === WITH_PICTURE.icao) {
        return send(200, 'application/json', JSON.stringify({ status: 200, count: 1,
          data: [{ image: base + 'thumbs/' + WITH_PICTURE.icao + '.jpg', link: base + 'photo', photographer: 'test' }] }));
      }
      return send(200, 'application/json', JSON.stringify({ status: 404, error: 'Aircraft not found' }));
    }
    if (url.pathname === '/thumbs/' + WITH_PICTURE.icao + '.jpg') return send(200, 'image/jpeg', seen.picture);
    if (url.pathname === '/api/ap_info.json' && url.searchParams.get('icao') === 'EHAM') {
      return send(200, 'application/json', JSON.stringify({ icao: 'EHAM', iata: 'AMS', name: 'Amsterdam Airport Schiphol',
        location: 'Amsterdam', country: 'Netherlands', country_code: 'NL', latitude: '52.308601', longitude: '4.76389', status: 200 }));
    }
    if (url.pathname === '/data/observations/metar/stations/EHAM.TXT') {
      return send(200, 'text/plain', '2026/12/11 01:25\n' + METAR_RAW + '\n');
    }
    if (url.pathname === '/taf/data' && url.searchParams.get('ids') === 'EHAM') {
      return send(200, 'text/html', '<table><tr><td>Text:</td><td>' + TAF_TEXT + '</td></tr>' +
        '<tr><td>Forecast period:</td><td>0600 UTC 11 December 2026 to 1200 UTC 12 December 2026</td></tr></table>');
    }
    return send(404, 'text/html', '<html><body>Not Found</body></html>');
  };
}

const listen = (server) => new Promise((resolve, reject) => {
  server.on('error', reject);
  server.listen(0, '127.0.0.1', () => resolve(server.address().port));
});

async function main() {
  const began = Date.now();
  const o = options(process.argv.slice(2));
  if (!fs.existsSync(o.chromium)) throw new Error(o.chromium + ' is missing: run scripts/install-deps.sh');
  fs.mkdirSync(o.out, { recursive: true });
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velkaro-page-services-'));
  const problems = [];
  const check = (ok, text) => { if (!ok) problems.push(text); };
  const servers = [];
  let context;
  let run;
  try {
    // A certificate for the NOTAM service's own name, trusted by the program through its CA file.
    const key = path.join(work, 'notam.key');
    const cert = path.join(work, 'notam.pem');
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert, '-days', '2',
      '-subj', '/CN=' + NOTAM_HOST, '-addext', 'subjectAltName=DNS:' + NOTAM_HOST], { stdio: 'ignore' });

    const seen = [];
    const plain = http.createServer();
    servers.push(plain);
    const httpPort = await listen(plain);
    plain.on('request', serviceReplies('http://127.0.0.1:' + httpPort + '/', seen));

    const notamAsked = [];
    const secure = https.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(cert) }, (req, res) => {
      let body = '';
      req.on('data', (d) => { body += d; });
      req.on('end', () => {
        notamAsked.push({ method: req.method, url: req.url, host: req.headers.host, sni: req.socket.servername, body });
        const reply = JSON.stringify({ notamList: [NOTAM], totalNotamCount: 1 });
        res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(reply) });
        res.end(reply);
      });
    });
    servers.push(secure);
    const httpsPort = await listen(secure);

    const bsDb = path.join(work, 'basestation.sqb');
    const frDb = path.join(work, 'flightroute.sqb');
    execFileSync(path.join(repo, 'tools/basestation/make-databases.sh'), [bsDb, frDb]);
    execFileSync('sqlite3', ['-bail', frDb, [WITH_PICTURE, WITHOUT_PICTURE]
      .map((a) => "INSERT INTO FlightRoute VALUES ('" + a.callsign + "', '" + a.route + "', 200);").join('\n')]);

    run = launcher(o, work);
    const port = await freePort();
    const base = 'http://127.0.0.1:' + port + '/';
    run.synth(o.scenario);
    // The test build of the program takes the local servers' ports and the CA file first.
    const velkaro = run.velkaro(port, ['--db', bsDb, '--frdb', frDb], [String(httpPort), String(httpsPort), cert]);
    await waitForServer(base, velkaro, 15000);

    const browser = await openBrowser(o, work, { width: 1280, height: 820 });
    context = browser.context;
    const { page } = browser;
    reportPageErrors(page, problems);
    const { shot, files: shots } = screenshots(page, o.out);
    await page.goto(base);
    seen.picture = await canvasJpeg(page, PICTURE); // the photo service's picture

    // --- The picture and the route's airport in the info window ---
    await page.click('[data-tab="flights"]');
    await waitUntil(page, 'both aircraft with their routes', (list) => list.every((a) => {
      const tr = document.querySelector('#flightsBody tr[data-icao="' + a.icao + '"]');
      return tr && tr.textContent.includes(a.route);
    }), [WITH_PICTURE, WITHOUT_PICTURE], 30000);
    const select = async (a) => {
      await page.click('#flightsBody tr[data-icao="' + a.icao + '"]');
      await waitUntil(page, a.callsign + ' in the info window', (cs) => {
        const info = document.getElementById('info');
        return !info.hidden && info.querySelector('h2').textContent === cs;
      }, a.callsign, 5000);
    };
    await select(WITH_PICTURE);
    await waitUntil(page, 'the picture from the photo service', () => {
      const img = document.querySelector('#info .media img.photo');
      return img && img.complete && img.naturalWidth > 0;
    }, null, 10000);
    const photo = await page.evaluate(() => {
      const img = document.querySelector('#info .media img.photo');
      const r = img.getBoundingClientRect();
      return { src: img.src, w: img.naturalWidth, h: img.naturalHeight, shown: r.width > 0 && r.height > 0 };
    });
    const pictureUrl = 'http://127.0.0.1:' + httpPort + '/thumbs/' + WITH_PICTURE.icao + '.jpg';
    check(photo.src === pictureUrl && photo.w === PICTURE[0] && photo.h === PICTURE[1] && photo.shown, 'picture ' + JSON.stringify(photo));

    await page.hover('#info .route .airport >> text=EHAM');
    await waitUntil(page, 'the airport facts as the chip\'s tip', () => {
      const chip = [...document.querySelectorAll('#info .route .airport')].find((s) => s.textContent === 'EHAM');
      return chip && !chip.dataset.tip.endsWith('…') && chip.dataset.tip !== 'EHAM';
    }, null, 10000);
    const tips = await page.evaluate(() => Object.fromEntries([...document.querySelectorAll('#info .route .airport')]
      .map((s) => [s.textContent, s.dataset.tip])));
    check(tips.EHAM === 'EHAM: Amsterdam Airport Schiphol, Amsterdam, Netherlands', 'airport tip ' + JSON.stringify(tips));
    await shot('services-info');

    // The photo service knows no picture of this one: none is shown, nothing of the first stays.
    await select(WITHOUT_PICTURE);
    for (const end = Date.now() + 5000; !seen.some((r) => r.url.endsWith('m=' + WITHOUT_PICTURE.icao)) && Date.now() < end;) {
      await page.waitForTimeout(100);
    }
    await page.waitForTimeout(1500); // a few polls: nothing may turn up
    check(await page.evaluate(() => !document.querySelector('#info .media img.photo')), 'a picture for ' + WITHOUT_PICTURE.callsign);

    // --- METAR and TAF on the map ---
    await page.click('[data-tab="map"]');
    await page.fill('#airportInput', 'eham');
    await page.check('#showMetar');
    await page.check('#showTaf');
    await waitUntil(page, 'the METAR and TAF lines', () => {
      const m = document.getElementById('metarLine');
      const t = document.getElementById('tafLine');
      return !m.hidden && /^METAR EHAM .*\d/.test(m.textContent) && !t.hidden && t.querySelector('table');
    }, null, 10000);
    const weather = await page.evaluate(() => {
      const m = document.getElementById('metarLine');
      const t = document.getElementById('tafLine');
      return { metar: m.textContent, metarTitle: m.title, taf: t.firstChild.textContent + t.childNodes[1].textContent + t.childNodes[2].textContent,
        tafRows: [...t.querySelectorAll('tr')].map((tr) => tr.firstChild.textContent) };
    });
    check(weather.metar === 'METAR EHAM 2026/12/11 01:25 ' + METAR_RAW, 'METAR line ' + JSON.stringify(weather.metar));
    check(weather.metarTitle === METAR_RAW, 'METAR title ' + JSON.stringify(weather.metarTitle));
    check(weather.taf === 'TAF EHAM ' + TAF_TEXT, 'TAF line ' + JSON.stringify(weather.taf));
    check(JSON.stringify(weather.tafRows) === '["Text:","Forecast period:"]', 'TAF rows ' + JSON.stringify(weather.tafRows));
    await shot('services-map');

    // Asked again while the answer is fresh: the program answers from its cache.
    await page.uncheck('#showMetar');
    const metarReply = page.waitForResponse((r) => r.url().endsWith('/json') && (r.request().postData() || '').includes('metar'));
    await page.check('#showMetar');
    await metarReply;

    // A station the weather service does not know (it answers 404): a sentence in place of each
    // text, not the one for a service that does not answer.
    await page.fill('#airportInput', 'egll');
    await page.press('#airportInput', 'Tab');
    await waitUntil(page, 'the failed look-ups said in words', () => ['metar', 'taf'].every((kind) =>
      document.getElementById(kind + 'Line').textContent === kind.toUpperCase() + ' EGLL not available: the weather service has no report for EGLL'),
    null, 10000);
    await page.uncheck('#showMetar');
    await page.uncheck('#showTaf');

    // --- NOTAMs, over HTTPS ---
    await page.click('[data-tab="notams"]');
    await page.fill('#notamInput', 'eham');
    await page.click('#notamForm button');
    await waitUntil(page, 'the NOTAM table', () => document.querySelector('#notamResult table.notams tbody tr'), null, 10000);
    const notams = await page.evaluate(() => ({
      status: document.getElementById('notamStatus').textContent,
      row: [...document.querySelectorAll('#notamResult tbody tr td')].map((td) => td.textContent),
    }));
    check(notams.status === '1 NOTAM for EHAM', 'NOTAM status ' + JSON.stringify(notams.status));
    check(JSON.stringify(notams.row) === JSON.stringify([NOTAM.notamNumber, NOTAM.icaoId, NOTAM.startDate, NOTAM.endDate, NOTAM.icaoMessage]),
      'NOTAM row ' + JSON.stringify(notams.row));
    await shot('services-notams');

    // What the services were asked: each question once, by the services' own host names.
    const asked = seen.map((r) => r.method + ' ' + r.host + r.url);
    const want = [
      'GET www.airport-data.com/api/ac_thumb.json?n=1&m=' + WITH_PICTURE.icao,
      'GET www.airport-data.com/api/ac_thumb.json?n=1&m=' + WITHOUT_PICTURE.icao,
      'GET www.airport-data.com/api/ap_info.json?icao=EHAM',
      'GET tgftp.nws.noaa.gov/data/observations/metar/stations/EHAM.TXT',
      'GET aviationweather.gov/taf/data?ids=EHAM&format=decoded&submit=Get+TAF+data',
      'GET tgftp.nws.noaa.gov/data/observations/metar/stations/EGLL.TXT',
      'GET aviationweather.gov/taf/data?ids=EGLL&format=decoded&submit=Get+TAF+data',
    ];
    const thumbs = asked.filter((a) => a.includes('/thumbs/'));
    const services = asked.filter((a) => !a.includes('/thumbs/'));
    check(JSON.stringify([...services].sort()) === JSON.stringify([...want].sort()),
      'service requests:\n    ' + services.join('\n    ') + '\n  wanted (in any order):\n    ' + want.join('\n    '));
    // The browser fetches the picture itself, from the address in the service's answer.
    check(thumbs.length >= 1 && thumbs.every((a) => a === 'GET 127.0.0.1:' + httpPort + '/thumbs/' + WITH_PICTURE.icao + '.jpg'),
      'picture requests ' + JSON.stringify(thumbs));
    const n = notamAsked[0] || {};
    check(notamAsked.length === 1 && n.method === 'POST' && n.url === '/notamSearch/search' && n.host === NOTAM_HOST &&
      n.sni === NOTAM_HOST && n.body.startsWith('searchType=0&designatorsForLocation=EHAM&'),
    'NOTAM requests ' + JSON.stringify(notamAsked));
    console.log('screenshots:\n  ' + shots.join('\n  '));
  } finally {
    if (context) await context.close().catch(() => {});
    if (run) await run.stopAll();
    for (const s of servers) s.close();
    fs.rmSync(work, { recursive: true, force: true });
  }
  finish('page services test', began, problems);
}

main().catch((e) => {
  console.error('page services test failed: ' + (e && e.stack ? e.stack : e));
  process.exit(1);
});
