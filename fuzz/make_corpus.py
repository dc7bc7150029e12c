#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/ from the vectors the
unit tests use (frames, records, numbers, entries). Run it again after changing a vector."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def frame(code, unique, payload=b""):
    body = struct.pack("<HBI", len(payload) + 5, code, unique) + payload
    return b"\x04" + body + struct.pack("<H", crc16(body))


def tlv(tag, value):
    return struct.pack("<HH", tag, len(value)) + value


def cp866(text):
    return text.encode("cp866")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    assert crc16(b"123456789") == 0x29B1
    assert frame(0x33, 1).hex() == "0405003301000000e11c"

    status = struct.pack("<10sHbbhiIhBi", b"0000000042", 0x0013, 1, 2, 7, 120, 1700000000, 3, 0, 9000)
    assert len(status) == 31
    cycle = struct.pack("<bhhiIiIq", 1, 7, 3, 118, 1700000000, 120, 0, 123456)
    serial = struct.pack("<H", 2) + b"0000000042".ljust(10, b"\0") + cp866("ВИРТА-Ф").ljust(32, b"\0")
    counters = struct.pack("<hhhqqiq", 7, 1, 1, 10000, 500, 3, 9500).ljust(406, b"\x01")
    totals = struct.pack("<hhhqqi", 7, 1, 1, 10000, 500, 3).ljust(238, b"\x02")
    docnumbers = struct.pack("<hiII", 7, 121, 3735928559, 1700000000)
    replies = {
        "ok_empty": frame(0, 1),
        "status": frame(0, 0x11223344, status),
        "cycle": frame(0, 5, cycle),
        "serial": frame(0, 6, serial),
        "counters": frame(0, 7, counters),
        "doc_numbers": frame(0, 8, docnumbers),
        "refusal_27": frame(27, 9),
        "no_unique": frame(1, 0),
    }
    raw_vectors = {  # from the frame tests: short, wrong start, wrong length, bad CRC
        "too_short": bytes.fromhex("04020000112233"),
        "wrong_start": bytes.fromhex("05003301000000e11c0000"),
        "length_ffff": bytes.fromhex("04ffff30010000"),
        "bad_crc": bytes.fromhex("0405003301000000e11d"),
    }
    for name, data in replies.items():
        write("fuzz_frame", name, b"\x00" + data)
        write("fuzz_frame", name + "_sealed", b"\x01" + data)
    for name, data in raw_vectors.items():
        write("fuzz_frame", name, b"\x00" + data)

    write("fuzz_collector", "clean", b"\x00" + replies["status"])
    write("fuzz_collector", "stray_prefix", b"\x05" + b"\xff\x00\x13" + replies["cycle"])
    write("fuzz_collector", "two_frames", b"\x09" + replies["ok_empty"] + replies["refusal_27"])
    write("fuzz_collector", "truncated", b"\x02" + replies["status"][:-2])
    write("fuzz_collector", "short_length", b"\x01" + bytes.fromhex("040001aabbcc"))

    name = tlv(1048, cp866("ООО Ромашка"))
    inn = tlv(1018, b"7700000000  ")
    tax = tlv(13105, tlv(13102, b"\x00") + tlv(13103, struct.pack("<H", 2000)) + tlv(13104, cp866("НДС 20%")))
    tlvs = {
        "u8": tlv(1055, b"\x01"),
        "u16": tlv(1001, struct.pack("<H", 513)),
        "u32": tlv(1012, struct.pack("<I", 1700000000)),
        "six_byte_u32": tlv(1077, bytes.fromhex("0000efbeadde")),
        "fixnumber": tlv(1023, bytes.fromhex("0201e204")),
        "string": tlv(1021, cp866("КАССА")),
        "empty": bytes.fromhex("fd030000"),
        "missing_byte": bytes.fromhex("fd030100"),
        "list": tlv(1059, tlv(1030, cp866("Хлеб")) + tlv(1079, struct.pack("<I", 4500)) + tlv(1023, b"\x03\xe8\x03")),
        "nested": tax,
    }
    for key, data in tlvs.items():
        write("fuzz_tlv", key, b"\x00" + data)
        write("fuzz_tlv", key + "_sealed", b"\x01" + data)

    for key, data in {
        "two_decimals": "0201e204", "max": "00ffffffffffffff7f", "minus_one": "02ffffffffffffffff",
        "one_byte": "03", "ten_bytes": "0201000000000000000077", "zero": "0200",
    }.items():
        write("fuzz_fixnumber", "bytes_" + key, b"\x00" + bytes.fromhex(data))
    for i, text in enumerate(["12", "12,", "12.", "12,5", "-0,5", "1.015", ",5", "1 000", "99999999999999999999",
                              "-9223372036854775808", "0.0000000001", "1e5", "  7.25  "]):
        write("fuzz_fixnumber", "text_%02d" % i, bytes([1 + 2 * (i % 5)]) + text.encode("utf-8"))

    write("fuzz_records", "status", b"\x00" + status)
    write("fuzz_records", "serial", b"\x01" + serial)
    write("fuzz_records", "cycle", b"\x02" + cycle)
    write("fuzz_records", "cycle_short", b"\x02" + cycle[:5])
    write("fuzz_records", "counters", b"\x03" + counters)
    write("fuzz_records", "totals", b"\x04" + totals)
    write("fuzz_records", "regdata", b"\x05" + name + inn + tax + tlv(1037, b"0000000000012345") +
          tlv(1009, cp866("г. Москва")) + tlv(1012, struct.pack("<I", 1700000000)))

    cashier = struct.pack("<bHi", 20, 0x01FF, 1234) + cp866("Иванов").ljust(256, b"\0")
    section = b"\x01" + cp866("Отдел 1").ljust(127, b"\0")
    discount = struct.pack("<bbq", 2, 1, 1500) + cp866("Скидка").ljust(128, b"\0")
    write("fuzz_catalog", "cashier", b"\x00" + cashier)
    write("fuzz_catalog", "cashier_short", b"\x00" + cashier[:5])
    write("fuzz_catalog", "section", b"\x01" + section)
    write("fuzz_catalog", "discount", b"\x02" + discount)

    cashier_block = struct.pack("<Bi", 20, 0)
    requests = {
        "status": frame(0x30, 1),
        "cycle": frame(0x10, 2),
        "open_shift": frame(0x21, 3, cashier_block + cp866("Иванов").ljust(64, b"\0")),
        "repeat": b"\x05",
        "stray_then_frame": b"\xff\x00" + frame(0x33, 4),
        "bad_crc": bytes.fromhex("0405003301000000e11d"),
        "unique_zero": frame(0x30, 0),
        "two_requests": frame(0x30, 5) + b"\x05" + frame(0x10, 6),
    }
    for key, data in requests.items():
        write("fuzz_emurequest", key, b"\x00" + data)
    write("fuzz_emurequest", "sealed_status", b"\x01" + frame(0x30, 7))

    image = b"VIRTAIMG" + struct.pack("<I", 4) + b"\0" * 4 + b"body"
    loader = {
        "check": b"\x04" + struct.pack("<i", 0) + b"\xff",
        "announce": b"\x04" + struct.pack("<i", 4) + b"\x00" + struct.pack("<i", len(image)),
        "negative": b"\x04" + struct.pack("<i", -1) + b"\x01",
        "upload": b"\x04" + struct.pack("<i", 4) + b"\x00" + struct.pack("<i", len(image)) +
                  b"\x04" + struct.pack("<i", len(image)) + b"\x01" + image + b"\x04" + struct.pack("<i", 0) + b"\x02",
    }
    for key, data in loader.items():
        write("fuzz_emuloader", key, b"\x07" + data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
