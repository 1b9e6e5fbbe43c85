#!/usr/bin/env python3
"""Writes the hand-built inputs of the v8rep fuzz target into fuzz_v8rep/.

usage: make_fuzz_v8rep_inputs.py [DIR]      (default: fuzz_v8rep beside this script)

Each input is byte 0 (bits 0-1 the mesh kind: line strips, points, triangle
strips, polygons; bit 2 the neutral record; bit 3 most significant byte
first) followed by one record, least significant byte first: the records of
tests/geometry/test_v8rep.cpp. The writer_* seeds are records the library
writes itself (lossless and quantized with every attribute), which hold
arithmetic-coded packets that mutation alone seldom finds.

Pure Python 3 (struct, zlib); the output is the same at every run.
"""
import os
import struct
import sys
import zlib

STRIPS, POINTS, POLYGONS, NEUTRAL = 2, 1, 3, 4


def i16(v): return struct.pack('<h', v)
def i32(v): return struct.pack('<i', v)
def u8(*vs): return bytes(vs)
def f32(*vs): return struct.pack('<%df' % len(vs), *vs)


def null_packet(values):
    return u8(0) + i32(len(values)) + b''.join(i32(v) for v in values)


def head(n, t, c, vtx, norm=8, tex=16, col=8):
    return i16(1) + u8(n, t, c) + u8(vtx, norm, tex, col)


TRIANGLE = f32(0, 0, 0, 1, 0, 0, 0, 1, 0)
ONE_BIT_VERTS = (f32(0, 1) + u8(1) + f32(0, 1) + u8(1) + f32(0, 0) + u8(1) + i32(3) +
                 null_packet([0, 1, 0]) + null_packet([0, 0, 1]) + null_packet([0, 0, 0]))
RGB_QUANTIZER = u8(0) + (f32(0, 1) + u8(8)) * 3 + f32(0, 1) + u8(0)


def quantized(col_floats):
    return (head(1, 0, 1, 1, 0) + null_packet([]) + ONE_BIT_VERTS +
            u8(0) + i32(3) + null_packet([1, 1, 1]) + null_packet([7, 7, 7]) +
            null_packet([0, 0, 0]) + null_packet([0, 0, 0]) +
            RGB_QUANTIZER + u8(8, col_floats, 1) +
            null_packet([255, 0, 0]) + null_packet([0, 255, 0]) + null_packet([0, 0, 255]) +
            null_packet([0, 0, 0]) + null_packet([0, 1, 2]))


def seeds():
    yield 'lossless_stored', u8(STRIPS) + head(0, 0, 0, 0) + null_packet([]) + i32(36) + i32(-36) + TRIANGLE
    z = zlib.compress(TRIANGLE, 1)
    yield 'lossless_deflated', u8(POLYGONS) + head(0, 0, 0, 0) + null_packet([0, 3]) + i32(36) + i32(len(z)) + z
    yield 'lossless_empty', u8(STRIPS) + head(0, 0, 0, 0) + null_packet([]) + i32(0) + i32(0)
    yield 'quantized_rgb', u8(STRIPS) + quantized(3)
    yield 'quantized_packed', u8(POLYGONS) + quantized(1)
    yield 'quantized_whole_codes', (u8(POLYGONS) + head(0, 0, 1, 1, 0) + null_packet([0, 3]) + ONE_BIT_VERTS +
                                    RGB_QUANTIZER + u8(8, 3, 0) + null_packet([0xFF0000, 0xFF00, 0xFF]) +
                                    null_packet([0, 1, 2]))
    yield 'neutral_normals', (u8(POLYGONS | NEUTRAL) + i32(1) + i32(0) + i32(0) + i32(2) + i32(0) + i32(3) +
                              i32(18) + f32(0, 0, 1, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 1, 0))
    packed = struct.pack('<I', 0x00FF00FF)
    yield 'neutral_packed_colour', (u8(POINTS | NEUTRAL) + i32(0) + i32(0) + i32(1) + i32(0) + i32(12) +
                                    packed + f32(-1, -1, 0, 0, 0) + packed + f32(-1, -1, 1, 0, 0))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fuzz_v8rep')
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
