#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

The layouts are described at the top of transfer_fuzz.cpp and locate_fuzz.cpp. Run it again after
changing a layout; the files it writes are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack('<H', v)


# --- transfer: one script byte per host message (see FakeUnit::Write) ---
def proper(delay_ms=0):
    return bytes([delay_ms & 0x1F])


def late(ms):
    return bytes([0x20]) + u16(ms)


def raw(answer, delay_sel=0):
    return bytes([0x40 | (delay_sel << 3) | len(answer)]) + bytes(answer)


SILENCE = bytes([0x60])


def resize(size):
    return bytes([0x70]) + u16(size)


def partial(k):
    return bytes([0x80 | k])


def hangup(answer_first, hundreds_ms=0):
    return bytes([0xA0 | (hundreds_ms << 1) | (1 if answer_first else 0)])


def slow_drain(quarters):
    return bytes([0xC0 | quarters])


def extra(more):
    return bytes([0xE0 | (len(more) - 1)]) + bytes(more)


def setup(length, seed=7, code_pick=0, refuse_first=False, refuse_second=False, missing=False,
          long_image=False, code=None):
    flags = (1 if refuse_first else 0) | (2 if refuse_second else 0) | (4 if missing else 0)
    flags |= code_pick << 3
    flags |= 0x40 if long_image else 0
    out = bytes([flags]) + u16(length) + bytes([seed])
    if code_pick == 7:
        out += u16(code)
    return out


START = proper() + proper() + proper()  # wake-up, header, checksum answered properly

TRANSFER = {
    'ok_empty_image': setup(0),
    'ok_51_bytes': setup(51),
    'ok_400_bytes_model_14': setup(400, code_pick=2),
    'ok_code_510': setup(120, code_pick=5),
    'ok_code_30': setup(120, code_pick=4),
    'ok_raw_code': setup(60, code_pick=7, code=0x1234),
    'ok_4000_bytes': setup(4000, seed=3),
    'ok_offset_wraps': setup(120, long_image=True),
    'ok_answers_late_in_time': setup(100) + late(9000) + late(9990) + late(100) + late(5000),
    'ok_zero_checksum_echoed_by_silence': setup(0) + proper() + proper() + SILENCE,
    'ok_zero_checksum_late_echo_delays_the_frame': setup(0, seed=7) + proper(1) + proper() +
    late(0xAE10),
    'fail_zero_checksum_time_out_then_stale_echo': setup(0, seed=0xFB) + proper() + late(0xF8) +
    late(0x38F8),
    # Found by fuzzing: an image whose checksum is 0x99, answered by silence.
    'fail_checksum_0x99_silent': bytes.fromhex('00000a70707070707070247070'),
    'ok_slow_drains': setup(100) + slow_drain(8) + slow_drain(19) + proper() + slow_drain(3),
    'ok_image_grows': setup(100) + proper() + proper() + resize(180),
    'fail_port_refused': setup(10, refuse_first=True),
    'fail_reopen_refused': setup(10, refuse_second=True),
    'fail_image_missing': setup(10, missing=True),
    'fail_silent_unit': setup(10) + SILENCE,
    'fail_wrong_wakeup_echo': setup(10) + raw([0x98]),
    'fail_header_invalid': setup(10) + proper() + raw([0x00]),
    'fail_wrong_model': setup(10) + proper() + raw([0x51]),
    'fail_touch_screen': setup(10) + proper() + raw([0xFC]),
    'fail_log_mem': setup(10) + proper() + raw([0xFD]),
    'fail_app_mem': setup(10) + proper() + raw([0xFE]),
    'fail_header_unknown_answer': setup(10) + proper() + raw([0x42]),
    'fail_header_too_late': setup(10) + proper() + late(12000),
    'fail_header_silent': setup(10) + proper() + SILENCE,
    'fail_checksum_wrong_echo': setup(10) + proper() + proper() + raw([0x00, 0x01]),
    'fail_checksum_silent': setup(10) + proper() + proper() + SILENCE,
    'fail_two_byte_header_answer': setup(100) + proper() + extra([0x01]),
    'fail_frame_not_received': setup(120) + START + proper() + raw([0xFF]),
    'fail_frame_wrong_answer': setup(120) + START + raw([0x02]),
    'fail_frame_silent': setup(200) + START + proper() + SILENCE,
    'fail_end_crc_mismatch': setup(10) + START + proper() + raw([0xFF]),
    'fail_end_wrong_answer': setup(10) + START + proper() + raw([0x01]),
    'fail_end_silent': setup(10) + START + proper() + SILENCE,
    'fail_write_cut_short': setup(120) + START + partial(5),
    'fail_header_write_cut_short': setup(120) + proper() + partial(19),
    'fail_hangup_after_answer': setup(120) + START + hangup(True),
    'fail_hangup_before_answer': setup(120) + START + hangup(False, 3),
    'fail_image_shrinks': setup(120) + proper() + resize(30),
    'fail_image_shrinks_before_frames': setup(120) + START[:2] + resize(70),
    'ok_stale_byte_decides_end': setup(10) + START + extra([0xCC]) + raw([0xFF]),
}


# --- locate: instant, prefix, entries (see locate_fuzz.cpp) ---
def instant(secs, nsec=0):
    return struct.pack('<q', secs) + struct.pack('<I', nsec)


def prefix(p):
    return bytes([len(p)]) + p


FILE, FOLDER, DANGLING, LINK, FIFO = 0, 4, 5, 6, 7
WITH_PREFIX, FOLD_PREFIX = 0x08, 0x10


def entry(kind, name, with_prefix=True, fold=False, suffix=0, add_suffix=True, size_sel=0):
    bits = kind | (WITH_PREFIX if with_prefix else 0) | (FOLD_PREFIX if fold else 0)
    bits |= (0x20 | (suffix << 6)) if add_suffix else 0
    bits |= (size_sel << 6) if not add_suffix else 0
    return bytes([bits, len(name)]) + name


LOCATE = {
    'one_match': instant(1015250709) + prefix(b'PLQ5A') + entry(FILE, b'_v1'),
    'three_matches': instant(0) + prefix(b'PLQ5B') + entry(FILE, b'c') + entry(FILE, b'a') +
    entry(FILE, b'b', suffix=1),
    'case_and_order': instant(-1) + prefix(b'125') + entry(FILE, b'x', suffix=2) +
    entry(FILE, b'X') + entry(FILE, b'126.abs', with_prefix=False, add_suffix=False) +
    entry(FILE, b'127x.abs', with_prefix=False, add_suffix=False),
    'no_overlap': instant(951782400) + prefix(b'A.ab') + entry(FILE, b's', with_prefix=False,
                                                               add_suffix=False) +
    entry(FILE, b'', suffix=0) + entry(FILE, b'A.abs', with_prefix=False, add_suffix=False),
    'kinds': instant(2**40) + prefix(b'PL') + entry(FOLDER, b'dir') + entry(DANGLING, b'gone') +
    entry(LINK, b'link') + entry(FIFO, b'fifo') + entry(FILE, b'plain'),
    'other_extensions': instant(4102444800) + prefix(b'PLQ5C') + entry(FILE, b'1', suffix=3) +
    entry(FILE, b'2.ab', add_suffix=False) + entry(FILE, b'3', add_suffix=True),
    'odd_bytes': instant(-2**62) + prefix(b'\xff\xfe') + entry(FILE, b'\x01\n\t *?[') +
    entry(FILE, b'\xc3\xa9\xe2\x82\xac', fold=True) + entry(FILE, b'\\drivers\\'),
    'long_names': instant(2**62) + prefix(b'PLQ5D') + entry(FILE, b'n' * 246) +
    entry(FILE, b'm' * 250) + entry(FILE, b'o' * 255, with_prefix=False, add_suffix=False),
    'empty_prefix': instant(86399) + prefix(b'') + entry(FILE, b'any') + entry(FILE, b'.abs',
                                                                               with_prefix=False,
                                                                               add_suffix=False),
    'instant_most_negative': instant(-2**63) + prefix(b'P') + entry(FILE, b'1'),
    'no_match': instant(43200) + prefix(b'PLQ5E') + entry(FILE, b'PLQ5F.abs', with_prefix=False,
                                                          add_suffix=False),
}


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    write('transfer', TRANSFER)
    write('locate', LOCATE)
