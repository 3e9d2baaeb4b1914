#!/usr/bin/python3
# A GTK 3 window with one entry for the integration tests, with the same interface as
# textfield.cpp: writes the entry's text to the file named by --out whenever it changes (and
# once at start) and prints "WINDOW <id>" when the window is shown.
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GdkX11, Gtk  # noqa: E402,F401


def argument(name, fallback=""):
    if name in sys.argv[:-1]:
        return sys.argv[sys.argv.index(name) + 1]
    return fallback


out = argument("--out")
window = Gtk.Window(title=argument("--title", "Harbelle GTK field"))
entry = Gtk.Entry()
entry.set_text(argument("--text"))


def write(*_):
    if not out:
        return
    partial = out + ".part"
    with open(partial, "w", encoding="utf-8") as stream:
        stream.write(entry.get_text())
    os.replace(partial, out)


entry.connect("changed", write)
window.connect("destroy", Gtk.main_quit)
window.add(entry)
window.resize(400, 60)
window.show_all()
entry.grab_focus()
write()
print("WINDOW", window.get_window().get_xid(), flush=True)
Gtk.main()
