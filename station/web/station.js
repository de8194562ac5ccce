// The station's live page: slot tiles from the change feed (Server-Sent
// Events), totals and failure codes of a period, the last boards with a
// search and a CSV download, and the slot controls. Every value that comes
// from a record or the configuration is put in as text, never as markup.
'use strict';

(function () {
  const TOKEN_KEY = 'qmb-station-token:' + location.host;
  const state = {
    info: null,
    slots: [],
    tiles: new Map(),    // slot name -> {root, parts}
    receivedAt: 0,       // when the slots last came, for the elapsed times
    source: null,
    retryTimer: 0,
    refreshTimer: 0,
    pendingAction: null, // an action waiting for the token
  };

  const $ = (id) => document.getElementById(id);

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function token() {
    try { return localStorage.getItem(TOKEN_KEY) || ''; } catch (e) { return ''; }
  }

  function setToken(value) {
    try { localStorage.setItem(TOKEN_KEY, value); } catch (e) { /* private mode */ }
  }

  function showMessage(text) {
    $('message').textContent = text || '';
  }

  function askToken(why, action) {
    state.pendingAction = action || null;
    $('token-why').textContent = why || '';
    $('token-form').hidden = false;
    $('token-input').value = '';
    $('token-input').focus();
  }

  async function api(path, options) {
    const opts = Object.assign({ headers: {} }, options || {});
    const t = token();
    if (t) opts.headers.Authorization = 'Bearer ' + t;
    const res = await fetch(path, opts);
    if (res.status === 401) {
      const body = await res.json().catch(() => ({ error: 'the token is needed' }));
      const err = new Error(body.error || 'the token is needed');
      err.status = 401;
      throw err;
    }
    if (!res.ok) {
      const body = await res.json().catch(() => ({ error: res.statusText }));
      const err = new Error(body.error || res.statusText);
      err.status = res.status;
      throw err;
    }
    return res;
  }

  async function getJson(path) {
    return (await api(path)).json();
  }

  // ---- the slots ------------------------------------------------------

  function formatMs(ms) {
    const s = Math.max(0, Math.floor(ms / 1000));
    const m = Math.floor(s / 60);
    return m > 0 ? m + ' min ' + String(s % 60).padStart(2, '0') + ' s' : s + ' s';
  }

  function resultWord(last) {
    if (!last) return '';
    if (last.result === 'pass') return 'PASS';
    if (last.result === 'fail') return 'FAIL';
    return last.status === 'aborted' ? 'STOPPED' : 'ERROR';
  }

  function makeTile(slot) {
    const root = el('article', 'tile');
    root.dataset.slot = slot.name;
    const head = el('div', 'head');
    const parts = {
      name: el('span', 'name', slot.name),
      port: el('span', 'port', slot.port),
      phase: el('div', 'phase'),
      board: el('div', 'counts board'),
      last: el('div', 'last'),
      reason: el('div', 'reason'),
      counts: el('div', 'counts totals'),
      lock: el('div', 'lock'),
      note: el('div', 'note'),
      start: el('button', 'start', 'Start'),
      stop: el('button', 'stop', 'Stop'),
      ack: el('button', 'ack', 'Acknowledge'),
    };
    head.append(parts.name, parts.port);
    const buttons = el('div', 'buttons');
    for (const b of [parts.start, parts.stop, parts.ack]) b.type = 'button';
    buttons.append(parts.start, parts.stop, parts.ack);
    root.append(head, parts.phase, parts.board, parts.last, parts.reason, parts.counts,
      parts.lock, parts.note, buttons);
    parts.start.addEventListener('click', () => control(slot.name, 'start'));
    parts.stop.addEventListener('click', () => control(slot.name, 'stop'));
    parts.ack.addEventListener('click', () => control(slot.name, 'ack'));
    return { root, parts };
  }

  function renderSlots() {
    const tiles = $('tiles');
    const names = state.slots.map((s) => s.name).join('\u0000');
    if (names !== Array.from(state.tiles.keys()).join('\u0000')) {
      tiles.textContent = '';
      state.tiles.clear();
      for (const slot of state.slots) {
        const tile = makeTile(slot);
        state.tiles.set(slot.name, tile);
        tiles.append(tile.root);
      }
      fillSlotFilter();
    }
    for (const slot of state.slots) {
      const { root, parts } = state.tiles.get(slot.name);
      const last = slot.last;
      parts.phase.textContent = slot.locked ? 'locked' : slot.running ? slot.phase : 'stopped';
      root.dataset.phase = slot.phase;
      parts.board.textContent = slot.in_board ? 'board ' + slot.board : '';
      parts.last.textContent = last ? 'last: ' + resultWord(last) + ' (board ' + last.board + ')' : 'no board yet';
      parts.last.className = 'last' + (last ? (last.result === 'pass' ? ' pass' : ' fail') : '');
      parts.reason.textContent = last && last.reason ? last.reason : '';
      parts.counts.textContent = slot.boards + ' boards: ' + slot.passed + ' passed, ' + slot.failed + ' failed';
      parts.lock.textContent = slot.locked ? slot.lock_reason : '';
      parts.note.textContent = slot.note || (slot.stopping ? 'stopping…' : '');
      parts.start.disabled = slot.running || slot.locked;
      parts.stop.disabled = !slot.running || slot.stopping;
      parts.ack.hidden = !slot.locked;
      root.classList.toggle('locked', slot.locked);
      root.classList.toggle('busy', slot.in_board);
      root.classList.toggle('waiting', slot.running && !slot.in_board);
      root.classList.toggle('last-pass', !!last && last.result === 'pass');
      root.classList.toggle('last-fail', !!last && last.result !== 'pass');
    }
    tickElapsed();
  }

  function tickElapsed() {
    const since = Date.now() - state.receivedAt;
    for (const slot of state.slots) {
      const tile = state.tiles.get(slot.name);
      if (!tile) continue;
      const text = slot.running ? formatMs(slot.elapsed_ms + since) : '';
      const board = slot.in_board ? 'board ' + slot.board + ' · ' : slot.running ? 'waiting · ' : '';
      tile.parts.board.textContent = text ? board + text : '';
    }
  }

  function fillSlotFilter() {
    const select = $('f-slot');
    const chosen = select.value;
    while (select.options.length > 1) select.remove(1);
    for (const slot of state.slots) {
      const option = el('option', '', slot.name);
      option.value = slot.name;
      select.append(option);
    }
    select.value = chosen;
  }

  async function control(name, action) {
    const path = name === null ? '/api/stop-all'
      : '/api/slots/' + encodeURIComponent(name) + '/' + action;
    if (!token()) {
      askToken('The station\u2019s token is needed for this.', () => control(name, action));
      return;
    }
    try {
      await api(path, { method: 'POST' });
      showMessage('');
    } catch (e) {
      if (e.status === 401) askToken(e.message, () => control(name, action));
      else showMessage(e.message);
    }
  }

  // ---- the recipe's serial pools ------------------------------------------

  function renderPools(pools) {
    const box = $('pools');
    box.textContent = '';
    box.hidden = !pools || !pools.length;
    for (const p of pools || []) {
      const item = el('div', 'pool' + (p.low ? ' low' : ''));
      item.dataset.pool = p.pool;
      const known = p.remaining !== null && p.remaining !== undefined;
      item.append(el('span', 'name', 'pool ' + p.pool),
        el('span', 'left', known ? p.remaining + ' left' : 'level unknown'));
      if (known) item.append(el('span', 'mark', 'low-water ' + p.low_water));
      if (p.low) item.append(el('span', 'low-flag', 'low'));
      if (p.error) item.append(el('span', 'error', p.error));
      box.append(item);
    }
  }

  // ---- records and figures ---------------------------------------------

  function isoOfLocal(value) {
    // datetime-local gives local time; the API takes UTC.
    return value ? new Date(value).toISOString() : '';
  }

  function periodQuery() {
    const p = $('period').value;
    const now = new Date();
    let since = null;
    let until = null;
    if (p === 'today') since = new Date(now.getFullYear(), now.getMonth(), now.getDate());
    else if (p === 'hour') since = new Date(now.getTime() - 3600e3);
    else if (p === 'day') since = new Date(now.getTime() - 86400e3);
    else if (p === 'week') since = new Date(now.getTime() - 7 * 86400e3);
    const q = new URLSearchParams();
    if (p === 'custom') {
      if ($('period-from').value) q.set('since', isoOfLocal($('period-from').value));
      if ($('period-to').value) q.set('until', isoOfLocal($('period-to').value));
    } else {
      q.set('since', since.toISOString());
      if (until) q.set('until', until.toISOString());
    }
    if (state.info) q.set('station', state.info.station);
    return q;
  }

  function percent(x, n) {
    return n > 0 ? (100 * x).toFixed(1) + ' %' : '–';
  }

  function renderPareto(pareto) {
    const box = $('pareto');
    box.textContent = '';
    if (!pareto.length) {
      box.append(el('p', 'counts', 'no failures in this period'));
      return;
    }
    const NS = 'http://www.w3.org/2000/svg';
    const items = pareto.slice(0, 10);
    const total = pareto.reduce((a, f) => a + f.count, 0);
    const max = items[0].count;
    const barW = 64;
    const gap = 14;
    const h = 150;
    const top = 16;
    const width = items.length * (barW + gap) + gap + 40;
    const svg = document.createElementNS(NS, 'svg');
    svg.setAttribute('viewBox', '0 0 ' + width + ' ' + (h + top + 40));
    svg.setAttribute('width', String(width));
    svg.setAttribute('role', 'img');
    const title = document.createElementNS(NS, 'title');
    title.textContent = 'failure codes by count';
    svg.append(title);
    let cum = 0;
    const points = [];
    items.forEach((f, i) => {
      const x = gap + i * (barW + gap);
      const bh = Math.max(1, Math.round(h * f.count / max));
      const rect = document.createElementNS(NS, 'rect');
      rect.setAttribute('class', 'bar');
      rect.setAttribute('x', String(x));
      rect.setAttribute('y', String(top + h - bh));
      rect.setAttribute('width', String(barW));
      rect.setAttribute('height', String(bh));
      rect.dataset.code = f.code;
      svg.append(rect);
      const count = document.createElementNS(NS, 'text');
      count.setAttribute('x', String(x + barW / 2));
      count.setAttribute('y', String(top + h - bh - 3));
      count.setAttribute('text-anchor', 'middle');
      count.textContent = String(f.count);
      svg.append(count);
      const label = document.createElementNS(NS, 'text');
      label.setAttribute('x', String(x + barW / 2));
      label.setAttribute('y', String(top + h + 14));
      label.setAttribute('text-anchor', 'middle');
      label.textContent = f.code.replace(/_/g, ' ');
      svg.append(label);
      cum += f.count;
      points.push((x + barW / 2) + ',' + (top + h - h * cum / total));
    });
    const line = document.createElementNS(NS, 'polyline');
    line.setAttribute('class', 'cum');
    line.setAttribute('points', points.join(' '));
    svg.append(line);
    const pct = document.createElementNS(NS, 'text');
    pct.setAttribute('x', String(width - 36));
    pct.setAttribute('y', String(top + 4));
    pct.textContent = '100 %';
    svg.append(pct);
    box.append(svg);
  }

  async function refreshStats() {
    const stats = await getJson('/api/stats?' + periodQuery().toString());
    $('t-boards').textContent = String(stats.total);
    $('t-passes').textContent = String(stats.passes);
    $('t-fails').textContent = String(stats.fails);
    $('t-yield').textContent = percent(stats.yield, stats.passes + stats.fails);
    $('t-fpy').textContent = percent(stats.first_pass_yield, stats.units);
    renderPareto(stats.pareto);
    const aside = stats.set_aside || {count: 0, newest: []};
    $('set-aside').hidden = !aside.count;
    $('set-aside').textContent = aside.count + ' record(s) set aside, refused by the server' +
      (aside.newest.length ? ': ' + aside.newest[0].reason : '');
    if (state.info && state.info.line_view) {
      const q = periodQuery();
      q.delete('station');
      const line = await getJson('/api/line?' + q.toString());
      const body = $('line').tBodies[0];
      body.textContent = '';
      for (const s of line.stations) {
        const tr = el('tr');
        tr.append(el('td', '', s.station), el('td', '', s.total), el('td', '', s.passes),
          el('td', '', s.fails), el('td', '', percent(s.yield, s.passes + s.fails)),
          el('td', '', percent(s.first_pass_yield, s.total)));
        body.append(tr);
      }
    }
  }

  function recordQuery() {
    const q = new URLSearchParams();
    if ($('f-since').value) q.set('since', isoOfLocal($('f-since').value));
    if ($('f-until').value) q.set('until', isoOfLocal($('f-until').value));
    if ($('f-slot').value) q.set('slot', $('f-slot').value);
    if ($('f-result').value) q.set('result', $('f-result').value);
    if ($('f-dut').value.trim()) q.set('dut_id', $('f-dut').value.trim());
    if (state.info) q.set('station', state.info.station);
    q.set('limit', '50');
    return q;
  }

  function slotName(index) {
    const slot = state.slots.find((s) => s.index === index);
    return slot ? slot.name : String(index);
  }

  async function refreshRecords() {
    const records = await getJson('/api/records?' + recordQuery().toString());
    const body = $('records').tBodies[0];
    body.textContent = '';
    for (const r of records) {
      const tr = el('tr');
      tr.dataset.id = r.id;
      const result = r.result || 'none';
      const ended = new Date(r.ended_at);
      tr.append(
        el('td', '', isNaN(ended) ? r.ended_at : ended.toLocaleString()),
        el('td', '', slotName(r.slot)),
        el('td', '', r.board),
        el('td', result, r.result ? r.result : r.status),
        el('td', '', r.failure_code || ''),
        el('td', '', (r.duration_ms / 1000).toFixed(1) + ' s'),
        el('td', '', r.dut_id || ''),
        el('td', 'operator', r.operator),
        el('td', 'reason', r.reason));
      body.append(tr);
    }
  }

  async function downloadCsv() {
    try {
      const q = recordQuery();
      q.set('format', 'csv');
      const blob = await (await api('/api/records?' + q.toString())).blob();
      const a = el('a');
      a.href = URL.createObjectURL(blob);
      a.download = 'records.csv';
      document.body.append(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(a.href), 10000);
    } catch (e) {
      showMessage(e.message);
    }
  }

  function refreshSoon() {
    clearTimeout(state.refreshTimer);
    state.refreshTimer = setTimeout(() => {
      Promise.all([refreshStats(), refreshRecords()]).catch(readFailed);
    }, 150);
  }

  function readFailed(e) {
    if (e.status === 401) askToken(e.message, () => start());
    else showMessage(e.message);
  }

  // ---- the change feed ---------------------------------------------------

  function setLink(up) {
    const s = $('link-state');
    s.textContent = up ? 'live' : 'reconnecting';
    s.className = up ? 'link-up' : 'link-down';
  }

  function connect() {
    clearTimeout(state.retryTimer);
    if (state.source) state.source.close();
    const auth = state.info && state.info.auth;
    const url = '/api/events' + (auth ? '?token=' + encodeURIComponent(token()) : '');
    const source = new EventSource(url);
    state.source = source;
    source.addEventListener('open', () => {
      setLink(true);
      showMessage('');
      // Whatever happened while the feed was away.
      loadInfo().then(refreshSoon).catch(readFailed);
    });
    source.addEventListener('slots', (ev) => {
      state.slots = JSON.parse(ev.data);
      state.receivedAt = Date.now();
      renderSlots();
    });
    source.addEventListener('board', () => refreshSoon());
    source.addEventListener('pools', (ev) => renderPools(JSON.parse(ev.data)));
    source.addEventListener('error', () => {
      if (source !== state.source) return;
      setLink(false);
      // The page tries again itself, once a second for as long as the
      // station is away: a browser's own retry may give up (an error
      // answer) or wait longer after each failed attempt, so a page left
      // open through a restart could stay stale for minutes.
      source.close();
      clearTimeout(state.retryTimer);
      state.retryTimer = setTimeout(connect, 1000);
    });
  }

  async function loadInfo() {
    const info = await getJson('/api/info');
    state.info = info;
    $('station-name').textContent = info.station;
    document.title = info.station + ' – qmb-station';
    const bits = [];
    if (info.recipe) {
      bits.push(info.product, 'recipe ' + info.recipe.slice(0, 12), info.mode + ' mode',
        info.sections.length + ' section' + (info.sections.length === 1 ? '' : 's') + ', ' +
          info.image_length + ' bytes');
    } else {
      bits.push('section ' + info.section, info.image_length + ' bytes, sha256 ' + info.image_sha256.slice(0, 12));
      if (info.mode === 'engineering') bits.push('engineering mode');
    }
    if (info.operator) bits.push('operator ' + info.operator);
    if (info.batch) bits.push('batch ' + info.batch);
    $('run-info').textContent = bits.join(' · ');
    $('mode-banner').hidden = !(info.recipe && info.mode === 'engineering');
    renderPools(info.pools);
    $('line-panel').hidden = !info.line_view;
    return info;
  }

  async function start() {
    try {
      await loadInfo();
    } catch (e) {
      if (e.status === 401) {
        askToken(e.message, () => start());
        return;
      }
      setLink(false);
      state.retryTimer = setTimeout(start, 1000);
      return;
    }
    Promise.all([refreshStats(), refreshRecords()]).catch(readFailed);
    connect();
  }

  // ---- wiring --------------------------------------------------------------

  document.addEventListener('DOMContentLoaded', () => {
    $('token-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      const value = $('token-input').value.trim();
      if (!value) return;
      setToken(value);
      $('token-form').hidden = true;
      const action = state.pendingAction;
      state.pendingAction = null;
      if (action) action();
    });
    $('token-cancel').addEventListener('click', () => {
      $('token-form').hidden = true;
      state.pendingAction = null;
    });
    $('token-button').addEventListener('click', () => askToken('', null));
    $('stop-all').addEventListener('click', () => control(null, 'stop-all'));
    $('record-filter').addEventListener('submit', (ev) => {
      ev.preventDefault();
      refreshRecords().catch(readFailed);
    });
    $('csv').addEventListener('click', downloadCsv);
    $('period').addEventListener('change', () => {
      $('totals-panel').classList.toggle('custom-period', $('period').value === 'custom');
      refreshStats().catch(readFailed);
    });
    for (const id of ['period-from', 'period-to']) {
      $(id).addEventListener('change', () => refreshStats().catch(readFailed));
    }
    setInterval(tickElapsed, 250);
    start();
  });
})();
