#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: small valid inputs and the edge
cases each target's rules turn on. Run again after changing it; the seeds are kept in
the repository so that a clean clone fuzzes from them."""
import json
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def connection_file():
    t = "connection_file"
    full = {"articulationNames": ["Legato", "Staccato", "Pizzicato"], "articulationNotes": [24, 25, 26],
            "pluginVersion": "2.0 (2.0.1)", "protocol": "korvel-v2", "schemaVersion": 2, "source": "audio-unit",
            "status": "connected", "timestamp": 1733480000.25, "trackName": "Violins 1", "uid": 305419896}
    write(t, "written-by-instance.json", compact(full))
    write(t, "companion-connect.json", compact({"status": "connected", "trackName": "Celli",
                                                "articulationNotes": [36, 37], "articulationNames": ["Arco", "Pizz"],
                                                "companionKey": {"nested": [1, 2.5, None, True]}}))
    write(t, "connected-no-name.json", '{"status":"connected"}')
    write(t, "disconnected.json", '{"status":"disconnected","trackName":"Horns","articulationNotes":[1]}')
    write(t, "other-status.json", '{"status":"linking","trackName":"Flutes"}')
    write(t, "status-not-string.json", '{"status":1,"trackName":["x"]}')
    write(t, "top-level-array.json", '[{"status":"connected"}]')
    write(t, "empty.json", "")
    write(t, "truncated.json", '{"status":"connected","trackName":"Vio')
    write(t, "notes-200.json", compact({"status": "connected", "trackName": "Perc",
                                         "articulationNotes": list(range(200))}))
    write(t, "notes-mixed.json", '{"status":"connected","trackName":"Brass","articulationNotes":'
                                 '["60"," -12abc","x",null,1.9,-3.7,1e10,-1e300,18446744073709551615,[5],{"a":1}],'
                                 '"articulationNames":["a",2,null]}')
    write(t, "notes-empty.json", '{"status":"connected","articulationNotes":[],"articulationNames":[]}')
    long_name = "Ü" * 130 + "ß"
    write(t, "long-name.json", compact({"status": "connected", "trackName": long_name}))
    write(t, "name-escapes.json", '{"status":"connected","trackName":"A\\u0000B\\ud83c\\udfbb\\"q\\""}')
    write(t, "duplicate-keys.json", '{"status":"disconnected","status":"connected","trackName":"Harp"}')
    write(t, "depth-64.json", '{"a":' * 63 + '{}' + '}' * 63)
    write(t, "depth-65.json", '{"status":"connected","a":' + '[' * 64 + ']' * 64 + '}')
    write(t, "bom.json", b'\xef\xbb\xbf{"status":"connected","trackName":"Bom"}')
    write(t, "invalid-utf8.json", b'{"status":"connected","trackName":"\xff\xfe"}')


def active_track():
    t = "active_track"
    uid = struct.pack("<I", 0x1234ABCD)
    RS = b"\x1e"

    def seed(name, flags, uid_file, track_file=b"", track_name=b"Violins", uid_bytes=uid):
        write(t, name, bytes([flags]) + uid_bytes + uid_file + RS + track_file + RS + track_name)

    seed("uid-upper", 0x3, b"1234ABCD\n")
    seed("uid-lower-prefix", 0x3, b"  0x1234abcd  ")
    seed("uid-not-connected", 0x2, b"1234ABCD")
    seed("uid-zero", 0x7, b"0", b"Violins")
    seed("uid-blank", 0x7, b" \t\r\n\xc2\xa0\xe3\x80\x80", b"Violins")
    seed("uid-decimal-fallback", 0x3, b"+305441741")
    seed("uid-negative-decimal", 0x3, b"-1", uid_bytes=struct.pack("<I", 0xFFFFFFFF))
    seed("uid-long-hex", 0x3, b"FFFF00001234ABCD")
    seed("uid-0x-only", 0x3, b"0xZZ")
    seed("uid-not-utf8", 0x7, b"\xff1234ABCD", b"Violins")
    seed("track-name-match", 0x5, b"", b"Violins\n")
    seed("track-name-case", 0x5, b"", b"violins")
    seed("track-name-unicode-space", 0x5, b"", "\u2003Cellos\u2028".encode(), "Cellos".encode())
    seed("track-name-empty-both", 0x5, b"", b"", b"")
    seed("track-name-invalid-record", 0x5, b"", b"", b"\xc3")
    seed("neither", 0x1, b"1234ABCD")


def strings_table():
    t = "strings_table"
    text = ('/* Controller grid */\n"cc_label_cc" = "CC";\n'
            '"cc_label_articulations" = "Artikulationen";\n// line comment\n'
            'unquoted_key = \'single\';\n"same";\n"esc" = "a\\n\\t\\"q\\" \\U00e9 \\ud83c\\udfbb \\101 \\\\";\n')
    write(t, "simple.strings", text)
    write(t, "braced.strings", '{ "a" = "b"; c = d; }')
    write(t, "bom-utf8.strings", b"\xef\xbb\xbf" + text.encode())
    write(t, "utf16le.strings", b"\xff\xfe" + text.encode("utf-16-le"))
    write(t, "utf16be.strings", b"\xfe\xff" + '"ja" = "\u65e5\u672c\u8a9e";'.encode("utf-16-be"))
    write(t, "empty.strings", "")
    write(t, "lone-surrogate.strings", '"k" = "\\uD800x \\uDC00";')
    write(t, "unterminated-comment.strings", '"a" = "b"; /* no end')
    write(t, "nested-value.strings", '"a" = { "b" = "c"; };')
    write(t, "empty-value.strings", '"cc_label_cc" = "";')
    xml = ('<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
           '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n<plist version="1.0">\n<dict>\n'
           '\t<key>cc_label_cc</key>\n\t<string>CC</string>\n\t<key>number</key>\n\t<integer>3</integer>\n'
           '\t<key>amp</key>\n\t<string>a &amp; b &lt;c&gt;</string>\n</dict>\n</plist>\n')
    write(t, "table.xml", xml)
    write(t, "array-root.xml", '<plist version="1.0"><array><string>a</string></array></plist>')
    write(t, "table.bplist", to_binary_plist(xml))


def to_binary_plist(xml):
    tool = shutil.which("plistutil")
    if tool is None:
        sys.exit("plistutil (libplist-utils) is needed to write binary seeds")
    out = subprocess.run([tool, "-f", "bin", "-i", "-", "-o", "-"], input=xml.encode(), capture_output=True)
    if out.returncode != 0 or not out.stdout.startswith(b"bplist"):
        sys.exit("plistutil failed: " + out.stderr.decode(errors="replace"))
    return out.stdout


def localization_load():
    t = "localization_load"
    table = '"cc_label_cc" = "Regler";\n"cc_label_articulations" = "Artikulationen";\n'
    RS = "\x1e"
    write(t, "german", "\x07" + " DE \n" + RS + table)
    write(t, "chinese-dir", "\x07" + "zh" + RS + '"cc_label_cc" = "\u63a7\u5236\u5668";')
    write(t, "regional-code", "\x07" + "en-US" + RS + table)
    write(t, "zh-hans-code", "\x07" + "zh-Hans" + RS + table)
    write(t, "kelvin-sign", "\x07" + "\u212ao" + RS + table)
    write(t, "missing-language-dir", "\x05" + "fr" + RS + table)
    write(t, "no-language-file", "\x04" + RS + table)
    write(t, "no-table", "\x01" + "ja" + RS)
    write(t, "bom-language", "\x07" + "\ufeffes" + RS + table)
    write(t, "xml-table", "\x07" + "ko" + RS + '<plist version="1.0"><dict><key>cc_label_cc</key>'
                                              '<string>\ucee8\ud2b8\ub864</string></dict></plist>')


def saved_state():
    t = "saved_state"

    def plist(entries):
        body = "".join(f"\t<key>{k}</key>\n\t{v}\n" for k, v in entries)
        return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n' + body + "</dict>\n</plist>\n")

    common = [("version", "<integer>0</integer>"), ("type", "<integer>1635085673</integer>"),
              ("subtype", "<integer>1802663474</integer>"), ("manufacturer", "<integer>1416394350</integer>"),
              ("name", "<string>Korvel</string>")]
    full = plist(common + [("tvUniqueID", "<integer>-1412567295</integer>"), ("tvConnected", "<integer>1</integer>"),
                           ("tvTrackName", "<string>Violins 1</string>")])
    write(t, "full.xml", full)
    write(t, "full.bplist", to_binary_plist(full))
    write(t, "duplicate-uid.xml", plist([("tvUniqueID", "<integer>305419896</integer>"),
                                         ("tvConnected", "<integer>1</integer>"),
                                         ("tvTrackName", "<string>Taken</string>")]))
    write(t, "uid-zero.xml", plist([("tvUniqueID", "<integer>0</integer>"), ("tvConnected", "<integer>1</integer>")]))
    write(t, "no-uid.xml", plist([("tvConnected", "<integer>7</integer>"), ("tvTrackName", "<string>Kept UID</string>")]))
    write(t, "wrong-types.xml", plist([("tvUniqueID", "<string>1234</string>"), ("tvConnected", "<real>0.5</real>"),
                                       ("tvTrackName", "<integer>3</integer>")]))
    write(t, "big-numbers.xml", plist([("tvUniqueID", "<integer>4294967296</integer>"),
                                       ("tvConnected", "<integer>4294967296</integer>")]))
    write(t, "real-uid.xml", plist([("tvUniqueID", "<real>2882400018.9</real>"), ("tvConnected", "<true/>")]))
    write(t, "long-name.xml", plist([("tvConnected", "<integer>1</integer>"),
                                     ("tvTrackName", "<string>" + "\u00e9" * 140 + "</string>")]))
    write(t, "not-a-dict.xml", '<?xml version="1.0"?><plist version="1.0"><array><integer>1</integer></array></plist>')
    write(t, "empty-dict.xml", '<plist version="1.0"><dict/></plist>')


def midi_stream():
    t = "midi_stream"
    CONNECT = bytes([7, 1, 1, 0, 0, 0])     # op 7: connected = 1
    ACTIVE = bytes([8, 1, 1, 0, 0, 0])      # op 8: active track = 1
    THRU = bytes([10, 1])                   # op 10: set the MIDI output callback
    READ = bytes([11])                      # op 11: read the editor's properties, render
    DRAIN = bytes([5])                      # op 5: KR_DrainPending
    DRAIN_PROP = bytes([6, 1])              # op 6: property 65009 with 1028 bytes
    RESET = bytes([4, 0, 0])

    def ev(status, d1, d2):
        return bytes([0, status, d1, d2])

    def articulations(notes):
        data = b"".join(struct.pack("<i", n) for n in notes)
        return bytes([9, len(data) & 0xFF, len(data) >> 8]) + data

    write(t, "linked-cc-dedup", THRU + CONNECT + ACTIVE + ev(0xB2, 1, 64) + ev(0xB2, 1, 64) + ev(0xB3, 1, 64)
          + READ + DRAIN_PROP + DRAIN_PROP)
    write(t, "keyswitch", articulations([24, 25, 200, -1]) + CONNECT + ACTIVE + ev(0x90, 25, 100) + ev(0x90, 60, 90)
          + ev(0x80, 25, 0) + ev(0x90, 61, 0) + READ + DRAIN)
    write(t, "pressure-bend-program", THRU + CONNECT + ACTIVE + ev(0xD0, 10, 0) + ev(0xD0, 10, 5) + ev(0xE1, 1, 64)
          + ev(0xE1, 2, 64) + ev(0xC0, 5, 0) + ev(0xF8, 0, 0) + DRAIN_PROP)
    write(t, "queue-overflow", CONNECT + ACTIVE + b"".join(ev(0x90, n % 128, 1 + n % 127) for n in range(300))
          + DRAIN_PROP + bytes([6, 0, 3]))
    write(t, "reset-requeues", CONNECT + ACTIVE + ev(0xB0, 7, 100) + DRAIN + RESET + ev(0xB0, 7, 100) + READ + DRAIN)
    write(t, "wide-words", CONNECT + ACTIVE + bytes([3]) + struct.pack("<III", 0x1B5, 0x181, 0x2FF)
          + bytes([3]) + struct.pack("<III", 0x90, 0x3C, 0x100) + READ)
    write(t, "short-articulation-list", bytes([9, 2, 0, 1, 2]) + ev(0x90, 0, 1) + READ)
    write(t, "unlinked", ev(0xB0, 1, 1) + ev(0x90, 60, 127) + DRAIN + READ)


def main():
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    connection_file()
    active_track()
    strings_table()
    localization_load()
    saved_state()
    midi_stream()


if __name__ == "__main__":
    main()
