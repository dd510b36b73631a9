// The station page: draws the server's state (one JSON object, sent whole on
// every change over /events) and sends the operator's actions back.
// Everything from the server is text from devices and files: it reaches the
// DOM through textContent and attributes only. Tiles are built once per slot
// and then only their changed texts and classes are touched.
'use strict';

(function () {
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const $ = (id) => document.getElementById(id);

  const WORDS = {
    starting: 'STARTING', waiting: 'WAITING', handshake: 'HANDSHAKE', identity: 'IDENTITY',
    erase: 'ERASE', upload: 'UPLOAD', start: 'START', leaving: 'LEAVING',
    passed: 'PASSED', failed: 'FAILED', current: 'ALREADY CURRENT', stopped: 'STOPPED',
  };
  const CAPTIONS = {
    starting: 'getting the slot ready', waiting: 'put a scanner in',
    handshake: 'waking the boot loader', identity: 'asking who it is', erase: 'erasing the flash',
    upload: 'sending the image', start: 'starting the new firmware', leaving: 'take the scanner out',
  };
  const KINDS = {
    starting: 'idle', waiting: 'idle', handshake: 'work', identity: 'work', erase: 'work',
    upload: 'work', start: 'work', leaving: 'work', passed: 'passed', failed: 'failed',
    current: 'current', stopped: 'stopped',
  };

  // ---------- small helpers ----------

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function str(v) {
    return v === null || v === undefined ? '' : String(v);
  }

  function num(v, fallback) {
    return typeof v === 'number' && isFinite(v) ? v : fallback;
  }

  // Setters that touch the DOM only when the value changed.
  function setText(node, text) {
    text = str(text);
    if (node.textContent !== text) node.textContent = text;
  }
  function setShown(node, shown) {
    if (node.hidden === shown) node.hidden = !shown;
  }
  function setAttr(node, name, value) {
    value = str(value);
    if (node.getAttribute(name) !== value) node.setAttribute(name, value);
  }
  function setFlag(node, name, on) {
    if (node.classList.contains(name) !== on) node.classList.toggle(name, on);
  }
  function setDisabled(node, disabled) {
    if (node.disabled !== disabled) node.disabled = disabled;
  }

  function two(n) {
    return String(n).padStart(2, '0');
  }
  function clockOf(date) {
    return two(date.getHours()) + ':' + two(date.getMinutes()) + ':' + two(date.getSeconds());
  }
  function timeOf(iso) {
    const d = new Date(str(iso));
    return isNaN(d.getTime()) ? '' : clockOf(d);
  }
  function hoursMinutes(date) {
    return two(date.getHours()) + ':' + two(date.getMinutes());
  }
  function duration(seconds) {
    seconds = Math.max(0, seconds);
    if (seconds < 60) return seconds.toFixed(seconds < 10 ? 1 : 0) + ' s';
    const s = Math.round(seconds);
    const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
    return h > 0 ? h + ':' + two(m) + ':' + two(r) : m + ':' + two(r) + ' min';
  }
  function clockSpan(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    return Math.floor(s / 3600) + ':' + two(Math.floor((s % 3600) / 60)) + ':' + two(s % 60);
  }
  function shortSpan(seconds) {
    const s = Math.max(0, Math.round(seconds));
    return s < 60 ? s + ' s' : Math.floor(s / 60) + ':' + two(s % 60);
  }
  function kilobytes(bytes) {
    return (bytes / 1024).toFixed(bytes < 10240 ? 1 : 0) + ' KB';
  }

  function svg(tag, attrs) {
    const e = document.createElementNS(SVG_NS, tag);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    return e;
  }

  // Simple stroked shapes: they need no font.
  const ICON_PATHS = {
    passed: ['M4 12.5l5 5L20 6.5'],
    failed: ['M5.5 5.5l13 13', 'M18.5 5.5l-13 13'],
    current: ['M5 9h14', 'M5 15h14'],
    work: ['M19 12a7 7 0 1 1-2.05-4.95', 'M19.5 4.5v4h-4'],
    idle: ['M7 3.5h10', 'M7 20.5h10', 'M8 3.5c0 5 8 5.5 8 8.5s-8 3.5-8 8.5', 'M16 3.5c0 5-8 5.5-8 8.5s8 3.5 8 8.5'],
    stopped: ['M6.5 6.5h11v11h-11z'],
  };
  function makeIcon(kind) {
    const s = svg('svg', { viewBox: '0 0 24 24', 'aria-hidden': 'true', focusable: 'false' });
    for (const d of ICON_PATHS[kind] || ICON_PATHS.idle) {
      s.appendChild(svg('path', {
        d, fill: kind === 'stopped' ? 'currentColor' : 'none', stroke: 'currentColor',
        'stroke-width': kind === 'idle' ? '2.4' : '3.4', 'stroke-linecap': 'round', 'stroke-linejoin': 'round',
      }));
    }
    return s;
  }

  // The width of `text` in ems of `node`'s font: a big word is sized so that
  // its longest word fills the tile's width and no more, whatever font the
  // machine has.
  let measure = null;
  const widths = new Map();
  const fonts = new Map(); // class name -> [font, stretch], read once
  function emWidth(text, node) {
    let f = fonts.get(node.className);
    if (!f) {
      const cs = getComputedStyle(node);
      f = [cs.fontWeight + ' 100px ' + cs.fontFamily, cs.fontStretch === '75%' ? 'condensed' : 'normal'];
      fonts.set(node.className, f);
    }
    const key = f[0] + '|' + f[1] + '|' + text;
    let w = widths.get(key);
    if (w === undefined) {
      if (!measure) measure = document.createElement('canvas').getContext('2d');
      measure.font = f[0];
      if ('fontStretch' in measure) measure.fontStretch = f[1];
      w = 0;
      for (const word of text.split(/\s+/)) w = Math.max(w, measure.measureText(word).width / 100);
      widths.set(key, w);
    }
    return w;
  }
  // A font size in cqw (hundredths of the tile's inner width) that fits `text`
  // with `besides` ems of other things on its line.
  function fitFor(text, node, besides) {
    return (96 / (Math.max(0.5, emWidth(text, node)) + besides)).toFixed(2);
  }

  // ---------- talking to the server ----------

  let errorTimer = 0;
  function showError(text) {
    setText($('error-text'), text);
    setShown($('error-line'), true);
    clearTimeout(errorTimer);
    errorTimer = setTimeout(clearError, 20000);
  }
  function clearError() {
    clearTimeout(errorTimer);
    setShown($('error-line'), false);
  }

  // POSTs `body` (as JSON when given); resolves to true when the server agreed.
  async function post(path, body, what) {
    const init = { method: 'POST', credentials: 'same-origin', headers: {} };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, init);
    } catch (e) {
      showError(what + ': the station does not answer');
      return false;
    }
    if (response.ok) return true;
    let text = '';
    try {
      text = (await response.text()).trim();
    } catch (e) {
      text = '';
    }
    showError(what + ': ' + (text || response.statusText || 'refused') + ' (' + response.status + ')');
    return false;
  }

  // ---------- sound ----------

  const sound = {
    on: false,
    context: null,

    load() {
      try {
        this.on = window.localStorage.getItem('station.sound') === 'on';
      } catch (e) {
        this.on = false;
      }
    },
    save() {
      try {
        window.localStorage.setItem('station.sound', this.on ? 'on' : 'off');
      } catch (e) {
        // a browser without storage forgets the choice; the sound still works
      }
    },
    // The browser lets a page make sound only after the operator touched it.
    ready() {
      if (!this.on) return null;
      const activation = navigator.userActivation;
      if (!this.context) {
        if (activation && !activation.hasBeenActive) return null;
        const Context = window.AudioContext || window.webkitAudioContext;
        if (!Context) return null;
        this.context = new Context();
      }
      if (this.context.state === 'suspended') this.context.resume();
      return this.context;
    },
    tone(freq, start, length, type, volume) {
      const c = this.context;
      const osc = c.createOscillator();
      const gain = c.createGain();
      osc.type = type;
      osc.frequency.value = freq;
      gain.gain.setValueAtTime(0.0001, start);
      gain.gain.exponentialRampToValueAtTime(volume, start + 0.012);
      gain.gain.setValueAtTime(volume, start + length - 0.03);
      gain.gain.exponentialRampToValueAtTime(0.0001, start + length);
      osc.connect(gain);
      gain.connect(c.destination);
      osc.start(start);
      osc.stop(start + length + 0.02);
    },
    passed(delay) {
      const c = this.ready();
      if (!c) return;
      const t = c.currentTime + 0.02 + (delay || 0);
      this.tone(660, t, 0.12, 'sine', 0.35);
      this.tone(990, t + 0.13, 0.2, 'sine', 0.35);
    },
    failed() {
      const c = this.ready();
      if (!c) return;
      const t = c.currentTime + 0.02;
      this.tone(130, t, 0.22, 'square', 0.18);
      this.tone(130, t + 0.3, 0.3, 'square', 0.18);
    },
  };

  function drawSoundButton() {
    const b = $('sound');
    const activation = navigator.userActivation;
    const blocked = sound.on && activation && !activation.hasBeenActive;
    setText(b, sound.on ? (blocked ? 'Sound: on \u2014 click to allow' : 'Sound: on') : 'Sound: off');
    setAttr(b, 'aria-pressed', sound.on ? 'true' : 'false');
    setAttr(b, 'title', sound.on ? 'A tone for each pass and each failure; click to silence'
      : 'Silent; click for a tone at each pass and each failure');
  }

  // ---------- the tiles ----------

  const tiles = [];
  let layoutKey = '';

  // `index` is the tile's place; `slot` the server's number for the slot.
  function buildTile(index, slot) {
    const t = { index, slot, cache: {} };
    const root = el('article', 'tile');
    root.dataset.slot = String(slot);
    root.dataset.state = '';

    const head = el('div', 'tile-head');
    t.label = el('button', 'slot-label');
    t.label.type = 'button';
    t.icon = el('span', 'state-icon');
    head.append(t.label, t.icon);

    t.word = el('div', 'state-word');

    t.check = el('div', 'check-badge', '\u26A0 CHECK THIS SLOT');
    t.check.title = 'Several scanners failed here in a row: check the cable or the adapter';
    t.check.hidden = true;

    const body = el('div', 'tile-body');
    t.progress = el('div', 'progress');
    t.bar = el('div', 'progress-bar');
    t.bar.setAttribute('role', 'progressbar');
    t.bar.setAttribute('aria-valuemin', '0');
    t.bar.setAttribute('aria-valuemax', '100');
    t.fill = el('div', 'progress-fill');
    t.bar.appendChild(t.fill);
    t.percent = el('span', 'progress-percent');
    t.progress.append(t.bar, t.percent);
    t.figures = el('div', 'line figures');
    t.when = el('div', 'line when');
    t.message = el('div', 'line message');
    t.hint = el('div', 'line hint');
    t.versions = el('div', 'line versions');
    t.identity = el('div', 'line identity');
    t.tally = el('div', 'line tally');
    // In the order they give way when the tile is short: the last first.
    body.append(t.progress, t.figures, t.message, t.hint, t.when, t.versions, t.identity, t.tally);

    const actions = el('div', 'tile-actions');
    t.retry = el('button', 'retry changes', 'Retry');
    t.retry.type = 'button';
    t.details = el('button', 'details-button', 'Details');
    t.details.type = 'button';
    actions.append(t.retry, t.details);

    root.append(head, t.word, body, t.check, actions);
    for (const n of [t.progress, t.figures, t.when, t.message, t.hint, t.versions, t.identity, t.tally, actions]) {
      n.hidden = true;
    }
    t.actions = actions;
    t.root = root;

    root.addEventListener('click', (e) => {
      if (e.target.closest('.retry')) return;
      openDetails(index);
    });
    t.retry.addEventListener('click', () => retrySlot(index, t.retry));
    return t;
  }

  function slotState(s) {
    if (s.childEnded) return 'stopped';
    return str(s.state) || 'waiting';
  }

  function versionsText(s, state) {
    const from = str(s.from), to = str(s.to);
    if (state === 'current') return from || to ? 'version ' + (from || to) : '';
    if (from && to) return from + ' \u2192 ' + to;
    if (to) return '\u2192 ' + to;
    return from ? 'version ' + from : '';
  }

  function identityText(s) {
    const id = s.scanner;
    if (!id || typeof id !== 'object') return '';
    return [str(id.module), str(id.software)].filter(Boolean).join(' \u00B7 ');
  }

  function tallyText(s) {
    const p = num(s.passed, 0), f = num(s.failed, 0), c = num(s.alreadyCurrent, 0);
    if (p + f + c === 0) return '';
    return '\u2713 ' + p + ' \u00B7 \u2717 ' + f + ' \u00B7 = ' + c;
  }

  function uploadFigures(s) {
    const parts = [];
    const rate = num(s.rate, 0), left = num(s.left, -1);
    if (rate > 0) parts.push((rate / 1024).toFixed(1) + ' KB/s');
    if (left >= 0) parts.push(shortSpan(left) + ' left');
    return parts.length ? parts.join(' \u00B7 ') : str(s.text) || CAPTIONS.upload;
  }

  function updateTile(t, s, run) {
    const c = t.cache;
    const state = slotState(s);
    const kind = KINDS[state] || 'idle';
    const label = str(s.label) || 'slot ' + (t.index + 1);

    if (c.label !== label) {
      c.label = label;
      setText(t.label, label);
      t.root.style.setProperty('--label-fit', fitFor(label, t.label, 1.3));
    }
    setAttr(t.label, 'title', label + (s.port ? ' \u2014 ' + str(s.port) : ''));
    setAttr(t.label, 'aria-label', 'Slot ' + label + ': details');

    if (c.state !== state) {
      c.state = state;
      t.root.dataset.state = state;
      const word = WORDS[state] || state.toUpperCase();
      setText(t.word, word);
      t.root.style.setProperty('--word-fit', fitFor(word, t.word, 0));
    }
    if (c.kind !== kind) {
      if (c.kind) t.root.classList.remove('k-' + c.kind);
      t.root.classList.add('k-' + kind);
      c.kind = kind;
      t.icon.replaceChildren(makeIcon(kind));
    }

    const ended = state === 'passed' || state === 'failed' || state === 'current';
    const end = s.end && typeof s.end === 'object' ? s.end : null;

    // progress: the upload's bar, or any phase's percent the child reports
    const percent = Math.max(0, Math.min(100, Math.round(num(s.percent, 0))));
    const showBar = kind === 'work' && (state === 'upload' || percent > 0);
    setShown(t.progress, showBar);
    if (showBar && c.percent !== percent) {
      c.percent = percent;
      t.fill.style.width = percent + '%';
      setText(t.percent, percent + '%');
      setAttr(t.bar, 'aria-valuenow', percent);
    }

    let figures = '';
    if (state === 'upload') figures = uploadFigures(s);
    else if (kind === 'work' || kind === 'idle') figures = str(s.text) || CAPTIONS[state] || '';
    setText(t.figures, figures);
    setShown(t.figures, figures !== '');

    let when = '';
    if (ended && end) {
      when = timeOf(end.time);
      const seconds = num(end.seconds, -1);
      if (seconds >= 0) when += (when ? ' \u00B7 ' : '') + duration(seconds);
    }
    setText(t.when, when);
    setShown(t.when, when !== '');

    const failed = state === 'failed';
    const message = failed && end ? str(end.message) : '';
    setText(t.message, message);
    setAttr(t.message, 'title', message);
    setShown(t.message, message !== '');

    const hints = Array.isArray(s.hints) ? s.hints : [];
    const hint = failed && hints.length ? str(hints[0]) : '';
    setText(t.hint, hint);
    setAttr(t.hint, 'title', hint);
    setShown(t.hint, hint !== '');

    const versions = kind === 'idle' || kind === 'stopped' ? '' : versionsText(s, state);
    setText(t.versions, versions);
    setShown(t.versions, versions !== '');

    const identity = kind === 'idle' || kind === 'stopped' ? '' : identityText(s);
    setText(t.identity, identity);
    setShown(t.identity, identity !== '');

    const tally = kind === 'idle' || kind === 'stopped' || state === 'passed' || state === 'current' ? tallyText(s) : '';
    setText(t.tally, tally);
    setAttr(t.tally, 'title', tally ? 'this slot: ' + num(s.passed, 0) + ' passed, ' + num(s.failed, 0)
      + ' failed, ' + num(s.alreadyCurrent, 0) + ' already current' : '');
    setShown(t.tally, tally !== '');

    setShown(t.check, !!s.checkSlot);
    setFlag(t.root, 'check', !!s.checkSlot);

    const canRetry = failed && !run.readOnly;
    setShown(t.actions, failed);
    setShown(t.retry, canRetry);
    setDisabled(t.retry, !!(run.stopping || run.ended || t.pending));
    setText(t.details, hints.length > 1 ? 'Details +' + (hints.length - 1) : 'Details');
  }

  async function retrySlot(index, button) {
    const t = tiles[index];
    if (t) t.pending = true;
    if (button) button.disabled = true;
    const label = t ? t.cache.label : 'slot ' + (index + 1);
    await post('/api/retry', { slot: t ? t.slot : index }, 'Retry ' + label);
    if (t) t.pending = false;
    if (current) drawAll(current);
  }

  // Columns and rows that give the biggest tiles in the space left over.
  function layoutGrid() {
    const grid = $('grid');
    const box = $('grid-box');
    const n = Math.max(1, tiles.length);
    const style = getComputedStyle(box);
    const gap = parseFloat(getComputedStyle(grid).columnGap) || 6;
    const width = box.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
    const height = box.clientHeight - parseFloat(style.paddingTop) - parseFloat(style.paddingBottom);
    if (width <= 0 || height <= 0) return;
    let best = { cols: 1, score: -1 };
    for (let cols = 1; cols <= n; cols++) {
      const rows = Math.ceil(n / cols);
      const w = (width - (cols - 1) * gap) / cols;
      const h = (height - (rows - 1) * gap) / rows;
      // Text runs across, so a tile wants to be a little wider than tall;
      // a full last row reads as a bench.
      let score = Math.min(w, h * 1.2);
      if (n % cols !== 0) score *= 0.96;
      if (score > best.score) best = { cols, score };
    }
    const rows = Math.ceil(n / best.cols);
    const key = best.cols + 'x' + rows;
    if (key === layoutKey) return;
    layoutKey = key;
    grid.style.setProperty('--cols', String(best.cols));
    grid.style.setProperty('--rows', String(rows));
    grid.style.setProperty('--tile-min-w', '130px');
    grid.style.setProperty('--tile-min-h', '118px');
  }

  function buildGrid(slots) {
    const grid = $('grid');
    tiles.length = 0;
    const nodes = [];
    slots.forEach((s, i) => {
      const t = buildTile(i, num(s.index, i));
      tiles.push(t);
      nodes.push(t.root);
    });
    grid.replaceChildren(...nodes);
    layoutKey = '';
    layoutGrid();
  }

  // ---------- the details dialog ----------

  let detailsSlot = -1;

  function openDetails(index) {
    detailsSlot = index;
    drawDetails();
    const d = $('details');
    if (!d.open) d.showModal();
  }

  function drawDetails() {
    const d = $('details');
    if (!current || detailsSlot < 0 || !current.slots || !current.slots[detailsSlot]) {
      if (d.open) d.close();
      return;
    }
    const s = current.slots[detailsSlot];
    const run = current.run || {};
    const state = slotState(s);
    const kind = KINDS[state] || 'idle';
    setText($('details-title'), 'Slot ' + (str(s.label) || detailsSlot + 1));
    const stateBox = $('details-state');
    setText(stateBox, WORDS[state] || state.toUpperCase());
    setAttr(stateBox, 'class', 'details-state k-' + kind);
    setShown($('details-check'), !!s.checkSlot);
    setText($('details-port'), s.port);

    const id = s.scanner && typeof s.scanner === 'object' ? s.scanner : null;
    setText($('details-scanner'), id
      ? ['module ' + str(id.module), 'software ' + str(id.software), 'hardware ' + str(id.hardware),
        'customer ' + str(id.customer)].join(' \u00B7 ')
      : 'not known yet');
    const from = str(s.from), to = str(s.to);
    setText($('details-version'), from || to ? (from || '?') + ' \u2192 ' + (to || '?') : 'not known yet');

    const end = s.end && typeof s.end === 'object' ? s.end : null;
    let endText = 'none yet';
    if (end) {
      endText = str(end.message) || str(end.outcome);
      if (end.outcome && end.message) endText += ' (' + str(end.outcome) + ')';
      const at = timeOf(end.time);
      if (at) endText += ' at ' + at;
      if (num(end.seconds, -1) >= 0) endText += ', after ' + duration(end.seconds);
    }
    setText($('details-end'), endText);
    setText($('details-counts'), num(s.passed, 0) + ' passed \u00B7 ' + num(s.failed, 0) + ' failed \u00B7 '
      + num(s.alreadyCurrent, 0) + ' already current');

    const hints = Array.isArray(s.hints) ? s.hints.map(str) : [];
    const list = $('details-hints');
    const hintsKey = JSON.stringify(hints);
    if (list.dataset.key !== hintsKey) {
      list.dataset.key = hintsKey;
      list.replaceChildren(...hints.map((h) => el('li', '', h)));
    }
    setShown($('details-hints-title'), hints.length > 0);
    setShown(list, hints.length > 0);

    const trace = Array.isArray(s.trace) ? s.trace.map(str).join('\n') : '';
    const pre = $('details-trace');
    if (pre.textContent !== (trace || 'nothing yet')) {
      const atBottom = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
      pre.textContent = trace || 'nothing yet';
      if (atBottom) pre.scrollTop = pre.scrollHeight;
    }

    const retry = $('details-retry');
    setShown(retry, state === 'failed' && !run.readOnly);
    setDisabled(retry, !!(run.stopping || run.ended));
  }

  // ---------- header, shift band ----------

  function drawImage(image) {
    const name = $('image-name'), size = $('image-size'), sha = $('image-sha');
    const header = $('image-header');
    if (!image || typeof image !== 'object') {
      setText(name, 'no image');
      setText(size, '');
      setText(sha, '');
      setText(header, '');
      return;
    }
    setText(name, image.name);
    setAttr(name, 'title', image.name);
    const bytes = num(image.size, -1);
    setText(size, bytes >= 0 ? kilobytes(bytes) : '');
    setAttr(size, 'title', bytes >= 0 ? bytes + ' bytes' : '');
    const hash = str(image.sha256);
    setText(sha, hash ? 'SHA-256 ' + hash.slice(0, 8) + '\u2026' : '');
    setAttr(sha, 'title', hash ? 'SHA-256 ' + hash : '');
    if (image.hasHeader) {
      setText(header, 'for ' + str(image.module) + ' ' + str(image.software));
      setFlag(header, 'no-header', false);
    } else {
      setText(header, 'no header');
      setFlag(header, 'no-header', true);
    }
  }

  function drawCounts(counts) {
    counts = counts || {};
    setText($('count-passed'), num(counts.passed, 0));
    setText($('count-failed'), num(counts.failed, 0));
    setText($('count-current'), num(counts.alreadyCurrent, 0));
    const perHour = num(counts.perHour, 0);
    setText($('count-rate'), perHour >= 10 ? perHour.toFixed(0) : perHour.toFixed(1));
  }

  function drawReasons(reasons) {
    const ranked = (Array.isArray(reasons) ? reasons.filter((r) => r && num(r.count, 0) > 0) : [])
      .sort((a, b) => num(b.count, 0) - num(a.count, 0)).slice(0, 5);
    const list = $('reasons-list');
    const key = JSON.stringify(ranked.map((r) => [r.message, r.outcome, r.count]));
    if (list.dataset.key === key) return;
    list.dataset.key = key;
    list.replaceChildren(...ranked.map((r) => {
      const li = el('li');
      li.append(el('span', 'reason-count', str(num(r.count, 0))), el('span', 'reason-text', str(r.message) || str(r.outcome)));
      li.title = str(r.message) + (r.outcome ? ' (' + str(r.outcome) + ')' : '');
      return li;
    }));
    setShown(list, ranked.length > 0);
    setShown($('reasons-none'), ranked.length === 0);
  }

  // Buckets of a size that keeps the bars few enough to read.
  function bucketFor(elapsed) {
    for (const minutes of [5, 15, 30, 60, 120, 240]) {
      if (elapsed / (minutes * 60) <= 24) return minutes * 60;
    }
    return Math.ceil(elapsed / 24 / 3600) * 3600;
  }

  let chartKey = '';
  function drawChart(state) {
    const run = state.run || {};
    const history = Array.isArray(state.history) ? state.history : [];
    const elapsed = Math.max(1, num(run.elapsed, 0));
    const bucket = bucketFor(elapsed);
    const count = Math.max(1, Math.ceil(elapsed / bucket));
    let results = 0;
    for (const h of history) results += num(h.passed, 0) + num(h.failed, 0) + num(h.current, 0);
    const key = bucket + '/' + count + '/' + results + '/' + str(run.started);
    if (key === chartKey) return;
    chartKey = key;

    const bars = [];
    for (let i = 0; i < count; i++) bars.push({ passed: 0, current: 0, failed: 0 });
    // The server counts results per minute of the run.
    for (const h of history) {
      const i = Math.min(count - 1, Math.max(0, Math.floor(num(h.minute, 0) * 60 / bucket)));
      for (const k of ['passed', 'current', 'failed']) bars[i][k] += num(h[k], 0);
    }
    let most = 0;
    for (const b of bars) most = Math.max(most, b.passed + b.current + b.failed);
    const top = Math.max(1, most);

    const W = 240, H = 100, slotW = W / count, barW = Math.max(1, slotW * 0.8);
    const chart = svg('svg', { viewBox: '0 0 ' + W + ' ' + H, preserveAspectRatio: 'none', role: 'img' });
    const defs = svg('defs', {});
    const hatch = svg('pattern', { id: 'hatch-failed', width: '4', height: '4', patternUnits: 'userSpaceOnUse', patternTransform: 'rotate(45)' });
    hatch.append(svg('rect', { width: '4', height: '4', fill: '#f29a9f' }), svg('rect', { width: '2', height: '4', fill: '#b3121b' }));
    defs.appendChild(hatch);
    chart.appendChild(defs);

    const started = new Date(str(run.started));
    const hasStart = !isNaN(started.getTime());
    const fills = { passed: '#146c34', current: '#1d4f9a', failed: 'url(#hatch-failed)' };
    const totals = { passed: 0, current: 0, failed: 0 };
    bars.forEach((b, i) => {
      let y = H;
      const x = i * slotW + (slotW - barW) / 2;
      const g = svg('g', {});
      for (const k of ['passed', 'current', 'failed']) {
        totals[k] += b[k];
        if (!b[k]) continue;
        const h = (b[k] / top) * (H - 2);
        y -= h;
        g.appendChild(svg('rect', { x: x.toFixed(2), y: y.toFixed(2), width: barW.toFixed(2), height: h.toFixed(2), fill: fills[k] }));
      }
      const title = svg('title', {});
      const from = hasStart ? hoursMinutes(new Date(started.getTime() + i * bucket * 1000)) : '';
      title.textContent = (from ? from + ': ' : '') + b.passed + ' passed, ' + b.failed + ' failed, ' + b.current + ' already current';
      g.appendChild(title);
      // a bar with nothing still takes the pointer, for its title
      g.appendChild(svg('rect', { x: (i * slotW).toFixed(2), y: '0', width: slotW.toFixed(2), height: String(H), fill: 'transparent' }));
      chart.appendChild(g);
    });
    const per = bucket < 3600 ? bucket / 60 + ' min' : bucket / 3600 + ' h';
    chart.setAttribute('aria-label', 'Results per ' + per + ': ' + totals.passed + ' passed, '
      + totals.failed + ' failed, ' + totals.current + ' already current');
    $('chart-box').replaceChildren(chart);
    setText($('chart-scale'), 'per ' + per + ', top ' + most);
  }

  // ---------- the whole state ----------

  let current = null;
  let gridShape = '';
  let receivedAt = 0;
  let firstLoad = true;
  let connected = false;
  const lastEnds = new Map(); // slot -> what ended there last, to hear each end once

  function drawRun(run) {
    document.body.classList.toggle('read-only', !!run.readOnly);
    setShown($('read-only-badge'), !!run.readOnly);
    const started = new Date(str(run.started));
    setText($('run-started'), isNaN(started.getTime()) ? '' : 'since ' + clockOf(started));

    const rb = $('run-banner');
    if (run.ended) {
      setText(rb, 'the station has stopped');
      setAttr(rb, 'class', 'banner ended');
    } else if (run.stopping) {
      setText(rb, 'finishing: no new scanners are taken');
      setAttr(rb, 'class', 'banner stopping');
    }
    setShown(rb, !!(run.ended || run.stopping));

    const frozen = !!(run.readOnly || run.ended);
    const anyFailed = Array.isArray(current.slots) && current.slots.some((s) => slotState(s) === 'failed');
    setDisabled($('retry-failed'), frozen || !!run.stopping || !anyFailed);
    setDisabled($('finish'), frozen || !!run.stopping);
    setDisabled($('stop'), frozen);
    if (frozen && $('stop-dialog').open) $('stop-dialog').close();

    for (const [id, value] of [['operator', run.operator], ['lot', run.lot]]) {
      const input = $(id);
      input.readOnly = frozen;
      if (frozen) input.dataset.dirty = '';
      if (document.activeElement !== input && !input.dataset.dirty) {
        if (input.value !== str(value)) input.value = str(value);
      }
    }
  }

  function tickClock() {
    if (!current) return;
    const run = current.run || {};
    let elapsed = num(run.elapsed, 0);
    if (connected && !run.ended) elapsed += (Date.now() - receivedAt) / 1000;
    setText($('run-elapsed'), '\u00B7 ' + clockSpan(elapsed));
  }

  function hearEnds(slots) {
    let passed = false, failed = false;
    slots.forEach((s, i) => {
      const state = slotState(s);
      const ended = state === 'passed' || state === 'failed' ? state + '@' + str(s.end && s.end.time) : '';
      const before = lastEnds.get(i);
      lastEnds.set(i, ended);
      if (firstLoad || !ended || before === ended) return;
      if (state === 'passed') passed = true;
      else failed = true;
    });
    if (failed) sound.failed();
    if (passed) sound.passed(failed ? 0.7 : 0);
  }

  function drawAll(state) {
    const run = state.run || {};
    const slots = Array.isArray(state.slots) ? state.slots : [];
    const shape = slots.map((s) => str(s.index) + '|' + str(s.label)).join('\n');
    if (shape !== gridShape || tiles.length !== slots.length) {
      gridShape = shape;
      buildGrid(slots);
    }
    drawRun(run);
    drawImage(state.image);
    setText($('image-access'), run.access ? str(run.access) + ' access' : '');
    drawCounts(state.counts);
    drawReasons(state.reasons);
    drawChart(state);
    slots.forEach((s, i) => updateTile(tiles[i], s, run));
    if ($('details').open) drawDetails();
    tickClock();
  }

  function receive(text) {
    let state;
    try {
      state = JSON.parse(text);
    } catch (e) {
      showError('the station sent a state this page cannot read');
      return;
    }
    if (!state || typeof state !== 'object') return;
    if (state.version !== 1) showError('the station speaks state version ' + str(state.version) + '; this page knows 1');
    // Another run behind the same address (the station was started again):
    // its ends are not news.
    const started = str((state.run || {}).started);
    if (current && str((current.run || {}).started) !== started) {
      firstLoad = true;
      lastEnds.clear();
    }
    current = state;
    receivedAt = Date.now();
    drawAll(state);
    hearEnds(Array.isArray(state.slots) ? state.slots : []);
    firstLoad = false;
  }

  // ---------- the connection ----------

  let source = null;
  let retryTimer = 0;

  function setConnected(on) {
    connected = on;
    setShown($('banner'), !on);
    document.body.classList.toggle('stale', !on && current !== null);
  }

  function connect() {
    clearTimeout(retryTimer);
    if (source) source.close();
    source = new EventSource('/events');
    source.addEventListener('state', (e) => {
      setConnected(true);
      receive(e.data);
    });
    source.addEventListener('open', () => setConnected(true));
    source.addEventListener('error', () => {
      setConnected(false);
      // The browser retries on its own unless the server answered with an
      // error; then it gives up, so try again later.
      if (source.readyState === EventSource.CLOSED) retryTimer = setTimeout(connect, 5000);
    });
  }

  // ---------- the operator's controls ----------

  async function saveSettings() {
    const operator = $('operator'), lot = $('lot');
    if (!operator.dataset.dirty && !lot.dataset.dirty) return;
    const sent = { operator: operator.value, lot: lot.value };
    const ok = await post('/api/settings', sent, 'Saving operator and lot');
    for (const input of [operator, lot]) {
      if (ok) {
        input.removeAttribute('aria-invalid');
        if (input.value === sent[input.id]) input.dataset.dirty = '';
      } else if (input.dataset.dirty) {
        input.setAttribute('aria-invalid', 'true');
      }
    }
    if (ok) clearError();
  }

  function wireControls() {
    for (const input of [$('operator'), $('lot')]) {
      input.addEventListener('input', () => {
        input.dataset.dirty = '1';
      });
      input.addEventListener('change', saveSettings);
      input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') {
          e.preventDefault();
          saveSettings();
        } else if (e.key === 'Escape' && current) {
          input.dataset.dirty = '';
          input.removeAttribute('aria-invalid');
          input.value = str((current.run || {})[input.id]);
        }
      });
    }

    $('retry-failed').addEventListener('click', () => post('/api/retry-failed', undefined, 'Retry failed'));
    $('finish').addEventListener('click', () => post('/api/finish', undefined, 'Finish'));
    $('stop').addEventListener('click', () => {
      const d = $('stop-dialog');
      if (!d.open) d.showModal();
      $('stop-cancel').focus();
    });
    $('stop-cancel').addEventListener('click', () => $('stop-dialog').close());
    $('stop-confirm').addEventListener('click', () => {
      $('stop-dialog').close();
      post('/api/stop', undefined, 'Stop');
    });

    $('sound').addEventListener('click', () => {
      // "on" remembered from before but not yet allowed: this click allows it
      if (!(sound.on && !sound.context)) sound.on = !sound.on;
      sound.save();
      if (sound.on) sound.passed(0); // the operator hears what a pass sounds like
      drawSoundButton();
    });

    $('error-close').addEventListener('click', clearError);

    const details = $('details');
    $('details-close').addEventListener('click', () => details.close());
    $('details-done').addEventListener('click', () => details.close());
    $('details-retry').addEventListener('click', () => retrySlot(detailsSlot, $('details-retry')));
    for (const d of [details, $('stop-dialog')]) {
      d.addEventListener('click', (e) => {
        if (e.target !== d) return;
        const r = d.getBoundingClientRect();
        const inside = e.clientX >= r.left && e.clientX <= r.right && e.clientY >= r.top && e.clientY <= r.bottom;
        if (!inside) d.close(); // a click on the backdrop
      });
    }
    details.addEventListener('close', () => {
      detailsSlot = -1;
    });

    // A remembered "sound on" needs the operator to touch the page once.
    const wake = (e) => {
      if (e.target instanceof Element && e.target.closest('#sound')) return; // its click decides
      if (!sound.on || sound.context) return;
      setTimeout(() => {
        sound.ready(); // the activation counts once the event is done
        drawSoundButton();
      }, 0);
    };
    window.addEventListener('pointerdown', wake, true);
    window.addEventListener('keydown', wake, true);

    if (typeof ResizeObserver === 'function') new ResizeObserver(layoutGrid).observe($('grid-box'));
    else window.addEventListener('resize', layoutGrid);
  }

  function start() {
    sound.load();
    drawSoundButton();
    wireControls();
    connect();
    setInterval(tickClock, 1000);
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
}());
