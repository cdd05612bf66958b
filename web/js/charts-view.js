// Charts tab: data-rate gauges, the distance histogram, the hourly chart and the polar coverage.
(function (root) {
  'use strict';
  const { $, niceCeil, fmtBytes, fmtInt, onResize } = root.VelkaroUi;

  const ACCENT = '#0284c7';
  const SECOND = '#f59e0b';

  function sizeCanvas(canvas, cssWidth, cssHeight) {
    const ratio = window.devicePixelRatio || 1;
    canvas.style.width = cssWidth + 'px';
    canvas.style.height = cssHeight + 'px';
    canvas.width = Math.round(cssWidth * ratio);
    canvas.height = Math.round(cssHeight * ratio);
    const ctx = canvas.getContext('2d');
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    return ctx;
  }

  // A half-circle gauge whose scale grows to the largest value of the last minute.
  class Gauge {
    constructor(canvas, format, unitText, emptyNote) {
      this.canvas = canvas;
      this.emptyNote = emptyNote || null; // shown instead of a scale while nothing at all has flowed
      this.format = format;
      this.unitText = unitText;
      this.value = null;
      this.history = [];
      onResize(canvas.parentElement, () => this.draw());
    }

    set(value) {
      this.value = value;
      if (value !== null) {
        this.history.push(value);
        if (this.history.length > 60) this.history.shift();
      }
      this.draw();
    }

    draw() {
      const w = Math.min(this.canvas.parentElement.clientWidth, 300);
      if (w <= 0) return;
      const h = Math.round(w * 0.5 + Math.max(10, w * 0.08) * 2 + 22);
      const ctx = sizeCanvas(this.canvas, w, h);
      const cx = w / 2;
      const r = w / 2 - Math.max(8, w * 0.08);
      const cy = r + Math.max(8, w * 0.08);
      const idle = this.emptyNote && this.history.length > 0 && this.history.every((v) => v === 0);
      if (this.emptyNote) this.emptyNote.hidden = !idle;
      const max = niceCeil(Math.max(1, ...this.history));
      const f = this.value === null ? 0 : Math.min(1, this.value / max);
      ctx.lineCap = 'round';
      ctx.lineWidth = Math.max(10, r * 0.16);
      ctx.strokeStyle = '#e2e8f0';
      ctx.beginPath();
      ctx.arc(cx, cy, r, Math.PI, 2 * Math.PI);
      ctx.stroke();
      if (f > 0) {
        ctx.strokeStyle = ACCENT;
        ctx.beginPath();
        ctx.arc(cx, cy, r, Math.PI, Math.PI * (1 + f));
        ctx.stroke();
      }
      ctx.fillStyle = '#0f172a';
      ctx.textAlign = 'center';
      ctx.font = '600 ' + Math.round(r * 0.32) + 'px system-ui, sans-serif';
      ctx.fillText(this.value === null ? '–' : this.format(this.value), cx, cy - r * 0.22);
      ctx.fillStyle = '#64748b';
      const small = Math.round(Math.max(11, r * 0.12));
      ctx.font = small + 'px system-ui, sans-serif';
      ctx.fillText(this.unitText, cx, cy - r * 0.22 + small * 1.5);
      if (idle) return;
      const below = cy + ctx.lineWidth / 2 + small + 2;
      ctx.textAlign = 'left';
      ctx.fillText('0', cx - r - ctx.lineWidth / 2, below);
      ctx.textAlign = 'right';
      ctx.fillText(this.format(max), cx + r + ctx.lineWidth / 2, below);
    }
  }

  function plotWidth(node) {
    return Math.max(200, node.clientWidth);
  }

  class ChartsView {
    constructor() {
      this.bytes = new Gauge($('gaugeBytes'), (v) => fmtBytes(v), 'per second', $('bytesNote'));
      this.msgs = new Gauge($('gaugeMsgs'), (v) => fmtInt(v), 'messages per second');
      this.enabled = false;
      this.data = null;
      this.plots = null;
      document.querySelectorAll('.needs-receiver').forEach((n) => { n.hidden = true; });
    }

    setRates(bytesPerSecond, messagesPerSecond) {
      this.bytes.set(bytesPerSecond);
      this.msgs.set(messagesPerSecond);
    }

    // Called once a "counters" answer has carried the receiver position.
    enable() {
      if (this.enabled) return;
      this.enabled = true;
      document.querySelectorAll('.needs-receiver').forEach((n) => { n.hidden = false; });
      $('chartsWaiting').hidden = true;
      document.querySelector('.charts-grid').classList.add('ready');
      this.create();
      if (this.data) this.setChart(this.data);
    }

    create() {
      const distNode = $('chartDistance');
      const hourNode = $('chartHours');
      // Legends name the series only: live values would read "--" away from the cursor.
      const common = { height: 240, legend: { show: true, live: false }, cursor: { drag: { x: false, y: false } } };
      const distance = new uPlot(Object.assign({}, common, {
        legend: { show: false },
        width: plotWidth(distNode),
        scales: { x: { time: false, range: () => [0, this.distanceMax || 10] } },
        series: [{ label: 'Distance' }, { label: 'Positions', stroke: ACCENT, fill: 'rgba(2,132,199,0.35)', width: 1, paths: uPlot.paths.bars({ size: [1, 100] }), points: { show: false } }],
        axes: [{ label: 'NM' }, { size: 60 }],
      }), [[], []], distNode);
      const hours = new uPlot(Object.assign({}, common, {
        width: plotWidth(hourNode),
        scales: { x: { time: false, range: [-0.5, 23.5] }, p: { auto: true } },
        series: [
          { label: 'Hour', value: (u, v) => (v === null ? '' : String(v).padStart(2, '0') + ':00') },
          { label: 'Messages', stroke: ACCENT, fill: 'rgba(2,132,199,0.35)', width: 1, paths: uPlot.paths.bars({ size: [0.7, 60] }), points: { show: false } },
          { label: 'Positions', stroke: SECOND, width: 2, scale: 'p', points: { show: true, size: 5 } },
        ],
        axes: [
          { label: 'Hour', splits: () => [0, 3, 6, 9, 12, 15, 18, 21], values: (u, s) => s.map((v) => String(v).padStart(2, '0')) },
          { label: 'Messages', size: 70 },
          { label: 'Positions', scale: 'p', side: 1, size: 60, grid: { show: false } },
        ],
      }), [[], [], []], hourNode);
      this.plots = { distance, hours, distNode, hourNode };
      onResize(distNode, () => distance.setSize({ width: plotWidth(distNode), height: 240 }));
      onResize(hourNode, () => hours.setSize({ width: plotWidth(hourNode), height: 240 }));
      onResize($('chartPolar').parentElement, () => this.drawPolar());
    }

    setChart(stats) {
      this.data = stats;
      if (!this.plots) return;
      const metric = stats.M === true;
      const cells = metric ? 500 : 300;
      const xs = [];
      const ys = [];
      const dist = stats.distances && typeof stats.distances === 'object' ? stats.distances : {};
      let last = 0;
      for (let i = 0; i < cells; i++) {
        xs.push(i + 0.5);
        ys.push(Number(dist[i]) || 0);
        if (ys[i] > 0) last = i + 1;
      }
      // The axis ends a little beyond the farthest position, not at the longest possible range.
      this.distanceMax = Math.min(cells, Math.max(10, niceCeil(last * 1.1)));
      $('distanceTitle').textContent = 'Positions by distance (' + (metric ? 'km' : 'nautical miles') + ')';
      this.plots.distance.axes[0].label = metric ? 'km' : 'NM';
      this.plots.distance.setData([xs, ys]);
      const hours = stats.hours || {};
      const hx = [];
      const msgs = [];
      const pos = [];
      for (let h = 0; h < 24; h++) {
        hx.push(h);
        msgs.push(Number((hours.msgs || {})[h]) || 0);
        pos.push(Number((hours.positions || {})[h]) || 0);
      }
      this.plots.hours.setData([hx, msgs, pos]);
      this.drawPolar();
    }

    // 36 sectors of 10 degrees centred on their bearing; 6 distance rings, the last one open.
    drawPolar() {
      const canvas = $('chartPolar');
      const box = canvas.parentElement;
      const size = Math.min(box.clientWidth - 32, 460);
      if (size <= 0) return;
      const ctx = sizeCanvas(canvas, size, size);
      const metric = this.data ? this.data.M === true : false;
      const max = metric ? 550 : 300;
      const step = metric ? 100 : 50;
      const cx = size / 2;
      const cy = size / 2;
      const R = size / 2 - 26;
      const scale = (d) => (Math.min(d, max) / max) * R;
      const polar = (this.data && this.data.polar) || {};
      const msgs = polar.msgs || {};
      let peak = 0;
      for (let ring = 0; ring < 6; ring++) for (let s = 0; s < 36; s++) peak = Math.max(peak, Number((msgs[ring] || {})[s]) || 0);
      const toAngle = (bearing) => ((bearing - 90) * Math.PI) / 180;
      for (let ring = 0; ring < 6; ring++) {
        const r0 = scale(ring * step);
        const r1 = ring === 5 ? R : scale((ring + 1) * step);
        for (let s = 0; s < 36; s++) {
          const n = Number((msgs[ring] || {})[s]) || 0;
          if (!n) continue;
          const a = Math.log(1 + n) / Math.log(1 + peak);
          ctx.fillStyle = 'rgba(2,132,199,' + (0.08 + 0.6 * a).toFixed(3) + ')';
          ctx.beginPath();
          ctx.arc(cx, cy, r1, toAngle(s * 10 - 5), toAngle(s * 10 + 5));
          ctx.arc(cx, cy, r0, toAngle(s * 10 + 5), toAngle(s * 10 - 5), true);
          ctx.closePath();
          ctx.fill();
        }
      }
      ctx.strokeStyle = '#cbd5e1';
      ctx.lineWidth = 1;
      ctx.fillStyle = '#64748b';
      ctx.font = '11px system-ui, sans-serif';
      ctx.textAlign = 'left';
      for (let d = step; d <= max; d += step) {
        ctx.beginPath();
        ctx.arc(cx, cy, scale(d), 0, 2 * Math.PI);
        ctx.stroke();
        ctx.fillText(String(d), cx + 3, cy - scale(d) + 12);
      }
      ctx.beginPath();
      ctx.arc(cx, cy, R, 0, 2 * Math.PI);
      ctx.stroke();
      for (let b = 0; b < 360; b += 30) {
        ctx.beginPath();
        ctx.moveTo(cx, cy);
        ctx.lineTo(cx + R * Math.cos(toAngle(b)), cy + R * Math.sin(toAngle(b)));
        ctx.stroke();
      }
      ctx.textAlign = 'center';
      ctx.textBaseline = 'middle';
      ctx.font = '600 12px system-ui, sans-serif';
      [['N', 0], ['E', 90], ['S', 180], ['W', 270]].forEach(([t, b]) => {
        ctx.fillText(t, cx + (R + 14) * Math.cos(toAngle(b)), cy + (R + 14) * Math.sin(toAngle(b)));
      });
      ctx.textBaseline = 'alphabetic';
      const distance = polar.distance || {};
      ctx.strokeStyle = '#dc2626';
      ctx.lineWidth = 2;
      ctx.beginPath();
      for (let s = 0; s <= 36; s++) {
        const d = Number(distance[s % 36]) || 0;
        const x = cx + scale(d) * Math.cos(toAngle((s % 36) * 10));
        const y = cy + scale(d) * Math.sin(toAngle((s % 36) * 10));
        if (s === 0) ctx.moveTo(x, y);
        else ctx.lineTo(x, y);
      }
      ctx.stroke();
      ctx.fillStyle = '#64748b';
      ctx.textAlign = 'left';
      ctx.fillText(metric ? 'km' : 'NM', 4, 14);
      ctx.fillStyle = '#dc2626';
      ctx.fillText('— farthest', 4, size - 8);
    }

    shown() {
      this.bytes.draw();
      this.msgs.draw();
      if (this.plots) {
        this.plots.distance.setSize({ width: plotWidth(this.plots.distNode), height: 240 });
        this.plots.hours.setSize({ width: plotWidth(this.plots.hourNode), height: 240 });
        this.drawPolar();
      }
    }
  }

  root.VelkaroChartsView = { ChartsView };
})(self);
