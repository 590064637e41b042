"""Another application the user types into: a GTK window with one text field
whose text is written to the file named on the command line after every
change. GTK sets _NET_WM_USER_TIME on each key press, as real applications
do, which is what a window manager's focus-stealing prevention weighs."""

import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402


def main(record):
    window = Gtk.Window(title="orvo-typing-target")
    window.set_default_size(400, 100)
    entry = Gtk.Entry()

    def changed(field):
        with open(record, "w", encoding="utf-8") as f:
            f.write(field.get_text())

    entry.connect("changed", changed)
    window.add(entry)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    Gtk.main()


if __name__ == "__main__":
    main(sys.argv[1])
