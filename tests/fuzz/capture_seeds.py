#!/usr/bin/env python3
"""Cuts a capture of port 111 into fuzzer seeds: each datagram to the
server becomes a datagram_fuzzer input, each TCP connection's bytes to the
server a stream_fuzzer input, in the layouts the fuzzers read."""
import hashlib
import os
import struct
import sys


def packets(path):
    with open(path, 'rb') as f:
        data = f.read()
    magic = struct.unpack('<I', data[:4])[0]
    endian = '<' if magic in (0xa1b2c3d4, 0xa1b23c4d) else '>'
    linktype = struct.unpack(endian + 'I', data[20:24])[0]
    pos = 24
    while pos + 16 <= len(data):
        _, _, caplen, _ = struct.unpack(endian + 'IIII', data[pos:pos + 16])
        frame = data[pos + 16:pos + 16 + caplen]
        pos += 16 + caplen
        if linktype == 1:  # Ethernet, as Linux gives loopback
            ethertype = struct.unpack('>H', frame[12:14])[0]
            frame = frame[14:]
        else:
            continue
        if ethertype == 0x0800:
            ihl = (frame[0] & 0x0F) * 4
            proto, src = frame[9], frame[12:16]
            payload = frame[ihl:struct.unpack('>H', frame[2:4])[0]]
            loopback = src[0] == 127
        elif ethertype == 0x86DD:
            proto, src = frame[6], frame[8:24]
            payload = frame[40:40 + struct.unpack('>H', frame[4:6])[0]]
            loopback = src == bytes(15) + b'\x01'
        else:
            continue
        yield proto, src, loopback, payload


def write(folder, seed):
    os.makedirs(folder, exist_ok=True)
    name = hashlib.sha1(seed).hexdigest()[:16]
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(seed)


def main(pcap, datagrams, streams):
    connections = {}
    for proto, src, loopback, payload in packets(pcap):
        if proto == 17:
            sport, dport = struct.unpack('>HH', payload[:4])
            body = payload[8:]
            if dport == 111 and body:
                who = 1 if loopback else 0
                who |= 2 if len(src) == 16 else 0
                write(datagrams, bytes([who]) + struct.pack('>H', len(body)) + body)
        elif proto == 6:
            sport, dport = struct.unpack('>HH', payload[:4])
            body = payload[(payload[12] >> 4) * 4:]
            if dport == 111 and body:
                key = (src, sport)
                connections.setdefault(key, [loopback, b''])
                connections[key][1] += body
    for loopback, stream in connections.values():
        write(streams, bytes([1 if loopback else 0, 0]) + stream)


if __name__ == '__main__':
    main(*sys.argv[1:4])
