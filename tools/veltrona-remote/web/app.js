'use strict';
// The phone page: shows what the arranger reports over /live and sends the
// musician's taps as console lines. Text only ever goes in as textContent.
(() => {
  const $ = (id) => document.getElementById(id);
  const STYLE_EXT = /\.(sty|prs|sst|bcs|fps)$/i;
  const SONG_EXT = /\.(mid|midi|kar)$/i;
  let ws = null;
  let status = {};
  let view = 'play';
  let lyricsSong = null;
  let registrationsShown = '';
  // When each status was on screen, for measuring the way from arranger to page.
  window.vtnStamps = [];

  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }

  async function api(path, options) {
    const r = await fetch(path, Object.assign({ credentials: 'same-origin' }, options));
    if (r.status === 401) { showLogin(); throw new Error('log in first'); }
    return r;
  }

  function showReply(lines) {
    $('reply').textContent = lines.filter((l) => l && l !== 'Ready').join(' · ');
  }

  function send(line) {
    if (ws && ws.readyState === WebSocket.OPEN) { ws.send(line); return; }
    api('/api/command', { method: 'POST', body: line })
      .then(async (r) => r.ok ? showReply((await r.json()).reply) : showReply([await r.text()]))
      .catch(() => {});
  }

  // ---- login
  function showLogin() {
    if (ws) { ws.onclose = null; ws.close(); ws = null; }
    $('app').hidden = true;
    $('login').hidden = false;
    $('pin').focus();
  }

  $('login-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const r = await fetch('/login', { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
                                      body: 'pin=' + encodeURIComponent($('pin').value) });
    $('pin').value = '';
    if (r.ok) { $('login-message').textContent = ''; showApp(); } else { $('login-message').textContent = (await r.text()).trim(); }
  });

  function showApp() {
    $('login').hidden = true;
    $('app').hidden = false;
    connect();
  }

  // ---- the live status
  function setLink(up, text) {
    $('link').textContent = text || (up ? 'arranger connected' : 'arranger not connected');
    $('link').className = 'link ' + (up ? 'on' : 'off');
  }

  function connect() {
    ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/live');
    ws.onmessage = (ev) => {
      const m = JSON.parse(ev.data);
      if ('arranger' in m) setLink(m.arranger);
      if (m.status) { render(m.status); window.vtnStamps.push([performance.timeOrigin + performance.now(), m.status.tempo]); }
      if (window.vtnStamps.length > 5000) window.vtnStamps.splice(0, 1000);
      if (m.event) onEvent(m.event);
      if (m.reply) showReply(m.reply);
      if (m.error) showReply([m.error]);
    };
    ws.onclose = () => {
      ws = null;
      setLink(false, 'page not connected');
      setTimeout(() => api('/api/session').then(() => connect()).catch(() => {}), 1000);
    };
  }

  function onEvent(e) {
    if (e.open === 'loader') showView('load');
    if (e.lyricsScroll) {
      const item = $('lyrics').querySelector('li');
      $('lyrics').scrollBy({ top: e.lyricsScroll * (item ? item.offsetHeight * 3 : 100) });
    }
  }

  function toggle(id, on) {
    $(id).classList.toggle('on', !!on);
    $(id).classList.toggle('muted', !on);
  }

  function render(s) {
    status = s;
    $('chord').textContent = s.chord || '–';
    $('style').textContent = s.style || 'no style';
    $('part').textContent = s.part || '';
    $('playing').textContent = s.playing ? 'playing' : 'stopped';
    $('playing').className = s.playing ? 'play' : '';
    $('startstop').textContent = s.playing ? 'Stop' : 'Start';
    $('tempo').textContent = s.tempo;
    $('transp').textContent = (s.transposition > 0 ? '+' : '') + s.transposition;
    $('preset').textContent = s.preset && s.preset.name ? s.preset.name : 'no preset';
    $('rec').hidden = !s.recording;
    $('record').textContent = s.recording ? 'Stop recording' : 'Record';
    $('record').classList.toggle('on', !!s.recording);
    $('songline').hidden = !s.song;
    $('song').textContent = s.song || '';
    $('bar').textContent = s.bar > 0 ? s.bar + '.' + s.beat : '–';
    toggle('drums', s.drums);
    toggle('bass', s.bass);
    toggle('other', s.other);
    document.querySelectorAll('.part').forEach((b) => b.classList.toggle('on', b.dataset.cmd === s.part));
    const buttons = $('presets').children;
    (s.presetButtons || []).forEach((p, i) => {
      if (buttons[i]) {
        buttons[i].textContent = (i + 1) + ' ' + (p.name || '');
        buttons[i].classList.toggle('on', !!s.preset && p.number === s.preset.number && !!p.name);
      }
    });
    renderRegistrations(s.registrations || []);
    document.body.classList.toggle('lyrics-max', !!s.lyricsMaximized);
    document.body.classList.toggle('lyrics-big', !!s.lyricsBigFont);
    if (s.lyricsMaximized && view !== 'lyrics') showView('lyrics');
    if ((s.song || '') !== lyricsSong && view === 'lyrics') loadLyrics();
    markLyric();
  }

  function renderRegistrations(list) {
    const key = JSON.stringify(list);
    if (key === registrationsShown) return;
    registrationsShown = key;
    const box = $('registrations');
    box.replaceChildren();
    for (const r of list) {
      const b = el('button', r.number + ' ' + (r.label || r.file || ''), 'cmd');
      b.dataset.cmd = 'registration ' + r.number;
      box.append(b);
    }
  }

  // ---- views
  function showView(name) {
    view = name;
    for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== 'view-' + name;
    for (const t of $('tabs').children) t.classList.toggle('on', t.dataset.view === name);
    if (name === 'load') loadLists();
    if (name === 'lyrics') loadLyrics();
    if (name === 'recordings') loadRecordings();
  }

  function listItem(label, meta, line) {
    const li = el('li');
    const b = el('button');
    b.append(el('div', label), el('div', meta, 'meta'));
    b.dataset.cmd = line;
    li.append(b);
    return li;
  }

  async function getJson(path) {
    const r = await api(path);
    if (!r.ok) throw new Error((await r.text()).trim());
    return r.json();
  }

  async function loadLists() {
    try {
      const [styles, songs] = await Promise.all([getJson('/api/styles'), getJson('/api/songs')]);
      $('styles').replaceChildren(...styles.styles.map((s) => listItem(s.name, s.tempo + ' BPM · ' + s.timeSignature, s.name)));
      $('songs').replaceChildren(...songs.songs.map((s) => listItem(s.name, Math.ceil(s.bytes / 1024) + ' KiB', 'play: ' + s.name)));
    } catch (e) { showReply([e.message]); }
  }

  async function loadLyrics() {
    lyricsSong = status.song || '';
    try {
      const l = await getJson('/api/lyrics');
      $('lyrics-song').textContent = l.song || 'No song with lyrics plays';
      $('lyrics').replaceChildren(...l.lines.map((t) => el('li', t)));
      markLyric();
    } catch (e) { showReply([e.message]); }
  }

  function markLyric() {
    const items = $('lyrics').children;
    for (let i = 0; i < items.length; i++) {
      const now = i === status.lyricLine;
      if (now !== items[i].classList.contains('now')) {
        items[i].classList.toggle('now', now);
        if (now) items[i].scrollIntoView({ block: 'center' });
      }
    }
  }

  async function loadRecordings() {
    try {
      const list = (await getJson('/api/recordings')).recordings;
      $('recordings').replaceChildren(...list.map((r) => {
        const li = el('li');
        const info = el('div');
        const t = Math.round(r.seconds);
        info.append(el('div', r.date), el('div', Math.floor(t / 60) + ':' + String(t % 60).padStart(2, '0') + ' · ' + r.name, 'meta'));
        info.style.flex = '1';
        const play = el('button', 'Play', 'play');
        play.dataset.cmd = 'play: ' + r.name;
        const down = el('a', 'Save');
        down.href = '/api/download?name=' + encodeURIComponent(r.name);
        down.download = r.name;
        li.append(info, play, down);
        return li;
      }));
      if (!list.length) $('recordings').append(el('li', 'No recordings yet'));
    } catch (e) { showReply([e.message]); }
  }

  $('upload-send').addEventListener('click', async () => {
    const file = $('upload-file').files[0];
    const msg = $('upload-message');
    if (!file) { msg.textContent = 'Choose a file first'; msg.className = 'bad'; return; }
    const kind = STYLE_EXT.test(file.name) ? 'style' : SONG_EXT.test(file.name) ? 'song' : null;
    if (!kind) { msg.textContent = 'Only styles (.sty .prs .sst .bcs .fps) and songs (.mid .midi .kar)'; msg.className = 'bad'; return; }
    msg.textContent = 'Sending…';
    msg.className = '';
    try {
      const r = await api('/api/upload?kind=' + kind + '&name=' + encodeURIComponent(file.name), { method: 'POST', body: file });
      const type = r.headers.get('Content-Type') || '';
      const answer = type.startsWith('application/json') ? await r.json() : { ok: false, message: (await r.text()).trim() };
      msg.textContent = answer.message || (answer.ok ? 'Kept' : 'Refused');
      msg.className = answer.ok ? 'good' : 'bad';
    } catch (e) { msg.textContent = e.message; msg.className = 'bad'; }
  });

  // Every button with a console line sends it, wherever it is.
  document.addEventListener('click', (ev) => {
    const b = ev.target.closest('button');
    if (!b) return;
    if (b.dataset.cmd) send(b.dataset.cmd);
    if (b.dataset.view) showView(b.dataset.view);
  });

  api('/api/session').then((r) => r.ok ? showApp() : showLogin()).catch(() => {});
})();
