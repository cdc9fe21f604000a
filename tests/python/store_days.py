"""Station-days for the store's tests, written from the bundled sample hour.

The sample (2024-03-05 07:00-08:00, a jammer at 07:35) is moved by whole weeks: the epochs'
dates and the ephemerides' dates move by 7 days each week and the GPS/Galileo week numbers by
one, so that every satellite stands where it stood and each copy is the same hour of another day.
The header's receiver, firmware, antenna and marker can be changed on the way.
"""
import datetime
import pathlib
import re

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample"
OBS = SAMPLE / "SMPL00DNK_R_20240650700_01H_30S_MO.rnx"
NAV = SAMPLE / "SMPL00DNK_R_20240650700_01H_MN.rnx"
STATION = "SMPL00DNK"
FIRST_DAY = datetime.date(2024, 3, 5)
_WEEK = 2304  # GPS week of the sample


def _header_line(content, label):
    return content.ljust(60)[:60] + label


def day_of(weeks):
    return (FIRST_DAY + datetime.timedelta(weeks=weeks)).isoformat()


def sample_day(folder, weeks=0, receiver=None, firmware=None, antenna=None, marker=None):
    """(obs_path, nav_path) of the sample moved by weeks, with header facts replaced."""
    d = FIRST_DAY + datetime.timedelta(weeks=weeks)
    obs = OBS.read_text()
    obs = obs.replace("> 2024 03 05", d.strftime("> %Y %m %d"))
    obs = obs.replace("  2024     3     5     7", f"  {d.year:4d}{d.month:6d}{d.day:6d}     7")
    lines = obs.split("\n")
    for i, line in enumerate(lines):
        label = line[60:].strip()
        if label == "REC # / TYPE / VERS" and (receiver is not None or firmware is not None):
            rec = receiver if receiver is not None else line[20:40].strip()
            vers = firmware if firmware is not None else line[40:60].strip()
            lines[i] = _header_line(f"{line[:20]}{rec:<20}{vers:<20}", label)
        elif label == "ANT # / TYPE" and antenna is not None:
            lines[i] = _header_line(f"{line[:20]}{antenna:<20}", label)
        elif label == "MARKER NAME" and marker is not None:
            lines[i] = _header_line(marker, label)
        elif label == "END OF HEADER":
            break
    obs = "\n".join(lines)
    nav = NAV.read_text()
    nav = re.sub(r"^([GRE]\d\d) 2024 03 05", lambda m: m.group(1) + d.strftime(" %Y %m %d"), nav, flags=re.M)
    nav = nav.replace(f"{_WEEK:.12E}", f"{_WEEK + weeks:.12E}")
    tag = f"{d:%Y%m%d}_{receiver or ''}{firmware or ''}{antenna or ''}{marker or ''}".replace(" ", "_")
    folder = pathlib.Path(folder)
    obs_path, nav_path = folder / f"obs_{tag}.rnx", folder / f"nav_{tag}.rnx"
    obs_path.write_text(obs)
    nav_path.write_text(nav)
    return str(obs_path), str(nav_path)
