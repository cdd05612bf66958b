// The info window of the selected aircraft: identity, pictures, route and every known value.
(function (root) {
  'use strict';
  const { el, esc, known, num, fmtInt, fmtFixed, fmtTime, fmtAgo } = root.VelkaroUi;

  const DASH = '—';
  const FT_TO_M = 0.3048;
  const KT_TO_KMH = 1.852;
  const FPM_TO_MS = 0.00508;

  const yesNo = (v) => (v === true ? 'yes' : v === false ? 'no' : '');
  const deg = (v) => (num(v) === null ? '' : Math.round(num(v)) + '°');

  function altitudeText(r) {
    if (r.onGround === true && !known(r.altitude)) return 'on the ground';
    const a = num(r.altitude);
    if (a === null) return '';
    if (a <= -10000) return 'on the ground';
    return fmtInt(a) + ' ft · ' + fmtInt(a * FT_TO_M) + ' m';
  }

  function speedText(v) {
    const s = num(v);
    return s === null ? '' : fmtInt(s) + ' kt · ' + fmtInt(s * KT_TO_KMH) + ' km/h';
  }

  function vspeedText(v) {
    const s = num(v);
    if (s === null) return '';
    const sign = s > 0 ? '+' : '';
    return sign + fmtInt(s) + ' ft/min · ' + sign + (s * FPM_TO_MS).toFixed(1) + ' m/s';
  }

  function categoryText(r) {
    const set = num(r.cat);
    const cat = num(r.cat2);
    if (set === null || cat === null) return '';
    const letter = { 1: 'D', 2: 'C', 3: 'B', 4: 'A' }[set];
    return letter ? letter + cat : set + '/' + cat;
  }

  const hundredsFt = (v) => (num(v) === null ? '' : fmtInt(num(v) * 100) + ' ft');
  const unit = (u, digits) => (v) => (num(v) === null ? '' : (digits === undefined ? fmtInt(v) : fmtFixed(v, digits)) + ' ' + u);

  // Label, and the text of the value (empty when unknown).
  const MAIN_ROWS = [
    ['Squawk', (r) => (known(r.squawk) ? String(r.squawk).padStart(4, '0') : '')],
    ['Altitude', altitudeText],
    ['Ground speed', (r) => speedText(r.speed)],
    ['Vertical rate', (r) => vspeedText(r.vspeed)],
    ['Track', (r) => (known(r.track) ? deg(r.track) + (known(r.magneticTrack) ? ' (' + deg(r.magneticTrack) + ' magnetic)' : '') : '')],
    ['Position', (r) => (known(r.lat) && known(r.lon) ? fmtFixed(r.lat, 5) + ', ' + fmtFixed(r.lon, 5) : '')],
    ['Distance', (r, m) => (num(r.distance) === null ? '' : fmtFixed(r.distance, 1) + (m ? ' km' : ' NM'))],
    ['Bearing', (r) => deg(r.azimuth)],
    ['Signal', (r) => (known(r.signalLevel) ? String(r.signalLevel) : '')],
    ['Messages', (r) => fmtInt(r.count)],
    ['ADS-B', (r) => yesNo(r.adsb)],
    ['On the ground', (r) => yesNo(r.onGround)],
    ['First seen', (r) => fmtTime(r.firstSeen)],
    ['Last seen', (r) => (known(r.lastSeen) ? fmtTime(r.lastSeen) + ' (' + fmtAgo(r.lastSeen) + ' ago)' : '')],
  ];

  const AIRCRAFT_ROWS = [
    ['Registration', (r) => r.registration],
    ['Type', (r) => [r.manufacturer, r.type].filter(known).join(' ')],
    ['ICAO type', (r) => r.icaoTypeCode],
    ['Popular name', (r) => r.popularName],
    ['Class', (r) => r.aircraftClass],
    ['Engines', (r) => r.engines],
    ['Serial number', (r) => r.serialNo],
    ['Year built', (r) => r.yearBuilt],
    ['Owner', (r) => r.registeredOwners],
    ['Operator', (r) => r.operatorFlagCode],
    ['Country', (r) => r.country],
    ['Times seen', (r) => r.seen],
    ['Notes', (r) => [r.userNotes, r.userTag].filter(known).join(' · ')],
  ];

  const DATA_ROWS = [
    ['Category', categoryText],
    ['Indicated airspeed', (r) => unit('kt')(r.ias)],
    ['True airspeed', (r) => unit('kt')(r.tas)],
    ['Mach', (r) => (num(r.mach) === null ? '' : (num(r.mach) / 1000).toFixed(3))],
    ['Heading', (r) => deg(r.hdg)],
    ['Selected altitude (MCP/FCU)', (r) => hundredsFt(r.mcp)],
    ['Selected altitude (FMS)', (r) => hundredsFt(r.fms)],
    ['Selected heading', (r) => deg(r.thdg)],
    ['Target track', (r) => deg(r.ttrk)],
    ['QNH', (r) => unit('hPa')(r.qnh)],
    ['Wind', (r) => (known(r.wdir) && known(r.wspd) ? deg(r.wdir) + ' / ' + fmtInt(r.wspd) + ' kt' : '')],
    ['Temperature', (r) => unit('°C', 1)(r.temp)],
    ['Roll angle', (r) => unit('°', 1)(r.ra)],
    ['Track rate', (r) => unit('°/s', 2)(r.tr)],
    ['GNSS height difference', (r) => unit('ft')(r.gnss)],
    ['Autopilot', (r) => yesNo(r.ap)],
    ['VNAV', (r) => yesNo(r.vnav)],
    ['Altitude hold', (r) => yesNo(r.ahold)],
    ['Approach', (r) => yesNo(r.appr)],
    ['TCAS operational', (r) => (known(r.tcas) ? (Number(r.tcas) ? 'yes' : 'no') : '')],
    ['Resolution advisory', (r) => yesNo(r.tcasr)],
    ['Emergency', (r) => yesNo(r.pa)],
    ['Alert', (r) => yesNo(r.alrt)],
    ['SPI', (r) => yesNo(r.spi)],
    ['Flight status', (r) => (known(r.fs) ? String(r.fs) : '')],
    ['Capability', (r) => (known(r.ca) ? String(r.ca) : '')],
    ['NIC', (r) => (known(r.nic) ? String(r.nic) : '')],
    ['NUCr', (r) => (known(r.nucr) ? String(r.nucr) : '')],
    ['Interrogator', (r) => (known(r.iis) ? (Number(r.iis) >= 16 ? 'SI ' + (Number(r.iis) - 16) : 'II ' + r.iis) : '')],
    ['Sensitivity level', (r) => (known(r.sl) ? String(r.sl) : '')],
  ];

  function rowsHtml(rows, rec, metric, showUnknown) {
    let html = '';
    for (const [label, fn] of rows) {
      const v = fn(rec, metric);
      const text = known(v) ? String(v) : '';
      if (!text && !showUnknown) continue;
      html += '<tr><th>' + esc(label) + '</th><td' + (text ? '' : ' class="unknown"') + '>' + esc(text || DASH) + '</td></tr>';
    }
    return html;
  }

  // The first picture URL in a photo-service answer.
  function imageFromAnswer(data) {
    const list = data && Array.isArray(data.data) ? data.data : [];
    for (const item of list) {
      if (item && typeof item.image === 'string' && /^https?:\/\//.test(item.image)) return item.image;
    }
    return '';
  }

  function airportText(data) {
    if (!data || typeof data !== 'object') return 'No information';
    const parts = [data.name, data.location, data.country].filter((v) => typeof v === 'string' && v);
    return parts.length ? parts.join(', ') : 'No information';
  }

  class InfoView {
    constructor(node, options) {
      this.node = node;
      this.rpc = options.rpc;
      this.onClose = options.onClose;
      this.icao = null;
      this.images = new Map(); // icao -> picture URL from the photo service ('' when none)
      this.airports = new Map(); // code -> tooltip text, or null while asked
      this.keys = {};
      this.build();
    }

    build() {
      this.flag = el('img', { class: 'flag', alt: '', width: 20, height: 16 });
      this.title = el('h2');
      this.subtitle = el('div', { class: 'subtitle' });
      const close = el('button', { type: 'button', class: 'close', title: 'Close', 'aria-label': 'Close', onclick: () => this.onClose() }, '×');
      this.media = el('div', { class: 'media' });
      this.route = el('div', { class: 'route' });
      this.main = el('tbody');
      this.aircraft = el('tbody');
      this.data = el('tbody');
      this.node.append(
        el('div', { class: 'info-head' }, [this.flag, el('div', { class: 'info-title' }, [this.title, this.subtitle]), close]),
        this.media, this.route,
        el('table', { class: 'kv' }, this.main),
        el('details', { open: true }, [el('summary', { text: 'Aircraft' }), el('table', { class: 'kv' }, this.aircraft)]),
        el('details', {}, [el('summary', { text: 'Data items' }), el('table', { class: 'kv' }, this.data)]));
    }

    // rec: the selected record, or null to hide the window.
    show(rec, metric) {
      if (!rec) {
        this.node.hidden = true;
        this.icao = null;
        return;
      }
      this.node.hidden = false;
      if (rec.icao !== this.icao) {
        this.icao = rec.icao;
        this.keys = {};
        if (!known(rec.aurl)) this.askImage(rec.icao);
      }
      this.set('flag', rec.countryFlag || '', (v) => {
        this.flag.hidden = !v;
        if (v) this.flag.src = v;
        this.flag.title = rec.modesCountry || '';
      });
      this.title.textContent = known(rec.callsign) ? String(rec.callsign) : String(rec.icao);
      this.subtitle.textContent = [String(rec.icao), rec.registration, rec.icaoTypeCode, rec.modesCountry].filter(known).join(' · ');
      const picture = known(rec.aurl) ? String(rec.aurl) : this.images.get(rec.icao) || '';
      const silhouette = known(rec.surl) ? String(rec.surl) : '';
      this.set('media', picture + '|' + silhouette, () => this.renderMedia(picture, silhouette));
      this.set('route', known(rec.route) ? String(rec.route) : '', (v) => this.renderRoute(v));
      this.set('main', rowsHtml(MAIN_ROWS, rec, metric, true), (v) => { this.main.innerHTML = v; });
      this.set('aircraft', rowsHtml(AIRCRAFT_ROWS, rec, metric, false) || '<tr><td class="unknown">No database entry</td></tr>', (v) => { this.aircraft.innerHTML = v; });
      this.set('data', rowsHtml(DATA_ROWS, rec, metric, false) || '<tr><td class="unknown">None received</td></tr>', (v) => { this.data.innerHTML = v; });
    }

    set(key, value, apply) {
      if (this.keys[key] === value) return;
      this.keys[key] = value;
      apply(value);
    }

    renderMedia(picture, silhouette) {
      this.media.textContent = '';
      if (picture) {
        const img = el('img', { class: 'photo', alt: 'Aircraft picture', src: picture, referrerpolicy: 'no-referrer' });
        img.addEventListener('error', () => img.remove());
        this.media.appendChild(img);
      }
      if (silhouette) {
        const img = el('img', { class: 'silhouette', alt: 'Type silhouette', src: silhouette });
        img.addEventListener('error', () => img.remove());
        this.media.appendChild(img);
      }
      this.media.hidden = !picture && !silhouette;
    }

    renderRoute(route) {
      this.route.textContent = '';
      this.route.hidden = !route;
      if (!route) return;
      const codes = route.split('-').map((c) => c.trim()).filter(Boolean);
      codes.forEach((code, i) => {
        if (i) this.route.appendChild(el('span', { class: 'route-arrow' }, '→'));
        const span = el('span', { class: 'airport', tabindex: 0, 'data-tip': this.airports.get(code) || code }, code);
        const ask = () => this.askAirport(code, span);
        span.addEventListener('mouseenter', ask);
        span.addEventListener('focus', ask);
        this.route.appendChild(span);
      });
    }

    askImage(icao) {
      this.images.set(icao, '');
      this.rpc.request('api', { api: 'image', q: icao.toUpperCase() })
        .then((answer) => {
          this.images.set(icao, imageFromAnswer(answer.data));
          this.keys.media = null; // redraw on the next update
        })
        .catch(() => {});
    }

    askAirport(code, span) {
      if (this.airports.has(code)) {
        const text = this.airports.get(code);
        if (text) span.dataset.tip = text;
        return;
      }
      this.airports.set(code, null);
      span.dataset.tip = code + ' …';
      this.rpc.request('api', { api: 'airport', q: code.toUpperCase() })
        .then((answer) => airportText(answer.data))
        .catch((e) => {
          if (!root.VelkaroRpc.isBusy(e)) return e.message;
          this.airports.delete(code); // asked again when the pointer comes back
          return root.VelkaroRpc.BUSY_TEXT;
        })
        .then((text) => {
          this.airports.set(code, code + ': ' + text);
          span.dataset.tip = code + ': ' + text;
        });
    }
  }

  root.VelkaroInfoView = { InfoView, imageFromAnswer, airportText };
})(self);
