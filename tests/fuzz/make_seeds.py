#!/usr/bin/env python3
"""Writes the small seed corpus of each fuzz target under corpus/<target>/.

Seeds are starting points that reach deep into each target quickly (a valid
image, a whole dated download, a version line); inputs kept because they once
broke something are added by hand and carry their own names.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def padded(payload, extension=b""):
    return struct.pack(">I", len(payload)) + extension + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF)


# image check: sound images with each header extension, a wrong sum, nothing.
write("image_check", "plain", padded(b"\x01\x02\x03payload"))
write("image_check", "type1", padded(b"abc" * 20, b"\x01"))
write("image_check", "type4_id", padded(bytes(range(64)), b"\x04\x00\x04\x00\x07"))
write("image_check", "bad_sum", padded(b"xyz")[:-1] + b"\x00")
write("image_check", "empty", b"")

# packing: first byte picks the block size, the rest is the file.
write("packing", "text", b"\x03Hello, box! \x00\x00\x00\x00")
write("packing", "all_bytes", b"\xf5" + bytes(range(256)))
write("packing", "zeros", b"\x00" + bytes(100))


# reply wait: choice byte (bit 7 version query; bits 3-5 limit; bits 0-2 text),
# then pieces of [delay in 10 ms][length][bytes].
def pieces(*items):
    out = b""
    for delay, text in items:
        out += bytes([delay, len(text)]) + text
    return out


write("reply_wait", "menu", bytes([0x20]) + pieces((5, b"\r\n 2 - download\r\n"), (3, b"cho"), (1, b"ice!:")))
write("reply_wait", "error_line", bytes([0x21]) + pieces((1, b"\r\nERRORgaga: no"), (2, b" space\n")))
write("reply_wait", "version", bytes([0xA0]) + pieces((10, b"\r\nBoot\r\nBootloader Ver"), (1, b"sion 4.12\r\n")))
write("reply_wait", "no_limit", bytes([0x02]) + pieces((200, b"Flash programmed, finished!\r\n")))
write("reply_wait", "version_no_number", bytes([0x98]) + pieces((1, b"Bootloader Version x.y\n")))


# transfer: flags (bit 0 compressed, 1 packed, 2 leading record, 3-4 image
# type, 5 header rewrite, 6 progress, 7 long limit), file length (n*16, from 240
# on 10240 + (n-240)*400), seed,
# stall (after n*64 bytes, until n*100 ms), hang-up (n*50 ms), then pieces of
# [trigger: bit 15 byte count / 4, else ms after the last][length][bytes].
def transfer(flags, length, seed, replies, stall=b"\x00", hang_up=0):
    out = bytes([flags, length, seed]) + stall + bytes([hang_up])
    for on_bytes, at, text in replies:
        out += struct.pack(">H", (0x8000 | at // 4) if on_bytes else at) + bytes([len(text)]) + text
    return out


dots = [(True, n * 1024, b".") for n in range(1, 10)]
write("transfer", "stream_dots", transfer(0x80, 245, 1, dots))
write("transfer", "packed_stop", transfer(0xC2, 100, 2, dots[:2] + [(True, 3000, b"ST"), (True, 3100, b"OP")]))
write("transfer", "leading_record", transfer(0x84, 60, 4, [(False, 500, b"e"), (False, 100, b"p")]))
write("transfer", "flash_id", transfer(0x80, 250, 5, [(True, 2048, b"Flash's manufacturer and/or "),
                                                      (True, 4096, b"device ids dont match!")]))
write("transfer", "compressed_error", transfer(0x89, 200, 6, [(True, 400, b"\nERROR: no\nmore")]))
write("transfer", "compressed_type2", transfer(0xA1, 50, 7, [(False, 1, b"..:;:;")]))
write("transfer", "stall_hangup", transfer(0x00, 250, 8, [], stall=b"\x04\x00", hang_up=40))

# box model: version index, scenario flags, faults, more, PC clock; then the
# PC's bytes (0xFE n: pause n*20 ms; 0xFD n: speed; 0xFC: the next byte as is).
def pause(ms):
    return b"\xfe" + bytes([ms // 20])


def escape(data):
    return b"".join(b"\xfc" + bytes([b]) if b >= 0xFC else bytes([b]) for b in data)


image = bytes(range(16))
dated = (b" quorcom" + pause(1000) + b"2" + pause(500) +
         escape(b"\xea\x6b\x10\x00\x00" + struct.pack(">IBI", len(image), 7, 0x4000C) + image +
                struct.pack(">I", sum(image))) + pause(5000))
write("box_model", "dated_download", bytes([0, 0x80, 0, 0, 0]) + dated)
write("box_model", "dated_echo_game", bytes([0, 0x90, 0, 0, 0]) + b" quorcom0123\x5b\xe7" + pause(1000) + b"5")
write("box_model", "generation1_menu", bytes([4, 0x00, 0, 0, 0]) + b"\xfd\x01 quorcom" + pause(1000) + b"3" +
      pause(1000) + b"1")
write("box_model", "split_hangup", bytes([1, 0x47, 0x35, 0x02, 1]) + dated)

# boxsim options: arguments separated by NUL bytes.
write("boxsim_options", "basic", b"--link\0/tmp/com1\0--bootloader\x004.12\0--timeout\x005")
write("boxsim_options", "faults", b"--link=/tmp/a\0--fault=stop\0--fault-at\x00100\0--hangup-at\0sum\0--echo\0..x*")
write("boxsim_options", "expect", b"--expect\0flashed,satellite:6\0--boxes\x003\0--link\0x\0--image-id\x000x4000C")
