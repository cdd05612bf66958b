'use strict';
// The request function: the envelope it sends and the failure texts the error dialog gets.
const test = require('node:test');
const assert = require('node:assert/strict');
const { createRpc, ErrorRecorder } = require('../../web/js/rpc.js');

function fakeFetch(reply) {
  const calls = [];
  const fn = async (url, init) => {
    calls.push({ url, init });
    if (reply instanceof Error) throw reply;
    return { ok: reply.ok !== false, status: reply.status || 200, text: async () => reply.body };
  };
  fn.calls = calls;
  return fn;
}

test('a request posts {"req", "data"} to /json and resolves with the answer', async () => {
  const fetch = fakeFetch({ body: '{"status":"OK","stats":{"version":"v.20170127"}}\n' });
  const rpc = createRpc({ fetch, recorder: new ErrorRecorder() });
  const answer = await rpc.request('getStats', { statsType: 'ver' });
  assert.equal(answer.stats.version, 'v.20170127');
  assert.equal(fetch.calls[0].url, '/json');
  assert.equal(fetch.calls[0].init.method, 'POST');
  assert.deepEqual(JSON.parse(fetch.calls[0].init.body), { req: 'getStats', data: { statsType: 'ver' } });
});

test('failure texts', async () => {
  const cases = [
    [{ body: '{"stats":1}' }, 'Unexpected response.'],
    [{ body: 'not json' }, 'Unexpected response.'],
    [{ body: '{"status":"ERROR","message":"Invalid stats type"}' }, 'Error: Invalid stats type'],
    [{ body: '{"message":"Unknown request name","status":"ERROR"}' }, 'Error: Unknown request name'],
    [{ body: '{"status":"ERROR"}' }, 'Error without message'],
    [{ ok: false, status: 401, body: '' }, 'Error ajax request'],
    [new Error('connection refused'), 'Error ajax request'],
  ];
  for (const [reply, text] of cases) {
    const rpc = createRpc({ fetch: fakeFetch(reply), recorder: new ErrorRecorder() });
    await assert.rejects(rpc.request('x', {}), (e) => e.message === text, text);
  }
});

test('the dialog keeps the first failure of a series until a request succeeds', async () => {
  const shown = [];
  const recorder = new ErrorRecorder((t) => shown.push(t));
  const bad1 = createRpc({ fetch: fakeFetch({ body: '{"status":"ERROR","message":"one"}' }), recorder });
  const bad2 = createRpc({ fetch: fakeFetch({ body: '{"status":"ERROR","message":"two"}' }), recorder });
  const good = createRpc({ fetch: fakeFetch({ body: '{"status":"OK"}' }), recorder });
  await bad1.request('a').catch(() => {});
  await bad2.request('a').catch(() => {});
  assert.equal(recorder.text, 'Error: one');
  await good.request('a');
  assert.equal(recorder.text, '');
  await bad2.request('a').catch(() => {});
  assert.equal(recorder.text, 'Error: two');
  assert.deepEqual(shown, ['Error: one', '', 'Error: two']);
});

// The program gives an outside request 20 s: an "api" question waits past that, the others do not.
test('an api question outwaits the program, other requests give up after 15 s', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  const hanging = async (url, init) => new Promise((resolve, reject) => {
    init.signal.addEventListener('abort', () => reject(new Error('aborted')));
  });
  const rpc = createRpc({ fetch: hanging, recorder: new ErrorRecorder() });
  const settled = {};
  for (const name of ['api', 'getStats']) {
    rpc.request(name, {}).catch((e) => { settled[name] = e.message; });
  }
  const after = async (ms) => {
    t.mock.timers.tick(ms);
    for (let i = 0; i < 5; i++) await Promise.resolve();
  };
  await after(15000);
  assert.deepEqual(settled, { getStats: 'Error ajax request' });
  await after(6000); // 21 s: the program's own bound has passed
  assert.equal(settled.api, undefined);
  await after(4000);
  assert.equal(settled.api, 'Error ajax request');
});

test('a busy service and a reply code read apart from no answer', () => {
  const rpcModule = require('../../web/js/rpc.js');
  global.self = { VelkaroUi: {}, VelkaroApp: require('../../web/js/app.js'), VelkaroRpc: rpcModule };
  require('../../web/js/notam-view.js');
  const { unavailable } = global.self.VelkaroNotamView;
  const service = 'the weather service';
  const cases = [
    ['Error: HTTP response code: 404', 'not available: the weather service has no report for EGLL'],
    ['Error: HTTP response code: 503', 'not available: the weather service answered with code 503'],
    ['Error: Read error Connection timed out', 'not available: no answer from the weather service'],
    ['Error: Connect timeout url http://x/EGLL.TXT', 'not available: no answer from the weather service'],
    ['Error: Resolve host x timeout', 'not available: no answer from the weather service'],
    ['Error: Busy: the outside service has too many questions open, try again shortly', 'busy, try again'],
    ['Error: Invalid api reponse', 'not available: Invalid api reponse'],
  ];
  for (const [message, text] of cases) assert.equal(unavailable(new Error(message), service, 'EGLL'), text, message);
  assert.equal(rpcModule.isBusy(new Error('Error: Busy: x')), true);
  assert.equal(rpcModule.isBusy(new Error('Error: Incorrect icao')), false);
});
