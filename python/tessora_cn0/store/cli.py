"""``tessora-cn0 store PATH list | show | events | forget``, and the ``--store`` of report and batch.

Exit status as the rest of the command: 1 when the store (or a file) cannot be read or written,
or names no such station or day, 2 on bad arguments.
"""
import csv
import datetime
import json
import os
import sys

from tessora_cn0.store.schema import StoreError

EVENT_COLUMNS = ["station", "day", "start", "end", "peak_time", "duration", "peak_degradation_db", "bands",
                 "kind", "latitude", "longitude", "degradation_db", "systems", "satellites_affected",
                 "satellites_lost", "statistic", "path"]


def _failure(path, reason):
    from tessora_cn0.cli import _Failure
    return _Failure(path, reason)


def open_store(path, must_exist=False):
    """The StationStore at path; a command's failure (exit status 1) when it cannot be opened."""
    from tessora_cn0.store.store import StationStore
    if must_exist and not os.path.exists(path):
        raise _failure(path, "no such station store")
    try:
        return StationStore(path)
    except StoreError as exc:
        raise _failure(exc.path, exc.reason) from None


def add_store_option(p, network=False):
    also = "; the network events are kept too" if network else ""
    p.add_argument("--store", metavar="PATH", help="station store (SQLite file, created when absent): judge "
                                                   f"against each station's stored template and record the day{also}")


def add_parser(sub):
    p = sub.add_parser("store", help="the station store: judged days, events and templates",
                       description="Inspect or edit a station store (written by report/batch --store): list its "
                                   "stations, show one station's set-ups, templates and days, query the "
                                   "events, or forget a station or a day.")
    p.add_argument("path", metavar="PATH", help="the station store (SQLite file)")
    actions = p.add_subparsers(dest="action", metavar="ACTION", required=True)
    a = actions.add_parser("list", help="the stations with their days, events and templates")
    a.set_defaults(run=_cmd_list, parser=a)
    a = actions.add_parser("show", help="one station: set-ups, templates, days")
    a.add_argument("station", metavar="STATION")
    a.add_argument("--html", metavar="FILE", help="write the templates' CN0-against-elevation page ('-' for stdout)")
    a.set_defaults(run=_cmd_show, parser=a)
    a = actions.add_parser("events", help="the stored events, filtered; CSV (default) or JSON")
    a.add_argument("--since", metavar="TIME", help="events ending at or after TIME (YYYY-MM-DD[THH:MM:SS])")
    a.add_argument("--until", metavar="TIME", help="events starting at or before TIME (a date: its whole day)")
    a.add_argument("--station", metavar="STATION")
    a.add_argument("--kind", metavar="KIND", help="wideband, band-limited or spoofing-like (comma-separated)")
    a.add_argument("--bbox", metavar="W,S,E,N",
                   help="min_lon,min_lat,max_lon,max_lat in degrees (--bbox=-10,35,5,45 when it starts with a minus)")
    out = a.add_mutually_exclusive_group()
    out.add_argument("--csv", metavar="FILE", nargs="?", const="-", help="write CSV to FILE (default stdout)")
    out.add_argument("--json", metavar="FILE", nargs="?", const="-", help="write a JSON list to FILE ('-': stdout)")
    a.set_defaults(run=_cmd_events, parser=a)
    a = actions.add_parser("forget", help="forget a station or one day (STATION/YYYY-MM-DD)",
                           description="Forget a station (all its days) or one of its days, given as "
                                       "STATION/YYYY-MM-DD; the set-up's template is combined again without them.")
    a.add_argument("target", metavar="STATION|DAY")
    a.set_defaults(run=_cmd_forget, parser=a)
    return p


def _age(stamp):
    """How long ago a UTC time text was, in words."""
    try:
        then = datetime.datetime.fromisoformat(stamp.rstrip("Z")).replace(tzinfo=datetime.timezone.utc)
    except (AttributeError, ValueError):
        return "?"
    seconds = (datetime.datetime.now(datetime.timezone.utc) - then).total_seconds()
    for unit, size in (("d", 86400), ("h", 3600), ("min", 60)):
        if seconds >= size:
            return f"{seconds / size:.0f} {unit}"
    return f"{max(seconds, 0):.0f} s"


def _cmd_list(args):
    with open_store(args.path, must_exist=True) as store:
        stations = _guarded(store, store.stations)
    if not stations:
        sys.stdout.write("(no stations)\n")
        return 0
    lines = [f"{'station':<12} {'days':>5} {'clean':>5} {'events':>6} {'setups':>6}  first .. last"]
    for s in stations:
        lines.append(f"{s['marker']:<12} {s['days']:>5} {s['clean_days']:>5} {s['events']:>6} {s['setups']:>6}  "
                     f"{s['first_day']} .. {s['last_day']}")
    sys.stdout.write("\n".join(lines) + "\n")
    return 0


def _guarded(store, call, *a, **kw):
    try:
        return call(*a, **kw)
    except StoreError as exc:
        raise _failure(exc.path, exc.reason) from None
    except LookupError as exc:
        raise _failure(store.path, str(exc).split(": ", 1)[-1]) from None


def _setup_title(s):
    return f"receiver {s['receiver'] or '?'} {s['firmware'] or ''}".rstrip() + f", antenna {s['antenna'] or '?'}"


def _template_note(s):
    if s["template_days"] is None:
        return "no template"
    return (f"template of {len(s['template_days'])} clean days ({s['template_first_day']} .. "
            f"{s['template_last_day']}), updated {_age(s['template_updated'])} ago")


def _cmd_show(args):
    from tessora_cn0.store.records import Setup
    with open_store(args.path, must_exist=True) as store:
        setups = _guarded(store, store.setups, args.station)
        if not setups:
            raise _failure(args.path, f"no station {args.station!r} in the store")
        days = _guarded(store, store._day_rows, args.station)
        templates = [_guarded(store, store.template, args.station, Setup(s["receiver"], s["antenna"], s["firmware"]))
                     for s in setups]
    if args.html:
        from tessora_cn0.cli import _write_text
        from tessora_cn0.store import page
        sections = [(_setup_title(s), f"{s['first_day']} .. {s['last_day']}, {s['days']} days; {_template_note(s)}",
                     t.to_json() if t is not None else None) for s, t in zip(setups, templates)]
        _write_text(args.html, page.render_html(args.station, sections))
        if args.html == "-":
            return 0
    lines = [f"{args.station}: {len(days)} days, {len(setups)} set-ups"]
    for s in setups:
        lines.append(f"  {_setup_title(s)}: {s['first_day']} .. {s['last_day']}, {s['days']} days; {_template_note(s)}")
    lines.append("")
    # mode: how the day was judged ("elevation", "mixed", "baseline"; "live" for a monitor's day).
    lines.append(f"{'day':<10} {'verdict':<10} {'mode':<9} {'events':>6} {'stored':>6}  path")
    for d in days:
        lines.append(f"{d['day']:<10} {d['verdict']:<10} {d['mode']:<9} {d['events']:>6} "
                     f"{'yes' if d['used_store'] else 'no':>6}  {d['path']}")
    sys.stdout.write("\n".join(lines) + "\n")
    return 0


def _filters(args):
    filters = {"since": args.since, "until": args.until, "station": args.station}
    if args.kind:
        filters["kind"] = [k.strip() for k in args.kind.split(",") if k.strip()]
    if args.bbox:
        parts = args.bbox.split(",")
        try:
            filters["bbox"] = [float(v) for v in parts]
        except ValueError:
            args.parser.error(f"--bbox takes four numbers min_lon,min_lat,max_lon,max_lat, not {args.bbox!r}")
    return filters


def _cmd_events(args):
    filters = _filters(args)
    with open_store(args.path, must_exist=True) as store:
        try:
            rows = store._event_rows(**filters)
        except StoreError as exc:
            raise _failure(exc.path, exc.reason) from None
        except (TypeError, ValueError) as exc:
            args.parser.error(str(exc))
    target = args.json if args.json is not None else (args.csv or "-")
    if args.json is not None:
        from tessora_cn0.cli import _write_text
        _write_text(target, json.dumps([{k: r[k] for k in EVENT_COLUMNS} for r in rows], indent=1))
        return 0
    _write_csv(target, rows)
    return 0


def _write_csv(target, rows):
    try:
        out = sys.stdout if target == "-" else open(target, "w", encoding="utf-8", newline="")
    except OSError as exc:
        raise _failure(target, exc.strerror or str(exc)) from None
    try:
        writer = csv.DictWriter(out, fieldnames=EVENT_COLUMNS, lineterminator="\n", extrasaction="ignore")
        writer.writeheader()
        writer.writerows({k: ("" if v is None else v) for k, v in r.items()} for r in rows)
    finally:
        if out is not sys.stdout:
            out.close()


def _cmd_forget(args):
    from tessora_cn0.cli import PROG
    with open_store(args.path, must_exist=True) as store:
        try:
            n = store.forget(args.target)
        except ValueError as exc:
            if isinstance(exc, StoreError):
                raise _failure(exc.path, exc.reason) from None
            args.parser.error(str(exc))
        except LookupError as exc:
            raise _failure(args.path, str(exc).split(": ", 1)[-1]) from None
    sys.stderr.write(f"{PROG}: forgot {n} {'day' if n == 1 else 'days'} of {args.target}\n")
    return 0


# ---------------------------------------------------------------------------------------- report, batch

def judge_file(store, obs_path, nav, args):
    """The InterferenceReport of one file judged against the store's template of its station and
    set-up, with the day recorded."""
    from tessora_cn0.store.detect import judge_and_record, read_recording
    obs, resolved = read_recording(obs_path, nav)
    return judge_and_record(store, obs, resolved, path=obs_path, min_elevation=args.min_elevation, systems=args.systems)


def batch_stream(args, navs, store, analysis=True):
    """(index, (AnalysisResult, InterferenceReport) or the exception) per file in completion order,
    as iter_analyze gives them, with each file judged against the store and recorded (without
    analysis, the InterferenceReport alone). Files run on threads (the analysis and the detector
    release the interpreter lock), at most two per worker at once."""
    import tessora_cn0 as _t
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    nav_list = navs if isinstance(navs, list) else [navs] * len(args.obs)
    workers = args.workers or os.cpu_count() or 1

    def one(i):
        try:
            if not analysis:
                return i, judge_file(store, args.obs[i], nav_list[i], args)
            result = _t.analyze_cn0(args.obs[i], nav_list[i], min_elevation=args.min_elevation, systems=args.systems)
            return i, (result, judge_file(store, args.obs[i], nav_list[i], args))
        except (OSError, ValueError, MemoryError) as exc:
            return i, exc

    with ThreadPoolExecutor(max_workers=workers) as pool:
        pending, following = set(), 0
        while following < len(args.obs) or pending:
            while following < len(args.obs) and len(pending) < 2 * workers:
                pending.add(pool.submit(one, following))
                following += 1
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                yield future.result()
