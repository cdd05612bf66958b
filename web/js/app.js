// The page's model: aircraft records built from the incremental "flights" answers, and the
// small pure helpers the views share. No DOM here, so it runs under node for the tests.
(function (root) {
  'use strict';

  const RESET_AFTER_MS = 20000;

  // Short keys of the aircraft answers -> property names of a record.
  const KEYS = {
    R: 'isRemove', A: 'altitude', SQ: 'squawk', S: 'speed', V: 'vspeed', T: 'track',
    AZ: 'azimuth', D: 'distance', G: 'onGround', LA: 'lat', LO: 'lon', CS: 'callsign',
    C: 'count', L: 'signalLevel', AB: 'adsb', F: 'firstSeen', Z: 'lastSeen', Y: 'isHide',
    MC: 'modesCountry', CY: 'country', RG: 'registration', MF: 'manufacturer',
    ITC: 'icaoTypeCode', TY: 'type', SN: 'serialNo', PN: 'popularName', GN: 'genericName',
    AC: 'aircraftClass', E: 'engines', OS: 'ownershipStatus', RO: 'registeredOwners',
    MW: 'mtow', YB: 'yearBuilt', UN: 'userNotes', UT: 'userTag', IU: 'infoUrl',
    OF: 'operatorFlagCode', FR: 'route', SEE: 'seen', AURL: 'aurl', SURL: 'surl',
    FSYNC: 'fsync', TAM: 'trackAmendment', CFL: 'countryFlag',
    CAT: 'cat', CAT2: 'cat2', FS: 'fs', CA: 'ca', CF: 'cf', DR: 'dr', UM: 'um', NIC: 'nic',
    NUCR: 'nucr', MBIT: 'mbit', QBIT: 'qbit', GNSS: 'gnss', VSRC: 'vsrc', AST: 'ast',
    IAS: 'ias', TAS: 'tas', PA: 'pa', ACAS: 'acas', ALRT: 'alrt', SPI: 'spi', IC: 'ic',
    IIS: 'iis', SSC: 'ssc', IFR: 'ifr', TS: 'ts', RI: 'ri', CC: 'cc', PS: 'ps', SL: 'sl',
    WD: 'wdir', WS: 'wspd', TEMP: 'temp', PRS: 'pressure', MCP: 'mcp', MCPS: 'mcps',
    FMS: 'fms', QNH: 'qnh', FCU: 'fcu', RA: 'ra', TR: 'tr', HAE: 'hae', HAB: 'hab',
    MACH: 'mach', HDG: 'hdg', HRD: 'hrd', THDG: 'thdg', TTRK: 'ttrk', AP: 'ap',
    VNAV: 'vnav', AHOLD: 'ahold', APPR: 'appr', TCAS: 'tcas', TCASR: 'tcasr', TAT: 'tat',
    VMI: 'vmi', HDA: 'hda', HMI: 'hmi',
  };

  function isKnown(v) {
    return v !== undefined && v !== null && v !== '';
  }

  function normalizeDegrees(d) {
    const r = d % 360;
    return r < 0 ? r + 360 : r;
  }

  // State of the "flights" poller: the table serial seen last, the trail serial of the selected
  // aircraft, the program's start time, and the records.
  class FlightState {
    constructor() {
      this.startupTime = undefined;
      this.lastAccepted = null;
      this.selected = null;
      this.open = null;
      this.metric = false;
      this.clear();
    }

    clear() {
      this.epoch = 0;
      this.trackEpoch = 0;
      this.records = new Map();
    }

    select(icao) {
      const next = icao || null;
      if (next === this.selected) return;
      this.selected = next;
      this.trackEpoch = 0; // the newly selected aircraft needs its whole trail
    }

    // The parameters of the next request, or null while one is still open (the tick is skipped).
    nextRequest(now) {
      if (this.open) return null;
      if (this.lastAccepted !== null && now - this.lastAccepted > RESET_AFTER_MS) {
        this.clear();
        this.lastAccepted = null;
      }
      const data = { statsType: 'flights', id: this.epoch };
      if (this.selected) {
        data.icao = this.selected;
        data.tid = this.trackEpoch;
      }
      this.open = { id: this.epoch, icao: this.selected, fullTrack: !!this.selected && this.trackEpoch === 0 };
      return data;
    }

    failed() {
      this.open = null;
    }

    // Applies one answer ("stats" of the reply). Returns true when the records changed.
    accept(stats, now) {
      const asked = this.open;
      this.open = null;
      if (!asked || !stats || typeof stats !== 'object') return false;
      if (!('flights' in stats) || !('epoch' in stats) || !('s' in stats)) return false;
      if (this.epoch !== asked.id) return false;
      this.lastAccepted = now;
      const epoch = Number(stats.epoch);
      if (stats.s !== this.startupTime || this.epoch > epoch) {
        this.startupTime = stats.s;
        this.clear();
        if (asked.id !== 0) return true;
      }
      // A trail asked for an aircraft that is no longer the selected one says nothing about
      // the trail of the one selected now.
      const fullTrack = asked.fullTrack && asked.icao === this.selected;
      this.epoch = epoch;
      if (this.trackEpoch !== 0 || fullTrack) this.trackEpoch = epoch;
      this.metric = stats.M === true;
      const list = Array.isArray(stats.flights) ? stats.flights : [];
      for (const element of list) {
        if (element && typeof element === 'object' && 'I' in element) this.update(element, fullTrack);
      }
      const sel = this.selected && this.records.get(this.selected);
      if (sel && sel.fsync === true) this.trackEpoch = 0;
      return true;
    }

    update(element, fullTrack) {
      const icao = String(element.I);
      let rec = this.records.get(icao);
      if (!rec) {
        rec = { icao, adsb: false };
        this.records.set(icao, rec);
      }
      for (const key in element) {
        const name = KEYS[key];
        if (!name) continue;
        if (element[key] === '') delete rec[name];
        else rec[name] = element[key];
      }
      if (!('FSYNC' in element)) rec.fsync = false;
      if ('TRACK' in element) {
        rec.TRACK = Array.isArray(element.TRACK) ? element.TRACK : [];
        rec.fullTrack = fullTrack;
      } else {
        delete rec.TRACK;
      }
      if (isKnown(rec.track) && isKnown(rec.trackAmendment)) {
        rec.magneticTrack = normalizeDegrees(Number(rec.track) - Number(rec.trackAmendment));
      } else {
        delete rec.magneticTrack;
      }
      if (rec.isRemove === true) {
        this.records.delete(icao);
        if (this.selected === icao) this.select(null);
      }
    }
  }

  // Whether the map can place the aircraft.
  function isDrawable(rec) {
    if (!isKnown(rec.lat) || !isKnown(rec.lon) || rec.isHide === true) return false;
    return isKnown(rec.altitude) || rec.onGround === true || rec.cf === 0 || rec.cf === 1;
  }

  // Trail colour by altitude in feet.
  const COLOUR_STOPS = [
    [300, [255, 255, 0]], [9240, [0, 255, 0]], [18180, [0, 255, 255]],
    [27120, [0, 0, 255]], [36060, [255, 0, 255]], [45000, [255, 0, 0]],
  ];

  function hex2(n) {
    return n.toString(16).padStart(2, '0');
  }

  function altitudeColor(altitude) {
    const a = Number(altitude);
    if (!Number.isFinite(a)) return '#888888';
    if (a <= -10000) return '#000000';
    if (a < 300) return '#ffff00';
    if (a >= 45000) return '#ff0000';
    for (let i = 1; i < COLOUR_STOPS.length; i++) {
      const [hi, c1] = COLOUR_STOPS[i];
      if (a < hi) {
        const [lo, c0] = COLOUR_STOPS[i - 1];
        const f = (a - lo) / (hi - lo);
        return '#' + c0.map((c, k) => hex2(Math.round(c + (c1[k] - c) * f))).join('');
      }
    }
    return '#ff0000';
  }

  // The 360 points of the coverage outline; bearings without a contact sit on the receiver.
  function coverageOutline(polarDistances, receiver) {
    const list = Array.isArray(polarDistances) ? polarDistances : [];
    return list.map((p) => (Array.isArray(p) && p.length === 2 &&
      Number.isFinite(Number(p[0])) && Number.isFinite(Number(p[1]))
      ? [Number(p[0]), Number(p[1])] : [receiver[0], receiver[1]]));
  }

  // Lines of outside texts arrive as the two characters backslash and "n".
  function splitMetar(data) {
    const text = String(data);
    const pieces = text.split('\\n');
    return { raw: pieces.length > 1 ? pieces[1].trim() : '', line: text.split('\\n').join(' ').trim() };
  }

  // Line feeds between the tokens of a JSON text arrive as backslash-n too, where JSON does not
  // allow them; inside strings the same two characters are JSON's own newline escape.
  function relaxedJson(text) {
    let out = '';
    let inString = false;
    for (let i = 0; i < text.length; i++) {
      const c = text[i];
      if (inString) {
        out += c;
        if (c === '\\') out += text[++i] || '';
        else if (c === '"') inString = false;
      } else if (c === '\\' && text[i + 1] === 'n') {
        out += ' ';
        i++;
      } else {
        if (c === '"') inString = true;
        out += c;
      }
    }
    return out;
  }

  // The NOTAM service answers a JSON document, which reaches the page as text.
  function parseNotams(text) {
    try {
      const doc = JSON.parse(relaxedJson(String(text)));
      if (doc && Array.isArray(doc.notamList)) return doc.notamList;
    } catch (e) {
      // not JSON: the caller shows the text as it is
    }
    return null;
  }

  // The log panel's lines: [sequence number, level, line], the newest 300.
  class LogBuffer {
    constructor(limit) {
      this.limit = limit || 300;
      this.lines = [];
      this.index = 0;
    }
    append(answer) {
      if (!Array.isArray(answer)) return [];
      const added = [];
      for (const entry of answer) {
        if (!Array.isArray(entry) || entry.length < 3) continue;
        const line = { seq: Number(entry[0]), level: Number(entry[1]), text: String(entry[2]) };
        this.lines.push(line);
        added.push(line);
        if (Number.isFinite(line.seq)) this.index = line.seq;
      }
      if (this.lines.length > this.limit) this.lines.splice(0, this.lines.length - this.limit);
      return added;
    }
  }

  // Rates from successive counter answers.
  class RateMeter {
    constructor() {
      this.last = null;
    }
    update(value, now) {
      const v = Number(value);
      if (!Number.isFinite(v)) return null;
      const prev = this.last;
      this.last = { v, now };
      if (!prev || now <= prev.now || v < prev.v) return null;
      return ((v - prev.v) * 1000) / (now - prev.now);
    }
  }

  const DF_NAMES = {
    0: 'Short air-air surveillance (ACAS)', 4: 'Surveillance, altitude reply',
    5: 'Surveillance, identity reply', 11: 'All-call reply', 16: 'Long air-air surveillance (ACAS)',
    17: 'Extended squitter', 18: 'Extended squitter, non-transponder',
    19: 'Military extended squitter', 20: 'Comm-B, altitude reply', 21: 'Comm-B, identity reply',
    22: 'Military use', 24: 'Comm-D, extended length message',
  };

  function dfName(df) {
    return DF_NAMES[df] || (df > 24 ? DF_NAMES[24] : 'Downlink format ' + df);
  }

  function typeCodeName(tc) {
    if (tc === 0) return 'No position information';
    if (tc >= 1 && tc <= 4) return 'Identification and category';
    if (tc >= 5 && tc <= 8) return 'Surface position';
    if (tc >= 9 && tc <= 18) return 'Airborne position (barometric altitude)';
    if (tc === 19) return 'Airborne velocity';
    if (tc >= 20 && tc <= 22) return 'Airborne position (GNSS height)';
    if (tc === 23) return 'Test message';
    if (tc === 24) return 'Surface system status';
    if (tc === 28) return 'Aircraft status';
    if (tc === 29) return 'Target state and status';
    if (tc === 31) return 'Aircraft operational status';
    return 'Reserved';
  }

  const COUNTER_NAMES = {
    TOTAL_MSG: 'Messages decoded', MODEAC_MSG: 'Mode A/C replies', MODES_MSG: 'Mode S messages',
    MODES_SHORT: 'Mode S short', MODES_LONG: 'Mode S long', ADSB_MSG: 'ADS-B messages',
    OUTPUT_BYTES: 'Bytes sent to feeds', OUTPUT_POSITIONS: 'Positions decoded',
    ADSB_NONE: 'ADS-B other', ADSB_NOPOSITION: 'ADS-B without position',
    ADSB_IDENT: 'ADS-B identification', ADSB_SPOS: 'ADS-B surface positions',
    ADSB_APOS: 'ADS-B airborne positions', ADSB_SPEED: 'ADS-B velocities',
    ADSB_STATUS: 'ADS-B aircraft status', ADSB_TSTATE: 'ADS-B target state',
    ADSB_ASTATUS: 'ADS-B operational status', FLIGHTS_MODES: 'Aircraft in view, Mode S',
    FLIGHTS_ADSB: 'Aircraft in view, ADS-B', STARTUP_TIME: 'Started',
    RECEIVER_LAT: 'Receiver latitude', RECEIVER_LON: 'Receiver longitude',
    REFPOINT_LAT: 'Reference latitude', REFPOINT_LON: 'Reference longitude',
    REFPOINT_LABEL: 'Reference point',
  };

  function counterName(key) {
    return COUNTER_NAMES[key] || key;
  }

  // "UTC+2", "UTC-5", "UTC+5:30" from a Date's offset.
  function zoneLabel(date) {
    const off = -date.getTimezoneOffset();
    const sign = off < 0 ? '-' : '+';
    const abs = Math.abs(off);
    const h = Math.floor(abs / 60);
    const m = abs % 60;
    return 'UTC' + sign + h + (m ? ':' + String(m).padStart(2, '0') : '');
  }

  function hhmm(h, m) {
    return String(h).padStart(2, '0') + ':' + String(m).padStart(2, '0');
  }

  const api = {
    KEYS, FlightState, isDrawable, altitudeColor, coverageOutline, splitMetar, LogBuffer,
    RateMeter, parseNotams, relaxedJson, dfName, typeCodeName, counterName, zoneLabel, hhmm, isKnown, normalizeDegrees,
    RESET_AFTER_MS,
  };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.VelkaroApp = api;
})(typeof self !== 'undefined' ? self : this);
