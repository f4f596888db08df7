#!/usr/bin/env python3
"""Writes examples/demo.mid, the short file that `make run` plays through korvel-host.

Two instrument tracks after a tempo track, each with keyswitch notes (C0, C#0, D0 =
notes 24, 25, 26), CC1 (modulation) and CC11 (expression) swells and a few notes.
Deterministic: the same bytes on every run, so the committed file can be regenerated
and compared. Standard library only.

What korvel-host reports after playing it unlinked (no companion):
  Violins: CC1 max 64, CC11 max 100, last velocity 96
  Horns:   CC1 max 96, CC11 max 110, last velocity 80
and, linked to a companion track whose keyswitches are 24/25/26, articulation 25
(Violins) and 26 (Horns).
"""
import struct
import sys
from pathlib import Path

TICKS_PER_QUARTER = 480
TEMPO_US = 600000  # 100 quarter notes a minute


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def track_chunk(events):
    """events: (tick, bytes) pairs; written in tick order with running status for
    consecutive channel messages of the same status, as sequencers do."""
    body = bytearray()
    last_tick = 0
    running = None
    for tick, message in sorted(events, key=lambda e: e[0]):
        body += vlq(tick - last_tick)
        last_tick = tick
        status = message[0]
        if status < 0xF0 and status == running:
            body += message[1:]
        else:
            body += message
            running = status if status < 0xF0 else None
    body += vlq(0) + b"\xFF\x2F\x00"
    return b"MTrk" + struct.pack(">I", len(body)) + bytes(body)


def meta_name(name):
    data = name.encode("utf-8")
    return b"\xFF\x03" + vlq(len(data)) + data


def swell(channel, controller, start_tick, values, step):
    return [(start_tick + i * step, bytes([0xB0 | channel, controller, v]))
            for i, v in enumerate(values)]


def note(channel, tick, key, velocity, length):
    return [(tick, bytes([0x90 | channel, key, velocity])),
            (tick + length, bytes([0x80 | channel, key, 0]))]


def instrument(name, channel, keyswitches, mod, expr, notes):
    q = TICKS_PER_QUARTER
    events = [(0, meta_name(name))]
    for tick, key in keyswitches:
        events += note(channel, tick, key, 1, q // 8)
    events += swell(channel, 1, q // 4, mod, q // 8)
    events += swell(channel, 11, q // 4 + q // 16, expr, q // 8)
    for tick, key, velocity in notes:
        events += note(channel, tick, key, velocity, q - q // 8)
    return track_chunk(events)


def demo():
    q = TICKS_PER_QUARTER
    conductor = track_chunk([(0, meta_name("Tempo")),
                             (0, b"\xFF\x51\x03" + TEMPO_US.to_bytes(3, "big"))])
    violins = instrument(
        "Violins", 0,
        keyswitches=[(0, 24), (8 * q, 25)],
        mod=list(range(20, 128, 8)) + [127, 110, 90, 64],
        expr=list(range(40, 101, 5)),
        notes=[(q * i, 67 + (i % 5), 70 + 2 * i) for i in range(1, 13)] + [(13 * q, 72, 96)])
    horns = instrument(
        "Horns", 1,
        keyswitches=[(0, 25), (6 * q, 26)],
        mod=list(range(0, 97, 6)),
        expr=list(range(50, 111, 4)),
        notes=[(q * i, 55 + (i % 3), 60 + i) for i in range(2, 12)] + [(12 * q, 53, 80)])
    header = b"MThd" + struct.pack(">IHHH", 6, 1, 3, TICKS_PER_QUARTER)
    return header + conductor + violins + horns


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else \
        Path(__file__).resolve().parent.parent / "examples" / "demo.mid"
    target.write_bytes(demo())
    print(f"wrote {target}")
