"""Run every benchmark of bench/ (files named bench_*.py, each with a main())."""

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402,F401  (puts the package on sys.path)


def main(argv):
    names = sorted(f[:-3] for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py"))
    if argv:
        names = [n for n in names if any(a in n for a in argv)]
    for name in names:
        importlib.import_module(name).main()


if __name__ == "__main__":
    main(sys.argv[1:])
