// The board's page: status and events, commands, live view (fragmented MP4
// over a WebSocket into Media Source Extensions), gallery, GPS track and
// settings. Plain JavaScript, no framework.
'use strict';

const $ = (id) => document.getElementById(id);
const wsBase = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;
let status = null;
let galleryType = 'video';

function say(text) { $('message').textContent = text; }

async function call(method, url, body) {
  const res = await fetch(url, { method, body, headers: body ? { 'content-type': 'text/plain' } : {} });
  let json = {};
  try { json = await res.json(); } catch (e) { /* empty answer */ }
  if (!res.ok) throw new Error(json.error || res.statusText);
  return json;
}

function command(method, url, body, done) {
  say('');
  call(method, url, body).then(() => { if (done) done(); }).catch((e) => say(e.message));
}

// ---- status ----

function fmtTime(s) {
  const m = Math.floor(s / 60);
  const r = s % 60;
  return m + ':' + (r < 10 ? '0' : '') + r;
}

let recBase = 0;     // recordSeconds at the last status
let recBaseAt = 0;   // when it came

function showStatus(st) {
  status = st;
  $('st-mode').textContent = st.mode === 'record' ? 'video mode' : 'photo mode';
  $('mode-photo').checked = st.mode === 'photo';
  $('mode-record').checked = st.mode === 'record';
  $('st-rec').hidden = !st.recording;
  $('btn-record').textContent = st.recording ? 'Stop' : 'Record';
  $('btn-record').classList.toggle('on', st.recording);
  recBase = st.recordSeconds;
  recBaseAt = Date.now();
  $('st-timer').textContent = fmtTime(recBase);
  const c = st.card;
  if (c.state === 'ok' && c.totalMiB > 0) {
    $('card-text').textContent = 'card ' + (c.freeMiB / 1024).toFixed(1) + ' of ' + (c.totalMiB / 1024).toFixed(1) + ' GiB free';
    $('card-gauge').value = (c.totalMiB - c.freeMiB) / c.totalMiB;
  } else {
    $('card-text').textContent = 'card: ' + c.state;
    $('card-gauge').value = 0;
  }
  $('st-gps').textContent = st.gps.lat || st.gps.lon ? 'GPS ' + st.gps.lat.toFixed(5) + ', ' + st.gps.lon.toFixed(5) : 'GPS none';
  $('st-wifi').textContent = 'Wi-Fi ch ' + (st.wifiChannel || '?');
}

setInterval(() => {
  if (status && status.recording) $('st-timer').textContent = fmtTime(recBase + Math.floor((Date.now() - recBaseAt) / 1000));
}, 250);

function connectEvents() {
  const ws = new WebSocket(wsBase + '/api/events');
  ws.onopen = () => { $('st-link').textContent = 'connected'; };
  ws.onmessage = (e) => {
    const m = JSON.parse(e.data);
    if (m.type === 'status') showStatus(m);
    else if (m.type === 'event' && (m.name === 'VPS_EVT_REC_STOP' || m.name === 'VPS_EVT_SNAP_STOP')) {
      setTimeout(loadGallery, 500);
    }
  };
  ws.onclose = () => { $('st-link').textContent = 'reconnecting'; setTimeout(connectEvents, 1000); };
}

$('btn-record').onclick = () => command('POST', '/api/record', status && status.recording ? 'stop' : 'start');
$('btn-photo').onclick = () => command('POST', '/api/photo', undefined, () => setTimeout(loadGallery, 1000));
for (const r of document.querySelectorAll('input[name=mode]')) {
  r.onchange = () => command('POST', '/api/mode', r.value);
}

// ---- live view ----

const live = $('live');
let liveT0 = 0;

function startLive() {
  const ws = new WebSocket(wsBase + '/live');
  ws.binaryType = 'arraybuffer';
  let source = null;
  let buffer = null;
  let codec = '';
  const queue = [];
  const pump = () => {
    if (!buffer || buffer.updating || queue.length === 0) return;
    try { buffer.appendBuffer(queue.shift()); } catch (e) { ws.close(); }
  };
  const open = () => {
    const mine = new MediaSource();
    source = mine;
    live.src = URL.createObjectURL(mine);
    mine.addEventListener('sourceopen', () => {
      if (mine !== source) return;  // replaced by a newer stream meanwhile
      const sb = mine.addSourceBuffer('video/mp4; codecs="' + codec + '"');
      sb.mode = 'segments';
      buffer = sb;
      sb.addEventListener('updateend', () => {
        const b = sb.buffered;
        if (b.length > 0) {
          const end = b.end(b.length - 1);
          // Keep up with the camera: jump to the newest picture when behind.
          if (live.currentTime < b.start(0) || end - live.currentTime > 0.5) live.currentTime = Math.max(b.start(0), end - 0.05);
          if (end - b.start(0) > 20 && !sb.updating) { sb.remove(0, end - 10); return; }
        }
        pump();
      });
      pump();
    });
  };
  ws.onmessage = (e) => {
    if (typeof e.data === 'string') {
      const m = JSON.parse(e.data);
      if (m.type !== 'init') return;
      // A new stream (the first, or after the camera changed its picture)
      // starts its times at 0 again: it gets a media source of its own.
      liveT0 = m.t0;
      codec = m.codec;
      queue.length = 0;
      buffer = null;
      if (live.src) URL.revokeObjectURL(live.src);
      open();
      return;
    }
    queue.push(e.data);
    // A browser that cannot keep up starts again at the board's newest key
    // frame (fragments cannot be dropped in between).
    if (queue.length > 120) { ws.close(); return; }
    pump();
  };
  ws.onclose = () => { ws.onmessage = null; setTimeout(startLive, 1000); };
  live.play().catch(() => {});
}

setInterval(() => {
  if (liveT0 && live.readyState >= 2) {
    $('live-delay').textContent = Math.max(0, Math.round(Date.now() - (liveT0 + live.currentTime * 1000))) + ' ms';
  }
}, 500);

// ---- gallery ----

function mediaItem(f) {
  const li = document.createElement('li');
  li.dataset.name = f.name;
  const img = document.createElement('img');
  img.loading = 'lazy';
  img.alt = f.name;
  img.src = '/media/' + encodeURIComponent(f.name) + '/thumb';
  const title = document.createElement('div');
  const size = (f.size / 1048576).toFixed(1) + ' MB';
  title.textContent = f.name + ' · ' + size + (f.duration >= 0 ? ' · ' + fmtTime(f.duration) : '') +
    (f.width ? ' · ' + f.width + 'x' + f.height : '');
  const actions = document.createElement('div');
  actions.className = 'actions';
  const play = document.createElement('button');
  play.type = 'button';
  play.className = 'play';
  play.textContent = galleryType === 'video' ? 'Play' : 'View';
  play.onclick = () => openPlayer(f.name);
  const dl = document.createElement('a');
  dl.className = 'download';
  dl.href = '/media/' + encodeURIComponent(f.name);
  dl.download = f.name;
  dl.textContent = 'Download';
  const del = document.createElement('button');
  del.type = 'button';
  del.className = 'delete';
  del.textContent = 'Delete';
  del.onclick = () => {
    if (!confirm('Delete ' + f.name + ' from the card?')) return;
    command('DELETE', '/media/' + encodeURIComponent(f.name), undefined, loadGallery);
  };
  actions.append(play, dl, del);
  li.append(img, title, actions);
  return li;
}

async function loadGallery() {
  try {
    const list = await call('GET', '/api/media?type=' + galleryType);
    $('media').replaceChildren(...list.files.map(mediaItem));
  } catch (e) {
    $('media').replaceChildren();
    say('gallery: ' + e.message);
  }
}

function openPlayer(name) {
  const url = '/media/' + encodeURIComponent(name);
  const video = $('player-video');
  const image = $('player-image');
  $('player').hidden = false;
  if (galleryType === 'video') {
    image.hidden = true;
    video.hidden = false;
    video.src = url;
    video.play().catch(() => {});
  } else {
    video.hidden = true;
    image.hidden = false;
    image.src = url;
  }
}

$('player-close').onclick = () => {
  $('player-video').pause();
  $('player-video').removeAttribute('src');
  $('player').hidden = true;
};

for (const type of ['video', 'photo']) {
  $('tab-' + type).onclick = () => {
    galleryType = type;
    $('tab-video').classList.toggle('active', type === 'video');
    $('tab-photo').classList.toggle('active', type === 'photo');
    loadGallery();
  };
}

// ---- GPS track ----

async function loadTrack() {
  try {
    const t = await call('GET', '/api/track');
    const pts = t.points;
    if (pts.length === 0) return;
    let [minLat, maxLat, minLon, maxLon] = [Infinity, -Infinity, Infinity, -Infinity];
    for (const [lat, lon] of pts) {
      minLat = Math.min(minLat, lat); maxLat = Math.max(maxLat, lat);
      minLon = Math.min(minLon, lon); maxLon = Math.max(maxLon, lon);
    }
    const span = Math.max(maxLat - minLat, (maxLon - minLon) * Math.cos(minLat * Math.PI / 180), 1e-6);
    const xy = ([lat, lon]) => [
      5 + 90 * ((lon - minLon) * Math.cos(minLat * Math.PI / 180)) / span,
      95 - 90 * (lat - minLat) / span,
    ];
    $('track-line').setAttribute('points', pts.map((p) => xy(p).map((v) => v.toFixed(2)).join(',')).join(' '));
    const [x, y] = xy(pts[pts.length - 1]);
    $('track-here').setAttribute('cx', x.toFixed(2));
    $('track-here').setAttribute('cy', y.toFixed(2));
    $('track-text').textContent = pts.length + ' points since power-on';
  } catch (e) { /* shown on the next try */ }
}

// ---- settings ----

async function loadSettings() {
  try {
    const s = await call('GET', '/api/settings');
    const rows = s.items.map((it) => {
      const tr = document.createElement('tr');
      const name = document.createElement('td');
      name.textContent = it.name;
      const value = document.createElement('td');
      const help = document.createElement('td');
      help.className = 'help';
      help.textContent = it.values;
      const set = document.createElement('button');
      set.type = 'button';
      set.textContent = 'Set';
      let input = null;
      if (it.min !== null) {
        input = document.createElement('input');
        input.type = 'number';
        input.min = it.min;
        input.max = it.max;
        input.value = it.value !== null ? it.value : it.min;
        value.append(input);
      }
      set.onclick = () => {
        if (input === null && !confirm('Run ' + it.name + '?')) return;
        let body = 'name=' + encodeURIComponent(it.name);
        if (input !== null) body += '&value=' + encodeURIComponent(input.value);
        command('PUT', '/api/settings', body, () => say(it.name + ' sent'));
      };
      value.append(set);
      tr.append(name, value, help);
      return tr;
    });
    $('settings').replaceChildren(...rows);
  } catch (e) {
    say('settings: ' + e.message);
  }
}

connectEvents();
startLive();
loadGallery();
loadSettings();
loadTrack();
setInterval(loadTrack, 5000);
