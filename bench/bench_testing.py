"""trivex.tcl.testing: what a time limit costs the evaluations it watches
(nothing per call is the aim: the deadline is kept by a watcher thread), and
what a mocked command's call costs against a plain published callback."""

from harness import Table


def main():
    from trivex.tcl.interpreter import Interpreter
    from trivex.tcl.testing import mock_command, time_limit

    interp = Interpreter()
    free = Interpreter()  # the same work with no limit, alternating rounds
    tk = interp.tk
    table = Table("testing: time limits and mock commands")

    with time_limit(3600, tcl=interp):
        table.compare('interp.eval("set x 1") in time_limit', lambda: interp.eval("set x 1"),
                      'interp.eval("set x 1"), no limit', lambda: free.eval("set x 1"), 1.05)
        table.compare('interp.j.set("x", "v") in time_limit', lambda: interp.j.set("x", "v"),
                      'interp.j.set("x", "v"), no limit', lambda: free.j.set("x", "v"), 1.05)

    def limited_eval():
        with time_limit(3600, tcl=interp):
            interp.eval("set x 1")

    table.single("time_limit entered and left around one eval", limited_eval)

    def callback(*words):
        return ""

    interp.create_callback(callback, cmd_name="bench_cb")
    with mock_command("bench_mocked", tcl=interp):
        table.compare('tk.call("bench_mocked", "a", "b") (mock)', lambda: tk.call("bench_mocked", "a", "b"),
                      'tk.call("bench_cb", "a", "b") (callback)', lambda: tk.call("bench_cb", "a", "b"), 2.0)
        table.compare('interp.j.bench_mocked("a", "b") (mock)', lambda: interp.j.bench_mocked("a", "b"),
                      'interp.j.bench_cb("a", "b") (callback)', lambda: interp.j.bench_cb("a", "b"), 2.0)
    interp.remove_callback("bench_cb")
    table.print()


if __name__ == "__main__":
    main()
