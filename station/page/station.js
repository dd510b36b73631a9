// The station page: draws the server's state (one JSON object, sent whole on
// every change over /events) and sends the operator's actions back.
// Everything from the server is text from devices and files: it reaches the
// DOM through textContent and attributes only. Every word the page shows is
// the catalog's, through I18n (i18n.js); the server sends names and figures.
// Tiles are built once per slot and then only their changed texts and
// classes are touched.
'use strict';

(function () {
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const $ = (id) => document.getElementById(id);

  const I18n = window.I18n;
  const t = I18n.t;

  // ---------- small helpers ----------

  // How a tile looks: its colour and icon. The word is the catalog's.
  function kindOf(state) {
    if (state === 'starting' || state === 'waiting') return 'idle';
    if (state === 'passed' || state === 'failed' || state === 'stopped') return state;
    if (state === 'already_current') return 'current';
    return 'work';
  }

  // The catalog's word for a state, or its name for one the catalog lacks.
  function stateWord(state) {
    return I18n.has('state.' + state) ? t('state.' + state) : state.toUpperCase();
  }

  function stateCaption(state) {
    return I18n.has('caption.' + state) ? t('caption.' + state) : '';
  }

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

  // The width of `text` in ems of `node`'s font, as it wraps on two lines at
  // most: a big word is sized so that its widest line fills the tile's width
  // and no more, whatever font the machine has. Languages written in short
  // syllables (Vietnamese) would otherwise stack a word a line.
  let measure = null;
  const widths = new Map();
  const fonts = new Map(); // class name and language -> [font, stretch], read once
  function emWidth(text, node) {
    const fontKey = node.className + '|' + I18n.lang;
    let f = fonts.get(fontKey);
    if (!f) {
      const cs = getComputedStyle(node);
      f = [cs.fontWeight + ' 100px ' + cs.fontFamily, cs.fontStretch === '75%' ? 'condensed' : 'normal'];
      fonts.set(fontKey, f);
    }
    const key = f[0] + '|' + f[1] + '|' + text;
    let w = widths.get(key);
    if (w === undefined) {
      if (!measure) measure = document.createElement('canvas').getContext('2d');
      measure.font = f[0];
      if ('fontStretch' in measure) measure.fontStretch = f[1];
      w = twoLineWidth(text.split(/\s+/).filter(Boolean), (line) => measure.measureText(line).width / 100);
      widths.set(key, w);
    }
    return w;
  }
  // The narrowest width that `words` take when broken on two lines.
  function twoLineWidth(words, width) {
    let best = width(words.join(' '));
    for (let i = 1; i < words.length; i++) {
      best = Math.min(best, Math.max(width(words.slice(0, i).join(' ')), width(words.slice(i).join(' '))));
    }
    return best;
  }
  // A font size in cqw (hundredths of the tile's inner width) that fits `text`
  // with `besides` ems of other things on its line.
  function fitFor(text, node, besides) {
    return (96 / (Math.max(0.5, emWidth(text, node)) + besides)).toFixed(2);
  }

  // ---------- talking to the server ----------

  // The error line keeps its key, so that a language change redraws it.
  let errorTimer = 0;
  let errorShown = null;
  // `what`: the key and params of the action that failed, when one did.
  function showError(key, params, what) {
    errorShown = { key, params, what };
    drawError();
    setShown($('error-line'), true);
    clearTimeout(errorTimer);
    errorTimer = setTimeout(clearError, 20000);
  }
  function drawError() {
    const e = errorShown;
    const params = e && e.what ? { ...e.params, what: t(e.what[0], e.what[1]) } : e && e.params;
    const text = e ? t(e.key, params) : '';
    setText($('error-text'), text);
    setAttr($('error-text'), 'title', text);
  }
  function clearError() {
    clearTimeout(errorTimer);
    errorShown = null;
    setShown($('error-line'), false);
  }

  // POSTs `body` (as JSON when given); resolves to true when the server
  // agreed. `what` is the action's key and its params, for the error line.
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
      showError('error.noAnswer', {}, what);
      return false;
    }
    if (response.ok) return true;
    let text = '';
    try {
      text = (await response.text()).trim();
    } catch (e) {
      text = '';
    }
    // The server's reason is its own text, shown as it came.
    const reason = text || response.statusText || t('error.refusedReason');
    showError('error.refused', { reason, status: String(response.status) }, what);
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
      const at = c.currentTime + 0.02 + (delay || 0);
      this.tone(660, at, 0.12, 'sine', 0.35);
      this.tone(990, at + 0.13, 0.2, 'sine', 0.35);
    },
    failed() {
      const c = this.ready();
      if (!c) return;
      const at = c.currentTime + 0.02;
      this.tone(130, at, 0.22, 'square', 0.18);
      this.tone(130, at + 0.3, 0.3, 'square', 0.18);
    },
  };

  function drawSoundButton() {
    const b = $('sound');
    const activation = navigator.userActivation;
    const blocked = sound.on && activation && !activation.hasBeenActive;
    setText(b, t(sound.on ? (blocked ? 'sound.blocked' : 'sound.on') : 'sound.off'));
    setAttr(b, 'aria-pressed', sound.on ? 'true' : 'false');
    setAttr(b, 'title', t(sound.on ? 'sound.onTitle' : 'sound.offTitle'));
  }

  // ---------- the tiles ----------

  const tiles = [];
  let layoutKey = '';

  function buildBody(tile) {
    const body = el('div', 'tile-body');
    tile.progress = el('div', 'progress');
    tile.bar = el('div', 'progress-bar');
    tile.bar.setAttribute('role', 'progressbar');
    tile.bar.setAttribute('aria-valuemin', '0');
    tile.bar.setAttribute('aria-valuemax', '100');
    tile.fill = el('div', 'progress-fill');
    tile.bar.appendChild(tile.fill);
    tile.percent = el('span', 'progress-percent');
    tile.progress.append(tile.bar, tile.percent);
    for (const name of ['figures', 'when', 'message', 'hint', 'versions', 'identity', 'tally']) {
      tile[name] = el('div', 'line ' + name);
    }
    // In the order they give way when the tile is short: the last first.
    body.append(tile.progress, tile.figures, tile.message, tile.hint, tile.when, tile.versions, tile.identity,
      tile.tally);
    for (const n of body.children) n.hidden = true;
    return body;
  }

  function buildActions(tile) {
    const actions = el('div', 'tile-actions');
    tile.retry = el('button', 'retry changes', t('tile.retry'));
    tile.retry.type = 'button';
    tile.details = el('button', 'details-button', t('tile.details'));
    tile.details.type = 'button';
    actions.append(tile.retry, tile.details);
    actions.hidden = true;
    return actions;
  }

  // The field a hand reader types the scanner's label into, ending with Enter.
  function buildSerial(tile) {
    const input = el('input', 'serial changes');
    input.type = 'text';
    input.maxLength = 64;
    input.autocomplete = 'off';
    input.spellcheck = false;
    input.placeholder = t('tile.serialPlaceholder');
    input.title = t('tile.serialTitle');
    input.setAttribute('aria-label', t('tile.serialPlaceholder'));
    input.addEventListener('input', () => {
      input.dataset.dirty = '1';
    });
    input.addEventListener('change', () => sendSerial(tile));
    input.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        e.preventDefault();
        sendSerial(tile);
      } else if (e.key === 'Escape') {
        input.dataset.dirty = '';
        input.value = tile.cache.serial || '';
      }
    });
    return input;
  }

  async function sendSerial(tile) {
    const input = tile.serial;
    if (!input.dataset.dirty) return;
    const sent = input.value.trim();
    const ok = await post('/api/serial', { slot: tile.slot, serial: sent },
      ['what.serial', { label: tile.cache.label }]);
    if (ok && input.value.trim() === sent) input.dataset.dirty = '';
    if (ok) input.select(); // the next scan replaces it
    setAttr(input, 'aria-invalid', ok ? 'false' : 'true');
  }

  function drawSerial(tile, s, run, state) {
    const input = tile.serial;
    const serial = str(s.serial);
    tile.cache.serial = serial;
    setShown(input, !run.readOnly && state !== 'stopped');
    input.readOnly = !!run.ended;
    if (document.activeElement !== input && !input.dataset.dirty && input.value !== serial) input.value = serial;
    const last = str(s.lastSerial);
    setAttr(input, 'title', t('tile.serialTitle') + (last ? ' (' + last + ')' : ''));
  }

  // `index` is the tile's place; `slot` the server's number for the slot.
  function buildTile(index, slot) {
    const tile = { index, slot, cache: {} };
    const root = el('article', 'tile');
    root.dataset.slot = String(slot);
    root.dataset.state = '';

    const head = el('div', 'tile-head');
    tile.label = el('button', 'slot-label');
    tile.label.type = 'button';
    tile.icon = el('span', 'state-icon');
    head.append(tile.label, tile.icon);

    tile.word = el('div', 'state-word');
    tile.check = el('div', 'check-badge', '\u26A0 ' + t('tile.check'));
    tile.check.title = t('tile.checkTitle');
    tile.check.hidden = true;
    tile.actions = buildActions(tile);
    tile.serial = buildSerial(tile);
    root.append(head, tile.word, buildBody(tile), tile.serial, tile.check, tile.actions);
    tile.root = root;

    root.addEventListener('click', (e) => {
      if (e.target.closest('.retry, .serial')) return;
      openDetails(index);
    });
    tile.retry.addEventListener('click', () => retrySlot(index, tile.retry));
    return tile;
  }

  function slotState(s) {
    if (s.childEnded) return 'stopped';
    return str(s.state) || 'waiting';
  }

  function slotLabel(s, index) {
    return str(s.label) || t('tile.slot', { number: index + 1 });
  }

  // A slot's results so far, as numbers.
  function slotCounts(s) {
    const c = s.counts && typeof s.counts === 'object' ? s.counts : {};
    return { passed: num(c.passed, 0), failed: num(c.failed, 0), current: num(c.already_current, 0) };
  }

  function resultsText(c) {
    return t('results.summary', { count: c.passed + c.failed + c.current, ...c });
  }

  function versionsText(s, state) {
    const from = str(s.from), to = str(s.to);
    if (state === 'already_current') return from || to ? t('tile.version', { version: from || to }) : '';
    if (from && to) return t('tile.versionChange', { from, to });
    if (to) return t('tile.versionTo', { to });
    return from ? t('tile.version', { version: from }) : '';
  }

  function identityText(s) {
    const id = s.scanner;
    if (!id || typeof id !== 'object') return '';
    return [str(id.module), str(id.software)].filter(Boolean).join(' \u00B7 ');
  }

  function tallyText(s) {
    const c = slotCounts(s);
    if (c.passed + c.failed + c.current === 0) return '';
    const n = I18n.number;
    return '\u2713 ' + n(c.passed) + ' \u00B7 \u2717 ' + n(c.failed) + ' \u00B7 = ' + n(c.current);
  }

  // A hint's words from the catalog, its facts put in as they came.
  function hintText(h) {
    if (!h || typeof h !== 'object') return str(h);
    const name = str(h.hint);
    const facts = h.facts && typeof h.facts === 'object' ? h.facts : {};
    return I18n.has('hint.' + name) ? t('hint.' + name, facts) : name;
  }

  function hintsOf(s) {
    return Array.isArray(s.hints) ? s.hints.map(hintText).filter(Boolean) : [];
  }

  function uploading(s) {
    const total = num(s.total, 0);
    return total > 0 && num(s.sent, 0) < total;
  }

  // The upload's rate and time left; all of its figures for the title.
  function uploadFigures(s) {
    const rate = num(s.rate, 0), left = num(s.left, -1);
    const sent = t('tile.sent', { sent: I18n.kilobytes(num(s.sent, 0)), total: I18n.kilobytes(num(s.total, 0)) });
    const parts = [];
    if (rate > 0) parts.push(I18n.rate(rate));
    if (left >= 0) parts.push(t('tile.left', { duration: I18n.duration(left) }));
    return { text: (parts.length ? parts : [sent]).join(' \u00B7 '), title: [sent, ...parts].join(' \u00B7 ') };
  }

  function figuresOf(s, state, kind, hints) {
    if (kind === 'work' && uploading(s)) return uploadFigures(s);
    const caption = state === 'failed' && hints.length ? '' : stateCaption(state);
    return { text: caption, title: caption };
  }

  function whenText(end) {
    if (!end) return '';
    const parts = [I18n.clock(end.time)];
    const seconds = num(end.seconds, -1);
    if (seconds >= 0) parts.push(I18n.duration(seconds));
    return parts.filter(Boolean).join(' \u00B7 ');
  }

  // A line of the tile's body: shown when it has text, and whole in its
  // title, for a line cut short.
  function setLine(node, text, title) {
    setText(node, text);
    setAttr(node, 'title', title === undefined ? text : title);
    setShown(node, text !== '');
  }

  function drawHead(tile, s, state, kind) {
    const c = tile.cache;
    const label = slotLabel(s, tile.index);
    if (c.label !== label) {
      c.label = label;
      setText(tile.label, label);
      tile.root.style.setProperty('--label-fit', fitFor(label, tile.label, 1.3));
    }
    setAttr(tile.label, 'title', s.port ? t('tile.labelTitle', { label, port: str(s.port) }) : label);
    setAttr(tile.label, 'aria-label', t('tile.labelAria', { label }));

    if (c.state !== state) {
      c.state = state;
      tile.root.dataset.state = state;
      const word = stateWord(state);
      setText(tile.word, word);
      tile.root.style.setProperty('--word-fit', fitFor(word, tile.word, 0));
    }
    if (c.kind !== kind) {
      if (c.kind) tile.root.classList.remove('k-' + c.kind);
      tile.root.classList.add('k-' + kind);
      c.kind = kind;
      tile.icon.replaceChildren(makeIcon(kind));
    }
  }

  // Progress: the upload's bar, or any phase's percent the child reports.
  function drawProgress(tile, s, kind) {
    const percent = Math.max(0, Math.min(100, Math.round(num(s.percent, 0))));
    const showBar = kind === 'work' && (percent > 0 || num(s.total, 0) > 0);
    setShown(tile.progress, showBar);
    if (showBar && tile.cache.percent !== percent) {
      tile.cache.percent = percent;
      tile.fill.style.width = percent + '%';
      setText(tile.percent, I18n.percent(percent));
      setAttr(tile.bar, 'aria-valuenow', percent);
    }
  }

  function drawLines(tile, s, state, kind) {
    const hints = hintsOf(s);
    const figures = figuresOf(s, state, kind, hints);
    setLine(tile.figures, figures.text, figures.title);
    const ended = kind === 'passed' || kind === 'failed' || kind === 'current';
    const end = s.end && typeof s.end === 'object' ? s.end : null;
    setLine(tile.when, ended ? whenText(end) : '');
    const failed = state === 'failed';
    const message = failed && end ? str(end.message) : '';
    setLine(tile.message, message);
    const hint = failed && hints.length ? hints[0] : '';
    setLine(tile.hint, hint);
    const quiet = kind === 'idle' || kind === 'stopped';
    setLine(tile.versions, quiet ? '' : versionsText(s, state));
    setLine(tile.identity, quiet ? '' : identityText(s));
    const tally = quiet || kind === 'passed' || kind === 'current' ? tallyText(s) : '';
    setLine(tile.tally, tally, tally ? t('tile.tallyTitle', { results: resultsText(slotCounts(s)) }) : '');
    return hints;
  }

  function drawActions(tile, s, run, hints) {
    const failed = slotState(s) === 'failed';
    setShown(tile.check, !!s.checkSlot);
    setFlag(tile.root, 'check', !!s.checkSlot);
    setShown(tile.actions, failed);
    setShown(tile.retry, failed && !run.readOnly);
    setDisabled(tile.retry, !!(run.stopping || run.ended || tile.pending));
    const details = hints.length > 1 ? t('tile.detailsMore', { count: hints.length - 1 }) : t('tile.details');
    setText(tile.details, details);
    setAttr(tile.details, 'title', details);
  }

  function updateTile(tile, s, run) {
    const state = slotState(s);
    const kind = kindOf(state);
    drawHead(tile, s, state, kind);
    drawProgress(tile, s, kind);
    const hints = drawLines(tile, s, state, kind);
    drawActions(tile, s, run, hints);
    drawSerial(tile, s, run, state);
  }

  async function retrySlot(index, button) {
    const tile = tiles[index];
    if (tile) tile.pending = true;
    if (button) button.disabled = true;
    const label = tile ? tile.cache.label : t('tile.slot', { number: index + 1 });
    await post('/api/retry', { slot: tile ? tile.slot : index }, ['what.retrySlot', { label }]);
    if (tile) tile.pending = false;
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
      const tile = buildTile(i, num(s.index, i));
      tiles.push(tile);
      nodes.push(tile.root);
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

  function scannerText(s) {
    const id = s.scanner && typeof s.scanner === 'object' ? s.scanner : null;
    if (!id) return t('details.unknown');
    return t('details.identity', {
      module: str(id.module), software: str(id.software), hardware: str(id.hardware), customer: str(id.customer),
    });
  }

  function endText(s) {
    const end = s.end && typeof s.end === 'object' ? s.end : null;
    if (!end) return t('details.noEnd');
    const message = str(end.message) || str(end.outcome);
    const time = I18n.clock(end.time), seconds = num(end.seconds, -1);
    if (!time || seconds < 0) return message;
    return t('details.end', { message, time, duration: I18n.duration(seconds) });
  }

  function drawFacts(s) {
    setText($('details-port'), s.port);
    setText($('details-serial'), str(s.serial) || str(s.lastSerial));
    setText($('details-scanner'), scannerText(s));
    const from = str(s.from), to = str(s.to);
    const unknown = t('details.versionUnknown');
    setText($('details-version'), from || to ? t('tile.versionChange', { from: from || unknown, to: to || unknown })
      : t('details.unknown'));
    setText($('details-end'), endText(s));
    setText($('details-counts'), resultsText(slotCounts(s)));
  }

  function drawHints(s) {
    const hints = hintsOf(s);
    const list = $('details-hints');
    const hintsKey = I18n.lang + JSON.stringify(hints);
    if (list.dataset.key !== hintsKey) {
      list.dataset.key = hintsKey;
      list.replaceChildren(...hints.map((h) => el('li', '', h)));
    }
    setShown($('details-hints-title'), hints.length > 0);
    setShown(list, hints.length > 0);
  }

  function drawTrace(s) {
    const trace = Array.isArray(s.trace) ? s.trace.map(str).join('\n') : '';
    const text = trace || t('details.noTrace');
    const pre = $('details-trace');
    if (pre.textContent !== text) {
      const atBottom = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
      pre.textContent = text;
      if (atBottom) pre.scrollTop = pre.scrollHeight;
    }
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
    setText($('details-title'), t('details.title', { label: slotLabel(s, detailsSlot) }));
    const stateBox = $('details-state');
    setText(stateBox, stateWord(state));
    setAttr(stateBox, 'class', 'details-state k-' + kindOf(state));
    setShown($('details-check'), !!s.checkSlot);
    drawFacts(s);
    drawHints(s);
    drawTrace(s);
    const retry = $('details-retry');
    setShown(retry, state === 'failed' && !run.readOnly);
    setDisabled(retry, !!(run.stopping || run.ended));
  }

  // ---------- header, shift band ----------

  function drawImage(image) {
    const name = $('image-name'), size = $('image-size'), sha = $('image-sha');
    const header = $('image-header');
    if (!image || typeof image !== 'object') {
      setText(name, t('image.none'));
      setAttr(name, 'title', '');
      for (const node of [size, sha, header]) setText(node, '');
      return;
    }
    setText(name, image.name);
    setAttr(name, 'title', image.name);
    const bytes = num(image.size, -1);
    setText(size, bytes >= 0 ? I18n.kilobytes(bytes) : '');
    setAttr(size, 'title', bytes >= 0 ? t('image.bytes', { count: bytes }) : '');
    const hash = str(image.sha256);
    setText(sha, hash ? t('image.sha256', { hash: hash.slice(0, 8) + '\u2026' }) : '');
    setAttr(sha, 'title', hash ? t('image.sha256', { hash }) : '');
    const known = !!image.hasHeader;
    setText(header, known ? t('image.for', { module: str(image.module), software: str(image.software) })
      : t('image.noHeader'));
    setAttr(header, 'title', known ? '' : t('image.noHeaderTitle'));
    setFlag(header, 'no-header', !known);
  }

  function accessText(access) {
    const name = str(access);
    if (!name) return '';
    return I18n.has('access.' + name) ? t('access.' + name) : t('access.other', { name });
  }

  function drawCounts(counts) {
    counts = counts || {};
    setText($('count-passed'), I18n.number(num(counts.passed, 0)));
    setText($('count-failed'), I18n.number(num(counts.failed, 0)));
    setText($('count-current'), I18n.number(num(counts.already_current, 0)));
    const perHour = num(counts.perHour, 0);
    setText($('count-rate'), I18n.number(perHour, perHour >= 10 ? 0 : 1));
  }

  function reasonItem(r) {
    const li = el('li');
    const count = num(r.count, 0);
    const message = str(r.message) || str(r.outcome);
    li.append(el('span', 'reason-count', I18n.number(count)), el('span', 'reason-text', message));
    li.title = t('reasons.itemTitle', { message, count });
    return li;
  }

  function drawReasons(reasons) {
    const ranked = (Array.isArray(reasons) ? reasons.filter((r) => r && num(r.count, 0) > 0) : [])
      .sort((a, b) => num(b.count, 0) - num(a.count, 0)).slice(0, 5);
    const list = $('reasons-list');
    const key = I18n.lang + JSON.stringify(ranked.map((r) => [r.message, r.outcome, r.count]));
    if (list.dataset.key === key) return;
    list.dataset.key = key;
    list.replaceChildren(...ranked.map(reasonItem));
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

  function spanText(bucket) {
    return bucket < 3600 ? I18n.unit(bucket / 60, 'minute') : I18n.unit(bucket / 3600, 'hour');
  }

  // The server counts results per minute of the run; a bar holds `bucket` seconds.
  function barsOf(history, bucket, count) {
    const bars = [];
    for (let i = 0; i < count; i++) bars.push({ passed: 0, current: 0, failed: 0 });
    for (const h of history) {
      const i = Math.min(count - 1, Math.max(0, Math.floor(num(h.minute, 0) * 60 / bucket)));
      bars[i].passed += num(h.passed, 0);
      bars[i].failed += num(h.failed, 0);
      bars[i].current += num(h.already_current, 0);
    }
    return bars;
  }

  function chartSvg(W, H) {
    const chart = svg('svg', { viewBox: '0 0 ' + W + ' ' + H, preserveAspectRatio: 'none', role: 'img' });
    const defs = svg('defs', {});
    const hatch = svg('pattern', { id: 'hatch-failed', width: '4', height: '4', patternUnits: 'userSpaceOnUse', patternTransform: 'rotate(45)' });
    hatch.append(svg('rect', { width: '4', height: '4', fill: '#f29a9f' }), svg('rect', { width: '2', height: '4', fill: '#b3121b' }));
    defs.appendChild(hatch);
    chart.appendChild(defs);
    return chart;
  }

  const FILLS = { passed: '#146c34', current: '#1d4f9a', failed: 'url(#hatch-failed)' };

  // One bar, stacked, with its time and figures in its title.
  function barGroup(b, i, size, from) {
    const { top, H, slotW, barW } = size;
    let y = H;
    const x = i * slotW + (slotW - barW) / 2;
    const g = svg('g', {});
    for (const k of ['passed', 'current', 'failed']) {
      if (!b[k]) continue;
      const h = (b[k] / top) * (H - 2);
      y -= h;
      g.appendChild(svg('rect', { x: x.toFixed(2), y: y.toFixed(2), width: barW.toFixed(2), height: h.toFixed(2), fill: FILLS[k] }));
    }
    const title = svg('title', {});
    const results = resultsText(b);
    title.textContent = from ? t('chart.barTitle', { time: from, results }) : results;
    g.appendChild(title);
    // a bar with nothing still takes the pointer, for its title
    g.appendChild(svg('rect', { x: (i * slotW).toFixed(2), y: '0', width: slotW.toFixed(2), height: String(H), fill: 'transparent' }));
    return g;
  }

  let chartKey = '';
  function drawChart(state) {
    const run = state.run || {};
    const history = Array.isArray(state.history) ? state.history : [];
    const elapsed = Math.max(1, num(run.elapsed, 0));
    const bucket = bucketFor(elapsed);
    const count = Math.max(1, Math.ceil(elapsed / bucket));
    const bars = barsOf(history, bucket, count);
    const totals = { passed: 0, current: 0, failed: 0 };
    let most = 0;
    for (const b of bars) {
      for (const k in totals) totals[k] += b[k];
      most = Math.max(most, b.passed + b.current + b.failed);
    }
    const key = [I18n.lang, bucket, count, str(run.started), JSON.stringify(bars)].join('/');
    if (key === chartKey) return;
    chartKey = key;

    const W = 240, H = 100;
    const size = { top: Math.max(1, most), H, slotW: W / count, barW: Math.max(1, (W / count) * 0.8) };
    const chart = chartSvg(W, H);
    const started = new Date(str(run.started));
    const hasStart = !isNaN(started.getTime());
    bars.forEach((b, i) => {
      const from = hasStart ? I18n.hoursMinutes(new Date(started.getTime() + i * bucket * 1000)) : '';
      chart.appendChild(barGroup(b, i, size, from));
    });
    const span = spanText(bucket);
    chart.setAttribute('aria-label', t('chart.aria', { span, results: resultsText(totals) }));
    $('chart-box').replaceChildren(chart);
    setText($('chart-scale'), t('chart.scale', { span, top: most }));
  }

  // ---------- the whole state ----------

  const STATE_VERSION = 2;
  let current = null;
  let gridShape = '';
  let receivedAt = 0;
  let firstLoad = true;
  let connected = false;
  const lastEnds = new Map(); // slot -> what ended there last, to hear each end once

  function drawBanner(run) {
    const rb = $('run-banner');
    if (run.ended) {
      setText(rb, t('banner.ended'));
      setAttr(rb, 'class', 'banner ended');
    } else if (run.stopping) {
      setText(rb, t('banner.stopping'));
      setAttr(rb, 'class', 'banner stopping');
    }
    setShown(rb, !!(run.ended || run.stopping));
  }

  // The line the station delivers to: connected, unreachable since, or
  // refused with the line's reason; and the records kept here meanwhile.
  function lineWords(line) {
    const waiting = num(line.waiting, 0);
    const kept = waiting > 0 ? ' \u2014 ' + t('lineStatus.kept', { count: waiting }) : '';
    const reason = str(line.reason);
    if (line.refused) return ['refused', t('lineStatus.refused', { reason }) + kept];
    if (line.rejected) return ['refused', t('lineStatus.rejected', { reason }) + kept];
    if (line.downSince) return ['down', t('lineStatus.down', { time: I18n.hoursMinutes(line.downSince) }) + kept];
    if (line.connected) return ['ok', waiting > 0 ? t('lineStatus.sending', { count: waiting }) : t('lineStatus.connected')];
    return ['idle', t('lineStatus.connecting')];
  }

  function drawLine(line) {
    const box = $('line-status');
    setShown(box, !!line);
    if (!line) return;
    const [kind, text] = lineWords(line);
    setText(box, text);
    setAttr(box, 'data-kind', kind);
    const why = line.downSince && !line.refused && !line.rejected ? str(line.reason) : '';
    const oldest = I18n.clock(line.oldestWaiting);
    setAttr(box, 'title', [text, why, oldest ? t('lineStatus.oldest', { time: oldest }) : ''].filter(Boolean).join('\n'));
  }

  function drawRun(run) {
    document.body.classList.toggle('read-only', !!run.readOnly);
    setShown($('read-only-badge'), !!run.readOnly);
    const since = I18n.clock(run.started);
    setText($('run-started'), since ? t('run.since', { time: since }) : '');
    drawBanner(run);

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
    setText($('run-elapsed'), '\u00B7 ' + I18n.elapsed(elapsed));
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
    drawLine(state.line);
    drawImage(state.image);
    setText($('image-access'), accessText(run.access));
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
      showError('error.unreadable');
      return;
    }
    if (!state || typeof state !== 'object') return;
    if (state.version !== STATE_VERSION) {
      showError('error.version', { version: str(state.version), known: String(STATE_VERSION) });
    }
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

  function setConnected(on) {
    connected = on;
    setShown($('banner'), !on);
    document.body.classList.toggle('stale', !on && current !== null);
  }

  // ---------- the operator's controls ----------

  async function saveSettings() {
    const operator = $('operator'), lot = $('lot');
    if (!operator.dataset.dirty && !lot.dataset.dirty) return;
    const sent = { operator: operator.value, lot: lot.value };
    const ok = await post('/api/settings', sent, ['what.settings']);
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

    $('retry-failed').addEventListener('click', () => post('/api/retry-failed', undefined, ['what.retryFailed']));
    $('finish').addEventListener('click', () => post('/api/finish', undefined, ['what.finish']));
    $('stop').addEventListener('click', () => {
      const d = $('stop-dialog');
      if (!d.open) d.showModal();
      $('stop-cancel').focus();
    });
    $('stop-cancel').addEventListener('click', () => $('stop-dialog').close());
    $('stop-confirm').addEventListener('click', () => {
      $('stop-dialog').close();
      post('/api/stop', undefined, ['what.stop']);
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

  // Another language: the static texts are filled already; the rest is
  // drawn again from scratch, tiles and all.
  function redraw() {
    drawSoundButton();
    if (errorShown) drawError();
    gridShape = '';
    chartKey = '';
    if (current) drawAll(current);
  }

  async function start() {
    await I18n.load();
    I18n.bindSelector($('language'));
    I18n.onChange(redraw);
    sound.load();
    drawSoundButton();
    wireControls();
    StateStream.open(receive, setConnected);
    setInterval(tickClock, 1000);
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
}());
