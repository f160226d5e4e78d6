"""Use a Tcl interpreter from Python as if Tcl were part of Python."""
