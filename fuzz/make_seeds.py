#!/usr/bin/env python3
"""Writes the seed corpus of tarvo_fuzz (fuzz/corpus/): representative calls, good and bad,
in the byte layout that tarvo_fuzz.cpp decodes. Run from anywhere; rewrites the seed files."""
import os

EXTENTS = [0, 1, 2, 3, 4, 5, 7, 8, 11, 13, 16, 6, 9, 65536, 46341, 2147483647,
           32768, 65535, 32767, 10, 12, 1073741824, 17, 64]
CLASSES = {"double": 0, "single": 2, "int32": 3, "char": 4, "struct": 5, "logical": 6,
           "like1": 7}
CONTENTS = {"zeros": 0, "bytes": 1, "nan": 2, "inf": 3, "denormal": 4, "tiny": 5,
            "huge": 6, "smooth": 7}


def arg(dims, cls="double", cplx=True, contents="smooth"):
    kind = CLASSES[cls] | (8 if cplx else 0) | (CONTENTS[contents] << 4)
    return bytes([kind, len(dims)] + [EXTENTS.index(d) for d in dims])


def call(nlhs, *args, tail=b""):
    return bytes([nlhs, len(args)]) + b"".join(args) + tail


K = [8, 8, 2, 2]
SEEDS = {
    "good_two_inputs": call(3, arg(K), arg(K)),
    "good_three_inputs": call(3, arg(K), arg(K), arg(K, "like1")),
    "good_three_inputs_nlhs1": call(1, arg(K), arg(K), arg(K, "like1")),
    "good_nlhs0": call(0, arg(K), arg(K)),
    "good_nlhs2_3d": call(2, arg([8, 12, 3]), arg([8, 12, 3], "like1")),
    "good_5d": call(3, arg([4, 8, 2, 3, 2]), arg([4, 8, 2, 3, 2], "like1")),
    "good_6d": call(3, arg([4, 6, 2, 2, 1, 2]), arg([4, 6, 2, 2, 1, 2], "like1")),
    "good_odd_prime": call(3, arg([7, 13, 1, 3]), arg([7, 13, 1, 3], "like1")),
    "good_m1": call(3, arg([1, 8, 2]), arg([1, 8, 2], "like1")),
    "good_n1": call(3, arg([8, 1, 2]), arg([8, 1, 2], "like1")),
    "good_n2": call(3, arg([8, 2, 2]), arg([8, 2, 2], "like1")),
    "good_4_outputs_wanted": call(4, arg(K), arg(K)),
    "good_ignored_fourth": call(3, arg(K), arg(K), arg(K, "like1"), arg([2], "char")),
    "zeros": call(3, arg(K, contents="zeros"), arg(K, "like1", contents="zeros")),
    "nan": call(3, arg(K, contents="nan"), arg(K, "like1")),
    "inf": call(3, arg(K), arg(K, "like1", contents="inf")),
    "denormal": call(3, arg(K, contents="denormal"), arg(K, "like1", contents="denormal")),
    "tiny": call(3, arg(K, contents="tiny"), arg(K, "like1", contents="tiny")),
    "huge": call(3, arg(K, contents="huge"), arg(K, "like1", contents="huge")),
    "raw_bytes": call(3, arg([4, 4, 2]), arg([4, 4, 2], "like1", contents="bytes"),
                      tail=bytes(range(0, 256, 3))),
    "too_few_inputs": call(3, arg(K)),
    "no_inputs": call(1),
    "five_outputs": call(5, arg(K), arg(K)),
    "real_first": call(3, arg(K, cplx=False), arg(K)),
    "single_second": call(3, arg(K), arg(K, "single")),
    "int32_first": call(1, arg(K, "int32"), arg(K)),
    "char_first": call(1, arg([3], "char"), arg(K)),
    "struct_second": call(1, arg(K), arg([2, 2], "struct")),
    "logical_first": call(1, arg(K, "logical", cplx=False), arg(K)),
    "two_d_first": call(3, arg([8, 8]), arg([8, 8])),
    "rank0_first": call(3, arg([]), arg([])),
    "size_mismatch": call(3, arg(K), arg([8, 8, 3, 2])),
    "third_rank3": call(3, arg(K), arg(K), arg([8, 8, 2])),
    "third_rank5": call(3, arg(K), arg(K), arg([8, 8, 2, 2, 2])),
    "third_mismatch": call(3, arg(K), arg(K), arg([8, 8, 2, 3])),
    "third_real": call(1, arg(K), arg(K), arg(K, "like1", cplx=False)),
    "overflow_count": call(3, arg([65536, 65536, 1, 2]), arg([65536, 65536, 1, 2], "like1")),
    "overflow_slices": call(3, arg([2, 2, 46341, 46341, 2]), arg([2, 2, 46341, 46341, 2])),
    "overflow_zero_z": call(3, arg([65536, 65536, 0, 2]), arg([65536, 65536, 0, 2], "like1")),
    "largest_extent": call(3, arg([2147483647, 2, 1, 2]), arg([2147483647, 2, 1, 2], "like1")),
    "zero_m": call(3, arg([0, 8, 2]), arg([0, 8, 2], "like1")),
    "zero_z": call(3, arg([8, 8, 0, 2]), arg([8, 8, 0, 2], "like1")),
    "zero_l": call(3, arg([8, 8, 2, 0]), arg([8, 8, 2, 0], "like1")),
    "fft_key_limit": call(3, arg([65535, 1, 2]), arg([65535, 1, 2], "like1")),
    "align_limit": call(3, arg([32768, 1, 2]), arg([32768, 1, 2], "like1")),
}

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, "seed_" + name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {out}")
