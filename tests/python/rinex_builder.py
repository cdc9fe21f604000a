"""Small writers of RINEX observation text for the tests."""


def hl(content, label):
    """A header line: content padded to 60 columns, then the label."""
    return content.ljust(60) + label + "\n"


def f3(value="", lli=" ", ssi=" "):
    """A RINEX 3 observation field: value right-aligned in 14 columns, then LLI and SSI."""
    return value.rjust(14) + lli + ssi


def v3_header(types, version="3.04", marker="TEST", position=(3582105.291, 532589.7313, 5232754.8054), extra=""):
    text = hl(f"{version:>9}           OBSERVATION DATA    M", "RINEX VERSION / TYPE")
    if marker is not None:
        text += hl(marker, "MARKER NAME")
    text += hl("1234                TESTREC             1.0", "REC # / TYPE / VERS")
    if position is not None:
        text += hl("".join(f"{c:14.4f}" for c in position), "APPROX POSITION XYZ")
    for system, codes in types.items():
        for k in range(0, len(codes), 13):
            chunk = codes[k:k + 13]
            lead = f"{system}  {len(codes):3d}" if k == 0 else "      "
            text += hl(lead + "".join(f" {c}" for c in chunk), "SYS / # / OBS TYPES")
    text += extra
    text += hl("", "END OF HEADER")
    return text


def v3_epoch(time, sats, flag=0):
    """time: (y, mo, d, h, mi, s); sats: {id: [field strings]}."""
    y, mo, d, h, mi, s = time
    text = f"> {y:4d} {mo:02d} {d:02d} {h:02d} {mi:02d}{s:11.7f}  {flag:d}{len(sats):3d}\n"
    for sat, fields in sats.items():
        text += sat + "".join(f if len(f) == 16 else f3(f) for f in fields) + "\n"
    return text
