// Requests to "/json": POST {"req": name, "data": parameters}; resolves with the answer,
// rejects with the text the error dialog shows.
(function (root) {
  'use strict';

  const TIMEOUT_MS = 15000; // a hung request must not stall its poller for ever
  // The program gives an outside request 20 s: the page waits longer, so that its answer, or the
  // program's own error, still finds the page waiting.
  const API_TIMEOUT_MS = 25000;

  const timeoutFor = (name) => (name === 'api' ? API_TIMEOUT_MS : TIMEOUT_MS);

  // The program's answer to an "api" question while the service has too many open.
  const isBusy = (error) => /^(Error: )?Busy\b/.test(String((error && error.message) || error || ''));
  const BUSY_TEXT = 'busy, try again';

  class RequestError extends Error {}

  // Keeps the first failure of a series until some request succeeds again.
  class ErrorRecorder {
    constructor(onChange) {
      this.text = '';
      this.onChange = onChange || (() => {});
    }
    failed(text) {
      if (this.text) return;
      this.text = text;
      this.onChange(this.text);
    }
    succeeded() {
      if (!this.text) return;
      this.text = '';
      this.onChange(this.text);
    }
  }

  function answerError(answer) {
    if (answer === null || typeof answer !== 'object' || !('status' in answer)) {
      return 'Unexpected response.';
    }
    if (answer.status !== 'OK') {
      return 'message' in answer ? 'Error: ' + answer.message : 'Error without message';
    }
    return '';
  }

  function createRpc(options) {
    const fetchFn = options.fetch;
    const recorder = options.recorder;
    const url = options.url || '/json';

    async function request(name, data) {
      let answer;
      let timer;
      try {
        const abort = typeof AbortController === 'function' ? new AbortController() : null;
        if (abort) timer = setTimeout(() => abort.abort(), timeoutFor(name));
        const response = await fetchFn(url, {
          method: 'POST',
          headers: { 'Content-Type': 'application/json' },
          body: JSON.stringify({ req: name, data: data || {} }),
          signal: abort ? abort.signal : undefined,
        });
        if (!response.ok) throw new Error('HTTP ' + response.status);
        const text = await response.text();
        try {
          answer = JSON.parse(text);
        } catch (e) {
          answer = undefined;
        }
      } catch (e) {
        recorder.failed('Error ajax request');
        throw new RequestError('Error ajax request');
      } finally {
        clearTimeout(timer);
      }
      const error = answerError(answer);
      if (error) {
        recorder.failed(error);
        throw new RequestError(error);
      }
      recorder.succeeded();
      return answer;
    }

    return { request };
  }

  const api = { createRpc, ErrorRecorder, RequestError, answerError, timeoutFor, isBusy, BUSY_TEXT };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.VelkaroRpc = api;
})(typeof self !== 'undefined' ? self : this);
