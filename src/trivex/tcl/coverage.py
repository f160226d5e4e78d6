"""Line coverage of Tcl source files, measured while Python drives them.

:class:`TclCoverage` measures which lines of chosen Tcl files run in the
package's interpreters: code run by ``source``, procs and TclOO methods those
files define, ``namespace eval`` bodies, ``apply`` lambdas, and the bodies of
the control commands, byte-compiled or not.  A line is *executable* when a
Tcl command begins on it, as Tcl's own parser reads the file; comments, blank
lines and continuation lines do not count.

Example::

    from trivex.tcl.coverage import TclCoverage
    from trivex.tcl.interpreter import Interpreter

    cov = TclCoverage(["tcl/"])
    with cov:                                  # start() ... stop()
        interp = Interpreter()                 # measured: made while started
        interp.eval("source tcl/util.tcl; util::run")
    cov.report("term-missing")                 # a table on stdout
    cov.report("lcov", "tcl.info")             # for genhtml
    cov.report("xml", "tcl-coverage.xml")      # Cobertura, for CI viewers

The module is also a coverage.py plugin: with ``plugins =
["trivex.tcl.coverage"]`` in coverage.py's configuration, measured Tcl files
handed over by :meth:`TclCoverage.contribute` (the pytest option
``--tcl-cov`` does it by itself) appear in ``coverage report``, ``html`` and
``xml`` beside the Python files.

Measuring keeps Tcl's byte-compiled code: a command compiled inline carries
a call that marks its line until the line first runs, and then none; each
command Tcl invokes passes a trace.  Code compiled while measuring is
compiled again, without the probes, after :meth:`TclCoverage.stop`.  The
data say whether a line ran, not how often.
"""

from __future__ import annotations

import io
import json
import os
import sys
import time
from typing import IO, Any, Iterable, Iterator, Mapping, Optional, Union

from . import _entrypoints

__all__ = ["TclCoverage", "executable_lines", "find_tcl_files", "coverage_init", "TCL_SUFFIXES", "REPORT_TYPES", "parse_report_option"]

TCL_SUFFIXES = (".tcl", ".tm")
"""File name endings that make a file in a measured directory a Tcl file."""

REPORT_TYPES = ("term", "term-missing", "lcov", "xml")
DEFAULT_REPORT_FILES = {"lcov": "coverage-tcl.info", "xml": "coverage-tcl.xml"}


def _check_report_type(kind: str) -> None:
    if kind not in REPORT_TYPES:
        raise ValueError("unknown report type %r (expected one of %s)" % (kind, ", ".join(REPORT_TYPES)))


def parse_report_option(option: str) -> tuple[str, str]:
    """Split a ``TYPE[:DEST]`` report option into its type and destination
    (empty when none is given).

    Raises:
        ValueError: an unknown type.
    """
    kind, _, dest = option.partition(":")
    _check_report_type(kind)
    return kind, dest

_HOOK_GROUP = "trivex.tcl"
_HOOK_NAME = "tcl_init"
_PLUGIN_NAME = __name__ + ".TclPlugin"  # as coverage.py names a plugin


def _native() -> Any:
    from . import _tclcov

    return _tclcov


def find_tcl_files(paths: Iterable[Union[str, "os.PathLike[str]"]]) -> list[str]:
    """The real paths of the Tcl files that `paths` name, sorted, once each.

    A file is taken whatever its name; a directory stands for every file
    under it whose name ends in one of `TCL_SUFFIXES`.

    Raises:
        FileNotFoundError: a path does not exist.
    """
    found: set[str] = set()
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            for root, dirs, files in os.walk(p):
                dirs[:] = [d for d in dirs if not d.startswith(".") and d != "__pycache__"]
                for f in files:
                    if f.endswith(TCL_SUFFIXES):
                        found.add(os.path.realpath(os.path.join(root, f)))
        elif os.path.exists(p):
            found.add(os.path.realpath(p))
        else:
            raise FileNotFoundError("Tcl coverage path does not exist: %s" % p)
    return sorted(found)


def _read_source(path: str) -> str:
    # As `source` reads a file: the system encoding (UTF-8 here), any line
    # ending, and nothing after a ^Z.
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read()
    cut = text.find("\x1a")
    return text if cut < 0 else text[:cut]


_parse_cache: dict[tuple[str, float, int], tuple[tuple[int, ...], dict[int, int]]] = {}


def _parse(path: str) -> tuple[tuple[int, ...], dict[int, int]]:
    st = os.stat(path)
    key = (path, st.st_mtime, st.st_size)
    found = _parse_cache.get(key)
    if found is None:
        found = _parse_cache[key] = _native().command_lines(_read_source(path))
    return found


def executable_lines(path: str) -> tuple[int, ...]:
    """The sorted line numbers of `path` on which a Tcl command begins,
    including commands in the bodies of procs, methods, lambdas and control
    commands."""
    return _parse(path)[0]


def _real_lines(path: str, reported: tuple[Iterable[int], Iterable[int]]) -> set[int]:
    """The lines Tcl reported running (outside and inside apply lambdas),
    corrected where Tcl misnumbers them: in lambdas holding
    backslash-newlines."""
    outside, inside = reported
    try:
        executable, fix = _parse(path)
    except OSError:
        return set()
    # Commands in expressions also report their lines; only the lines of
    # executable commands count.
    return (set(outside) | {fix.get(line, line) for line in inside}) & set(executable)


def _line_count(path: str) -> int:
    return _read_source(path).count("\n") + 1


def _interpaddr(tcl: Any) -> int:
    """The Tcl interpreter address of an Interpreter, tkinter.Tk/Tcl() or
    _tkinter app object."""
    for obj in (tcl, getattr(tcl, "tk", None)):
        if obj is not None and callable(getattr(type(obj), "interpaddr", None)):
            return int(obj.interpaddr())
    raise TypeError("expected an Interpreter or a tkinter Tcl interpreter, got %s" % type(tcl).__name__)


def _ranges(lines: Iterable[int], executable: tuple[int, ...]) -> str:
    """Missing lines as ranges, where a range may span non-executable lines
    but no executed one: "3-5, 9"."""
    missing = set(lines)
    runs: list[list[int]] = []
    open_run = False
    for line in executable:
        if line in missing:
            if open_run:
                runs[-1][1] = line
            else:
                runs.append([line, line])
            open_run = True
        else:
            open_run = False
    return ", ".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in runs)


def _percent(covered: int, total: int) -> float:
    return 100.0 * covered / total if total else 100.0


def _shown(covered: int, total: int) -> str:
    """A percentage for a table, rounded but never to 100% or 0% unless it
    is that (as coverage.py shows them)."""
    pc = _percent(covered, total)
    if 0 < pc < 1:
        pc = 1
    elif 99 < pc < 100:
        pc = 99
    return "%d%%" % round(pc)


class TclCoverage:
    """Measures which lines of the given Tcl files run.

    Arguments:
        paths: Tcl files, or directories standing for the Tcl files under
            them (see `find_tcl_files`).

    Data accumulates over any number of `start()`/`stop()` rounds and
    `update()` calls.  Also a context manager: ``with cov:`` starts
    measuring every interpreter and stops at the end of the block.

    Raises:
        FileNotFoundError: a path does not exist.
    """

    def __init__(self, paths: Iterable[Union[str, "os.PathLike[str]"]]) -> None:
        if isinstance(paths, (str, os.PathLike)):
            paths = [paths]
        self.paths = [os.fspath(p) for p in paths]
        self.files = find_tcl_files(self.paths)
        self._lines: dict[str, set[int]] = {f: set() for f in self.files}
        self._session: Optional[int] = None
        self._hook: Any = None

    # ------------------------------------------------------------ measuring

    @property
    def started(self) -> bool:
        """Whether measuring is on."""
        return self._session is not None

    def start(self, tcl: Any = None) -> "TclCoverage":
        """Start measuring.

        Arguments:
            tcl: the one interpreter to measure (an Interpreter, or a
                tkinter Tcl interpreter); by default every Interpreter: the
                package's shared one and every Interpreter created until
                `stop()`.

        Returns:
            This object, so that ``cov = TclCoverage(p).start()`` works.

        Raises:
            RuntimeError: already started, or the Tcl in this process is not
                8.6.
        """
        if self._session is not None:
            raise RuntimeError("Tcl coverage is already started")
        tcl_native = _native()
        session = tcl_native.open_session({f: _line_count(f) for f in self.files})
        self._session = session
        try:
            if tcl is not None:
                self.attach(tcl)
            else:
                shared = getattr(sys.modules.get(__package__ + ".interpreter"), "_global_interpreter", None)
                if shared is not None:
                    self.attach(shared)
                self._hook = _entrypoints.add_local_entry_point(_HOOK_GROUP, _HOOK_NAME, self.attach)
        except BaseException:
            self.stop()
            raise
        return self

    def attach(self, tcl: Any) -> None:
        """Measure one more interpreter, until `stop()`.

        Raises:
            RuntimeError: not started.
        """
        if self._session is None:
            raise RuntimeError("Tcl coverage is not started")
        _native().attach(self._session, _interpaddr(tcl))

    def stop(self) -> None:
        """Stop measuring and keep what was measured.  No error when not
        started."""
        if self._hook is not None:
            _entrypoints.remove_local_entry_point(self._hook)
            self._hook = None
        if self._session is None:
            return
        session, self._session = self._session, None
        tcl_native = _native()
        try:
            self.update({p: _real_lines(p, ls) for p, ls in tcl_native.hits(session).items()})
        finally:
            tcl_native.close_session(session)

    def __enter__(self) -> "TclCoverage":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # ----------------------------------------------------------------- data

    def data(self) -> dict[str, set[int]]:
        """What was measured: ``{real path: {executable lines that ran}}``
        for every measured file (an empty set for a file no line of which
        ran).
        While started, this includes what ran so far."""
        lines = {f: set(ls) for f, ls in self._lines.items()}
        if self._session is not None:
            for path, ran in _native().hits(self._session).items():
                lines.setdefault(path, set()).update(_real_lines(path, ran))
        return lines

    def update(self, data: Mapping[str, Iterable[int]]) -> None:
        """Add measurements of the kind `data()` returns (from another
        process, say)."""
        for path, ran in data.items():
            self._lines.setdefault(path, set()).update(int(line) for line in ran)

    def dumps(self) -> str:
        """The data as JSON text, which `loads()` reads back."""
        return json.dumps({p: sorted(ls) for p, ls in self.data().items()})

    def loads(self, text: str) -> None:
        """Add data that `dumps()` wrote."""
        self.update(json.loads(text))

    def analysis(self, path: str) -> tuple[tuple[int, ...], list[int], list[int]]:
        """``(executable, executed, missing)`` line numbers of one measured file."""
        executable = executable_lines(path)
        done = self.data().get(path, set())
        ran = [line for line in executable if line in done]
        missing = [line for line in executable if line not in done]
        return executable, ran, missing

    def _summary(self) -> list[tuple[str, str, tuple[int, ...], set[int]]]:
        data = self.data()
        rows = []
        for path in sorted(data):
            if not os.path.exists(path):
                continue
            rows.append((path, _display_name(path), executable_lines(path), data[path]))
        return rows

    def total(self) -> float:
        """Percentage of executable lines that ran, over all measured files."""
        n = covered = 0
        for _, _, executable, counts in self._summary():
            n += len(executable)
            covered += sum(1 for line in executable if line in counts)
        return _percent(covered, n)

    # -------------------------------------------------------------- reports

    def report(self, kind: str = "term", file: Union[None, str, "os.PathLike[str]", IO[str]] = None) -> float:
        """Write a report; return the total percentage.

        Arguments:
            kind: "term" (a table of files with their share of lines run),
                "term-missing" (the table plus the line ranges that did not
                run), "lcov" (an LCOV tracefile, as genhtml reads) or "xml"
                (Cobertura XML, as coverage.py writes it).
            file: where to: a path, a text stream, or None for standard
                output ("term", "term-missing") or "coverage-tcl.info" /
                "coverage-tcl.xml" ("lcov", "xml").

        Raises:
            ValueError: an unknown report kind.
        """
        _check_report_type(kind)
        rows = self._summary()
        if kind in ("term", "term-missing"):
            text = _table(rows, kind == "term-missing")
        elif kind == "lcov":
            text = _lcov(rows)
        else:
            text = _cobertura(rows)
        if file is None and kind in ("lcov", "xml"):
            file = DEFAULT_REPORT_FILES[kind]
        if file is None:
            sys.stdout.write(text)
        elif isinstance(file, (str, os.PathLike)):
            with open(file, "w", encoding="utf-8") as f:
                f.write(text)
        else:
            file.write(text)
        return self.total()

    # --------------------------------------------------------- coverage.py

    def contribute(self, cov: Any = None) -> bool:
        """Hand the measured Tcl lines to coverage.py's data, so that its
        reports show the Tcl files beside the Python ones.

        Arguments:
            cov: a ``coverage.Coverage``; by default the one measuring now.

        Returns:
            False when there is no Coverage to hand the data to.

        Raises:
            RuntimeError: coverage.py is not configured with this module as
                a plugin (``plugins = ["trivex.tcl.coverage"]``), without
                which it cannot report Tcl files.
        """
        if cov is None:
            try:
                import coverage
            except ImportError:
                return False
            cov = coverage.Coverage.current()
            if cov is None:
                return False
        if __name__ not in (cov.config.plugins or []):
            raise RuntimeError(
                "coverage.py cannot report Tcl files without its plugin: add %r to [run] plugins "
                "in its configuration" % __name__
            )
        data = cov.get_data()
        lines = {}
        for path, ran in self.data().items():
            executable = set(executable_lines(path)) if os.path.exists(path) else set()
            lines[path] = sorted(ran & executable)
        if data.has_arcs():
            data.add_arcs({p: [(-1, line) for line in ls] for p, ls in lines.items()})
        else:
            data.add_lines(lines)
        data.add_file_tracers({p: _PLUGIN_NAME for p in lines})
        return True


def _display_name(path: str) -> str:
    rel = os.path.relpath(path)
    return path if rel.startswith(os.pardir + os.sep) or rel == os.pardir else rel


_Row = tuple[str, str, tuple[int, ...], set[int]]


def _table(rows: list[_Row], show_missing: bool) -> str:
    header = ["Name", "Stmts", "Miss", "Cover"] + (["Missing"] if show_missing else [])
    body = []
    n = miss = 0
    for path, name, executable, counts in rows:
        missing = [line for line in executable if line not in counts]
        n += len(executable)
        miss += len(missing)
        row = [name, str(len(executable)), str(len(missing)),
               _shown(len(executable) - len(missing), len(executable))]
        if show_missing:
            row.append(_ranges(missing, executable))
        body.append(row)
    total = ["TOTAL", str(n), str(miss), _shown(n - miss, n)] + ([""] if show_missing else [])
    width = [max(len(r[i]) for r in [header, total] + body) for i in range(len(header))]

    def fmt(r: list[str]) -> str:
        cells = [r[0].ljust(width[0])] + [r[i].rjust(width[i]) for i in range(1, 4)]
        if show_missing:
            cells.append(r[4])
        return "   ".join(cells).rstrip() + "\n"

    rule = "-" * len(fmt(header).rstrip()) + "\n"
    out = io.StringIO()
    out.write("Tcl coverage\n")
    out.write(fmt(header) + rule)
    for r in body:
        out.write(fmt(r))
    out.write(rule + fmt(total))
    return out.getvalue()


def _lcov(rows: list[_Row]) -> str:
    out = io.StringIO()
    for path, _, executable, counts in rows:
        out.write("TN:\nSF:%s\n" % path)
        for line in executable:
            out.write("DA:%d,%d\n" % (line, line in counts))
        out.write("LF:%d\nLH:%d\nend_of_record\n" % (len(executable), sum(1 for l in executable if l in counts)))
    return out.getvalue()


def _rate(covered: int, total: int) -> str:
    return "%.4g" % (covered / total if total else 1)


def _cobertura(rows: list[_Row]) -> str:
    from xml.dom import minidom

    from . import __version__

    doc = minidom.Document()
    root = doc.appendChild(doc.createElement("coverage"))
    source_dir = os.getcwd()
    root.appendChild(doc.createComment(" Generated by trivex.tcl: %s " % __version__))
    sources = root.appendChild(doc.createElement("sources"))
    sources.appendChild(doc.createElement("source")).appendChild(doc.createTextNode(source_dir))
    packages = root.appendChild(doc.createElement("packages"))
    by_package: dict[str, list[tuple[str, tuple[int, ...], set[int]]]] = {}
    for path, name, executable, counts in rows:
        rel = os.path.relpath(path, source_dir)
        if rel.startswith(os.pardir):
            rel = path
        by_package.setdefault(os.path.dirname(rel).replace(os.sep, ".") or ".", []).append((rel, executable, counts))
    n_all = hit_all = 0
    for pkg_name in sorted(by_package):
        pkg = doc.createElement("package")
        classes = doc.createElement("classes")
        n_pkg = hit_pkg = 0
        for rel, executable, counts in sorted(by_package[pkg_name]):
            cls = doc.createElement("class")
            cls.setAttribute("name", os.path.basename(rel))
            cls.setAttribute("filename", rel.replace(os.sep, "/"))
            cls.setAttribute("complexity", "0")
            cls.appendChild(doc.createElement("methods"))
            lines = cls.appendChild(doc.createElement("lines"))
            hit = 0
            for line in executable:
                e = lines.appendChild(doc.createElement("line"))
                e.setAttribute("number", str(line))
                e.setAttribute("hits", "1" if line in counts else "0")
                hit += line in counts
            cls.setAttribute("line-rate", _rate(hit, len(executable)))
            cls.setAttribute("branch-rate", "0")
            classes.appendChild(cls)
            n_pkg += len(executable)
            hit_pkg += hit
        pkg.setAttribute("name", pkg_name)
        pkg.setAttribute("line-rate", _rate(hit_pkg, n_pkg))
        pkg.setAttribute("branch-rate", "0")
        pkg.setAttribute("complexity", "0")
        pkg.appendChild(classes)
        packages.appendChild(pkg)
        n_all += n_pkg
        hit_all += hit_pkg
    root.setAttribute("version", __version__)
    root.setAttribute("timestamp", str(int(time.time() * 1000)))
    root.setAttribute("lines-valid", str(n_all))
    root.setAttribute("lines-covered", str(hit_all))
    root.setAttribute("line-rate", _rate(hit_all, n_all))
    root.setAttribute("branches-covered", "0")
    root.setAttribute("branches-valid", "0")
    root.setAttribute("branch-rate", "0")
    root.setAttribute("complexity", "0")
    return doc.toprettyxml()


# ------------------------------------------------------ coverage.py plugin


def _coverage_plugin_classes() -> tuple[type, type]:
    import coverage

    class TclFileReporter(coverage.FileReporter):
        """Reads a Tcl source for coverage.py's reports."""

        def lines(self) -> set[int]:
            return set(executable_lines(self.filename))

        def source(self) -> str:
            return _read_source(self.filename)

    class TclPlugin(coverage.CoveragePlugin):
        """Lets coverage.py report Tcl files: their executable lines, their
        text, and the unrun Tcl files under its source directories."""

        def file_tracer(self, filename: str) -> None:
            return None  # Tcl runs in no Python frame; TclCoverage measures it

        def file_reporter(self, filename: str) -> Any:
            return TclFileReporter(filename)

        def find_executable_files(self, src_dir: str) -> Iterator[str]:
            for root, dirs, files in os.walk(src_dir):
                dirs[:] = [d for d in dirs if not d.startswith(".") and d != "__pycache__"]
                for f in files:
                    if f.endswith(TCL_SUFFIXES):
                        yield os.path.join(root, f)

    TclPlugin.__module__ = TclFileReporter.__module__ = __name__
    return TclPlugin, TclFileReporter


def coverage_init(reg: Any, options: Mapping[str, Any]) -> None:
    """coverage.py's plugin entry: registers the Tcl file reporter."""
    plugin, _ = _coverage_plugin_classes()
    reg.add_file_tracer(plugin())
