'use strict';
// The demo's feed ports: the MSG text feed where BaseStation-format clients dial (30003), every
// feed on a port of its own, and the text the demo prints and the README saying the same.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');

const repo = path.join(__dirname, '..', '..');
const script = fs.readFileSync(path.join(repo, 'scripts/run-demo.sh'), 'utf8');

// Option -> port of the velkaro command line of the demo.
function demoPorts() {
  const command = script.slice(script.indexOf('"$build_dir/velkaro"')).split('"$@"')[0].replace(/\\\n/g, ' ');
  const ports = {};
  for (const m of command.matchAll(/--(\w+) (\d+)/g)) ports[m[1]] = Number(m[2]);
  return ports;
}

test('the demo puts MSG on 30003 and every feed on its own port', () => {
  const ports = demoPorts();
  assert.equal(ports.msg, 30003);
  for (const name of ['beast', 'avr', 'avrmlat', 'avrmlatas', 'sbs10001', 'web']) assert.ok(ports[name], 'no --' + name);
  const used = Object.values(ports);
  assert.equal(new Set(used).size, used.length, 'two feeds share a port: ' + JSON.stringify(ports));
});

test('the demo text and the README name the ports the demo opens', () => {
  const ports = demoPorts();
  const readme = fs.readFileSync(path.join(repo, 'README.md'), 'utf8');
  const demoPart = readme.slice(readme.indexOf('`run-demo.sh` starts'), readme.indexOf('`run-tests.sh`'));
  const said = script.slice(script.indexOf('<<TEXT'), script.indexOf('\nTEXT'));
  for (const [text, where] of [[said, 'the demo text'], [demoPart, 'the README']]) {
    for (const [label, option] of [['MSG', 'msg'], ['AVR-MLAT AirSpy', 'avrmlatas'], ['BEAST', 'beast'], ['SBS-3', 'sbs10001']]) {
      assert.match(text, new RegExp(label + '[^,;]*?' + ports[option]), where + ' on ' + label);
    }
    assert.match(text, new RegExp('AVR-MLAT ' + ports.avrmlat), where + ' on AVR-MLAT');
    assert.match(text, /nc localhost 30003/, where + ': the nc example');
  }
});
