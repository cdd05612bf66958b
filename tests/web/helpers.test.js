'use strict';
// Pure helpers of the page: trail colours, coverage outline, METAR text, log buffer, NOTAM text.
const test = require('node:test');
const assert = require('node:assert/strict');
const app = require('../../web/js/app.js');

test('trail colour by altitude', () => {
  const cases = [
    [-10000, '#000000'], [-20000, '#000000'], [0, '#ffff00'], [299, '#ffff00'], [300, '#ffff00'],
    [4770, '#80ff00'], [9240, '#00ff00'], [18180, '#00ffff'], [27120, '#0000ff'], [31590, '#8000ff'],
    [36060, '#ff00ff'], [44999, '#ff0000'], [45000, '#ff0000'], [60000, '#ff0000'], ['35000', '#e100ff'],
    ['nan', '#888888'],
  ];
  for (const [alt, want] of cases) assert.equal(app.altitudeColor(alt), want, `altitude ${alt}`);
});

test('coverage outline puts bearings without a contact on the receiver', () => {
  const rx = [52.3, 4.76];
  const answer = new Array(360).fill('');
  answer[0] = [53.1, 4.8];
  answer[90] = [52.3, 6.1];
  answer[180] = [1, 2, 3];
  const out = app.coverageOutline(answer, rx);
  assert.equal(out.length, 360);
  assert.deepEqual(out[0], [53.1, 4.8]);
  assert.deepEqual(out[90], [52.3, 6.1]);
  assert.deepEqual(out[1], rx);
  assert.deepEqual(out[180], rx);
  assert.deepEqual(app.coverageOutline('', rx), []);
});

test('METAR text: second line is the raw METAR, the shown line joins the lines', () => {
  const m = app.splitMetar('2017/01/27 06:55\\nEGLL 270650Z 24012KT 9999 FEW020\\n');
  assert.equal(m.raw, 'EGLL 270650Z 24012KT 9999 FEW020');
  assert.equal(m.line, '2017/01/27 06:55 EGLL 270650Z 24012KT 9999 FEW020');
  assert.equal(app.splitMetar('no lines').raw, '');
});

test('log buffer appends in order, keeps the newest 300 and the last sequence number', () => {
  const log = new app.LogBuffer(300);
  assert.deepEqual(log.append(''), []);
  assert.equal(log.index, 0);
  const lines = [];
  for (let i = 1; i <= 305; i++) lines.push([i, 4, 'line ' + i]);
  log.append(lines.slice(0, 200));
  log.append(lines.slice(200));
  assert.equal(log.lines.length, 300);
  assert.equal(log.lines[0].text, 'line 6');
  assert.equal(log.lines[299].text, 'line 305');
  assert.equal(log.index, 305);
});

test('NOTAM documents whose line feeds arrived as backslash-n still parse', () => {
  const sent = '{\\n "notamList": [\\n  {"notamNumber": "A0123/17", "icaoMessage": "A0123/17 NOTAMN\\nE) RWY CLSD"}\\n ]\\n}';
  const list = app.parseNotams(sent);
  assert.equal(list.length, 1);
  assert.equal(list[0].icaoMessage, 'A0123/17 NOTAMN\nE) RWY CLSD');
  assert.equal(app.parseNotams('<html>Service unavailable</html>'), null);
  assert.equal(app.parseNotams('{"other": 1}'), null);
});

test('an aircraft is drawn with a position and an altitude, ground flag or cf 0/1', () => {
  const pos = { lat: 52, lon: 4 };
  const cases = [
    [{ ...pos, altitude: 1000 }, true], [{ ...pos, onGround: true }, true], [{ ...pos, cf: 0 }, true],
    [{ ...pos, cf: 1 }, true], [{ ...pos, cf: 2 }, false], [pos, false], [{ lat: 52, altitude: 1 }, false],
    [{ ...pos, altitude: 1000, isHide: true }, false],
  ];
  for (const [rec, want] of cases) assert.equal(app.isDrawable(rec), want, JSON.stringify(rec));
});

test('rates from successive counters; a counter that went back gives no rate', () => {
  const m = new app.RateMeter();
  assert.equal(m.update(1000, 0), null);
  assert.equal(m.update(3000, 2000), 1000);
  assert.equal(m.update(10, 3000), null);
  assert.equal(m.update(110, 4000), 100);
});
