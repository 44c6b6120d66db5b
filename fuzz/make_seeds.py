#!/usr/bin/env python3
"""Writes the seed inputs under fuzz/corpus/<target>/ from the protocol's worked examples.

Run from anywhere; existing seed files are overwritten, other files (fuzzer finds,
regression_*.bin) are left alone."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def h(text):
    return bytes.fromhex(text)


def telegram(command, tid, payload=b""):
    body = struct.pack("<HH", command, tid) + payload
    cs = 0
    for b in body:
        cs ^= b
    return struct.pack("<H", len(payload) + 5) + body + bytes([cs])


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed_" + name + ".bin"), "wb") as f:
        f.write(data)


# telegram: whole frames as the parser sees them
for name, text in {
    "reset_request": "05 00 04 01 02 00 07",
    "reset_confirmation": "06 00 04 81 02 00 00 87",
    "busconfig_request": "09 00 07 01 02 00 A0 86 01 00 23",
    "busconfig_confirmation": "06 00 07 81 02 00 00 84",
    "connect_request": "05 00 01 01 01 00 01",
    "keepalive_request": "09 00 0D 01 07 00 E8 03 00 00 E0",
    "keepalive_answer": "06 00 0D 81 07 00 00 8B",
    "keepalive_refused": "06 00 0D 81 07 00 FF 74",
    "six_bytes": "05 00 04 01 02 00",
    "eight_bytes_length5": "05 00 04 81 02 00 00 87",
    "bad_checksum": "06 00 04 81 02 00 00 88",
}.items():
    write("telegram", name, h(text))


# stream: flags, chunk sizes, read length, [0xFF run], stream
def stream(flags, chunks, read_length, data, run=None):
    out = bytes([flags, len(chunks)]) + bytes(c - 1 for c in chunks) + bytes([read_length])
    if flags & 4:
        out += struct.pack("<H", run)
    return out + data


read_reply = telegram(0x8110, 0, b"\x00" + bytes(range(1, 17)))
write("stream", "read_reply_whole", stream(0, [], 16, read_reply))
write("stream", "read_reply_bytewise", stream(0, [1], 16, read_reply))
write("stream", "two_in_one_chunk", stream(0, [], 4, telegram(0x8110, 5, b"\x00\x01") + read_reply))
write("stream", "three_receives", stream(0, [3, 5, 200], 16, read_reply))
write("stream", "one_byte_tail", stream(0, [len(read_reply) + 1, 50], 16, read_reply + read_reply[:1] + read_reply[1:]))
write("stream", "keepalive_then_reply", stream(0, [], 16, h("09 00 0D 01 07 00 E8 03 00 00 E0") + read_reply))
write("stream", "keepalive_off", stream(0, [], 16, h("09 00 0D 01 07 00 E8 03 00 00 E0") + telegram(0x010D, 8, b"\0\0\0\0")))
write("stream", "disconnect_request", stream(0, [], 16, telegram(0x0102, 0)))
write("stream", "connect_request", stream(0, [], 16, telegram(0x0101, 3)))
write("stream", "connect_confirmation", stream(0, [], 16, telegram(0x8101, 1, b"\x00") + telegram(0x8102, 0, b"\x05")))
write("stream", "short_frames", stream(0, [], 16, h("00 00") + h("01 00 AA") + h("04 00 10 81 00 00")))
write("stream", "reply_bit_off", stream(0, [], 16, telegram(0x0110, 0, b"\x00\x11")))
write("stream", "wrong_command", stream(0, [], 16, telegram(0x8111, 0, b"\x00\x11")))
write("stream", "repaired", stream(3, [7], 16, h("0A 00 10 81 77 77 00 01 02 03 04 00")))
write("stream", "largest_frame", stream(4, [255, 255], 16, h("FF FF 10 81 00 00 00"), 65530))
write("stream", "largest_frame_of_run", stream(4, [200], 16, h("FF FF"), 65535))
write("stream", "flood_unrequested", stream(1, [], 16, b"".join(telegram(0x8110, i, b"\x00") for i in range(1, 60))))

# decoders: length argument, second size argument, reply payload
def dec(length, other, payload):
    return struct.pack("<ii", length, other) + payload


write("decoders", "read16", dec(16, 32, b"\x00" + bytes(range(16))))
write("decoders", "read_more_than_asked", dec(2, 32, h("00 01 02 03 04")))
write("decoders", "eeprom_len_plus3", dec(4, 0, h("00 EE EE 01 02 03 04")))
write("decoders", "sequence_example", dec(0, 32, h("00 02 00 AA BB")))
write("decoders", "sequence_70000", dec(0, 70000, h("00 02 00") + bytes(100)))
write("decoders", "digital", dec(0, 0, h("00 01 02 03 04 05 06 07 08")))
write("decoders", "device_info", dec(0, 4, h("00 01 02 03 04") + bytes(20)))
write("decoders", "status_text", dec(0, 4, b"\x00" + b"ABCDEF"))
write("decoders", "raw_get", dec(0, 0, h("00 5C")))
write("decoders", "empty", dec(65536, -1, b""))


# client_ops: operation, framing, 4 arguments, [command, id, checksum], payload or frame
def op(number, args, payload, framing=0, command=0, tid=0, checksum=0):
    out = bytes([number, framing]) + struct.pack("<4i", *(list(args) + [0] * (4 - len(args))))
    if framing & 1:
        out += struct.pack("<H", command)
    if framing & 2:
        out += struct.pack("<H", tid)
    if framing & 4:
        out += bytes([checksum])
    return out + payload


write("client_ops", "busconfig", op(0, [0, 400], b"\x00"))
write("client_ops", "read", op(1, [16, 0xA0], b"\x00" + bytes(range(16))))
write("client_ops", "read_nack_with_data", op(1, [4, 0xA0], h("20 01 02")))
write("client_ops", "write", op(2, [2, 0x40], h("00 34 12")))
write("client_ops", "reset_empty_reply", op(3, [], b""))
write("client_ops", "eeprom_read", op(4, [4, 0, 0x1234, 0], h("00 EE EE 01 02 03 04")))
write("client_ops", "eeprom_write", op(5, [2, 1, 0x3A5, 0x208], b"\x00"))
write("client_ops", "eeprom_write_poll", op(6, [2, 0, 0x10, 8], h("25")))
write("client_ops", "read_digital", op(7, [], h("00 01 02 03 04 05 06 07 08")))
write("client_ops", "write_digital", op(8, [0, 0x1234], b"\x00"))
write("client_ops", "device_info", op(9, [], h("00 01 02 03 04")))
write("client_ops", "device_status", op(10, [3], b"\x00ABCDEF"))
write("client_ops", "sequence", op(11, [4, 32], h("00 02 00 AA BB")))
write("client_ops", "raw_start", op(12, [], b"\x00"))
write("client_ops", "raw_send", op(13, [0, 0x1A0, 1], b"\x00"))
write("client_ops", "raw_get", op(14, [0, 1], h("00 5C")))
write("client_ops", "raw_stop_bad_checksum", op(15, [], b"\x00", framing=4, checksum=0x55))
write("client_ops", "wrong_command", op(1, [4, 0xA0], b"\x00", framing=1, command=0x8111))
write("client_ops", "other_id", op(1, [4, 0xA0], b"\x00", framing=2, tid=7))
write("client_ops", "raw_frame", op(3, [], h("06 00 04 81 00 00 00 85"), framing=8))
