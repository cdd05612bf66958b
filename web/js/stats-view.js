// Stats tab: counters by name, and the non-zero downlink formats and ADS-B type codes.
(function (root) {
  'use strict';
  const { $, esc, fmtInt, fmtTime } = root.VelkaroUi;
  const { dfName, typeCodeName, counterName } = root.VelkaroApp;

  function counterValue(key, value) {
    if (key === 'STARTUP_TIME') return fmtTime(value, true);
    if (/_LAT$|_LON$/.test(key)) return Number(value).toFixed(5);
    if (key === 'REFPOINT_LABEL') return String(value);
    return fmtInt(value);
  }

  function codeRows(table, name) {
    const rows = [];
    for (let i = 0; i < 32; i++) {
      const n = Number(table && table[i]) || 0;
      if (n > 0) rows.push('<tr><td class="num">' + i + '</td><td>' + esc(name(i)) + '</td><td class="num">' + fmtInt(n) + '</td></tr>');
    }
    return rows.join('') || '<tr><td colspan="3" class="empty">Nothing received yet</td></tr>';
  }

  class StatsView {
    setCounters(counters) {
      let html = '';
      for (const key in counters) {
        html += '<tr><th title="' + esc(key) + '">' + esc(counterName(key)) + '</th><td class="num">' + esc(counterValue(key, counters[key])) + '</td></tr>';
      }
      $('countersTable').innerHTML = html;
    }

    setDf(stats) {
      $('dfTable').innerHTML = codeRows(stats.df, dfName);
      $('tcTable').innerHTML = codeRows(stats.adsb, typeCodeName);
    }
  }

  root.VelkaroStatsView = { StatsView };
})(self);
