// workbench.test.mjs: the workbench of tolmar-serve in a real browser
// (Debian's chromium, driven by puppeteer-core): a click sets the reference
// point, the values are typed, the trace is drawn, three treatments are
// stamped; the result files must be, byte for byte, those the console
// writes for the same answers, and tolmar-replay on the page's log must
// rebuild them through the console. Takes the README's screenshot.
//   node workbench.test.mjs SERVE TOLMAR REPLAY EXAMPLES SCREENSHOT
// Exits 77 (skipped) when no browser can run here.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [serve, tolmar, replay, examples, screenshot] = process.argv.slice(2);
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
let puppeteer;
try {
  puppeteer = (await import('puppeteer-core')).default;
} catch {
  console.log('puppeteer-core is not installed (npm ci in tests/browser): skipped');
  process.exit(77);
}
if (!fs.existsSync(chromium)) {
  console.log(`no browser at ${chromium}: skipped`);
  process.exit(77);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tolmar-browser-'));
const folders = ['web', 'console', 'replayed'].map((name) => path.join(work, name));
for (const dir of folders) {
  fs.mkdirSync(path.join(dir, 'images/jacksboro'), { recursive: true });
  for (const f of ['jacksboro_m2.raw', 'jacksboro_m2.txt'])
    fs.copyFileSync(path.join(examples, 'jacksboro', f), path.join(dir, 'images/jacksboro', f));
}
const [webDir, consoleDir, replayDir] = folders;

let server, browser, failed = false;
function check(ok, what) {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}`);
  if (!ok) failed = true;
}

try {
  server = spawn(serve, ['--port', '0', 'images/jacksboro/jacksboro_m2.raw'], { cwd: webDir });
  const url = await new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', (d) => {
      out += d;
      if (out.includes('\n')) resolve(out.split('\n')[0]);
    });
    server.on('exit', (code) => reject(new Error(`tolmar-serve ended with ${code}`)));
  });
  check(/^http:\/\/127\.0\.0\.1:\d+\/$/.test(url), `the first line is the address: ${url}`);

  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: path.join(work, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url);
  await page.waitForFunction(() => window.workbench && window.workbench.ready, { timeout: 20000 });

  // A click on the cell at line 110, column 300 of the map.
  const at = await page.evaluate(() => {
    const v = window.workbench.view, r = document.getElementById('map').getBoundingClientRect();
    const dpr = window.devicePixelRatio || 1;
    return { x: r.left + ((300 + 0.5 - v.oj) * v.s) / dpr, y: r.top + ((110 + 0.5 - v.oi) * v.s) / dpr };
  });
  await page.mouse.click(at.x, at.y);
  const point = await page.evaluate(() => ({ ip: Number(document.getElementById('row').value), jp: Number(document.getElementById('column').value) }));
  check(Math.abs(point.ip - 110) <= 1 && Math.abs(point.jp - 300) <= 1, `the click set the point (${point.ip}, ${point.jp})`);

  async function type(selector, value) {
    await page.click(selector, { clickCount: 3 });
    await page.keyboard.type(String(value));
  }
  async function traceOf(slope, dir, infl) {
    await page.waitForFunction((s, d, z) => {
      const t = window.workbench.trace;
      return t && t.values && t.values.slope === s && t.values.dir === d && t.values.infl === z;
    }, { timeout: 10000 }, slope, dir, infl);
    return page.evaluate(() => window.workbench.trace);
  }
  async function stamp(code) {
    await page.click('#stamp');
    await page.waitForFunction((c) => window.workbench.info.code === c && !window.workbench.busy, { timeout: 10000 }, code);
  }

  await type('#dip', 20);
  await type('#dir', 150);
  await type('#zone', 40);
  let t = await traceOf(20, 150, 40);
  check(t.verdict === 'traced' && t.cells.length > 0, `the trace of the values came (${t.cells.length} cells)`);
  // The trace is drawn: the canvas holds its colour at the first cell.
  const drawn = await page.evaluate(() => {
    const w = window.workbench, [i, j] = w.trace.cells[0], map = document.getElementById('map');
    const x = Math.floor((j + 0.5 - w.view.oj) * w.view.s), y = Math.floor((i + 0.5 - w.view.oi) * w.view.s);
    const p = map.getContext('2d').getImageData(x, y, 1, 1).data;
    return [p[0], p[1], p[2]];
  });
  check(drawn[0] === 0xff && drawn[1] === 0x2b && drawn[2] === 0xd6, `the trace is drawn on the map (${drawn})`);
  await stamp(1);
  await type('#dip', 5);
  await traceOf(5, 150, 40);
  await stamp(2);
  await type('#dir', 330);
  await traceOf(5, 330, 40);
  await stamp(3);
  // A square that leaves the DEM is refused, with its reason.
  await type('#zone', 400);
  t = await traceOf(5, 330, 400);
  const said = await page.$eval('#status', (e) => e.textContent);
  check(t.verdict === 'outside_raster' && said.startsWith('out of the image borders'), `a refusal says why: ${said}`);
  await type('#zone', 40);
  await traceOf(5, 330, 40);
  const listed = await page.$$eval('#treatments li', (items) => items.map((li) => li.textContent));
  check(listed.length === 3 && listed[2].startsWith('3: ('), `the three treatments are listed: ${listed.join(' | ')}`);
  if (screenshot) {
    // For the picture: closer in, and a fourth attitude being tried.
    for (let k = 0; k < 3; k++) {
      await page.mouse.move(at.x, at.y);
      await page.mouse.wheel({ deltaY: -100 });
    }
    await type('#dip', 40);
    await type('#dir', 315);
    await traceOf(40, 315, 40);
    await new Promise((r) => setTimeout(r, 600));  // the detail picture of the view
    await page.screenshot({ path: screenshot });
  }
  check(errors.length === 0, `no error in the page ${errors.join('; ')}`);

  // The console, given the same answers, writes the same files.
  const { ip, jp } = point;
  execFileSync(tolmar, [], { cwd: consoleDir, input: `jacksboro\njacksboro\n0\n0\n0\n0\n${ip} ${jp} 20 150 40\n2\n5\n3\n330\n5\n` });
  for (const f of ['jacksboro_tolmar.raw', 'jacksboro_tolmar.txt']) {
    const a = fs.readFileSync(path.join(webDir, 'images/jacksboro', f)), b = fs.readFileSync(path.join(consoleDir, 'images/jacksboro', f));
    check(a.equals(b), `${f} from the page is the console's, byte for byte`);
  }
  // And the page's log, replayed through the console, rebuilds them.
  const answers = execFileSync(replay, ['--unit', 'm', 'images/jacksboro/jacksboro_tolmar.txt'], { cwd: webDir });
  execFileSync(tolmar, [], { cwd: replayDir, input: answers });
  for (const f of ['jacksboro_tolmar.raw', 'jacksboro_tolmar.txt']) {
    const a = fs.readFileSync(path.join(webDir, 'images/jacksboro', f)), b = fs.readFileSync(path.join(replayDir, 'images/jacksboro', f));
    check(a.equals(b), `${f} replayed from the page's log is the same, byte for byte`);
  }
} catch (e) {
  check(false, e.stack || String(e));
} finally {
  if (browser) await browser.close();
  if (server) server.kill();
  fs.rmSync(work, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
