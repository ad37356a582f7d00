#!/usr/bin/env python3
"""Turns vidlet's packet stream into a raw H.264 (Annex B) elementary stream.

Each packet is a 4-byte big-endian payload length, a 1-byte type and the payload, which is already
Annex B; the payloads in order are the elementary stream. Usage:
    vidlet-to-h264.py < packets > video.h264
"""
import struct
import sys


def main() -> int:
    src, dst = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = src.read(5)
        if not head:
            return 0
        if len(head) < 5:
            print("truncated packet header", file=sys.stderr)
            return 1
        (length,) = struct.unpack(">I", head[:4])
        payload = src.read(length)
        if len(payload) < length:
            print("truncated packet payload", file=sys.stderr)
            return 1
        dst.write(payload)


if __name__ == "__main__":
    sys.exit(main())
