"""The command line `quorvel-import`: tick files into the tick cache the backtest reads."""

from __future__ import annotations

import argparse
import datetime as dt
import os
import sys
from typing import Dict, List, Optional, Sequence

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn
from rich.table import Table
from rich.text import Text

from quorvel.arguments import ArgumentParser, error_line
from quorvel.cache import day_files
from quorvel.data import (
    EXCHANGE_TIME_ZONE,
    DataImportError,
    ImportedDay,
    TickColumns,
    check_month,
    import_taifex,
    import_ticks,
)
from quorvel.data.actions import ACTIONS_FILE, import_actions
from quorvel.data.audit import DayAudit, audit_directory
from quorvel.data.settlements import SETTLEMENTS_FILE, import_settlements
from quorvel.data.tick_files import EPOCH_UNITS
from quorvel.market import TAIWAN

# The audit counts the gaps between ticks longer than this, in seconds.
DEFAULT_GAP_SECONDS = 300.0

# Options naming the optional columns of a generic file: option, TickColumns field.
_VALUE_OPTIONS = (
    ("--bid-column", "bid_price"),
    ("--bid-volume-column", "bid_volume"),
    ("--ask-column", "ask_price"),
    ("--ask-volume-column", "ask_volume"),
    ("--tick-type-column", "tick_type"),
)


def build_parser() -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog="quorvel-import",
        description=(
            "Import tick files into the tick cache that quorvel-backtest reads (--data-dir), "
            "one file per code and trading day, as the days fetched from the broker are kept. "
            "A day imported again is replaced; a day found in two of the files given is an error."
        ),
        epilog=(
            "Example: quorvel-import taifex Daily_2024_08_19.zip Daily_2024_08_20.zip "
            "--data-dir ~/quorvel/data, then quorvel-backtest --offline --data-dir "
            "~/quorvel/data --codes TXFR1 --start 2024-08-19 --end 2024-08-20 --no-backfill"
        ),
    )
    parser.add_version()
    sources = parser.add_subparsers(dest="source", required=True, metavar="SOURCE")
    taifex = sources.add_parser(
        "taifex",
        help="the futures exchange's daily tick files (zip or CSV)",
        description=(
            "The futures exchange's daily trade-by-trade files, a zip holding the CSV or the CSV "
            "itself.  Each file's trading day (the night session from 15:00 the trading day "
            "before, and the day session) is stored under TXFR1/TXFR2, MXFR1/MXFR2 and "
            "TMFR1/TMFR2 for TX, MTX and TMF (R1 rolls to the next month on the expiry day) and "
            "under each month's own code (TXFH4 for August 2024)."
        ),
    )
    taifex.add_argument("files", nargs="+", metavar="FILE")
    taifex.add_argument(
        "--months",
        nargs="+",
        type=_month,
        metavar="YYYYMM",
        help=(
            "store only these months under their own codes (202408: TXFH4, MXFH4, TMFH4; "
            "default: every month that traded)"
        ),
    )
    settlements = sources.add_parser(
        "settlements",
        help="the futures months' final settlement prices (CSV or parquet)",
        description=(
            "Final settlement prices of futures months, kept in the data directory for the runs "
            "over it: columns product (TXF, MXF, TMF; TX, MTX taken too), month (YYYYMM) and "
            "settlement_price.  A month imported again takes the new price."
        ),
    )
    settlements.add_argument("files", nargs="+", metavar="FILE")
    actions = sources.add_parser(
        "actions",
        help="stocks' dividends and capital reductions (CSV or parquet)",
        description=(
            "Corporate actions, kept in the data directory for the runs over it: columns code, "
            "ex_date (YYYY-MM-DD), cash_dividend (NTD a share), stock_dividend (new shares a "
            "share), and optionally payment_date and capital_reduction (shares cancelled a "
            "share).  An action of a code and ex-date imported again takes the new figures."
        ),
    )
    actions.add_argument("files", nargs="+", metavar="FILE")
    ticks = sources.add_parser(
        "ticks",
        help="one code's ticks from CSV or parquet files",
        description=(
            "One code's ticks from CSV or parquet files: a time (epoch count or datetime), a "
            "price and a volume, and optionally the bid, the ask, their volumes and a tick "
            "type.  A futures code's night session is stored under the next trading day."
        ),
    )
    ticks.add_argument("files", nargs="+", metavar="FILE")
    ticks.add_argument(
        "--code", required=True, help="the code the ticks are stored under (2330, TXFR1)"
    )
    ticks.add_argument(
        "--time-column", default="ts", metavar="NAME", help="the time column (default: ts)"
    )
    ticks.add_argument(
        "--time-zone",
        default=EXCHANGE_TIME_ZONE,
        metavar="ZONE",
        help=(
            f"the zone the times are written in (default: {EXCHANGE_TIME_ZONE}); an epoch count "
            "counts that zone's wall clock, so give UTC for Unix time"
        ),
    )
    ticks.add_argument(
        "--epoch-unit",
        choices=EPOCH_UNITS,
        default="ns",
        help="unit of an epoch time column (default: ns)",
    )
    ticks.add_argument(
        "--price-column", default="close", metavar="NAME", help="the price column (default: close)"
    )
    ticks.add_argument(
        "--volume-column",
        default="volume",
        metavar="NAME",
        help="the volume column (default: volume)",
    )
    for option, field in _VALUE_OPTIONS:
        ticks.add_argument(
            option,
            dest=field,
            metavar="NAME",
            help=f"the {field.replace('_', ' ')} column (default: {field} if there, or neutral)",
        )
    for sub in (taifex, settlements, actions, ticks):
        sub.add_argument(
            "--data-dir", required=True, metavar="DIR", help="the data directory of the tick cache"
        )
    check = sources.add_parser(
        "check",
        help="the audit of a data directory's tick cache, day by day",
        description=(
            "Per code and day of the tick cache under DIR: the ticks, the first and the last "
            "tick's time, the gaps inside a session longer than --gap, the coverage of each "
            "session (the share of its minutes that hold a tick) and whether the day passes "
            "the checks a run holds it to; each fault is then named on a line of its own.  "
            "Exits with 1 when a day has a fault."
        ),
    )
    check.add_argument("directory", metavar="DIR", help="the data directory")
    check.add_argument(
        "--gap",
        type=float,
        default=DEFAULT_GAP_SECONDS,
        metavar="SECONDS",
        help=f"a gap between ticks longer than this is counted (default: {DEFAULT_GAP_SECONDS:g})",
    )
    return parser


def _columns(args: argparse.Namespace) -> TickColumns:
    return TickColumns(
        time=args.time_column,
        price=args.price_column,
        volume=args.volume_column,
        **{field: getattr(args, field) for _, field in _VALUE_OPTIONS},
    )


def _render(days: List[ImportedDay], data_dir: str, console: Console) -> None:
    """One line per code: its days, the first and the last, and its ticks."""
    table = Table(title="imported")
    for heading, justify in (
        ("code", "left"),
        ("days", "right"),
        ("first", "left"),
        ("last", "left"),
        ("ticks", "right"),
    ):
        table.add_column(heading, justify=justify)  # type: ignore[arg-type]
    by_code: Dict[str, List[ImportedDay]] = {}
    for day in days:
        by_code.setdefault(day.code, []).append(day)
    for code, imported in sorted(by_code.items()):
        ticks = sum(day.ticks for day in imported)
        table.add_row(code, str(len(imported)), imported[0].day, imported[-1].day, f"{ticks:,}")
    console.print(table)
    console.print(
        f"{len(days)} days of {len(by_code)} codes written to "
        f"{day_files.cache_directory(data_dir)}",
        soft_wrap=True,
    )


def _check(args: argparse.Namespace, console: Console) -> int:
    """Print the audit of the data directory; 1 when a day has a fault or there is no cache."""
    if not args.gap > 0:
        error_line(f"--gap must be a positive number of seconds, not {args.gap:g}")
        return 2
    try:
        days = audit_directory(args.directory, TAIWAN, args.gap)
    except OSError as error:
        error_line(f"no tick cache to check: {error}")
        return 1
    console.print(_audit_table(days, args.gap))
    faults = [day.fault for day in days if day.fault is not None]
    for fault in faults:
        console.print(Text(fault, "red"), soft_wrap=True)
    console.print(f"{len(days)} days checked, {len(faults)} with a fault", soft_wrap=True)
    return 1 if faults else 0


def _audit_table(days: List[DayAudit], gap: float) -> Table:
    """The audit as a table narrow enough for 80 columns."""
    from rich import box

    table = Table(
        box=box.SIMPLE_HEAD,
        pad_edge=False,
        collapse_padding=True,
        caption=f"gaps: inside a session, longer than {gap:g} s (the longest in brackets)",
    )
    for heading, justify in (
        ("code", "left"),
        ("day", "left"),
        ("ticks", "right"),
        ("first", "left"),
        ("last", "left"),
        ("gaps", "right"),
        ("sessions covered", "left"),
        ("check", "left"),
    ):
        table.add_column(heading, justify=justify)  # type: ignore[arg-type]
    for day in days:
        gaps = f"{day.gaps} ({_duration(day.longest_gap)})" if day.gaps else "0"
        coverage = " ".join(f"{name} {share:.0%}" for name, share in day.coverage) or "closed"
        table.add_row(
            day.code,
            day.day,
            f"{day.ticks:,}",
            _clock(day.first),
            _clock(day.last),
            gaps,
            coverage,
            Text("ok", "green") if day.fault is None else Text("fault", "red"),
        )
    return table


def _clock(moment: Optional[dt.datetime]) -> str:
    return "-" if moment is None else moment.strftime("%H:%M:%S")


def _duration(seconds: float) -> str:
    """A gap as its largest unit: 45s, 14m, 3h."""
    if seconds < 60:
        return f"{seconds:.0f}s"
    if seconds < 3600:
        return f"{seconds / 60:.0f}m"
    return f"{seconds / 3600:.0f}h"


# The tables kept whole in the data directory: the import, what its rows are, its file.
_TABLES = {
    "settlements": (import_settlements, "final settlement prices of {} months", SETTLEMENTS_FILE),
    "actions": (import_actions, "{} corporate actions", ACTIONS_FILE),
}


def _import_table(args: argparse.Namespace, console: Console) -> int:
    importer, rows, file_name = _TABLES[args.source]
    try:
        count = importer(args.files, args.data_dir)
    except DataImportError as error:
        error_line(f"import failed, nothing written: {error}")
        return 1
    except OSError as error:
        error_line(f"import failed: {error}")
        return 1
    console.print(
        f"{rows.format(count)} kept in {os.path.join(os.path.expanduser(args.data_dir), file_name)}",
        soft_wrap=True,
    )
    return 0


def _month(text: str) -> str:
    try:
        return check_month(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console command; returns the exit status (argument errors exit with 2)."""
    args = build_parser().parse_args(argv)
    console = Console(width=None if sys.stdout.isatty() else 100)
    progress = Progress(
        TextColumn("reading files"),
        BarColumn(),
        MofNCompleteColumn(),
        console=console,
        transient=True,
    )
    if args.source in _TABLES:
        return _import_table(args, console)
    if args.source == "check":
        return _check(args, console)
    task = progress.add_task("files", total=len(args.files))
    done = lambda path: progress.advance(task)  # noqa: E731
    try:
        with progress:
            if args.source == "taifex":
                days = import_taifex(args.files, args.data_dir, months=args.months, file_done=done)
            else:
                days = import_ticks(
                    args.files,
                    args.data_dir,
                    args.code,
                    columns=_columns(args),
                    time_zone=args.time_zone,
                    epoch_unit=args.epoch_unit,
                    file_done=done,
                )
    except DataImportError as error:
        error_line(f"import failed, nothing written: {error}")
        return 1
    except OSError as error:  # the data directory: a file in its place, read-only, full
        error_line(f"import failed: {error}")
        return 1
    _render(days, args.data_dir, console)
    return 0
