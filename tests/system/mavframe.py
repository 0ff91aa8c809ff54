# MAVLink 1.0 frames for the system tests' small phones: the X.25 checksum
# with the message's CRC extra, and the framed bytes.
import struct

CRC_EXTRA = {0: 50, 69: 243, 76: 152, 102: 158}


def crc(data):
    c = 0xFFFF
    for b in data:
        t = (b ^ (c & 0xFF)) & 0xFF
        t = (t ^ (t << 4)) & 0xFF
        c = ((c >> 8) ^ (t << 8) ^ (t << 3) ^ (t >> 4)) & 0xFFFF
    return c


def frame(seq, sysid, compid, msgid, payload):
    head = bytes([len(payload), seq, sysid, compid, msgid])
    c = crc(head + payload + bytes([CRC_EXTRA[msgid]]))
    return b"\xfe" + head + payload + struct.pack("<H", c)
