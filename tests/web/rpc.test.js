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
