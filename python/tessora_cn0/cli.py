"""The ``tessora-cn0`` command (also ``python -m tessora_cn0``).

Subcommands:
  report OBS   grade one recording, print the interference verdict and a short summary, optionally
               write JSON and an HTML report
  batch OBS... grade many recordings on native threads, one CSV summary row per file (with the
               interference detector's events)
  network OBS... run the interference detector over a network's recordings and join the stations'
               events that overlap in time; one CSV row per station event, optionally an HTML page
  info OBS     the observation file's summaries (header, satellites, observables)
  store PATH   the station store: list, show a station, query events, forget a station or day
  replay OBS   send a recording again as a paced RTCM 3 stream, into a file or to TCP clients
  monitor URL  watch NTRIP or TCP streams live: interference events as they happen

Exit status: 0 on success, 1 when a file could not be read or written (one line on stderr naming
the file and the reason), 2 on bad arguments.
"""
import argparse
import csv
import os
import sys

import tessora_cn0 as _t
from tessora_cn0._summary import COLUMNS, _plural, summary_row, verdict_lines
from tessora_cn0.store import cli as _store_cli
from tessora_cn0.store.schema import StoreError

PROG = "tessora-cn0"


class _Failure(Exception):
    """A file that could not be read or written: reported as one line, exit status 1."""

    def __init__(self, path, reason):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


_PREFIXES = (("Cannot read obs file: ", "obs"), ("Cannot read nav file: ", "nav"))


def _culprit(exc, obs_path, nav_path):
    """(path, reason) for an analysis that raised exc.

    Read errors carry an "obs"/"nav" prefix. A parse error does not say which file it came from:
    the observation file is parsed first, so it is the culprit when it fails on its own.
    """
    if isinstance(exc, StoreError):
        return exc.path, exc.reason
    text = str(exc)
    for prefix, which in _PREFIXES:
        if text.startswith(prefix):
            return (obs_path if which == "obs" else nav_path), text[len(prefix):]
    if nav_path is not None and isinstance(exc, ValueError):
        try:
            _t.read_rinex_obs(obs_path)
        except (OSError, ValueError):
            return obs_path, text
        return nav_path, text
    return obs_path, text


# The analysis keys constellations by their RINEX letter; the command line also takes names.
_SYSTEM_LETTERS = {"G": "G", "GPS": "G", "R": "R", "GLONASS": "R", "E": "E", "GALILEO": "E",
                   "C": "C", "BEIDOU": "C", "BDS": "C", "J": "J", "QZSS": "J", "S": "S", "SBAS": "S",
                   "I": "I", "IRNSS": "I", "NAVIC": "I"}


def _systems(text):
    letters = []
    for token in text.split(","):
        token = token.strip()
        if not token:
            continue
        letter = _SYSTEM_LETTERS.get(token.upper())
        if letter is None:
            raise argparse.ArgumentTypeError(
                f"unknown constellation {token!r} (use G, R, E, C, J, S, I or their names)")
        if letter not in letters:
            letters.append(letter)
    if not letters:
        raise argparse.ArgumentTypeError("expected a comma-separated list such as G,E")
    return letters


def _analyze(obs, nav, min_elevation, systems):
    try:
        return _t.analyze_cn0(obs, nav, min_elevation=min_elevation, systems=systems)
    except (OSError, ValueError) as exc:
        raise _Failure(*_culprit(exc, obs, nav)) from None


def _detect(obs, nav, min_elevation, systems):
    try:
        return _t.detect_interference(obs, nav, min_elevation=min_elevation, systems=systems)
    except (OSError, ValueError) as exc:
        raise _Failure(*_culprit(exc, obs, nav)) from None


def _write_text(path, text):
    if path == "-":
        sys.stdout.write(text)
        if not text.endswith("\n"):
            sys.stdout.write("\n")
        return
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as exc:
        raise _Failure(path, exc.strerror or str(exc)) from None


def _yes_no(flag):
    return "YES" if flag else "no"


def format_summary(result):
    """The short text summary ``report`` prints: grade, score, flags, confirmation, constellations."""
    lines = [
        f"{result.station_name or '(no marker name)'}  {result.start_time} .. {result.end_time}  "
        f"({result.duration_hours:.2f} h, {result.interval:g} s interval, {result.total_epochs} epochs, "
        f"{result.total_satellites} satellites)",
        f"Grade {result.quality_grade}, score {result.score:.1f}: {result.summary}",
        f"Jamming {_yes_no(result.jamming_detected)}, spoofing {_yes_no(result.spoofing_detected)}, "
        f"interference {_yes_no(result.interference_detected)}; "
        f"{result.anomaly_count} CN0-drop anomalies ({result.critical_count} critical)",
    ]
    if result.has_visibility_prediction:
        lines.append(f"Confirmation {result.visibility_confirmation_rate:.1f} % "
                     f"(predicted {result.visibility_mean_predicted:.1f}, observed "
                     f"{result.visibility_mean_observed:.1f} satellites per epoch; "
                     f"{result.visibility_prediction_source})")
    else:
        lines.append("Confirmation: no visibility prediction (no navigation data)")
    header = f"{'Constellation':<13} {'Sats':>4} {'Expected':>8} {'Obs':>7} {'Mean':>5} {'Min':>5} " \
             f"{'Max':>5} {'Std':>5} {'Avail':>5} {'Slips':>5} {'Gaps':>5}"
    rows = []
    for name in result.constellations:
        c = result.get_constellation_summary(name)
        if c:
            rows.append(f"{name:<13} {c['satellite_count']:>4} {c['satellites_expected']:>8} "
                        f"{c['observation_count']:>7} {c['mean_cn0']:>5} {c['min_cn0']:>5} {c['max_cn0']:>5} "
                        f"{c['std_cn0']:>5} {c['availability_ratio']:>5} {c['cycle_slips']:>5} "
                        f"{c['data_gaps']:>5}")
    if rows:
        lines += ["", "CN0 (dB-Hz) by constellation:", header] + rows
    return "\n".join(lines) + "\n"


def format_verdict(report):
    """The interference detector's verdict ``report`` prints before the summary: a headline and one
    line per event."""
    dash = "–"
    try:
        dash.encode(getattr(sys.stdout, "encoding", None) or "ascii")
    except (UnicodeEncodeError, LookupError):
        dash = "-"
    return "\n".join(verdict_lines(report, dash)) + "\n"


def _cmd_report(args):
    if args.store:
        with _store_cli.open_store(args.store) as store:
            result = _analyze(args.obs, args.nav, args.min_elevation, args.systems)
            try:
                interference = _store_cli.judge_file(store, args.obs, args.nav, args)
            except (OSError, ValueError) as exc:
                raise _Failure(*_culprit(exc, args.obs, args.nav)) from None
        return _report_outputs(args, result, interference)
    result = _analyze(args.obs, args.nav, args.min_elevation, args.systems)
    interference = _detect(args.obs, args.nav, args.min_elevation, args.systems)
    return _report_outputs(args, result, interference)


def _report_outputs(args, result, interference):
    if args.html:
        try:
            from tessora_cn0 import report
        except ImportError as exc:  # matplotlib missing
            raise _Failure(args.html, f"the HTML report needs matplotlib ({exc}); "
                                      "install it with: pip install 'tessora_cn0[report]'") from None
        html = report.render_html(result, obs_path=args.obs, nav_path=args.nav,
                                  min_elevation=args.min_elevation, interference=interference)
        _write_text(args.html, html)
    if args.json:
        _write_text(args.json, result.to_json_pretty() if args.pretty else result.to_json())
    if args.json != "-" and args.html != "-":
        sys.stdout.write(format_verdict(interference) + "\n" + format_summary(result))
    return 0


class _Progress:
    """A one-line progress bar on a terminal's stderr; silent otherwise."""

    def __init__(self, stream, enabled):
        self.stream = stream
        self.enabled = enabled
        self.shown = False

    def __call__(self, done, total):
        if not self.enabled:
            return
        width = 30
        filled = width * done // total if total else width
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
        self.stream.flush()
        self.shown = True

    def close(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


def _nav_argument(args):
    """--nav of a many-file command: one path for every file, a list parallel to OBS, or None."""
    navs = args.nav
    if navs is not None:
        if len(navs) == 1:
            navs = navs[0]
        elif len(navs) != len(args.obs):
            _usage_error(args, f"--nav takes one file for all or one per observation file "
                               f"({len(navs)} given for {len(args.obs)})")
    return navs


def _cmd_batch(args):
    navs = _nav_argument(args)
    if args.csv and args.csv != "-":
        # Fail on an unwritable output before hours of analysis, not after.
        try:
            out = open(args.csv, "w", encoding="utf-8", newline="")
        except OSError as exc:
            raise _Failure(args.csv, exc.strerror or str(exc)) from None
    else:
        out = None
    return _with_store(args, out, lambda store: _batch_rows(args, navs, out, store))


def _with_store(args, out, run):
    """run(store) with the --store store open (None without --store), closed after; a store that
    cannot be opened closes out (the output file opened already) and fails the command."""
    try:
        store = _store_cli.open_store(args.store) if args.store else None
    except _Failure:
        if out is not None:
            out.close()
        raise
    try:
        return run(store)
    finally:
        if store is not None:
            store.close()


def _batch_rows(args, navs, out, store):
    progress = _Progress(sys.stderr, sys.stderr.isatty())
    nav_list = navs if isinstance(navs, list) else [navs] * len(args.obs)
    total = len(args.obs)
    # Results arrive as files finish; each becomes its row at once and is dropped, so memory is
    # bounded by the workers, not by the number of files. Rows go out in input order: only the
    # rows of files that finished before an earlier one wait. While the bar is drawn on the
    # terminal the rows are printed on, they wait for it to close; the failure lines always come
    # after it, in input order.
    hold_rows = progress.enabled and out is None and sys.stdout.isatty()
    waiting = {}
    failures = {}
    written = 0
    try:
        writer = csv.DictWriter(out if out is not None else sys.stdout, fieldnames=COLUMNS, lineterminator="\n")
        writer.writeheader()
        try:
            if store is not None:
                stream = _store_cli.batch_stream(args, navs, store)
            else:
                stream = _t.iter_analyze(args.obs, navs, min_elevation=args.min_elevation, systems=args.systems,
                                         workers=args.workers, interference=True)
            for done, (index, result) in enumerate(stream, 1):
                waiting[index] = summary_row(args.obs[index], result)
                if isinstance(result, BaseException):
                    failures[index] = _culprit(result, args.obs[index], nav_list[index])
                del result
                progress(done, total)
                while not hold_rows and written in waiting:
                    writer.writerow(waiting.pop(written))
                    written += 1
        finally:
            progress.close()
        for index in range(written, total):
            writer.writerow(waiting.pop(index))
        for index in sorted(failures):
            path, reason = failures[index]
            sys.stderr.write(f"{PROG}: {path}: {reason}\n")
    finally:
        if out is not None:
            out.close()
    if out is not None:
        sys.stderr.write(f"{PROG}: {total - len(failures)} of {total} files graded; rows in {args.csv}\n")
    return 1 if failures else 0


def _read_any(path):
    """The record of a RINEX file or, recognised by its content, of an RTCM 3 recording (then with
    the recording too, else None)."""
    try:
        return _t.read_rinex_obs(path), None
    except ValueError as exc:
        rtcm = _t.read_rtcm3(path)
        if not rtcm.message_counts:
            raise exc from None
        return rtcm.obs, rtcm


def _cmd_info(args):
    try:
        obs, rtcm = _read_any(args.obs)
    except (OSError, ValueError) as exc:
        raise _Failure(args.obs, str(exc)) from None
    sats = obs.satellites_by_system()
    types = obs.obs_types_by_system()
    snr = obs.snr_availability()
    lines = [f"file          {args.obs}"]
    if rtcm is None:
        lines.append(f"RINEX version {obs.version:g}")
    else:
        messages = ", ".join(f"{n}x{k}" for k, n in sorted(rtcm.message_counts.items()))
        lines += [f"RTCM 3        {messages}",
                  f"              {rtcm.skipped_bytes} bytes skipped, {rtcm.crc_failures} checksum failures, "
                  f"{rtcm.malformed} malformed; week from the {rtcm.week_source}; "
                  f"ephemerides {'yes' if rtcm.nav is not None else 'no'}"]
    lines += [
        f"marker        {obs.marker_name}",
        f"receiver      {obs.receiver_type}",
        f"interval      {obs.interval:g} s",
        f"epochs        {obs.num_epochs}",
        f"satellites    {obs.num_satellites}",
    ]
    for system in sorted(set(sats) | set(types)):
        ids = sats.get(system, [])
        lines.append(f"system {system}: {len(ids)} satellites, CN0 {'yes' if snr.get(system) else 'no'}; "
                     f"observables {' '.join(types.get(system, []))}")
        if ids:
            lines.append(f"  {' '.join(ids)}")
    sys.stdout.write("\n".join(lines) + "\n")
    return 0


NETWORK_COLUMNS = ["network_event", "station", "file", "onset", "end", "peak_degradation_db", "bands", "kind",
                   "latitude", "longitude", "network_start", "network_end", "stations_in_event", "error"]


def _detect_all(obs_paths, navs, args, store=None):
    """Yield (index, InterferenceReport or the exception) per observation file, in completion order,
    with the detector on threads (it releases the interpreter lock); with a store, each judged
    against it and recorded."""
    if store is not None:
        yield from _store_cli.batch_stream(args, navs, store, analysis=False)
        return
    if hasattr(_t, "iter_analyze"):
        yield from _t.iter_analyze(obs_paths, navs, min_elevation=args.min_elevation, systems=args.systems,
                                   workers=args.workers, interference=True, analysis=False)
        return
    from concurrent.futures import ThreadPoolExecutor, as_completed
    nav_list = navs if isinstance(navs, list) else [navs] * len(obs_paths)

    def one(obs, nav):
        try:
            return _t.detect_interference(obs, nav, min_elevation=args.min_elevation, systems=args.systems)
        except (OSError, ValueError, MemoryError) as exc:
            return exc

    with ThreadPoolExecutor(max_workers=args.workers or os.cpu_count() or 1) as pool:
        futures = {pool.submit(one, obs, nav): i for i, (obs, nav) in enumerate(zip(obs_paths, nav_list))}
        for future in as_completed(futures):
            yield futures[future], future.result()


def _network_rows(events, errors):
    rows = []
    for number, n in enumerate(events, 1):
        for s in n.stations:
            rows.append({"network_event": number, "station": s.station, "file": s.file, "onset": s.onset,
                         "end": s.end, "peak_degradation_db": round(s.peak_degradation_db, 1),
                         "bands": ";".join(s.bands), "kind": s.kind,
                         "latitude": "" if s.latitude is None else s.latitude,
                         "longitude": "" if s.longitude is None else s.longitude,
                         "network_start": n.start, "network_end": n.end, "stations_in_event": len(n.stations),
                         "error": ""})
    for path, reason in errors:
        row = dict.fromkeys(NETWORK_COLUMNS, "")
        row.update(file=path, error=reason)
        rows.append(row)
    return rows


def _cmd_network(args):
    from tessora_cn0 import network
    navs = _nav_argument(args)
    if not (args.tolerance >= 0.0 and args.tolerance != float("inf")):
        _usage_error(args, f"--tolerance must be a number of seconds >= 0, not {args.tolerance:g}")
    if args.reports is not None and not os.path.isdir(args.reports):
        _usage_error(args, f"--reports: {args.reports} is not a directory")
    if args.html:
        try:
            import matplotlib  # noqa: F401
        except ImportError as exc:
            raise _Failure(args.html, f"the HTML page needs matplotlib ({exc}); "
                                      "install it with: pip install 'tessora_cn0[report]'") from None
    out = None
    if args.csv and args.csv != "-":
        try:  # an unwritable output fails before the analyses, not after
            out = open(args.csv, "w", encoding="utf-8", newline="")
        except OSError as exc:
            raise _Failure(args.csv, exc.strerror or str(exc)) from None
    return _with_store(args, out, lambda store: _network_run(args, navs, out, store, network))


def _network_run(args, navs, out, store, network):
    nav_list = navs if isinstance(navs, list) else [navs] * len(args.obs)
    recordings = [None] * len(args.obs)
    failures = {}
    progress = _Progress(sys.stderr, sys.stderr.isatty())
    try:
        for done, (index, item) in enumerate(_detect_all(args.obs, navs, args, store), 1):
            if isinstance(item, tuple):  # (analysis, report), should an analysis come along
                item = item[-1]
            if isinstance(item, BaseException):
                failures[index] = _culprit(item, args.obs[index], nav_list[index])
            else:
                recordings[index] = network.recording(item)  # the events only; the series are dropped
            del item
            progress(done, len(args.obs))
    except BaseException:
        if out is not None:
            out.close()
        raise
    finally:
        progress.close()
    for index in sorted(failures):
        path, reason = failures[index]
        sys.stderr.write(f"{PROG}: {path}: {reason}\n")
    errors = [(args.obs[i], reason if path == args.obs[i] else f"{path}: {reason}")
              for i, (path, reason) in sorted(failures.items())]
    recordings = [r for r in recordings if r is not None]
    events = network.network_events(recordings, tolerance=args.tolerance)
    if store is not None:
        store.record_network(events)
    try:
        writer = csv.DictWriter(out if out is not None else sys.stdout, fieldnames=NETWORK_COLUMNS,
                                lineterminator="\n")
        writer.writeheader()
        writer.writerows(_network_rows(events, errors))
    finally:
        if out is not None:
            out.close()
    if args.html:
        page_dir = os.path.dirname(os.path.abspath(args.html)) if args.html != "-" else os.getcwd()
        _write_text(args.html, network.render_html(recordings, events, tolerance=args.tolerance, errors=errors,
                                                   reports_dir=args.reports, page_dir=page_dir))
    shared = sum(1 for n in events if len(n.stations) > 1)
    where = f"; rows in {args.csv}" if out is not None else ""
    sys.stderr.write(f"{PROG}: {len(recordings)} of {len(args.obs)} files read, "
                     f"{_plural(len({r.station for r in recordings}), 'station')}; "
                     f"{_plural(len(events), 'network event')} ({shared} at several stations){where}\n")
    return 0 if recordings else 1


def _cmd_replay(args):
    from tessora_cn0 import replay
    return replay.run(args)


def _cmd_monitor(args):
    from tessora_cn0.monitor import command
    return command.run(args)


def _usage_error(args, message):
    args.parser.error(message)


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Grade the signal quality (CN0) of GNSS RINEX recordings. Compressed files "
                               "(gzip, .Z, bzip2, Hatanaka) are read as they are.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_t.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(p):
        p.add_argument("--min-elevation", type=float, default=5.0, metavar="DEG",
                       help="elevation mask in degrees (default 5)")
        p.add_argument("--systems", type=_systems, default=None, metavar="G,E",
                       help="constellations to analyse: RINEX letters or names, e.g. G,E or GPS,Galileo (default all)")

    p = sub.add_parser("report", help="grade one recording and write its JSON and/or HTML report",
                       description="Grade one recording: print the interference detector's verdict, then "
                                   "grade, score, the CN0-drop detector's flags, confirmation and the "
                                   "constellation table; optionally write the JSON result and an HTML report.")
    p.add_argument("obs", metavar="OBS", help="RINEX observation file")
    p.add_argument("--nav", metavar="NAV", help="broadcast navigation file (enables the visibility check)")
    common(p)
    p.add_argument("--json", metavar="FILE", help="write the full result as JSON ('-' for stdout)")
    p.add_argument("--pretty", action="store_true", help="indent the JSON")
    p.add_argument("--html", metavar="FILE", help="write a self-contained HTML report (needs the report extra)")
    _store_cli.add_store_option(p)
    p.set_defaults(run=_cmd_report, parser=p)

    p = sub.add_parser("batch", help="grade many recordings, one CSV summary row per file",
                       description="Grade many recordings on native threads and write one CSV summary row per "
                                   "file, the interference detector's events included. Exit status 1 if any file "
                                   "failed; its row carries the error.")
    p.add_argument("obs", metavar="OBS", nargs="+", help="RINEX observation files")
    p.add_argument("--nav", metavar="NAV", nargs="+", help="one navigation file for all, or one per OBS")
    common(p)
    p.add_argument("--workers", type=_positive_int, default=None, metavar="N",
                   help="analysis threads (default: the number of CPUs)")
    p.add_argument("--csv", metavar="FILE", help="write the rows to FILE instead of stdout")
    _store_cli.add_store_option(p)
    p.set_defaults(run=_cmd_batch, parser=p)

    p = sub.add_parser("network", help="join the interference events of many stations in time",
                       description="Run the interference detector over a network's recordings on threads and "
                                   "join the stations' events that overlap in time (or follow within "
                                   "--tolerance) into network events. One CSV row per station event, and one "
                                   "per file that could not be read; exit status 1 only when no file could be "
                                   "read.")
    p.add_argument("obs", metavar="OBS", nargs="+", help="RINEX observation files")
    p.add_argument("--nav", metavar="NAV", nargs="+", help="one navigation file for all, or one per OBS")
    common(p)
    p.add_argument("--workers", type=_positive_int, default=None, metavar="N",
                   help="detector threads (default: the number of CPUs)")
    p.add_argument("--csv", metavar="FILE", help="write the rows to FILE instead of stdout")
    p.add_argument("--html", metavar="FILE", help="write the network page: map, timeline, event table "
                                                  "(needs the report extra)")
    p.add_argument("--reports", metavar="DIR", help="link each station on the page to DIR/<station>.html "
                                                    "where that file exists (written with 'report --html')")
    p.add_argument("--tolerance", type=float, default=300.0, metavar="SECONDS",
                   help="largest gap between station events that still joins them (default 300)")
    _store_cli.add_store_option(p, network=True)
    p.set_defaults(run=_cmd_network, parser=p)

    p = sub.add_parser("info", help="print an observation file's summaries",
                       description="Print an observation file's header summary, satellites and observables.")
    p.add_argument("obs", metavar="OBS", help="RINEX observation file")
    p.set_defaults(run=_cmd_info, parser=p)

    _store_cli.add_parser(sub)

    from tessora_cn0 import replay
    p = sub.add_parser("replay", help="send a recording again as a paced RTCM 3 stream (file or TCP)",
                       description="Encode a recording as the RTCM 3 stream of a reference station (MSM "
                                   "observations, station messages 1005/1033 and ephemerides repeated for "
                                   "clients that join late) and send it epoch by epoch at the recording's own "
                                   "pace, scaled by --speed; gaps stay gaps. With --tcp the replay starts at "
                                   "once, as a live station would, without waiting for a client: each client "
                                   "gets the epochs from the moment it connects, one that falls 10 s behind is "
                                   "dropped, and the command ends after the last epoch. SIGTERM stops it "
                                   "with status 0.")
    p.add_argument("obs", metavar="OBS", help="observation file: RINEX or an RTCM 3 recording")
    p.add_argument("--nav", metavar="NAV", help="navigation file whose ephemerides go into the stream "
                                                "(default: an RTCM 3 recording's own, else none)")
    p.add_argument("--msm", type=int, choices=(4, 7), default=7,
                   help="observation messages: 4 (CN0 in whole dB-Hz) or 7 (Dopplers too, CN0 to 1/16 dB-Hz; "
                        "default)")
    p.add_argument("--speed", type=replay.speed, default=1.0, metavar="X",
                   help="times the recording's pace (default 1; 1e6 sends as fast as possible)")
    p.add_argument("--from", dest="start", type=replay.epoch_time, metavar="TIME",
                   help="first epoch to send, GPS time such as 2024-05-07T09:00:00 (default the first)")
    p.add_argument("--until", dest="end", type=replay.epoch_time, metavar="TIME",
                   help="last epoch to send, GPS time (default the last)")
    to = p.add_mutually_exclusive_group(required=True)
    to.add_argument("--out", metavar="FILE", help="write the stream to FILE ('-' for stdout)")
    to.add_argument("--tcp", type=replay.tcp_address, metavar="HOST:PORT",
                    help="serve the stream to TCP clients (port 0 picks a free port; the address is "
                         "printed on stderr)")
    p.set_defaults(run=_cmd_replay, parser=p)

    p = sub.add_parser("monitor", help="watch NTRIP or TCP streams live: interference events as they happen",
                       description="Watch reference-station streams as they arrive and judge every epoch: "
                                   "event changes and stream states go out as JSON lines (standard output or "
                                   "--events). Ctrl-C or SIGTERM closes the open events as interrupted and "
                                   "exits 0.")
    p.add_argument("sources", nargs="+", metavar="URL",
                   help="ntrip://[user:password@]host:port/MOUNT[,MOUNT...], ntrips://... (TLS) or "
                        "tcp://host:port (raw RTCM 3)")
    p.add_argument("--all", action="store_true", help="every mountpoint of the casters' sourcetables")
    p.add_argument("--templates", metavar="DIR", help="folder of <station>.template.json, the stations' templates")
    p.add_argument("--events", metavar="FILE", help="append the JSON lines to FILE instead of standard output")
    p.add_argument("--on-event", metavar="CMD",
                   help="run CMD for every event change, its fields as arguments and TESSORA_EVENT_* variables")
    p.add_argument("--serve", type=replay.tcp_address, metavar="HOST:PORT",
                   help="serve the status page, /metrics (Prometheus) and /events (JSON)")
    p.add_argument("--record", metavar="DIR",
                   help="write each station's epochs as hourly RINEX 3 files under DIR/<station>/")
    p.add_argument("--store", metavar="PATH",
                   help="station store (SQLite file, created when absent): judge each station against the stored "
                        "template of the set-up its stream announces (unless --templates gives one) and record "
                        "its days and events as they pass (a day's file judged later with the store replaces them)")
    p.set_defaults(run=_cmd_monitor, parser=p)
    return parser


def main(argv=None):
    """Run the command line with argv (default sys.argv[1:]); returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except _Failure as failure:
        sys.stdout.flush()
        sys.stderr.write(f"{PROG}: {failure.path}: {failure.reason}\n")
        return 1
    except BrokenPipeError:
        # `tessora-cn0 batch ... | head`: the reader went away; not an error of ours.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130


if __name__ == "__main__":
    sys.exit(main())
