"""The Dask recipe of docs/scaling.md runs as written: its two files, taken
from the page, score records as a dask.bag and as a dask.dataframe on a
LocalCluster of two worker processes, with the results of one process, and
leave no process behind.

Dask is installed in the main CPython's environment only (the test tools of
tools/requirements-main.txt); elsewhere (PyPy, the other CPython versions)
this test is skipped. The test command sets VELMO_DASK_REQUIRED=1 for the
main CPython, where a missing module then fails the test instead.
"""
import importlib
import os
import re
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

for module in ("dask.bag", "dask.dataframe", "distributed", "psutil"):
    if os.environ.get("VELMO_DASK_REQUIRED") == "1":
        importlib.import_module(module)
    pytest.importorskip(module, reason="dask, distributed and pandas are test tools of the main CPython "
                                       "only (tools/requirements-main.txt)")
import psutil  # noqa: E402  (distributed's own dependency)

PAGE = Path(__file__).resolve().parents[2] / "docs" / "scaling.md"


def page_files():
    """{file name: code} of the page's blocks that open with ```python NAME.py."""
    text = PAGE.read_text(encoding="utf-8")
    return dict(re.findall(r"^```python (\w+\.py)\n(.*?)^```$", text, flags=re.M | re.S))


def processes_marked(marker):
    """The processes whose environment holds the marker: the script's own and
    every one it started, since they inherit it."""
    found = []
    for proc in psutil.process_iter():
        try:
            if proc.environ().get("VELMO_SCALING_TEST") == marker:
                found.append(proc)
        except (psutil.NoSuchProcess, psutil.AccessDenied, psutil.ZombieProcess):
            pass
    return found


def test_dask_recipe_gives_the_results_of_one_process(tmp_path):
    files = page_files()
    assert sorted(files) == ["dask_job.py", "scoring.py"]
    for name, code in files.items():
        (tmp_path / name).write_text(code, encoding="utf-8")
    marker = uuid.uuid4().hex
    env = dict(os.environ, VELMO_SCALING_TEST=marker)
    if "PYTHONPATH" in env:  # the script runs from another folder
        env["PYTHONPATH"] = os.pathsep.join(map(os.path.abspath, env["PYTHONPATH"].split(os.pathsep)))
    proc = subprocess.run([sys.executable, "dask_job.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=180, env=env)
    # The workers end with the cluster, before the script does; the resource
    # tracker of multiprocessing ends when it sees its parent gone.
    deadline = time.monotonic() + 10
    while (left := processes_marked(marker)) and time.monotonic() < deadline:
        time.sleep(0.1)
    strays = [" ".join(p.cmdline()) for p in left]
    for stray in left:
        stray.kill()
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert re.fullmatch(r"one process: 40,000 records, [\d,]+ to check", lines[0]), proc.stdout
    assert lines[1:] == ["dask.bag, 8 parts on 2 workers: the same results",
                         "dask.dataframe, 8 parts on 2 workers: the same results"]
    assert strays == []
