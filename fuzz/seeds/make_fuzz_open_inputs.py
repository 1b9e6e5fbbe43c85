#!/usr/bin/env python3
"""Writes the hand-built inputs of the open fuzz target into fuzz_open/.

usage: make_fuzz_open_inputs.py [DIR]      (default: fuzz_open beside this script)

Each input is a well-framed VQ file (header, table of contents, one compressed
scene-graph segment) that is damaged in one way only; tests/io/test_partition_fuzz.cpp
opens each of them and says which fault it guards against. The wheel_* seeds are
files the library writes itself: `vqtool demo --keep` leaves wheel95.vq and
wheel100.vq (wheel_9_5.vq, wheel_10_0.vq), with shapes of every kind under an
LOD node, and `vqtool convert --version V` of wheel95.vq gives the 9.0 and
10.1 ones. The 6.4, 7.0 and 8.1 ones were converted from a wheel without
shapes, before it had any (those formats' vertex data is not written yet).

Pure Python 3 (struct, zlib, lzma); the output is the same at every run.
"""
import lzma
import os
import struct
import sys
import zlib

# Type GUIDs of the family {10DDxxxx-2AC8-11D1-9B6B-0080C7BB5997}.
def family_guid(low):
    return struct.pack('<IHH', 0x10DD0000 | low, 0x2AC8, 0x11D1) + bytes.fromhex('9B6B0080C7BB5997')

NODE, GROUP, PARTITION = family_guid(0x1035), family_guid(0x101B), family_guid(0x103E)
BASE_NODE, BASE_GROUP = 0, 1
END_GUID = b'\xff' * 16
PADDING_GUID = struct.pack('<IHH', 4, 0, 0) + bytes(8)
LSG_GUID = struct.pack('<IHH', 0x5EED0001, 0x2222, 0x3333) + bytes.fromhex('4444555566667777')
SEG_LSG = 1


class Format:
    """Element encoders of one format version, least significant byte first."""

    def __init__(self, major, minor):
        self.major, self.minor = major, minor

    def local_version(self):
        if self.major >= 10:
            return struct.pack('<B', 1)
        if self.major == 9:
            return struct.pack('<h', 1)
        return b''

    def element(self, guid, base_type, oid, data, length=None):
        """length: the recorded element length, when it is to differ from the data's."""
        body = guid + bytes([base_type])
        if self.major >= 9:
            body += struct.pack('<i', oid)
        body += data
        return struct.pack('<I', len(body) if length is None else length) + body

    def end(self):
        return struct.pack('<I', 16) + END_GUID

    def node_level(self, oid, attrs=()):
        # Before format 9 a node's data starts with its own object ID.
        head = struct.pack('<i', oid) if self.major < 9 else self.local_version()
        return head + struct.pack('<Ii', 0, len(attrs)) + b''.join(struct.pack('<i', a) for a in attrs)

    def group_level(self, children, count=None):
        n = len(children) if count is None else count
        return self.local_version() + struct.pack('<i', n) + b''.join(struct.pack('<i', c) for c in children)

    def node(self, oid, attrs=(), length=None):
        return self.element(NODE, BASE_NODE, oid, self.node_level(oid, attrs), length)

    def group(self, oid, children, count=None, length=None):
        return self.element(GROUP, BASE_GROUP, oid, self.node_level(oid) + self.group_level(children, count),
                            length)

    def partition(self, oid, children):
        """The partition of the file: node and group levels, then its own level
        (local version, flags with bit 0 for "the children are its contents",
        an empty location string)."""
        own = self.local_version() + bytes([1]) + struct.pack('<i', 0)
        return self.element(PARTITION, BASE_GROUP, oid, self.node_level(oid) + self.group_level(children) + own)

    def property_table(self):
        return struct.pack('<hi', 1, 0)

    def compress(self, body):
        """The compressed segment framing: flag, length + 1, algorithm byte, stream."""
        if self.major >= 10:
            packed = lzma.compress(body, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64, preset=1)
            alg = 3
        else:
            packed = zlib.compress(body, 1)
            alg = 2
        return struct.pack('<Ii', alg, len(packed) + 1) + bytes([alg]) + packed


def scene_graph(fmt, elements, tail=True):
    """A scene-graph segment's content; without tail it stops after the elements."""
    body = b''.join(elements)
    if tail:
        body += fmt.end() + fmt.end() + fmt.property_table()
    return body


def vq_file(fmt, body):
    """Header, table of contents (the one entry and its padding copy), segment."""
    text = ('Version %d.%d VQ  ZQ 0.1.0.0' % (fmt.major, fmt.minor)).encode('ascii').ljust(75, b' ')
    header = text + b' \n\r\n ' + bytes([0]) + struct.pack('<i', 0)
    wide = fmt.major >= 10
    header_size = 109 if wide else 105
    toc_offset = header_size
    entry_size = 32 if wide else 28
    seg_offset = toc_offset + 4 + 2 * entry_size
    payload = fmt.compress(body)
    seg_len = 24 + len(payload)
    header += struct.pack('<Q' if wide else '<i', toc_offset) + LSG_GUID
    assert len(header) == header_size
    toc = struct.pack('<i', 2)
    for guid in (LSG_GUID, PADDING_GUID):
        toc += guid + struct.pack('<Q' if wide else '<i', seg_offset) + struct.pack('<II', seg_len, SEG_LSG << 24)
    segment = LSG_GUID + struct.pack('<ii', SEG_LSG, seg_len) + payload
    return header + toc + segment


def inputs():
    v81, v95 = Format(8, 1), Format(9, 5)
    out = {}

    # A node whose recorded length ends four bytes before its data does: it
    # reads its last attribute ID from beyond its element, links its attribute
    # slots (IDs 2 and 3, whose elements never come) into the swizzler, and is
    # then discarded because its data ran past its end. The swizzler still
    # writes to those slots when the segment ends.
    overlong = v81.node(1, attrs=(2, 3))
    overlong = v81.node(1, attrs=(2, 3), length=len(overlong) - 8)
    out['overlong_element.vq'] = vq_file(v81, scene_graph(v81, [v81.partition(0, [1]), overlong]))

    # A node registered under its ID at once (format 8), which fills the
    # partition's child slot with its address, and is then discarded because
    # its data ran past its end (its attribute count stands after the recorded
    # end). A failed open must not follow the partition's slot to it.
    short = v81.node(1)
    short = v81.node(1, length=len(short) - 8)
    out['discarded_then_linked.vq'] = vq_file(v81, scene_graph(v81, [v81.partition(0, [1]), short]))

    # The first element is a group, not a partition, and its child slot waits
    # in the swizzler for an element that never comes when the open refuses it.
    out['first_not_partition_linked.vq'] = vq_file(v95, scene_graph(v95, [v95.group(0, [1]), v95.node(1)]))

    # A group claiming 0x20000000 children, whose recorded element length is
    # large enough to hold them: only the end of the compressed data refutes
    # the count, after two IDs.
    huge = v95.group(1, [2, 3], count=0x20000000, length=0xF0000000)
    out['huge_child_count.vq'] = vq_file(v95, scene_graph(v95, [v95.partition(0, [1]), huge], tail=False))
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'fuzz_open')
    os.makedirs(target, exist_ok=True)
    for name, data in sorted(inputs().items()):
        with open(os.path.join(target, name), 'wb') as f:
            f.write(data)
        print('%-32s %6d bytes' % (name, len(data)))


if __name__ == '__main__':
    main()
