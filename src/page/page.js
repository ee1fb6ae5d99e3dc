// irigctl monitor's page, once it is loaded: the table sorted by a column and filtered by text,
// refreshed every 5 s from /units, and a unit measured on asking. The page works without it.
'use strict';
(function () {
  const SVG = 'http://www.w3.org/2000/svg';
  const small = { width: 120, height: 24, margin: 2, bars: false };
  const large = { width: 720, height: 240, margin: 6, bars: true };
  const spanMs = 2 * 3600 * 1000;
  const bandMs = 2;

  function signed(ms) { return (ms > 0 ? '+' : '') + ms + ' ms'; }
  const words = {
    name: (u) => u.name,
    labels: (u) => Object.keys(u.labels).sort().map((k) => k + '=' + u.labels[k]).join(', '),
    state: (u) => u.state,
    source: (u) => u.source === null ? 'not known' : u.source,
    version: (u) => u.version === null ? 'not known' : u.version,
    offset: (u) => u.offsetMs === null ? 'not measured' : u.uncertaintyMs === null
      ? signed(u.offsetMs) : signed(u.offsetMs) + ' \u00b1 ' + u.uncertaintyMs + ' ms',
    diagnosis: (u) => u.diagnosis === null ? 'not diagnosed' : (u.diagnosis.text || u.diagnosis.kind),
    drift: (u) => u.driftText || (u.driftPpm === null ? 'not known yet' : u.driftPpm.toFixed(3) + ' ppm'),
    lease: (u) => u.lease ? 'lent to ' + u.lease.by + ' until ' + u.lease.until
      : (u.state === 'lent' ? 'lent' : 'not lent'),
    measured: (u) => u.measured === null ? 'never' : u.measured,
  };

  function make(tag, attributes, text) {
    const element = tag === 'svg' || ['rect', 'line', 'circle'].includes(tag)
      ? document.createElementNS(SVG, tag) : document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      element.setAttribute(name, value);
    }
    if (text !== undefined) element.textContent = text;
    return element;
  }

  // As the server places them: the offsets scaled to the largest, at least twice the band.
  function plot(u, now, frame) {
    const largest = Math.max(2 * bandMs, ...u.history.map((p) => Math.abs(p.offsetMs)));
    const half = Math.max(frame.height / 2 - frame.margin, 1);
    const zero = frame.height / 2;
    const y = (ms) => Math.min(Math.max(zero - ms / largest * half, frame.margin), frame.height - frame.margin);
    const across = Math.max(frame.width - 2 * frame.margin, 1);
    const x = (t) => frame.margin + Math.min(Math.max((t - (now - spanMs)) / spanMs, 0), 1) * across;
    const label = u.history.length === 0 ? u.name + ': no measurement in the last 2 h'
      : u.name + ': ' + u.history.length + (u.history.length === 1 ? ' measurement' : ' measurements')
        + ' in the last 2 h, from '
        + signed(Math.min(...u.history.map((p) => p.offsetMs))) + ' to '
        + signed(Math.max(...u.history.map((p) => p.offsetMs)));
    const svg = make('svg', { class: 'offset-history', role: 'img', 'aria-label': label,
      viewBox: '0 0 ' + frame.width + ' ' + frame.height, width: frame.width, height: frame.height });
    svg.append(make('rect', { class: 'band', x: 0, y: y(bandMs), width: frame.width,
      height: Math.max(y(-bandMs) - y(bandMs), 1) }));
    svg.append(make('line', { class: 'zero', x1: 0, x2: frame.width, y1: zero, y2: zero }));
    for (const p of u.history) {
      if (frame.bars) {
        svg.append(make('line', { class: 'bar', x1: x(p.t), x2: x(p.t),
          y1: y(p.offsetMs + Math.abs(p.uncertaintyMs)), y2: y(p.offsetMs - Math.abs(p.uncertaintyMs)) }));
      }
      svg.append(make('circle', { cx: x(p.t), cy: y(p.offsetMs), r: frame.bars ? 3 : 1.5 }));
    }
    return svg;
  }

  function row(u, now) {
    const tr = make('tr', { 'data-unit': u.name, 'data-state': u.state });
    const name = make('td', { 'data-field': 'name' });
    name.append(make('a', { href: '/units/' + encodeURIComponent(u.name) }, u.name));
    tr.append(name);
    for (const field of ['labels', 'state', 'source', 'version', 'offset', 'diagnosis', 'drift',
      'lease', 'measured']) {
      const td = make('td', { 'data-field': field });
      if (field === 'state') {
        td.append(make('span', { class: 'state state-' + u.state }, u.state));
      } else {
        td.textContent = words[field](u);
      }
      if (field === 'offset') td.dataset.value = u.offsetMs === null ? -1 : Math.abs(u.offsetMs);
      if (field === 'diagnosis') td.dataset.kind = u.diagnosis ? u.diagnosis.kind : '';
      tr.append(td);
    }
    const history = make('td', { 'data-field': 'history' });
    history.append(plot(u, now, small));
    tr.append(history);
    return tr;
  }

  function announce(text) {
    const status = document.getElementById('announce');
    if (status) status.textContent = text;
  }

  async function units() {
    const reply = await fetch('/units', { credentials: 'same-origin', cache: 'no-store' });
    if (!reply.ok) throw new Error('/units: ' + reply.status);
    return reply.json();
  }

  function table() {
    const shown = document.getElementById('units');
    const filter = document.getElementById('filter');
    let sortedBy = null;
    let ascending = true;
    function value(tr, field) {
      const td = tr.querySelector('td[data-field="' + field + '"]');
      if (!td) return '';
      return td.dataset.value !== undefined ? Number(td.dataset.value) : td.textContent.toLowerCase();
    }
    function arrange() {
      const body = shown.tBodies[0];
      const rows = Array.from(body.rows);
      if (sortedBy) {
        rows.sort((a, b) => {
          const [p, q] = [value(a, sortedBy), value(b, sortedBy)];
          return (p < q ? -1 : p > q ? 1 : 0) * (ascending ? 1 : -1);
        });
        body.append(...rows);
      }
      const text = filter.value.trim().toLowerCase();
      for (const tr of rows) tr.hidden = text !== '' && !tr.textContent.toLowerCase().includes(text);
    }
    for (const button of shown.querySelectorAll('th button[data-sort]')) {
      button.addEventListener('click', () => {
        ascending = sortedBy === button.dataset.sort ? !ascending : true;
        sortedBy = button.dataset.sort;
        for (const th of shown.querySelectorAll('th')) th.removeAttribute('aria-sort');
        button.parentElement.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
        arrange();
      });
    }
    filter.addEventListener('input', arrange);
    // What a row shows but its picture's slow slide to the left: a row whose unit has not changed
    // is kept, so that a refresh of a thousand units redraws only those measured since.
    const drawn = new Map();
    const signature = (u) => JSON.stringify([u.labels, u.state, u.lease, u.source, u.version, u.offsetMs,
      u.uncertaintyMs, u.diagnosis, u.driftPpm, u.driftText, u.measured, u.history.length,
      u.history.length > 0 ? u.history[0].t : null]);
    async function refresh() {
      try {
        const got = await units();
        const rows = new Map(Array.from(shown.tBodies[0].rows).map((tr) => [tr.dataset.unit, tr]));
        const changed = got.units.filter((u) => rows.has(u.name) && rows.get(u.name).dataset.state !== u.state)
          .map((u) => u.name + ' is now ' + u.state);
        shown.tBodies[0].replaceChildren(...got.units.map((u) => {
          const now = signature(u);
          if (rows.has(u.name) && drawn.get(u.name) === now) return rows.get(u.name);
          drawn.set(u.name, now);
          return row(u, got.now);
        }));
        const names = new Set(got.units.map((u) => u.name));
        for (const name of drawn.keys()) {
          if (!names.has(name)) drawn.delete(name);
        }
        for (const [field, count] of Object.entries(got.summary)) {
          const shown = document.querySelector('[data-count="' + field + '"] b');
          if (shown) shown.textContent = count;
        }
        arrange();
        if (changed.length > 0) announce(changed.join('; '));
      } catch (error) {
        announce('The table could not be refreshed: ' + error.message);
      }
    }
    setInterval(refresh, 5000);
  }

  function measureButton(button) {
    const port = button.dataset.port;
    const shown = (field) => document.querySelector('table.facts td[data-field="' + field + '"]');
    button.addEventListener('click', async () => {
      button.disabled = true;
      const before = shown('measured').textContent;
      announce('Measuring ' + port + '\u2026');
      try {
        const asked = await fetch('/check-time?port=' + encodeURIComponent(port),
          { method: 'POST', credentials: 'same-origin' });
        if (!asked.ok) throw new Error((await asked.text()).trim());
        for (let tries = 0; tries < 30; ++tries) {
          await new Promise((resolve) => setTimeout(resolve, 1000));
          const got = await units();
          const u = got.units.find((one) => one.port === port);
          if (u && words.measured(u) !== before) {
            for (const field of Object.keys(words)) {
              if (shown(field)) shown(field).textContent = words[field](u);
            }
            const old = document.querySelector('figure svg.offset-history');
            if (old) old.replaceWith(plot(u, got.now, large));
            announce('Measured ' + port + ': ' + words.offset(u) + '; ' + words.diagnosis(u));
            return;
          }
        }
        announce('No new measurement of ' + port + ' came within 30 s');
      } catch (error) {
        announce('Measuring ' + port + ' failed: ' + error.message);
      } finally {
        button.disabled = false;
      }
    });
  }

  if (document.getElementById('units')) table();
  const button = document.querySelector('button[data-action="check-time"]');
  if (button) measureButton(button);
})();
