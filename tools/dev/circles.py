#!/usr/bin/python3
"""Looks for circles among the library's own files: in the #include graph of
the sources, and in the calls between their objects (what one object leaves
undefined and another defines, from nm).

usage: tools/dev/circles.py [BUILD_DIR]   (default: build)
Prints the edges between directories' files and every circle; exits 1 if
there is one. Calls into inline functions and templates are no edges: they
are compiled into the caller."""
import os, re, subprocess, sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORE = ['frame', 'encoder', 'decoder', 'patinfo', 'windows', 'platform']


def sources():
    for d in CORE:
        for f in sorted(os.listdir(os.path.join(ROOT, d))):
            if f.endswith(('.h', '.cpp')):
                yield d + '/' + f


def include_graph():
    graph = {}
    for path in sources():
        edges = set()
        for inc in re.findall(r'^\s*#\s*include\s+"([^"]+)"', open(os.path.join(ROOT, path)).read(), re.M):
            target = os.path.normpath(os.path.join(os.path.dirname(path), inc))
            if os.path.exists(os.path.join(ROOT, target)) and target.split('/')[0] in CORE:
                edges.add(target)
        graph[path] = edges
    return graph


def symbols(obj):
    out = subprocess.run(['nm', '-C', obj], capture_output=True, text=True, check=True).stdout
    defined, undefined = set(), set()
    for line in out.splitlines():
        m = re.match(r'^(?:[0-9a-f]+)?\s+([A-Za-z])\s+(.*)$', line)
        if not m:
            continue
        kind, name = m.groups()
        if kind == 'U':
            undefined.add(name)
        elif kind in 'TDBRG':  # strong definitions; weak ones (W, V, u) are inline copies
            defined.add(name)
    return defined, undefined


def call_graph(build):
    objdir = os.path.join(build, 'CMakeFiles', 'zeljbig_objs.dir')
    objs = {}
    for path in sources():
        obj = os.path.join(objdir, path + '.o')
        if path.endswith('.cpp') and os.path.exists(obj):
            objs[path] = symbols(obj)
    if not objs:
        sys.exit('circles.py: no objects under %s; build first' % objdir)
    graph = {}
    for a, (_, undef) in objs.items():
        graph[a] = {b for b, (defs, _) in objs.items() if b != a and undef & defs}
    return graph


def circles(graph):
    """Strongly connected components of more than one node, and self-loops (Tarjan)."""
    index, low, stack, on, out, n = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = n[0]
        n[0] += 1
        stack.append(v)
        on.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1 or v in graph.get(v, ()):
                out.append(sorted(comp))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def report(title, graph):
    print('== %s' % title)
    for d in ['frame', 'encoder', 'decoder']:
        for a in sorted(graph):
            inner = sorted(b for b in graph[a] if b.startswith(d + '/'))
            if a.startswith(d + '/') and inner:
                print('  %s -> %s' % (a, ', '.join(inner)))
    found = circles(graph)
    for c in found:
        print('  CIRCLE: %s' % ' <-> '.join(c))
    print('  %s' % ('no circle' if not found else '%d circle(s)' % len(found)))
    return not found


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build')
    ok = report('includes (files of %s)' % ', '.join(CORE), include_graph())
    ok = report('calls (objects of %s)' % ', '.join(CORE), call_graph(build)) and ok
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
