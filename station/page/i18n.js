// The pages' words: one catalog per language (lang/<code>.json), chosen and
// loaded before a page draws, and the locale's own numbers and times.
// Catalog values are strings with {name} placeholders, or plural objects
// keyed by Intl.PluralRules categories. Every page's text goes through t();
// the pages put it in with textContent and attributes only.
'use strict';

window.I18n = (function () {
  // Their own names: the selector lists them before their catalogs load.
  const LANGUAGES = [
    { code: 'en', name: 'English' },
    { code: 'de', name: 'Deutsch' },
    { code: 'es', name: 'Español' },
    { code: 'pl', name: 'Polski' },
    { code: 'vi', name: 'Tiếng Việt' },
    { code: 'zh-CN', name: '简体中文' },
  ];
  // English with every string marked: a test finds any text not from here.
  // Not offered in the selector, not remembered.
  const PSEUDO = 'qps';
  const STORE_KEY = 'orvane.lang';
  const ATTRIBUTES = ['title', 'aria-label', 'placeholder', 'alt'];

  let base = '/lang/';
  let lang = 'en';
  let locale = 'en'; // Intl's locale: the pseudo-language formats as English
  let words = {};
  let english = null;
  let englishLoaded = false;
  let formats = new Map();
  const warned = new Set();
  const listeners = [];
  const selectors = [];

  // ---------- choosing ----------

  // A supported code for a language tag: exact, else by its first subtag.
  function match(tag) {
    if (typeof tag !== 'string' || !tag) return '';
    const lower = tag.toLowerCase().replace(/_/g, '-');
    for (const l of LANGUAGES) if (l.code.toLowerCase() === lower) return l.code;
    const primary = lower.split('-')[0];
    for (const l of LANGUAGES) if (l.code.toLowerCase().split('-')[0] === primary) return l.code;
    return '';
  }

  function fromAddress() {
    const asked = new URLSearchParams(window.location.search).get('lang');
    return asked === PSEUDO ? PSEUDO : match(asked);
  }

  function remembered() {
    try {
      return match(window.localStorage.getItem(STORE_KEY));
    } catch (e) {
      return '';
    }
  }

  function remember(code) {
    if (code === PSEUDO) return; // a test's choice is not the bench's
    try {
      window.localStorage.setItem(STORE_KEY, code);
    } catch (e) {
      // a browser without storage asks its own languages next time
    }
  }

  function fromBrowser() {
    const tags = navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language];
    for (const tag of tags) {
      const code = match(tag);
      if (code) return code;
    }
    return '';
  }

  function chosen() {
    const asked = fromAddress();
    if (asked) {
      remember(asked);
      return asked;
    }
    return remembered() || fromBrowser() || 'en';
  }

  // ---------- loading ----------

  async function fetchCatalog(code) {
    const response = await fetch(base + code + '.json', { credentials: 'same-origin' });
    if (!response.ok) throw new Error(code + '.json: ' + response.status);
    const catalog = await response.json();
    if (!catalog || typeof catalog !== 'object' || Array.isArray(catalog)) throw new Error(code + '.json: no object');
    return catalog;
  }

  async function fetchOr(code, fallback) {
    try {
      return await fetchCatalog(code);
    } catch (e) {
      console.warn('i18n: ' + e.message);
      return fallback;
    }
  }

  async function englishCatalog() {
    if (!englishLoaded) {
      english = await fetchOr('en', null);
      englishLoaded = english !== null;
    }
    return english || {};
  }

  // Makes `code` the language: its catalog and English's, then the page's
  // static texts. False, and nothing changed, when `keep` and its catalog is
  // out of reach; without `keep` the page goes on in English.
  async function use(code, keep) {
    const file = code === PSEUDO ? 'en' : code;
    const [en, catalog] = await Promise.all([englishCatalog(), file === 'en' ? null : fetchOr(file, null)]);
    if (catalog === null && file !== 'en') {
      if (keep) return false;
      code = 'en';
    }
    words = catalog || en;
    lang = code;
    locale = code === PSEUDO ? 'en' : code;
    formats = new Map();
    document.documentElement.lang = locale; // the pseudo-language's text is English
    fill(document);
    return true;
  }

  // Before a page draws: the language chosen, its catalog loaded, the static
  // texts filled. `options.base`: where the catalogs are, "/lang/" if not given.
  async function load(options) {
    if (options && options.base) base = options.base;
    try {
      await use(chosen(), false);
      for (const s of selectors) s.value = lang;
    } finally {
      document.documentElement.classList.remove('i18n-loading');
    }
    return lang;
  }

  // The operator's choice: remembered, shown and drawn without a reload.
  async function choose(code) {
    code = code === PSEUDO ? PSEUDO : match(code);
    if (!code || code === lang) return lang;
    const ok = await use(code, true);
    for (const s of selectors) s.value = lang;
    if (!ok) return lang;
    remember(lang);
    const address = new URL(window.location.href);
    if (address.searchParams.has('lang')) {
      address.searchParams.set('lang', lang);
      window.history.replaceState(window.history.state, '', address.href);
    }
    for (const f of listeners) f(lang);
    return lang;
  }

  // ---------- the words ----------

  function own(object, key) {
    return Object.prototype.hasOwnProperty.call(object, key);
  }

  function usable(value) {
    return typeof value === 'string' || (value !== null && typeof value === 'object' && !Array.isArray(value));
  }

  function lookup(key) {
    if (own(words, key) && usable(words[key])) return words[key];
    if (english && own(english, key) && usable(english[key])) return english[key];
    return undefined;
  }

  function has(key) {
    return lookup(key) !== undefined;
  }

  function format(name, options) {
    const key = name + JSON.stringify(options || {});
    let f = formats.get(key);
    if (!f) {
      const Make = Intl[name];
      f = new Make(locale, options);
      formats.set(key, f);
    }
    return f;
  }

  function plural(forms, params) {
    const count = params && typeof params.count === 'number' ? params.count : NaN;
    const category = isFinite(count) ? format('PluralRules').select(count) : 'other';
    if (typeof forms[category] === 'string') return forms[category];
    if (typeof forms.other === 'string') return forms.other;
    const any = Object.values(forms).find((v) => typeof v === 'string');
    return any === undefined ? '' : any;
  }

  // A value put in; in the pseudo-language its own marks go, so that the
  // text around it is marked once, whole.
  function shown(value) {
    if (typeof value === 'number') return isFinite(value) ? format('NumberFormat').format(value) : '';
    const text = value === null || value === undefined ? '' : String(value);
    return lang === PSEUDO ? text.replace(/[\u27E6\u27E7]/g, '') : text;
  }

  // One pass: a value that holds "{name}" itself is not replaced again.
  function substitute(text, params) {
    if (!params) return text;
    return text.replace(/\{([A-Za-z0-9_.-]+)\}/g, (whole, name) => (own(params, name) ? shown(params[name]) : whole));
  }

  // The text of `key` with `params` put in; a plural chosen by params.count.
  function t(key, params) {
    let value = lookup(key);
    if (value === undefined) {
      if (!warned.has(key)) {
        warned.add(key);
        console.warn('i18n: no text for ' + key);
      }
      value = key;
    }
    if (typeof value === 'object') value = plural(value, params);
    return mark(substitute(value, params));
  }

  // In the pseudo-language every text with words in it is marked.
  function mark(text) {
    return lang === PSEUDO && text ? '\u27E6' + text + '\u27E7' : text;
  }

  // Static texts: data-i18n="key" for the text, data-i18n-title="key" and
  // the like for attributes.
  function fill(root) {
    for (const node of root.querySelectorAll('[data-i18n]')) node.textContent = t(node.getAttribute('data-i18n'));
    for (const name of ATTRIBUTES) {
      for (const node of root.querySelectorAll('[data-i18n-' + name + ']')) {
        node.setAttribute(name, t(node.getAttribute('data-i18n-' + name)));
      }
    }
  }

  // ---------- numbers and times ----------

  // `digits` fraction digits, or the locale's default when not given.
  function number(value, digits) {
    const options = digits === undefined ? {} : { minimumFractionDigits: digits, maximumFractionDigits: digits };
    return format('NumberFormat', options).format(value);
  }

  // `value` in `unit` (an Intl unit: "second", "minute", "kilobyte"...).
  function unit(value, name, digits, display) {
    const options = { style: 'unit', unit: name, unitDisplay: display || 'short' };
    if (digits !== undefined) Object.assign(options, { minimumFractionDigits: digits, maximumFractionDigits: digits });
    return format('NumberFormat', options).format(value);
  }

  // 0 to 100.
  function percent(value) {
    return format('NumberFormat', { style: 'percent', maximumFractionDigits: 0 }).format(value / 100);
  }

  function kilobytes(bytes) {
    const kb = bytes / 1000;
    return unit(kb, 'kilobyte', kb < 10 ? 1 : 0);
  }

  function rate(bytesPerSecond) {
    return unit(bytesPerSecond / 1000, 'kilobyte-per-second', 1);
  }

  function dateOf(value) {
    const d = value instanceof Date ? value : new Date(value === null || value === undefined ? '' : String(value));
    return isNaN(d.getTime()) ? null : d;
  }

  // A time of day with seconds, in the locale's own hour cycle; '' for no date.
  function clock(value) {
    const d = dateOf(value);
    return d ? format('DateTimeFormat', { timeStyle: 'medium' }).format(d) : '';
  }

  function hoursMinutes(value) {
    const d = dateOf(value);
    return d ? format('DateTimeFormat', { timeStyle: 'short' }).format(d) : '';
  }

  function parts(seconds) {
    const s = Math.max(0, Math.round(seconds));
    return { hours: Math.floor(s / 3600), minutes: Math.floor((s % 3600) / 60), seconds: s % 60 };
  }

  function two(n) {
    return String(n).padStart(2, '0');
  }

  // "1:05" put where the locale puts the number beside its short unit: "1:05 min".
  function clockWithUnit(clockText, name) {
    return format('NumberFormat', { style: 'unit', unit: name, unitDisplay: 'short' }).formatToParts(2)
      .map((p) => (p.type === 'integer' ? clockText : p.value)).join('');
  }

  // How long something took or will take: "4.2s", "1:05 min", "1:02:03 hr".
  function duration(seconds) {
    seconds = Math.max(0, seconds);
    if (seconds < 59.5) return unit(seconds, 'second', seconds < 9.95 ? 1 : 0, 'narrow');
    const p = parts(seconds);
    if (!p.hours) return clockWithUnit(p.minutes + ':' + two(p.seconds), 'minute');
    return clockWithUnit(p.hours + ':' + two(p.minutes) + ':' + two(p.seconds), 'hour');
  }

  // A running clock of hours, minutes and seconds: "1:02:03".
  function elapsed(seconds) {
    const p = parts(Math.floor(Math.max(0, seconds)));
    return p.hours + ':' + two(p.minutes) + ':' + two(p.seconds);
  }

  // ---------- the selector ----------

  // Fills a page's <select> with the languages and switches on a change.
  function bindSelector(select) {
    select.replaceChildren(...LANGUAGES.map((l) => {
      const option = new Option(l.name, l.code);
      option.lang = l.code;
      return option;
    }));
    select.value = lang;
    select.addEventListener('change', () => {
      choose(select.value);
    });
    selectors.push(select);
  }

  // `f(code)` is called after a language change: the page draws itself again.
  function onChange(f) {
    listeners.push(f);
  }

  // Texts with units or a day's time in them carry words: marked in the
  // pseudo-language like the catalog's. Bare numbers are not.
  const marked = (f) => (...args) => mark(f(...args));

  return {
    LANGUAGES,
    load, choose, onChange, bindSelector, fill, t, has,
    number, percent, elapsed,
    unit: marked(unit),
    kilobytes: marked(kilobytes),
    rate: marked(rate),
    clock: marked(clock),
    hoursMinutes: marked(hoursMinutes),
    duration: marked(duration),
    get lang() {
      return lang;
    },
  };
}());
