'use strict';
// A small simulated receiver for the development server: a dozen aircraft around Amsterdam, the
// aircraft table with its update serial and the staleness rules of the "flights" answers, and
// the statistics the other answers read.
const { float8, double17 } = require('./tiny-json');

const RECEIVER = [52.3086, 4.7639];
const R_EARTH = 6371000;
const STALE_AFTER = 30;
const HIDE_AFTER = 25;
const rad = (d) => (d * Math.PI) / 180;
const deg = (r) => (r * 180) / Math.PI;

function distance(a, b) {
  const dlat = rad(b[0] - a[0]);
  const dlon = rad(b[1] - a[1]);
  const h = Math.sin(dlat / 2) ** 2 + Math.cos(rad(a[0])) * Math.cos(rad(b[0])) * Math.sin(dlon / 2) ** 2;
  return 2 * R_EARTH * Math.asin(Math.min(1, Math.sqrt(h)));
}

function bearing(a, b) {
  const y = Math.sin(rad(b[1] - a[1])) * Math.cos(rad(b[0]));
  const x = Math.cos(rad(a[0])) * Math.sin(rad(b[0])) - Math.sin(rad(a[0])) * Math.cos(rad(b[0])) * Math.cos(rad(b[1] - a[1]));
  return (deg(Math.atan2(y, x)) + 360) % 360;
}

function move(p, trackDeg, metres) {
  const d = metres / R_EARTH;
  const t = rad(trackDeg);
  const lat1 = rad(p[0]);
  const lat2 = Math.asin(Math.sin(lat1) * Math.cos(d) + Math.cos(lat1) * Math.sin(d) * Math.cos(t));
  const lon2 = rad(p[1]) + Math.atan2(Math.sin(t) * Math.sin(d) * Math.cos(lat1), Math.cos(d) - Math.sin(lat1) * Math.sin(lat2));
  return [deg(lat2), ((deg(lon2) + 540) % 360) - 180];
}

// Country rows of the program's table: [first, last, name, flag].
function countryRows(tableSource) {
  const rows = [];
  const re = /\{\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)\s*,\s*"([^"]*)"\s*,\s*"([^"]*)"\s*\}/g;
  let m;
  while ((m = re.exec(tableSource)) !== null) rows.push([parseInt(m[1], 16), parseInt(m[2], 16), m[3], m[4]]);
  return rows;
}

// A value with the serial of its last change, its last update and the serial it went stale at.
class Tracked {
  constructor() {
    this.value = undefined;
    this.changed = 0;
    this.updated = 0;
    this.stale = 0;
  }
  set(value, serial, now) {
    if (this.changed === 0 || value !== this.value) {
      this.value = value;
      this.changed = serial;
    }
    this.updated = now;
    this.stale = 0;
  }
  // The key's text for a request of serial `since`, undefined when nothing is written.
  emit(since, serial, now) {
    if (this.changed !== 0) {
      if (now - this.updated <= STALE_AFTER) {
        if (since < this.changed) return this.value;
      } else if (this.stale === 0) {
        this.stale = serial;
      }
    }
    if (this.stale !== 0 && this.stale >= since) return '';
    return undefined;
  }
}

class Plain {
  constructor() {
    this.value = undefined;
    this.changed = 0;
  }
  set(value, serial) {
    if (this.changed === 0 || value !== this.value) {
      this.value = value;
      this.changed = serial;
    }
  }
  emit(since) {
    return this.changed !== 0 && since < this.changed ? this.value : undefined;
  }
}

const MODE_S_ONLY = 0x4b1805;
const TRACKED = ['A', 'S', 'V', 'T', 'AZ', 'D', 'G', 'LA', 'LO', 'L'];
const PLAIN = ['SQ', 'C', 'AB', 'F', 'Z', 'CS', 'FR', 'R', 'Y'];
const INFO = ['MC', 'CY', 'RG', 'MF', 'ITC', 'TY', 'SN', 'PN', 'GN', 'AC', 'E', 'OS', 'RO', 'MW', 'YB', 'UN', 'UT', 'IU', 'OF', 'SEE', 'AURL', 'SURL'];

// Flights of the demo: address, callsign, start offset (NM, bearing), track, speed, altitude, climb.
const FLEET = [
  [0x484506, 'KLM1023', 18, 40, 235, 440, 35000, 0, { RG: 'PH-BXA', ITC: 'B738', TY: '737-8K2', MF: 'Boeing', RO: 'KLM Royal Dutch Airlines', FR: 'EHAM-LEMD' }],
  [0x4ca1fa, 'RYR4KP', 60, 200, 30, 430, 37000, 0, { RG: 'EI-DCL', ITC: 'B738', FR: 'LFPB-EHAM' }],
  [0x3c6544, 'DLH9AC', 35, 110, 290, 410, 24000, 1800, { RG: 'D-AIZC', ITC: 'A320', TY: 'A320-214', MF: 'Airbus', FR: 'EDDF-EHAM' }],
  [0x400123, 'BAW432', 80, 270, 95, 455, 33000, 0, { RG: 'G-EUUA', ITC: 'A320', FR: 'EGLL-EHAM' }],
  [0xa1b2c3, 'UAL71', 120, 300, 120, 480, 39000, 0, { RG: 'N76054', ITC: 'B763', FR: 'KEWR-EHAM' }],
  [0x484cb2, 'TRA6611', 9, 160, 60, 180, 3000, -900, { RG: 'PH-HSJ', ITC: 'B738' }],
  [0x4b1805, 'SWR739', 140, 150, 330, 460, 36000, 0, { RG: 'HB-JBB', ITC: 'BCS1' }],
  [0x45ac2d, 'SAS1550', 100, 45, 210, 450, 30000, -1200, { ITC: 'A20N' }],
  [0x06a0a2, 'QTR274', 190, 120, 300, 470, 38000, 0, { RG: 'A7-BEA', ITC: 'B77W' }],
  [0x780a52, 'CES219', 240, 70, 260, 490, 40000, 0, {}],
  [0x484123, 'KLM77Y', 1.2, 240, 180, 12, -10000, 0, { RG: 'PH-EXA', ITC: 'E75L' }],
];

class Aircraft {
  constructor(def, serial, now) {
    const [icao, cs, nm, brg, track, speed, alt, climb, info] = def;
    this.icao = icao;
    this.pos = move(RECEIVER, brg, nm * 1852);
    this.track = track;
    this.speed = speed;
    this.alt = alt;
    this.climb = climb;
    this.onGround = alt <= -10000;
    this.t = {};
    for (const k of TRACKED) this.t[k] = new Tracked();
    this.p = {};
    for (const k of PLAIN) this.p[k] = new Plain();
    this.info = {};
    this.fields = { IAS: new Tracked(), TAS: new Tracked(), MACH: new Tracked(), HDG: new Tracked(), QNH: new Tracked(), MCP: new Tracked(), CAT: new Tracked(), CAT2: new Tracked(), WD: new Tracked(), WS: new Tracked(), TEMP: new Tracked(), AP: new Tracked() };
    this.trail = [];
    this.trailRestart = serial;
    this.count = 0;
    this.lastSeen = now;
    this.silentFrom = null;
    this.p.F.set(now, serial);
    this.p.CS.set(cs, serial);
    this.p.SQ.set(icao === 0x484cb2 ? '0456' : String(1000 + (icao % 6000)).padStart(4, '0'), serial);
    for (const k in info) {
      if (k === 'FR') this.p.FR.set(info[k], serial);
      else {
        this.info[k] = new Plain();
        this.info[k].set(info[k], serial);
      }
    }
  }

  step(sim, dt, serial, now) {
    if (this.silentFrom !== null && now >= this.silentFrom) {
      const silent = now - this.lastSeen;
      if (silent > HIDE_AFTER) this.p.Y.set(true, serial);
      if (silent > sim.expire) this.p.R.set(true, serial);
      return false;
    }
    this.count += 3 + (this.icao % 5);
    this.lastSeen = now;
    if (!this.onGround) {
      this.pos = move(this.pos, this.track, this.speed * 0.514444 * dt);
      this.alt = Math.max(1000, Math.min(41000, this.alt + (this.climb * dt) / 60));
      if (this.icao === 0x484cb2) this.track = (this.track + 1.5 * dt) % 360; // circling
    }
    const t = this.t;
    const altitudeStops = this.icao === 0x3c6544 && sim.uptime(now) > 40; // goes stale after 30 s more
    if (!altitudeStops) t.A.set(float8(this.onGround ? -10000 : Math.round(this.alt / 25) * 25), serial, now);
    t.S.set(float8(Math.round(this.speed)), serial, now);
    t.V.set(float8(this.climb), serial, now);
    t.T.set(float8(Math.round(this.track * 10) / 10), serial, now);
    t.G.set(this.onGround ? 'true' : 'false', serial, now);
    if (this.icao !== MODE_S_ONLY) {
      t.LA.set(float8(this.pos[0]), serial, now);
      t.LO.set(float8(this.pos[1]), serial, now);
      t.D.set(float8(distance(RECEIVER, this.pos) * 0.0005399568), serial, now);
      t.AZ.set(float8(bearing(RECEIVER, this.pos)), serial, now);
      sim.countPosition(this.pos);
      if (this.trail.length === 0 || now % 5 === 0) {
        const gap = this.trail.length > 0 && now - this.trail[this.trail.length - 1].time > 15;
        this.trail.push({ lat: this.pos[0], lon: this.pos[1], alt: this.onGround ? -10000 : this.alt, gap, serial, time: now });
        if (this.trail.length > 500) this.trail.shift();
      }
    }
    t.L.set(String(120 + (this.icao % 90)), serial, now);
    this.p.C.set(String(this.count), serial);
    this.p.AB.set(this.icao === MODE_S_ONLY ? 'false' : 'true', serial);
    this.p.Z.set(now, serial);
    this.p.R.set(false, serial);
    this.p.Y.set(false, serial);
    const f = this.fields;
    f.CAT.set('4', serial, now);
    f.CAT2.set(this.speed > 300 ? '3' : '1', serial, now);
    f.IAS.set(String(Math.round(this.speed * 0.62)), serial, now);
    f.TAS.set(String(Math.round(this.speed * 1.02)), serial, now);
    f.MACH.set(String(Math.round(this.speed * 1.6)), serial, now);
    f.HDG.set(float8(this.track + 2.5), serial, now);
    f.QNH.set('1013', serial, now);
    f.MCP.set(String(Math.round(this.alt / 1000) * 10), serial, now);
    f.WD.set('250', serial, now);
    f.WS.set('42', serial, now);
    f.TEMP.set(float8(-56.5 + (41000 - this.alt) * 0.00198), serial, now);
    f.AP.set('true', serial, now);
    return true;
  }

  restartTrail(serial) {
    this.trail = this.trail.slice(-1).map((p) => Object.assign({}, p, { serial }));
    this.trailRestart = serial;
  }

  json(sim, since, serial, now, trailFrom) {
    const o = {};
    const put = (k, v) => { if (v !== undefined) o[k] = v; };
    put('SQ', this.p.SQ.emit(since));
    for (const k of ['A', 'S', 'V', 'T', 'AZ', 'D', 'G', 'LA', 'LO']) put(k, this.t[k].emit(since, serial, now));
    put('C', this.p.C.emit(since));
    put('AB', this.p.AB.emit(since));
    put('L', this.t.L.emit(since, serial, now));
    for (const k of ['F', 'Z', 'CS', 'FR']) put(k, this.p[k].emit(since));
    for (const k of INFO) if (this.info[k]) put(k, this.info[k].emit(since));
    for (const k in this.fields) put(k, this.fields[k].emit(since, serial, now));
    if (since !== 0 && since < this.trailRestart) o.FSYNC = 'true';
    put('R', this.p.R.emit(since));
    put('Y', this.p.Y.emit(since));
    if (trailFrom !== undefined) {
      o.TRACK = this.trail.filter((p) => p.serial >= trailFrom).map((p) => {
        const point = [p.lat.toFixed(5), p.lon.toFixed(5), String(Math.round(p.alt))];
        if (p.gap) point.push('U');
        return point;
      });
    }
    if (Object.keys(o).length) o.I = this.icao.toString(16).toUpperCase().padStart(6, '0');
    o.TAM = float8(2.1);
    const row = sim.country(this.icao);
    if (row && row[3]) o.CFL = '/img/flags/' + row[3];
    if (!('MC' in o) && row && row[2]) o.MC = row[2];
    return o;
  }
}

class Simulation {
  constructor(options) {
    this.metric = !!options.metric;
    this.expire = options.expire || 180;
    this.countries = options.countries || [];
    this.clock = options.clock || (() => Math.floor(Date.now() / 1000));
    this.reset();
  }

  reset() {
    this.start = this.clock();
    this.serial = 0;
    this.aircraft = new Map();
    this.df = new Array(32).fill(0);
    this.tc = new Array(32).fill(0);
    this.counters = {};
    this.hours = { msgs: new Array(24).fill(0), positions: new Array(24).fill(0) };
    this.polar = Array.from({ length: 6 }, () => new Array(36).fill(0));
    this.sectorMax = new Array(36).fill(0);
    this.farthest = Array.from({ length: 360 }, () => null);
    this.histogram = new Array(this.metric ? 550 : 300).fill(0);
    this.log = [];
    this.logLine(4, 'Velkaro v.20170127 started');
    this.logLine(4, 'HTTP server listening');
    this.lastStep = this.start;
    this.fleetIndex = 0;
  }

  uptime(now) {
    return now - this.start;
  }

  country(icao) {
    return this.countries.find((r) => icao >= r[0] && icao <= r[1]);
  }

  logLine(level, text) {
    const d = new Date();
    const stamp = d.toISOString().replace('T', ' ').slice(0, 19);
    this.log.push([this.log.length + 1, level, stamp + ' ' + ['', 'ERROR', 'WARNING', 'NOTICE', 'INFO', 'DEBUG'][level] + ' ' + text]);
    if (this.log.length > 1000) this.log.shift();
  }

  add(kind, n) {
    this.counters[kind] = (this.counters[kind] || 0) + n;
  }

  countPosition(pos) {
    const metresFactor = this.metric ? 0.001 : 0.0005399568;
    const d = distance(RECEIVER, pos) * metresFactor;
    const b = bearing(RECEIVER, pos);
    this.add('OUTPUT_POSITIONS', 1);
    this.hours.positions[new Date().getHours()]++;
    let x = b + 5;
    if (x >= 360) x -= 360;
    const sector = Math.floor(x * 0.1);
    const ring = Math.min(5, Math.floor(d * (this.metric ? 0.01 : 0.02)));
    this.polar[ring][sector]++;
    if (d > this.sectorMax[sector]) this.sectorMax[sector] = d;
    const n = Math.round(b);
    if (n <= 359 && (!this.farthest[n] || d > this.farthest[n][0])) this.farthest[n] = [d, pos[0], pos[1]];
    if (d < this.histogram.length) this.histogram[Math.floor(d)]++;
  }

  // Advances the simulation to the current second.
  tick() {
    const now = this.clock();
    while (this.lastStep < now) {
      this.lastStep++;
      this.stepOnce(this.lastStep);
    }
  }

  stepOnce(now) {
    if (this.fleetIndex < FLEET.length && this.uptime(now) >= this.fleetIndex * 2) {
      const def = FLEET[this.fleetIndex++];
      const a = new Aircraft(def, ++this.serial, now);
      this.aircraft.set(a.icao, a);
      this.logLine(5, 'New aircraft ' + a.icao.toString(16).toUpperCase().padStart(6, '0'));
      if (a.icao === 0x780a52) a.silentFrom = this.start + 70; // leaves: hidden, then its flight ends
    }
    this.serial++; // the sweep
    for (const a of this.aircraft.values()) {
      const serial = ++this.serial;
      if (a.icao === 0x4ca1fa && this.uptime(now) === 50) {
        a.restartTrail(serial);
        this.logLine(5, 'Trail restarted for 4CA1FA');
      }
      if (a.step(this, 1, serial, now)) {
        const msgs = 3 + (a.icao % 5);
        this.add('TOTAL_MSG', msgs);
        this.add('ADSB_MSG', msgs - 1);
        this.add('MODES_MSG', 1);
        this.add('MODES_SHORT', 1);
        this.add('ADSB_APOS', msgs - 2);
        this.add('ADSB_SPEED', 1);
        this.add('OUTPUT_BYTES', msgs * 23);
        this.df[17] += msgs - 1;
        this.df[a.icao % 2 ? 4 : 11] += 1;
        this.tc[11] += msgs - 2;
        this.tc[19] += 1;
        this.hours.msgs[new Date().getHours()] += msgs;
      }
    }
    if (now % 17 === 0) this.logLine(now % 34 === 0 ? 2 : 4, 'Statistics: ' + (this.counters.TOTAL_MSG || 0) + ' messages');
    for (const [icao, a] of this.aircraft) {
      if (a.silentFrom !== null && now - a.lastSeen > this.expire + 300) this.aircraft.delete(icao);
    }
  }

  // --- answers ("stats" content) ---

  flights(id, tid, icao) {
    this.tick();
    const now = this.clock();
    const since = id > this.serial ? 0 : id;
    this.serial++; // the sweep of the answer
    const list = [];
    for (const a of this.aircraft.values()) {
      const o = a.json(this, since, this.serial, now, icao && icao === a.icao ? tid : undefined);
      if (Object.keys(o).length) list.push(o);
    }
    return { M: this.metric ? 'true' : 'false', epoch: this.serial, flights: list, s: this.start };
  }

  counterTable() {
    this.tick();
    const now = this.clock();
    const c = Object.assign({}, this.counters);
    let modes = 0;
    let adsb = 0;
    for (const a of this.aircraft.values()) {
      if (now - a.lastSeen <= 24) {
        if (a.p.AB.value === 'true') adsb++;
        else modes++;
      }
    }
    c.FLIGHTS_MODES = modes;
    c.FLIGHTS_ADSB = adsb;
    c.STARTUP_TIME = this.start;
    if (this.uptime(now) >= 3) {
      c.RECEIVER_LAT = double17(RECEIVER[0]);
      c.RECEIVER_LON = double17(RECEIVER[1]);
    }
    c.REFPOINT_LAT = float8(52.3731);
    c.REFPOINT_LON = float8(4.8922);
    c.REFPOINT_LABEL = 'Amsterdam';
    return { counters: c, additionalPoints: [{ label: 'Zandvoort', lattitude: float8(52.3744), longtitude: float8(4.5331) }] };
  }

  chart() {
    this.tick();
    const distances = {};
    for (let i = 0; i < Math.min(500, this.histogram.length); i++) if (this.histogram[i]) distances[i] = this.histogram[i];
    const hours = { msgs: {}, positions: {} };
    for (let h = 0; h < 24; h++) {
      hours.msgs[h] = this.hours.msgs[h];
      hours.positions[h] = this.hours.positions[h];
    }
    const polar = { msgs: {}, distance: {} };
    for (let r = 0; r < 6; r++) {
      polar.msgs[r] = {};
      for (let s = 0; s < 36; s++) polar.msgs[r][s] = this.polar[r][s];
    }
    for (let s = 0; s < 36; s++) polar.distance[s] = float8(this.sectorMax[s]);
    return { M: this.metric ? 'true' : 'false', distances, hours, polar };
  }

  polarDistances() {
    this.tick();
    return { polarDistances: this.farthest.map((f) => (f && f[0] > 0 ? [f[1].toFixed(5), f[2].toFixed(5)] : {})) };
  }

  dfStats() {
    this.tick();
    const df = {};
    const adsb = {};
    for (let i = 0; i < 32; i++) {
      df[i] = this.df[i];
      adsb[i] = this.tc[i];
    }
    return { df, adsb };
  }

  logSince(index) {
    this.tick();
    return this.log.filter((l) => l[0] > index);
  }
}

module.exports = { Simulation, countryRows, RECEIVER };
