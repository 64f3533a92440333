// The check of Node.js against the lock file's engines ranges, as npm reads them.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { satisfies } = require('./check-engines.cjs');

test('ranges of engines.node', () => {
  const cases = [
    // range, version, satisfied (null: a form the check cannot read)
    ['>=18', [18, 20, 4], true],
    ['>=18', [17, 9, 1], false],
    ['>=20', [18, 20, 4], false],
    ['>=18.19.0', [18, 19, 0], true],
    ['>=18.19.0', [18, 18, 2], false],
    ['>18', [18, 20, 4], false], // "18" is 18.x.x, so >18 starts at 19
    ['>18', [19, 0, 0], true],
    ['<20', [19, 99, 0], true],
    ['<20', [20, 0, 0], false],
    ['<=18', [18, 99, 9], true],
    ['^18.17.0', [18, 20, 4], true],
    ['^18.17.0', [20, 0, 0], false],
    ['^0.10.2', [0, 10, 9], true],
    ['^0.10.2', [0, 11, 0], false],
    ['~18.19', [18, 19, 7], true],
    ['~18.19', [18, 20, 0], false],
    ['18.x', [18, 0, 0], true],
    ['18', [19, 0, 0], false],
    ['>= 16 < 19', [18, 20, 4], true],
    ['>=16 <18', [18, 20, 4], false],
    ['^18.19.0 || >=20', [18, 18, 0], false],
    ['^18.19.0 || >=20', [22, 1, 0], true],
    ['*', [4, 0, 0], true],
    ['1.0.0 - 2.0.0', [1, 5, 0], null],
  ];
  for (const [range, version, expected] of cases)
    assert.equal(satisfies(version, range), expected, `${range} against ${version.join('.')}`);
});

test('an unsuitable Node.js is named in one line, the current one passes', () => {
  const script = path.join(__dirname, 'check-engines.cjs');
  const ok = spawnSync(process.execPath, [script], { encoding: 'utf8' });
  assert.equal(ok.status, 0, ok.stderr);
  const lock = JSON.parse(fs.readFileSync(path.join(__dirname, 'package-lock.json'), 'utf8'));
  lock.packages['node_modules/playwright-core'].engines.node = `>=${Number(process.versions.node.split('.')[0]) + 1}`;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'calib-engines-'));
  try {
    fs.writeFileSync(path.join(dir, 'package-lock.json'), JSON.stringify(lock));
    const bad = spawnSync(process.execPath, [script, path.join(dir, 'package-lock.json')], { encoding: 'utf8' });
    assert.equal(bad.status, 1);
    assert.match(bad.stderr, /^install-deps: the browser tests need Node\.js >=\d+ \(playwright-core [\d.]+ in .*\), but the node first on PATH is [\d.]+: install one that is/);
    assert.equal(bad.stderr.split('\n').length, 2); // one line
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
