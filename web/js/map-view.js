// The map: offline world outline under optional online tiles, the receiver with its range rings
// and coverage outline, reference points, the aircraft and the selected aircraft's trail.
(function (root) {
  'use strict';
  const { altitudeColor, isDrawable, isKnown } = root.VelkaroApp;
  const { getCookie, setCookie, esc } = root.VelkaroUi;

  const NM = 1852;
  const PLANE = 'M12 2.2c.7 0 1.1.9 1.2 2.1l.3 4.6 7.3 4.3v1.9l-7.3-2.2-.3 4.8 2.4 1.8v1.5L12 20.1l-3.6.9v-1.5l2.4-1.8-.3-4.8-7.3 2.2V13l7.3-4.3.3-4.6c.1-1.2.5-2.1 1.2-2.1z';
  const TOWER = '<svg viewBox="0 0 24 24"><path d="M12 9.5 7 22h2l1-2.8h4L15 22h2L12 9.5zm-1.3 7.7L12 13.6l1.3 3.6h-2.6z"/><circle cx="12" cy="8" r="2"/><path d="M7.8 3.8a6 6 0 0 0 0 8.4l1.1-1.1a4.4 4.4 0 0 1 0-6.2L7.8 3.8zm8.4 0-1.1 1.1a4.4 4.4 0 0 1 0 6.2l1.1 1.1a6 6 0 0 0 0-8.4z"/></svg>';

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

  class MapView {
    constructor(node, options) {
      this.node = node;
      this.onSelect = options.onSelect;
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

      // Online tiles: failed tiles stay invisible and leave the outline map showing.
      this.tiles = L.tileLayer('https://tile.openstreetmap.org/{z}/{x}/{y}.png', {
        maxZoom: 19, attribution: '&copy; OpenStreetMap contributors', opacity: 0.9,
      }).addTo(map);

      this.ringLayer = L.layerGroup().addTo(map);
      this.coverage = L.polygon([], { color: '#64748b', weight: 1, fillColor: '#64748b', fillOpacity: 0.08, interactive: false }).addTo(map);
      this.pointLayer = L.layerGroup().addTo(map);
      this.trailLayer = L.layerGroup().addTo(map);
      this.headLine = L.polyline([], { weight: 2.5, interactive: false }).addTo(map);
      this.aircraftLayer = L.layerGroup().addTo(map);
      L.control.layers(null, {
        'Online map tiles': this.tiles, 'Range rings': this.ringLayer, Coverage: this.coverage, Trail: this.trailLayer,
      }, { position: 'topright', collapsed: true }).addTo(map);
      L.control.scale({ position: 'bottomleft' }).addTo(map);

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

    setLabels(on) {
      this.labels = on;
      setCookie('mapLabels', on ? '1' : '0');
      for (const entry of this.markers.values()) {
        entry.marker.unbindTooltip();
        entry.label = null;
      }
    }

    setReceiver(lat, lon) {
      if (this.receiver && this.receiver[0] === lat && this.receiver[1] === lon) return;
      this.receiver = [lat, lon];
      if (!this.receiverMarker) {
        this.receiverMarker = L.marker(this.receiver, {
          icon: L.divIcon({ className: 'receiver-icon', html: TOWER, iconSize: [26, 26], iconAnchor: [13, 22] }),
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
      this.updateTrail(selected ? records.get(selected) : null);
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
      const style = rotation + '|' + colour + '|' + isSelected;
      const node = entry.marker.getElement();
      if (node && style !== entry.style) {
        entry.style = style;
        const svg = node.firstChild;
        svg.style.transform = 'rotate(' + rotation + 'deg)';
        svg.style.fill = colour;
        node.classList.toggle('selected', isSelected);
        entry.marker.setZIndexOffset(isSelected ? 1000 : 0);
      }
      const text = labelText(rec);
      if (text !== entry.label) {
        entry.label = text;
        if (entry.marker.getTooltip()) entry.marker.setTooltipContent(esc(text));
        else entry.marker.bindTooltip(esc(text), { permanent: this.labels, direction: 'right', offset: [12, 0], className: 'ac-label' });
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
      this.map.setView([Number(rec.lat), Number(rec.lon)], Math.max(this.map.getZoom(), 8), { animate: false });
      const card = document.getElementById('info');
      if (!card || card.hidden || !this.node.parentElement.contains(card)) return;
      const m = this.node.getBoundingClientRect();
      const c = card.getBoundingClientRect();
      if (c.top > m.top + m.height / 3) this.map.panBy([0, (m.bottom - c.top) / 2], { animate: false });
      else this.map.panBy([(m.right - c.left) / 2, 0], { animate: false });
    }
  }

  root.VelkaroMapView = { MapView, labelText };
})(self);
