#!/usr/bin/env python3
"""callgrind_layers.py FILE OPS [N]: instructions per operation of a callgrind profile, by layer.

A layer is an object file of the program (korvo itself with the WebSocket libraries, libhttpapi.so,
libplatform_win.so); each is charged its own instructions plus those of the C and C++ runtime
functions it calls directly (memcpy, malloc, locks). Then the N runtime calls and the N functions
costing most per operation. Written for bench/websocket/korvo_profile.sh."""
import re, sys, collections
path, ops = sys.argv[1], int(sys.argv[2])
N = int(sys.argv[3]) if len(sys.argv) > 3 else 40
names = {'ob': {}, 'fn': {}, 'fl': {}}
def name(kind, text):
    m = re.match(r'\((\d+)\)(?: (.*))?', text)
    if not m: return text
    if m.group(2): names[kind][m.group(1)] = m.group(2)
    return names[kind].get(m.group(1), text)
RUNTIME = ('libc.so', 'libstdc++', 'libm.so', 'ld-linux', 'libgcc')
def runtime(o): return any(r in (o or '') for r in RUNTIME)
def short(o): return (o or '?').split('/')[-1]
ob = fn = cob = cfn = None
excl = collections.Counter(); layer = collections.Counter(); runtime_by = collections.Counter()
callfns = collections.Counter()
pending = False
for line in open(path):
    line = line.rstrip('\n')
    if line.startswith('ob='): ob = name('ob', line[3:]); 
    elif line.startswith('fn='): fn = name('fn', line[3:]); cob = None
    elif line.startswith('cob='): cob = name('ob', line[4:])
    elif line.startswith('cfn='): cfn = name('fn', line[4:])
    elif line.startswith(('cfi=', 'cfl=')): name('fl', line[4:])
    elif line.startswith(('fl=', 'fi=', 'fe=')): name('fl', line[3:])
    elif line.startswith('calls='): pending = True
    elif line and (line[0].isdigit() or line[0] in '+-*'):
        parts = line.split()
        if len(parts) < 2: continue
        c = int(parts[1])
        if pending:
            pending = False
            callee_ob = cob if cob is not None else ob
            if runtime(callee_ob) and not runtime(ob):
                layer[short(ob)] += c
                runtime_by[(short(ob), cfn)] += c
            cob = None
            continue
        excl[(short(ob), fn)] += c
        if not runtime(ob): layer[short(ob)] += c
total = sum(excl.values())
print(f'total {total/ops:.0f} Ir/op over {ops} ops')
print('by layer (own code + runtime calls it makes):')
for o, c in layer.most_common(): print(f'{c/ops:9.0f}  {o}')
print('runtime calls by layer:')
for (o, f), c in runtime_by.most_common(N // 2): print(f'{c/ops:9.1f}  {o[:12]:12} -> {f[:110]}')
print('top functions (exclusive):')
for (o, f), c in excl.most_common(N): print(f'{c/ops:9.1f}  {o[:12]:12} {f[:140]}')
