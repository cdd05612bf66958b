// The aircraft list: sortable columns (kept in cookies), a text filter and row selection.
(function (root) {
  'use strict';
  const { getCookie, setCookie, esc, known, num, fmtInt, fmtFixed, fmtAgo } = root.VelkaroUi;

  const EMERGENCY = new Set(['7500', '7600', '7700']);
  const squawkText = (r) => (known(r.squawk) ? String(r.squawk).padStart(4, '0') : '');

  // Column: field to sort by, heading, cell text, css class.
  const COLUMNS = [
    { field: 'icao', title: 'ICAO', cell: (r) => String(r.icao), cls: 'mono' },
    { field: 'callsign', title: 'Callsign', cell: (r) => r.callsign },
    { field: 'registration', title: 'Reg.', cell: (r) => r.registration, opt: true },
    { field: 'icaoTypeCode', title: 'Type', cell: (r) => r.icaoTypeCode },
    { field: 'squawk', title: 'Squawk', cell: squawkText, cls: 'mono' },
    { field: 'altitude', title: 'Alt ft', cell: (r) => (r.onGround === true || num(r.altitude) <= -10000 ? 'ground' : fmtInt(r.altitude)), cls: 'num' },
    { field: 'speed', title: 'Speed kt', cell: (r) => fmtInt(r.speed), cls: 'num' },
    { field: 'vspeed', title: 'V/S ft/min', cell: (r) => fmtInt(r.vspeed), cls: 'num', opt: true },
    { field: 'track', title: 'Track', cell: (r) => (num(r.track) === null ? '' : Math.round(num(r.track)) + '°'), cls: 'num' },
    { field: 'distance', title: 'Dist', unit: true, cell: (r) => fmtFixed(r.distance, 1), cls: 'num' },
    { field: 'azimuth', title: 'Brg', cell: (r) => (num(r.azimuth) === null ? '' : Math.round(num(r.azimuth)) + '°'), cls: 'num', opt: true },
    { field: 'signalLevel', title: 'Sig', cell: (r) => (known(r.signalLevel) ? String(r.signalLevel) : ''), cls: 'num', opt: true },
    { field: 'count', title: 'Msgs', cell: (r) => fmtInt(r.count), cls: 'num', opt: true },
    { field: 'lastSeen', title: 'Seen', cell: (r) => fmtAgo(r.lastSeen), cls: 'num', reverse: true, opt: true },
    { field: 'route', title: 'Route', cell: (r) => r.route, cls: 'route-cell' },
  ];

  function compare(a, b, field) {
    const x = a[field];
    const y = b[field];
    const xk = known(x);
    const yk = known(y);
    if (!xk || !yk) return xk === yk ? 0 : xk ? -1 : 1; // unknown values last
    const nx = Number(x);
    const ny = Number(y);
    if (Number.isFinite(nx) && Number.isFinite(ny) && typeof x !== 'string') return nx - ny;
    return String(x).localeCompare(String(y));
  }

  class FlightsView {
    constructor(options) {
      this.head = options.head;
      this.body = options.body;
      this.count = options.count;
      this.filter = options.filter;
      this.onSelect = options.onSelect;
      this.onOpen = options.onOpen;
      this.sortField = COLUMNS.some((c) => c.field === getCookie('sortField')) ? getCookie('sortField') : 'distance';
      this.sortOrder = getCookie('sortOrder') === 'desc' ? 'desc' : 'asc';
      this.records = new Map();
      this.selected = null;
      this.metric = false;
      this.rows = new Map(); // icao -> { tr, cells, ... }
      this.emptyRow = document.createElement('tr');
      this.emptyCell = document.createElement('td');
      this.emptyCell.className = 'empty';
      this.emptyCell.colSpan = COLUMNS.length + 1;
      this.emptyRow.appendChild(this.emptyCell);
      this.filter.addEventListener('input', () => this.render());
      this.head.addEventListener('click', (e) => {
        const th = e.target.closest('th');
        if (th) this.sortBy(th.dataset.field);
      });
      this.body.addEventListener('click', (e) => {
        const tr = e.target.closest('tr[data-icao]');
        // The second click of a double-click must not undo the first one's selection, and a
        // click that ends a text selection selects nothing.
        if (!tr || e.detail > 1 || String(window.getSelection()).length) return;
        this.onSelect(tr.dataset.icao === this.selected ? null : tr.dataset.icao);
      });
      // Rows keep their places while the pointer works on them: a row that moved between the
      // two clicks of a double-click, or under a text selection, would spoil either.
      this.holdUntil = 0;
      this.pressed = false;
      this.body.addEventListener('mousedown', () => { this.pressed = true; });
      document.addEventListener('mouseup', () => {
        if (!this.pressed) return;
        this.pressed = false;
        this.holdUntil = performance.now() + 800;
      });
      this.body.addEventListener('dblclick', (e) => {
        const tr = e.target.closest('tr[data-icao]');
        if (tr) this.onOpen(tr.dataset.icao);
      });
      this.renderHead();
    }

    sortBy(field) {
      if (!field) return;
      if (field === this.sortField) this.sortOrder = this.sortOrder === 'asc' ? 'desc' : 'asc';
      else {
        this.sortField = field;
        this.sortOrder = 'asc';
      }
      setCookie('sortField', this.sortField);
      setCookie('sortOrder', this.sortOrder);
      this.renderHead();
      this.render();
    }

    renderHead() {
      this.head.innerHTML = '<th class="flag-col"></th>' + COLUMNS.map((c) => {
        const title = c.unit ? c.title + (this.metric ? ' km' : ' NM') : c.title;
        const mark = c.field === this.sortField ? (this.sortOrder === 'asc' ? ' ▲' : ' ▼') : '';
        const cls = [c.cls === 'num' ? 'num' : '', c.opt ? 'opt' : '', c.field === this.sortField ? 'sorted' : ''].filter(Boolean).join(' ');
        return '<th data-field="' + c.field + '"' + (cls ? ' class="' + cls + '"' : '') + '>' + esc(title) + mark + '</th>';
      }).join('');
    }

    update(records, selected, metric) {
      this.records = records;
      this.selected = selected;
      if (metric !== this.metric) {
        this.metric = metric;
        this.renderHead();
      }
      this.render();
    }

    // Rows are kept per address and only their changed cells are written: a rebuilt table
    // would swallow the second click of a double-click and any text the user is selecting.
    render() {
      const needle = this.filter.value.trim().toLowerCase();
      let list = [...this.records.values()];
      if (needle) {
        list = list.filter((r) => [r.icao, r.callsign, r.registration, r.icaoTypeCode, r.squawk, r.route, r.modesCountry]
          .some((v) => known(v) && String(v).toLowerCase().includes(needle)));
      }
      const col = COLUMNS.find((c) => c.field === this.sortField) || COLUMNS[0];
      const sign = (this.sortOrder === 'asc' ? 1 : -1) * (col.reverse ? -1 : 1);
      list.sort((a, b) => {
        const c = compare(a, b, this.sortField);
        return (known(a[this.sortField]) && known(b[this.sortField]) ? sign * c : c) || String(a.icao).localeCompare(String(b.icao));
      });
      const keep = new Set();
      const sel = window.getSelection();
      const hold = this.pressed || performance.now() < this.holdUntil ||
        (sel && !sel.isCollapsed && this.body.contains(sel.anchorNode));
      let at = this.body.firstChild;
      for (const r of list) {
        const isNew = !this.rows.has(r.icao);
        const row = this.row(r);
        keep.add(r.icao);
        if (hold) {
          if (isNew) this.body.appendChild(row.tr);
        } else if (row.tr !== at) this.body.insertBefore(row.tr, at);
        else at = at.nextSibling;
      }
      for (const [icao, row] of this.rows) {
        if (!keep.has(icao)) {
          row.tr.remove();
          this.rows.delete(icao);
        }
      }
      const emptyText = list.length ? '' : this.records.size ? 'No aircraft match the filter' : 'No aircraft in view';
      if (emptyText) {
        this.emptyCell.textContent = emptyText;
        if (this.emptyRow.parentNode !== this.body) this.body.appendChild(this.emptyRow);
      } else if (this.emptyRow.parentNode) {
        this.emptyRow.remove();
      }
      const shown = [...this.records.values()].filter((r) => r.isHide !== true).length;
      setText(this.count, shown === 1 ? '1 aircraft' : shown + ' aircraft');
    }

    row(r) {
      let row = this.rows.get(r.icao);
      if (!row) {
        const tr = document.createElement('tr');
        tr.dataset.icao = r.icao;
        const flagCell = document.createElement('td');
        flagCell.className = 'flag-col';
        tr.appendChild(flagCell);
        const cells = COLUMNS.map((c) => {
          const td = document.createElement('td');
          const cls = [c.cls, c.opt ? 'opt' : ''].filter(Boolean).join(' ');
          if (cls) td.className = cls;
          tr.appendChild(td);
          return td;
        });
        row = { tr, flagCell, cells, flag: '', cls: null };
        this.rows.set(r.icao, row);
      }
      const cls = [r.icao === this.selected ? 'selected' : '', r.isHide === true ? 'hidden-ac' : '',
        EMERGENCY.has(squawkText(r)) || r.pa === true ? 'emergency' : ''].filter(Boolean).join(' ');
      if (cls !== row.cls) {
        row.cls = cls;
        row.tr.className = cls;
      }
      const flag = known(r.countryFlag) ? String(r.countryFlag) : '';
      if (flag !== row.flag) {
        row.flag = flag;
        row.flagCell.innerHTML = flag ? '<img src="' + esc(flag) + '" width="20" height="16" alt="" title="' + esc(r.modesCountry || '') + '">' : '';
      }
      COLUMNS.forEach((c, i) => {
        const v = c.cell(r);
        setText(row.cells[i], known(v) ? String(v) : '');
      });
      return row;
    }
  }

  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  root.VelkaroFlightsView = { FlightsView, COLUMNS, EMERGENCY, squawkText };
})(self);
