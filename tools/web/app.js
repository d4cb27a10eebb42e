// app.js: the workbench's page. The map shows the server's picture of the
// DEM (the whole of it first, then the part in view at full resolution); the
// trace of the values in the form is asked for as they change and drawn over
// it; "Stamp" adds it as the next treatment. Cells are (row, column); the
// view maps a cell to the screen by a scale and the cell at the top left.
'use strict';

const map = document.getElementById('map');
const ctx = map.getContext('2d');
const fields = {
  ip: document.getElementById('row'), jp: document.getElementById('column'),
  slope: document.getElementById('dip'), dir: document.getElementById('dir'), infl: document.getElementById('zone'),
};
const stampButton = document.getElementById('stamp');
const statusLine = document.getElementById('status');

// What the page holds; window.workbench lets a test read it.
const state = {
  info: null,
  view: { s: 1, oi: 0, oj: 0 },   // pixels a cell, the cell at the top left
  moved: false,                   // the user has panned or zoomed
  overview: null,                 // { img, i0, j0, i1, j1 }
  detail: null,
  trace: null,                    // the last answer of /api/trace
  asked: 0,                       // the number of the last trace asked for
  busy: false,
};
window.workbench = state;

function say(text, refused) {
  statusLine.textContent = text;
  statusLine.className = refused ? 'refused' : '';
}

async function json(url, options) {
  const r = await fetch(url, options);
  const body = await r.json().catch(() => ({ error: r.status + ' ' + r.statusText }));
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

function loadImage(url) {
  return new Promise((resolve, reject) => {
    const img = new Image();
    img.onload = () => resolve(img);
    img.onerror = () => reject(new Error('no picture from ' + url));
    img.src = url;
  });
}

// A picture of rows i0..i1 and columns j0..j1, w x h pixels.
async function picture(i0, j0, i1, j1, w, h) {
  // The code stamped last is part of the address: a new stamp, a new picture.
  const img = await loadImage(`/api/picture?i0=${i0}&j0=${j0}&i1=${i1}&j1=${j1}&w=${w}&h=${h}&code=${state.info.code}`);
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
    const want = JSON.stringify(v);
    const d = await picture(i0, j0, i1, j1, w, h).catch(() => null);
    if (d && JSON.stringify(state.view) === want) {
      state.detail = d;
      draw();
    }
  }, 200);
}

function toScreen(i, j) {
  const v = state.view;
  return [(j - v.oj) * v.s, (i - v.oi) * v.s];
}

function toCell(x, y) {
  const v = state.view;
  return [Math.floor(v.oi + y / v.s), Math.floor(v.oj + x / v.s)];
}

function drawPicture(p) {
  if (!p) return;
  const [x0, y0] = toScreen(p.i0, p.j0), [x1, y1] = toScreen(p.i1, p.j1);
  ctx.drawImage(p.img, x0, y0, x1 - x0, y1 - y0);
}

// The trace being chosen, before it is stamped: a colour no code takes.
const TRACE_COLOUR = '#ff2bd6';

function draw() {
  const dpr = window.devicePixelRatio || 1;
  if (map.width !== Math.round(map.clientWidth * dpr) || map.height !== Math.round(map.clientHeight * dpr)) {
    map.width = Math.round(map.clientWidth * dpr);
    map.height = Math.round(map.clientHeight * dpr);
  }
  ctx.fillStyle = '#444';
  ctx.fillRect(0, 0, map.width, map.height);
  ctx.imageSmoothingEnabled = state.view.s < 2;
  drawPicture(state.overview);
  drawPicture(state.detail);
  const s = state.view.s, t = state.trace;
  if (t && t.square) {
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
  if (t && t.cells) {
    ctx.fillStyle = TRACE_COLOUR;
    const size = Math.max(2, s);
    for (const [i, j] of t.cells) {
      const [x, y] = toScreen(i + 0.5, j + 0.5);
      ctx.fillRect(x - size / 2, y - size / 2, size, size);
    }
  }
  const ip = Number(fields.ip.value), jp = Number(fields.jp.value);
  if (fields.ip.value !== '' && fields.jp.value !== '') {
    const [x, y] = toScreen(ip + 0.5, jp + 0.5);
    ctx.strokeStyle = '#000';
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.arc(x, y, Math.max(5, s), 0, 2 * Math.PI);
    ctx.stroke();
  }
}

function fitView() {
  const { rows, cols } = state.info;
  draw();
  const s = Math.min(map.width / cols, map.height / rows);
  state.view = { s, oi: rows / 2 - map.height / (2 * s), oj: cols / 2 - map.width / (2 * s) };
}

function values() {
  const v = {};
  for (const [k, f] of Object.entries(fields)) {
    if (!/^[-+]?\d+$/.test(f.value.trim())) return null;
    v[k] = Number(f.value.trim());
  }
  return v;
}

function showMap() {
  const g = state.info && state.info.georef;
  const v = values();
  document.getElementById('map-x').textContent = g && v ? 'x ' + (g.gt[0] + (v.jp + 0.5) * g.gt[1]).toFixed(1) : '';
  document.getElementById('map-y').textContent = g && v ? 'y ' + (g.gt[3] + (v.ip + 0.5) * g.gt[5]).toFixed(1) : '';
}

// The trace of the values as they stand, the last asked for winning.
let traceTimer = 0;
function askTrace() {
  clearTimeout(traceTimer);
  showMap();
  const v = values();
  stampButton.disabled = !v || state.busy;
  if (!v) {
    state.trace = null;
    draw();
    return;
  }
  traceTimer = setTimeout(async () => {
    const n = ++state.asked;
    try {
      const t = await json(`/api/trace?ip=${v.ip}&jp=${v.jp}&slope=${v.slope}&dir=${v.dir}&infl=${v.infl}`);
      if (n !== state.asked) return;
      t.values = v;
      state.trace = t;
      if (t.verdict === 'traced') {
        const filled = t.cells_over_filled_ground ? `, ${t.cells_over_filled_ground} over filled ground` : '';
        say(`${t.cells.length} cells would be stamped${filled} (${t.ms.toFixed(1)} ms)`);
      } else {
        say(t.message, true);
      }
      draw();
    } catch (e) {
      if (n === state.asked) say(e.message, true);
    }
  }, 60);
}

function describe() {
  const i = state.info;
  document.getElementById('dem-info').textContent =
    `${i.rows} x ${i.cols} cells of ${i.pix_size}, ${i.code} treatment${i.code === 1 ? '' : 's'} so far` +
    (i.georef && i.georef.crs ? `, ${i.georef.crs}` : '');
}

function listTreatment(r) {
  const li = document.createElement('li');
  const sw = document.createElement('span');
  sw.className = 'swatch';
  sw.style.background = r.colour;
  li.append(sw, `${r.code}: (${r.line}, ${r.column}) dip ${r.dip} dir ${r.dir} zone ${r.zone}`);
  document.getElementById('treatments').append(li);
}

async function stamp(event) {
  event.preventDefault();
  const v = values();
  if (!v || state.busy) return;
  state.busy = true;
  stampButton.disabled = true;
  try {
    const r = await json('/api/stamp', { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(v) });
    if (r.verdict === 'stamped') {
      state.info.code = r.code;
      state.info.treatments.push(r.record);
      listTreatment(r.record);
      describe();
      say(`code ${r.code} stamped on ${r.cells} cells`);
      state.detail = null;
      await loadOverview();
      askDetail();
    } else {
      say(r.message, true);
    }
  } catch (e) {
    say(e.message, true);
  } finally {
    state.busy = false;
    stampButton.disabled = !values();
  }
}

// Drag to pan, wheel to zoom about the pointer, a click without a drag sets the point.
let drag = null;
map.addEventListener('mousedown', (e) => { drag = { x: e.offsetX, y: e.offsetY, moved: false, view: { ...state.view } }; });
window.addEventListener('mousemove', (e) => {
  if (!drag) return;
  const dpr = window.devicePixelRatio || 1;
  const dx = (e.offsetX - drag.x) * dpr, dy = (e.offsetY - drag.y) * dpr;
  if (Math.abs(dx) + Math.abs(dy) > 3) drag.moved = true;
  if (!drag.moved) return;
  state.view = { s: drag.view.s, oi: drag.view.oi - dy / drag.view.s, oj: drag.view.oj - dx / drag.view.s };
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
  const dpr = window.devicePixelRatio || 1;
  const [i, j] = toCell(e.offsetX * dpr, e.offsetY * dpr);
  fields.ip.value = i;
  fields.jp.value = j;
  askTrace();
});
map.addEventListener('wheel', (e) => {
  e.preventDefault();
  const dpr = window.devicePixelRatio || 1;
  const x = e.offsetX * dpr, y = e.offsetY * dpr, v = state.view;
  const s = Math.min(64, Math.max(1e-3, v.s * (e.deltaY < 0 ? 1.25 : 0.8)));
  state.view = { s, oi: v.oi + y / v.s - y / s, oj: v.oj + x / v.s - x / s };
  state.moved = true;
  draw();
  askDetail();
}, { passive: false });
// Until the user moves the view, it keeps the whole DEM in the window.
window.addEventListener('resize', () => {
  if (state.info && !state.moved) fitView();
  draw();
  askDetail();
});
for (const f of Object.values(fields)) f.addEventListener('input', askTrace);
document.getElementById('values').addEventListener('submit', stamp);

(async () => {
  try {
    state.info = await json('/api/info');
    const i = state.info;
    document.getElementById('dem-name').textContent = i.name;
    describe();
    document.getElementById('files').textContent = `${i.raster} and ${i.log}`;
    i.treatments.forEach(listTreatment);
    fitView();
    await loadOverview();
    askDetail();
    state.ready = true;
  } catch (e) {
    say('The workbench cannot start: ' + e.message, true);
  }
})();
