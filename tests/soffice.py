"""LibreOffice headless for the tests, run without the sanitizer runtime.

Under ``make asan`` the suite runs with the sanitizer runtime preloaded;
LibreOffice inherits the environment and would abort on its own leaks, so
it gets the environment without the preload and the sanitizer options.
"""

import csv
import os
import shutil
import subprocess

SOFFICE = shutil.which("soffice") or shutil.which("libreoffice")

_SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def plain_env():
    return {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARS}


def run_soffice(*args, **kwargs):
    """``soffice --headless --norestore *args``, checked, output captured."""
    kwargs.setdefault("timeout", 300)
    return subprocess.run([SOFFICE, "--headless", "--norestore", *map(str, args)],
                          check=True, capture_output=True, env=plain_env(), **kwargs)


def convert(folder, to, path):
    """Converts `path` to the format `to` into `folder`, with a profile of
    its own there."""
    run_soffice(f"-env:UserInstallation=file://{folder}/profile", "--convert-to", to,
                "--outdir", folder, path)


def csv_rows(path, folder):
    """The rows of the first sheet of `path` as LibreOffice exports them
    (comma separated, double quotes, UTF-8)."""
    convert(folder, "csv:Text - txt - csv (StarCalc):44,34,76", path)
    with open(folder / (path.stem + ".csv"), newline="", encoding="utf-8") as f:
        return list(csv.reader(f))
