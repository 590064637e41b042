#!/usr/bin/python3
"""Another application's window, titled "cover", on X11 or Wayland alike: the
window that holds the front before ORVO is asked to come forward."""
import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402

window = Gtk.Window(title="cover")
window.set_default_size(900, 600)
window.add(Gtk.Label(label="another application"))
window.connect("destroy", Gtk.main_quit)
window.show_all()
window.present()
Gtk.main()
