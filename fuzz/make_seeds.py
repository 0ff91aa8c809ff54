#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ (run once; the seeds
are committed). MAVLink seeds carry zero checksums: the harness fixes them.
Usage: fuzz/make_seeds.py [TESTDATA_DIR]  (default ../shared/testdata)"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TESTDATA = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "..", "shared", "testdata")
CORPUS = os.path.join(HERE, "corpus")


def frame(msgid, payload, sysid, compid=0, seq=0):
    return bytes([0xFE, len(payload), seq, sysid, compid, msgid]) + payload + b"\0\0"


def sized(payload, length):
    return (payload + bytes(length))[:length]


def command_long(command, p=(0,) * 7, target_system=0, target_component=0):
    p = tuple(p) + (0,) * (7 - len(p))
    return struct.pack("<7fHBBB", *p, command, target_system, target_component, 0)


def text(s, n):
    return sized(s.encode(), n)


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def noisy_slices(target, stream="noisy-v1.bin"):
    path = os.path.join(TESTDATA, "mavlink", stream)
    data = open(path, "rb").read()
    for i, at in enumerate((0, 65536, 200000)):
        write(target, "noisy-%d" % i, data[at:at + 1024])


PHONE = 0x42  # phone (4) to video board (2)
FC = 0x32     # flight controller (3) to video board (2)

# Phone link: every message the dispatch handles, the camera commands.
tcp = {
    "heartbeat": frame(0, sized(b"", 9), PHONE),
    "param-list": frame(21, sized(b"", 2), PHONE),
    "timesync": frame(111, struct.pack("<qq", 0, 1767225600 * 1000000000), PHONE),
    "data-stream": frame(67, sized(b"\x01", 4), PHONE),
    "camera-trigger": frame(112, sized(b"", 12), PHONE),
    "vision-position": frame(102, sized(b"", 32), PHONE),
    "relay-to-fc": frame(76, command_long(2, (3,)), 0x43),
    "ftp": frame(110, sized(b"\0\0\0hello", 254), PHONE),
    "log-data": frame(120, sized(b"", 97), PHONE),
    "log-end": frame(122, sized(b"", 2), PHONE),
}
for p1 in range(5):
    tcp["media-%d" % p1] = frame(76, command_long(2, (p1,)), PHONE)
for item in (0, 1, 2, 3, 4, 5, 6, 7, 11, 16, 22, 23, 24, 25, 26, 29, 30):
    tcp["setparam-%d" % item] = frame(76, command_long(180, (1, 2, 3), 0, item), PHONE)
for comp in (0, 11, 12, 14):
    tcp["digicam-%d" % comp] = frame(76, command_long(203, (1, 1, 0), 0, comp), PHONE)
tcp["firmware"] = frame(76, command_long(4, (1,)), PHONE)
tcp["two-frames"] = tcp["heartbeat"] + tcp["media-0"]
# The repeater (5) asking for packages again: odd length, so it is upgrading.
tcp["repeater-resend"] = frame(76, command_long(4, (1, 2, 4294967296.0), 2), 0x52)
assert len(tcp["repeater-resend"]) % 2 == 1
for name, data in tcp.items():
    write("mav_tcp", name, data)
noisy_slices("mav_tcp")

# Flight-controller link.
uart = {
    "heartbeat": frame(0, sized(b"", 9), FC),
    "gps-raw": frame(24, sized(struct.pack("<Qii", 0, 399000000, 1164000000), 30), 0x34),
    "gps-info": frame(141, sized(b"", 24), FC),
    "local-ned": frame(32, sized(struct.pack("<Ifff", 0, 12.5, 0, 0), 28), FC),
    "quad-status": frame(58, sized(b"\x01\x02", 4), FC),
    "sd-request": frame(56, b"", FC),
    "custom-config": frame(59, sized(b"\0\0" + text("PLR_SSID", 30), 44), FC),
    "hil-state": frame(90, sized(b"", 56), FC),
    "hil-sensor": frame(107, sized(b"", 64), FC),
    "highres-imu": frame(105, sized(b"", 62), FC),
    "log-data": frame(120, sized(b"", 97), FC),
    "command-ack": frame(77, sized(b"\x08\x02", 3), FC),
    "command-long": frame(76, command_long(2, (1,)), FC),
    "to-phone": frame(76, command_long(2, (1,)), 0x34),
}
# Upgrade answers; the length modulo 3 makes the flight controller (1) or the
# gimbal (2) the upgrading board.
for step in range(5):
    answer = frame(76, command_long(4, (step,), step), FC)
    uart["fc-answer-%d" % step] = answer + b"\0" * ((1 - len(answer)) % 3)
    answer = frame(76, command_long(4, (step,), step), 0x72)
    uart["gimbal-answer-%d" % step] = answer + b"\0" * ((2 - len(answer)) % 3)
for name, data in uart.items():
    write("mav_uart", name, data)
noisy_slices("mav_uart")

write("stick_udp", "frame", tcp["relay-to-fc"])
write("stick_udp", "bytes", bytes(range(32)))

# File service requests.
def resource(uri_type, uri, transfer, storage="0"):
    return frame(142, bytes([0, uri_type]) + text(uri, 120) + bytes([transfer]) + text(storage, 120),
                 PHONE)


fs = {
    "stream-on": frame(67, sized(b"\x01", 4), PHONE),
    "stream-off": frame(67, sized(b"\x00", 4), PHONE),
    "list-pic": frame(21, sized(b"", 2), PHONE, compid=195),
    "list-video": frame(21, sized(b"", 2), PHONE, compid=0),
    "traversal": resource(3, "../VIDEO/CLIP0001.MP4", 1),
    "thumb-missing": resource(2, "CLIP0001.MP4", 0),
}
for transfer in (0, 1, 2, 4, 5, 6, 7, 8):
    fs["video-%d" % transfer] = resource(3, "CLIP0001.MP4", transfer, "1000")
    fs["pic-%d" % transfer] = resource(1, "IMG_0001.JPG", transfer)
fs["thumb-0"] = resource(2, "IMG_0001.JPG", 0)
fs["two-requests"] = fs["list-pic"] + fs["video-1"]
for name, data in fs.items():
    write("fs_request", name, data)

# Transport datagrams: acknowledgements and a frame (checksum of "abc").
write("rtt_ack", "ack", b"FF" + struct.pack("<I", 123456))
write("rtt_ack", "acks-stray", b"xF" + b"FF" + struct.pack("<I", 1) + b"?FF" + struct.pack("<I", 2))
write("rtt_ack", "frame", b"C0XF" + struct.pack("<IHH", 7, 3, 0x9D3B) + b"abcFX0C")

# Configuration files.
write("ccl", "board", b"# Board configuration\nModelName=\"Kavo Sparrow\"\nManufacturer=Pelora\n"
      b"PTotalVer=1.0.0\nSerialNo=SIM0000001\n")
write("ccl", "syntax", b"=5\nword\nb=2\na=\"open\nk=\nurl=\"a=b#c\"\n\"my key\"=\"\"\r\nc=3 # x=4\nlast=1")
write("ccl", "signals", b"36 -62\n1 -70\nkey = a b\n")

# Photo metadata values: exposure, gain, mode, lat, lon, alt, year..sec.
def exif(*v):
    return struct.pack("<ffIiiiiiiiii", *v)


write("exif", "north-east", exif(1 / 120, 1.0, 0, 399000000, 1164000000, 1234, 126, 0, 1, 12, 0, 0))
write("exif", "south-west", exif(2.5, 64.0, 1, -339000000, -1512000000, -50, 99, 11, 31, 23, 59, 60))
write("exif", "zero", bytes(48))

# MP4 files: a tiny H.264 recording (moov at the end) made with ffmpeg.
tmp = tempfile.mkdtemp()
try:
    mp4 = os.path.join(tmp, "tiny.mp4")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=size=64x48:rate=10", "-t", "1.5", "-c:v", "libx264", "-bf", "0",
                    "-pix_fmt", "yuv420p", "-x264-params", "keyint=5", mp4], check=True)
    data = open(mp4, "rb").read()
finally:
    shutil.rmtree(tmp)

atoms = {}
at = 0
while at < len(data):
    size, kind = struct.unpack(">I4s", data[at:at + 8])
    atoms[kind] = (at, size)
    at += size
write("mp4_index", "tiny", data)
moov_at, moov_size = atoms[b"moov"]
mdat_at, mdat_size = atoms[b"mdat"]
# moov first (as a file rewritten for streaming would have it), offsets unchanged: a bad index.
write("mp4_index", "moov-first", data[:mdat_at] + data[moov_at:] + data[mdat_at:moov_at])
write("mp4_index", "cut", data[:moov_at + moov_size // 2])

# Journal of that recording: the parameter sets from its avcC.
avcc = data.index(b"avcC") + 4
indication = data[avcc + 1:avcc + 4]
sps_len = struct.unpack(">H", data[avcc + 6:avcc + 8])[0]
sps = data[avcc + 8:avcc + 8 + sps_len]
pps_at = avcc + 8 + sps_len + 1
pps_len = struct.unpack(">H", data[pps_at:pps_at + 2])[0]
pps = data[pps_at + 2:pps_at + 2 + pps_len]
journal = (b"VBJ1" + struct.pack(">IIIHH", 1000, 10240, 1024, 64, 48) + indication +
           struct.pack(">iH", -1, len(sps)) + sps + bytes([1]) + struct.pack(">H", len(pps)) + pps)
cut = data[:moov_at]
unsized = cut[:mdat_at] + b"\0\0\0\0" + cut[mdat_at + 4:]
for name, body in (("cut-before-moov", cut), ("mdat-unsized", unsized),
                   ("cut-mid-sample", unsized[:mdat_at + mdat_size // 2]), ("complete", data)):
    write("mp4_repair", name, struct.pack(">H", len(journal)) + journal + body)
write("mp4_repair", "no-journal", struct.pack(">H", 0) + unsized)

# Firmware upload: records of the fw_upload target (kind byte first).
def upload_cksum(b):
    s = sum(struct.unpack("<%dH" % (len(b) // 2), b[:len(b) // 2 * 2]))
    if len(b) % 2:
        s += b[-1]
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return struct.pack("<H", ~s & 0xFFFF)


def upload_frame(payload, kind=1):
    return b"@#$&" + bytes([kind]) + struct.pack("<H", len(payload)) + payload + upload_cksum(payload)


def ftp_record(opcode, comp, payload):
    return bytes([0, opcode, len(payload), comp]) + payload


def datagram_record(data):
    return bytes([1]) + struct.pack("<H", len(data)) + data


def image_record(sub, target, size):
    return bytes([2, sub, target]) + struct.pack("<I", size)


import hashlib
fw = bytes(range(256)) * 9  # 2304 bytes: two upload packages
announce = bytes([3]) + struct.pack("<II", 0, 2) + bytes([6]) + b"fc.bin"
pkg0 = upload_frame(bytes([1]) + struct.pack("<I", 0) + fw[:2048][:200])
pkg1 = upload_frame(bytes([1]) + struct.pack("<I", 1) + fw[2048:])
md5 = hashlib.md5(fw[:200] + bytes(1848) + fw[2048:]).hexdigest().encode()
write("fw_upload", "file", ftp_record(11, 1, announce) + datagram_record(pkg0) +
      datagram_record(pkg1) + ftp_record(12, 1, md5) + ftp_record(12, 1, md5))
write("fw_upload", "missing", ftp_record(11, 1, announce) + datagram_record(pkg1) +
      ftp_record(12, 1, md5))
write("fw_upload", "names", ftp_record(11, 1, bytes([7]) + struct.pack("<II", 0, 1) + bytes([4]) +
                                       b"../x") + ftp_record(11, 2, bytes([5, 0, 0, 0, 0, 1, 0, 0, 0, 3]) + b"a;b"))
write("fw_upload", "version", ftp_record(6, 0, b"4.2.0-all") + ftp_record(6, 0, b"x\ny"))
image = bytes(range(240)) * 2
write("fw_upload", "image", image_record(0, 0, 0) + image_record(1, 0, len(image)) +
      ftp_record(2, 0, struct.pack(">I", 0) + image[:240]) +
      ftp_record(2, 0, struct.pack(">I", 1) + image[240:]) +
      ftp_record(3, 0, hashlib.md5(image).hexdigest().encode()) + image_record(2, 0, 0))

# The MAVLink 2 parser of the ground-station endpoint (its checksums are
# right: this target fixes none).
noisy_slices("mav2_frame", "noisy-v2.bin")
