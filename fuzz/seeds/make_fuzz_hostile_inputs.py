#!/usr/bin/env python3
"""Writes the starting inputs of the structural fuzz target into fuzz_hostile/.

usage: make_fuzz_hostile_inputs.py [DIR]      (default: fuzz_hostile beside this script)

fuzz_hostile.cpp reads its input as a program: one byte for the format (bit 0:
10.0 rather than 9.5, bit 1: xz rather than zlib framing), then operations of
four bytes, kind and three argument bytes (a, then b as 16 bits, least
significant first). Each input here starts the fuzzer on one shape, or on a few
combined; the output is the same at every run.
"""
import os
import struct
import sys

CHAIN, DIAMOND, SAME_CHILD, INSTANCES, NESTED, BACK_REF, FILE_REF, BOMB, UNKNOWN = range(9)
V95, V100, XZ = 0, 1, 2


def program(head, *ops):
    return bytes([head]) + b''.join(struct.pack('<BBH', kind, a, b) for kind, a, b in ops)


def inputs():
    return {
        'chain_2k.bin': program(V95, (CHAIN, 0, 250)),
        'chain_40k_xz.bin': program(V100 | XZ, (CHAIN, 0, 5000)),
        'diamond_40.bin': program(V100, (DIAMOND, 40, 0)),
        'same_child_64k.bin': program(V100, (SAME_CHILD, 0, 4096)),
        'instances_10k_reversed.bin': program(V95, (INSTANCES, 1, 2500)),
        'nested_1000.bin': program(V100, (NESTED, 0, 500)),
        'nested_1000_late.bin': program(V95, (NESTED, 1, 500)),
        'back_reference.bin': program(V100, (CHAIN, 0, 4), (BACK_REF, 0, 3), (BACK_REF, 0, 0)),
        'files.bin': program(V100, (FILE_REF, 0, 0), (FILE_REF, 1, 0), (FILE_REF, 2, 0), (FILE_REF, 3, 0),
                             (FILE_REF, 4, 0)),
        'bomb_40m.bin': program(V95, (BOMB, 0, 40000)),
        'bomb_40m_late_xz.bin': program(V100 | XZ, (BOMB, 1, 40000)),
        'unknown_kinds.bin': program(V100, *[(UNKNOWN, k, 24) for k in range(11)]),
        'mixed.bin': program(V95, (CHAIN, 0, 100), (SAME_CHILD, 0, 64), (INSTANCES, 0, 64), (DIAMOND, 20, 0),
                             (NESTED, 0, 3), (FILE_REF, 0, 0), (BOMB, 0, 16)),
    }


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'fuzz_hostile')
    os.makedirs(target, exist_ok=True)
    for name, data in sorted(inputs().items()):
        with open(os.path.join(target, name), 'wb') as f:
            f.write(data)
        print('%-32s %4d bytes' % (name, len(data)))


if __name__ == '__main__':
    main()
