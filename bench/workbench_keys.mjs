// workbench_keys.mjs: the workbench's keystroke-to-trace in a real browser.
// tolmar-serve on a synthetic 10,000 x 10,000 DEM, the page in Debian's
// chromium (puppeteer-core from tests/browser): a key pressed in the dip
// field (31, then 3, then 31 ...) until the trace of the new values is
// drawn on the map, measured in the page from the key's event to the
// animation frame that shows the drawing, at zones of 20, 200 and 1,000 cells.
//   node bench/workbench_keys.mjs TOLMAR_SERVE MAKE_DEM [KEYS]
import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const [serve, makeDem, keysArg] = process.argv.slice(2);
const keys = Number(keysArg || 40);
const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, '..', 'tests', 'browser', 'package.json'));
const puppeteer = require('puppeteer-core');
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tolmar-keys-'));
const n = 10000;
fs.mkdirSync(path.join(work, 'images', 'big'), { recursive: true });
execFileSync(makeDem, [String(n), String(n), '2', path.join(work, 'images', 'big', 'big')]);
const server = spawn(serve, ['--port', '0', '--unit', 'dm', 'images/big/big_m2.raw'], { cwd: work });
const url = await new Promise((resolve, reject) => {
  let out = '';
  server.stdout.on('data', (d) => {
    out += d;
    if (out.includes('\n')) resolve(out.split('\n')[0]);
  });
  server.on('exit', (code) => reject(new Error(`tolmar-serve ended with ${code}`)));
});
const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, userDataDir: path.join(work, 'profile'),
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-sync'],
});
const quantile = (a, q) => a.slice().sort((x, y) => x - y)[Math.min(a.length - 1, Math.floor(q * a.length))];
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  // The trace's request timed too, from its sending to its answer.
  await page.evaluateOnNewDocument(() => {
    const f = window.fetch;
    window.fetch = async (...a) => {
      const t = performance.now();
      const r = await f(...a);
      if (String(a[0]).includes('/api/trace')) window.fetchMs = performance.now() - t;
      return r;
    };
  });
  await page.goto(url);
  await page.waitForFunction(() => window.workbench && window.workbench.ready, { timeout: 60000 });
  const type = async (id, text) => {
    await page.click(`#${id}`, { clickCount: 3 });
    await page.keyboard.type(text);
  };
  console.log(`keystroke to the redrawn trace, ${n} x ${n} DEM, ${keys} keys a zone (ms)`);
  console.log('zone   cells   median   p90     max');
  for (const zone of [20, 200, 1000]) {
    for (const [id, text] of [['row', String(n / 2)], ['column', String(n / 2)], ['dip', '31'], ['dip_direction', '120'],
      ['zone', String(zone)]]) await type(id, text);
    await page.waitForFunction(() => /cells would be stamped/.test(document.getElementById('status').textContent));
    await page.click('#dip');
    await page.keyboard.press('End');
    const times = [];
    let cells = 0;
    for (let k = 0; k < keys; k++) {
      // Armed in the page: the key's time, then the first frame after the
      // status line tells the new trace (the map is drawn with it).
      const done = page.evaluate(() => new Promise((resolve) => {
        const status = document.getElementById('status');
        let t0 = 0;
        const key = () => { t0 = performance.now(); };
        document.getElementById('dip').addEventListener('keydown', key, { capture: true, once: true });
        const seen = new MutationObserver(() => {
          if (!t0 || !/cells would be stamped/.test(status.textContent)) return;
          seen.disconnect();
          requestAnimationFrame(() =>
            resolve({ ms: performance.now() - t0, cells: window.workbench.trace.cells.length, fetch: window.fetchMs }));
        });
        seen.observe(status, { childList: true, characterData: true, subtree: true });
      }));
      const text = await page.$eval('#dip', (e) => e.value);
      await page.keyboard.press(text === '31' ? 'Backspace' : '1');
      const r = await done;
      times.push(r.ms);
      if (process.env.DEBUG) console.log(`key to frame ${r.ms.toFixed(1)} ms, of which the request ${r.fetch.toFixed(1)} ms`);
      cells = r.cells;
    }
    console.log(`${String(zone).padEnd(6)} ${String(cells).padEnd(7)} ${quantile(times, 0.5).toFixed(1).padEnd(8)} ` +
      `${quantile(times, 0.9).toFixed(1).padEnd(7)} ${Math.max(...times).toFixed(1)}`);
  }
} finally {
  await browser.close();
  server.kill('SIGTERM');
  await new Promise((r) => server.on('exit', r));
  fs.rmSync(work, { recursive: true, force: true });
}
