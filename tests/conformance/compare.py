#!/usr/bin/env python3
"""Compares the conformance program's output with expected.txt.

compare.py --against standin|wine <expected file> <output>

Serves every conformance program: the expected file is its expected*.txt. Every observation must appear in the
output exactly once, with the expected value, and in the expected file's order. Against Wine a different value is
allowed where the expected line carries "# wine: <that value> -- <why>". Prints each line that differs, then the
counts; exits 1 on any difference that is not allowed (or on a missing, repeated, unexpected or misplaced line).
"""
import argparse
import sys


def split_observation(line):
    """'<what> -> <value>' into (what, value); None for a line that is not an observation."""
    what, sep, value = line.partition(' -> ')
    return (what.strip(), value.strip()) if sep else None


def read_expected(path):
    """The expected observations in order: (what, value, wine value or None)."""
    entries = []
    with open(path, encoding='utf-8') as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip('\n')
            if not line.strip() or line.lstrip().startswith('#'):
                continue
            parts = line.split('  # ')
            observation = split_observation(parts[0])
            if not observation:
                sys.exit(f'{path}:{number}: not an observation: {line}')
            wine = None
            for marker in parts[1:]:
                if marker.startswith('wine: '):
                    value, sep, why = marker[len('wine: '):].partition(' -- ')
                    if not sep or not why.strip():
                        sys.exit(f'{path}:{number}: a wine marker needs "-- <why>": {line}')
                    wine = value.strip()
                elif not marker.startswith('silent: '):
                    sys.exit(f'{path}:{number}: unknown marker "# {marker}"')
            entries.append((observation[0], observation[1], wine))
    return entries


def read_output(path):
    """The observations printed, in order: (what, value), repeats included."""
    printed = []
    with open(path, encoding='utf-8', errors='replace') as f:
        for raw in f:
            observation = split_observation(raw.rstrip('\r\n'))
            if observation:
                printed.append(observation)
    return printed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--against', choices=['standin', 'wine'], required=True)
    parser.add_argument('expected')
    parser.add_argument('output')
    args = parser.parse_args()

    expected = read_expected(args.expected)
    printed = read_output(args.output)
    counts = {}
    for what, _ in printed:
        counts[what] = counts.get(what, 0) + 1
    observed = {what: value for what, value in printed}
    agreeing = allowed = failed = 0
    for what, value, wine in expected:
        got = observed.get(what, '<missing>')
        if counts.get(what, 0) > 1:
            failed += 1
            print(f'REPEATED: {what} printed {counts[what]} times')
        elif got == value:
            agreeing += 1
        elif args.against == 'wine' and wine is not None and got == wine:
            allowed += 1
            print(f'allowed: {what} -> {got}   (Windows: {value})')
        else:
            failed += 1
            print(f'DIFFERS: {what} -> {got}   (expected: {value})')
    known = {what for what, _, _ in expected}
    for what, value in printed:
        if what not in known:
            failed += 1
            print(f'UNEXPECTED: {what} -> {value}')
    # The order: the expected lines that were printed once must come in the expected file's order.
    position = {what: index for index, (what, _, _) in enumerate(expected)}
    last = -1
    for what, _ in printed:
        if what not in position or counts[what] > 1:
            continue
        if position[what] < last:
            failed += 1
            print(f'OUT OF ORDER: {what} (printed after a line the expected file puts later)')
        last = max(last, position[what])

    print(f'observations: {len(expected)}, agreeing: {agreeing}, allowed differences: {allowed}, '
          f'other differences: {failed}')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
