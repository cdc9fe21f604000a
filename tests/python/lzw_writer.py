"""A Unix compress (.Z) writer for the tests (Python has none): adaptive LZW, 9 to `max_bits`-bit
codes least significant bit first, in groups of eight codes padded out whenever the width changes."""


def lzw_compress(data: bytes, max_bits: int = 16) -> bytes:
    out = bytearray(b"\x1f\x9d" + bytes([max_bits | 0x80]))
    max_max = 1 << max_bits
    state = {"bits": 9, "max_code": 511, "acc": 0, "nacc": 0, "group": bytearray()}
    free = 257
    table = {}

    def flush_group(pad):
        g = state["group"]
        if pad:
            g.extend(b"\0" * (state["bits"] - len(g)))
        out.extend(g)
        state["group"] = bytearray()

    def output(code):
        state["acc"] |= code << state["nacc"]
        state["nacc"] += state["bits"]
        while state["nacc"] >= 8:
            state["group"].append(state["acc"] & 0xFF)
            state["acc"] >>= 8
            state["nacc"] -= 8
        if len(state["group"]) == state["bits"] and state["nacc"] == 0:
            flush_group(False)
        if free > state["max_code"]:
            if state["nacc"]:
                state["group"].append(state["acc"] & 0xFF)
                state["acc"], state["nacc"] = 0, 0
            if state["group"]:
                flush_group(True)
            state["bits"] += 1
            state["max_code"] = max_max if state["bits"] == max_bits else (1 << state["bits"]) - 1

    if not data:
        return bytes(out)
    ent = data[0]
    for c in data[1:]:
        key = (ent, c)
        if key in table:
            ent = table[key]
            continue
        output(ent)
        if free < max_max:
            table[key] = free
            free += 1
        ent = c
    output(ent)
    if state["nacc"]:
        state["group"].append(state["acc"] & 0xFF)
    out.extend(state["group"])
    return bytes(out)
