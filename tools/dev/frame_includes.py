#!/usr/bin/python3
"""Adds the frame header a file uses directly when it does not include it.

usage: tools/dev/frame_includes.py [--check] FILE...
With --check it only lists what is missing and exits 1 if anything is."""
import os, re, sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def names(header):
    """Names a frame header declares at its top level."""
    text = strip(open(os.path.join(ROOT, 'frame', header)).read())
    found = set()
    for line in text.splitlines():
        if line[:1].isspace() or line.startswith(('#', '}', 'template')):
            if line.startswith('#define'):
                found.add(line.split()[1].split('(')[0])
            continue
        m = re.match(r'(?:struct|enum)\s+(\w+)', line)
        if m:
            found.add(m.group(1))
        for m in re.finditer(r'(\w+)\s*(?:\(|=|\[\d*\]\s*=)', line):
            found.add(m.group(1))
    # enumerators
    for body in re.findall(r'enum[^{;]*\{([^}]*)\}', text):
        found.update(re.findall(r'\b(k\w+)', body))
    # extern tables, and names continued on an indented line
    found.update(re.findall(r'^extern [^;]*?(\w+)(?:\[\d*\])?;', text, re.M))
    found.update(re.findall(r'^\s+(k\w+) = ', text, re.M))
    # parameters with defaults and forward declarations are no names of it
    return found - {'const', 'return', 'if', 'operator', 'sizeof', 'defined', 'full', 'report', 'uint64_t',
                    'JbigContext'}


def strip(text):
    text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
    text = re.sub(r'//[^\n]*', '', text)
    return re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)


HEADERS = ['jbgPort.h', 'jbgBIH.h', 'jbgMarker.h', 'jpgLib.h', 'jbgPat.h', 'jbgError.h', 'jbgDiff.h']
NAMES = {h: names(h) for h in HEADERS}
NAMES['jpgLib.h'].add('JbigContext')


def spelling(path, header):
    d = os.path.relpath(os.path.dirname(os.path.abspath(path)), ROOT)
    if d == 'frame':
        return header
    if d.split(os.sep)[0] in ('tests',):
        return 'frame/' + header
    return '../frame/' + header


def main(args):
    check = args[:1] == ['--check']
    if check:
        args = args[1:]
    missing = 0
    for path in args:
        text = open(path).read()
        code = strip(text)
        own = os.path.basename(path)
        incs = set(os.path.basename(m) for m in re.findall(r'#include "([^"]+)"', text))
        stem = os.path.splitext(path)[0] + '.h'
        if path.endswith('.cpp') and os.path.exists(stem):
            incs |= set(os.path.basename(m) for m in re.findall(r'#include "([^"]+)"', open(stem).read()))
        words = set(re.findall(r'\b\w+\b', code)) - set(re.findall(r'^struct (\w+);', code, re.M))
        add = [h for h in HEADERS if h != own and h not in incs and words & NAMES[h]]
        for h in add:
            missing += 1
            print('%s: uses %s (%s)' % (path, h, ', '.join(sorted(words & NAMES[h])[:4])))
            if not check:
                text = insert(text, '#include "%s"' % spelling(path, h))
        if add and not check:
            open(path, 'w').write(text)
    return 1 if (check and missing) else 0


def insert(text, line):
    lines = text.split('\n')
    quoted = [i for i, l in enumerate(lines) if l.startswith('#include "')]
    if not quoted:
        last = max(i for i, l in enumerate(lines) if l.startswith(('#include', '#pragma')))
        lines.insert(last + 1, line)
        return '\n'.join(lines)
    # Keep a block of quoted includes in order; the file's own header first.
    block = [i for i in quoted if i > quoted[0] or len(quoted) == 1]
    for i in quoted:
        if i == quoted[0] and len(quoted) > 1 and lines[quoted[1] - 1] == '':
            continue
        if lines[i] > line:
            lines.insert(i, line)
            return '\n'.join(lines)
    lines.insert(quoted[-1] + 1, line)
    return '\n'.join(lines)


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
