// The running page: tabs, pollers and the requests that feed every view.
(function (root) {
  'use strict';
  const { $, getCookie, setCookie } = root.VelkaroUi;
  const { FlightState, RateMeter, coverageOutline, zoneLabel, hhmm } = root.VelkaroApp;

  const TABS = ['charts', 'stats', 'flights', 'map', 'log', 'notams'];

  // Runs fn now and then every intervalMs until stopped.
  class Poller {
    constructor(intervalMs, fn) {
      this.intervalMs = intervalMs;
      this.fn = fn;
      this.timer = null;
    }
    start() {
      this.stop();
      this.fn();
      this.timer = setInterval(this.fn, this.intervalMs);
    }
    stop() {
      if (this.timer !== null) clearInterval(this.timer);
      this.timer = null;
    }
  }

  const errorDialog = $('errorDialog');
  const errorButton = $('errorButton');
  const recorder = new root.VelkaroRpc.ErrorRecorder((text) => {
    $('errorText').textContent = text;
    errorButton.hidden = !text;
    errorButton.title = text || '';
  });
  errorButton.addEventListener('click', () => {
    if (typeof errorDialog.showModal === 'function') errorDialog.showModal();
  });
  // When the program last answered at all (an error reply is an answer too), for the notice
  // that the shown data is out of date.
  const link = { lastAnswer: performance.now(), lastAnswerDate: new Date(), down: false };
  const answered = () => {
    link.lastAnswer = performance.now();
    link.lastAnswerDate = new Date();
  };
  const rpc = root.VelkaroRpc.createRpc({
    fetch: (url, init) => fetch(url, init),
    recorder: {
      failed(text) {
        if (text !== 'Error ajax request') answered();
        recorder.failed(text);
      },
      succeeded() {
        answered();
        recorder.succeeded();
      },
    },
  });
  const NOTICE_AFTER_MS = 4000;

  function tickClocks() {
    const now = new Date();
    $('clockLocal').textContent = hhmm(now.getHours(), now.getMinutes());
    $('clockZone').textContent = zoneLabel(now);
    $('clockUtc').textContent = hhmm(now.getUTCHours(), now.getUTCMinutes());
  }

  function start() {
    const flights = new FlightState();
    const info = new root.VelkaroInfoView.InfoView($('info'), { rpc, onClose: () => select(null) });
    const mapView = new root.VelkaroMapView.MapView($('map'), { onSelect: (icao) => select(icao), card: $('info') });
    const list = new root.VelkaroFlightsView.FlightsView({
      head: $('flightsHead'), body: $('flightsBody'), count: $('flightsCount'), filter: $('flightsFilter'),
      onSelect: (icao) => select(icao),
      onOpen: (icao) => {
        select(icao);
        showTab('map');
        mapView.focus(flights.records.get(icao));
      },
    });
    const charts = new root.VelkaroChartsView.ChartsView();
    const stats = new root.VelkaroStatsView.StatsView();
    const log = new root.VelkaroLogView.LogView();
    const notams = new root.VelkaroNotamView.NotamView(rpc);
    const weather = new root.VelkaroNotamView.WeatherView(rpc);
    const byteRate = new RateMeter();
    const msgRate = new RateMeter();
    let receiver = null;
    let current = null;

    const labels = $('showLabels');
    labels.checked = mapView.labels;
    labels.addEventListener('change', () => {
      mapView.setLabels(labels.checked);
      render();
    });

    const NONE = new Map();
    function render() {
      // While a request is still open the 20-second rule waits for it; the view does not.
      const stale = flights.lastAccepted !== null && performance.now() - flights.lastAccepted > root.VelkaroApp.RESET_AFTER_MS;
      const records = stale ? NONE : flights.records;
      const selected = records.get(flights.selected) || null;
      if (current === 'flights') list.update(records, flights.selected, flights.metric);
      if (current === 'map') mapView.update(records, flights.selected, flights.metric);
      info.show(selected, flights.metric);
      document.body.classList.toggle('has-selection', !!selected);
    }

    // The notice says since when nothing has come back; the view empties with the records.
    function checkLink() {
      const down = performance.now() - link.lastAnswer > NOTICE_AFTER_MS;
      if (down) {
        const d = link.lastAnswerDate;
        $('staleSince').textContent = hhmm(d.getHours(), d.getMinutes()) + ':' + String(d.getSeconds()).padStart(2, '0');
      }
      if (down !== link.down) {
        link.down = down;
        $('staleNotice').hidden = !down;
      }
      if (down && performance.now() - link.lastAnswer > root.VelkaroApp.RESET_AFTER_MS) {
        // Counts of a program that no longer answers are as old as the cleared records.
        $('countModes').textContent = '0';
        $('countAdsb').textContent = '0';
        document.title = 'Velkaro (0)';
      }
      if (down) render();
    }

    function select(icao) {
      flights.select(icao);
      render();
    }

    // --- requests ---
    function pollCounters() {
      rpc.request('getStats', { statsType: 'counters' }).then((answer) => {
        const s = answer.stats || {};
        const c = s.counters && typeof s.counters === 'object' ? s.counters : {};
        const modes = Number(c.FLIGHTS_MODES) || 0;
        const adsb = Number(c.FLIGHTS_ADSB) || 0;
        $('countModes').textContent = modes;
        $('countAdsb').textContent = adsb;
        document.title = 'Velkaro (' + (modes + adsb) + ')';
        const now = performance.now();
        // A counter still at zero is left out of the answer.
        charts.setRates(byteRate.update(c.OUTPUT_BYTES || 0, now), msgRate.update(c.TOTAL_MSG || 0, now));
        stats.setCounters(c);
        if ('RECEIVER_LAT' in c && 'RECEIVER_LON' in c) {
          receiver = [Number(c.RECEIVER_LAT), Number(c.RECEIVER_LON)];
          mapView.setReceiver(receiver[0], receiver[1]);
          charts.enable();
        }
        const ref = 'REFPOINT_LAT' in c && 'REFPOINT_LON' in c
          ? { lat: Number(c.REFPOINT_LAT), lon: Number(c.REFPOINT_LON), label: String(c.REFPOINT_LABEL === undefined ? '' : c.REFPOINT_LABEL) } : null;
        const extra = (Array.isArray(s.additionalPoints) ? s.additionalPoints : [])
          .map((p) => ({ label: String(p.label === undefined ? '' : p.label), lat: Number(p.lattitude), lon: Number(p.longtitude) }))
          .filter((p) => Number.isFinite(p.lat) && Number.isFinite(p.lon));
        mapView.setPoints(ref, extra);
      }).catch(() => {});
    }

    function pollFlights() {
      const before = flights.records.size;
      const data = flights.nextRequest(performance.now());
      if (flights.records.size !== before) render(); // the 20-second rule has cleared them
      if (!data) return; // the previous request is still open
      rpc.request('getStats', data)
        .then((answer) => {
          if (flights.accept(answer.stats, performance.now())) render();
        })
        .catch(() => flights.failed());
    }

    function pollChart() {
      rpc.request('getStats', { statsType: 'chart' }).then((a) => charts.setChart(a.stats || {})).catch(() => {});
    }

    function pollDf() {
      rpc.request('getStats', { statsType: 'df' }).then((a) => stats.setDf(a.stats || {})).catch(() => {});
    }

    function pollPolar() {
      rpc.request('getStats', { statsType: 'polarDistances' }).then((a) => {
        if (!receiver) return;
        mapView.setCoverage(coverageOutline((a.stats || {}).polarDistances, receiver));
      }).catch(() => {});
    }

    let logOpen = false;
    function pollLog() {
      if (logOpen) return;
      logOpen = true;
      rpc.request('getStats', { statsType: 'log', index: log.index })
        .then((a) => log.append(a.stats))
        .catch(() => {})
        .then(() => { logOpen = false; });
    }

    const flightsPoller = new Poller(1000, pollFlights);
    const pollers = {
      charts: [new Poller(60000, pollChart)],
      stats: [new Poller(5000, pollDf)],
      flights: [flightsPoller],
      map: [flightsPoller, new Poller(9000, pollPolar), new Poller(180000, () => weather.refresh())],
      log: [new Poller(1000, pollLog)],
      notams: [],
    };

    // --- tabs ---
    const panelOf = (tab) => $('panel-' + tab);
    function showTab(tab) {
      if (!TABS.includes(tab) || tab === current) return;
      if (current) for (const p of pollers[current]) p.stop();
      current = tab;
      setCookie('prevActiveTab', tab);
      for (const t of TABS) {
        panelOf(t).hidden = t !== tab;
        const button = document.querySelector('.tabs [data-tab="' + t + '"]');
        button.classList.toggle('active', t === tab);
        button.setAttribute('aria-selected', String(t === tab));
      }
      // The info window belongs to whichever of the two aircraft tabs is shown.
      if (tab === 'map' || tab === 'flights') panelOf(tab).appendChild($('info'));
      document.body.dataset.view = tab;
      weather.setActive(tab === 'map');
      if (tab === 'map') mapView.shown();
      if (tab === 'charts') charts.shown();
      render();
      for (const p of pollers[tab]) p.start();
    }
    document.querySelector('.tabs').addEventListener('click', (e) => {
      const b = e.target.closest('[data-tab]');
      if (b) showTab(b.dataset.tab);
    });

    rpc.request('getStats', { statsType: 'ver' })
      .then((a) => { $('version').textContent = String((a.stats || {}).version || ''); })
      .catch(() => {});
    new Poller(1000, pollCounters).start();
    new Poller(1000, () => { tickClocks(); checkLink(); }).start();
    document.addEventListener('keydown', (e) => {
      if (e.key !== 'Escape' || !flights.selected || (errorDialog && errorDialog.open)) return;
      const t = e.target;
      if (t && t.tagName === 'INPUT' && t.type !== 'checkbox') return; // Esc empties a search field first
      select(null);
    });
    const stored = getCookie('prevActiveTab');
    showTab(TABS.includes(stored) ? stored : TABS[0]);
    root.velkaro = { flights, mapView, list, charts, rpc, showTab, select, link }; // for the browser console
  }

  // The map key is asked first, as the application waits for the map library; this map needs
  // none, so the answer (or its failure) only starts the application.
  function boot() {
    tickClocks();
    rpc.request('googleKey', {}).catch(() => null).then(start);
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', boot);
  else boot();
})(self);
