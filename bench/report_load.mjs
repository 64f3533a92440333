// How long pages of a report take to load in headless Chromium: each page
// opened five times from file://, the median of the navigation's duration
// (to the end of the load event) printed as "<page> <ms>".
// Usage: node report_load.mjs PAGE.html...
import path from 'node:path';
import os from 'node:os';
import fs from 'node:fs';
import { pathToFileURL, fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const { chromium } = await import(path.join(here, '../tests/browser/node_modules/playwright-core/index.mjs'));

process.env.HOME = fs.mkdtempSync(path.join(os.tmpdir(), 'calib-report-load-'));
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
});
for (const file of process.argv.slice(2)) {
  const times = [];
  for (let i = 0; i < 5; i++) {
    const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
    await page.goto(pathToFileURL(path.resolve(file)).href, { waitUntil: 'load' });
    times.push(await page.evaluate(() => performance.getEntriesByType('navigation')[0].duration));
    await page.close();
  }
  times.sort((a, b) => a - b);
  console.log(`${path.basename(file)} ${times[2].toFixed(0)}`);
}
await browser.close();
fs.rmSync(process.env.HOME, { recursive: true, force: true });
