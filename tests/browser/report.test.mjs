// The report of calib-batch in a real browser: Debian's Chromium, headless,
// driven by playwright-core. A small stand's tree is simulated and analysed
// (an ordinary chip calibrated twice, a chip with a dead and a clipped
// channel, a MuCh chip, a chip whose name is HTML, and a second board whose
// gain drifts over three days), the report made, and the pages
// opened from file:// and clicked through.
//
// Environment: CALIB_BATCH, CALIB_SIM (the programs), ARTIFACT_DIR (where
// the screenshots go), CHROMIUM (default /usr/bin/chromium).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const calibBatch = process.env.CALIB_BATCH;
const calibSim = process.env.CALIB_SIM;
const artifacts = process.env.ARTIFACT_DIR ?? os.tmpdir();
const evil = `<img src=x onerror="window.pwned=1">&"it's"`;

let dir, out, browser;
fs.mkdirSync(artifacts, { recursive: true });

function simulate(chip, config, day, time, ...options) {
  const leaf = path.join(dir, 'robot', day, `${time}_kelta${chip}`);
  fs.mkdirSync(leaf, { recursive: true });
  const file = path.join(leaf, `${time}_kelta${chip}_dunor00_link00_${config}_adc.txt`);
  execFileSync(calibSim, ['--trains', '10', '--config', config, '--no-truth', ...options, file]);
}

// A stand file of a board other than dunor00.
function simulateOn(board, chip, day, time, ...options) {
  const leaf = path.join(dir, 'robot', day, `${time}_kelta${chip}`);
  fs.mkdirSync(leaf, { recursive: true });
  const file = path.join(leaf, `${time}_kelta${chip}_${board}_link00_20mV_calib-odd_adc.txt`);
  execFileSync(calibSim, ['--trains', '10', '--config', '20mV_calib-odd', '--no-truth', ...options, file]);
}

// A page opened from file://, its script errors and failed requests kept.
async function open(relative) {
  const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
  page.problems = [];
  page.on('pageerror', (e) => page.problems.push(`script error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') page.problems.push(`console: ${m.text()}`); });
  page.on('requestfailed', (r) => page.problems.push(`request failed: ${r.url()}`));
  await page.goto(pathToFileURL(path.join(out, 'report', relative)).href, { waitUntil: 'load' });
  return page;
}

const visibleRows = (page) =>
  page.$$eval('#chips tbody tr', (rows) => rows.filter((r) => !r.hidden).map((r) => ({ ...r.dataset })));

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'calib-report-'));
  out = path.join(dir, 'out');
  simulate('100000', '20mV_calib-odd', '20180725', '120000', '--seed', '1', '--chip-seed', '1');
  simulate('100000', '20mV_calib-odd', '20180726', '120000', '--seed', '2', '--chip-seed', '1');
  // Channel 7 of twice the gain: clipped, its highest pulses saturated.
  simulate('100001', '20mV_calib-odd', '20180726', '130000', '--seed', '3', '--dead', '3', '--outlier', '7',
    '--outlier-factor', '2.2');
  simulate('100002', '4mV_calib', '20180726', '140000', '--seed', '4');
  simulate(evil, '20mV_calib-odd', '20180726', '150000', '--seed', '5');
  // Trends: dunor00 steady over three days, dunor01's gain rising 20 → 24 → 28 mV/fC.
  simulate('100010', '20mV_calib-odd', '20180724', '100000', '--seed', '10');
  simulate('100014', '20mV_calib-odd', '20180724', '100500', '--seed', '14');
  simulateOn('dunor01', '100011', '20180724', '110000', '--seed', '11', '--gain', '20');
  simulateOn('dunor01', '100012', '20180725', '110000', '--seed', '12', '--gain', '24');
  simulateOn('dunor01', '100013', '20180726', '110000', '--seed', '13', '--gain', '28');
  const run = spawnSync(calibBatch, ['run', '--settle', '0', '--out', out, 'robot'], { cwd: dir, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stdout + run.stderr); // a chip that fails is a result, not an error
  const report = spawnSync(calibBatch, ['report', '--db', `sqlite:${out}/calib.sqlite`, '--out', `${out}/report`],
    { cwd: dir, encoding: 'utf8' });
  assert.equal(report.status, 0, report.stderr);
  assert.match(report.stdout, /^report: 9 chips, 9 chip configurations: /);
  process.env.HOME = dir;
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
  });
});

after(async () => {
  await browser?.close();
  fs.rmSync(dir, { recursive: true, force: true });
});

test('the overview lists every chip with its verdict, yield and distributions', async () => {
  const page = await open('index.html');
  const rows = await visibleRows(page);
  assert.deepEqual(rows.map((r) => [r.chip, r.config, r.verdict]).sort(), [
    [evil, '20mV_calib-odd', 'pass'],
    ['100000', '20mV_calib-odd', 'pass'],
    ['100001', '20mV_calib-odd', 'fail'],
    ['100002', '4mV_calib', 'pass'],
    ...['100010', '100011', '100012', '100013', '100014'].map((chip) => [chip, '20mV_calib-odd', 'pass']),
  ].sort());
  const failed = rows.find((r) => r.chip === '100001');
  assert.equal(failed.channelsNotOk, '2');
  assert.match(failed.reasons, /dead 3/);
  // Yield: every run, the chip calibrated twice counted twice.
  const days = await page.$$eval('#yield-by-day tbody tr', (t) => t.map((r) => [r.dataset.key, r.dataset.pass, r.dataset.fail]));
  assert.deepEqual(days, [['2018-07-24', '3', '0'], ['2018-07-25', '2', '0'], ['2018-07-26', '4', '1']]);
  // A histogram of each quantity per configuration, the criteria's limits drawn.
  assert.equal(await page.locator('#distributions svg.chart').count(), 8);
  assert.ok(await page.locator('#dist-0-enc line.limit').count() >= 1);
  assert.ok(await page.locator('#dist-0-inl line.limit').count() >= 1);
  await page.screenshot({ path: path.join(artifacts, 'report-index.png'), fullPage: true });
  assert.deepEqual(page.problems, []);
});

test('clicking a heading sorts the chips, the filters hide them', async () => {
  const page = await open('index.html');
  const heading = page.locator('#chips th[data-key="medianGain"]');
  await heading.click();
  assert.equal(await heading.getAttribute('aria-sort'), 'ascending');
  let gains = (await visibleRows(page)).map((r) => Number(r.medianGain));
  assert.deepEqual(gains, [...gains].sort((a, b) => a - b));
  assert.equal((await visibleRows(page))[0].chip, '100002'); // MuCh: 4 mV/fC
  await heading.click();
  assert.equal(await heading.getAttribute('aria-sort'), 'descending');
  gains = (await visibleRows(page)).map((r) => Number(r.medianGain));
  assert.deepEqual(gains, [...gains].sort((a, b) => b - a));

  await page.selectOption('#verdict-filter', 'fail');
  assert.deepEqual((await visibleRows(page)).map((r) => r.chip), ['100001']);
  assert.equal(await page.textContent('#shown-count'), '1');
  await page.selectOption('#verdict-filter', '');
  await page.selectOption('#config-filter', '4mV_calib');
  assert.deepEqual((await visibleRows(page)).map((r) => r.chip), ['100002']);
  await page.selectOption('#config-filter', '');
  await page.fill('#text-filter', 'dead');
  assert.deepEqual((await visibleRows(page)).map((r) => r.chip), ['100001']);
  await page.fill('#text-filter', '');
  assert.equal((await visibleRows(page)).length, 9);
  assert.deepEqual(page.problems, []);
});

test('a chip name that is HTML shows as text and runs nothing', async () => {
  const page = await open('index.html');
  const link = page.locator('#chips tbody a', { hasText: 'onerror' });
  assert.equal(await link.textContent(), evil);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.locator('img[src="x"]').count(), 0);
  await link.click();
  await page.waitForLoadState('load');
  assert.equal(await page.textContent('#chip-name'), evil);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.locator('img[src="x"]').count(), 0);
  assert.deepEqual(page.problems, []);
});

test('a chip page shows its channels, the previous calibration and every plot', async () => {
  const page = await open('index.html');
  await page.locator('#chips tbody a', { hasText: '100000' }).click();
  await page.waitForLoadState('load');
  const run = page.locator('section.run').first();
  assert.equal(await run.getAttribute('data-verdict'), 'pass');
  assert.equal(await run.locator('table.channels tbody tr').count(), 32);
  assert.deepEqual(new Set(await run.locator('table.channels tbody tr').evaluateAll((t) => t.map((r) => r.dataset.status))),
    new Set(['ok']));
  // Compared with the day before: a change per channel, both calibrations drawn.
  assert.ok(await run.locator('p.changes[data-previous-run]').count() === 1);
  assert.equal(await run.locator('svg#gain-0 circle.previous').count(), 32);
  assert.equal(await run.locator('svg#gain-0 circle.current').count(), 32);
  assert.equal(await page.locator('#history tbody tr').count(), 2);
  // Every plot there and loaded: 32 channels and the fit parameters.
  const images = await page.$$eval('img', async (all) => {
    for (const img of all) img.loading = 'eager';
    await Promise.all(all.map((img) => (img.complete ? null : new Promise((r) => { img.onload = img.onerror = r; }))));
    return all.map((img) => ({ src: img.getAttribute('src'), width: img.naturalWidth }));
  });
  assert.ok(images.length >= 33, `${images.length} images`);
  assert.deepEqual(images.filter((i) => i.width === 0), []);
  const timing = await page.evaluate(() => performance.getEntriesByType('navigation')[0].duration);
  console.log(`chip page loaded in ${timing.toFixed(0)} ms`);
  await page.screenshot({ path: path.join(artifacts, 'report-chip.png'), fullPage: true });
  assert.deepEqual(page.problems, []);
});

test('a report is made again in place, and never over something else', () => {
  const again = spawnSync(calibBatch, ['report', '--db', `sqlite:${out}/calib.sqlite`, '--out', `${out}/report`,
    '--since', '2018-07-26', '--config', '20mV*'], { encoding: 'utf8' });
  assert.equal(again.status, 0, again.stderr);
  assert.match(again.stdout, /^report: 4 chips, 4 chip configurations: /);
  assert.deepEqual(fs.readdirSync(out).filter((f) => f.startsWith('.report')), []);
  const refused = spawnSync(calibBatch, ['report', '--db', `sqlite:${out}/calib.sqlite`, '--out', path.join(dir, 'robot')],
    { encoding: 'utf8' });
  assert.equal(refused.status, 1);
  assert.match(refused.stderr, /holds something else than a report/);
  assert.ok(fs.existsSync(path.join(dir, 'robot', '20180725')));
  fs.writeFileSync(path.join(dir, 'notes'), '');
  const overFile = spawnSync(calibBatch, ['report', '--db', `sqlite:${out}/calib.sqlite`, '--out', path.join(dir, 'notes')],
    { encoding: 'utf8' });
  assert.equal(overFile.status, 1);
  assert.ok(fs.statSync(path.join(dir, 'notes')).isFile());
  // A link to the report keeps pointing at the new one.
  fs.symlinkSync(path.join(out, 'report'), path.join(dir, 'current'));
  const throughLink = spawnSync(calibBatch, ['report', '--db', `sqlite:${out}/calib.sqlite`, '--out', path.join(dir, 'current')],
    { encoding: 'utf8' });
  assert.equal(throughLink.status, 0, throughLink.stderr);
  assert.ok(fs.lstatSync(path.join(dir, 'current')).isSymbolicLink());
  assert.match(throughLink.stdout, /^report: 9 chips/);
});

test('the trends mark the board whose gain drifts, not the steady one', async () => {
  const index = await open('index.html');
  assert.match(await index.textContent('#trends-link'), /moved: dunor01 \(20mV_calib-odd\)/);
  await index.click('#trends-link a');
  await index.waitForLoadState('load');
  const section = index.locator('section.trend-config[data-config="20mV_calib-odd"]');
  const boards = await section.locator('table.trend-series tr[data-board]').evaluateAll((rows) =>
    rows.map((r) => [r.dataset.board, r.dataset.marked, r.dataset.since]));
  assert.deepEqual(boards, [['dunor00', 'false', ''], ['dunor01', 'true', '2018-07-25']]);
  assert.ok(Number(await section.locator('tr[data-board="dunor01"]').getAttribute('data-shift')) > 3);
  // Drawn: a line per board and one of the configuration, the marked one in red.
  const gain = section.locator('svg[id$="-gain"]').first();
  assert.deepEqual(await gain.locator('g[data-series]').evaluateAll((g) => g.map((e) => e.dataset.series)),
    ['all chips', 'dunor00', 'dunor01']);
  assert.equal(await gain.locator('g[data-series="dunor01"] path.series.marked').count(), 1);
  assert.equal(await gain.locator('g[data-series="dunor01"] circle').count(), 3);
  // The yield of each day, as on the overview.
  const days = await index.$$eval('#trend-configs tr[data-series="20mV_calib-odd"]',
    (rows) => rows.map((r) => [r.dataset.day, r.dataset.pass, r.dataset.fail]));
  assert.deepEqual(days, [['2018-07-24', '3', '0'], ['2018-07-25', '2', '0'], ['2018-07-26', '3', '1']]);
  await index.screenshot({ path: path.join(artifacts, 'report-trends.png'), fullPage: true });
  assert.deepEqual(index.problems, []);
});

// The overview's attention block, URL fragment and layout, on a stand of
// its own: a fail on an earlier day, then on the latest day a fail, the
// same chip measured again and passing, an error (a file of a few lines
// without data) and a pass.
let attention;
function attentionStand() {
  attention ??= (() => {
    const root = path.join(dir, 'attention');
    const put = (chip, config, day, time, ...options) => {
      const leaf = path.join(root, 'robot', day, `${time}_kelta${chip}`);
      fs.mkdirSync(leaf, { recursive: true });
      const file = path.join(leaf, `${time}_kelta${chip}_dunor00_link00_${config}_adc.txt`);
      if (options[0] === 'no data') fs.writeFileSync(file, 'stand log\ntemperature 24.1\nend\n');
      else execFileSync(calibSim, ['--trains', '10', '--config', config, '--no-truth', ...options, file]);
    };
    put('200001', '20mV_calib-odd', '20180725', '100000', '--seed', '11', '--dead', '0-5');
    put('200002', '20mV_calib-odd', '20180726', '100000', '--seed', '12', '--chip-seed', '2', '--dead', '0-5');
    put('200002', '20mV_calib-odd', '20180726', '150000', '--seed', '13', '--chip-seed', '2');
    put('200003', '20mV_calib-odd', '20180726', '110000', 'no data');
    put('200004', '4mV_calib', '20180726', '120000', '--seed', '14');
    const run = spawnSync(calibBatch, ['run', '--settle', '0', '--out', 'out', 'robot'], { cwd: root, encoding: 'utf8' });
    assert.equal(run.status, 1, run.stdout + run.stderr); // the error makes it 1
    const report = spawnSync(calibBatch, ['report', '--db', 'sqlite:out/calib.sqlite', '--out', 'out/report'],
      { cwd: root, encoding: 'utf8' });
    assert.equal(report.status, 0, report.stderr);
    return path.join(root, 'out', 'report', 'index.html');
  })();
  return attention;
}

async function openAt(file, { width = 1400, fragment = '' } = {}) {
  const page = await browser.newPage({ viewport: { width, height: 900 } });
  page.problems = [];
  page.on('pageerror', (e) => page.problems.push(`script error: ${e.message}`));
  await page.goto(pathToFileURL(file).href + fragment, { waitUntil: 'load' });
  return page;
}

test('the attention block lists exactly the failed and error runs of the latest day, before the yield', async () => {
  const page = await openAt(attentionStand());
  const listed = await page.$$eval('#attention-latest tbody tr', (rows) => rows.map((r) => ({
    ...r.dataset, href: r.querySelector('a').getAttribute('href'), reason: r.cells[4].textContent,
    title: r.cells[4].title, verdicts: r.cells[2].textContent,
  })));
  assert.deepEqual(listed.map((r) => [r.chip, r.verdict, r.measured]), [
    ['200003', 'error', '2018-07-26T11:00:00'],
    ['200002', 'fail', '2018-07-26T10:00:00'],
  ]);
  assert.equal(listed[0].href, 'chips/200003.html');
  assert.match(listed[0].reason, /^no_pulse_trains: no pulse train was found/);
  assert.match(listed[1].reason, /^channels_not_ok 6/);
  assert.match(listed[1].title, /dead 0-5/);
  assert.equal(listed[1].verdicts, 'fail then pass'); // measured again that afternoon
  assert.equal(await page.getAttribute('#attention [data-latest-day]', 'data-latest-day'), '2018-07-26');
  const order = await page.$$eval('body > section', (all) => all.map((s) => s.id));
  assert.ok(order.indexOf('attention') === 0 && order.indexOf('yield') < order.indexOf('chip-list'), order.join());
  // The chip table: short codes with values, the full text on hover.
  const cell = page.locator('#chips tr[data-chip="200001"] td.reasons');
  assert.match(await cell.textContent(), /^channels_not_ok 6/);
  assert.match(await cell.getAttribute('title'), /6 channels not ok .*dead 0-5/);
  assert.deepEqual(page.problems, []);
});

test('a filter and sort kept in the URL fragment survive a reload and travel in a link', async () => {
  const index = await attentionStand();
  const page = await openAt(index);
  await page.selectOption('#verdict-filter', 'fail');
  await page.locator('#chips th[data-key="maxEnc"]').click();
  await page.locator('#chips th[data-key="maxEnc"]').click();
  const hash = await page.evaluate(() => location.hash);
  assert.equal(new URLSearchParams(hash.slice(1)).toString(), 'verdict=fail&sort=-maxEnc');
  const fails = (await visibleRows(page)).map((r) => r.chip);
  await page.reload({ waitUntil: 'load' });
  assert.equal(await page.inputValue('#verdict-filter'), 'fail');
  assert.equal(await page.getAttribute('#chips th[data-key="maxEnc"]', 'aria-sort'), 'descending');
  assert.deepEqual((await visibleRows(page)).map((r) => r.chip), fails);
  assert.deepEqual(fails, ['200001']); // 200002 passed when measured again
  // The same view from a link; and a new fragment applied at once.
  const linked = await openAt(index, { fragment: '#text=no_pulse' });
  assert.deepEqual((await visibleRows(linked)).map((r) => r.chip), ['200003']);
  assert.equal(await linked.inputValue('#text-filter'), 'no_pulse');
  await linked.evaluate(() => { location.hash = 'config=4mV_calib'; });
  await linked.waitForFunction(() => document.getElementById('shown-count').textContent === '1');
  assert.deepEqual((await visibleRows(linked)).map((r) => r.chip), ['200004']);
  assert.equal(await linked.inputValue('#text-filter'), '');
  assert.deepEqual([...page.problems, ...linked.problems], []);
});

test('numbers and dates never wrap at 1280 px, reasons stay narrow and hold no paths', async () => {
  for (const index of [await attentionStand(), path.join(out, 'report', 'index.html')]) {
    const page = await openAt(index, { width: 1280 });
    const wrapped = await page.$$eval('td.num, td.date', (cells) => cells.filter((td) => {
      const range = document.createRange();
      range.selectNodeContents(td);
      const rects = [...range.getClientRects()].filter((r) => r.width > 0);
      if (rects.length === 0) return false;
      const line = Math.max(...rects.map((r) => r.height));
      return Math.max(...rects.map((r) => r.bottom)) - Math.min(...rects.map((r) => r.top)) > 1.5 * line;
    }).map((td) => td.textContent));
    assert.deepEqual(wrapped, [], index);
    const widths = await page.$eval('#chips', (t) => ({
      table: t.getBoundingClientRect().width,
      reasons: Math.max(...[...t.querySelectorAll('td.reasons')].map((td) => td.getBoundingClientRect().width)),
      paths: [...t.tBodies[0].rows].map((r) => r.innerText).filter((text) => /(^|[\s'"(])\/\w+\//.test(text)),
    }));
    assert.ok(widths.reasons < widths.table / 3, JSON.stringify(widths));
    assert.deepEqual(widths.paths, []);
    if (index.includes('attention'))
      await page.screenshot({ path: path.join(artifacts, 'report-overview-1280.png'), fullPage: true });
    assert.deepEqual(page.problems, []);
  }
});

// The results calib wrote for a chip, as the curves are drawn from them.
function resultsOf(chip) {
  const found = fs.readdirSync(out, { recursive: true }).filter((f) => f.endsWith(`gain_kelta${chip}_` + (chip === '100002' ? '4mV_calib' : '20mV_calib-odd') + '.log.json'));
  assert.equal(found.length, 1, found.join(', '));
  return JSON.parse(fs.readFileSync(path.join(out, found[0]), 'utf8'));
}

// How a point is marked: the first that applies.
const markOf = (p) => (!p.measured || p.amplitude === null ? 'm-unm' : p.saturated ? 'm-sat'
  : p.windowsAtLimit > 0 ? 'm-clip' : !p.inFitRange ? 'm-out' : 'm-fit');

test('a chip page draws every channel\'s curve from its points: clipped, saturated and unmeasured ones marked', async () => {
  const marked = {};
  for (const chip of ['100001', '100002']) {
    const page = await open(`chips/${chip}.html`);
    const results = resultsOf(chip);
    const curves = await page.$$eval('section.run svg.curve', (all) => all.map((svg) => {
      const res = svg.querySelector('g.res');
      const count = (root, kind) => [...root.querySelectorAll(`:scope > g.${kind} > *`)].length;
      const kinds = ['m-fit', 'm-out', 'm-clip', 'm-sat', 'm-unm'];
      return {
        channel: Number(svg.dataset.channel),
        status: svg.dataset.status,
        line: svg.querySelectorAll('line.fit').length,
        marks: Object.fromEntries(kinds.map((k) => [k, count(svg, k)]).filter(([, n]) => n)),
        residuals: kinds.reduce((n, k) => n + count(res, k), 0),
        colour: getComputedStyle(svg.closest('figure').querySelector('.status')).color,
      };
    }));
    assert.equal(curves.length, 32);
    for (const [c, channel] of results.channels.entries()) {
      const curve = curves[c];
      assert.equal(curve.channel, c);
      assert.equal(curve.status, channel.status);
      assert.equal(curve.line, channel.fit ? 1 : 0, `channel ${c}`);
      const expected = {};
      for (const p of channel.points) expected[markOf(p)] = (expected[markOf(p)] ?? 0) + 1;
      assert.deepEqual(curve.marks, expected, `${chip} channel ${c}`);
      // A residual for every point on the curve with an error.
      assert.equal(curve.residuals, channel.fit ? channel.points.filter((p) => ['m-fit', 'm-out', 'm-clip'].includes(markOf(p))
        && p.amplitudeError > 0).length : 0);
      assert.equal(curve.colour, channel.status === 'ok' ? 'rgb(46, 125, 50)' : 'rgb(198, 40, 40)');
      for (const [kind, n] of Object.entries(expected)) marked[kind] = (marked[kind] ?? 0) + n;
    }
    // Each curve beside the link to its plot.
    assert.equal(await page.locator('figure.curve figcaption a[href$=".png"]').count(), 32);
    assert.deepEqual(page.problems, []);
    if (chip === '100001') {
      const dead = curves[3], clipped = curves[7];
      assert.equal(dead.status, 'dead');
      assert.equal(clipped.status, 'clipped');
      assert.ok(clipped.marks['m-clip'] >= 1 && clipped.marks['m-sat'] >= 1, JSON.stringify(clipped));
      await page.locator('#curve-7').scrollIntoViewIfNeeded();
      await page.screenshot({ path: path.join(artifacts, 'report-chip-curves.png'), fullPage: true });
    } else {
      // MuCh: the two first pulses of the train are never measured.
      assert.ok(curves.every((c) => c.marks['m-unm'] === 2), JSON.stringify(curves[0]));
    }
  }
  assert.ok(marked['m-fit'] && marked['m-clip'] && marked['m-sat'] && marked['m-unm'], JSON.stringify(marked));
});

test('a chip page shows each channel\'s gain over its calibrations, and loads in under a second', async () => {
  const page = await open('chips/100000.html');
  const history = page.locator('section.run table.gain-history');
  assert.equal(await history.getAttribute('data-calibrations'), '2');
  const rows = await history.locator('tbody tr').evaluateAll((all) => all.map((r) => ({
    channel: r.dataset.channel, gains: [...r.cells].slice(1, 3).map((c) => Number(c.textContent)),
    trend: r.querySelectorAll('svg.trend polyline').length,
  })));
  assert.equal(rows.length, 32);
  // The latest column is the gain of the channel table.
  const latest = await page.$$eval('table.channels tbody tr', (all) => all.map((r) => Number(r.dataset.gain).toFixed(3)));
  assert.deepEqual(rows.map((r) => r.gains[1].toFixed(3)), latest);
  assert.ok(rows.every((r) => r.trend === 1 && r.gains[0] > 0));
  // 32 curves and 34 plots: the navigation, to the end of the load event.
  const ms = await page.evaluate(() => performance.getEntriesByType('navigation')[0].duration);
  console.log(`chip page with 32 curves loaded in ${ms.toFixed(0)} ms`);
  assert.ok(ms < 1000, `${ms} ms`);
  assert.deepEqual(page.problems, []);
});
