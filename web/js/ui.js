// Small DOM, cookie and number-formatting helpers shared by the views.
(function (root) {
  'use strict';

  const COOKIE_AGE = 7 * 24 * 3600;

  function getCookie(name) {
    for (const part of document.cookie.split(';')) {
      const eq = part.indexOf('=');
      if (eq < 0) continue;
      if (part.slice(0, eq).trim() === name) {
        try {
          return decodeURIComponent(part.slice(eq + 1).trim());
        } catch (e) {
          return null;
        }
      }
    }
    return null;
  }

  function setCookie(name, value) {
    document.cookie = name + '=' + encodeURIComponent(String(value)) +
      '; max-age=' + COOKIE_AGE + '; path=/; SameSite=Lax';
  }

  const $ = (id) => document.getElementById(id);

  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    if (attrs) {
      for (const k in attrs) {
        const v = attrs[k];
        if (v === undefined || v === null || v === false) continue;
        if (k === 'class') node.className = v;
        else if (k === 'text') node.textContent = v;
        else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
        else node.setAttribute(k, v === true ? '' : v);
      }
    }
    for (const c of [].concat(children || [])) {
      if (c === null || c === undefined || c === false) continue;
      node.appendChild(typeof c === 'string' || typeof c === 'number' ? document.createTextNode(String(c)) : c);
    }
    return node;
  }

  function esc(text) {
    return String(text).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
  }

  const known = (v) => v !== undefined && v !== null && v !== '';
  const num = (v) => (known(v) && Number.isFinite(Number(v)) ? Number(v) : null);

  function fmtInt(v) {
    const n = num(v);
    return n === null ? '' : Math.round(n).toLocaleString('en-US').replace(/,/g, '\u202f');
  }

  function fmtFixed(v, digits) {
    const n = num(v);
    return n === null ? '' : n.toFixed(digits);
  }

  function fmtBytes(n) {
    if (n === null || !Number.isFinite(n)) return '–';
    const units = ['B', 'kB', 'MB', 'GB', 'TB'];
    let i = 0;
    while (n >= 1000 && i < units.length - 1) {
      n /= 1000;
      i++;
    }
    return (i === 0 ? Math.round(n) : n.toFixed(n < 10 ? 2 : 1)) + ' ' + units[i];
  }

  function fmtTime(epochSeconds, withDate) {
    const n = num(epochSeconds);
    if (n === null) return '';
    const d = new Date(n * 1000);
    return withDate ? d.toLocaleString() : d.toLocaleTimeString();
  }

  function fmtAgo(epochSeconds) {
    const n = num(epochSeconds);
    if (n === null) return '';
    const s = Math.max(0, Math.round(Date.now() / 1000 - n));
    if (s < 60) return s + ' s';
    if (s < 3600) return Math.floor(s / 60) + ' min';
    return Math.floor(s / 3600) + ' h';
  }

  // A "nice" upper bound for a scale: 1, 2 or 5 times a power of ten.
  function niceCeil(v) {
    if (!(v > 0)) return 1;
    const p = Math.pow(10, Math.floor(Math.log10(v)));
    for (const m of [1, 2, 5, 10]) if (v <= m * p) return m * p;
    return 10 * p;
  }

  function onResize(node, fn) {
    if (typeof ResizeObserver === 'function') new ResizeObserver(() => fn()).observe(node);
    else window.addEventListener('resize', fn);
  }

  root.VelkaroUi = { getCookie, setCookie, $, el, esc, known, num, fmtInt, fmtFixed, fmtBytes, fmtTime, fmtAgo, niceCeil, onResize };
})(self);
