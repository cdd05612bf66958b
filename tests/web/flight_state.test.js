'use strict';
// The "flights" poller's state: serials, restarts, the 20 s reset, and how answers change records.
const test = require('node:test');
const assert = require('node:assert/strict');
const { FlightState } = require('../../web/js/app.js');

const answer = (epoch, flights, s = 1000, extra = {}) => Object.assign({ M: false, epoch, flights, s }, extra);

// A state that has accepted one answer at serial `epoch`.
function started(epoch = 10, flights = [{ I: '4CA1FA', A: 35000, T: 90, TAM: 2 }], now = 0) {
  const st = new FlightState();
  st.nextRequest(now);
  assert.equal(st.accept(answer(epoch, flights), now), true);
  return st;
}

test('requests carry the last serial, and the trail serial only with a selection', () => {
  const st = new FlightState();
  assert.deepEqual(st.nextRequest(0), { statsType: 'flights', id: 0 });
  st.accept(answer(7, ''), 0);
  st.select('4CA1FA');
  assert.deepEqual(st.nextRequest(1000), { statsType: 'flights', id: 7, icao: '4CA1FA', tid: 0 });
  assert.equal(st.nextRequest(2000), null, 'a tick is skipped while a request is open');
  st.failed();
  assert.notEqual(st.nextRequest(3000), null);
});

test('answer elements become records with named properties', () => {
  const st = started(10, [
    { SQ: 7000, A: 35000, S: 450.5, CS: 'KLM1023', G: false, I: 484506, TAM: 2.5, CFL: '/img/flags/Netherlands.bmp', MC: 'Netherlands', CAT: 4, VNAV: true },
    { TAM: 1.5, CFL: '/img/flags/Ireland.bmp' }, // no "I": nothing changed for this aircraft
  ]);
  assert.equal(st.records.size, 1);
  const r = st.records.get('484506');
  assert.equal(r.icao, '484506');
  assert.equal(r.squawk, 7000);
  assert.equal(r.altitude, 35000);
  assert.equal(r.callsign, 'KLM1023');
  assert.equal(r.onGround, false);
  assert.equal(r.trackAmendment, 2.5);
  assert.equal(r.countryFlag, '/img/flags/Netherlands.bmp');
  assert.equal(r.modesCountry, 'Netherlands');
  assert.equal(r.cat, 4);
  assert.equal(r.vnav, true);
  assert.equal(r.adsb, false, 'adsb is false until sent');
  assert.equal(r.fsync, false);
  assert.equal(st.epoch, 10);
});

test('an empty value removes the property; isRemove removes the record', () => {
  const st = started(10, [{ I: '4CA1FA', A: 35000, S: 400 }, { I: 'A1B2C3', A: 1000 }]);
  st.select('A1B2C3');
  st.nextRequest(1000);
  st.accept(answer(12, [{ I: '4CA1FA', A: '' }, { I: 'A1B2C3', R: true }]), 1000);
  const r = st.records.get('4CA1FA');
  assert.equal('altitude' in r, false);
  assert.equal(r.speed, 400);
  assert.equal(st.records.has('A1B2C3'), false);
  assert.equal(st.selected, null, 'a removed aircraft is no longer selected');
});

test('magnetic track is track minus the amendment, within 0 to 360', () => {
  const cases = [[90, 2, 88], [1, 3, 358], [359, -2, 1], [0, 0, 0]];
  for (const [t, tam, want] of cases) {
    const r = started(10, [{ I: '4CA1FA', T: t, TAM: tam }]).records.get('4CA1FA');
    assert.equal(r.magneticTrack, want, `track ${t} amendment ${tam}`);
  }
  const st = started(10, [{ I: '4CA1FA', T: 90, TAM: 2 }]);
  st.nextRequest(0);
  st.accept(answer(11, [{ I: '4CA1FA', T: '', TAM: 2 }]), 0);
  assert.equal('magneticTrack' in st.records.get('4CA1FA'), false);
});

test('a changed start time clears the records; the answer counts only when asked with id 0', () => {
  const st = started(10);
  st.nextRequest(1000);
  assert.equal(st.accept(answer(3, [{ I: 'A1B2C3', A: 1 }], 2000), 1000), true);
  assert.equal(st.records.size, 0, 'answer to a non-zero id dropped');
  assert.equal(st.epoch, 0);
  assert.deepEqual(st.nextRequest(2000), { statsType: 'flights', id: 0 });
  st.accept(answer(4, [{ I: 'A1B2C3', A: 1 }], 2000), 2000);
  assert.deepEqual([...st.records.keys()], ['A1B2C3']);
  assert.equal(st.epoch, 4);
});

test('an answer serial below the page serial starts over, like a restart', () => {
  const st = started(50);
  st.nextRequest(1000);
  st.accept(answer(20, [{ I: 'A1B2C3', A: 1 }]), 1000);
  assert.equal(st.records.size, 0);
  assert.equal(st.nextRequest(1000).id, 0);
});

test('answers without flights, epoch or s are ignored', () => {
  for (const bad of [{ epoch: 11, s: 1000 }, { flights: '', s: 1000 }, { flights: '', epoch: 11 }, null]) {
    const st = started(10);
    st.nextRequest(1000);
    assert.equal(st.accept(bad, 1000), false);
    assert.equal(st.epoch, 10);
    assert.equal(st.records.size, 1);
  }
});

test('more than 20 s without an accepted answer starts over', () => {
  const st = started(10, undefined, 0);
  st.nextRequest(15000);
  st.failed();
  assert.equal(st.nextRequest(20000).id, 10, 'exactly 20 s is not yet a pause');
  st.failed();
  assert.equal(st.nextRequest(20001).id, 0);
  assert.equal(st.records.size, 0);
});

test('trail serial: full trail first, then increments, and again after FSYNC', () => {
  const st = started(10);
  st.select('4CA1FA');
  assert.equal(st.nextRequest(0).tid, 0);
  st.accept(answer(12, [{ I: '4CA1FA', TRACK: [[51.5, -0.12, 35000], [51.6, -0.1, 35100, 'U']] }]), 0);
  let r = st.records.get('4CA1FA');
  assert.equal(r.fullTrack, true);
  assert.equal(r.TRACK.length, 2);
  assert.equal(st.trackEpoch, 12);
  assert.deepEqual(st.nextRequest(0), { statsType: 'flights', id: 12, icao: '4CA1FA', tid: 12 });
  st.accept(answer(15, [{ I: '4CA1FA', TRACK: '' }]), 0);
  r = st.records.get('4CA1FA');
  assert.equal(r.fullTrack, false);
  assert.deepEqual(r.TRACK, []);
  assert.equal(st.trackEpoch, 15);
  st.nextRequest(0);
  st.accept(answer(16, [{ I: '4CA1FA', A: 35200 }]), 0);
  assert.equal('TRACK' in st.records.get('4CA1FA'), false, 'TRACK is dropped when absent');
  st.nextRequest(0);
  st.accept(answer(18, [{ I: '4CA1FA', FSYNC: true, TRACK: [[51.7, -0.1, 35200]] }]), 0);
  assert.equal(st.records.get('4CA1FA').fsync, true);
  assert.equal(st.nextRequest(0).tid, 0, 'FSYNC asks for the whole trail again');
});

test('a full trail asked for one aircraft does not count for the next one selected', () => {
  const st = started(10, [{ I: '4CA1FA', A: 1 }, { I: 'A1B2C3', A: 1 }]);
  st.select('4CA1FA');
  st.nextRequest(0);
  st.select('A1B2C3');
  st.accept(answer(11, [{ I: '4CA1FA', TRACK: [[51.5, -0.12, 35000]] }]), 0);
  assert.deepEqual(st.nextRequest(0), { statsType: 'flights', id: 11, icao: 'A1B2C3', tid: 0 });
});
