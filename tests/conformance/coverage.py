#!/usr/bin/env python3
"""Checks that the conformance programs observe every Win32 function the product calls.

coverage.py --nm <nm> --stand-in <stand-in library> --conformance <folder> <product library or object>...

The product calls a function when one of its libraries or objects leaves it undefined and the stand-in defines it
(an exported C function). A function is observed when an observation line of any expected*.txt in the folder names
it as a call, "Name(" in the text before "->". A function that no implementation here can run meaningfully may
instead be named in unobserved.txt of the folder, "Name: reason", at most a tenth of them. Prints the counts and every
function that is neither; exits 1 when there is one, or when unobserved.txt is too long or names what is observed or
not called.
"""
import argparse
import glob
import os
import re
import subprocess
import sys


def symbols(nm, path, defined):
    args = [nm, '--defined-only' if defined else '--undefined-only', '-g', path]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if not parts or parts[-1].endswith(':') or parts[-1].startswith('_Z'):
            continue
        if defined and (len(parts) < 3 or parts[-2] not in ('T', 'W')):
            continue  # data (GUIDs, IIDs) is no function
        names.add(parts[-1])
    return names


def observed_calls(folder):
    calls = set()
    for path in sorted(glob.glob(os.path.join(folder, 'expected*.txt'))):
        with open(path, encoding='utf-8') as f:
            for line in f:
                if line.lstrip().startswith('#'):
                    continue
                what, sep, _ = line.partition(' -> ')
                if sep:
                    calls.update(re.findall(r'\b([A-Za-z_][A-Za-z0-9_]*)\(', what))
    return calls


def read_unobserved(path):
    named = {}
    if not os.path.exists(path):
        return named
    with open(path, encoding='utf-8') as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith('#'):
                continue
            name, sep, reason = line.partition(':')
            if not sep or not reason.strip():
                sys.exit(f'{path}:{number}: expected "Name: reason": {line}')
            named[name.strip()] = reason.strip()
    return named


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--nm', default='nm')
    parser.add_argument('--stand-in', required=True)
    parser.add_argument('--conformance', required=True)
    parser.add_argument('product', nargs='+')
    args = parser.parse_args()

    provided = symbols(args.nm, args.stand_in, True)
    called = set()
    for path in args.product:
        called |= symbols(args.nm, path, False) & provided
    observed = observed_calls(args.conformance)
    unobserved = read_unobserved(os.path.join(args.conformance, 'unobserved.txt'))

    problems = 0
    missing = sorted(called - observed - set(unobserved))
    for name in missing:
        print(f'NOT OBSERVED: {name} (no observation line calls it, and unobserved.txt does not name it)')
    problems += len(missing)
    for name in sorted(set(unobserved) & observed):
        print(f'unobserved.txt names {name}, which an observation calls: remove it there')
        problems += 1
    for name in sorted(set(unobserved) - called):
        print(f'unobserved.txt names {name}, which the product does not call')
        problems += 1
    if len(unobserved) * 10 > len(called):
        print(f'unobserved.txt names {len(unobserved)} functions, more than a tenth of {len(called)}')
        problems += 1
    print(f'functions the product calls: {len(called)}, observed: {len(called & observed)}, '
          f'named unobserved: {len(set(unobserved) & called)}, neither: {len(missing)}')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
