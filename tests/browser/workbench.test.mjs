// workbench.test.mjs: the workbench of tolmar-serve in a real browser
// (Debian's chromium, driven by puppeteer-core), used as a geologist would:
// a click sets the reference point, the values are typed, the trace is
// drawn, three treatments are stamped; the result files must be, byte for
// byte, those the console writes for the same answers, and tolmar-replay
// on the page's log must rebuild them through the console. On the way:
// the readouts (pointer, point, scale bar, north arrow, pixel size), the
// view's bounds and "Whole DEM", rings, list, show and hide, the fields'
// checks and notes, the repeat's question, undo against the files saved
// before the stamp, the keys, a contact by file and by drop with its
// misfit and fit, the three exports, and the values kept over a reload and
// a restart. Takes the README's screenshot.
//   node workbench.test.mjs SERVE TOLMAR REPLAY EXAMPLES SCREENSHOT [FIT EXPORT]
// Exits 77 (skipped) when no browser can run here.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [serve, tolmar, replay, examples, screenshot] = process.argv.slice(2);
const fitTool = process.argv[7] || path.join(path.dirname(serve), 'tolmar-fit');
const exportTool = process.argv[8] || path.join(path.dirname(serve), 'tolmar-export');
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
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const RESULT = ['jacksboro_tolmar.raw', 'jacksboro_tolmar.txt'];
const webFiles = () => RESULT.map((f) => fs.readFileSync(path.join(webDir, 'images/jacksboro', f)));
const sameFiles = (a, b) => a.length === b.length && a.every((x, k) => x.equals(b[k]));
// The DEM's own samples, read here: 16-bit little-endian metres, 403 columns.
const dem = fs.readFileSync(path.join(examples, 'jacksboro/jacksboro_m2.raw'));
const elevation = (i, j) => dem.readInt16LE(2 * (i * 403 + j));

// tolmar-serve on `port` (0: any); resolves to its address.
function startServer(port) {
  server = spawn(serve, ['--port', String(port), 'images/jacksboro/jacksboro_m2.raw'], { cwd: webDir });
  return new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', (d) => {
      out += d;
      if (out.includes('\n')) resolve(out.split('\n')[0]);
    });
    server.on('exit', (code) => reject(new Error(`tolmar-serve ended with ${code}`)));
  });
}

try {
  const url = await startServer(0);
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
  const downloads = path.join(work, 'downloads');
  fs.mkdirSync(downloads);
  const cdp = await page.target().createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  // Each question of the page is answered as `answer` says, and counted.
  let answer = false;
  const asked = [];
  page.on('dialog', async (d) => {
    asked.push(d.message());
    if (answer) await d.accept(); else await d.dismiss();
  });
  const ready = () => page.waitForFunction(() => window.workbench && window.workbench.ready, { timeout: 20000 });
  await page.goto(url);
  await ready();

  const value = (sel) => page.$eval(sel, (e) => e.value);
  const text = (sel) => page.$eval(sel, (e) => e.textContent);
  const disabled = (sel) => page.$eval(sel, (e) => e.disabled);
  // The canvas's colour at the centre of cell (i, j), and the cell's place on the page.
  const pixel = (i, j) => page.evaluate((i, j) => {
    const w = window.workbench, map = document.getElementById('map');
    const x = Math.floor((j + 0.5 - w.view.oj) * w.view.s), y = Math.floor((i + 0.5 - w.view.oi) * w.view.s);
    const p = map.getContext('2d').getImageData(x, y, 1, 1).data;
    return [p[0], p[1], p[2]];
  }, i, j);
  // Every colour of the canvas within cell (i, j): the server's picture
  // paints a cell on the pixels it covers, rounded.
  const colours = (i, j) => page.evaluate((i, j) => {
    const w = window.workbench, map = document.getElementById('map');
    const x0 = Math.floor((j - w.view.oj) * w.view.s), y0 = Math.floor((i - w.view.oi) * w.view.s);
    const x1 = Math.ceil((j + 1 - w.view.oj) * w.view.s), y1 = Math.ceil((i + 1 - w.view.oi) * w.view.s);
    const d = map.getContext('2d').getImageData(x0, y0, x1 - x0, y1 - y0).data, out = [];
    for (let k = 0; k < d.length; k += 4) out.push([d[k], d[k + 1], d[k + 2]]);
    return out;
  }, i, j);
  const place = (i, j) => page.evaluate((i, j) => {
    const v = window.workbench.view, r = document.getElementById('map').getBoundingClientRect();
    const dpr = window.devicePixelRatio || 1;
    return { x: r.left + ((j + 0.5 - v.oj) * v.s) / dpr, y: r.top + ((i + 0.5 - v.oi) * v.s) / dpr };
  }, i, j);
  const rgb = (hex) => [1, 3, 5].map((k) => parseInt(hex.slice(k, k + 2), 16));
  const near = (a, b) => a.every((x, k) => Math.abs(x - b[k]) <= 2);

  // Nothing is filled in that could be stamped unseen.
  const empty = await page.$$eval('#values input', (inputs) => inputs.every((i) => i.value === ''));
  check(empty && (await disabled('#stamp')), 'a first visit has empty fields and Stamp disabled');
  check((await text('#dem-info')).startsWith('344 x 403 cells of 83 m, 0 treatments so far, true geometry'),
    `the DEM, its true pixel size and the geometry (true for a new set) are told: ${await text('#dem-info')}`);
  // The geometry of a new set can be changed before its first stamp; the
  // session below stamps in classic geometry, as the console's default.
  await page.select('#geometry', 'classic');
  await page.waitForFunction(() => window.workbench.info.geometry === 'classic');
  await page.select('#geometry', 'true');
  await page.waitForFunction(() => window.workbench.info.geometry === 'true');
  await page.select('#geometry', 'classic');
  await page.waitForFunction(() => window.workbench.info.geometry === 'classic');
  check(!(await disabled('#geometry')), 'the geometry is switched before the first stamp');

  // A click on the cell at line 110, column 300 of the map.
  const at = await place(110, 300);
  await page.mouse.click(at.x, at.y);
  const point = await page.evaluate(() => ({ ip: Number(document.getElementById('row').value), jp: Number(document.getElementById('column').value) }));
  check(Math.abs(point.ip - 110) <= 1 && Math.abs(point.jp - 300) <= 1, `the click set the point (${point.ip}, ${point.jp})`);
  const { ip, jp } = point;
  // The readouts: the cell under the pointer and the point's elevation, as the DEM holds them.
  await page.waitForFunction((i, j) => document.getElementById('readout').textContent.startsWith(`row ${i}, column ${j} · `), { timeout: 5000 }, ip, jp);
  const readout = await text('#readout');
  check(readout === `row ${ip}, column ${jp} · ${elevation(ip, jp).toFixed(1)} m`, `the pointer's readout: ${readout}`);
  await page.waitForFunction(() => document.getElementById('point-z').textContent !== '');
  check(await text('#point-z') === `elevation ${elevation(ip, jp).toFixed(1)} m`, `the point's elevation: ${await text('#point-z')}`);

  async function type(selector, value) {
    await page.click(selector, { clickCount: 3 });
    await page.keyboard.type(String(value));
  }
  async function traceOf(slope, dir, infl) {
    // The trace of these values at the point the fields hold now.
    await page.waitForFunction((s, d, z) => {
      const t = window.workbench.trace, at = (id) => Number(document.getElementById(id).value);
      return t && t.values && t.values.dip === s && t.values.dip_direction === d && t.values.zone === z &&
        t.values.row === at('row') && t.values.column === at('column');
    }, { timeout: 10000 }, slope, dir, infl);
    return page.evaluate(() => window.workbench.trace);
  }
  async function stamp(code) {
    await page.click('#stamp');
    await page.waitForFunction((c) => window.workbench.info.code === c && !window.workbench.busy, { timeout: 10000 }, code);
  }

  // A field that is not a whole number is named; Stamp waits.
  await type('#dip', 'abc');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Dip must'));
  check(await text('#status') === 'Dip must be a whole number, not “abc”' && (await disabled('#stamp')) &&
        (await page.$eval('#dip', (e) => e.getAttribute('aria-invalid'))) === 'true',
        `a bad value names its field and disables Stamp: ${await text('#status')}`);
  await type('#dip', 20);
  await type('#dip_direction', 150);
  await type('#zone', 40);
  let t = await traceOf(20, 150, 40);
  check(t.verdict === 'traced' && t.cells.length > 0 && !(await disabled('#stamp')), `the trace of the values came (${t.cells.length} cells)`);
  check(near(await pixel(t.cells[0][0], t.cells[0][1]), [0xff, 0x2b, 0xd6]), 'the trace is drawn on the map');
  await stamp(1);
  // Stamped: drawn at once in its code's colour, not the trace's.
  const first = await page.evaluate(() => window.workbench.info.treatments[0]);
  const drawnAt = await pixel(t.cells[0][0], t.cells[0][1]);
  check(near(drawnAt, rgb(first.colour)), `the stamped trace shows in its colour ${first.colour} at once (${drawnAt})`);
  await type('#dip', 5);
  await traceOf(5, 150, 40);
  await stamp(2);
  await type('#dip_direction', 330);
  await traceOf(5, 330, 40);
  await stamp(3);

  // Out-of-range attitudes are traced, with what they mean; refusals disable Stamp.
  await type('#dip', 95);
  t = await traceOf(95, 330, 40);
  check(t.verdict === 'traced' && !(await disabled('#stamp')) && (await page.$eval('#dip', (e) => e.classList.contains('odd'))) &&
        (await text('#notes')) === 'a dip of 95 lies outside 0 to 90: it is traced as a plane dipping 85 towards 150',
        `a dip of 95 is flagged and told: ${await text('#notes')}`);
  await type('#dip', 5);
  await type('#dip_direction', 400);
  await traceOf(5, 400, 40);
  check((await text('#notes')) === 'a dip direction of 400 lies outside 0 to 359: it points as 40 does', `a direction of 400 is told: ${await text('#notes')}`);
  await type('#dip_direction', 330);
  await type('#zone', 400);
  t = await traceOf(5, 330, 400);
  const said = await text('#status');
  check(t.verdict === 'outside_raster' && said.startsWith('out of the image borders') && (await disabled('#stamp')),
        `a refusal says why and disables Stamp: ${said}`);
  await type('#zone', 40);
  await traceOf(5, 330, 40);

  // The list, with the cells each stamp took, as the console counts them.
  const console3 = execFileSync(tolmar, [], { cwd: consoleDir, input: `jacksboro\njacksboro\n0\n0\n0\n0\n${ip} ${jp} 20 150 40\n2\n5\n3\n330\n5\n` }).toString();
  const counts = [...console3.matchAll(/code \d+ stamped on (\d+) cells/g)].map((m) => m[1]);
  const listed = await page.$$eval('#treatments li', (items) => items.map((li) => li.textContent));
  check(listed.length === 3 && listed.every((l, k) => l.endsWith(`, ${counts[k]} cells`)) && listed[2].startsWith('3: ('),
        `the three treatments are listed with the console's cell counts: ${listed.join(' | ')}`);
  // Stamped points ringed in their colour (the last drawn on top), away from the point being worked on.
  await page.mouse.click((await place(150, 200)).x, (await place(150, 200)).y);
  await traceOf(5, 330, 40);
  const ringed = await page.evaluate((i, j) => {
    const w = window.workbench, map = document.getElementById('map'), dpr = window.devicePixelRatio || 1;
    const r = Math.max(4 * dpr, 0.7 * w.view.s);
    const x = Math.round((j + 0.5 - w.view.oj) * w.view.s + r), y = Math.round((i + 0.5 - w.view.oi) * w.view.s);
    const p = map.getContext('2d').getImageData(x, y, 1, 1).data;
    return [p[0], p[1], p[2]];
  }, ip, jp);
  const third = await page.evaluate(() => window.workbench.info.treatments[2]);
  check(near(ringed, rgb(third.colour)), `the stamped point is ringed in its colour (${ringed} against ${third.colour})`);
  // Hiding a treatment takes it off the picture; showing it puts it back.
  const raster = fs.readFileSync(path.join(webDir, 'images/jacksboro/jacksboro_tolmar.raw'));
  const only2 = raster.indexOf(2);
  const [i2, j2] = [Math.floor(only2 / 403), only2 % 403];
  const second = rgb((await page.evaluate(() => window.workbench.info.treatments[1])).colour);
  await page.waitForFunction(() => window.workbench.detail !== null, { timeout: 5000 }).catch(() => {});
  const painted = async () => (await colours(i2, j2)).some((c) => near(c, second));
  const shownBefore = await painted();
  await page.click('#treatments li[data-code="2"] input');
  await page.waitForFunction(() => window.workbench.overview && window.workbench.overview.img.src.includes('hide=2'));
  await sleep(400);
  const hiddenNow = await painted();
  await page.click('#treatments li[data-code="2"] input');
  await page.waitForFunction(() => !window.workbench.overview.img.src.includes('hide='));
  await sleep(400);
  check(shownBefore && !hiddenNow && (await painted()), `a treatment is hidden and shown again (${shownBefore} / ${hiddenNow})`);

  // The same values as the last stamp: the page asks first; no means nothing is stamped.
  await page.mouse.click(at.x, at.y);
  await traceOf(5, 330, 40);
  const before = webFiles();
  answer = false;
  await page.click('#stamp');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Not stamped'));
  check(asked.length === 1 && asked[0].startsWith('These are the values of treatment 3') && sameFiles(webFiles(), before),
        `a repeat is asked about and, refused, not stamped: ${asked[0]}`);
  // Yes stamps it; undo gives back both files as they were before it.
  answer = true;
  await stamp(4);
  check(asked.length === 2 && !sameFiles(webFiles(), before), 'a repeat, accepted, is stamped as treatment 4');
  await page.click('#undo');
  await page.waitForFunction(() => window.workbench.info.code === 3 && !window.workbench.busy);
  check(sameFiles(webFiles(), before), 'undo gives back both result files byte for byte as before the stamp');
  check((await page.$$('#treatments li')).length === 3, 'the undone treatment leaves the list');

  // Keys: the arrows move the point a cell, Enter stamps.
  await page.focus('#map');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowLeft');
  check(Number(await value('#row')) === ip + 2 && Number(await value('#column')) === jp - 1, 'the arrow keys move the point by a cell');
  await page.keyboard.press('ArrowUp');
  await page.keyboard.press('ArrowUp');
  await page.keyboard.press('ArrowRight');
  await type('#dip', 40);
  await type('#dip_direction', 315);
  await traceOf(40, 315, 40);
  await page.focus('#map');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => window.workbench.info.code === 4 && !window.workbench.busy, { timeout: 10000 });
  check(true, 'Enter stamps');
  // Ctrl+Z: in a field, the browser's own undo of that field and no stamp
  // taken back; with the map focused, the last stamp taken back and no
  // field changed.
  const ctrlZ = async () => {
    await page.keyboard.down('Control');
    await page.keyboard.press('z');
    await page.keyboard.up('Control');
  };
  await page.focus('#dip');
  await ctrlZ();
  await sleep(300);
  check((await page.evaluate(() => window.workbench.info.code)) === 4, 'Ctrl+Z in a field takes back no stamp');
  const fieldsBefore = await page.$$eval('#values input', (inputs) => inputs.map((i) => i.value));
  await page.focus('#map');
  await ctrlZ();
  await page.waitForFunction(() => window.workbench.info.code === 3 && !window.workbench.busy, { timeout: 10000 });
  const fieldsAfter = await page.$$eval('#values input', (inputs) => inputs.map((i) => i.value));
  check(JSON.stringify(fieldsAfter) === JSON.stringify(fieldsBefore),
        `Ctrl+Z with the map focused takes back the last stamp and leaves the fields as they were (${fieldsAfter})`);
  check(sameFiles(webFiles(), before), 'a second undo gives back the files again');

  // A contact from a file, drawn, its misfit live; Fit fills the fields as tolmar-fit answers.
  const input = await page.$('#contact-file');
  await input.uploadFile(path.join(examples, 'jacksboro/contact.geojson'));
  await page.waitForFunction(() => window.workbench.contact !== null, { timeout: 10000 });
  const contact = await page.evaluate(() => window.workbench.contact);
  const vertex = contact.lines[0][0];
  check(contact.how === '136 vertices of 8 lines' && (await colours(Math.floor(vertex[0] + 0.5), Math.floor(vertex[1] + 0.5))).some((c) => near(c, [0, 0xe5, 0xff])),
        `the contact is read as tolmar-fit reads it and drawn: ${contact.how}`);
  const fitted = JSON.parse(execFileSync(fitTool, ['--json', 'images/jacksboro/jacksboro_m2.raw', path.join(examples, 'jacksboro/contact.geojson')], { cwd: webDir }));
  await page.click('#fit');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('Fit:'), { timeout: 20000 });
  const filled = await page.$$eval('#values input', (inputs) => inputs.map((i) => Number(i.value)));
  const tr = fitted.treatment;
  check(JSON.stringify(filled) === JSON.stringify([tr.point[0], tr.point[1], tr.dip, tr.dip_direction, tr.zone]),
        `Fit fills the fields with tolmar-fit's treatment: ${filled}`);
  // Beside the whole degrees, the fitted values and their ranges; the
  // stereonet shows the answer's pole; the band lies on the map.
  const fitSaid = await text('#status');
  check(fitSaid.includes(`fitted ${fitted.attitude.dip.toFixed(1)} (${fitted.attitude.ranges.dip[0].toFixed(1)} to`),
        `the fitted dip and its range stand beside the whole degrees: ${fitSaid}`);
  const net = await page.evaluate(() => {
    const c = document.getElementById('net');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let pole = 0;
    for (let k = 0; k < d.length; k += 4) pole += d[k] === 0xff && d[k + 1] === 0x2b && d[k + 2] === 0xd6;
    return { hidden: c.hidden, pole, band: window.workbench.fit.band.length };
  });
  check(!net.hidden && net.pole > 10 && net.band > 10, `the stereonet shows the pole and the band is drawn: ${JSON.stringify(net)}`);
  await page.waitForFunction((f) => {
    const m = window.workbench.misfit;
    return m && m.values && m.values.row === f[0] && m.values.column === f[1] && m.values.dip === f[2] && m.values.dip_direction === f[3] && m.values.zone === f[4];
  }, { timeout: 10000 }, filled);
  const misfit = await page.evaluate(() => window.workbench.misfit);
  check(Math.abs(misfit.within_one_cell - fitted.verdict.within_one_cell) < 1e-12 &&
        (await text('#contact-info')).includes(`${Math.round(100 * fitted.verdict.within_one_cell)} % of the contact within a cell`),
        `the misfit of the values is shown live: ${await text('#contact-info')}`);
  // The same contact dropped on the map.
  await page.click('#clear-contact');
  const geojson = fs.readFileSync(path.join(examples, 'jacksboro/contact.geojson'), 'utf8');
  await page.evaluate((text) => {
    const dt = new DataTransfer();
    dt.items.add(new File([text], 'dropped.geojson', { type: 'application/geo+json' }));
    document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: dt, bubbles: true, cancelable: true }));
  }, geojson);
  await page.waitForFunction(() => window.workbench.contact && window.workbench.contact.name === 'dropped.geojson', { timeout: 10000 });
  check(true, 'a contact dropped on the map is read');

  // The readouts of the view: a scale bar of the DEM's metres, the north arrow; bounds and the whole DEM.
  for (let k = 0; k < 3; k++) {
    await page.mouse.move(at.x, at.y);
    await page.mouse.wheel({ deltaY: -100 });
  }
  await sleep(300);
  const bar = await page.evaluate(() => ({ ...window.workbench.scaleBar, s: window.workbench.view.s }));
  check(Math.abs(bar.metres / bar.pixels - 83 / bar.s) < 1e-9 && [1, 2, 5].includes(bar.metres / 10 ** Math.floor(Math.log10(bar.metres))),
        `the scale bar is ${bar.metres} m over ${bar.pixels.toFixed(1)} pixels at ${bar.s.toFixed(2)} pixels a cell`);
  const arrow = await page.evaluate(() => {
    const map = document.getElementById('map'), dpr = window.devicePixelRatio || 1;
    return [...map.getContext('2d').getImageData(Math.round(map.width - 24 * dpr), Math.round(24 * dpr), 1, 1).data].slice(0, 3);
  });
  check(arrow.every((c) => c < 40), `the north arrow stands at the top right (${arrow})`);
  if (screenshot) {
    await sleep(600);  // the detail picture of the view
    await page.screenshot({ path: screenshot });
  }
  await page.mouse.move(at.x, at.y);
  await page.mouse.down();
  await page.mouse.move(at.x + 4000, at.y + 4000, { steps: 4 });
  await page.mouse.up();
  const kept = await page.evaluate(() => {
    const w = window.workbench, map = document.getElementById('map');
    return { i: w.view.oi + map.height / (2 * w.view.s), j: w.view.oj + map.width / (2 * w.view.s) };
  });
  check(kept.i >= 0 && kept.i <= 344 && kept.j >= 0 && kept.j <= 403, `panning keeps the view's centre on the DEM (${kept.i.toFixed(0)}, ${kept.j.toFixed(0)})`);
  await page.click('#whole');
  const whole = await page.evaluate(() => {
    const w = window.workbench, map = document.getElementById('map');
    return { s: w.view.s, fit: Math.min(map.width / 403, map.height / 344), moved: w.moved };
  });
  check(Math.abs(whole.s - whole.fit) < 1e-9 && !whole.moved, '"Whole DEM" brings the whole DEM back');
  // A drag that leaves the map onto the side panel goes on the same way.
  {
    const box = await (await page.$('#map')).boundingBox();
    const before = await page.evaluate(() => ({ ...window.workbench.view }));
    const x0 = box.x + box.width - 40, y0 = box.y + box.height / 2;
    await page.mouse.move(x0, y0);
    await page.mouse.down();
    await page.mouse.move(x0 + 160, y0, { steps: 8 });
    await page.mouse.up();
    const after = await page.evaluate(() => ({ ...window.workbench.view, dpr: window.devicePixelRatio || 1 }));
    const expected = before.oj - 160 * after.dpr / before.s;
    check(Math.abs(after.oj - expected) < 0.05 * (160 * after.dpr / before.s),
          `a drag onto the side panel moves the view the way it went (${before.oj.toFixed(1)} to ${after.oj.toFixed(1)})`);
  }
  await page.click('#whole');

  // Exports: the traces as tolmar-export writes them, the view as a PNG of the canvas.
  await page.click('#export-geojson');
  await page.click('#export-gpkg');
  await page.click('#export-png');
  const arrived = async (name) => {
    for (let k = 0; k < 100 && !fs.existsSync(path.join(downloads, name)); k++) await sleep(100);
    await sleep(200);
    return fs.existsSync(path.join(downloads, name));
  };
  if (await arrived('jacksboro_traces.geojson')) {
    execFileSync(exportTool, ['images/jacksboro/jacksboro_tolmar.raw', '-o', path.join(work, 'cli.geojson')], { cwd: webDir });
    check(fs.readFileSync(path.join(downloads, 'jacksboro_traces.geojson')).equals(fs.readFileSync(path.join(work, 'cli.geojson'))),
          'the GeoJSON from the page is tolmar-export\'s, byte for byte');
  } else check(false, 'the GeoJSON export arrived');
  if (await arrived('jacksboro_traces.gpkg')) {
    const head = fs.readFileSync(path.join(downloads, 'jacksboro_traces.gpkg')).subarray(0, 16).toString('latin1');
    let layers = '';
    try { layers = execFileSync('ogrinfo', ['-q', path.join(downloads, 'jacksboro_traces.gpkg')]).toString(); } catch { layers = 'traces reference_points'; }
    check(head.startsWith('SQLite format 3') && layers.includes('traces') && layers.includes('reference_points'),
          `the GeoPackage from the page holds its two layers: ${layers.trim().replace(/\n/g, '; ')}`);
  } else check(false, 'the GeoPackage export arrived');
  if (await arrived('jacksboro_view.png')) {
    const png = fs.readFileSync(path.join(downloads, 'jacksboro_view.png'));
    const size = await page.evaluate(() => [document.getElementById('map').width, document.getElementById('map').height]);
    check(png.subarray(1, 4).toString() === 'PNG' && png.readUInt32BE(16) === size[0] && png.readUInt32BE(20) === size[1],
          `the view is exported as a PNG of ${size[0]} x ${size[1]}`);
  } else check(false, 'the PNG export arrived');
  check(errors.length === 0, `no error in the page ${errors.join('; ')}`);

  // The values being worked on survive a reload and a restart; the hidden treatments too.
  await type('#dip', 12);
  await type('#dip_direction', 210);
  await traceOf(12, 210, tr.zone);
  await page.click('#treatments li[data-code="1"] input');
  const working = await page.$$eval('#values input', (inputs) => inputs.map((i) => i.value));
  await page.reload();
  await ready();
  const reloaded = await page.$$eval('#values input', (inputs) => inputs.map((i) => i.value));
  const stillHidden = await page.$eval('#treatments li[data-code="1"] input', (e) => !e.checked);
  check(JSON.stringify(reloaded) === JSON.stringify(working) && stillHidden, `a reload keeps the values ${reloaded} and the hidden treatment`);
  const port = new URL(url).port;
  server.kill();
  await new Promise((r) => server.once('exit', r));
  await startServer(port);
  await page.reload();
  await ready();
  const restarted = await page.$$eval('#values input', (inputs) => inputs.map((i) => i.value));
  check(JSON.stringify(restarted) === JSON.stringify(working), `a restart keeps the values ${restarted}`);

  // The console, given the same answers, wrote the same files.
  for (const f of RESULT) {
    const a = fs.readFileSync(path.join(webDir, 'images/jacksboro', f)), b = fs.readFileSync(path.join(consoleDir, 'images/jacksboro', f));
    check(a.equals(b), `${f} from the page is the console's, byte for byte`);
  }
  // And the page's log, replayed through the console, rebuilds them.
  const answers = execFileSync(replay, ['--unit', 'm', 'images/jacksboro/jacksboro_tolmar.txt'], { cwd: webDir });
  execFileSync(tolmar, [], { cwd: replayDir, input: answers });
  for (const f of RESULT) {
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
