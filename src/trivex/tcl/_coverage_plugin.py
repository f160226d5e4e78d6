"""pytest options for Tcl line coverage (see trivex.tcl.coverage).

    --tcl-cov=PATH                 measure a Tcl file, or the Tcl files under a
                                   directory (repeatable; ini: tcl_cov)
    --tcl-cov-report=TYPE[:DEST]   term, term-missing, lcov[:FILE], xml[:FILE]
                                   (repeatable; default: term)
    --tcl-cov-fail-under=PERCENT   fail the run when the total is lower

Every Interpreter the run creates is measured, from configuration to the end
of the test loop.  Under pytest-xdist each worker measures its own
interpreters and sends its data to the controller, which reports the
combination.  When coverage.py measures the same run (pytest-cov, or
``coverage run -m pytest``) and lists ``trivex.tcl.coverage`` among its
plugins, the Tcl lines go into its data too.
"""

from __future__ import annotations

import os
import warnings
from typing import Any, Optional

import pytest

_WORKER_KEY = "trivex_tcl_cov"


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("tcl-cov", "Tcl line coverage (trivex.tcl)")
    group.addoption(
        "--tcl-cov",
        action="append",
        default=[],
        metavar="PATH",
        dest="tcl_cov",
        help="measure line coverage of a Tcl file, or of the Tcl files (*.tcl, *.tm) under a directory; "
        "repeatable",
    )
    group.addoption(
        "--tcl-cov-report",
        action="append",
        default=[],
        metavar="TYPE[:DEST]",
        dest="tcl_cov_report",
        help="Tcl coverage report: term, term-missing, lcov[:FILE] or xml[:FILE] (Cobertura); repeatable; "
        "default term",
    )
    group.addoption(
        "--tcl-cov-fail-under",
        type=float,
        default=None,
        metavar="PERCENT",
        dest="tcl_cov_fail_under",
        help="fail when the total Tcl line coverage is below PERCENT",
    )
    parser.addini("tcl_cov", type="paths", default=[], help="Tcl files or directories to measure (as --tcl-cov)")


def _parse_reports(options: list[str]) -> list[tuple[str, Optional[str]]]:
    from .coverage import parse_report_option

    out = []
    for option in options or ["term"]:
        try:
            kind, dest = parse_report_option(option)
        except ValueError as exc:
            raise pytest.UsageError("--tcl-cov-report: %s" % exc) from None
        if dest and kind.startswith("term"):
            raise pytest.UsageError("--tcl-cov-report: %s reports go to the terminal; %r takes no file" % (kind, kind))
        out.append((kind, dest or None))
    return out


def pytest_configure(config: Any) -> None:
    paths = list(config.getoption("tcl_cov") or []) or [str(p) for p in config.getini("tcl_cov")]
    if not paths:
        return
    reports = _parse_reports(config.getoption("tcl_cov_report"))
    from .coverage import TclCoverage

    try:
        cov = TclCoverage(paths)
    except FileNotFoundError as exc:
        raise pytest.UsageError("--tcl-cov: %s" % exc) from None
    config.pluginmanager.register(TclCovPlugin(config, cov, reports), "trivex_tcl_cov")


class TclCovPlugin:
    def __init__(self, config: Any, cov: Any, reports: list[tuple[str, Optional[str]]]) -> None:
        self.config = config
        self.cov = cov
        self.reports = reports
        self.fail_under: Optional[float] = config.getoption("tcl_cov_fail_under")
        self.is_worker = hasattr(config, "workerinput")
        self.total: Optional[float] = None
        self.failed_under = False
        self.written: list[str] = []
        cov.start()

    # Inner to pytest-cov's wrapper of the same hook, which saves coverage.py's
    # data when the loop ends: ours must hand it the Tcl lines first.
    @pytest.hookimpl(hookwrapper=True, trylast=True)
    def pytest_runtestloop(self, session: Any) -> Any:
        yield
        self.cov.stop()
        self._contribute()
        if self.is_worker:
            self.config.workeroutput[_WORKER_KEY] = self.cov.dumps()
        else:
            self._finish(session)

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node: Any, error: Any) -> None:
        text = getattr(node, "workeroutput", {}).get(_WORKER_KEY)
        if text:
            self.cov.loads(text)

    def _contribute(self) -> None:
        try:
            self.cov.contribute()
        except RuntimeError as exc:
            warnings.warn(pytest.PytestWarning("Tcl coverage not added to coverage.py's data: %s" % exc))

    def _finish(self, session: Any) -> None:
        from .coverage import DEFAULT_REPORT_FILES

        for kind, dest in self.reports:
            if kind in ("lcov", "xml"):
                path = dest or DEFAULT_REPORT_FILES[kind]
                self.cov.report(kind, path)
                self.written.append("%s written to %s" % ("LCOV tracefile" if kind == "lcov" else "Cobertura XML",
                                                          os.path.abspath(path)))
        self.total = self.cov.total()
        if self.fail_under is not None and self.total < self.fail_under:
            self.failed_under = True
            session.testsfailed += 1

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        if self.is_worker or self.total is None:
            return
        tr = terminalreporter
        tr.write_sep("=", "Tcl coverage")
        for kind, _ in self.reports:
            if kind.startswith("term"):
                import io

                buf = io.StringIO()
                self.cov.report(kind, buf)
                tr.write(buf.getvalue().split("\n", 1)[1])
        for line in self.written:
            tr.write_line(line)
        if self.failed_under and self.fail_under is not None:
            tr.write_line(
                "FAIL Required Tcl line coverage of %g%% not reached: total %.2f%%" % (self.fail_under, self.total),
                red=True,
                bold=True,
            )
        elif self.fail_under is not None:
            tr.write_line("Required Tcl line coverage of %g%% reached: total %.2f%%" % (self.fail_under, self.total))
