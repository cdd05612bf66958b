#!/usr/bin/env node
'use strict';
// Development server: serves the built web root as the program does (same content types) and
// answers "/json" from a simulated receiver, in the program's compact JSON form.
//   node dev-server.js [--port 8080] [--root ../build/webroot] [--api] [--metric]
//                      [--google-key KEY] [--restart-every SECONDS] [--expire SECONDS]
//   --api   answer the "api" request with canned outside data; without it the request is
//           unknown, as it is in the program until that command exists.
const fs = require('fs');
const http = require('http');
const path = require('path');
const { tinyJson } = require('./lib/tiny-json');
const { Simulation, countryRows } = require('./lib/sim');

const MIME = { html: 'text/html', png: 'image/png', jpg: 'image/jpeg', gif: 'image/gif', jpeg: 'image/jpeg', css: 'text/css', js: 'application/x-javascript' };

function mimeType(name) {
  const dot = name.lastIndexOf('.');
  return (dot >= 0 && MIME[name.slice(dot + 1)]) || 'text/plain';
}

const CANNED = {
  metar: (q) => '2017/01/27 06:55\n' + q + ' 270655Z 24012KT 9999 FEW020 SCT035 08/04 Q1012 NOSIG\n',
  taf: (q) => '<table border="0" width="800"><tr><td><b>Text: </b></td><td><b>TAF ' + q +
    ' 270500Z 2706/2812 24012KT 9999 SCT030 BECMG 2712/2715 27018G28KT</b></td></tr>\n' +
    '<tr><td><b>Forecast period:</b></td><td>0600 UTC 27 January 2017 to 1500 UTC 27 January 2017</td></tr>\n' +
    '<tr><td><b>Forecast type:</b></td><td>FROM: standard forecast or significant change</td></tr>\n' +
    '<tr><td><b>Winds:</b></td><td>from the WSW (240 degrees) at 14 MPH (12 knots; 6.2 m/s)</td></tr>\n' +
    '<tr><td><b>Visibility:</b></td><td>6 or more sm (10+ km)</td></tr></table>',
  notam: (q) => JSON.stringify({
    notamList: [
      { notamNumber: 'A0123/17', icaoId: q, startDate: '01/27/2017 0600', endDate: '02/10/2017 1800',
        icaoMessage: 'A0123/17 NOTAMN\nQ) EHAA/QMRLC/IV/NBO/A/000/999/5218N00446E005\nA) ' + q + ' B) 1701270600 C) 1702101800\nE) RWY 18C/36C CLSD DUE TO MAINT' },
      { notamNumber: 'A0119/17', icaoId: q, startDate: '01/25/2017 0000', endDate: 'PERM',
        icaoMessage: 'A0119/17 NOTAMN\nA) ' + q + '\nE) TWY V BTN V3 AND V5 CLSD' },
    ],
    totalNotamCount: 2,
  }, null, 1),
  airport: (q) => ({ icao: q.length === 4 ? q : 'E' + q, iata: q.length === 3 ? q : '', name: 'Airport ' + q, location: 'Somewhere', country: 'Netherlands', country_code: 'NL', latitude: '52.3086', longitude: '4.76389', status: '200' }),
  image: () => ({ status: '404', count: '0', data: {} }),
};

function apiAnswer(data) {
  const kind = data && data.api;
  const q = data && data.q;
  if (typeof kind !== 'string' || typeof q !== 'string') return { message: 'Incorrect api type', status: 'ERROR' };
  const an = /^[A-Z0-9]+$/.test(q);
  switch (kind) {
    case 'image':
      return /^[A-F0-9]{6}$/.test(q) ? { data: CANNED.image(q), status: 'OK' } : { message: 'Incorrect icao', status: 'ERROR' };
    case 'airport':
      if (q.length === 3) return an ? { data: CANNED.airport(q), status: 'OK' } : { message: 'Incorrect iata', status: 'ERROR' };
      if (q.length === 4) return an ? { data: CANNED.airport(q), status: 'OK' } : { message: 'Incorrect icao', status: 'ERROR' };
      return { message: 'Incorrect query', status: 'ERROR' };
    case 'metar':
      return q.length === 4 && an ? { data: CANNED.metar(q), status: 'OK' } : { message: 'Incorrect Airport Icao', status: 'ERROR' };
    case 'taf':
    case 'notam':
      return q.length === 4 && an ? { data: CANNED[kind](q), status: 'OK' } : { message: 'Incorrect Airport ICAO', status: 'ERROR' };
    default:
      return { message: 'Incorrect api name', status: 'ERROR' };
  }
}

const isIndex = (v) => v !== undefined && v !== null && /^[0-9]+$/.test(String(v)) && Number(v) <= 0xffffffff;
const hexAddress = (v) => {
  const m = /^\s*(?:0[xX])?([0-9a-fA-F]*)/.exec(String(v === undefined ? '' : v));
  return m && m[1] ? parseInt(m[1].slice(0, 8), 16) : 0;
};

function getStats(sim, data) {
  const type = data && data.statsType;
  if (typeof type !== 'string') return { status: 'ERROR', message: 'Incorrect stats type' };
  switch (type) {
    case 'flights':
      if (!isIndex(data.id)) return { status: 'ERROR', message: 'Invalid index' };
      return { status: 'OK', stats: sim.flights(Number(data.id), isIndex(data.tid) ? Number(data.tid) : 0, hexAddress(data.icao)) };
    case 'counters': return { status: 'OK', stats: sim.counterTable() };
    case 'chart': return { status: 'OK', stats: sim.chart() };
    case 'df': return { status: 'OK', stats: sim.dfStats() };
    case 'polarDistances': return { status: 'OK', stats: sim.polarDistances() };
    case 'ver': return { status: 'OK', stats: { version: 'v.20170127' } };
    case 'log':
      if (!isIndex(data.index)) return { status: 'ERROR', message: 'Invalid index' };
      return { status: 'OK', stats: sim.logSince(Number(data.index)) };
    case 'tracks':
    case 'track':
      return { status: 'ERROR', message: 'Not simulated here' };
    default:
      return { status: 'ERROR', message: 'Invalid stats type' };
  }
}

function createServer(options) {
  const root = path.resolve(options.root);
  const countries = countryRows(fs.readFileSync(path.join(__dirname, '..', 'decode/icao_country.cpp'), 'utf8'));
  const sim = new Simulation({ metric: options.metric, expire: options.expire, countries });
  let restartAt = options.restartEvery ? Date.now() + options.restartEvery * 1000 : Infinity;
  const requests = [];

  function answerJson(body) {
    let request;
    try {
      request = JSON.parse(body);
    } catch (e) {
      return { status: 'ERROR', message: "Can't parse json " + e.message };
    }
    if (!request || typeof request.req !== 'string') return { status: 'ERROR', message: "Can't get request name No such node (req)" };
    if (Date.now() >= restartAt) {
      sim.reset();
      restartAt = Date.now() + options.restartEvery * 1000;
    }
    switch (request.req) {
      case 'getStats': return getStats(sim, request.data);
      case 'googleKey':
        return options.googleKey ? { status: 'OK', key: options.googleKey } : { status: 'ERROR', message: 'No Google Maps API key provided' };
      case 'api':
        if (options.api) return apiAnswer(request.data);
        return { status: 'ERROR', message: 'Unknown request name' };
      default:
        return { status: 'ERROR', message: 'Unknown request name' };
    }
  }

  const server = http.createServer((req, res) => {
    const url = decodeURIComponent(req.url.split('?')[0]);
    if (url === '/json') {
      let body = '';
      req.on('data', (c) => { body += c; });
      req.on('end', () => {
        let parsed;
        try { parsed = JSON.parse(body); } catch (e) { parsed = null; }
        requests.push(parsed);
        if (requests.length > 5000) requests.shift();
        const text = tinyJson(answerJson(body));
        res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
        res.end(text);
      });
      return;
    }
    let name = url.replace(/^\/+/, '') || 'index.html';
    const file = path.join(root, name);
    if (!file.startsWith(root + path.sep) || (req.method !== 'GET' && req.method !== 'HEAD')) {
      res.writeHead(404, { 'Content-Type': 'text/plain' });
      res.end('Not Found');
      return;
    }
    fs.readFile(file, (err, data) => {
      if (err) {
        res.writeHead(404, { 'Content-Type': 'text/plain' });
        res.end('Not Found');
        return;
      }
      res.writeHead(200, { 'Content-Type': mimeType(name), 'Content-Length': data.length });
      res.end(req.method === 'HEAD' ? undefined : data);
    });
  });
  server.requests = requests;
  server.sim = sim;
  return server;
}

function parseArgs(argv) {
  const o = { port: 8080, root: path.join(__dirname, '..', 'build/webroot'), api: false, metric: false, googleKey: '', restartEvery: 0, expire: 180 };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--port') o.port = Number(argv[++i]);
    else if (a === '--root') o.root = argv[++i];
    else if (a === '--api') o.api = true;
    else if (a === '--metric') o.metric = true;
    else if (a === '--google-key') o.googleKey = argv[++i];
    else if (a === '--restart-every') o.restartEvery = Number(argv[++i]);
    else if (a === '--expire') o.expire = Number(argv[++i]);
    else throw new Error('unknown option ' + a);
  }
  return o;
}

if (require.main === module) {
  const options = parseArgs(process.argv.slice(2));
  if (!fs.existsSync(path.join(options.root, 'index.html'))) {
    console.error('No web root at ' + options.root + ': run webclient/build.sh first');
    process.exit(1);
  }
  createServer(options).listen(options.port, '127.0.0.1', () => {
    console.log('Serving ' + options.root + ' on http://127.0.0.1:' + options.port + '/');
  });
}

module.exports = { createServer, parseArgs, apiAnswer };
