"""The cache after faults: runs healing one day at once, writers killed, a manifest lost."""

import hashlib
import json
import logging
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

from quorvel.cache import day_files
from quorvel.cache import manifest as cache_manifest
from quorvel.constant import BASIC_INFO
from quorvel.modules.ticker import ticker as ticker_module
from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import SimulatedBroker

DAY = "2024-01-02"  # a Tuesday with ticks
NAME = f"2330 {DAY} - ticks.csv"
WAIT = 60  # seconds a process may take to start, or to load the day


class Silent:
    def print(self, *args):
        pass

    error = print


def heal_in_turns(data_dir, barrier, rounds):
    """A run of its own: loads the day once a round, all processes starting together."""
    BASIC_INFO.data_dir = data_dir
    ticker_module.console = ticker_module.logger = Silent()
    ticker = Ticker(SimulatedBroker(ticks_per_day=5))
    for _ in range(rounds):
        barrier.wait(WAIT)  # the day is spoiled
        ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
        barrier.wait(WAIT)  # every process has loaded it


def set_aside_files(cache_dir):
    return sorted(path for path in cache_dir.iterdir() if path.name.startswith(NAME + ".corrupt-"))


def test_runs_healing_one_day_at_once_set_aside_only_the_corrupt_file(cache_dir, data_dir):
    runs, rounds = 4, 20  # enough rounds that, without the judgement under the lock, one goes wrong
    Ticker(SimulatedBroker(ticks_per_day=5))._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    path = cache_dir / NAME
    clean = path.read_bytes()
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(runs + 1)
    processes = [context.Process(target=heal_in_turns, args=(str(data_dir), barrier, rounds))
                 for _ in range(runs)]
    for process in processes:
        process.start()
    try:
        spoiled = []
        for turn in range(rounds):
            # A corruption of its own each round: a first "ts" too long for an integer.
            spoiled.append(clean.replace(b"\n", f"\n{turn + 1}".encode(), 1))
            path.write_bytes(spoiled[-1])
            barrier.wait(WAIT)
            barrier.wait(WAIT)
            assert path.read_bytes() == clean
            assert [aside.read_bytes() for aside in set_aside_files(cache_dir)] == spoiled
    except BaseException:
        barrier.abort()  # the processes go at once
        raise
    finally:
        for process in processes:
            process.join(WAIT)
            if process.exitcode is None:
                process.kill()
    assert [process.exitcode for process in processes] == [0] * runs
    [entry] = json.loads((cache_dir / "manifest.json").read_text())["files"].values()
    assert entry["rows"] == 5


def test_a_day_set_aside_by_another_run_while_it_is_read_is_fetched_again(cache_dir, monkeypatch):
    broker = SimulatedBroker(ticks_per_day=5)
    ticker = Ticker(broker)
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    isfile = os.path.isfile

    def found_then_set_aside(path):
        """Another run sets the day aside right after this one found it."""
        found = isfile(path)
        if found and os.path.basename(path) == NAME:
            os.replace(path, f"{path}.corrupt-by-another-run")
        return found

    monkeypatch.setattr(os.path, "isfile", found_then_set_aside)
    assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY).equals(first)
    assert len(broker.tick_requests) == 2


# --- entries lost ---------------------------------------------------------

NEXT_DAY = "2024-01-03"


def without_the_entry(cache_dir):
    """A writer stopped between replacing the day file and recording it."""
    manifest = json.loads((cache_dir / "manifest.json").read_text())
    del manifest["files"][NAME]
    (cache_dir / "manifest.json").write_text(json.dumps(manifest))


def without_the_manifest(cache_dir):
    (cache_dir / "manifest.json").unlink()


def with_a_manifest_that_is_not_json(cache_dir):
    (cache_dir / "manifest.json").write_text('{"files": {"2330 2024-01-02 - ti')


def with_an_entry_that_is_not_one(cache_dir):
    (cache_dir / "manifest.json").write_text(json.dumps({"files": {NAME: {"rows": "5"}}}))


UNREADABLE = "{manifest} is unreadable ({why}); moved to {manifest}.corrupt-"

# how the entries went: (the loss, the line that tells of the rebuilding, manifest set aside)
LOSSES = {
    "entry missing": (without_the_entry, "{manifest} has no entry for " + NAME, False),
    "manifest deleted": (without_the_manifest, "{manifest} is missing", False),
    "manifest not JSON": (with_a_manifest_that_is_not_json, UNREADABLE.replace(
        "{why}", "Unterminated string starting at: line 1 column 12 (char 11)"), True),
    "manifest entry malformed": (with_an_entry_that_is_not_one, UNREADABLE.replace(
        "{why}", f"the entry of {NAME} is not a row count and a SHA-256"), True),
}


def warnings(caplog):
    return [record.getMessage() for record in caplog.records
            if record.name == "quorvel.cache.manifest" and record.levelno == logging.WARNING]


@pytest.mark.parametrize("loss", list(LOSSES))
def test_lost_entries_are_rebuilt_from_files_that_pass_and_said_once(loss, cache_dir, caplog):
    spoil, told, manifest_set_aside = LOSSES[loss]
    broker = SimulatedBroker(ticks_per_day=5)
    ticker = Ticker(broker)
    first = [ticker._Ticker__auto_fetch_ticks("2330", "Stock", day) for day in (DAY, NEXT_DAY)]
    recorded = json.loads((cache_dir / "manifest.json").read_text())["files"]
    spoil(cache_dir)

    again = [ticker._Ticker__auto_fetch_ticks("2330", "Stock", day) for day in (DAY, NEXT_DAY)]

    assert all(one.equals(other) for one, other in zip(first, again))
    assert len(broker.tick_requests) == 2
    assert json.loads((cache_dir / "manifest.json").read_text())["files"] == recorded
    [line] = warnings(caplog)
    manifest = cache_dir / "manifest.json"
    assert line.startswith(f"tick cache: {told.format(manifest=manifest)}")
    assert line.endswith("entries are rebuilt from the day files that pass the content checks")
    aside = [path for path in cache_dir.iterdir() if path.name.startswith("manifest.json.corrupt-")]
    assert len(aside) == manifest_set_aside


@pytest.mark.parametrize("loss", list(LOSSES))
def test_a_day_cut_at_a_row_boundary_after_the_loss_is_fetched_again(loss, cache_dir, logger):
    broker = SimulatedBroker(ticks_per_day=5)
    ticker = Ticker(broker)
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    LOSSES[loss][0](cache_dir)
    ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    path = cache_dir / NAME
    path.write_text("".join(path.read_text().splitlines(keepends=True)[:-1]))

    healed = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)

    assert healed.equals(first) and len(broker.tick_requests) == 2
    assert logger.records()[0]["error"] == "列數 4 與紀錄的 5 不符"


def last_newline_lost(path, cache_dir):
    path.write_bytes(path.read_bytes()[:-1])


# what a file without its entry shows: (how it came to be, the reason it is set aside)
UNRECORDED_FAULTS = {
    "last line without its newline": (last_newline_lost, "最後一列不完整: 檔案結尾沒有換行"),
}


@pytest.mark.parametrize("fault", list(UNRECORDED_FAULTS))
def test_a_file_without_an_entry_unlike_what_the_feed_writes_is_set_aside(fault, cache_dir, logger):
    spoil, reason = UNRECORDED_FAULTS[fault]
    broker = SimulatedBroker(ticks_per_day=5)
    ticker = Ticker(broker)
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    without_the_manifest(cache_dir)
    path = cache_dir / NAME
    spoil(path, cache_dir)

    healed = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)

    assert healed.equals(first) and broker.tick_requests == [("2330", DAY)] * 2
    [record] = logger.records()
    assert record["error"] == reason and record["data"]["file"] == str(path)
    assert NAME in json.loads((cache_dir / "manifest.json").read_text())["files"]


@pytest.mark.parametrize("code, market, day",
                         [("2330", "Stock", DAY), ("TXFR1", "Future", "2024-01-08")],
                         ids=["stock", "futures night session from the Friday before"])
def test_a_whole_day_without_an_entry_is_kept(code, market, day, cache_dir, logger):
    broker = SimulatedBroker(ticks_per_day=50)
    ticker = Ticker(broker)
    first = ticker._Ticker__auto_fetch_ticks(code, market, day)
    without_the_manifest(cache_dir)
    assert ticker._Ticker__auto_fetch_ticks(code, market, day).equals(first)
    assert len(broker.tick_requests) == 1 and logger.lines == []


# --- writers killed -------------------------------------------------------

def run_python(script, data_dir):
    """Runs `script` in a process of its own with the data directory set: its exit code and
    output."""
    prelude = textwrap.dedent(f"""
        import os, signal, json
        from quorvel.constant import BASIC_INFO
        from quorvel.modules.ticker import ticker as ticker_module
        from quorvel.modules.ticker.ticker import Ticker
        from quorvel.sim import SimulatedBroker
        BASIC_INFO.data_dir = {str(data_dir)!r}
        silent = type("Silent", (), {{"print": print, "error": print}})()
        ticker_module.console = ticker_module.logger = silent
        """)
    child = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)],
                           capture_output=True, text=True, timeout=WAIT)
    return child.returncode, child.stdout


@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="a kill -9 needs SIGKILL")
def test_a_day_whose_writer_was_killed_before_recording_it_is_recorded_by_the_next_run(
        cache_dir, data_dir):
    Ticker(SimulatedBroker(ticks_per_day=5)).fetch_sino_history_ticks(
        "2330", "Stock", NEXT_DAY, NEXT_DAY)
    killed, _ = run_python("""
        json.dump = lambda *args, **kwargs: os.kill(os.getpid(), signal.SIGKILL)  # the manifest's
        ticker = Ticker(SimulatedBroker(ticks_per_day=5))
        ticker.fetch_sino_history_ticks("2330", "Stock", "2024-01-02", "2024-01-02")
        """, data_dir)
    assert killed == -signal.SIGKILL
    [left] = [path.name for path in cache_dir.iterdir() if path.name.endswith(".tmp")]
    assert left.startswith("manifest.json.")
    assert NAME not in (cache_dir / "manifest.json").read_text()

    exit_code, out = run_python("""
        broker = SimulatedBroker(ticks_per_day=5)
        rows = Ticker(broker)._Ticker__auto_fetch_ticks("2330", "Stock", "2024-01-02").shape[0]
        print(json.dumps([rows, len(broker.tick_requests)]))
        """, data_dir)

    assert exit_code == 0 and json.loads(out.splitlines()[-1]) == [5, 0]
    assert [path.name for path in cache_dir.iterdir() if path.name.endswith(".tmp")] == []
    recorded = json.loads((cache_dir / "manifest.json").read_text())["files"]
    assert set(recorded) == {NAME, f"2330 {NEXT_DAY} - ticks.csv"}


def test_only_stale_temporary_files_of_the_cache_are_removed(cache_dir):
    ended = subprocess.Popen([sys.executable, "-c", "pass"])
    ended.wait(WAIT)
    before_this_process = cache_manifest.PROCESS_STARTED - 60
    planted = {  # name: (older than this process, removed)
        f"{NAME}.{ended.pid}-1.tmp": (True, True),
        f"manifest.json.{ended.pid}-2.tmp": (True, True),
        f"{NAME}.{ended.pid}-3.tmp": (False, False),  # written since this process started
        f"{NAME}.{os.getpid()}-4.tmp": (True, False),  # this process's own
        f"{NAME}.{os.getppid()}-5.tmp": (True, False),  # a process still running
        f"notes.csv.{ended.pid}-6.tmp": (True, False),  # not a name of the cache's
        f"{NAME}.{ended.pid}-7.tmp.corrupt-20240102T000000.000000Z": (True, False),
    }
    cache_dir.mkdir(parents=True)
    for name, (old, _) in planted.items():
        (cache_dir / name).write_text("ts,clo")
        if old:
            os.utime(cache_dir / name, (before_this_process, before_this_process))

    Ticker(SimulatedBroker(ticks_per_day=5))._Ticker__auto_fetch_ticks("2330", "Stock", DAY)

    removed = {name for name in planted if not (cache_dir / name).exists()}
    assert removed == {name for name, (_, expected) in planted.items() if expected}


# --- the hashing thread ---------------------------------------------------

@pytest.mark.parametrize("large", [True, False], ids=["large day, thread stopped", "small day"])
def test_days_are_checked_however_their_bytes_are_hashed(large, cache_dir, monkeypatch):
    """A large day on the hashing thread, which takes no more work at exit; a small one in line."""
    ticker = Ticker(SimulatedBroker(ticks_per_day=5))
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    stopped = ThreadPoolExecutor(1)
    stopped.shutdown()
    monkeypatch.setitem(day_files._hashers, os.getpid(), stopped)
    if large:  # as large as the smallest day hashed alongside
        monkeypatch.setattr(day_files, "HASHED_ALONGSIDE_FROM", (cache_dir / NAME).stat().st_size)
    handed = []
    alongside = day_files._sha256_alongside
    monkeypatch.setattr(day_files, "_sha256_alongside", lambda c: handed.append(c) or alongside(c))
    path = str(cache_dir / NAME)
    assert day_files.read_day(path, ticker.tick_df_schema).equals(first.drop("code"))
    (cache_dir / NAME).write_text((cache_dir / NAME).read_text().replace(",1\n", ",2\n", 1))
    with pytest.raises(day_files.CorruptCacheFile, match="^SHA-256 與紀錄不符$"):
        day_files.read_day(path, ticker.tick_df_schema)
    assert bool(handed) == large


def hash_in_a_forked_child(connection):
    connection.send(day_files._sha256_alongside(b"ticks")())


@pytest.mark.skipif(not hasattr(os, "fork"), reason="fork is POSIX only")
# Forking while the hashing thread runs is the point; 3.12 and later warn of any such fork.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_made_by_fork_hashes_on_a_thread_of_its_own():
    day_files._sha256_alongside(b"ticks")()  # the parent's thread is running
    parent_end, child_end = multiprocessing.Pipe()
    child = multiprocessing.get_context("fork").Process(target=hash_in_a_forked_child,
                                                        args=(child_end,))
    child.start()
    try:
        assert parent_end.poll(WAIT) and parent_end.recv() == hashlib.sha256(b"ticks").hexdigest()
    finally:
        child.join(WAIT)
        if child.exitcode is None:
            child.kill()
