// The map: offline world outline under optional online tiles, the receiver with its range rings
// and coverage outline, reference points, the aircraft and the selected aircraft's trail.
(function (root) {
  'use strict';
  const { altitudeColor, isDrawable, isKnown } = root.VelkaroApp;
  const { getCookie, setCookie, esc } = root.VelkaroUi;

  const NM = 1852;
  const PLANE = 'M12 2.2c.7 0 1.1.9 1.2 2.1l.3 4.6 7.3 4.3v1.9l-7.3-2.2-.3 4.8 2.4 1.8v1.5L12 20.1l-3.6.9v-1.5l2.4-1.8-.3-4.8-7.3 2.2V13l7.3-4.3.3-4.6c.1-1.2.5-2.1 1.2-2.1z';
  // The receiver: a white badge with an antenna mast, a shape and colour no aircraft symbol has.
  const RECEIVER = '<svg viewBox="0 0 24 24"><rect x="1.5" y="1.5" width="21" height="21" rx="5" class="badge"/>' +
    '<path class="mast" d="M12 10.2 8.2 20h1.9l.7-2h2.4l.7 2h1.9L12 10.2zm-.6 6.2.6-1.8.6 1.8h-1.2z"/><circle class="mast" cx="12" cy="8.4" r="1.6"/>' +
    '<path class="waves" d="M8.3 4.8a5 5 0 0 0 0 7.2M15.7 4.8a5 5 0 0 1 0 7.2"/></svg>';

  function labelText(rec) {
    const name = isKnown(rec.callsign) ? String(rec.callsign) : String(rec.icao);
    const alt = Number(rec.altitude);
    if (rec.onGround === true || alt <= -10000) return name + ' · GND';
    return isKnown(rec.altitude) && Number.isFinite(alt) ? name + ' · ' + Math.round(alt / 100) : name;
  }

  function markerColour(rec) {
    if (rec.onGround === true) return altitudeColor(-10000);
    return isKnown(rec.altitude) ? altitudeColor(rec.altitude) : '#9ca3af';
  }

  const EMERGENCY = new Set(['7500', '7600', '7700']);
  function emergencyOf(rec) {
    const sq = isKnown(rec.squawk) ? String(rec.squawk).padStart(4, '0') : '';
    if (EMERGENCY.has(sq)) return sq;
    return rec.pa === true ? 'EMERG' : '';
  }

  // Online tiles that, once their server has failed, stop asking for a while (1 min, doubling
  // to 10 min) instead of failing again on every pan; the world outline shows meanwhile. While
  // the state is unknown only one tile is asked, so that an offline page fails once, not per tile.
  const RETRY_MIN_MS = 60000;
  const RETRY_MAX_MS = 600000;
  const QuietTiles = L.TileLayer.extend({
    initialize(url, options) {
      L.TileLayer.prototype.initialize.call(this, url, options);
      this.state = 'unknown';
      this.retryMs = 0;
      this.retryTimer = null;
      this.requests = 0;
    },
    createTile(coords, done) {
      if (this.state === 'online' || this.state === 'unknown') {
        const probe = this.state === 'unknown';
        if (probe) this.setState('probing');
        this.requests++;
        return L.TileLayer.prototype.createTile.call(this, coords, (err, tile) => {
          done(err, tile);
          if (err) this.failed();
          else if (this.state !== 'online') {
            this.retryMs = 0;
            this.setState('online');
            if (probe) this.redraw(); // the tiles left blank while probing
          }
        });
      }
      const blank = document.createElement('div');
      setTimeout(() => done(null, blank), 0);
      return blank;
    },
    failed() {
      if (this.state === 'offline') return;
      this.retryMs = Math.min(RETRY_MAX_MS, this.retryMs ? this.retryMs * 2 : RETRY_MIN_MS);
      this.setState('offline');
      clearTimeout(this.retryTimer);
      this.retryTimer = setTimeout(() => {
        this.setState('unknown');
        if (this._map) this.redraw();
      }, this.retryMs);
    },
    setState(state) {
      if (state === this.state) return;
      this.state = state;
      this.fire('statechange', { state });
    },
  });

  // Distances in NM show the scale in NM too.
  const Scale = L.Control.Scale.extend({
    setNautical(on) {
      this.nautical = on;
      if (this._map) this._update();
    },
    _updateMetric(maxMeters) {
      if (!this.nautical) {
        L.Control.Scale.prototype._updateMetric.call(this, maxMeters);
        return;
      }
      const maxNm = maxMeters / NM;
      const nm = maxNm >= 1 ? this._getRoundNum(maxNm) : [0.5, 0.2, 0.1, 0.05].find((v) => v <= maxNm) || 0.05;
      this._updateScale(this._mScale, nm + ' NM', nm / maxNm);
    },
  });

  const TILE_NAME = 'Online map tiles';

  class MapView {
    constructor(node, options) {
      this.node = node;
      this.onSelect = options.onSelect;
      this.card = options.card || null;
      this.userMovedAt = -Infinity;
      this.selectedIcao = null;
      this.labels = getCookie('mapLabels') === '1';
      this.markers = new Map();
      this.receiver = null;
      this.metric = null;
      this.placed = false;
      this.pointsMade = false;
      this.trail = { icao: null, points: [] };
      this.init();
    }

    init() {
      const lat = parseFloat(getCookie('mapLat'));
      const lon = parseFloat(getCookie('mapLon'));
      const zoom = parseInt(getCookie('mapZoom'), 10);
      const stored = Number.isFinite(lat) && Number.isFinite(lon) && Number.isFinite(zoom);
      const map = L.map(this.node, { preferCanvas: true, worldCopyJump: true, zoomSnap: 0.5, minZoom: 2, maxZoom: 18 });
      this.map = map;
      map.setView(stored ? [lat, lon] : [30, 0], stored ? zoom : 2);
      this.placed = stored;

      map.createPane('base').style.zIndex = 150; // below the tiles, so loaded tiles cover it
      const baseRenderer = L.canvas({ pane: 'base' });
      const world = root.VELKARO_WORLD || { land: [], borders: [] };
      L.polygon(world.land, { pane: 'base', renderer: baseRenderer, interactive: false, color: '#b8b2a7', weight: 0.6, fillColor: '#f4f1ea', fillOpacity: 1 }).addTo(map);
      L.polyline(world.borders, { pane: 'base', renderer: baseRenderer, interactive: false, color: '#c9c2b6', weight: 0.8 }).addTo(map);

      // Online tiles go on the map when it is first shown: a hidden map asks for none.
      this.tiles = new QuietTiles('https://tile.openstreetmap.org/{z}/{x}/{y}.png', {
        maxZoom: 19, attribution: '&copy; OpenStreetMap contributors', opacity: 0.9,
      });
      this.tilesAdded = false;

      this.ringLayer = L.layerGroup().addTo(map);
      this.coverage = L.polygon([], { color: '#64748b', weight: 1, fillColor: '#64748b', fillOpacity: 0.08, interactive: false }).addTo(map);
      this.pointLayer = L.layerGroup().addTo(map);
      this.trailLayer = L.layerGroup().addTo(map);
      this.headLine = L.polyline([], { weight: 2.5, interactive: false }).addTo(map);
      this.aircraftLayer = L.layerGroup().addTo(map);
      this.layersControl = L.control.layers(null, {
        [TILE_NAME]: this.tiles, 'Range rings': this.ringLayer, Coverage: this.coverage, Trail: this.trailLayer,
      }, { position: 'topright', collapsed: true }).addTo(map);
      this.tiles.on('statechange', () => this.showTileState());
      this.scale = new Scale({ position: 'bottomleft', imperial: false, maxWidth: 120 }).addTo(map);
      this.scale.setNautical(true);

      // A click on empty map, not on an aircraft, ends the selection.
      map.on('click', () => this.onSelect(null));
      map.on('dragstart zoomstart', () => { this.userMovedAt = performance.now(); });
      map.on('zoomend moveend', () => this.declutter());

      const remember = () => {
        if (!this.placed) return;
        const c = map.getCenter();
        setCookie('mapLat', c.lat.toFixed(5));
        setCookie('mapLon', c.lng.toFixed(5));
        setCookie('mapZoom', map.getZoom());
      };
      map.on('dragstart', () => { this.placed = true; });
      map.on('moveend', remember);
    }

    invalidate() {
      this.map.invalidateSize();
    }

    shown() {
      this.map.invalidateSize();
      if (!this.tilesAdded) {
        this.tilesAdded = true;
        this.tiles.addTo(this.map);
      }
      this.declutter();
    }

    showTileState() {
      const entry = this.layersControl._layers.find((l) => l.layer === this.tiles);
      if (!entry) return;
      entry.name = this.tiles.state === 'offline'
        ? TILE_NAME + ' <span class="tile-state">offline map</span>' : TILE_NAME;
      this.layersControl._update();
    }

    setLabels(on) {
      this.labels = on;
      setCookie('mapLabels', on ? '1' : '0');
      for (const entry of this.markers.values()) {
        entry.marker.unbindTooltip();
        entry.label = null;
        entry.permanent = undefined;
      }
    }

    setReceiver(lat, lon) {
      if (this.receiver && this.receiver[0] === lat && this.receiver[1] === lon) return;
      this.receiver = [lat, lon];
      if (!this.receiverMarker) {
        this.receiverMarker = L.marker(this.receiver, {
          icon: L.divIcon({ className: 'receiver-icon', html: RECEIVER, iconSize: [24, 24], iconAnchor: [12, 12] }),
          title: 'Receiver', zIndexOffset: -100,
        }).addTo(this.pointLayer);
      } else {
        this.receiverMarker.setLatLng(this.receiver);
      }
      if (!this.placed) {
        this.placed = true;
        this.map.setView(this.receiver, 8);
      }
      this.drawRings();
    }

    setMetric(metric) {
      if (metric === this.metric) return;
      this.metric = metric;
      this.scale.setNautical(!metric);
      this.drawRings();
    }

    drawRings() {
      this.ringLayer.clearLayers();
      if (!this.receiver) return;
      const step = this.metric ? 100 : 50;
      const count = this.metric ? 5 : 6;
      const unitName = this.metric ? 'km' : 'NM';
      for (let i = 1; i <= count; i++) {
        const radius = i * step * (this.metric ? 1000 : NM);
        L.circle(this.receiver, { radius, color: '#475569', weight: 1, opacity: 0.5, dashArray: '4 6', fill: false, interactive: false }).addTo(this.ringLayer);
        const north = L.latLng(this.receiver[0] + (radius / 111320), this.receiver[1]);
        L.marker(north, {
          interactive: false, keyboard: false,
          icon: L.divIcon({ className: 'ring-label', html: i * step + ' ' + unitName, iconSize: [60, 14], iconAnchor: [30, 7] }),
        }).addTo(this.ringLayer);
      }
    }

    // Reference point and the additional points: made once, from the first answer that has them.
    setPoints(ref, extra) {
      if (this.pointsMade || (!ref && !extra.length)) return;
      this.pointsMade = true;
      if (ref) {
        L.marker([ref.lat, ref.lon], { icon: L.divIcon({ className: 'ref-icon', iconSize: [14, 14] }), title: ref.label })
          .bindTooltip(esc(ref.label), { permanent: true, direction: 'right', className: 'point-label', offset: [8, 0] })
          .addTo(this.pointLayer);
      }
      for (const p of extra) {
        L.marker([p.lat, p.lon], { icon: L.divIcon({ className: 'point-icon', iconSize: [10, 10] }), title: p.label })
          .bindTooltip(esc(p.label), { permanent: true, direction: 'right', className: 'point-label', offset: [6, 0] })
          .addTo(this.pointLayer);
      }
    }

    setCoverage(points) {
      this.coverage.setLatLngs(points);
    }

    update(records, selected, metric) {
      this.setMetric(metric);
      const seen = new Set();
      for (const rec of records.values()) {
        if (!isDrawable(rec)) continue;
        seen.add(rec.icao);
        this.drawAircraft(rec, rec.icao === selected);
      }
      for (const [icao, entry] of this.markers) {
        if (!seen.has(icao)) {
          this.aircraftLayer.removeLayer(entry.marker);
          this.markers.delete(icao);
        }
      }
      const rec = selected ? records.get(selected) : null;
      this.updateTrail(rec);
      if (rec && selected !== this.selectedIcao) this.userMovedAt = -Infinity;
      this.selectedIcao = rec ? selected : null;
      this.keepClear(rec);
      this.declutter();
    }

    // Hides the labels that would print over a label of more weight: the selected aircraft's,
    // emergencies', then those shown last time, so that labels do not flicker between updates.
    declutter() {
      const list = [];
      for (const [icao, entry] of this.markers) {
        const tip = entry.permanent && entry.marker.getTooltip();
        const node = tip && tip.getElement && tip.getElement();
        if (node && node.isConnected) list.push({ icao, entry, node });
      }
      if (!list.length) return;
      const weight = (x) => (x.icao === this.selectedIcao ? 4 : 0) + (x.entry.emergency ? 2 : 0) + (x.entry.labelShown !== false ? 1 : 0);
      list.sort((a, b) => weight(b) - weight(a) || (a.icao < b.icao ? -1 : 1));
      for (const x of list) x.rect = x.node.getBoundingClientRect();
      const placed = [];
      for (const x of list) {
        const r = x.rect;
        const clash = r.width > 0 && placed.some((p) => r.left < p.right && r.right > p.left && r.top < p.bottom && r.bottom > p.top);
        if (!clash) placed.push(r);
        if (x.entry.labelShown !== !clash) {
          x.entry.labelShown = !clash;
          x.node.classList.toggle('label-hidden', clash);
        }
      }
    }

    // Screen rectangle of the info card inside the map, or null.
    cardRect() {
      const card = this.card;
      if (!card || card.hidden || !this.node.parentElement.contains(card)) return null;
      const m = this.node.getBoundingClientRect();
      const c = card.getBoundingClientRect();
      return { m, c, bottom: c.top > m.top + m.height / 3 };
    }

    // Where an aircraft should sit: the middle of the map part the card leaves free.
    freeCentre(box) {
      const { m, c, bottom } = box;
      return bottom ? L.point(m.width / 2, (c.top - m.top) / 2) : L.point((c.left - m.left) / 2, m.height / 2);
    }

    // The selected aircraft flies out from under the card: unless the user has just moved the
    // map, pan it back into the free part.
    keepClear(rec) {
      if (!rec || !isDrawable(rec) || performance.now() - this.userMovedAt < 10000) return;
      const box = this.cardRect();
      if (!box) return;
      const p = this.map.latLngToContainerPoint([Number(rec.lat), Number(rec.lon)]);
      const { m, c } = box;
      const margin = 24;
      const x = p.x + m.left;
      const y = p.y + m.top;
      const under = x > c.left - margin && x < c.right + margin && y > c.top - margin && y < c.bottom + margin;
      const outside = p.x < 0 || p.y < 0 || p.x > m.width || p.y > m.height;
      if (!under && !outside) return;
      this.map.panBy(p.subtract(this.freeCentre(box)), { animate: false });
    }

    drawAircraft(rec, isSelected) {
      const pos = [Number(rec.lat), Number(rec.lon)];
      let entry = this.markers.get(rec.icao);
      if (!entry) {
        const marker = L.marker(pos, {
          icon: L.divIcon({ className: 'ac-icon', html: '<svg viewBox="0 0 24 24"><path d="' + PLANE + '"/></svg>', iconSize: [26, 26], iconAnchor: [13, 13] }),
          keyboard: false,
        });
        marker.on('click', () => this.onSelect(rec.icao));
        marker.addTo(this.aircraftLayer);
        entry = { marker, style: '', label: null };
        this.markers.set(rec.icao, entry);
      } else {
        entry.marker.setLatLng(pos);
      }
      const rotation = isKnown(rec.track) ? Math.round(Number(rec.track)) : 0;
      const colour = markerColour(rec);
      const emergency = emergencyOf(rec);
      const ground = rec.onGround === true || Number(rec.altitude) <= -10000;
      const style = rotation + '|' + colour + '|' + isSelected + '|' + emergency + '|' + ground;
      const node = entry.marker.getElement();
      if (node && style !== entry.style) {
        entry.style = style;
        const svg = node.firstChild;
        svg.style.transform = 'rotate(' + rotation + 'deg)';
        svg.style.fill = colour;
        node.classList.toggle('selected', isSelected);
        node.classList.toggle('emergency', !!emergency);
        node.classList.toggle('ground', ground);
        if (emergency) node.dataset.squawk = emergency;
        else delete node.dataset.squawk;
        entry.marker.setZIndexOffset(isSelected ? 1000 : emergency ? 500 : 0);
      }
      // An emergency keeps its label, with the code, whether labels are on or not.
      const text = emergency ? labelText(rec) + ' · ' + emergency : labelText(rec);
      const permanent = this.labels || !!emergency;
      if (permanent !== entry.permanent || !!emergency !== entry.emergency) {
        entry.marker.unbindTooltip();
        entry.label = null;
        entry.permanent = permanent;
        entry.emergency = !!emergency;
        entry.labelShown = undefined;
      }
      if (text !== entry.label) {
        entry.label = text;
        if (entry.marker.getTooltip()) entry.marker.setTooltipContent(esc(text));
        else {
          entry.marker.bindTooltip(esc(text), {
            permanent, direction: 'right', offset: [12, 0], className: emergency ? 'ac-label emergency-label' : 'ac-label',
          });
        }
      }
    }

    updateTrail(rec) {
      const icao = rec ? rec.icao : null;
      if (icao !== this.trail.icao) {
        this.trail = { icao, points: [] };
        this.trailLayer.clearLayers();
      }
      if (!rec) {
        this.headLine.setLatLngs([]);
        return;
      }
      if (Array.isArray(rec.TRACK)) {
        if (rec.fullTrack) {
          this.trail.points = [];
          this.trailLayer.clearLayers();
        }
        for (const p of rec.TRACK) this.addTrailPoint(p);
      }
      const last = this.trail.points[this.trail.points.length - 1];
      if (last && isDrawable(rec)) {
        this.headLine.setLatLngs([[last[0], last[1]], [Number(rec.lat), Number(rec.lon)]]);
        this.headLine.setStyle({ color: markerColour(rec), dashArray: null });
      } else {
        this.headLine.setLatLngs([]);
      }
    }

    addTrailPoint(p) {
      if (!Array.isArray(p) || p.length < 3) return;
      const lat = Number(p[0]);
      const lon = Number(p[1]);
      if (!Number.isFinite(lat) || !Number.isFinite(lon)) return;
      const point = [lat, lon, p[2], p[3] === 'U'];
      const prev = this.trail.points[this.trail.points.length - 1];
      // The point at the asked serial comes again in the next answer.
      if (prev && prev[0] === lat && prev[1] === lon && String(prev[2]) === String(p[2])) return;
      this.trail.points.push(point);
      if (!prev) return;
      const gap = point[3];
      L.polyline([[prev[0], prev[1]], [lat, lon]], gap
        ? { color: '#cccccc', weight: 2, dashArray: '5 5', interactive: false }
        : { color: altitudeColor(p[2]), weight: 3, interactive: false }).addTo(this.trailLayer);
    }

    // Centres the aircraft in the part of the map that the info window leaves free.
    focus(rec) {
      if (!rec || !isDrawable(rec)) return;
      this.placed = true;
      this.userMovedAt = -Infinity;
      this.map.setView([Number(rec.lat), Number(rec.lon)], Math.max(this.map.getZoom(), 8), { animate: false });
      const box = this.cardRect();
      if (!box) return;
      const p = this.map.latLngToContainerPoint([Number(rec.lat), Number(rec.lon)]);
      this.map.panBy(p.subtract(this.freeCentre(box)), { animate: false });
    }
  }

  root.VelkaroMapView = { MapView, labelText, emergencyOf };
})(self);
