#!/usr/bin/env python3
"""Writes src/time/generated/tz_table.h: the IANA time zone rules the library carries,
so that it reads no file and no environment at run time.

Reads the compiled zone files (TZif, version 2 or later) of every zone name
Python's zoneinfo lists (canonical names and their aliases), from
/usr/share/zoneinfo (Debian's tzdata) or the directory given. Per zone it
keeps the transitions from 1900 on as the files hold them (through 2037),
the offset in force before the first one, and the POSIX rule of the file's
footer, which gives every transition after the last one. Zones with the
same data share it.

    tools/gen_tz_table.py [ZONEINFO_DIR]
"""

from __future__ import annotations

import re
import struct
import sys
import zoneinfo
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "src" / "time" / "generated" / "tz_table.h"
START = -2208988800  # 1900-01-01T00:00:00Z


def read_tzif(path: Path):
    b = path.read_bytes()
    if b[:4] != b"TZif" or b[4] < ord("2"):
        raise ValueError(f"{path}: not a TZif file of version 2 or later")

    def counts(at: int):
        return struct.unpack(">6l", b[at + 20:at + 44])

    isut, isstd, leap, timecnt, typecnt, charcnt = counts(0)
    at = 44 + timecnt * 5 + typecnt * 6 + charcnt + leap * 8 + isstd + isut
    isut, isstd, leap, timecnt, typecnt, charcnt = counts(at)
    p = at + 44
    times = list(struct.unpack(f">{timecnt}q", b[p:p + timecnt * 8]))
    p += timecnt * 8
    idx = list(b[p:p + timecnt])
    p += timecnt
    types = [struct.unpack(">lBB", b[p + i * 6:p + i * 6 + 6])[:2] for i in range(typecnt)]
    p += typecnt * 6 + charcnt + leap * 12 + isstd + isut
    footer = b[p:].decode().strip("\n")
    return times, idx, types, footer


# A POSIX TZ string: std offset [dst [offset] [,start[/time],end[/time]]].
NAME = r"(?:[A-Za-z]{3,}|<[^>]+>)"
OFFSET = r"([+-]?\d{1,2}(?::\d{2}(?::\d{2})?)?)"
DATE = r"M(\d{1,2})\.(\d)\.(\d)(?:/([+-]?\d{1,3}(?::\d{2}(?::\d{2})?)?))?"
POSIX = re.compile(rf"^{NAME}{OFFSET}(?:{NAME}{OFFSET}?(?:,{DATE},{DATE})?)?$")


def seconds(text: str | None, default: int) -> int:
    if text is None:
        return default
    sign = -1 if text.startswith("-") else 1
    parts = [int(x) for x in text.lstrip("+-").split(":")] + [0, 0]
    return sign * (parts[0] * 3600 + parts[1] * 60 + parts[2])


def parse_rule(footer: str):
    """(std offset, dst offset, start, end) in seconds east of UTC, each
    date (month, week, weekday, seconds after local midnight); dates None
    without daylight saving."""
    m = POSIX.match(footer)
    if not m:
        raise ValueError(f"unsupported POSIX TZ string {footer!r}")
    std_off = -seconds(m.group(1), 0)  # POSIX offsets are west of UTC
    if m.group(3) is None and not re.search(rf"^{NAME}{OFFSET}{NAME}", footer):
        return std_off, std_off, None, None
    dst_off = -seconds(m.group(2), -std_off - 3600) if m.group(2) else std_off + 3600
    if m.group(3) is None:
        raise ValueError(f"daylight saving without dates in {footer!r}")
    start = (int(m.group(3)), int(m.group(4)), int(m.group(5)), seconds(m.group(6), 7200))
    end = (int(m.group(7)), int(m.group(8)), int(m.group(9)), seconds(m.group(10), 7200))
    return std_off, dst_off, start, end


def zone_data(path: Path):
    times, idx, types, footer = read_tzif(path)
    keep = [i for i, t in enumerate(times) if t >= START]
    # The type in force at 1900: that of the last transition before it, or
    # the file's first standard type.
    before = [i for i, t in enumerate(times) if t < START]
    if before:
        initial = types[idx[before[-1]]]
    else:
        initial = next((t for t in types if not t[1]), types[0])
    trans = [(times[i], types[idx[i]]) for i in keep]
    # Drop transitions that change nothing the library reads (only a name).
    out, cur = [], initial
    for t, ty in trans:
        if ty != cur:
            out.append((t, ty))
            cur = ty
    return initial, tuple(out), parse_rule(footer)


def main() -> int:
    base = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("/usr/share/zoneinfo")
    version = "unknown"
    zi = base / "tzdata.zi"
    if zi.exists():
        first = zi.read_text().splitlines()[0]
        version = first.split()[-1] if first.startswith("# version") else version
    names = sorted(zoneinfo.available_timezones() | {"UTC"})
    datas: dict = {}
    zones = []
    for name in names:
        path = base / name
        if not path.is_file():
            continue
        d = zone_data(path)
        zones.append((name, datas.setdefault(d, len(datas))))
    offsets: list[int] = []
    type_of: dict = {}

    def type_index(ty) -> int:
        key = (ty[0], bool(ty[1]))
        if key not in type_of:
            type_of[key] = len(offsets)
            offsets.append(key)
        return type_of[key]

    rules: list = []
    rule_of: dict = {}
    times: list[int] = []
    kinds: list[int] = []
    rows = []
    for (initial, trans, rule) in datas:
        if rule not in rule_of:
            rule_of[rule] = len(rules)
            rules.append(rule)
        rows.append((len(times), len(trans), type_index(initial), rule_of[rule]))
        for t, ty in trans:
            times.append(t)
            kinds.append(type_index(ty))
    assert len(offsets) < 65536 and len(rules) < 65536 and len(times) < 2 ** 32, (len(offsets), len(rules), len(times))

    def chunks(values, per):
        return "\n".join("    " + ", ".join(values[i:i + per]) + "," for i in range(0, len(values), per))

    lines = [
        f"// Code generated by tools/gen_tz_table.py from tzdata {version}. DO NOT EDIT.",
        "// The IANA time zone rules: transitions from 1900 as the zone files hold",
        "// them, then each zone's POSIX rule.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "namespace quendra::tzdata {",
        "",
        f'inline constexpr char kVersion[] = "{version}";',
        "",
        "// A local time type: seconds east of UTC, and whether it is daylight time.",
        "struct Type {",
        "  int32_t offset;",
        "  bool dst;",
        "};",
        "",
        "// A date of a POSIX rule: the w-th (5: last) weekday d (0: Sunday) of",
        "// month m, at `secs` seconds after local midnight (of the time in force).",
        "struct RuleDate {",
        "  int8_t month, week, weekday;",
        "  int32_t secs;",
        "};",
        "",
        "struct Rule {",
        "  int32_t std_offset, dst_offset;",
        "  bool dst;  // false: std_offset all year",
        "  RuleDate start, end;",
        "};",
        "",
        "struct ZoneData {",
        "  uint32_t first;   // index of its first transition",
        "  uint32_t count;   // its transitions",
        "  uint16_t initial;  // the type in force before them",
        "  uint16_t rule;    // after the last one",
        "};",
        "",
        "struct ZoneName {",
        "  const char* name;",
        "  uint16_t data;",
        "};",
        "",
        "inline constexpr Type kTypes[] = {",
        chunks([f"{{{o}, {str(d).lower()}}}" for o, d in offsets], 6),
        "};",
        "",
        "inline constexpr Rule kRules[] = {",
    ]
    for std_off, dst_off, start, end in rules:
        if start is None:
            lines.append(f"    {{{std_off}, {dst_off}, false, {{0, 0, 0, 0}}, {{0, 0, 0, 0}}}},")
        else:
            lines.append(f"    {{{std_off}, {dst_off}, true, {{{start[0]}, {start[1]}, {start[2]}, {start[3]}}}, "
                         f"{{{end[0]}, {end[1]}, {end[2]}, {end[3]}}}}},")
    lines += ["};", "", "inline constexpr int64_t kTimes[] = {", chunks([str(t) for t in times], 5), "};", "",
              "inline constexpr uint16_t kKinds[] = {", chunks([str(k) for k in kinds], 20), "};", "",
              "inline constexpr ZoneData kZones[] = {"]
    lines += [f"    {{{a}, {b}, {c}, {d}}}," for a, b, c, d in rows]
    lines += ["};", "", "// Sorted by name, bytewise.", "inline constexpr ZoneName kNames[] = {"]
    lines += [f'    {{"{n}", {i}}},' for n, i in sorted(zones, key=lambda z: z[0].encode())]
    lines += ["};", "", "}  // namespace quendra::tzdata", ""]
    OUT.write_text("\n".join(lines))
    print(f"{OUT.relative_to(ROOT)}: tzdata {version}, {len(zones)} names, {len(datas)} zones, "
          f"{len(times)} transitions, {len(rules)} rules, {len(offsets)} types")
    return 0


if __name__ == "__main__":
    sys.exit(main())
