// The console's page. Everything a server reports goes into the page as
// text (textContent), never as markup.
'use strict';

const state = { servers: [], packages: [], jobs: new Map(), sortKey: 'address', sortDown: false };

function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === 'text') node.textContent = value;
    else if (name === 'class') node.className = value;
    else node.setAttribute(name, value);
  }
  for (const child of children) node.append(child);
  return node;
}

function notice(text, isError) {
  const n = document.getElementById('notice');
  n.textContent = text;
  n.className = isError ? 'error' : '';
}

async function api(method, path, body, raw) {
  const options = { method, headers: {} };
  if (raw !== undefined) {
    options.body = raw;
  } else if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch('/api/v1/' + path, options);
  let answer = null;
  try { answer = await response.json(); } catch (e) { answer = null; }
  if (!response.ok) throw new Error((answer && answer.error) || response.statusText);
  return answer;
}

function when(seconds) {
  return seconds ? new Date(seconds * 1000).toLocaleString() : '-';
}

function size(bytes) {
  if (bytes >= 1 << 30) return (bytes / (1 << 30)).toFixed(1) + ' GiB';
  if (bytes >= 1 << 20) return (bytes / (1 << 20)).toFixed(1) + ' MiB';
  if (bytes >= 1 << 10) return (bytes / (1 << 10)).toFixed(1) + ' KiB';
  return bytes + ' B';
}

function user() { return document.getElementById('user').value; }

// Servers -----------------------------------------------------------------

function serverText(s) {
  const devices = s.devices.map(d => [d.materialNumber, d.serialNumber, d.model, d.deviceVersion].join(' '));
  return [s.how, s.address, s.hostName, s.name, s.version, s.group, devices.join(' '),
    s.reachable ? 'reachable' : 'unreachable'].join(' ').toLowerCase();
}

function sortValue(s, key) {
  if (key === 'devices') return s.devices.map(d => d.materialNumber + d.serialNumber).join();
  return s[key];
}

function selectedServers() {
  return [...document.querySelectorAll('#servers tbody input[type=checkbox]:checked')]
    .map(box => box.dataset.id);
}

function renderServers() {
  const chosen = new Set(selectedServers());
  const filter = document.getElementById('filter').value.toLowerCase();
  const rows = state.servers.filter(s => !filter || serverText(s).includes(filter));
  rows.sort((a, b) => {
    const x = sortValue(a, state.sortKey), y = sortValue(b, state.sortKey);
    const order = x < y ? -1 : x > y ? 1 : 0;
    return state.sortDown ? -order : order;
  });
  const body = document.querySelector('#servers tbody');
  body.replaceChildren();
  for (const s of rows) {
    const box = el('input', { type: 'checkbox', 'aria-label': 'select ' + s.id });
    box.dataset.id = s.id;
    box.checked = chosen.has(s.id);
    const devices = el('td', { class: 'devices' });
    for (const d of s.devices) {
      const line = el('div', { class: 'device' });
      line.append(el('span', { class: 'material', text: d.materialNumber }), ' ',
        el('span', { class: 'serial', text: d.serialNumber }), ' ',
        el('span', { class: 'model', text: d.model }), ' ',
        el('span', { class: 'device-version', text: d.deviceVersion }));
      devices.append(line);
    }
    const how = s.how === 'scan' ? 'scan, via ' + s.address : s.how;
    const stateCell = el('td', { class: 'reach', text: s.reachable ? 'reachable' : 'unreachable' });
    if (!s.reachable && s.problem) stateCell.title = s.problem;
    const scan = el('button', { type: 'button', class: 'scan', text: 'Scan from here' });
    scan.addEventListener('click', () => scanFrom(s.id));
    const row = el('tr', { class: 'server' + (s.reachable ? '' : ' unreachable') },
      el('td', {}, box), el('td', { text: how }), el('td', { class: 'address', text: s.id }),
      el('td', { class: 'host', text: s.hostName }), el('td', { class: 'name', text: s.name }),
      el('td', { text: s.version }), el('td', { text: s.group }), devices, stateCell,
      el('td', { text: when(s.lastSeen) }), el('td', {}, scan));
    row.dataset.id = s.id;
    body.append(row);
  }
  const materials = new Set();
  for (const s of state.servers) for (const d of s.devices) materials.add(d.materialNumber);
  const list = document.getElementById('device-list');
  list.replaceChildren(...[...materials].sort().map(m => el('option', { value: m })));
}

let loadingServers = null;
async function loadServers() {
  if (loadingServers) return loadingServers;
  loadingServers = (async () => {
    try {
      const answer = await api('GET', 'servers');
      state.servers = answer.servers;
      document.getElementById('fleet-state').textContent = answer.refreshing
        ? 'searching ...' : 'last search ' + when(answer.refreshedAt);
      renderServers();
    } catch (e) {
      notice('servers: ' + e.message, true);
    } finally {
      loadingServers = null;
    }
  })();
  return loadingServers;
}

async function scanFrom(id) {
  notice('scanning from ' + id + ' ...');
  try {
    const answer = await api('POST', 'servers/' + encodeURIComponent(id) + '/scan');
    notice(id + ' found ' + answer.found + ' servers');
  } catch (e) {
    notice('scan: ' + e.message, true);
  }
}

// Packages ----------------------------------------------------------------

function describe(p) {
  const signed = p.signed ? ', signed' : '';
  if (p.kind === 'container') return 'entry ' + p.entry + signed;
  const d = p.description;
  return d.Name + ', ' + d.PackageTypeName + ' package, data file ' + d.FileName +
    (d.CommandLine ? ', command line ' + d.CommandLine : '') + signed + (p.ready ? '' : ' (data file missing)');
}

function renderPackages() {
  const body = document.querySelector('#package-list tbody');
  body.replaceChildren();
  const select = document.getElementById('install-package');
  const was = select.value;
  select.replaceChildren();
  for (const p of state.packages) {
    const remove = el('button', { type: 'button', text: 'Delete' });
    remove.addEventListener('click', async () => {
      if (!confirm('Delete the package ' + p.fileName + '?')) return;
      try { await api('DELETE', 'packages/' + p.id); } catch (e) { notice(e.message, true); }
      loadPackages();
    });
    const fields = el('details', {}, el('summary', { text: describe(p) }));
    if (p.description) {
      const list = el('dl');
      for (const [key, value] of Object.entries(p.description)) {
        list.append(el('dt', { text: key }), el('dd', { text: String(value) }));
      }
      fields.append(list);
    }
    const row = el('tr', { class: 'package' }, el('td', { text: p.fileName }), el('td', { text: p.kind }),
      el('td', { text: size(p.dataBytes) }), el('td', {}, fields), el('td', {}, remove));
    row.dataset.id = p.id;
    body.append(row);
    if (p.ready) select.append(el('option', { value: p.id, text: p.fileName + ' (' + p.id + ')' }));
  }
  if ([...select.options].some(o => o.value === was)) select.value = was;
}

async function loadPackages() {
  try {
    state.packages = await api('GET', 'packages');
    renderPackages();
  } catch (e) {
    notice('packages: ' + e.message, true);
  }
}

// Streams the file to the console; XMLHttpRequest reports the upload's progress.
function send(method, path, file) {
  const bar = document.getElementById('upload-progress');
  bar.hidden = false;
  bar.value = 0;
  return new Promise((resolve, reject) => {
    const request = new XMLHttpRequest();
    request.open(method, '/api/v1/' + path);
    request.upload.onprogress = e => { if (e.lengthComputable) bar.value = 100 * e.loaded / e.total; };
    request.onload = () => {
      let answer = null;
      try { answer = JSON.parse(request.responseText); } catch (e) { answer = null; }
      if (request.status >= 200 && request.status < 300) resolve(answer);
      else reject(new Error((answer && answer.error) || request.statusText));
    };
    request.onerror = () => reject(new Error('the upload broke off'));
    request.send(file);
  });
}

function kindChanged() {
  const kind = document.getElementById('kind').value;
  document.getElementById('data-label').hidden = kind !== 'description';
  document.getElementById('type-label').hidden = kind !== 'program';
  document.getElementById('cmd-label').hidden = kind !== 'program';
  document.getElementById('entry-label').hidden = kind !== 'container';
  // A program's description is made here: nothing signed beforehand covers it.
  document.getElementById('signature-label').hidden = kind === 'program';
}

async function upload(event) {
  event.preventDefault();
  const kind = document.getElementById('kind').value;
  const file = document.getElementById('file').files[0];
  if (!file) { notice('choose a file first', true); return; }
  const query = new URLSearchParams({ kind, name: file.name });
  if (kind === 'program') {
    query.set('type', document.getElementById('type').value);
    query.set('commandLine', document.getElementById('command-line').value);
  }
  if (kind === 'container') query.set('entry', document.getElementById('entry').value);
  try {
    notice('uploading ' + file.name + ' ...');
    let stored = await send('POST', 'packages?' + query, file);
    const data = document.getElementById('data').files[0];
    if (kind === 'description' && !stored.ready) {
      if (!data) throw new Error('the description names a data file: choose it too');
      stored = await send('PUT', 'packages/' + stored.id + '/data', data);
    }
    // Sent to each server before the package, as "<data file name>.sig".
    const signature = document.getElementById('signature').files[0];
    if (signature && kind !== 'program') stored = await send('PUT', 'packages/' + stored.id + '/signature', signature);
    notice('uploaded ' + stored.fileName + ' (' + stored.id + ')');
    await loadPackages();
    document.getElementById('install-package').value = stored.id;
  } catch (e) {
    notice('upload: ' + e.message, true);
  }
}

// Installations -----------------------------------------------------------

function stateClass(word) { return 'state state-' + word.replace(/ /g, '-'); }

function renderTarget(job, index, row) {
  const t = job.targets[index];
  row.replaceChildren();
  const bar = el('progress', { max: '100' });
  bar.value = t.percent;
  const actions = el('td');
  if (t.state === 'waiting') {
    const cancel = el('button', { type: 'button', class: 'cancel', text: 'Cancel' });
    cancel.addEventListener('click', async () => {
      try { await api('POST', 'jobs/' + job.id + '/targets/' + index + '/cancel'); } catch (e) { notice(e.message, true); }
    });
    actions.append(cancel);
  }
  if (t.state === 'reboot required') {
    const reboot = el('button', { type: 'button', class: 'reboot', text: 'Reboot' });
    reboot.addEventListener('click', async () => {
      if (!confirm('Reboot the instrument computer ' + t.server + ' now?')) return;
      try {
        await api('POST', 'reboot', { server: t.server, device: t.device, user: user() });
        notice('reboot requested: ' + t.server);
      } catch (e) {
        notice('reboot ' + t.server + ': ' + e.message, true);
      }
    });
    actions.append(reboot);
  }
  const text = el('td', { class: 'text' }, el('span', { class: 'server-text', text: t.text }));
  if (t.hint) text.append(el('div', { class: 'hint', text: t.hint }));
  row.append(el('td', { class: 'target-server', text: t.server }), el('td', {}, bar),
    el('td', { class: 'percent', text: t.percent + '%' }),
    el('td', { class: stateClass(t.state), text: t.state === 'running' ? t.step : t.state }),
    text, actions);
}

function renderJob(job) {
  state.jobs.set(job.id, job);
  let box = document.getElementById('job-' + job.id);
  if (!box) {
    box = el('div', { class: 'job', id: 'job-' + job.id });
    document.getElementById('jobs').prepend(box);
  }
  box.replaceChildren(el('h3', { text: job.packageName + ' on device ' + job.device + ', ' +
    job.targets.length + ' targets, started ' + when(job.started) + (job.finished ? ', ended ' + when(job.ended) : '') }));
  const table = el('table', { class: 'targets' });
  job.targets.forEach((t, index) => {
    const row = el('tr', { class: 'target' });
    row.dataset.server = t.server;
    row.dataset.index = index;
    renderTarget(job, index, row);
    table.append(row);
  });
  box.append(table);
}

function updateTarget(change) {
  const job = state.jobs.get(change.job);
  if (!job) return;
  job.targets[change.index] = change.target;
  const row = document.querySelector('#job-' + change.job + ' tr.target[data-index="' + change.index + '"]');
  if (row) renderTarget(job, change.index, row);
}

async function install(event) {
  event.preventDefault();
  const servers = selectedServers();
  const body = {
    package: document.getElementById('install-package').value,
    device: document.getElementById('device').value.trim(),
    servers, parallel: Number(document.getElementById('parallel').value) || 1, user: user(),
  };
  try {
    const job = await api('POST', 'jobs', body);
    renderJob(job);
    notice('installing on ' + servers.length + ' servers');
  } catch (e) {
    notice('install: ' + e.message, true);
  }
}

function selectByDevice() {
  const device = document.getElementById('device').value.trim();
  const having = new Set(state.servers.filter(s => s.devices.some(d => d.materialNumber === device || d.id === device)).map(s => s.id));
  for (const box of document.querySelectorAll('#servers tbody input[type=checkbox]')) box.checked = having.has(box.dataset.id);
  notice(having.size + ' servers have the device ' + device);
}

// History -----------------------------------------------------------------

async function loadHistory() {
  try {
    const runs = await api('GET', 'history');
    const body = document.querySelector('#history-list tbody');
    body.replaceChildren();
    for (const run of runs.slice().reverse()) {
      const results = el('td');
      for (const t of run.targets || []) {
        results.append(el('div', { text: t.server + ': ' + t.state + (t.text ? ' - ' + t.text : '') }));
      }
      const what = run.kind === 'reboot' ? 'reboot' : 'install ' + (run.packageName || run.package) + ' on ' + run.device;
      body.append(el('tr', {}, el('td', { text: when(run.started) }), el('td', { text: when(run.ended) }),
        el('td', { text: (run.user || '-') + ' (' + run.remote + ')' }), el('td', { text: what }), results));
    }
  } catch (e) {
    notice('history: ' + e.message, true);
  }
}

// Live events: the console pushes changes; the page does not poll.
function listen() {
  const events = new EventSource('/api/v1/events');
  events.addEventListener('hello', e => { for (const job of JSON.parse(e.data).jobs) renderJob(job); });
  events.addEventListener('job', e => {
    const job = JSON.parse(e.data);
    renderJob(job);
    if (job.finished) loadHistory();
  });
  events.addEventListener('target', e => updateTarget(JSON.parse(e.data)));
  events.addEventListener('fleet', () => loadServers());
  events.addEventListener('history', () => loadHistory());
}

function start() {
  const name = document.getElementById('user');
  name.value = localStorage.getItem('vorn-user') || '';
  name.addEventListener('change', () => localStorage.setItem('vorn-user', name.value));
  document.getElementById('refresh').addEventListener('click', () => api('POST', 'servers/refresh').catch(e => notice(e.message, true)));
  document.getElementById('add').addEventListener('click', async () => {
    const input = document.getElementById('add-address');
    try { await api('POST', 'servers', { address: input.value.trim() }); input.value = ''; } catch (e) { notice(e.message, true); }
  });
  document.getElementById('filter').addEventListener('input', renderServers);
  document.getElementById('select-all').addEventListener('change', e => {
    for (const box of document.querySelectorAll('#servers tbody input[type=checkbox]')) box.checked = e.target.checked;
  });
  for (const th of document.querySelectorAll('#servers th[data-sort]')) {
    th.addEventListener('click', () => {
      state.sortDown = state.sortKey === th.dataset.sort ? !state.sortDown : false;
      state.sortKey = th.dataset.sort;
      for (const other of document.querySelectorAll('#servers th')) other.classList.remove('sorted', 'down');
      th.classList.add('sorted');
      if (state.sortDown) th.classList.add('down');
      renderServers();
    });
  }
  document.getElementById('kind').addEventListener('change', kindChanged);
  document.getElementById('upload').addEventListener('submit', upload);
  document.getElementById('install-form').addEventListener('submit', install);
  document.getElementById('select-device').addEventListener('click', selectByDevice);
  kindChanged();
  loadServers();
  loadPackages();
  loadHistory();
  listen();
}

document.addEventListener('DOMContentLoaded', start);
