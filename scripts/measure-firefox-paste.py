#!/usr/bin/python3
# Pastes clips through the real program into Firefox ESR's three kinds of text field (an input,
# a textarea and a contenteditable block), as a user does: the field is clicked, the caret put at
# its end, the hot key pressed and Return chosen on the shelf. Each paste is checked by the text
# the page itself holds (it writes its fields into its title), waited for on a deadline, and
# read again once the program has ended the paste, so that a clip landing twice is seen too.
# Run inside a private desktop (scripts/measure-firefox-paste.sh does that).
#
# Usage: measure-firefox-paste.py HARBELLE [--rounds N] [--shortcut on|off|both] [--rich] [--keep]
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

warnings.simplefilter("ignore")

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>fields</title></head>
<body style="font: 16px sans-serif">
<p><input id="line" aria-label="one-line" size="40" value="abc"></p>
<p><textarea id="lines" aria-label="many-lines" cols="40" rows="3">abc</textarea></p>
<div id="block" contenteditable="true" aria-label="editable-block"
     style="border: 1px solid; width: 400px; padding: 4px">abc</div>
<div id="rich" contenteditable="true" aria-label="rich-block"
     style="border: 1px solid; width: 400px; padding: 4px"><p>A <b>first</b> line</p><p>abc</p></div>
<script>
const fields = ["line", "lines", "block", "rich"].map(id => document.getElementById(id));
// Which field holds a caret at its very end (-1 for none), as the page itself sees it.
function caretAtEnd() {
  const f = document.activeElement;
  const index = fields.indexOf(f);
  if (index < 0) return -1;
  if (!f.isContentEditable) return f.selectionStart === f.value.length && f.selectionEnd === f.value.length ? index : -1;
  const selection = getSelection();
  if (!selection.isCollapsed || selection.rangeCount === 0) return -1;
  const rest = document.createRange();
  rest.setStart(selection.focusNode, selection.focusOffset);
  rest.setEnd(f, f.childNodes.length);
  return rest.toString() === "" ? index : -1;
}
function show() {
  // A window title is cut short: each field gives its length and its last 40 characters.
  const texts = fields.map(f => [...(f.isContentEditable ? f.textContent : f.value)])
                      .map(t => t.length + ":" + t.slice(-40).join(""));
  const title = "F" + JSON.stringify([...texts, caretAtEnd()]);
  if (document.title !== title) document.title = title;
}
setInterval(show, 20);
show();
</script>
</body></html>
"""

# A new profile that asks nothing of the network and shows no first-run pages.
PREFS = {
    "app.update.auto": False,
    "app.update.enabled": False,
    "app.normandy.enabled": False,
    "browser.aboutwelcome.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.tabs.warnOnClose": False,
    "datareporting.healthreport.uploadEnabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "extensions.update.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "network.dns.disablePrefetch": True,
    "network.prefetch-next": False,
    "services.settings.server": "http://127.0.0.1:9/",
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.unified": False,
}

FIELDS = [("input", 0, "one-line", "End"), ("textarea", 1, "many-lines", "ctrl+End"),
          ("contenteditable", 2, "editable-block", "ctrl+End")]
# With --rich: a contenteditable of paragraphs, whose text as the bus gives it holds an
# embedded-object character for each paragraph.
RICH = ("rich-editable", 3, "rich-block", "ctrl+End")
ALL_FIELDS = FIELDS + [RICH]


def run(*args, timeout=10):
    try:
        done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired:
        return 1, ""


def wait_for(condition, seconds, interval=0.02):
    until = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= until:
            return value
        time.sleep(interval)


def active_window_name():
    return run("xdotool", "getactivewindow", "getwindowname")[1].strip()


def stop_process(process, log):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
    log.close()


class Firefox:
    def __init__(self, work):
        profile = os.path.join(work, "profile")
        os.makedirs(profile)
        with open(os.path.join(profile, "user.js"), "w") as prefs:
            for name, value in PREFS.items():
                prefs.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        page = os.path.join(work, "fields.html")
        with open(page, "w") as out:
            out.write(PAGE)
        self.log = open(os.path.join(work, "firefox.log"), "w")
        self.process = subprocess.Popen(
            ["firefox-esr", "--no-remote", "--new-instance", "--profile", profile, "file://" + page],
            stdout=self.log, stderr=subprocess.STDOUT)
        self.window = None
        self.fields = {}

    def start(self):
        def window():
            code, out = run("xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid))
            for candidate in out.split():
                name = run("xdotool", "getwindowname", candidate)[1].strip()
                if name.startswith("F["):
                    return candidate
            return None
        self.window = wait_for(window, 90, 0.2)
        if not self.window:
            return False
        run("xdotool", "windowsize", self.window, "1100", "700")
        return bool(wait_for(self.find_fields, 30, 0.2))

    def find_fields(self):
        desktop = Atspi.get_desktop(0)
        for index in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(index)
            if app is None or app.get_process_id() != self.process.pid:
                continue
            found = {}
            self.walk(app, found, 0)
            if len(found) == len(ALL_FIELDS):
                self.fields = found
                return True
        return False

    def walk(self, node, found, depth):
        if node is None or depth > 40:
            return
        try:
            name = node.get_name() or ""
            if name in {label for _, _, label, _ in ALL_FIELDS} and node.get_text_iface() is not None:
                found[name] = node
            for index in range(node.get_child_count()):
                self.walk(node.get_child_at_index(index), found, depth + 1)
        except Exception:
            return

    def texts(self):
        name = run("xdotool", "getwindowname", self.window)[1].strip()
        if not name.startswith("F["):
            return None
        name = name[1:]
        end = name.rfind("]")
        try:
            return json.loads(name[:end + 1])
        except ValueError:
            return None

    # The field's length and its last 40 characters, as "LENGTH:TAIL".
    def text(self, index):
        texts = self.texts()
        return texts[index] if texts else None

    def activate(self):
        run("xdotool", "windowactivate", "--sync", self.window)
        return wait_for(lambda: run("xdotool", "getactivewindow")[1].strip() == self.window, 5)

    # Clicks the field and puts the caret at its end; true once the page says the field has the
    # focus with its caret there.
    def focus_end(self, label, index, end_key):
        element = self.fields[label]
        for _ in range(5):
            if not self.activate():
                continue
            box = element.get_component_iface().get_extents(Atspi.CoordType.SCREEN)
            run("xdotool", "mousemove", str(box.x + box.width // 2), str(box.y + box.height // 2), "click", "1")
            run("xdotool", "key", end_key)
            if wait_for(lambda: (self.texts() or [None])[-1] == index, 3):
                return True
        return False

    def stop(self):
        stop_process(self.process, self.log)


class Harbelle:
    def __init__(self, binary, work, system_shortcut):
        self.root = os.path.join(work, "harbelle-" + ("on" if system_shortcut else "off"))
        env = dict(os.environ)
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"):
            env[name] = os.path.join(self.root, name)
            os.makedirs(env[name])
        with open(os.path.join(env["XDG_CONFIG_HOME"], "com.harbelleapp.Harbelle.json"), "w") as settings:
            json.dump({"hasLaunchedPemberlow": True, "pasteUsesSystemShortcut": system_shortcut}, settings)
        env.pop("QT_QPA_PLATFORM", None)
        self.history = os.path.join(env["XDG_DATA_HOME"], "Pemberlow", "history.json")
        self.out_path = os.path.join(self.root, "stdout.txt")
        self.out = open(self.out_path, "w")
        self.process = subprocess.Popen([binary, "--paste-diagnostics"], env=env, stdout=self.out,
                                        stderr=subprocess.STDOUT)

    def newest(self):
        try:
            with open(self.history) as f:
                items = json.load(f).get("items", [])
            return items[0].get("text") if items else None
        except (OSError, ValueError):
            return None

    def copy(self, text):
        xclip = subprocess.Popen(["xclip", "-selection", "clipboard", "-i"], stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        xclip.communicate(text.encode())
        return wait_for(lambda: self.newest() == text, 10, 0.05)

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def open_shelf(self):
        for _ in range(3):
            run("xdotool", "key", "shift+super+v")
            if wait_for(lambda: active_window_name() == "Harbelle", 5):
                return True
        return False

    def stop(self):
        stop_process(self.process, self.out)


def measure(binary, work, firefox, system_shortcut, rounds, fields):
    harbelle = Harbelle(binary, work, system_shortcut)
    if not wait_for(lambda: os.path.isdir(os.path.dirname(harbelle.history)), 20, 0.05):
        print("the program did not start", file=sys.stderr)
        harbelle.stop()
        return None
    counts = {}
    mode = "Ctrl+V (pasteUsesSystemShortcut on)" if system_shortcut else "accessibility (pasteUsesSystemShortcut off)"
    print(f"== {mode}")
    for kind, index, label, end_key in fields:
        right = 0
        for number in range(1, rounds + 1):
            # Every third clip is not ASCII: offsets are counted in characters, lengths in bytes.
            clip = f"-{kind[:2]}{'k' if system_shortcut else 'a'}{number}" + ("é✓" if number % 3 == 0 else "")
            verdict, detail = paste_once(harbelle, firefox, kind, index, label, end_key, clip)
            right += verdict == "right"
            counts.setdefault(verdict, 0)
            counts[verdict] += 1
            print(f"{kind:16} {number}: {verdict:14} {detail}", flush=True)
        print(f"{kind:16} {right}/{rounds} right", flush=True)
    harbelle.stop()
    return counts


def paste_once(harbelle, firefox, kind, index, label, end_key, clip):
    if not harbelle.copy(clip):
        return "setup", "the clip was not saved"
    if not firefox.focus_end(label, index, end_key):
        return "setup", "the field did not take the focus"
    before = firefox.text(index)
    if before is None:
        return "setup", "the page cannot be read"
    length, tail = before.split(":", 1)
    expected = f"{int(length) + len(clip)}:{(tail + clip)[-40:]}"
    log_start = len(harbelle.output())
    if not harbelle.open_shelf():
        return "setup", "the shelf did not open"
    started = time.monotonic()
    run("xdotool", "key", "Return")
    landed = wait_for(lambda: firefox.text(index) == expected, 10)
    landed_ms = int((time.monotonic() - started) * 1000)

    def outcome():
        lines = harbelle.output()[log_start:]
        if "paste done" in lines:
            return "done"
        if "paste failed" in lines:
            return "failed"
        return None
    ended = wait_for(outcome, 10)
    # A clip that lands twice (the insert late, after its Ctrl+V) shows up after the end.
    time.sleep(1.5)
    after = firefox.text(index)
    lines = harbelle.output()[log_start:]
    route = "insert" if "direct AX insertion succeeded" in lines else (
        "Ctrl+V" if "posting Ctrl+V" in lines else "none")
    if "falling back to synthetic" in lines and route != "insert":
        route = "insert->Ctrl+V" if "AX insert requested" in lines else "Ctrl+V"
    # The shelf comes back after a failed paste: put it away for the next round.
    if active_window_name() == "Harbelle":
        run("xdotool", "key", "Escape")
    detail = f"{route}, {landed_ms} ms, field {after!r}"
    if after is None:
        return "unreadable", detail + " (Firefox or its page is gone)"
    if after == expected and ended == "done":
        return "right", detail
    if after is not None and after.count(clip) > before.count(clip) + 1:
        return "doubled", detail
    if ended == "done":
        return "false-success", detail
    if ended == "failed" and after == before:
        return "told-failed", detail
    return "wrong", detail + f", outcome {ended}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("harbelle")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--shortcut", choices=["on", "off", "both"], default="both")
    parser.add_argument("--rich", action="store_true", help="also paste into a contenteditable of paragraphs")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs)")
    args = parser.parse_args()
    if not shutil.which("firefox-esr"):
        print("firefox-esr is not installed (apt-get install firefox-esr)", file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="harbelle-firefox.")
    firefox = Firefox(work)
    try:
        if not firefox.start():
            print("Firefox did not show the page's fields", file=sys.stderr)
            return 1
        failed = False
        for system_shortcut in {"off": [False], "on": [True], "both": [False, True]}[args.shortcut]:
            counts = measure(os.path.abspath(args.harbelle), work, firefox, system_shortcut, args.rounds,
                             FIELDS + ([RICH] if args.rich else []))
            if counts is None:
                return 1
            right = counts.get("right", 0)
            total = sum(counts.values())
            print(f"total {right}/{total} right; " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
            failed |= right != total
        return 1 if failed else 0
    finally:
        firefox.stop()
        if args.keep:
            print("logs in " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
