// Log tab: the program's log lines, the newest 300.
(function (root) {
  'use strict';
  const { $, el } = root.VelkaroUi;
  const { LogBuffer } = root.VelkaroApp;

  const LEVELS = { 1: 'error', 2: 'warning', 3: 'notice', 4: 'info', 5: 'debug' };

  class LogView {
    constructor() {
      this.buffer = new LogBuffer(300);
      this.node = $('log');
      this.follow = $('logFollow');
    }

    get index() {
      return this.buffer.index;
    }

    append(answer) {
      const added = this.buffer.append(answer);
      if (!added.length) return;
      const frag = document.createDocumentFragment();
      for (const line of added) {
        frag.appendChild(el('div', { class: 'line ' + (LEVELS[line.level] || 'info') }, line.text));
      }
      this.node.appendChild(frag);
      while (this.node.childElementCount > this.buffer.limit) this.node.firstElementChild.remove();
      const n = this.buffer.lines.length;
      $('logCount').textContent = n === 1 ? '1 line' : n + ' lines';
      if (this.follow.checked) this.node.scrollTop = this.node.scrollHeight;
    }
  }

  root.VelkaroLogView = { LogView };
})(self);
