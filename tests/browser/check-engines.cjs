// Checks that the running Node.js satisfies the `engines.node` range of
// every package in the lock file, so that an unsuitable Node.js is named by
// scripts/install-deps in one line instead of failing a test later with the
// driver's message. Plain CommonJS and old syntax: it must run on the Node.js
// it is judging.
//
// Usage: node check-engines.cjs [package-lock.json]
// Exit 0 when satisfied, 1 with one line on standard error when not.
'use strict';
var fs = require('fs');
var path = require('path');

function parseVersion(text) {
  var m = /^v?(\d+)(?:\.(\d+|x|\*))?(?:\.(\d+|x|\*))?$/.exec(text);
  if (!m) return null;
  var part = function (s) { return s === undefined || s === 'x' || s === '*' ? null : Number(s); };
  return [Number(m[1]), part(m[2]), part(m[3])];
}

function compare(a, b) {
  for (var i = 0; i < 3; ++i) if (a[i] !== b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// [lowest allowed, first not allowed] of one comparator; null bounds are open.
// Missing parts of a version are zero for the lower bound and widen the
// upper one, as npm reads them ("18" is 18.x.x, "^18" is >=18.0.0 <19.0.0).
function bounds(op, v) {
  var low = [v[0], v[1] || 0, v[2] || 0];
  var next = v[1] === null ? [v[0] + 1, 0, 0] : v[2] === null ? [v[0], v[1] + 1, 0] : [v[0], v[1], v[2] + 1];
  switch (op) {
    case '>=': return [low, null];
    case '>': return [next, null];
    case '<': return [null, low];
    case '<=': return [null, next];
    case '~': return [low, v[1] === null ? [v[0] + 1, 0, 0] : [v[0], v[1] + 1, 0]];
    case '^':
      if (v[0] > 0 || v[1] === null) return [low, [v[0] + 1, 0, 0]];
      if (v[1] > 0 || v[2] === null) return [low, [0, v[1] + 1, 0]];
      return [low, [0, 0, v[2] + 1]];
    default: return [low, next]; // '=' or none
  }
}

// True or false, or null for a range written in a form this reader does not know.
function satisfies(version, range) {
  var alternatives = range.split('||');
  for (var i = 0; i < alternatives.length; ++i) {
    var words = alternatives[i].trim().replace(/(>=|<=|[<>=^~])\s+/g, '$1').split(/\s+/);
    var ok = true;
    for (var j = 0; j < words.length; ++j) {
      if (words[j] === '' || words[j] === '*' || words[j] === 'x') continue;
      var m = /^(>=|<=|[<>=^~])?(.*)$/.exec(words[j]);
      var v = parseVersion(m[2]);
      if (!v) return null;
      var b = bounds(m[1] || '=', v);
      if ((b[0] && compare(version, b[0]) < 0) || (b[1] && compare(version, b[1]) >= 0)) ok = false;
    }
    if (ok) return true;
  }
  return false;
}

function fail(message) {
  process.stderr.write('install-deps: ' + message + '\n');
  process.exit(1);
}

function main() {
  var lockPath = process.argv[2] || path.join(__dirname, 'package-lock.json');
  var relative = path.relative(process.cwd(), lockPath);
  var where = relative && relative.indexOf('..') !== 0 ? relative : lockPath;
  var lock;
  try {
    lock = JSON.parse(fs.readFileSync(lockPath, 'utf8'));
  } catch (e) {
    fail('cannot read ' + where + ': ' + e.message);
  }
  var running = process.versions.node;
  var packages = lock.packages || {};
  Object.keys(packages).forEach(function (key) {
    var wanted = packages[key].engines && packages[key].engines.node;
    if (!key || !wanted) return;
    var name = key.replace(/^.*node_modules\//, '') + ' ' + packages[key].version;
    var answer = satisfies(parseVersion(running), wanted);
    if (answer === null) fail(name + ' in ' + where + " asks for Node.js '" + wanted + "', a range this check cannot read");
    if (!answer)
      fail('the browser tests need Node.js ' + wanted + ' (' + name + ' in ' + where + '), but the node first ' +
           'on PATH is ' + running + ': install one that is, first on PATH' +
           " (Debian 12's own: apt-get install nodejs npm)");
  });
}

module.exports = { satisfies: satisfies };
if (require.main === module) main();
