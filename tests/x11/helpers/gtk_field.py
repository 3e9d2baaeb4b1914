#!/usr/bin/python3
# A GTK 3 window with one entry for the integration tests, with the same interface as
# textfield.cpp: writes the entry's text to the file named by --out whenever it changes (and
# once at start) and prints "WINDOW <id>" when the window is shown. With --entries N it shows N
# entries (the first focused) and writes their texts one a line. With --textview it shows one
# multi-line Gtk.TextView instead (a drop target), at the top left of the screen.
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
entries = [Gtk.Entry() for _ in range(max(1, int(argument("--entries", "1"))))]
entries[0].set_text(argument("--text"))


def text_of(field):
    if isinstance(field, Gtk.TextView):
        buffer = field.get_buffer()
        return buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), True)
    return field.get_text()


def write(*_):
    if not out:
        return
    partial = out + ".part"
    with open(partial, "w", encoding="utf-8") as stream:
        stream.write("\n".join(text_of(entry) for entry in entries))
    os.replace(partial, out)


box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
if "--textview" in sys.argv:
    entries = [Gtk.TextView()]
    entries[0].get_buffer().set_text(argument("--text"))
    entries[0].get_buffer().connect("changed", write)
    box.pack_start(entries[0], True, True, 0)
    window.move(0, 0)
    window.resize(400, 240)
else:
    for entry in entries:
        entry.connect("changed", write)
        box.pack_start(entry, False, False, 0)
window.connect("destroy", Gtk.main_quit)
window.add(box)
if "--textview" not in sys.argv:
    window.resize(400, 60)
window.show_all()
entries[0].grab_focus()
write()
print("WINDOW", window.get_window().get_xid(), flush=True)
Gtk.main()
