// NOTAMS tab, and the METAR and TAF lines of the map.
(function (root) {
  'use strict';
  const { $, el, getCookie, setCookie } = root.VelkaroUi;
  const { splitMetar, parseNotams } = root.VelkaroApp;
  const { isBusy, BUSY_TEXT } = root.VelkaroRpc;

  const unescapeLines = (text) => String(text === undefined || text === null ? '' : text).split('\\n').join('\n');

  // A failed look-up as a sentence for the user: the service answered with a code (404: it has
  // nothing for that airport), it could not be reached, or the program's own reason.
  function unavailable(error, service, code) {
    if (isBusy(error)) return BUSY_TEXT;
    const reason = String((error && error.message) || error || '').replace(/^Error:\s*/, '');
    const replied = /^HTTP response code: (\d+)/.exec(reason);
    if (replied) {
      return replied[1] === '404' ? 'not available: ' + service + ' has no report for ' + code
        : 'not available: ' + service + ' answered with code ' + replied[1];
    }
    if (/resolve host|connect|timed out|read error|write error|truncated/i.test(reason)) {
      return 'not available: no answer from ' + service;
    }
    return 'not available' + (reason ? ': ' + reason : '');
  }

  function notamTable(list) {
    const head = el('tr', {}, ['NOTAM', 'Location', 'From', 'To', 'Text'].map((t) => el('th', { text: t })));
    const rows = list.map((n) => el('tr', {}, [
      el('td', { class: 'mono', text: unescapeLines(n.notamNumber || '') }),
      el('td', { text: unescapeLines(n.icaoId || n.facilityDesignator || '') }),
      el('td', { class: 'nowrap', text: unescapeLines(n.startDate || '') }),
      el('td', { class: 'nowrap', text: unescapeLines(n.endDate || '') }),
      el('td', { class: 'pre', text: unescapeLines(n.icaoMessage || n.traditionalMessage || n.plainLanguageMessage || '') }),
    ]));
    return el('div', { class: 'table-scroll card' }, el('table', { class: 'notams' }, [el('thead', {}, head), el('tbody', {}, rows)]));
  }

  class NotamView {
    constructor(rpc) {
      this.rpc = rpc;
      this.input = $('notamInput');
      this.status = $('notamStatus');
      this.result = $('notamResult');
      this.input.value = getCookie('currentNotamIcao') || '';
      $('notamForm').addEventListener('submit', (e) => {
        e.preventDefault();
        this.update();
      });
    }

    update() {
      const code = this.input.value.trim().toUpperCase();
      this.input.value = code;
      setCookie('currentNotamIcao', code);
      if (!code) {
        // Nothing to ask the service for.
        this.status.textContent = 'Type an airport code.';
        this.result.replaceChildren();
        return;
      }
      this.status.textContent = 'Asking for the NOTAMs of ' + code + ' …';
      this.rpc.request('api', { api: 'notam', q: code })
        .then((answer) => this.show(code, answer.data))
        .catch((e) => {
          this.status.textContent = '';
          this.result.replaceChildren(el('p', { class: 'error-text', text: 'NOTAMs of ' + (code || '(no airport)') + ': ' + (isBusy(e) ? BUSY_TEXT : e.message) }));
        });
    }

    show(code, data) {
      const list = parseNotams(data);
      if (list) {
        this.status.textContent = list.length + ' NOTAM' + (list.length === 1 ? '' : 's') + ' for ' + code;
        this.result.replaceChildren(list.length ? notamTable(list) : el('p', { class: 'note', text: 'No NOTAMs.' }));
      } else {
        this.status.textContent = 'NOTAMs for ' + code;
        this.result.replaceChildren(el('pre', { class: 'card pre', text: unescapeLines(data) }));
      }
    }
  }

  // Rows of the TAF service's HTML fragment, read through an inert document.
  function tafRows(html) {
    const doc = new DOMParser().parseFromString(unescapeLines(html), 'text/html');
    const rows = [...doc.querySelectorAll('tr')]
      .map((tr) => [...tr.querySelectorAll('th,td')].map((c) => c.textContent.replace(/\s+/g, ' ').trim()).filter(Boolean))
      .filter((cells) => cells.length);
    return rows.length ? rows : [[doc.body ? doc.body.textContent.replace(/\s+/g, ' ').trim() : '']];
  }

  class WeatherView {
    constructor(rpc) {
      this.rpc = rpc;
      this.input = $('airportInput');
      this.metarBox = $('showMetar');
      this.tafBox = $('showTaf');
      this.metarLine = $('metarLine');
      this.tafLine = $('tafLine');
      this.active = false;
      this.raw = '';
      this.input.value = getCookie('mapMetar') || '';
      this.metarBox.checked = getCookie('mapShowMetar') === '1';
      this.tafBox.checked = getCookie('mapShowTaf') === '1';
      this.metarBox.addEventListener('change', () => {
        setCookie('mapShowMetar', this.metarBox.checked ? '1' : '0');
        this.refreshMetar();
      });
      this.tafBox.addEventListener('change', () => {
        setCookie('mapShowTaf', this.tafBox.checked ? '1' : '0');
        this.refreshTaf();
      });
      this.input.addEventListener('change', () => {
        this.input.value = this.input.value.trim().toUpperCase();
        setCookie('mapMetar', this.input.value);
        this.refresh();
      });
      this.tafLine.addEventListener('click', () => this.tafLine.classList.toggle('expanded'));
    }

    get code() {
      return this.input.value.trim().toUpperCase();
    }

    // Called when the map is shown, and every 180 s while it is.
    refresh() {
      this.refreshMetar();
      this.refreshTaf();
    }

    refreshMetar() {
      const line = this.metarLine;
      if (!this.active) return;
      if (!this.metarBox.checked) {
        line.hidden = true;
        return;
      }
      const code = this.code;
      if (!code) {
        this.showText(line, 'METAR', 'type an airport code');
        return;
      }
      this.rpc.request('api', { api: 'metar', q: code })
        .then((answer) => {
          const metar = splitMetar(answer.data);
          this.raw = metar.raw;
          this.showText(line, 'METAR ' + code, metar.line);
          line.title = metar.raw;
        })
        .catch((e) => {
          this.raw = '';
          this.showText(line, 'METAR ' + code, unavailable(e, 'the weather service', code));
        });
    }

    refreshTaf() {
      const line = this.tafLine;
      if (!this.active) return;
      if (!this.tafBox.checked) {
        line.hidden = true;
        return;
      }
      const code = this.code;
      if (!code) {
        this.showText(line, 'TAF', 'type an airport code');
        return;
      }
      this.rpc.request('api', { api: 'taf', q: code })
        .then((answer) => {
          const rows = tafRows(answer.data);
          line.hidden = false;
          const text = rows.find((r) => /^text:?$/i.test(r[0]));
          line.replaceChildren(el('b', { text: 'TAF ' + code }), ' ', text ? text.slice(1).join(' ') : rows[0].join(' '),
            el('table', { class: 'taf-rows' }, rows.map((r) => el('tr', {}, r.map((c, i) => el(i ? 'td' : 'th', { text: c }))))));
        })
        .catch((e) => this.showText(line, 'TAF ' + code, unavailable(e, 'the weather service', code)));
    }

    showText(line, label, text) {
      line.hidden = false;
      line.title = '';
      line.replaceChildren(el('b', { text: label }), ' ', text);
    }

    setActive(active) {
      this.active = active;
      if (!active) {
        this.metarLine.hidden = true;
        this.tafLine.hidden = true;
      }
    }
  }

  root.VelkaroNotamView = { NotamView, WeatherView, tafRows, unavailable };
})(self);
