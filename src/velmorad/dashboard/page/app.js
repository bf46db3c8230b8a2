// The dashboard's page: reads /api/state and the /api/events stream from velmorad, keeps a small
// model of what it saw, and redraws the parts that changed at most once per animation frame (the
// daemon sends one tick a second). All text from the network goes through textContent.
'use strict';

(() => {
  const MAX_OPEN_ROWS = 500;   // open connections shown
  const MAX_LOG_ROWS = 500;    // log rows in the DOM
  const LOG_KEEP = 2000;       // log events kept for filtering
  const HISTORY = 300;         // seconds in an application's chart

  const TEXT = {
    on: '路由：开',
    off: '路由：关',
    writesOff: '设置里没有允许自动化修改配置',
    sessionGone: '会话已失效：请重新运行 velmoractl dashboard',
    disconnected: '与 velmorad 的连接断开，正在重连…',
    done: '已设置',
    working: '正在提交…',
    needApp: '请填写应用',
    needHost: '请填写主机',
    needInterface: '请填写网卡名',
    badPort: '端口应为 1 到 65535',
    failed: (status) => `请求失败（HTTP ${status}）`,
    unreachable: '无法连接 velmorad',
  };
  const PHASES = { open: '打开', close: '关闭', blocked: '拦截', failed: '失败', direct: '直连' };
  const CAPTURE = { programs: '按程序', session: '整个会话', off: '关闭' };

  const $ = (sel) => document.querySelector(sel);

  // ---- what the page knows ----
  const model = {
    state: null,            // the last /api/state document
    stateSeq: 0,            // bumps on every state taken in, so late fetches lose to newer events
    stats: null,            // from ticks, else from the state
    open: [],               // the last tick's open connections
    ruleCounts: null,       // tick.rules
    apps: new Map(),        // app -> {name, sent, received, totalSent, totalReceived, open, lastRule, lastRoute, hist}
    log: [],                // log events, oldest first, each with a local key
    logSeq: 0,
    sessionGone: false,
  };
  const view = {
    sortKey: 'rate',
    sortDesc: true,
    filterApp: '',
    filterHost: '',
  };

  // ---- formatting ----
  const intFormat = new Intl.NumberFormat('zh-CN');
  const fmtInt = (n) => intFormat.format(Math.round(Number(n) || 0));

  function fmtBytes(n) {
    n = Number(n) || 0;
    if (n < 1024) return `${Math.round(n)} B`;
    const units = ['KB', 'MB', 'GB'];
    let v = n / 1024;
    let i = 0;
    while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
    return `${v < 10 ? v.toFixed(1) : fmtInt(v)} ${units[i]}`;
  }
  const fmtRate = (n) => `${fmtBytes(n)}/s`;

  function fmtAge(seconds) {
    const s = Math.max(0, Math.floor(Number(seconds) || 0));
    if (s < 60) return `${s} 秒`;
    if (s < 3600) return `${Math.floor(s / 60)} 分`;
    if (s < 86400) return `${Math.floor(s / 3600)} 时`;
    return `${Math.floor(s / 86400)} 天`;
  }

  const pad2 = (n) => String(n).padStart(2, '0');
  function fmtTime(iso) {
    const d = new Date(iso);
    if (Number.isNaN(d.getTime())) return '';
    return `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}`;
  }

  function fmtEndpoint(host, port, transport) {
    let h = String(host ?? '');
    if (h.includes(':') && !h.startsWith('[')) h = `[${h}]`;
    const base = port ? `${h}:${port}` : h;
    return transport === 'udp' ? `${base} UDP` : base;
  }

  // ---- small DOM helpers ----
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  // Writes text only when it changed, so a steady table costs no layout.
  function setText(e, text) {
    const t = String(text ?? '');
    if (e.textContent !== t) e.textContent = t;
  }
  function setAttr(e, name, value) {
    const v = String(value);
    if (e.getAttribute(name) !== v) e.setAttribute(name, v);
  }
  // Puts rows into a table body (or any box) in the given order, moving only what is out of place, and drops the rest.
  function placeRows(tbody, rows) {
    let cursor = tbody.firstChild;
    for (const tr of rows) {
      if (tr === cursor) cursor = cursor.nextSibling;
      else tbody.insertBefore(tr, cursor);
    }
    while (cursor) {
      const next = cursor.nextSibling;
      cursor.remove();
      cursor = next;
    }
  }
  const contains = (hay, needle) => !needle || String(hay ?? '').toLowerCase().includes(needle);

  // ---- redraws, batched to one per frame ----
  const dirty = new Set();
  let frameAsked = false;
  function redraw(...parts) {
    for (const p of parts) dirty.add(p);
    if (frameAsked) return;
    frameAsked = true;
    // A hidden tab gets no frames; a timer keeps the model's DOM from lagging far behind.
    const run = () => { if (frameAsked) { frameAsked = false; flush(); } };
    requestAnimationFrame(run);
    setTimeout(run, 1000);
  }
  function flush() {
    const parts = [...dirty];
    dirty.clear();
    for (const p of parts) {
      try {
        DRAW[p]();
      } catch (err) {
        console.error(`redraw ${p}:`, err);
      }
    }
  }

  // ---- header ----
  function drawHeader() {
    const st = model.state?.status;
    const sw = $('#switch');
    const writable = Boolean(st?.automationWritesAllowed);
    if (st) {
      const on = Boolean(st.enabled);
      setText(sw, on ? TEXT.on : TEXT.off);
      setAttr(sw, 'data-enabled', on ? 'true' : 'false');
    }
    sw.disabled = !st || !writable || sw.dataset.busy === '1';
    sw.title = st && !writable ? TEXT.writesOff : '';

    const sel = $('#profile');
    const profiles = model.state?.profiles ?? [];
    const names = profiles.map((p) => p.name);
    if (sel.dataset.names !== JSON.stringify(names)) {
      sel.replaceChildren(...profiles.map((p) => {
        const o = el('option', '', p.name);
        o.value = p.name;
        const envs = (p.boundEnvironments ?? []).join('、');
        o.title = `${fmtInt(p.ruleCount)} 条规则，${fmtInt(p.proxyCount)} 个代理${envs ? `，网络环境：${envs}` : ''}`;
        return o;
      }));
      sel.dataset.names = JSON.stringify(names);
    }
    const active = profiles.find((p) => p.isActive)?.name ?? st?.activeProfile;
    if (active !== undefined && sel.dataset.busy !== '1') sel.value = active;
    sel.disabled = !st || !writable || sel.dataset.busy === '1';
    sel.title = st && !writable ? TEXT.writesOff : '';

    setText($('#environment'), st?.currentEnvironment || '—');

    const cap = $('#capture');
    let capText = '—';
    if (st?.captureProblem) capText = `不可用：${st.captureProblem}`;
    else if (st?.captureMode === 'programs' && st.capturedPrograms !== undefined) {
      capText = `${CAPTURE.programs}（${fmtInt(st.capturedPrograms)} 个程序）`;
    } else if (st?.captureMode) capText = CAPTURE[st.captureMode] ?? st.captureMode;
    setText(cap, capText);
    cap.classList.toggle('problem', Boolean(st?.captureProblem));
    cap.title = st?.captureProblem ?? '';

    $('#local-proxy-field').hidden = !st?.localProxy;
    setText($('#local-proxy'), st?.localProxy ?? '');

    const s = model.stats ?? st?.stats;
    const totals = $('#totals');
    if (s) {
      setText(totals, `连接 ${fmtInt(s.activeConnections)} / ${fmtInt(s.totalConnections)}` +
        ` · ↑ ${fmtBytes(s.bytesSent)} ↓ ${fmtBytes(s.bytesReceived)}`);
      const started = s.startedAt ? new Date(s.startedAt) : null;
      totals.title = `拦截 ${fmtInt(s.blockedConnections)}，失败 ${fmtInt(s.failedConnections)}` +
        (started && !Number.isNaN(started.getTime()) ? `，启动于 ${started.toLocaleString('zh-CN')}` : '');
    }

    for (const n of document.querySelectorAll('.writes-note')) n.hidden = !st || writable;
    $('#route-fields').disabled = !st || !writable;
  }

  // ---- route form's targets ----
  function drawTargets() {
    const sel = $('#route-form select[name=target]');
    const proxies = model.state?.proxies ?? [];
    const names = proxies.map((p) => p.name);
    if (sel.dataset.names === JSON.stringify(names)) return;
    const keep = sel.value;
    const opts = [new Option('直连', 'direct'), new Option('拦截', 'block')];
    if (proxies.length) {
      const group = el('optgroup');
      group.label = '代理';
      for (const p of proxies) {
        const o = el('option', '', p.type ? `${p.name}（${p.type}）` : p.name);
        o.value = p.name;
        group.append(o);
      }
      opts.push(group);
    }
    opts.push(new Option('网卡…', 'interface:'));
    sel.replaceChildren(...opts);
    sel.dataset.names = JSON.stringify(names);
    sel.value = keep;
    if (sel.value !== keep) sel.value = 'direct';
    showInterfaceField();
  }
  function showInterfaceField() {
    const form = $('#route-form');
    form.querySelector('.interface-field').hidden = form.elements.target.value !== 'interface:';
  }

  // ---- open connections ----
  const SORTS = {
    app: (c) => String(c.app ?? '').toLowerCase(),
    host: (c) => String(c.host ?? '').toLowerCase(),
    rule: (c) => String(c.ruleName ?? '').toLowerCase(),
    route: (c) => String(c.route ?? '').toLowerCase(),
    sent: (c) => Number(c.bytesSent) || 0,
    received: (c) => Number(c.bytesReceived) || 0,
    rate: (c) => (Number(c.rateSent) || 0) + (Number(c.rateReceived) || 0),
    age: (c) => Number(c.age) || 0,
  };
  const NUMERIC_SORTS = new Set(['sent', 'received', 'rate', 'age']);
  const connRows = new Map(); // id -> {tr, cells}

  function connRow(id) {
    let r = connRows.get(id);
    if (r) return r;
    const tr = el('tr');
    tr.dataset.id = id;
    const cells = {};
    for (const name of ['app', 'host', 'rule', 'route', 'sent', 'received', 'rate', 'age']) {
      cells[name] = tr.appendChild(el('td', name));
    }
    for (const name of ['sent', 'received', 'rate', 'age']) cells[name].classList.add('num');
    r = { tr, cells };
    connRows.set(id, r);
    return r;
  }

  function drawConnections() {
    const fa = view.filterApp;
    const fh = view.filterHost;
    const all = model.open;
    const shown = all.filter((c) => (contains(c.app, fa) || contains(c.bundleID, fa)) &&
      (contains(c.host, fh) || (fh && contains(c.address, fh))));
    const key = SORTS[view.sortKey] ?? SORTS.rate;
    const dir = view.sortDesc ? -1 : 1;
    shown.sort((a, b) => {
      const x = key(a);
      const y = key(b);
      if (x < y) return -dir;
      if (x > y) return dir;
      return String(a.id).localeCompare(String(b.id));
    });
    const cut = shown.slice(0, MAX_OPEN_ROWS);

    const rows = [];
    const keep = new Set();
    for (const c of cut) {
      const id = String(c.id);
      keep.add(id);
      const { tr, cells } = connRow(id);
      setText(cells.app, c.app);
      cells.app.title = c.bundleID ?? '';
      // A name reached directly shows the address it was reached at as well.
      setText(cells.host, fmtEndpoint(c.host, c.port, c.transport) + (c.address ? ` → ${c.address}` : ''));
      setText(cells.rule, c.ruleName ?? '—');
      setText(cells.route, c.route);
      setText(cells.sent, fmtBytes(c.bytesSent));
      setText(cells.received, fmtBytes(c.bytesReceived));
      setText(cells.rate, `↑ ${fmtRate(c.rateSent)} ↓ ${fmtRate(c.rateReceived)}`);
      setText(cells.age, fmtAge(c.age));
      tr.classList.toggle('phase-direct', c.phase === 'direct');
      tr.classList.toggle('idle', !SORTS.rate(c));
      rows.push(tr);
    }
    placeRows($('#connections-body'), rows);
    for (const id of connRows.keys()) if (!keep.has(id)) connRows.delete(id);

    const empty = $('#connections .placeholder .empty');
    empty.hidden = rows.length > 0;
    setText(empty.firstChild, all.length ? '没有符合筛选的连接' : '没有打开的连接');
    setText($('#connections-count'), all.length === shown.length && shown.length <= MAX_OPEN_ROWS
      ? `${fmtInt(all.length)} 个`
      : `显示 ${fmtInt(cut.length)} / 共 ${fmtInt(all.length)} 个`);

    for (const th of document.querySelectorAll('#connections th[data-sort]')) {
      const on = th.dataset.sort === view.sortKey;
      th.classList.toggle('sorted', on);
      th.classList.toggle('desc', on && view.sortDesc);
      th.classList.toggle('asc', on && !view.sortDesc);
      if (on) th.setAttribute('aria-sort', view.sortDesc ? 'descending' : 'ascending');
      else th.removeAttribute('aria-sort');
    }
  }

  function sortBy(key) {
    if (!SORTS[key]) return;
    if (view.sortKey === key) view.sortDesc = !view.sortDesc;
    else {
      view.sortKey = key;
      view.sortDesc = NUMERIC_SORTS.has(key);
    }
    redraw('connections');
  }

  // ---- applications ----
  function appRecord(name) {
    let a = model.apps.get(name);
    if (!a) {
      a = { name, sent: 0, received: 0, totalSent: 0, totalReceived: 0, open: 0,
        lastRule: undefined, lastRoute: undefined, hist: new Array(HISTORY).fill(0) };
      model.apps.set(name, a);
    }
    return a;
  }
  function pushHistory(a, value) {
    a.hist.push(Number(value) || 0);
    if (a.hist.length > HISTORY) a.hist.splice(0, a.hist.length - HISTORY);
  }

  const SVG = 'http://www.w3.org/2000/svg';
  const CHART_H = 24;
  const appRows = new Map(); // app -> {row, parts}

  function appRow(name) {
    let r = appRows.get(name);
    if (r) return r;
    const row = el('div', 'app-row');
    row.dataset.app = name;
    const parts = { name: el('span', 'name', name) };
    parts.name.title = name;
    const svg = document.createElementNS(SVG, 'svg');
    svg.setAttribute('class', 'chart');
    svg.setAttribute('viewBox', `0 0 ${HISTORY} ${CHART_H}`);
    svg.setAttribute('preserveAspectRatio', 'none');
    svg.setAttribute('role', 'img');
    parts.title = svg.appendChild(document.createElementNS(SVG, 'title'));
    parts.area = svg.appendChild(document.createElementNS(SVG, 'path'));
    parts.area.setAttribute('class', 'area');
    parts.line = svg.appendChild(document.createElementNS(SVG, 'path'));
    parts.line.setAttribute('class', 'line');
    parts.chart = svg;
    parts.rate = el('span', 'rate num');
    parts.open = el('span', 'open num');
    parts.total = el('span', 'total num');
    parts.lastRule = el('span', 'last-rule');
    const btn = el('button', 'set-route', '设置路由');
    btn.type = 'button';
    btn.addEventListener('click', () => fillRouteForm(name));
    parts.button = btn;
    row.append(parts.name, svg, parts.rate, parts.open, parts.total, parts.lastRule, btn);
    r = { row, parts };
    appRows.set(name, r);
    return r;
  }

  // The path of one chart: a line over the window, scaled to its own peak.
  function chartPaths(hist) {
    let peak = 0;
    for (const v of hist) if (v > peak) peak = v;
    const offset = HISTORY - hist.length;
    const y = (v) => +(peak > 0 ? CHART_H - 1 - (v / peak) * (CHART_H - 2) : CHART_H - 1).toFixed(1);
    let line = '';
    for (let i = 0; i < hist.length; i++) line += `${i ? ' ' : 'M'}${offset + i} ${y(hist[i])}`;
    const area = `${line}L${HISTORY} ${CHART_H}L${offset} ${CHART_H}Z`;
    return { line, area, peak };
  }

  function drawApps() {
    const list = [...model.apps.values()];
    const rate = (a) => a.sent + a.received;
    const total = (a) => a.totalSent + a.totalReceived;
    list.sort((a, b) => rate(b) - rate(a) || total(b) - total(a) || a.name.localeCompare(b.name));
    const writable = !model.state || Boolean(model.state.status?.automationWritesAllowed);
    const rows = [];
    for (const a of list) {
      const { row, parts } = appRow(a.name);
      const { line, area, peak } = chartPaths(a.hist);
      setAttr(parts.line, 'd', line);
      setAttr(parts.area, 'd', area);
      setText(parts.title, `${a.name}：最近 ${a.hist.length} 秒，峰值 ${fmtRate(peak)}`);
      setText(parts.rate, `↑ ${fmtRate(a.sent)} ↓ ${fmtRate(a.received)}`);
      setText(parts.open, `${fmtInt(a.open)} 个连接`);
      setText(parts.total, `共 ↑ ${fmtBytes(a.totalSent)} ↓ ${fmtBytes(a.totalReceived)}`);
      const last = a.lastRule || a.lastRoute
        ? `${a.lastRule ?? '—'} → ${a.lastRoute ?? '—'}` : '';
      setText(parts.lastRule, last);
      parts.lastRule.title = last;
      parts.button.disabled = !writable;
      row.classList.toggle('quiet', rate(a) === 0);
      rows.push(row);
    }
    placeRows($('#apps'), rows);
    for (const name of appRows.keys()) if (!model.apps.has(name)) appRows.delete(name);
    $('#apps-empty').hidden = rows.length > 0;

    // Application names for the forms' inputs.
    const dl = $('#known-apps');
    const names = list.map((a) => a.name).sort();
    if (dl.dataset.names !== JSON.stringify(names)) {
      dl.replaceChildren(...names.map((n) => { const o = el('option'); o.value = n; return o; }));
      dl.dataset.names = JSON.stringify(names);
    }
  }

  function fillRouteForm(app) {
    const form = $('#route-form');
    form.elements.app.value = app;
    setText($('#route-result'), '');
    form.scrollIntoView({ block: 'nearest', behavior: 'smooth' });
    form.elements.target.focus();
  }

  // ---- rules ----
  function matchText(r) {
    const parts = [];
    const list = (xs) => xs.join('、');
    if (r.apps?.length) parts.push(`应用 ${list(r.apps)}`);
    if (r.hosts?.length) parts.push(`主机 ${list(r.hosts)}`);
    if (r.ports?.length) parts.push(`端口 ${list(r.ports)}`);
    return parts.length ? parts.join('；') : '全部';
  }

  function drawRules() {
    const tbody = $('#rules-body');
    const rules = model.state?.rules ?? [];
    const byName = new Map();
    for (const tr of tbody.children) byName.set(tr.dataset.rule, tr);
    const rows = rules.map((r) => {
      let tr = byName.get(r.name);
      if (!tr) {
        tr = el('tr');
        tr.dataset.rule = r.name;
        tr.append(el('td', 'name'), el('td', 'match'), el('td', 'action'), el('td', 'count num'));
      }
      byName.delete(r.name);
      const [name, match, action, count] = tr.children;
      setText(name, r.locked ? `${r.name}（内置）` : r.name);
      name.title = r.locked ? '已锁定' : '';
      setText(match, matchText(r));
      match.title = match.textContent;
      setText(action, r.action);
      const n = model.ruleCounts?.[r.name] ?? r.connections ?? 0;
      setText(count, fmtInt(n));
      tr.classList.toggle('disabled', r.enabled === false);
      tr.title = r.enabled === false ? '已停用' : '';
      return tr;
    });
    placeRows(tbody, rows);
  }

  // ---- log ----
  const logRows = new Map(); // local key -> tr

  function addLog(ev) {
    if (!ev || typeof ev !== 'object') return;
    model.log.push({ ev, key: ++model.logSeq });
  }
  function trimLog() {
    if (model.log.length > LOG_KEEP) model.log.splice(0, model.log.length - LOG_KEEP);
  }

  function logRow(item) {
    let tr = logRows.get(item.key);
    if (tr) return tr;
    const ev = item.ev;
    const phase = String(ev.phase ?? '');
    tr = el('tr', `phase-${phase.replace(/[^a-z]/g, '')}`);
    tr.dataset.id = ev.id ?? '';
    const time = el('td', 'time num', fmtTime(ev.date));
    const d = new Date(ev.date);
    if (!Number.isNaN(d.getTime())) time.title = d.toLocaleString('zh-CN');
    const app = el('td', 'app', ev.app ?? '');
    if (ev.bundleID) app.title = ev.bundleID;
    let bytes = '';
    if (ev.bytesSent || ev.bytesReceived) bytes = `↑ ${fmtBytes(ev.bytesSent)} ↓ ${fmtBytes(ev.bytesReceived)}`;
    const bytesCell = el('td', 'bytes num', bytes);
    // A block the rules decided says so itself; failures carry their own description.
    const reason = ev.errorDescription ??
      (phase === 'blocked' && ev.ruleName ? `规则「${ev.ruleName}」拦截` : '');
    if (phase !== 'open' && ev.lifetime !== undefined) bytesCell.title = `持续 ${fmtAge(ev.lifetime)}`;
    tr.append(time, app,
      el('td', 'host', fmtEndpoint(ev.host, ev.port, ev.transport)),
      el('td', 'rule', ev.ruleName ?? ''),
      el('td', 'route', ev.route ?? ''),
      el('td', 'phase', PHASES[phase] ?? phase),
      bytesCell,
      el('td', 'reason', reason));
    tr.lastChild.title = reason;
    logRows.set(item.key, tr);
    return tr;
  }

  function drawLog() {
    const fa = view.filterApp;
    const fh = view.filterHost;
    const rows = [];
    const keep = new Set();
    for (let i = model.log.length - 1; i >= 0 && rows.length < MAX_LOG_ROWS; i--) {
      const item = model.log[i];
      const ev = item.ev;
      if (!(contains(ev.app, fa) || contains(ev.bundleID, fa)) || !contains(ev.host, fh)) continue;
      rows.push(logRow(item));
      keep.add(item.key);
    }
    placeRows($('#log-body'), rows);
    for (const key of logRows.keys()) if (!keep.has(key)) logRows.delete(key);
    const empty = $('#log .placeholder .empty');
    empty.hidden = rows.length > 0;
    setText(empty.firstChild, model.log.length ? '没有符合筛选的日志' : '还没有日志');
    setText($('#log-count'), rows.length ? `最近 ${fmtInt(rows.length)} 条` : '');
  }

  const DRAW = {
    header: drawHeader,
    targets: drawTargets,
    connections: drawConnections,
    apps: drawApps,
    rules: drawRules,
    log: drawLog,
  };

  // ---- taking in what the daemon sends ----
  function takeState(doc) {
    if (!doc || typeof doc !== 'object') return;
    model.state = doc;
    model.stateSeq++;
    // A tick's stats are newer than the state's only until the next state arrives.
    if (doc.status?.stats) model.stats = doc.status.stats;
    redraw('header', 'targets', 'rules', 'apps');
  }

  function takeHello(h) {
    model.log = [];
    for (const ev of h?.log ?? []) addLog(ev);
    trimLog();
    logRows.clear();
    $('#log-body').replaceChildren();
    model.apps.clear();
    for (const [name, series] of Object.entries(h?.history ?? {})) {
      const a = appRecord(name);
      const values = (Array.isArray(series) ? series : []).slice(-HISTORY)
        .map((p) => (Array.isArray(p) ? (Number(p[0]) || 0) + (Number(p[1]) || 0) : 0));
      a.hist = new Array(HISTORY - values.length).fill(0).concat(values);
    }
    redraw('apps', 'log');
  }

  function takeTick(t) {
    if (!t || typeof t !== 'object') return;
    model.open = Array.isArray(t.open) ? t.open : [];
    if (t.stats) model.stats = t.stats;
    if (t.rules && typeof t.rules === 'object') model.ruleCounts = t.rules;

    const seen = new Set();
    for (const x of t.apps ?? []) {
      if (!x || x.app === undefined) continue;
      const a = appRecord(String(x.app));
      a.sent = Number(x.sent) || 0;
      a.received = Number(x.received) || 0;
      a.totalSent = Number(x.totalSent) || a.totalSent;
      a.totalReceived = Number(x.totalReceived) || a.totalReceived;
      a.open = Number(x.open) || 0;
      if (x.lastRule !== undefined) a.lastRule = x.lastRule;
      if (x.lastRoute !== undefined) a.lastRoute = x.lastRoute;
      pushHistory(a, a.sent + a.received);
      seen.add(a.name);
    }
    // Applications quiet this second still move their chart along.
    if (seen.size < model.apps.size) {
      const openBy = new Map();
      for (const c of model.open) openBy.set(c.app, (openBy.get(c.app) ?? 0) + 1);
      for (const a of model.apps.values()) {
        if (seen.has(a.name)) continue;
        a.sent = 0;
        a.received = 0;
        a.open = openBy.get(a.name) ?? 0;
        pushHistory(a, 0);
      }
    }

    for (const ev of t.events ?? []) addLog(ev);
    trimLog();
    redraw('header', 'connections', 'apps', 'rules', 'log');
  }

  // ---- talking to the daemon ----
  function showBanner(text) {
    const b = $('#error');
    setText(b, text);
    b.hidden = !text;
  }

  function sessionGone() {
    model.sessionGone = true;
    showBanner(TEXT.sessionGone);
    if (events) { events.close(); events = null; }
  }

  // Reads /api/state; the answer is dropped when a newer state came in meanwhile.
  async function refreshState() {
    const seq = model.stateSeq;
    let res;
    try {
      res = await fetch('/api/state', { credentials: 'same-origin', cache: 'no-store' });
    } catch {
      return 0;
    }
    if (res.status === 403) { sessionGone(); return 403; }
    if (!res.ok) return res.status;
    try {
      const doc = await res.json();
      if (model.stateSeq === seq) takeState(doc);
    } catch (err) {
      console.error('state:', err);
    }
    return res.status;
  }

  // Sends one change; answers {ok, data} or {ok: false, error}.
  async function post(path, body) {
    let res;
    try {
      res = await fetch(path, {
        method: 'POST',
        credentials: 'same-origin',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
      });
    } catch {
      return { ok: false, error: TEXT.unreachable };
    }
    let data = null;
    try { data = await res.json(); } catch { /* an empty or broken answer */ }
    if (!res.ok) {
      // A refused write may mean the session ended; reading the state tells.
      if (res.status === 403) refreshState();
      return { ok: false, error: data?.error || TEXT.failed(res.status) };
    }
    refreshState();
    return { ok: true, data: data ?? {} };
  }

  function showResult(node, text, ok) {
    setText(node, text);
    node.classList.toggle('ok', ok === true);
    node.classList.toggle('err', ok === false);
  }

  let events = null;
  let retryDelay = 1000;
  let helloCount = 0;

  function connect() {
    if (model.sessionGone) return;
    const es = new EventSource('/api/events');
    events = es;
    const on = (name, take) => es.addEventListener(name, (e) => {
      let data;
      try { data = JSON.parse(e.data); } catch (err) { console.error(`${name}:`, err); return; }
      take(data);
    });
    es.addEventListener('open', () => {
      retryDelay = 1000;
      if (!model.sessionGone) showBanner('');
    });
    on('hello', (h) => {
      if (!model.sessionGone) showBanner('');
      takeHello(h);
      // After a reconnect the state may have moved on while the stream was down.
      if (++helloCount > 1) refreshState();
    });
    on('tick', takeTick);
    on('state', takeState);
    es.addEventListener('error', () => {
      if (model.sessionGone || events !== es) return;
      showBanner(TEXT.disconnected);
      if (es.readyState !== EventSource.CLOSED) return; // the browser retries by itself
      es.close();
      events = null;
      // The stream was refused: a 403 from the state means the session is over.
      refreshState().then((status) => {
        if (status === 403 || model.sessionGone) return;
        setTimeout(connect, retryDelay);
        retryDelay = Math.min(retryDelay * 2, 15000);
      });
    });
  }

  // ---- the controls ----
  function wire() {
    const sw = $('#switch');
    sw.addEventListener('click', async () => {
      const enable = sw.dataset.enabled !== 'true';
      sw.dataset.busy = '1';
      sw.disabled = true;
      showResult($('#header-result'), '', null);
      const r = await post('/api/enabled', { enabled: enable });
      delete sw.dataset.busy;
      if (!r.ok) showResult($('#header-result'), r.error, false);
      drawHeader();
    });

    const profile = $('#profile');
    profile.addEventListener('change', async () => {
      const name = profile.value;
      profile.dataset.busy = '1';
      showResult($('#header-result'), '', null);
      const r = await post('/api/profile', { name });
      delete profile.dataset.busy;
      if (!r.ok) showResult($('#header-result'), r.error, false);
      drawHeader();
    });

    const head = $('#connections thead');
    head.addEventListener('click', (e) => {
      const th = e.target.closest('th[data-sort]');
      if (th) sortBy(th.dataset.sort);
    });
    head.addEventListener('keydown', (e) => {
      const th = e.target.closest('th[data-sort]');
      if (th && (e.key === 'Enter' || e.key === ' ')) { e.preventDefault(); sortBy(th.dataset.sort); }
    });

    const filter = () => {
      view.filterApp = $('#filter-app').value.trim().toLowerCase();
      view.filterHost = $('#filter-host').value.trim().toLowerCase();
      redraw('connections', 'log');
    };
    $('#filter-app').addEventListener('input', filter);
    $('#filter-host').addEventListener('input', filter);

    const routeForm = $('#route-form');
    routeForm.elements.target.addEventListener('change', showInterfaceField);
    routeForm.addEventListener('submit', async (e) => {
      e.preventDefault();
      const out = $('#route-result');
      const f = routeForm.elements;
      const app = f.app.value.trim();
      let target = f.target.value;
      if (!app) { showResult(out, TEXT.needApp, false); return; }
      if (target === 'interface:') {
        const name = f.interface.value.trim();
        if (!name) { showResult(out, TEXT.needInterface, false); return; }
        target = `interface:${name}`;
      }
      const button = routeForm.querySelector('button[type=submit]');
      button.disabled = true;
      showResult(out, TEXT.working, null);
      const r = await post('/api/route', { app, target });
      button.disabled = false;
      showResult(out, r.ok ? TEXT.done : r.error, r.ok);
    });

    const testForm = $('#test-form');
    testForm.addEventListener('submit', async (e) => {
      e.preventDefault();
      const out = $('#test-result');
      const f = testForm.elements;
      const app = f.app.value.trim();
      const host = f.host.value.trim();
      const port = Number(f.port.value);
      if (!app) { showResult(out, TEXT.needApp, false); return; }
      if (!host) { showResult(out, TEXT.needHost, false); return; }
      if (!Number.isInteger(port) || port < 1 || port > 65535) { showResult(out, TEXT.badPort, false); return; }
      const button = testForm.querySelector('button[type=submit]');
      button.disabled = true;
      showResult(out, TEXT.working, null);
      const r = await post('/api/test', { app, host, port });
      button.disabled = false;
      if (!r.ok) { showResult(out, r.error, false); return; }
      showTestAnswer(out, r.data);
    });
  }

  function showTestAnswer(out, data) {
    out.classList.remove('ok', 'err');
    const line = (label, cls, text) => {
      const p = el('div', 'answer-line');
      p.append(el('span', 'label', label), el('span', cls, text));
      return p;
    };
    const trace = el('ol', 'trace');
    for (const step of Array.isArray(data.trace) ? data.trace : []) trace.append(el('li', '', step));
    out.replaceChildren(
      line('动作', 'action', data.action ?? '—'),
      line('命中规则', 'matched-rule', data.matchedRule ?? '没有规则命中，用默认动作'),
      trace);
    out.querySelector('.matched-rule').classList.toggle('none', !data.matchedRule);
  }

  function start() {
    wire();
    redraw('header', 'targets', 'connections', 'apps', 'rules', 'log');
    refreshState();
    connect();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
