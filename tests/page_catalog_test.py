#!/usr/bin/python3
"""The station page's word catalogs: one JSON file per language, each the
same keys as English, with the same placeholders, and plural forms for the
categories its language has.

    page_catalog_test.py LANG_DIR

LANG_DIR holds <code>.json for each language the page offers (en.json among
them); i18n.js beside LANG_DIR lists those languages and their own names.
Prints a line per fault and exits 1 if there is any.
"""
import json
import os
import re
import sys

# Intl.PluralRules(code).resolvedOptions().pluralCategories in the page's
# browser, for each language the page offers.
PLURALS = {
    "en": {"one", "other"},
    "de": {"one", "other"},
    "es": {"one", "many", "other"},
    "pl": {"one", "few", "many", "other"},
    "vi": {"other"},
    "zh-CN": {"other"},
}
CLDR_CATEGORIES = {"zero", "one", "two", "few", "many", "other"}

# What the server names, and what each hint's facts are: the page looks up
# "state.<name>", "caption.<name>" and "hint.<name>", the facts put in.
PHASES = ["waiting", "handshake", "identity", "key-code", "flash-erase", "parameter-erase",
          "upload", "start", "done", "leaving", "monitor"]
RESULTS = ["passed", "failed", "already_current"]
STATES = ["starting", "stopped"] + PHASES + RESULTS
IDENTITY = {"module", "software", "customer", "hardware"}
HINTS = {
    "upgrade-ended-as": {"message"},
    "not-started": set(), "not-connected": set(),
    "mismatch-scanner": IDENTITY, "mismatch-image": IDENTITY,
    "key-refused": set(), "erase-not-confirmed": set(), "image-short": set(),
    "image-changed": set(), "surplus-answer": set(), "block-refused": set(), "line-lost": set(),
    "transfer-broke-off": set(), "image-unreadable": set(), "image-empty": set(),
    "echo-lost": set(), "reply-not-understood": set(), "parameter-erase-not-confirmed": set(),
    "file-type": set(),
    "port-refused": {"port", "reason"},
    "answers-held-back": {"delay_ms", "fix"},
    "latency-timer-long": {"latency_ms", "fix"},
}
REQUIRED = (["language.name"] + ["state." + s for s in STATES] +
            ["caption." + s for s in STATES] + ["hint." + h for h in HINTS])

PLACEHOLDER = re.compile(r"\{([A-Za-z0-9_.-]+)\}")
LOADER_LANGUAGE = re.compile(r"\{\s*code:\s*'([^']+)',\s*name:\s*'([^']+)'\s*\}")


def forms(value):
    """A value's strings: itself, or each plural form."""
    return list(value.values()) if isinstance(value, dict) else [value]


def placeholders(text):
    return set(PLACEHOLDER.findall(text))


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    twice = sorted({k for k in keys if keys.count(k) > 1})
    if twice:
        raise ValueError("key given twice: " + ", ".join(twice))
    return dict(pairs)


def read_catalog(path, faults):
    name = os.path.basename(path)
    try:
        with open(path, encoding="utf-8") as f:
            catalog = json.load(f, object_pairs_hook=no_duplicates)
    except (OSError, ValueError) as e:
        faults.append("%s: not a readable JSON file: %s" % (name, e))
        return None
    if not isinstance(catalog, dict):
        faults.append("%s: not a JSON object" % name)
        return None
    return catalog


def check_shapes(code, catalog, faults):
    """Strings or plural objects of strings, none empty; known categories."""
    for key, value in sorted(catalog.items()):
        where = "%s.json %s" % (code, key)
        if isinstance(value, dict):
            if not value or not all(isinstance(v, str) for v in value.values()):
                faults.append("%s: a plural object holds strings only" % where)
                continue
            categories = set(value)
            unknown = categories - CLDR_CATEGORIES
            if unknown:
                faults.append("%s: no such plural category: %s" % (where, ", ".join(sorted(unknown))))
            needs = PLURALS.get(code, {"other"})
            if needs - categories:
                faults.append("%s: lacks plural form %s" % (where, ", ".join(sorted(needs - categories))))
            extra = categories & CLDR_CATEGORIES - needs - {"other"}
            if extra:
                faults.append("%s: %s has no plural form %s" % (where, code, ", ".join(sorted(extra))))
        elif not isinstance(value, str):
            faults.append("%s: neither a string nor a plural object" % where)
            continue
        for text in forms(value):
            if isinstance(text, str) and not text.strip():
                faults.append("%s: empty text" % where)


def english_placeholders(en, faults):
    """Each English key's placeholders; its plural forms must agree."""
    wanted = {}
    for key, value in en.items():
        sets = [placeholders(t) for t in forms(value) if isinstance(t, str)]
        if any(s != sets[0] for s in sets):
            faults.append("en.json %s: its plural forms differ in placeholders" % key)
        wanted[key] = sets[0] if sets else set()
    return wanted


def check_against_english(code, catalog, en, wanted, faults):
    for key in sorted(set(en) - set(catalog)):
        faults.append("%s.json: lacks %s" % (code, key))
    for key in sorted(set(catalog) - set(en)):
        faults.append("%s.json: has %s, which en.json lacks" % (code, key))
    for key in sorted(set(catalog) & set(en)):
        value = catalog[key]
        if isinstance(value, dict) and "count" not in wanted[key]:
            faults.append("%s.json %s: plural forms, but no {count} to choose one by" % (code, key))
        for category, text in (value.items() if isinstance(value, dict) else [("", value)]):
            if not isinstance(text, str):
                continue
            got = placeholders(text)
            if got != wanted[key]:
                form = " (%s)" % category if category else ""
                faults.append("%s.json %s%s: placeholders {%s}, English has {%s}" % (
                    code, key, form, ", ".join(sorted(got)), ", ".join(sorted(wanted[key]))))


def check_required(en, faults):
    for key in REQUIRED:
        if key not in en:
            faults.append("en.json: lacks %s, which the page needs" % key)
    for hint, facts in sorted(HINTS.items()):
        value = en.get("hint." + hint)
        for text in forms(value) if value is not None else []:
            if isinstance(text, str) and placeholders(text) != facts:
                faults.append("en.json hint.%s: puts in {%s}; its facts are {%s}" % (
                    hint, ", ".join(sorted(placeholders(text))), ", ".join(sorted(facts))))


def check_loader(lang_dir, files, catalogs, faults):
    """The selector's languages are the catalogs there are, by their own names."""
    loader = os.path.join(os.path.dirname(os.path.abspath(lang_dir)), "i18n.js")
    if not os.path.exists(loader):
        return
    with open(loader, encoding="utf-8") as f:
        offered = dict(LOADER_LANGUAGE.findall(f.read()))
    for code in sorted(set(offered) - set(files)):
        faults.append("i18n.js offers %s, which has no catalog" % code)
    for code in sorted(set(files) - set(offered)):
        faults.append("%s.json: i18n.js does not offer it" % code)
    for code in sorted(set(offered) & set(catalogs)):
        own = catalogs[code].get("language.name")
        if isinstance(own, str) and own != offered[code]:
            faults.append("%s.json language.name '%s': i18n.js calls it '%s'" % (code, own, offered[code]))


def main():
    if len(sys.argv) != 2:
        print("usage: page_catalog_test.py LANG_DIR")
        return 2
    lang_dir = sys.argv[1]
    faults = []
    names = sorted(n for n in os.listdir(lang_dir) if n.endswith(".json"))
    for code in sorted(set(PLURALS) - {n[:-5] for n in names}):
        faults.append("%s.json: missing" % code)
    catalogs = {}
    for name in names:
        code = name[:-5]
        if code not in PLURALS:
            faults.append("%s: a language this test knows no plural forms of" % name)
        catalog = read_catalog(os.path.join(lang_dir, name), faults)
        if catalog is not None:
            check_shapes(code, catalog, faults)
            catalogs[code] = catalog
    en = catalogs.get("en")
    if en is not None:
        check_required(en, faults)
        wanted = english_placeholders(en, faults)
        for code, catalog in sorted(catalogs.items()):
            if code != "en":
                check_against_english(code, catalog, en, wanted, faults)
    check_loader(lang_dir, [n[:-5] for n in names], catalogs, faults)

    for fault in faults:
        print("FAIL: " + fault)
    # Each fault begins with the file it is in: a count of files, good and bad.
    faulty = {f.split(" ")[0].rstrip(":") for f in faults}
    print("catalogs: %d passed, %d failed" % (len(set(names) - faulty), len(faulty)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
