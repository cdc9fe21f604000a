"""Observation files for the analysis tests, written here with known CN0 behaviour."""
from rinex_builder import f3, hl, v3_epoch, v3_header


def flat_file(n_epochs=20, sats=("G01", "G02", "E11", "R05"), drop_at=None, drop_sats=(), drop_db=20.0,
              base=45.0, interval=True, systems=None, second_signal=False, position=True):
    """Every satellite at `base` dB-Hz; at epoch `drop_at` the `drop_sats` lose `drop_db`."""
    types = {"G": ["C1C", "S1C"] + (["S2W"] if second_signal else []), "E": ["C1C", "S1C"], "R": ["C1C", "S1C"]}
    if systems:
        types = {k: v for k, v in types.items() if k in systems}
    extra = hl("    30.000", "INTERVAL") if interval else ""
    text = v3_header(types, extra=extra, position=(3582105.291, 532589.7313, 5232754.8054) if position else None)
    for k in range(n_epochs):
        sec = 30 * k
        time = (2024, 3, 5, 7 + sec // 3600, (sec // 60) % 60, float(sec % 60))
        row = {}
        for s in sats:
            cn0 = base - (drop_db if (k == drop_at and s in drop_sats) else 0.0)
            fields = ["21000000.000", f"{cn0:.3f}"]
            if second_signal and s[0] == "G":
                fields.append(f"{cn0 - 6:.3f}")
            row[s] = fields
        text += v3_epoch(time, row)
    return text.encode()
