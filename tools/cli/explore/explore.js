// Tarvik Explorer: the page of `tarvik explore`.
//
// The directory is fetched once per login and searched here; the tree shows
// only the rows in view, so half a million points scroll and filter without
// stalling the page. Watched values arrive as server-sent events; the tool
// holds one subscription per item whoever watches it.
'use strict';

(function () {
  const ROW_HEIGHT = 24;
  const SPARK_POINTS = 120;
  const TREND_MAX = 8;  // items drawn in the trend at once
  const TREND_KEEP_MS = 3600000;
  const RAW_ROWS_SHOWN = 5000;
  const COLORS = ['#1f6feb', '#d1242f', '#1a7f37', '#8250df', '#bf8700', '#0a7ea4', '#cf222e', '#57606a'];

  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.search).get('token');

  // Everything the page knows; window.explorer for tests and the console.
  const app = {
    state: null,          // the last state event
    toolUp: false,        // the event stream to the tool is open
    allowWrite: false,
    server: '',
    session: null,
    dir: null,            // the directory, see loadDirectory
    loading: null,
    matches: null,        // search: type id -> matching point positions
    collapsed: new Set(), // types closed while searching
    expanded: new Set(),  // 't' + type id, 'p' + point position
    openPoints: new Set(), // point positions whose fields show
    rows: { kind: new Uint8Array(0), a: new Int32Array(0), b: new Int32Array(0), length: 0 },
    selectedPoint: -1,
    watch: new Map(),     // item -> entry
    trendSpan: 300000,
    trendPaused: false,
    history: { items: [], rows: null, base: null, chart: null, zoomTimer: 0 },
    raw: null,
    stats: { points: 0, directoryMs: 0, lastFilterMs: 0, maxFilterMs: 0, filters: 0,
             matched: 0, updates: 0, rowsDrawn: 0, itemsUpdated: new Set(), flushes: 0,
             maxFlushMs: 0 },
  };
  window.explorer = app;
  // Watches [item, type] pairs at once (tests and measurements).
  app.applyFilter = () => applyFilter();
  app.watchItems = (pairs) => {
    for (const [item, type] of pairs) addWatch(item, type);
    afterWatchChange();
  };

  // ---- Requests ------------------------------------------------------------

  async function api(path, options) {
    const init = Object.assign({ credentials: 'same-origin', cache: 'no-store' }, options || {});
    init.headers = Object.assign({}, init.headers || {});
    if (token) init.headers['X-Tarvik-Token'] = token;
    let res;
    try {
      res = await fetch(path, init);
    } catch (e) {
      const err = new Error('the explorer tool does not answer');
      err.status = 0;
      throw err;
    }
    let body = null;
    try { body = await res.json(); } catch (e) { body = null; }
    if (!res.ok) {
      const err = new Error((body && body.error) || (res.status + ' ' + res.statusText));
      err.status = res.status;
      throw err;
    }
    return body;
  }

  function post(path, body) {
    return api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                       body: JSON.stringify(body) });
  }

  function query(items, extra) {
    const parts = items.map((i) => 'item=' + encodeURIComponent(i));
    for (const k of Object.keys(extra || {})) parts.push(k + '=' + encodeURIComponent(extra[k]));
    return parts.join('&');
  }

  // ---- Small helpers -------------------------------------------------------

  function pad(n, w) { return String(n).padStart(w || 2, '0'); }
  function clock(ms, withMs) {
    const d = new Date(ms);
    const t = pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
    return withMs ? t + '.' + pad(d.getMilliseconds(), 3) : t;
  }
  function stamp(ms) {
    const d = new Date(ms);
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' + clock(ms, true);
  }
  function localInput(ms) {
    const d = new Date(ms);
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + 'T' +
      pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
  }
  function showValue(v) {
    if (v === null || v === undefined) return '—';
    if (typeof v === 'number') return Number.isInteger(v) ? String(v) : String(+v.toPrecision(10));
    return String(v);
  }
  // History values travel as 32-bit floats: seven digits say all they hold.
  function showFloat(v) { return v === null || v === undefined ? '' : String(+v.toPrecision(7)); }
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  let toastTimer = 0;
  function toast(text, error) {
    const t = $('toast');
    t.textContent = text;
    t.className = 'toast' + (error ? ' error' : '');
    t.hidden = false;
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { t.hidden = true; }, error ? 8000 : 3000);
  }
  function csvField(s) {
    s = String(s);
    return /[",\r\n]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }
  function download(name, lines) {
    const blob = new Blob([lines.join('\r\n') + '\r\n'], { type: 'text/csv' });
    const a = el('a');
    a.href = URL.createObjectURL(blob);
    a.download = name;
    document.body.appendChild(a);
    a.click();
    setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
  }
  function fileTime() {
    const d = new Date();
    return d.getFullYear() + pad(d.getMonth() + 1) + pad(d.getDate()) + '-' + pad(d.getHours()) +
      pad(d.getMinutes()) + pad(d.getSeconds());
  }
  function storageKey(what) { return 'tarvik-explore:' + what + ':' + app.server; }

  // ---- Connection state ----------------------------------------------------

  const STATE_TEXT = {
    CONN_READY: 'Connected',
    CONN_PENDING: 'Connecting…',
    CONN_CLOSED: 'Closed',
    CONN_BROKEN: 'Connection lost — reconnecting by itself',
    CONN_NO_SERVER: 'No server — retrying by itself',
    CONN_REFUSED: 'Refused by the server — retrying',
    CONN_REJECTED: 'Login rejected — retrying',
  };

  function showState() {
    const box = $('state');
    let cls = 'state-pending';
    let text = 'Starting…';
    let detail = '';
    if (!app.toolUp) {
      cls = 'state-lost';
      text = 'The explorer tool does not answer — retrying';
      detail = app.state ? 'last state ' + app.state.name : '';
    } else if (app.state) {
      const s = app.state;
      text = (STATE_TEXT[s.name] || s.name) + ' · ' + s.name;
      cls = s.state === 0 ? 'state-ready' : (s.state === 2 ? 'state-pending' : 'state-lost');
      const parts = [];
      if (app.server) parts.push(app.server);
      if (s.since) parts.push('since ' + clock(s.since));
      if (s.error && s.state !== 0) parts.push(s.error);
      else if (s.error) parts.push('last error: ' + s.error);
      detail = parts.join(' · ');
    }
    box.className = 'state ' + cls;
    $('state-text').textContent = text;
    $('state-detail').textContent = detail;
    box.title = detail;
  }

  function showWriteMode() {
    const w = $('write-mode');
    w.className = 'write-mode ' + (app.allowWrite ? 'write-on' : 'write-off');
    w.textContent = app.allowWrite ? 'Writing enabled' : 'Read-only';
    w.title = app.allowWrite ? 'Started with --allow-write: values can be written after a confirmation'
                             : 'Writing is off: start tarvik explore with --allow-write to write values';
    const note = $('write-note');
    note.className = 'note' + (app.allowWrite ? ' on' : '');
    note.textContent = app.allowWrite
      ? 'Writing is on: each write shows the old and the new value and asks first.'
      : 'Writing is off. Start the tool with --allow-write to write values.';
  }

  function onState(s) {
    const before = app.state;
    app.state = s;
    showState();
    if (s.state === 0) {
      if (!app.dir || app.dir.epoch !== s.epoch) loadDirectory();
      if (!before || before.state !== 0) sendWatch();
    }
  }

  // ---- Event stream --------------------------------------------------------

  let events = null;
  function openEvents() {
    if (events) events.close();
    const es = new EventSource('api/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
    events = es;
    es.addEventListener('hello', (e) => {
      app.session = JSON.parse(e.data).session;
      app.toolUp = true;
      showState();
      sendWatch();
    });
    es.addEventListener('state', (e) => onState(JSON.parse(e.data)));
    es.addEventListener('values', (e) => onValues(JSON.parse(e.data)));
    es.onerror = () => {
      app.toolUp = false;
      app.session = null;
      showState();
      // The browser tries again by itself unless the stream was refused.
      if (es.readyState === EventSource.CLOSED) setTimeout(openEvents, 2000);
    };
  }

  // ---- Directory and tree --------------------------------------------------

  async function loadDirectory() {
    if (app.loading) return app.loading;
    app.loading = (async () => {
      if (!app.dir) $('search-count').textContent = 'Loading the directory…';
      const t0 = performance.now();
      try {
        const d = await api('api/directory');
        const n = d.points.name.length;
        const dir = {
          epoch: d.epoch, types: new Map(), typeIds: [], byType: new Map(),
          names: d.points.name, lower: new Array(n),
          type: Int32Array.from(d.points.type), aux: Int32Array.from(d.points.aux),
          index: Int32Array.from(d.points.index),
        };
        for (const t of d.types) dir.types.set(t.id, t);
        const lists = new Map();
        for (let i = 0; i < n; i++) {
          dir.lower[i] = dir.names[i].toLowerCase();
          let list = lists.get(dir.type[i]);
          if (!list) { list = []; lists.set(dir.type[i], list); }
          list.push(i);
        }
        for (const [id, list] of lists) dir.byType.set(id, Int32Array.from(list));
        dir.typeIds = Array.from(new Set([...dir.types.keys(), ...lists.keys()])).sort((a, b) => a - b);
        app.dir = dir;
        app.stats.points = n;
        app.stats.directoryMs = Math.round(performance.now() - t0);
        if (app.dir.typeIds.length === 1) app.expanded.add('t' + app.dir.typeIds[0]);
        applyFilter();
        if (app.selectedPoint >= n) app.selectedPoint = -1;
        refreshWatchTypes();
      } catch (e) {
        $('search-count').textContent = 'The directory could not be read: ' + e.message;
      } finally {
        app.loading = null;
      }
    })();
    return app.loading;
  }

  function fieldsOf(point) {
    const t = app.dir.types.get(app.dir.type[point]);
    return t ? t.fields : [];
  }
  function itemName(point, field) { return app.dir.names[point] + '.' + field.name; }

  // Filters the points by name (case-insensitive), as the user types.
  function applyFilter() {
    const dir = app.dir;
    if (!dir) return;
    const t0 = performance.now();
    const q = $('search').value.trim().toLowerCase();
    let matched = 0;
    if (!q) {
      app.matches = null;
      matched = dir.names.length;
    } else {
      const lower = dir.lower;
      app.matches = new Map();
      for (const [id, list] of dir.byType) {
        const out = [];
        for (let k = 0; k < list.length; k++) {
          if (lower[list[k]].indexOf(q) !== -1) out.push(list[k]);
        }
        if (out.length) { app.matches.set(id, out); matched += out.length; }
      }
    }
    const t1 = performance.now();
    buildRows();
    $('tree').scrollTop = 0;
    renderTree();
    const ms = performance.now() - t0;
    app.stats.lastScanMs = t1 - t0;
    const s = app.stats;
    s.lastFilterMs = ms;
    s.maxFilterMs = Math.max(s.maxFilterMs, ms);
    s.filters++;
    s.matched = matched;
    const total = dir.names.length.toLocaleString('en');
    $('search-count').textContent = q
      ? matched.toLocaleString('en') + ' of ' + total + ' points match'
      : total + ' points in ' + dir.typeIds.length + ' types';
  }

  let filterTimer = 0;
  function scheduleFilter() {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(applyFilter, 40);
  }

  function typeOpen(id) {
    return app.matches ? !app.collapsed.has(id) : app.expanded.has('t' + id);
  }

  // The rows in view order, in typed arrays (half a million rows build in a
  // few milliseconds): kind 0 type (a = id), 1 point (a = position), 2 field
  // (a = point position, b = field position).
  function buildRows() {
    const dir = app.dir;
    let size = dir.typeIds.length + dir.names.length;
    for (const p of app.openPoints) size += fieldsOf(p).length;
    const kind = new Uint8Array(size);
    const a = new Int32Array(size);
    const b = new Int32Array(size);
    let n = 0;
    for (const id of dir.typeIds) {
      const points = app.matches ? app.matches.get(id) : dir.byType.get(id);
      if (app.matches && !points) continue;
      kind[n] = 0; a[n] = id; n++;
      if (!points || !typeOpen(id)) continue;
      for (let k = 0; k < points.length; k++) {
        const p = points[k];
        kind[n] = 1; a[n] = p; n++;
        if (app.openPoints.size && app.openPoints.has(p)) {
          const count = fieldsOf(p).length;
          for (let f = 0; f < count; f++) { kind[n] = 2; a[n] = p; b[n] = f; n++; }
        }
      }
    }
    app.rows = { kind, a, b, length: n };
  }

  const rowPool = [];
  function rowElement(i) {
    while (rowPool.length <= i) {
      const r = el('div', 'row');
      r.append(el('span', 'twisty'), el('span', 'name'), el('span', 'meta'));
      const star = el('button', 'star', '☆');
      star.type = 'button';
      r.append(star);
      $('tree-rows').append(r);
      rowPool.push(r);
    }
    return rowPool[i];
  }

  function renderTree() {
    const tree = $('tree');
    const rows = app.rows;
    const n = rows.length;
    $('tree-spacer').style.height = (n * ROW_HEIGHT) + 'px';
    const first = Math.max(0, Math.floor(tree.scrollTop / ROW_HEIGHT) - 5);
    const last = Math.min(n, Math.ceil((tree.scrollTop + tree.clientHeight) / ROW_HEIGHT) + 5);
    $('tree-rows').style.transform = 'translateY(' + (first * ROW_HEIGHT) + 'px)';
    const dir = app.dir;
    let used = 0;
    for (let r = first; r < last; r++, used++) {
      const row = rowElement(used);
      row.hidden = false;
      row.dataset.row = r;
      const [twisty, name, meta, star] = row.children;
      const k = rows.kind[r];
      const a = rows.a[r];
      row.className = 'row ' + (k === 0 ? 'type' : k === 1 ? 'point' : 'field');
      star.hidden = k !== 2;
      if (k === 0) {
        const t = dir.types.get(a);
        const all = dir.byType.get(a);
        const count = all ? all.length : 0;
        const shown = app.matches ? (app.matches.get(a) || []).length : count;
        row.style.paddingLeft = '6px';
        twisty.textContent = count ? (typeOpen(a) ? '▾' : '▸') : '';
        name.textContent = 'Type ' + a;
        meta.textContent = (t ? t.fields.length : 0) + ' fields · ' +
          (app.matches ? shown.toLocaleString('en') + ' of ' : '') + count.toLocaleString('en') + ' points';
        row.dataset.item = 'type:' + a;
      } else if (k === 1) {
        row.style.paddingLeft = '22px';
        twisty.textContent = app.openPoints.has(a) ? '▾' : '▸';
        name.textContent = dir.names[a];
        meta.textContent = '#' + dir.index[a] + ' · aux ' + dir.aux[a];
        if (a === app.selectedPoint) row.classList.add('selected');
        row.dataset.item = dir.names[a];
      } else {
        const f = fieldsOf(a)[rows.b[r]];
        const item = itemName(a, f);
        row.style.paddingLeft = '40px';
        twisty.textContent = '';
        name.textContent = f.name;
        meta.textContent = 'no ' + f.no + ' · ' + f.type;
        row.dataset.item = item;
        const on = app.watch.has(item);
        star.textContent = on ? '★' : '☆';
        star.className = 'star' + (on ? ' on' : '');
        star.title = on ? 'Stop watching ' + item : 'Watch ' + item;
      }
    }
    for (let i = used; i < rowPool.length; i++) rowPool[i].hidden = true;
  }

  function onTreeClick(e) {
    const row = e.target.closest('.row');
    if (!row || row.dataset.row === undefined) return;
    const r = Number(row.dataset.row);
    const k = app.rows.kind[r];
    const a = app.rows.a[r];
    if (k === 0) {
      if (app.matches) {
        if (app.collapsed.has(a)) app.collapsed.delete(a); else app.collapsed.add(a);
      } else {
        const key = 't' + a;
        if (app.expanded.has(key)) app.expanded.delete(key); else app.expanded.add(key);
      }
    } else if (k === 1) {
      if (app.openPoints.has(a)) app.openPoints.delete(a); else app.openPoints.add(a);
      showPoint(a);
    } else {
      const f = fieldsOf(a)[app.rows.b[r]];
      if (e.target.classList.contains('star')) {
        toggleWatch(itemName(a, f), f.type);
      } else {
        showPoint(a);
      }
    }
    buildRows();
    renderTree();
  }

  // ---- Point view ----------------------------------------------------------

  function showTab(name) {
    for (const b of document.querySelectorAll('.tabs button')) b.classList.toggle('active', b.dataset.tab === name);
    for (const t of document.querySelectorAll('.tab')) t.classList.toggle('active', t.id === 'tab-' + name);
    if (name === 'watch') drawTrend(true);
    if (name === 'history' && app.history.chart) app.history.chart.resize();
  }

  function showPoint(p) {
    app.selectedPoint = p;
    const dir = app.dir;
    $('point-empty').hidden = true;
    $('point-view').hidden = false;
    $('point-name').textContent = dir.names[p];
    $('point-meta').textContent = 'Point #' + dir.index[p] + ' · type ' + dir.type[p] + ' · aux ' + dir.aux[p];
    const body = $('point-fields').tBodies[0];
    body.textContent = '';
    for (const f of fieldsOf(p)) {
      const item = itemName(p, f);
      const tr = el('tr');
      tr.dataset.item = item;
      tr.append(el('td', 'num', String(f.no)), el('td', 'item', f.name), el('td', '', f.type),
                el('td', 'value', '…'));
      const actions = el('td', 'actions');
      const watch = el('button', '', app.watch.has(item) ? '★ Watching' : '☆ Watch');
      watch.addEventListener('click', () => {
        toggleWatch(item, f.type);
        watch.textContent = app.watch.has(item) ? '★ Watching' : '☆ Watch';
      });
      const hist = el('button', '', 'History');
      hist.title = 'Plot the history of ' + item;
      hist.addEventListener('click', () => { addHistoryItem(item); showTab('history'); plotHistory(); });
      actions.append(watch, hist);
      const write = el('td');
      const cell = el('div', 'write-cell');
      const input = el('input');
      input.placeholder = f.type === 'text' ? 'text' : f.type === 'long' ? 'integer' : 'number';
      input.disabled = !app.allowWrite;
      input.setAttribute('aria-label', 'New value of ' + item);
      const go = el('button', '', 'Write…');
      go.disabled = !app.allowWrite;
      go.title = app.allowWrite ? 'Check the value and confirm' : 'Writing is off (--allow-write)';
      go.addEventListener('click', () => startWrite(item, input.value));
      input.addEventListener('keydown', (e) => { if (e.key === 'Enter') startWrite(item, input.value); });
      cell.append(input, go);
      write.append(cell);
      tr.append(actions, write);
      body.append(tr);
    }
    showTab('point');
    readPoint();
  }

  async function readPoint() {
    const p = app.selectedPoint;
    if (p < 0 || !app.dir) return;
    const items = fieldsOf(p).map((f) => itemName(p, f));
    if (!items.length) return;
    $('point-status').textContent = 'Reading…';
    try {
      const r = await api('api/read?' + query(items));
      for (const v of r.values) {
        const tr = $('point-fields').querySelector('tr[data-item="' + CSS.escape(v.item) + '"]');
        if (tr) tr.children[3].textContent = showValue(v.value);
      }
      $('point-status').textContent = 'Read at ' + clock(r.time);
    } catch (e) {
      $('point-status').textContent = 'Could not read: ' + e.message;
    }
  }

  // ---- Writing -------------------------------------------------------------

  let pendingWrite = null;
  async function startWrite(item, text) {
    if (!app.allowWrite) { toast('Writing is off: start the tool with --allow-write', true); return; }
    try {
      const plan = await post('api/write/check', { item, value: text });
      pendingWrite = { item, value: text };
      $('write-item').textContent = plan.item;
      $('write-old').textContent = showValue(plan.now);
      $('write-new').textContent = showValue(plan.new);
      $('write-field').textContent = plan.field;
      $('write-sent').textContent = plan.sentAs;
      $('write-server').textContent = app.server;
      $('write-dialog').showModal();
    } catch (e) {
      toast(e.message, true);
    }
  }

  async function confirmWrite() {
    const w = pendingWrite;
    pendingWrite = null;
    if (!w) return;
    try {
      const r = await post('api/write', w);
      toast('Wrote ' + r.item + ' = ' + showValue(r.new) + ' (was ' + showValue(r.old) + ')');
      readPoint();
    } catch (e) {
      toast('Not written: ' + e.message, true);
    }
  }

  // ---- Watch list ----------------------------------------------------------

  function toggleWatch(item, type) {
    if (app.watch.has(item)) {
      app.watch.delete(item);
    } else {
      addWatch(item, type);
    }
    afterWatchChange();
  }

  function addWatch(item, type) {
    if (app.watch.has(item)) return;
    const numeric = type === 'double' || type === 'long';
    let trending = 0;
    for (const w of app.watch.values()) if (w.inTrend && ++trending >= TREND_MAX) break;
    app.watch.set(item, { item, type, value: undefined, last: 0, spark: [], trend: [], flip: false,
                          inTrend: numeric && trending < TREND_MAX, color: '', row: null, unknown: false });
  }

  function afterWatchChange() {
    assignColors();
    renderWatchTable();
    renderTree();
    saveLists();
    sendWatchSoon();
    drawTrend(true);
  }

  function assignColors() {
    let k = 0;
    for (const w of app.watch.values()) w.color = w.inTrend ? COLORS[k++ % COLORS.length] : '';
  }

  // After a new directory: types of restored items, and the unknown ones.
  function refreshWatchTypes() {
    if (!app.dir) return;
    for (const w of app.watch.values()) {
      if (w.type) continue;
      const dot = w.item.lastIndexOf('.');
      const name = w.item.slice(0, dot).toLowerCase();
      const field = w.item.slice(dot + 1);
      const p = app.dir.lower.indexOf(name);
      if (p >= 0) {
        const f = fieldsOf(p).find((x) => x.name === field);
        if (f) w.type = f.type;
      }
    }
    renderWatchTable();
  }

  let watchTimer = 0;
  function sendWatchSoon() {
    clearTimeout(watchTimer);
    watchTimer = setTimeout(sendWatch, 30);
  }

  async function sendWatch() {
    if (app.session === null) return;  // the next hello sends it
    const session = app.session;
    const items = [...app.watch.keys()];
    try {
      const r = await post('api/watch', { session, items });
      const unknown = new Set(r.unknown);
      for (const w of app.watch.values()) w.unknown = unknown.has(w.item);
      $('watch-status').textContent = r.watched.length + ' watched live' +
        (r.unknown.length ? ' · unknown to the server: ' + r.unknown.join(', ') : '');
      renderWatchTable();
    } catch (e) {
      // Sent again when the session is ready, or by the next stream's hello.
      $('watch-status').textContent = 'Watch list not registered yet: ' + e.message;
    }
  }

  function saveLists() {
    try {
      localStorage.setItem(storageKey('watch'), JSON.stringify([...app.watch.values()].map((w) => [w.item, w.type, w.inTrend])));
      localStorage.setItem(storageKey('history'), JSON.stringify(app.history.items));
    } catch (e) { /* private mode */ }
  }

  function restoreLists() {
    try {
      const watch = JSON.parse(localStorage.getItem(storageKey('watch')) || '[]');
      for (const [item, type, inTrend] of watch) {
        addWatch(item, type);
        app.watch.get(item).inTrend = !!inTrend;
      }
      app.history.items = JSON.parse(localStorage.getItem(storageKey('history')) || '[]');
    } catch (e) { /* nothing kept */ }
    assignColors();
  }

  function renderWatchTable() {
    const body = $('watch-table').tBodies[0];
    inView.disconnect();
    body.textContent = '';
    for (const w of app.watch.values()) {
      const tr = el('tr');
      tr.dataset.item = w.item;
      const trendCell = el('td');
      const box = el('input');
      box.type = 'checkbox';
      box.checked = w.inTrend;
      box.disabled = !(w.type === 'double' || w.type === 'long');
      box.title = 'Show in the trend';
      box.addEventListener('change', () => { w.inTrend = box.checked; assignColors(); renderWatchTable(); saveLists(); drawTrend(true); });
      trendCell.append(box);
      if (w.color) {
        const sw = el('span', 'swatch');
        sw.style.background = w.color;
        trendCell.append(sw);
      }
      const name = el('td', 'item', w.item);
      if (w.unknown) { name.classList.add('bad'); name.title = 'The server does not know this item'; }
      const value = el('td', 'value', showValue(w.value));
      const type = el('td', '', w.type || '');
      const last = el('td', 'last', w.last ? clock(w.last, true) : '—');
      const sparkCell = el('td');
      const canvas = el('canvas', 'spark');
      canvas.width = 120;
      canvas.height = 22;
      sparkCell.append(canvas);
      const actions = el('td', 'actions');
      const hist = el('button', '', 'History');
      hist.title = 'Plot the history of ' + w.item;
      hist.addEventListener('click', () => { addHistoryItem(w.item); showTab('history'); plotHistory(); });
      const remove = el('button', '', '✕');
      remove.title = 'Stop watching ' + w.item;
      remove.addEventListener('click', () => toggleWatch(w.item, w.type));
      actions.append(hist, remove);
      tr.append(trendCell, name, value, type, last, sparkCell, actions);
      body.append(tr);
      w.row = { tr, value, last, canvas };
      w.visible = false;
      tr.watchEntry = w;
      inView.observe(tr);
    }
    $('watch-empty').hidden = app.watch.size > 0;
    $('watch-count').textContent = app.watch.size ? String(app.watch.size) : '';
  }

  function drawSpark(w) {
    const c = w.row && w.row.canvas;
    if (!c) return;
    const g = c.getContext('2d');
    g.clearRect(0, 0, c.width, c.height);
    const s = w.spark;
    if (s.length < 2) return;
    let lo = Infinity;
    let hi = -Infinity;
    for (const v of s) { if (v < lo) lo = v; if (v > hi) hi = v; }
    const span = hi - lo || 1;
    const dx = (c.width - 4) / (SPARK_POINTS - 1);
    const x0 = c.width - 2 - (s.length - 1) * dx;
    g.strokeStyle = w.color || '#57606a';
    g.lineWidth = 1.5;
    g.beginPath();
    for (let i = 0; i < s.length; i++) {
      const x = x0 + i * dx;
      const y = c.height - 3 - ((s[i] - lo) / span) * (c.height - 6);
      if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
    }
    g.stroke();
  }

  // Changes are applied at once and drawn once a frame.
  const dirty = new Set();
  let frame = 0;
  function onValues(d) {
    for (const [item, ms, value] of d.v) {
      const w = app.watch.get(item);
      if (!w) continue;
      w.value = value;
      w.last = ms;
      if (typeof value === 'number') {
        w.spark.push(value);
        if (w.spark.length > SPARK_POINTS) w.spark.shift();
        w.trend.push([ms, value]);
        while (w.trend.length && w.trend[0][0] < ms - TREND_KEEP_MS) w.trend.shift();
      }
      dirty.add(w);
      app.stats.updates++;
      app.stats.itemsUpdated.add(item);
    }
    if (!frame) frame = requestAnimationFrame(flushValues);
  }

  // Only rows in view are drawn; a row that scrolls into view is drawn with
  // its latest value. A thousand watched items then cost what twenty do.
  const inView = new IntersectionObserver((entries) => {
    for (const e of entries) {
      const w = e.target.watchEntry;
      if (!w) continue;
      w.visible = e.isIntersecting;
      if (w.visible) drawRow(w);
    }
  });

  function flushValues() {
    frame = 0;
    const t0 = performance.now();
    for (const w of dirty) {
      if (w.row && w.visible) drawRow(w);
    }
    dirty.clear();
    const ms = performance.now() - t0;
    app.stats.flushes++;
    app.stats.maxFlushMs = Math.max(app.stats.maxFlushMs, ms);
  }

  function drawRow(w) {
    w.row.value.textContent = showValue(w.value);
    w.row.last.textContent = w.last ? clock(w.last, true) : '—';
    // Two classes with the same highlight: switching restarts it without a
    // layout per row.
    w.flip = !w.flip;
    w.row.tr.className = w.flip ? 'flash-a' : 'flash-b';
    drawSpark(w);
    app.stats.rowsDrawn++;
  }

  // ---- Trend ---------------------------------------------------------------

  let trendChart = null;
  function trendRows(items) {
    const byTime = new Map();
    items.forEach((w, i) => {
      for (const [t, v] of w.trend) {
        let row = byTime.get(t);
        if (!row) { row = new Array(items.length + 1).fill(null); row[0] = new Date(t); byTime.set(t, row); }
        row[i + 1] = v;
      }
    });
    return [...byTime.values()].sort((x, y) => x[0] - y[0]);
  }

  function drawTrend(force) {
    if (app.trendPaused && !force) return;
    if (!$('tab-watch').classList.contains('active')) return;
    const items = [...app.watch.values()].filter((w) => w.inTrend && w.trend.length);
    const rows = items.length ? trendRows(items) : [];
    $('trend-empty').hidden = rows.length > 0;
    if (!rows.length) {
      if (trendChart) { trendChart.destroy(); trendChart = null; }
      return;
    }
    const now = Date.now();
    const options = {
      file: rows,
      labels: ['Time', ...items.map((w) => w.item)],
      colors: items.map((w) => w.color),
      dateWindow: [now - app.trendSpan, now],
    };
    if (!trendChart || trendChart.numColumns() !== items.length + 1) {
      if (trendChart) trendChart.destroy();
      trendChart = new Dygraph($('trend'), rows, Object.assign({
        legend: 'always', labelsSeparateLines: false, connectSeparatedPoints: true,
        strokeWidth: 2, drawPoints: false, animatedZooms: false, ylabel: '',
        axes: { x: { axisLabelWidth: 70 } }, interactionModel: {},
      }, options));
    } else {
      trendChart.updateOptions(options);
    }
  }

  // ---- History -------------------------------------------------------------

  function addHistoryItem(item) {
    if (!app.history.items.includes(item)) app.history.items.push(item);
    renderHistoryItems();
    saveLists();
  }

  function renderHistoryItems() {
    const box = $('history-items');
    box.textContent = '';
    for (const item of app.history.items) {
      const chip = el('span', 'chip', item);
      const x = el('button', '', '✕');
      x.title = 'Remove ' + item;
      x.addEventListener('click', () => {
        app.history.items = app.history.items.filter((i) => i !== item);
        renderHistoryItems();
        saveLists();
      });
      chip.append(x);
      box.append(chip);
    }
    if (!app.history.items.length) box.append(el('span', 'muted', 'none yet: the History button of a watched item or of a field'));
    const select = $('raw-item');
    const keep = select.value;
    select.textContent = '';
    for (const item of app.history.items) {
      const o = el('option', '', item);
      o.value = item;
      select.append(o);
    }
    if (app.history.items.includes(keep)) select.value = keep;
  }

  function setRange(ms) {
    const to = Date.now();
    $('history-from').value = localInput(to - ms);
    $('history-to').value = localInput(to);
    plotHistory();
  }

  function rangeOf() {
    const from = new Date($('history-from').value).getTime();
    const to = new Date($('history-to').value).getTime();
    if (!isFinite(from) || !isFinite(to)) throw new Error('choose a range: from and to');
    if (to <= from) throw new Error('"to" must be later than "from"');
    return [from, to];
  }

  async function fetchHistory(items, from, to) {
    const samples = Math.max(50, Math.min(2000, Math.round($('history-chart').clientWidth || 600)));
    const d = await api('api/history?' + query(items, { from: Math.round(from), to: Math.round(to), samples }));
    return d.times.map((t, k) => [new Date(t), ...d.items.map((it) => it.values[k])]);
  }

  async function plotHistory() {
    const h = app.history;
    if (!h.items.length) {
      for (const w of app.watch.values()) if (w.inTrend) h.items.push(w.item);
      renderHistoryItems();
    }
    if (!h.items.length) { $('history-status').textContent = 'Pick items first.'; return; }
    let from;
    let to;
    try {
      if (!$('history-from').value) { setRange(600000); return; }
      [from, to] = rangeOf();
    } catch (e) { $('history-status').textContent = e.message; return; }
    const items = h.items.slice();
    $('history-status').textContent = 'Reading the history…';
    try {
      const rows = await fetchHistory(items, from, to);
      h.base = rows;
      h.rows = rows;
      h.shownItems = items;
      $('history-empty').hidden = true;
      if (h.chart) h.chart.destroy();
      h.chart = new Dygraph($('history-chart'), rows, {
        labels: ['Time', ...items], legend: 'always', showRangeSelector: true,
        rangeSelectorHeight: 36, connectSeparatedPoints: true, strokeWidth: 1.8,
        colors: items.map((_, i) => COLORS[i % COLORS.length]),
        axes: { x: { axisLabelWidth: 70 } },
        zoomCallback: (minX, maxX) => onHistoryZoom(minX, maxX),
      });
      $('history-status').textContent = rows.length + ' samples of ' + items.length + ' item' +
        (items.length > 1 ? 's' : '') + ' from ' + stamp(from) + ' to ' + stamp(to) +
        ' · drag to zoom, shift-drag or the bar below to pan, double-click to reset';
    } catch (e) {
      $('history-status').textContent = 'Could not read the history: ' + e.message;
    }
  }

  // Zooming in asks for detail of the window shown; the rest keeps its samples.
  function onHistoryZoom(minX, maxX) {
    const h = app.history;
    clearTimeout(h.zoomTimer);
    h.zoomTimer = setTimeout(async () => {
      if (!h.chart || !h.base) return;
      if (!h.chart.isZoomed('x')) { h.rows = h.base; h.chart.updateOptions({ file: h.base }); return; }
      try {
        const detail = await fetchHistory(h.shownItems, minX, maxX);
        const outside = h.base.filter((r) => r[0] < minX || r[0] > maxX);
        h.rows = outside.concat(detail).sort((a, b) => a[0] - b[0]);
        h.chart.updateOptions({ file: h.rows, dateWindow: [minX, maxX] });
      } catch (e) {
        $('history-status').textContent = 'Could not read the detail: ' + e.message;
      }
    }, 150);
  }

  // The CSV of what the chart shows: its items over the range in view.
  function historyCsv() {
    const h = app.history;
    if (!h.chart || !h.rows) return null;
    const [lo, hi] = h.chart.xAxisRange();
    const lines = [['time', ...h.shownItems].map(csvField).join(',')];
    for (const r of h.rows) {
      if (r[0] < lo || r[0] > hi) continue;
      lines.push([stamp(r[0].getTime()), ...r.slice(1).map(showFloat)].map(csvField).join(','));
    }
    return lines;
  }
  app.historyCsv = historyCsv;

  function exportHistory() {
    const lines = historyCsv();
    if (!lines) { toast('Plot something first', true); return; }
    download('tarvik-history-' + fileTime() + '.csv', lines);
  }

  async function loadRaw() {
    const item = $('raw-item').value;
    if (!item) { $('raw-status').textContent = 'Pick an item first.'; return; }
    let from;
    let to;
    try {
      [from, to] = app.history.chart ? app.history.chart.xAxisRange() : rangeOf();
    } catch (e) { $('raw-status').textContent = e.message; return; }
    $('raw-status').textContent = 'Reading…';
    try {
      const d = await api('api/history-raw?' + query([item], { from: Math.round(from), to: Math.round(to) }));
      app.raw = d;
      const body = $('raw-table').tBodies[0];
      body.textContent = '';
      for (const [t, status, value] of d.records.slice(0, RAW_ROWS_SHOWN)) {
        const tr = el('tr');
        const st = el('td', 'num', '0x' + status.toString(16).toUpperCase().padStart(4, '0'));
        st.title = 'status word ' + status;
        tr.append(el('td', '', stamp(t)), st, el('td', 'num', showFloat(value)));
        body.append(tr);
      }
      $('raw-status').textContent = d.records.length + ' records of ' + d.item + ' from ' + stamp(d.from) +
        ' to ' + stamp(d.to) + (d.records.length > RAW_ROWS_SHOWN ? ' (the first ' + RAW_ROWS_SHOWN + ' shown; the export has all)' : '');
    } catch (e) {
      $('raw-status').textContent = 'Could not read the records: ' + e.message;
    }
  }

  function exportRaw() {
    const d = app.raw;
    if (!d) { toast('Load raw records first', true); return; }
    const lines = ['time,status,value'];
    for (const [t, status, value] of d.records) lines.push([stamp(t), status, showFloat(value)].join(','));
    download('tarvik-raw-' + d.item + '-' + fileTime() + '.csv', lines);
  }

  // ---- Start ---------------------------------------------------------------

  async function start() {
    for (const b of document.querySelectorAll('.tabs button')) b.addEventListener('click', () => showTab(b.dataset.tab));
    $('search').addEventListener('input', scheduleFilter);
    $('tree').addEventListener('scroll', () => requestAnimationFrame(renderTree));
    $('tree-rows').addEventListener('click', onTreeClick);
    window.addEventListener('resize', () => { if (app.dir) renderTree(); });
    $('point-refresh').addEventListener('click', readPoint);
    $('trend-span').addEventListener('change', (e) => { app.trendSpan = Number(e.target.value); drawTrend(true); });
    $('trend-pause').addEventListener('click', (e) => {
      app.trendPaused = !app.trendPaused;
      e.target.textContent = app.trendPaused ? 'Resume' : 'Pause';
      e.target.classList.toggle('active', app.trendPaused);
    });
    for (const b of document.querySelectorAll('[data-range]')) b.addEventListener('click', () => setRange(Number(b.dataset.range)));
    $('history-plot').addEventListener('click', plotHistory);
    $('history-csv').addEventListener('click', exportHistory);
    $('raw-load').addEventListener('click', loadRaw);
    $('raw-csv').addEventListener('click', exportRaw);
    $('write-dialog').addEventListener('close', () => {
      if ($('write-dialog').returnValue === 'write') confirmWrite(); else pendingWrite = null;
    });
    setInterval(() => drawTrend(false), 500);  // the trend scrolls with the clock
    showState();
    try {
      const s = await api('api/state');
      app.allowWrite = s.allowWrite;
      app.server = s.server;
      document.title = 'Tarvik Explorer · ' + s.server;
      app.state = s;
      app.toolUp = true;
    } catch (e) {
      $('state-detail').textContent = e.message;
    }
    showWriteMode();
    restoreLists();
    renderWatchTable();
    renderHistoryItems();
    openEvents();
  }

  start();
})();
