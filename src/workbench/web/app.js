// app.js: the workbench's page. The map shows the server's picture of the
// DEM (the whole of it first, then the part in view at full resolution); the
// trace of the values in the form is asked for as they change and drawn over
// it; "Stamp" adds it as the next treatment, "Undo last stamp" takes the
// last one back. Cells are (row, column); the view maps a cell to the
// screen by a scale and the cell at the top left. The values being worked
// on are kept in the browser's storage, per result set.
'use strict';

const $ = (id) => document.getElementById(id);
const map = $('map');
const ctx = map.getContext('2d');
const fields = { row: $('row'), column: $('column'), dip: $('dip'), dip_direction: $('dip_direction'), zone: $('zone') };
const NAMES = { row: 'Row', column: 'Column', dip: 'Dip', dip_direction: 'Dip direction', zone: 'Zone' };
const stampButton = $('stamp'), undoButton = $('undo'), statusLine = $('status');

// What the page holds; window.workbench lets a test read it.
const state = {
  info: null,
  view: { s: 1, oi: 0, oj: 0 },   // canvas pixels a cell, the cell at the top left
  moved: false,                   // the user has panned or zoomed
  overview: null,                 // { img, i0, j0, i1, j1 }
  detail: null,
  rev: 0,                         // pictures asked for since the results last changed
  trace: null,                    // the last answer of /api/trace, with its values
  asked: 0,                       // the number of the last trace asked for
  busy: false,
  hidden: new Set(),              // codes not shown
  fresh: null,                    // the trace stamped last: { code, cells, colour }
  contact: null,                  // { name, how, lines } in fractional cells
  misfit: null,
  fit: null,      // the last fit: its stereonet and band
  pointer: null,                  // the last answer of /api/point under the pointer
  pointZ: null,                   // and at the reference point
  lastDownload: null,
};
window.workbench = state;

function say(text, refused) {
  statusLine.textContent = text;
  statusLine.className = refused ? 'refused' : '';
  return text;
}

async function json(url, options) {
  const r = await fetch(url, options);
  const body = await r.json().catch(() => ({ error: r.status + ' ' + r.statusText }));
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

function post(url, body, type = 'application/json') {
  return json(url, { method: 'POST', headers: { 'Content-Type': type }, body });
}

function loadImage(url) {
  return new Promise((resolve, reject) => {
    const img = new Image();
    img.onload = () => resolve(img);
    img.onerror = () => reject(new Error('no picture from ' + url));
    img.src = url;
  });
}

// ---- the values -----------------------------------------------------------

const storageKey = () => 'tolmar:' + state.info.raster;

function save() {
  if (!state.info) return;
  const kept = { hidden: [...state.hidden] };
  for (const [k, f] of Object.entries(fields)) kept[k] = f.value;
  try { localStorage.setItem(storageKey(), JSON.stringify(kept)); } catch { /* storage full or off: nothing kept */ }
}

function restore() {
  let kept = null;
  try { kept = JSON.parse(localStorage.getItem(storageKey()) || 'null'); } catch { kept = null; }
  if (!kept || typeof kept !== 'object') return;
  // Values kept by the page before the five values took their names.
  const before = { row: 'ip', column: 'jp', dip: 'slope', dip_direction: 'dir', zone: 'infl' };
  for (const [k, f] of Object.entries(fields)) {
    const value = typeof kept[k] === 'string' ? kept[k] : kept[before[k]];
    if (typeof value === 'string') f.value = value;
  }
  if (Array.isArray(kept.hidden)) for (const c of kept.hidden) if (Number.isInteger(c)) state.hidden.add(c);
}

// The values as whole numbers, or the first field at fault and why.
function check() {
  const v = {};
  let fault = null;
  for (const [k, f] of Object.entries(fields)) {
    const text = f.value.trim();
    const whole = /^[-+]?\d{1,10}$/.test(text);
    f.setAttribute('aria-invalid', String(text !== '' && !whole));
    if (whole) v[k] = Number(text);
    else if (!fault) fault = text === '' ? { k, why: `${NAMES[k]} is empty` } : { k, why: `${NAMES[k]} must be a whole number, not “${text}”` };
  }
  fields.dip.classList.toggle('odd', 'dip' in v && (v.dip < 0 || v.dip > 90));
  fields.dip_direction.classList.toggle('odd', 'dip_direction' in v && (v.dip_direction < 0 || v.dip_direction > 359));
  return fault ? { fault } : { v };
}

const same = (a, b) => a && b && Object.keys(NAMES).every((k) => a[k] === b[k]);
// The five values as a query string.
const query = (v) => Object.keys(NAMES).map((k) => `${k}=${v[k]}`).join('&');
const recordValues = (r) => ({ row: r.row, column: r.column, dip: r.dip, dip_direction: r.dip_direction, zone: r.zone });
const lastRecord = () => state.info.treatments[state.info.treatments.length - 1];

// Stamp only what was traced, as it stands in the fields.
function updateButtons() {
  const { v } = check();
  const t = state.trace;
  stampButton.disabled = state.busy || !v || !t || !same(t.values, v) || t.verdict !== 'traced';
  undoButton.disabled = state.busy || !state.info || state.info.undoable < 1;
  $('fit').disabled = state.busy || !state.contact;
  $('clear-contact').disabled = !state.contact;
  const g = $('geometry');
  g.value = state.info ? state.info.geometry : 'classic';
  g.disabled = state.busy || !state.info || state.info.geometry_fixed;
  g.title = g.disabled ? 'the geometry of a set is chosen before its first stamp' : '';
}

function showNotes(notes) {
  const ul = $('notes');
  ul.replaceChildren(...notes.map((n) => Object.assign(document.createElement('li'), { textContent: n })));
}

// ---- the map --------------------------------------------------------------

// A picture of rows i0..i1 and columns j0..j1, w x h pixels.
async function picture(i0, j0, i1, j1, w, h) {
  const hide = state.hidden.size ? '&hide=' + [...state.hidden].sort((a, b) => a - b).join(',') : '';
  const img = await loadImage(`/api/picture?i0=${i0}&j0=${j0}&i1=${i1}&j1=${j1}&w=${w}&h=${h}&rev=${state.rev}${hide}`);
  return { img, i0, j0, i1, j1 };
}

async function loadOverview() {
  const { rows, cols } = state.info;
  const k = Math.min(1, 1024 / Math.max(rows, cols));
  state.overview = await picture(0, 0, rows, cols, Math.max(1, Math.round(cols * k)), Math.max(1, Math.round(rows * k)));
  draw();
}

// The part in view at the screen's resolution, once the view rests.
let detailTimer = 0;
function askDetail() {
  clearTimeout(detailTimer);
  detailTimer = setTimeout(async () => {
    const { rows, cols } = state.info, v = state.view;
    const i0 = Math.max(0, Math.floor(v.oi)), j0 = Math.max(0, Math.floor(v.oj));
    const i1 = Math.min(rows, Math.ceil(v.oi + map.height / v.s)), j1 = Math.min(cols, Math.ceil(v.oj + map.width / v.s));
    if (i1 <= i0 || j1 <= j0) return;
    const w = Math.min(4096, Math.max(1, Math.round((j1 - j0) * Math.min(v.s, 4))));
    const h = Math.min(4096, Math.max(1, Math.round((i1 - i0) * Math.min(v.s, 4))));
    const want = JSON.stringify(v) + state.rev;
    const d = await picture(i0, j0, i1, j1, w, h).catch(() => null);
    if (d && JSON.stringify(state.view) + state.rev === want) {
      state.detail = d;
      draw();
    }
  }, 200);
}

// The results changed (a stamp, an undo, a treatment shown or hidden): new pictures.
async function repaint() {
  state.rev++;
  state.detail = null;
  await loadOverview();
  askDetail();
}

function toScreen(i, j) {
  const v = state.view;
  return [(j - v.oj) * v.s, (i - v.oi) * v.s];
}

function toCell(x, y) {
  const v = state.view;
  return [Math.floor(v.oi + y / v.s), Math.floor(v.oj + x / v.s)];
}

const dpr = () => window.devicePixelRatio || 1;

function drawPicture(p) {
  if (!p) return;
  const [x0, y0] = toScreen(p.i0, p.j0), [x1, y1] = toScreen(p.i1, p.j1);
  ctx.drawImage(p.img, x0, y0, x1 - x0, y1 - y0);
}

function drawCells(cells, colour) {
  const size = Math.max(2, state.view.s);
  ctx.fillStyle = colour;
  for (const [i, j] of cells) {
    const [x, y] = toScreen(i + 0.5, j + 0.5);
    ctx.fillRect(x - size / 2, y - size / 2, size, size);
  }
}

function ring(i, j, radius, colour, width) {
  const [x, y] = toScreen(i + 0.5, j + 0.5);
  ctx.beginPath();
  ctx.arc(x, y, radius, 0, 2 * Math.PI);
  ctx.lineWidth = width + 2;
  ctx.strokeStyle = 'rgba(0,0,0,0.8)';
  ctx.stroke();
  ctx.lineWidth = width;
  ctx.strokeStyle = colour;
  ctx.stroke();
}

// A bar of a round length near 120 screen pixels, in metres or kilometres.
function drawScaleBar() {
  const metresPerPixel = state.info.pixel_m / state.view.s;
  const want = metresPerPixel * 120 * dpr();
  const p = 10 ** Math.floor(Math.log10(want));
  const length = [5, 2, 1].map((m) => m * p).find((l) => l <= want) || p;
  const px = length / metresPerPixel, x = 12 * dpr(), y = map.height - 14 * dpr();
  ctx.fillStyle = 'rgba(255,255,255,0.85)';
  ctx.fillRect(x - 6 * dpr(), y - 20 * dpr(), px + 12 * dpr(), 28 * dpr());
  ctx.fillStyle = '#000';
  ctx.fillRect(x, y - 3 * dpr(), px, 4 * dpr());
  ctx.fillRect(x, y - 8 * dpr(), 1.5 * dpr(), 9 * dpr());
  ctx.fillRect(x + px - 1.5 * dpr(), y - 8 * dpr(), 1.5 * dpr(), 9 * dpr());
  ctx.font = `${11 * dpr()}px system-ui, sans-serif`;
  ctx.textBaseline = 'bottom';
  ctx.fillText(length >= 1000 ? `${length / 1000} km` : `${length} m`, x, y - 5 * dpr());
  state.scaleBar = { metres: length, pixels: px };
}

// Row 0 is the DEM's north edge: north is up.
function drawNorthArrow() {
  const d = dpr(), x = map.width - 24 * d, y = 16 * d;
  ctx.fillStyle = 'rgba(255,255,255,0.85)';
  ctx.fillRect(x - 13 * d, y - 6 * d, 26 * d, 44 * d);
  ctx.fillStyle = '#000';
  ctx.beginPath();
  ctx.moveTo(x, y);
  ctx.lineTo(x + 7 * d, y + 18 * d);
  ctx.lineTo(x, y + 13 * d);
  ctx.lineTo(x - 7 * d, y + 18 * d);
  ctx.closePath();
  ctx.fill();
  ctx.font = `bold ${12 * d}px system-ui, sans-serif`;
  ctx.textAlign = 'center';
  ctx.textBaseline = 'top';
  ctx.fillText('N', x, y + 21 * d);
  ctx.textAlign = 'start';
}

// The trace being chosen, before it is stamped: a colour no code takes.
const TRACE_COLOUR = '#ff2bd6';
const CONTACT_COLOUR = '#00e5ff';
const BAND_COLOUR = 'rgba(10, 90, 200, 0.35)';

function draw() {
  if (map.width !== Math.round(map.clientWidth * dpr()) || map.height !== Math.round(map.clientHeight * dpr())) {
    map.width = Math.round(map.clientWidth * dpr());
    map.height = Math.round(map.clientHeight * dpr());
  }
  ctx.fillStyle = '#444';
  ctx.fillRect(0, 0, map.width, map.height);
  if (!state.info) return;
  const s = state.view.s, t = state.trace;
  ctx.imageSmoothingEnabled = s < 2;
  drawPicture(state.overview);
  drawPicture(state.detail);
  // The trace stamped last in its colour at once, before the new picture.
  const f = state.fresh;
  if (f && !state.hidden.has(f.code)) drawCells(f.cells, f.colour);
  // The band where the planes that fit may meet the ground, after a fit.
  if (state.fit && state.fit.band) {
    ctx.fillStyle = BAND_COLOUR;
    for (const [i, j, n] of state.fit.band) {
      const [x0, y0] = toScreen(i, j), [x1, y1] = toScreen(i + 1, j + n);
      ctx.fillRect(x0, y0, x1 - x0, y1 - y0);
    }
  }
  if (state.contact) {
    ctx.strokeStyle = CONTACT_COLOUR;
    ctx.fillStyle = CONTACT_COLOUR;
    ctx.lineWidth = 2 * dpr();
    for (const line of state.contact.lines) {
      if (line.length === 1) {
        const [x, y] = toScreen(line[0][0] + 0.5, line[0][1] + 0.5);
        ctx.fillRect(x - 3 * dpr(), y - 3 * dpr(), 6 * dpr(), 6 * dpr());
        continue;
      }
      ctx.beginPath();
      line.forEach(([i, j], k) => {
        const [x, y] = toScreen(i + 0.5, j + 0.5);
        if (k === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
      });
      ctx.stroke();
    }
  }
  const { v } = check();
  const showing = t && v && same(t.values, v);
  if (showing && t.square) {
    ctx.strokeStyle = t.verdict === 'traced' ? 'rgba(255,255,255,0.8)' : 'rgba(220,0,0,0.9)';
    ctx.lineWidth = 1.5;
    ctx.setLineDash([6, 4]);
    ctx.beginPath();
    t.square.forEach(([i, j], k) => {
      const [x, y] = toScreen(i + 0.5, j + 0.5);
      if (k === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
    });
    ctx.closePath();
    ctx.stroke();
    ctx.setLineDash([]);
  }
  // The live trace, unless it is the one just stamped, shown in its colour.
  const last = lastRecord();
  const stampedAlready = last && f && f.code === last.code && showing && same(t.values, recordValues(last));
  if (showing && t.cells && !stampedAlready) drawCells(t.cells, TRACE_COLOUR);
  for (const r of state.info.treatments)
    if (!state.hidden.has(r.code)) ring(r.row, r.column, Math.max(4 * dpr(), 0.7 * s), r.colour, 2 * dpr());
  if (v && 'row' in v && 'column' in v) ring(v.row, v.column, Math.max(6 * dpr(), s), '#fff', 2 * dpr());
  drawScaleBar();
  drawNorthArrow();
}

function fitScale() {
  const { rows, cols } = state.info;
  return Math.min(map.width / cols, map.height / rows);
}

// The view's centre stays on the DEM, and the DEM never shrinks below a
// quarter of the window.
function bounded(v) {
  const { rows, cols } = state.info;
  const s = Math.min(64, Math.max(fitScale() / 4, v.s));
  const h = map.height / s, w = map.width / s;
  const ci = Math.min(rows, Math.max(0, v.oi + h / 2)), cj = Math.min(cols, Math.max(0, v.oj + w / 2));
  return { s, oi: ci - h / 2, oj: cj - w / 2 };
}

function wholeDem() {
  const { rows, cols } = state.info;
  draw();
  const s = fitScale();
  state.view = { s, oi: rows / 2 - map.height / (2 * s), oj: cols / 2 - map.width / (2 * s) };
  state.moved = false;
  state.detail = null;
  draw();
  askDetail();
}

// ---- readouts ---------------------------------------------------------------

const metres = (m) => `${m.toFixed(1)} m`;

function pointText(p) {
  const g = state.info.georef;
  return `row ${p.row}, column ${p.column}` + (g ? ` · x ${p.x.toFixed(1)}, y ${p.y.toFixed(1)}` : '') +
    ` · ${metres(p.elevation_m)}` + (p.filled ? ' (filled ground)' : '');
}

// The cell under the pointer, the last asked for winning.
let pointerAsked = 0, pointerTimer = 0;
function askPointer(i, j) {
  clearTimeout(pointerTimer);
  const { rows, cols } = state.info;
  if (i < 0 || j < 0 || i >= rows || j >= cols) {
    state.pointer = null;
    $('readout').textContent = `row ${i}, column ${j} · outside the DEM`;
    return;
  }
  pointerTimer = setTimeout(async () => {
    const n = ++pointerAsked;
    const p = await json(`/api/point?i=${i}&j=${j}`).catch(() => null);
    if (n !== pointerAsked || !p) return;
    state.pointer = p;
    $('readout').textContent = pointText(p);
  }, 40);
}

let pointAsked = 0;
async function askPointZ(v) {
  const n = ++pointAsked, { rows, cols } = state.info, z = $('point-z');
  if (!v || !('row' in v) || !('column' in v) || v.row < 0 || v.column < 0 || v.row >= rows || v.column >= cols) {
    state.pointZ = null;
    z.textContent = v && 'row' in v && 'column' in v ? 'the point is outside the DEM' : '';
    return;
  }
  // A key in the attitude or the zone leaves the point's elevation as it
  // is shown: not asked again, so that the trace has the server alone.
  const p0 = state.pointZ;
  if (p0 && p0.info === state.info && p0.row === v.row && p0.column === v.column) {
    z.textContent = `elevation ${metres(p0.elevation_m)}` + (p0.filled ? ' (filled ground)' : '');
    return;
  }
  const p = await json(`/api/point?i=${v.row}&j=${v.column}`).catch(() => null);
  if (n !== pointAsked || !p) return;
  p.info = state.info;
  state.pointZ = p;
  z.textContent = `elevation ${metres(p.elevation_m)}` + (p.filled ? ' (filled ground)' : '');
}

function showMap(v) {
  const g = state.info.georef;
  $('map-x').textContent = g && v && 'column' in v ? 'x ' + (g.gt[0] + (v.column + 0.5) * g.gt[1]).toFixed(1) : '';
  $('map-y').textContent = g && v && 'row' in v ? 'y ' + (g.gt[3] + (v.row + 0.5) * g.gt[5]).toFixed(1) : '';
}

// ---- the trace of the values ------------------------------------------------

// Asked for as the values change: at once when no trace is on its way,
// else as soon as it has come, for the last values asked for only. A key
// is answered as fast as the server traces, and fast typing never queues
// requests; an answer to values changed since is never shown.
let traceBusy = false, traceNext = null;
function askTrace() {
  traceNext = null;
  save();
  const { v, fault } = check();
  // The request goes first: the page's own work below overlaps the server's.
  if (v) {
    const n = ++state.asked;
    if (traceBusy) traceNext = { v, n };
    else fetchTrace(v, n);
  }
  const partial = {};
  for (const k of Object.keys(fields)) if (fields[k].getAttribute('aria-invalid') === 'false' && fields[k].value.trim() !== '')
    partial[k] = Number(fields[k].value.trim());
  showMap(partial);
  askPointZ(partial);
  updateButtons();
  // A trace on its way is drawn with the map when it comes: one drawing a
  // key, not two.
  if (!v) draw();
  if (!v) {
    showNotes([]);
    if (fault.k === 'row' || fault.k === 'column') {
      if (fields[fault.k].value.trim() === '') say('Click the map to set the reference point.');
      else say(fault.why, true);
    } else say(fault.why, true);
    return;
  }
}

async function fetchTrace(v, n) {
  traceBusy = true;
  try {
    const t = await json(`/api/trace?${query(v)}`);
    if (n === state.asked) {
      t.values = v;
      state.trace = t;
      showNotes(t.notes || []);
      // The fit's words stay before the readout of the trace they filled in.
      const before = state.fitSaid ? state.fitSaid + ' ' : '';
      state.fitSaid = null;
      if (t.verdict === 'traced') {
        const filled = t.cells_over_filled_ground ? `, ${t.cells_over_filled_ground} over filled ground` : '';
        say(`${before}${t.cells.length} cells would be stamped${filled} (${t.ms.toFixed(1)} ms)`);
      } else {
        say(before + t.message, true);
      }
      askMisfit(v);
      updateButtons();
      draw();
    }
  } catch (e) {
    if (n === state.asked) {
      state.trace = null;
      say(e.message, true);
      updateButtons();
      draw();
    }
  }
  traceBusy = false;
  const next = traceNext;
  traceNext = null;
  if (next && next.n === state.asked) fetchTrace(next.v, next.n);
}

// ---- the list ---------------------------------------------------------------

function describe() {
  const i = state.info;
  const metre = i.pixel_m >= 10 ? Math.round(i.pixel_m) : Number(i.pixel_m.toPrecision(3));
  $('dem-info').textContent =
    `${i.rows} x ${i.cols} cells of ${metre} m, ${i.code} treatment${i.code === 1 ? '' : 's'} so far, ` +
    `${i.geometry} geometry` + (i.georef && i.georef.crs ? `, ${i.georef.crs}` : '');
}

function listTreatments() {
  const items = state.info.treatments.map((r) => {
    const li = document.createElement('li');
    li.dataset.code = r.code;
    const shown = document.createElement('input');
    shown.type = 'checkbox';
    shown.checked = !state.hidden.has(r.code);
    shown.title = 'show or hide this treatment';
    shown.addEventListener('change', () => {
      if (shown.checked) state.hidden.delete(r.code); else state.hidden.add(r.code);
      li.classList.toggle('hidden', !shown.checked);
      save();
      repaint();
    });
    const sw = document.createElement('span');
    sw.className = 'swatch';
    sw.style.background = r.colour;
    li.classList.toggle('hidden', state.hidden.has(r.code));
    li.append(shown, sw, `${r.code}: (${r.row}, ${r.column}) dip ${r.dip} dir ${r.dip_direction} zone ${r.zone}, ${r.cells} cells`);
    return li;
  });
  $('treatments').replaceChildren(...items);
}

function showInfo() {
  describe();
  listTreatments();
  updateButtons();
}

// ---- stamp and undo ---------------------------------------------------------

async function stamp(event) {
  if (event) event.preventDefault();
  const { v } = check();
  if (!v || state.busy || stampButton.disabled) return;
  const last = lastRecord();
  if (last && same(v, recordValues(last)) &&
      !window.confirm(`These are the values of treatment ${last.code}, the last stamped. Stamp them again as treatment ${state.info.code + 1}?`)) {
    say(`Not stamped: the values are those of treatment ${last.code}.`);
    return;
  }
  state.busy = true;
  updateButtons();
  try {
    const r = await post('/api/stamp', JSON.stringify(v));
    if (r.verdict === 'stamped') {
      state.info.code = r.code;
      state.info.undoable = r.undoable;
      state.info.geometry_fixed = true;
      state.info.treatments.push(r.record);
      state.hidden.delete(r.code);
      state.fresh = { code: r.code, cells: r.trace, colour: r.record.colour };
      showInfo();
      say(`code ${r.code} stamped on ${r.cells} cells`);
      draw();
      await repaint();
    } else {
      say(r.message, true);
    }
  } catch (e) {
    say(e.message, true);
  } finally {
    state.busy = false;
    updateButtons();
  }
}

async function undo() {
  if (state.busy) return;
  state.busy = true;
  updateButtons();
  const code = state.info.code;
  try {
    state.info = await post('/api/undo', '');
    state.fresh = null;
    showInfo();
    say(`Treatment ${code} taken back: both result files are as they were before it.`);
    draw();
    await repaint();
  } catch (e) {
    say(e.message, true);
  } finally {
    state.busy = false;
    updateButtons();
  }
}

// ---- a mapped contact -------------------------------------------------------

let misfitAsked = 0;
async function askMisfit(v) {
  if (!state.contact) return;
  const n = ++misfitAsked;
  const m = await json(`/api/misfit?${query(v)}`).catch((e) => ({ error: e.message }));
  if (n !== misfitAsked) return;
  m.values = v;
  state.misfit = m;
  const pct = (x) => `${Math.round(100 * x)} %`;
  $('contact-info').textContent = `${state.contact.name}: ${state.contact.how}. ` + (m.error ? m.error
    : !m.traced ? 'The square of these values leaves the DEM.'
      : m.beyond_square >= 1 ? 'The contact lies outside the square of these values: their trace cannot follow it.'
        : `Where these values' plane meets the ground: ${pct(m.within_one_cell)} of the contact within a cell of it, ` +
          `${pct(m.within_two_cells)} within two, ${pct(m.beyond_square)} beyond the square; ` +
          `RMS distance of the contact from it ${metres(m.rms_distance_m)}.`);
}

async function loadContact(file) {
  if (!file) return;
  if (file.size > 4 * 1024 * 1024) {
    say(`${file.name} is ${file.size} bytes: a contact sent to the workbench may hold 4 MB`, true);
    return;
  }
  try {
    const text = await file.text();
    const c = await post('/api/contact', text, 'text/plain');
    state.contact = { name: file.name, how: c.how, lines: c.lines };
    state.fit = null;
    drawNet(null);
    $('contact-info').textContent = `${file.name}: ${c.how}.`;
    say(`Contact ${file.name} drawn over the terrain`);
    const { v } = check();
    if (v) askMisfit(v);
  } catch (e) {
    say(`${file.name}: ${e.message}`, true);
  }
  updateButtons();
  draw();
}

// The stereonet of the fit: poles on the lower hemisphere, equal area;
// the answer's pole, its region's boundary or the arc of poles that fit.
function drawNet(f) {
  const canvas = $('net');
  if (!f || !f.net) {
    canvas.hidden = true;
    return;
  }
  canvas.hidden = false;
  const d = dpr(), size = 180;
  canvas.width = size * d;
  canvas.height = size * d;
  canvas.style.width = `${size}px`;
  canvas.style.height = `${size}px`;
  const g = canvas.getContext('2d');
  const r = (size / 2 - 16) * d, cx = size / 2 * d, cy = size / 2 * d + 4 * d;
  const at = (dip, dir) => {
    const rr = r * Math.SQRT2 * Math.sin(dip * Math.PI / 360), a = (dir + 180) * Math.PI / 180;
    return [cx + rr * Math.sin(a), cy - rr * Math.cos(a)];
  };
  g.fillStyle = '#fff';
  g.beginPath();
  g.arc(cx, cy, r, 0, 2 * Math.PI);
  g.fill();
  g.strokeStyle = '#000';
  g.lineWidth = d;
  g.stroke();
  g.fillStyle = '#000';
  g.font = `${10 * d}px system-ui, sans-serif`;
  g.textAlign = 'center';
  g.fillText('N', cx, cy - r - 4 * d);
  g.strokeStyle = '#0a5ac8';
  g.fillStyle = '#0a5ac8';
  g.lineWidth = 2 * d;
  const pts = f.net.region.map(([dip, dir]) => at(dip, dir));
  if (f.net.arc) {
    for (const [x, y] of pts) g.fillRect(x - 1.5 * d, y - 1.5 * d, 3 * d, 3 * d);
  } else if (pts.length) {
    g.beginPath();
    pts.forEach(([x, y], k) => (k ? g.lineTo(x, y) : g.moveTo(x, y)));
    g.closePath();
    g.stroke();
  }
  const [px, py] = at(f.net.pole[0], f.net.pole[1]);
  g.fillStyle = TRACE_COLOUR;
  g.beginPath();
  g.arc(px, py, 3.5 * d, 0, 2 * Math.PI);
  g.fill();
}

// A range as it is told: low to high; "any" direction; the opposite
// direction beside it when the region reaches vertical planes.
function range(r, level) {
  return ` (${r[0].toFixed(1)} to ${r[1].toFixed(1)} at ${Math.round(100 * level)} %)`;
}

async function fit() {
  if (!state.contact || state.busy) return;
  state.busy = true;
  updateButtons();
  say('Fitting the contact…');
  try {
    const f = await post('/api/fit', '');
    state.fit = f;
    drawNet(f);
    draw();
    if (!f.determined) {
      say(`No answer: ${f.why}.`, true);
      return;
    }
    for (const k of Object.keys(fields)) fields[k].value = String(f.values[k]);
    const direction = f.direction_any ? ' (any direction: the region holds a level plane)'
      : range(f.dip_direction_range, f.level) + (f.vertical ? '; at dip 90 a direction and its opposite are one plane' : '');
    state.fitSaid = say(`Fit: dip ${f.values.dip} (fitted ${f.dip.toFixed(1)}${range(f.dip_range, f.level)}), ` +
        `dip direction ${f.values.dip_direction} (fitted ${f.dip_direction.toFixed(1)}${direction}), ` +
        `RMS distance of the contact from the fitted plane's intersection ${metres(f.rms_distance_m)}` +
        (f.fits ? '' : '; no square around the point fits the DEM') +
        (state.info.geometry === 'classic' ? '. The fit is of the true geometry: classic traces of oblique planes sit off it.' : '.'));
    state.busy = false;
    askTrace();
  } catch (e) {
    say(e.message, true);
  } finally {
    state.busy = false;
    updateButtons();
  }
}

// ---- export -----------------------------------------------------------------

function download(blob, name) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  state.lastDownload = { name, size: blob.size };
}

async function exportTraces(format) {
  try {
    const r = await fetch(`/api/export?format=${format}`);
    if (!r.ok) throw new Error((await r.json().catch(() => ({}))).error || r.statusText);
    download(await r.blob(), `${state.info.name}_traces.${format}`);
    say(`The traces exported as ${format === 'gpkg' ? 'GeoPackage' : 'GeoJSON'}`);
  } catch (e) {
    say(e.message, true);
  }
}

function exportView() {
  draw();
  map.toBlob((blob) => {
    download(blob, `${state.info.name}_view.png`);
    say('The view exported as PNG');
  }, 'image/png');
}

// ---- the pointer, the wheel and the keys --------------------------------------

// Drag to pan, wheel to zoom about the pointer, a click without a drag sets the point.
let drag = null;
map.addEventListener('mousedown', (e) => {
  map.focus();
  // The drag follows the pointer in the window's coordinates, so that it
  // goes on the same way when the pointer leaves the map.
  drag = { x: e.clientX, y: e.clientY, moved: false, view: { ...state.view } };
});
map.addEventListener('mousemove', (e) => {
  if (!state.info || drag) return;
  const [i, j] = toCell(e.offsetX * dpr(), e.offsetY * dpr());
  askPointer(i, j);
});
map.addEventListener('mouseleave', () => { clearTimeout(pointerTimer); pointerAsked++; $('readout').textContent = ''; });
window.addEventListener('mousemove', (e) => {
  if (!drag) return;
  const dx = (e.clientX - drag.x) * dpr(), dy = (e.clientY - drag.y) * dpr();
  if (Math.abs(dx) + Math.abs(dy) > 3) drag.moved = true;
  if (!drag.moved) return;
  state.view = bounded({ s: drag.view.s, oi: drag.view.oi - dy / drag.view.s, oj: drag.view.oj - dx / drag.view.s });
  state.moved = true;
  draw();
});
window.addEventListener('mouseup', (e) => {
  if (!drag) return;
  const d = drag;
  drag = null;
  if (d.moved) {
    askDetail();
    return;
  }
  if (e.target !== map) return;
  const [i, j] = toCell(e.offsetX * dpr(), e.offsetY * dpr());
  fields.row.value = i;
  fields.column.value = j;
  askTrace();
});
map.addEventListener('wheel', (e) => {
  e.preventDefault();
  const x = e.offsetX * dpr(), y = e.offsetY * dpr(), v = state.view;
  const s = v.s * (e.deltaY < 0 ? 1.25 : 0.8);
  state.view = bounded({ s, oi: v.oi + y / v.s - y / s, oj: v.oj + x / v.s - x / s });
  state.moved = true;
  draw();
  askDetail();
}, { passive: false });

// Arrow keys move the point a cell (not while a field or list has the
// keys); Enter stamps from anywhere, as the form does from its fields.
const ARROWS = { ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1] };
document.addEventListener('keydown', (e) => {
  const inField = e.target instanceof HTMLInputElement || e.target instanceof HTMLSelectElement || e.target instanceof HTMLButtonElement;
  // Ctrl+Z (Cmd+Z) takes back the last stamp unless a text field has the
  // keys: there it is the browser's own undo of that field, and nowhere else
  // may the browser's undo change a field.
  if ((e.ctrlKey || e.metaKey) && !e.shiftKey && !e.altKey && e.key.toLowerCase() === 'z') {
    if (e.target instanceof HTMLInputElement && e.target.type !== 'file') return;
    e.preventDefault();
    undo();
    return;
  }
  if (ARROWS[e.key] && !inField && state.info) {
    const { v } = check();
    if (!v && (fields.row.value.trim() === '' || fields.column.value.trim() === '')) return;
    const [di, dj] = ARROWS[e.key];
    fields.row.value = Number(fields.row.value) + di;
    fields.column.value = Number(fields.column.value) + dj;
    e.preventDefault();
    askTrace();
  } else if (e.key === 'Enter' && !inField) {
    e.preventDefault();
    stamp();
  }
});

// Until the user moves the view, it keeps the whole DEM in the window.
window.addEventListener('resize', () => {
  if (!state.info) return;
  if (!state.moved) wholeDem();
  else {
    draw();
    askDetail();
  }
});

for (const f of Object.values(fields)) f.addEventListener('input', askTrace);
$('values').addEventListener('submit', stamp);
undoButton.addEventListener('click', undo);
$('whole').addEventListener('click', wholeDem);
$('fit').addEventListener('click', fit);
$('clear-contact').addEventListener('click', () => {
  state.fit = null;
  drawNet(null);
  state.contact = null;
  state.misfit = null;
  $('contact-info').textContent = 'None: open a mapped contact, or drop it on the map.';
  updateButtons();
  draw();
});
$('contact-file').addEventListener('change', (e) => { loadContact(e.target.files[0]); e.target.value = ''; });
$('export-gpkg').addEventListener('click', () => exportTraces('gpkg'));
$('export-geojson').addEventListener('click', () => exportTraces('geojson'));
$('export-png').addEventListener('click', exportView);
$('geometry').addEventListener('change', async (e) => {
  try {
    state.info = await post('/api/geometry', JSON.stringify({ geometry: e.target.value }));
    showInfo();
    state.trace = null;
    askTrace();
  } catch (err) {
    say(err.message, true);
    updateButtons();
  }
});
const stage = $('stage');
stage.addEventListener('dragover', (e) => { e.preventDefault(); stage.classList.add('dropping'); });
stage.addEventListener('dragleave', () => stage.classList.remove('dropping'));
stage.addEventListener('drop', (e) => {
  e.preventDefault();
  stage.classList.remove('dropping');
  loadContact(e.dataTransfer.files[0]);
});

(async () => {
  try {
    state.info = await json('/api/info');
    const i = state.info;
    $('dem-name').textContent = i.name;
    $('files').textContent = `${i.raster} and ${i.log}`;
    restore();
    showInfo();
    wholeDem();
    await loadOverview();
    askTrace();
    state.ready = true;
  } catch (e) {
    say('The workbench cannot start: ' + e.message, true);
  }
})();
