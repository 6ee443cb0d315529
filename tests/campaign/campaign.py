"""The campaign: seeded, shrinking, model-based runs of the real program in
worlds that a user and the world change (Hypothesis stateful rules). Each
rule runs shell commands (world.sh) and logs them, so that a failure prints
as a script anyone can paste; the checker knows only what a user may expect
of any copy, never the program's steps.

  campaign.py --program PATH --minutes N [--seed S] [--fs LIST] [--exe PATH]
              [--out DIR] [--shrink-seconds N] [--no-replays] [--switches LIST]
"""
import argparse, functools, traceback, hashlib, inspect, os, re, select, signal, stat, struct, subprocess, sys, time
from hypothesis import HealthCheck, Verbosity, seed, settings, strategies as st
from hypothesis.control import current_build_context
from hypothesis.errors import Flaky, Unsatisfiable
from hypothesis.stateful import (RuleBasedStateMachine, initialize, precondition, rule,
                                 run_state_machine_as_test)

sys.dont_write_bytecode = True  # (replays.py is imported from the tree)
HERE = os.path.dirname(os.path.abspath(__file__))
CFG = {'fss': ['local'], 'wine': False, 'env': dict(os.environ), 'seen': set(), 'deadline': 1e12}
STATS = {'examples': 0, 'steps': 0, 'runs': 0, 'fs': {}, 'windows': 0, 'again': {}, 'flaky': 0}
NAMES = ('f.bin', 'f.bin.tmp', 'f.bin.size')
MiB = 1 << 20
SIZES = [5000, 0, 1, 4095, 4097, 65535, 65537, 2 * MiB - 1, 2 * MiB + 1,
         16 * MiB - 1, 16 * MiB + 1, 40 * MiB + 12345]
CALLS = ['fsync', 'unlinkat', 'renameat2', 'fdatasync', 'write', 'pwrite64', 'openat', 'linkat',
         'fallocate', 'ftruncate']
SWITCHES = st.deferred(lambda: st.lists(st.sampled_from(CFG['switches']), max_size=2,
                                         unique_by=lambda s: s[:2]).map(' '.join))
KILL = st.builds('kill={}:{}'.format, st.sampled_from(CALLS), st.integers(1, 4))
STOPS = st.one_of(st.none(), KILL, KILL, st.sampled_from([0.2, 0.5, 1.0, 2.0]).map('after={}'.format))
FAIL = st.builds('fail={}:{}:{}'.format, st.sampled_from(CALLS),
                 st.sampled_from(['EIO', 'ENOSPC', 'ENOTCONN', 'EINTR']), st.integers(1, 4))
FAULTS = st.one_of(st.none(), FAIL, FAIL, st.builds(
    'shim={}:{}:{}'.format, st.sampled_from(['WRITE', 'READ']), st.integers(1, 9),
    st.sampled_from(['half', 'none'])))
EVENTS = ['edit the source', 'append to the source', 'copy the same', 'copy plainly',
          'drop the share', 'unmount the share', 'mount the share again']
SHARE = {'drop the share': ('drop', 'dropped'), 'unmount the share': ('unmount', 'unmounted'),
         'mount the share again': ('mount_again', 'up')}
# A clear report: "Exception <Class>" and its message, or the not-renamed line.
REPORT = re.compile(r'(Exception \S.*(\n.+){1,2}|Temporary Target File not renamed.*)$')
KINDS = {}  # one exception class per kind of violation, so that each shrinks as its own


class Violation(AssertionError):
    pass


class Known(Exception):
    """A kind found before in this session: noted, and the example goes on."""


class Stop(KeyboardInterrupt):
    """Out of time (Hypothesis lets it through)."""


class Broken(KeyboardInterrupt):
    """The campaign cannot go on (a share that does not come up)."""


def sha(path):
    with open(path, 'rb') as f:
        return hashlib.sha1(f.read()).hexdigest()


def tolerant(rule_function):  # a known kind ends the rule's checks, not the example
    @functools.wraps(rule_function)
    def run(self, **kw):
        try:
            rule_function(self, **kw)
        except Known:
            pass
    return run


class Shell:
    """One bash per example; the commands it ran are the example's script."""

    def __init__(self):
        self.p = subprocess.Popen(['bash', '--norc'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, env=CFG['env'], start_new_session=True)
        self.log = []
        self(f'cd {HERE} && source world.sh', log=False)

    def __call__(self, cmd, log=True, limit=400):
        if log:
            self.log.append(cmd)
        self.p.stdin.write(f'{cmd}\necho "__done__ $?"\n'.encode())
        self.p.stdin.flush()
        out, end = b'', time.time() + limit
        while not re.search(rb'__done__ (\d+)\n$', out):
            ready = select.select([self.p.stdout], [], [], max(0, end - time.time()))[0]
            chunk = os.read(self.p.stdout.fileno(), 65536) if ready else b''
            if not chunk:
                self.close()
                STATS['hung'] = f'no answer in {limit} s to: {cmd}'
                raise Violation(f'the world hung: {STATS["hung"]}')
            out += chunk
        return out.decode(errors='replace').rsplit('__done__', 1)[0]

    def close(self):
        try:
            os.killpg(self.p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.p.wait()


class Campaign(RuleBasedStateMachine):
    shrink_until = None  # past it, shrinking stops
    first = None         # the first new kind of violation of this seed
    found = {}           # per new kind, its last (smallest) example: message, steps, script

    def __init__(self):
        super().__init__()
        self.sh, self.steps, self.tag, self.violated = None, ['state = Campaign()'], 0, False
        self.share, self.planted, self.tolerated, self.victims = 'up', {}, {}, {}
        self.unreadable = self.stale = self.cut = self.stopped_named = self.bare_ok = False
        self.moved = False  # the source changed since the last copy that ended 0
        self.lossy = False  # a run's file system lost changes it had made (a killed exfat-fuse)
        # A run started on the bare mount point and mounted over goes on
        # writing there through its folder's handle, seen at the next unmount.
        self.bare_after = False

    def step(self, rule_name, **kw):
        STATS['steps'] += 1
        self.steps.append(f'state.{rule_name}({", ".join(f"{k}={v!r}" for k, v in kw.items())})')

    def violate(self, kind, detail='', r=None, soft=False):
        """Ends the example (or notes a kind found before, and with SOFT lets
        the other checks of the run go on). A kind is the invariant, the file
        system and how the run ended, so that distinct faults of one
        invariant are told apart."""
        last = re.sub(r'\d+', 'N', r['out'].splitlines()[-1]) if r and r['status'] and r['out'] else ''
        kind += (' [Windows]' if self.windows else '') + (f': {last}' if last else '')
        what = f'{kind} -- {detail}'
        self.sh.log.append(f'# VIOLATED: {what}')
        if kind in CFG['seen'] and not CFG.get('replaying'):
            STATS['again'][kind] = STATS['again'].get(kind, 0) + 1
            if soft:
                return
            raise Known(kind)
        self.violated = True
        Campaign.found[kind] = (what, self.steps + ['state.teardown()'], self.sh.log + ['world_end'])
        if Campaign.first is None:
            Campaign.first, Campaign.shrink_until = kind, time.time() + CFG['shrink']
        raise KINDS.setdefault(kind, type('Violation_' + re.sub(r'\W', '_', kind), (Violation,), {}))(what)

    # ---- the world ----
    @initialize(fs=st.deferred(lambda: st.sampled_from(CFG['fss'])), windows=st.integers(0, 5).map(lambda n: n == 5),
                size=st.sampled_from(SIZES), way=st.sampled_from(['', '-link', '-replacing']))
    def world(self, fs, windows, size, way=''):
        try:
            final = current_build_context().is_final
        except Exception:  # a replay, outside Hypothesis
            final = True
        if not final and time.time() > min(Campaign.shrink_until or 1e12, CFG['deadline']):
            raise Stop()
        # (Not on SMB: smbnetfs refuses to rename a file Wine still holds a
        # descriptor of, the guard's handle that keeps other runs out.)
        windows = windows and CFG['wine'] and fs != 'smb'
        if fs.startswith('faultfs'):  # its power cuts rebuild every state in memory
            size, fs = min(size, 3 * MiB + 12345), fs.split('-')[0] + way  # (and it names files three ways)
        self.step('world', fs=fs, windows=windows, size=size)
        STATS['examples'] += 1
        STATS['fs'][fs] = STATS['fs'].get(fs, 0) + 1
        STATS['windows'] += windows
        self.sh, self.fs, self.windows = Shell(), fs, windows
        out = self.sh(f'world {fs}{" wine" if windows else ""} && echo "=$W=$D=$MP=$B="')
        if not out.rstrip().endswith('='):
            raise Broken(f'the world {fs} could not be made: {out.strip()}')
        self.W, self.D, self.MP, self.B = out.strip().split('=')[-5:-1]
        self.src = f'{self.W}/s/f.bin'
        # (an old time, which a copy that keeps no time cannot match by chance)
        self.sh(f'head -c {size} /dev/urandom >s/f.bin && touch -d @1577872800.123456789 s/f.bin')

    def path(self, name):
        return os.path.join(self.D, name)

    def exists(self, name):
        try:
            return os.path.lexists(self.path(name))
        except OSError:
            return False

    def source_changed(self):  # a partial copy then stems from another source
        self.stale = self.stale or self.exists('f.bin.tmp') or self.exists('f.bin.size')

    @rule(how=st.sampled_from(['edit in place', 'edit in place, time kept', 'append',
                               'truncate', 'replace', 'touch', 'make unreadable']),
          at=st.integers(0, 99))
    def change_the_source(self, how, at):
        self.step('change_the_source', how=how, at=at)
        size = os.path.getsize(self.src)
        off = size * at // 100
        self.sh({'edit in place': f'edit {off}', 'edit in place, time kept': f'edit {off} keep',
                 'append': 'append', 'truncate': f'truncate -s {off} s/f.bin',
                 'replace': f'head -c {size} /dev/urandom >s/new && mv s/new s/f.bin',
                 'touch': 'touch s/f.bin', 'make unreadable': 'chmod 000 s/f.bin'}[how])
        if how.endswith('kept'):  # a documented blind spot: the bytes may stay as they were
            self.tolerated.update({o: 'edit' for o in range(off, off + 4)})
        self.unreadable = how == 'make unreadable' or self.unreadable and how != 'replace'
        self.moved = True
        self.source_changed()

    @precondition(lambda self: self.share == 'up' and (self.exists('f.bin.tmp') or self.exists('f.bin')))
    @rule(which=st.sampled_from(['f.bin.tmp', 'f.bin']), at=st.integers(0, 99), keep_time=st.booleans())
    def damage_the_copy(self, which, at, keep_time):
        """A byte flipped in what the copy already holds (only /V must see it)."""
        self.step('damage_the_copy', which=which, at=at, keep_time=keep_time)
        if which in self.planted or not self.exists(which):
            return
        held = os.path.getsize(self.path(which))
        if which.endswith('tmp') and self.count():
            held = min(held, max(0, self.count()[0]))
        if held > 0:
            self.sh(f'flip "$D/{which}" {held * at // 100}{" keep" if keep_time else ""}')
            self.tolerated[held * at // 100] = 'flip'

    @precondition(lambda self: self.share == 'up')
    @rule(name=st.sampled_from(NAMES[::-1]),
          kind=st.sampled_from(['hardlink', 'copy', 'file', 'symlink', 'fifo', 'folder']))
    def plant(self, name, kind):
        self.step('plant', name=name, kind=kind)
        self.sh(f'rm -rf "$D/{name}"; plant {name} {kind}')
        self.planted.pop(name, None)  # (what was there is gone; a share may make no FIFO)
        if self.exists(name):
            self.planted[name] = (kind, self.facts(name))
            victim = f'{self.W}/victim' if self.fs == 'local' else self.path('victim')
            # A known blind spot: sshfs reports every file with one link, so a
            # second name planted as NAME.tmp is not seen there (its victim
            # is out of the checks from then on).
            if self.fs == 'sshfs' and kind == 'hardlink' and name == 'f.bin.tmp':
                self.victims[victim] = None
            self.victims.setdefault(victim, sha(victim))

    @precondition(lambda self: self.share == 'up')
    @rule()
    def delete_the_copy(self):
        """The user starts over: the copy and its leftovers deleted."""
        self.step('delete_the_copy')
        self.sh('rm -rf "$D/f.bin" "$D/f.bin.tmp" "$D/f.bin.size"')
        self.planted = {n: k for n, k in self.planted.items() if n not in NAMES}
        self.stopped_named = False

    @precondition(lambda self: self.fs != 'local' and self.share == 'up')
    @rule()
    def drop_the_share(self):
        self.step('drop_the_share')
        self.sh('drop')
        self.share = 'dropped'

    @precondition(lambda self: self.fs != 'local' and self.share != 'unmounted')
    @rule()
    def unmount_the_share(self):
        self.step('unmount_the_share')
        self.sh('unmount')
        self.share = 'unmounted'

    @precondition(lambda self: self.fs != 'local' and self.share != 'up')
    @rule()
    @tolerant
    def mount_the_share_again(self):
        self.step('mount_the_share_again')
        self.mount_again()

    def mount_again(self):
        self.share = 'up'
        self.bare_held(self.sh('mount_again'))
        self.bare_after = False  # (world.sh empties the bare folder)

    # world.sh's mount_again says what a bare mount point held; only a run
    # started there may have written it (it is then a local folder like any).
    def bare_held(self, out):
        if 'held:' in out and not (self.bare_ok or self.bare_after):
            self.violate('written into the bare mount point', out.split('held:')[1].strip())
        self.bare_ok = self.bare_ok and self.share == 'unmounted'

    @precondition(lambda self: self.fs.startswith('faultfs') and self.share == 'up')
    @rule(model=st.sampled_from(['ordered', 'any']), pick=st.integers(0, 10 ** 6))
    @tolerant
    def cut_the_power(self, model, pick):
        self.step('cut_the_power', model=model, pick=pick)
        self.sh(f'cut_power {model} {pick}')
        self.cut = True
        # Victims were checked after every run; on the cut file system what
        # the cut left of them is the world's from now on.
        self.victims = {v: d and os.path.exists(v) and sha(v) for v, d in self.victims.items()}
        if self.exists('f.bin') and 'f.bin' not in self.planted and not self.moved:
            self.same_as_source('a power cut left a final name', self.path('f.bin'), False)
        self.check_world()

    # ---- the user ----
    @rule(switches=SWITCHES, block=st.sampled_from([65536, 4096, 2 * MiB, 100000]),
          clock=st.sampled_from(['', 'x20', 'x400']), stop=STOPS, fault=FAULTS,
          meanwhile=st.lists(st.tuples(st.sampled_from([0.2, 0.5, 1.0, 2.0, 4.0]),
                                       st.sampled_from(EVENTS)), max_size=2))
    @tolerant
    def copy(self, switches, block, clock, stop, fault, meanwhile):
        self.step('copy', switches=switches, block=block, clock=clock, stop=stop, fault=fault,
                  meanwhile=meanwhile)
        if self.windows:  # no strace, shim or fast clock for Wine's processes
            clock, fault, stop = '', None, stop if stop and stop.startswith('after') else None
        if self.fs == 'local':
            meanwhile = [m for m in meanwhile if 'share' not in m[1]]
        start = self.share
        self.bare_ok = self.bare_ok or start == 'unmounted'
        self.bare_after = self.bare_after or start == 'unmounted' and any(e == 'mount the share again' for _, e in meanwhile)
        n, wait = map(int, (re.findall(r'/R:(\d+) /W:(\d+)', switches) or [(0, 0)])[0])
        main = self.run_of(switches, stop, fault, n, 90 + n * (wait + 30), block)
        # A copy that something meets is spread over some 2 s (and one stopped after a time).
        slow = f'slow={min(2000000, 2000000 * block // max(os.path.getsize(self.src), 1))}' \
            if (meanwhile or stop and 'after' in stop) and not self.windows else ''
        options = ' '.join(o for o in (clock, stop, fault, slow, f'limit={main["limit"]}') if o)
        runs, parts, t = [main], [f'run {main["tag"]} {options} -- {switches} $S $T {block}'], 0.0
        for delay, event in sorted(meanwhile):
            parts.append(f'sleep {delay - t:.1f}')
            t = delay
            if event.startswith('copy'):
                self.bare_ok = self.bare_ok or self.share == 'unmounted'
                same = event == 'copy the same'
                runs.append(self.run_of(switches if same else '', None, None, 0, 120, block if same else None))
                args = f'{switches} $S $T {block}' if same else '$S $T'
                parts.append(f'run {runs[-1]["tag"]} limit=120 -- {args}')
            elif event == 'edit the source':
                parts.append(f'edit {os.path.getsize(self.src) // 3}')
            elif event == 'append to the source':
                parts.append('append')
            elif self.share != SHARE[event][1] and (event != 'drop the share' or self.share == 'up'):
                # (Wine takes seconds to start: its run may first look after the unmount)
                self.bare_ok = self.bare_ok or self.windows and event == 'unmount the share' and delay < 4
                parts.append(SHARE[event][0])
                self.share = SHARE[event][1]
        cmd = parts[0] + (' & ' + '; '.join(parts[1:]) + '; wait' if meanwhile else '')
        one_off = fault and fault.startswith('fail') and n > 0
        # /R rides out one failing call, or a share lost and back well within its waits.
        # (Not exFAT: mounted again, it comes on another loop device, which the
        # program takes for another file system, as it would a drive plugged in again.)
        back = meanwhile and all('share' in e for _, e in meanwhile) and self.share == 'up' \
            and n * wait > max(d for d, _ in meanwhile) + 5 and not fault and self.fs != 'exfat'
        # (exfat-fuse killed loses what it had not written back: names come back.)
        self.lossy = self.fs == 'exfat' and (start == 'dropped' or any(e == 'drop the share' for _, e in meanwhile))
        # (a copy made on a bare mount point, or on a share unmounted under it, is out of sight)
        seen = start != 'unmounted' and all(e != 'unmount the share' for _, e in meanwhile)
        self.runs(runs, cmd, not stop and (back or not meanwhile and (not fault or one_off)), start, seen)

    # ---- aimed: the draws that must meet for a fault where features meet, in one step ----
    # (A verified copy stores counts at whole 16 MiB segments, a plain one at every checkpoint.)
    @precondition(lambda self: os.path.getsize(self.src) > 65537)
    @rule(first=st.sampled_from(['', '/V', '/R:3 /W:1']), then=st.sampled_from(['/V', '/V /R:3 /W:1', '']),
          block=st.sampled_from([4096, 65536, 100000]), damage=st.booleans(), at=st.integers(0, 99),
          stop=st.sampled_from(['after=0.8', 'after=1.2', 'after=1.6', 'kill=unlinkat:1', 'kill=unlinkat:2']))
    def stopped_damaged_verified(self, first, then, block, stop, damage, at):
        """A copy stopped past a checkpoint (or once named, before its leftovers
        went), perhaps a byte of what it left flipped (its time kept), the copy again."""
        self.copy(switches=first, block=block, clock='x400', stop=stop, fault=None, meanwhile=[])
        if self.share == 'up':
            if damage:
                self.damage_the_copy(which='f.bin' if 'unlink' in stop else 'f.bin.tmp', at=at, keep_time=True)
            self.copy(switches=then, block=block, clock='', stop=None, fault=None, meanwhile=[])

    @precondition(lambda self: self.share == 'up')
    @rule(name=st.sampled_from(NAMES[::-1]), kind=st.sampled_from(['hardlink', 'symlink', 'copy']),
          switches=SWITCHES)
    def planted_then_copied(self, name, kind, switches):
        """Something at one of the copy's names, then a copy long enough for checkpoints
        (spread over some 2 s by a stop that comes too late)."""
        self.plant(name=name, kind=kind)
        self.copy(switches=switches, block=65536, clock='x400', stop='after=30', fault=None, meanwhile=[])

    @precondition(lambda self: self.fs.startswith('faultfs') and self.share == 'up')
    @rule(stop=st.sampled_from(['after=0.5', 'after=1.0', 'after=1.5', 'kill=renameat2:1', 'kill=unlinkat:1']),
          pick=st.integers(0, 10 ** 6))
    def stopped_then_cut(self, stop, pick):
        """A copy stopped past its checkpoints, then the power cut (pending changes in any order)."""
        self.copy(switches='', block=65536, clock='x400', stop=stop, fault=None, meanwhile=[])
        self.cut_the_power(model='any', pick=pick)

    @precondition(lambda self: self.fs != 'local' and self.share == 'up')
    @rule(switches=st.sampled_from(['/R:3 /W:1', '/R:5 /W:3']), dead=st.booleans(),
          when=st.sampled_from([0.2, 0.5, 1.0, 2.0]), back=st.booleans())
    def retry_across_a_lost_share(self, switches, dead, when, back):
        """A retrying copy whose share dies (before it starts, or under it) and
        is unmounted during its wait, then perhaps mounted again."""
        if dead:
            self.drop_the_share()
        events = [] if dead else [(0.2, 'drop the share')]
        events += [(when + 0.2, 'unmount the share')] + ([(when + 1.2, 'mount the share again')] if back else [])
        self.copy(switches=switches, block=65536, clock='', stop=None, fault=None, meanwhile=events)

    @rule(switches=st.sampled_from(['/R:3 /W:1', '/R:5 /W:3', '/V /R:3 /W:1']),
          call=st.sampled_from(['renameat2', 'unlinkat', 'fsync', 'fdatasync', 'linkat', 'pwrite64']),
          errno=st.sampled_from(['EIO', 'ENOTCONN']), k=st.integers(1, 2),
          other=st.sampled_from([None, 'copy plainly', 'copy the same']), when=st.sampled_from([0.5, 1.0]),
          fresh=st.booleans())
    def retry_after_one_failure(self, switches, call, errno, k, other, when, fresh):
        """One failing call (of finishing, mostly) under /R, perhaps another run
        during the wait, perhaps from a fresh start."""
        if fresh and self.share == 'up':
            self.delete_the_copy()
        self.copy(switches=switches, block=65536, clock='', stop=None, fault=f'fail={call}:{errno}:{k}',
                  meanwhile=[(when, other)] if other else [])

    def sizeless(self, r):
        """Whether run R keeps no size file (and reads none)."""
        return '/O' in r['switches'] or os.path.getsize(self.src) < r['block']

    def run_of(self, switches, stop, fault, retries, limit, block=None):
        self.tag += 1
        return {'tag': self.tag, 'switches': switches, 'stop': stop, 'fault': fault,
                'retries': retries, 'limit': limit,
                'block': block or 2 * MiB}  # (the default)

    def runs(self, runs, cmd, clean=False, start='up', seen=True):
        """Runs CMD, which starts RUNS on a share in state START (CLEAN: the first
        meets nothing in its way but, under /R, one failing call or a share lost
        and back), then checks what they did (SEEN: a final file they made is in sight)."""
        before, size_before = self.facts('f.bin') if start == 'up' else 'unknown', self.facts('f.bin.size')
        partial = self.exists('f.bin.tmp') or size_before
        if not before and not partial:
            self.stale, self.tolerated, self.cut = False, {}, False
        # What earlier runs left is theirs to finish, but a named copy is
        # done, and its name taken, unless a run stopped before it was.
        clean = clean and start == 'up' and not (self.planted or self.tolerated or self.unreadable
                                                      or self.stale or self.cut
                                                      or before and not (partial and self.stopped_named))
        source_before = sha(self.src)
        self.bare_held(self.sh(f'rm -f changes; {cmd}'))
        STATS['runs'] += len(runs)
        changes = open(f'{self.W}/changes').read().split() if os.path.exists(f'{self.W}/changes') else []
        if changes:
            self.source_changed()
        for r in runs:
            status, end, named = (open(f'{self.W}/st.{r["tag"]}').read().split() + [''])[:3]
            r.update(status=int(status), end=float(end), named=named == 'named',
                     out=open(f'{self.W}/out.{r["tag"]}', errors='replace').read().replace('\r', '').rstrip())
            self.sh.log.append(f'# run {r["tag"]} ended {status}: {r["out"][-150:].splitlines()[-1:]}')
        ok = [r for r in runs if r['status'] == 0]
        self.moved = bool(changes) or self.moved and not ok
        stopped_named = self.stopped_named
        if ok:
            self.cut = self.stopped_named = False
        elif any(r['status'] == 137 for r in runs) and before is None and self.exists('f.bin'):
            # (What a run beside it made, a stopped run may not have left.)
            self.stopped_named = len(runs) == 1 and (self.exists('f.bin.tmp') or self.exists('f.bin.size'))
        for r in runs:
            tag, out = r['tag'], r['out'][-200:]
            if r['status'] == 124:
                self.violate('a run hung', f'run {tag} past its {r["limit"]} s')
            if r['status'] not in (0, 1) and not (r['stop'] and r['status'] == 137):
                self.violate('a run ended by a signal nobody sent', f'run {tag} ended {r["status"]}')
            if r['status'] == 1 and not REPORT.search(r['out']):
                self.violate('a failing run ended without a clear report', f'run {tag}: {out!r}')
        if ok and self.share == 'up' and seen:
            final = self.path('f.bin')
            if not os.path.isfile(final) or os.path.islink(final):
                self.violate('exit 0 without a final file', f'run {ok[0]["tag"]}')
            # A change of the source once the copy had its name comes too late for it.
            if not (changes and all(c == 'named' for c in changes) and sha(final) == source_before):
                verified = any('/V' in r['switches'] for r in ok)
                self.same_as_source('exit 0 with a final file unlike the source'
                                    + (', the source changed meanwhile' if changes else '')
                                    + (', verified' if verified else ''), final, verified)
                self.attributes_carried(final, ok[0], changes)
            left = [n for n in NAMES[1:] if self.exists(n) and self.planted.get(n, (0, 0))[1] != self.facts(n)]
            # A copy under /O, or of a source shorter than its block, keeps no
            # size file: one an earlier run left it neither reads nor deletes.
            if size_before and self.facts('f.bin.size') == size_before and all(map(self.sizeless, ok)):
                left = [n for n in left if n != 'f.bin.size']
            if len(ok) == len(runs) and left:  # (what the world put there, untouched, may stay)
                self.violate('exit 0 with leftovers', ' '.join(left))
        # A file someone put at the final name is never replaced by a copy.
        if ok and 'f.bin' in self.planted and self.share == 'up' and self.planted['f.bin'][1] != self.facts('f.bin'):
            self.violate('a file at the final name replaced', f'run {ok[0]["tag"]} ended 0', ok[0])
        for r in runs:
            if r['status'] != 1 or self.share != 'up':
                continue
            right = 'f.bin' not in self.planted and os.path.isfile(self.path('f.bin')) \
                and not self.diff(self.path('f.bin'))
            # A finished copy is not reported as failed: a run that ends 1, the
            # last of its runs, beside the right named copy, which it or another
            # run made while it waited to try again, or which a stopped run's
            # finishing left.
            # (A copy under /O, or shorter than its block, finds the name taken.)
            if right and r['named'] and not changes and all(o['end'] <= r['end'] for o in runs) \
                    and (r['retries'] and 'Retry ' in r['out'] and before is None
                         or stopped_named and partial and not self.sizeless(r)):
                self.violate('a finished copy reported as failed', f'run {r["tag"]} ended 1 beside the right '
                             f'named copy: {r["out"][-200:]!r}', r)
            # (Without /R, a failure once the copy had its name may leave it named.)
            if len(runs) == 1 and not changes and before != 'unknown' and self.facts('f.bin') != before and not self.lossy \
                    and not (right and not r['retries'] and not before):
                self.violate('a failing run changed the final name', f'run {r["tag"]}', r)
        if clean and runs[0]['status'] != 0:
            self.violate(f'nothing was wrong{" but one failing call under /R" if runs[0]["fault"] else ""}'
                         ', yet no copy', f'run {runs[0]["tag"]}: {runs[0]["out"][-200:]!r}', runs[0])
        self.check_world(size_before != self.facts('f.bin.size'))
        self.lossy = False

    # ---- the checker ----
    def facts(self, name):
        try:
            s = os.lstat(self.path(name))
        except FileNotFoundError:
            return None
        except OSError as e:
            return ('unreachable', e.errno)
        # (not the inode number, which FUSE mounts give anew at each mount)
        return (stat.S_IFMT(s.st_mode), s.st_size, s.st_mtime_ns) + \
            ((sha(self.path(name)),) if stat.S_ISREG(s.st_mode) else ())

    def diff(self, path, limit=-1):
        """Offsets where PATH differs from the source (some; a length apart: -1)."""
        with open(self.src, 'rb') as f, open(path, 'rb') as g:
            a, b = f.read(limit), g.read(limit)
        if len(a) != len(b):
            return {-1}
        bad = set()
        for i in range(0, len(a) if a != b else 0, 4096):
            if a[i:i + 4096] != b[i:i + 4096]:
                bad |= {j for j in range(i, min(i + 4096, len(a))) if a[j] != b[j]}
                if len(bad) > 64:
                    break
        return bad

    def same_as_source(self, what, path, verified, limit=-1):
        bad = self.diff(path, limit)
        allowed = {o for o, why in self.tolerated.items() if not (verified and why == 'flip')}
        if bad - allowed:
            self.violate(what, f'{path} differs at {sorted(bad)[:5]}', soft=True)

    def attributes_carried(self, final, run, changed):
        src, dst = os.stat(self.src), os.stat(final)
        # (modes: not on Windows, nor where the file system sets its own; as
        # the server has them, as FUSE caches a name's mode for a while)
        mode = os.stat(os.path.join(self.B, 'f.bin')).st_mode if self.fs[:5] in ('sshfs', 'fault') else dst.st_mode
        if self.fs[:5] in ('local', 'sshfs', 'fault') and not self.windows and 'Attributes not set' not in run['out'] \
                and stat.S_IMODE(src.st_mode) != stat.S_IMODE(mode) and not self.unreadable:
            self.violate(f'the final file has another mode than the source on {self.fs}', f'{stat.S_IMODE(mode):o}, '
                         f'the source {stat.S_IMODE(src.st_mode):o}: run {run["tag"]}', soft=True)
        slack = 0.001 if self.fs[:5] in ('local', 'fault') else 2.0  # shares keep coarser times
        if 'FileTime not' not in run['out'] and abs(src.st_mtime - dst.st_mtime) > slack:
            self.violate(f'the final file has another time than the source on {self.fs}'
                         + (', the source changed meanwhile' if changed else ''), f'run {run["tag"]}', soft=True)

    def count(self):
        """The stored count and stamp (length, time in ns) of NAME.size, if stamped."""
        try:
            with open(self.path('f.bin.size'), 'rb') as f:
                raw = f.read(28) if stat.S_ISREG(os.lstat(f.name).st_mode) else b''
        except OSError:
            return None
        return struct.unpack('<q4xqq', raw) if len(raw) == 28 and raw[8:12] == b'FXS1' else None

    def check_world(self, counted=True):
        """What must hold whatever happened (of a count: one just stored)."""
        for victim, digest in self.victims.items():
            if digest and self.share == 'up' and not (self.cut and not os.path.exists(victim)) and sha(victim) != digest:
                self.violate('a victim file was written', victim)
        if self.share == 'unmounted' and not (self.bare_ok or self.bare_after) and os.listdir(self.MP):
            self.violate('written into the bare mount point', str(os.listdir(self.MP)))
        if set(os.listdir(f'{self.W}/s')) - {'f.bin'}:
            self.violate('written beside the source', str(os.listdir(f"{self.W}/s")))
        stored = self.count() if self.share == 'up' and counted and not self.planted else None
        src = os.stat(self.src)
        if stored and stored[0] and stored[1:] == (src.st_size, src.st_mtime_ns):
            holder = next((self.path(n) for n in NAMES[1::-1] if self.exists(n)), None)
            if holder is None or not os.path.isfile(holder) or os.path.getsize(holder) < stored[0]:
                self.violate('a stored count beyond the copy', f'{stored[0]} ({holder})')
            self.same_as_source('a stored count over bytes unlike the source', holder, False, stored[0])

    # ---- the world put right, then at most two plain runs ----
    def teardown(self):
        if self.sh is None:
            return
        try:
            if not self.violated and hasattr(self, 'D'):
                self.recover()
        except Known:
            pass
        finally:
            self.sh('world_end', log=False, limit=120)
            self.sh.close()

    def recover(self):
        self.sh.log.append('# the world put right')
        if self.share != 'up':
            self.mount_again()
        if self.unreadable:
            self.sh('chmod 644 s/f.bin')
            self.unreadable = False
        gone = [n for n, (kind, _) in self.planted.items() if kind not in ('file', 'copy')]
        if gone:
            self.sh('rm -rf ' + ' '.join(f'"$D/{n}"' for n in gone))
        self.planted = {n: k for n, k in self.planted.items() if n not in gone}
        remedies = []
        for plain in range(4):
            r = self.run_of('', None, None, 0, 120)
            self.runs([r], f'run {r["tag"]} limit=120 -- $S $T')
            last = r['out'].splitlines()[-1] if r['out'] else ''
            if r['status'] == 0:
                return
            if 'delete .tmp and .size files to start over' in last and 'delete' not in remedies:
                remedies.append('delete')
                self.sh('rm -f "$D/f.bin.tmp" "$D/f.bin.size"')
            elif 'not renamed' in last and self.exists('f.bin') and 'move' not in remedies:
                remedies.append('move')  # the name is taken: the user moves that file away
                self.sh('rm -rf "$D/f.bin"')
                self.planted.pop('f.bin', None)
            elif remedies:
                self.violate('the world put right, the remedy did not help', last, r)
            elif plain:
                return  # two plain runs, each ending in a clear report


def run_seed(s):
    """Examples from seed S until a new kind of violation (shrunk) or the
    deadline; the new kinds found, each with its smallest example."""
    Campaign.shrink_until, Campaign.first, Campaign.found = None, None, {}
    opts = settings(max_examples=10 ** 6, stateful_step_count=5, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck), report_multiple_bugs=False,
                    verbosity=Verbosity.quiet)
    try:
        run_state_machine_as_test(seed(s)(Campaign), settings=opts)
    except Broken:
        raise
    except (Stop, Exception) as e:  # a violation (or a flaky one), or the end
        # (Flaky: a real world answers a replayed example otherwise, as a
        # race may; that seed ends, and the next one starts.)
        if isinstance(e, Flaky) and Campaign.first is None:
            STATS['flaky'] += 1
            print(f'campaign: seed {s} ended as flaky (what failed once: {STATS.pop("hung", "not a world that hung")})',
                  flush=True)
        if Campaign.first is None and not isinstance(e, (Stop, Unsatisfiable, Flaky)):
            raise
    return Campaign.found


def report(title, found, name):
    what, steps, script = found
    test = f'def test_{name}():\n' + ''.join(f'    {s}\n' for s in steps)
    sh = '\n'.join([f'# {what}', '# as root, from the top of the tree',
                    f'F={CFG["env"]["F"]} EXE={CFG["env"]["EXE"]}', 'source tests/campaign/world.sh']
                   + script)
    print(f'==== {title}: {what}\n-- as a replay (tests/campaign/replays.py):\n{test}'
          f'-- as a shell script:\n{sh}\n====', flush=True)
    for ext, text in (('py', test), ('sh', sh)):
        with open(f'{CFG["out"]}/{name}.{ext}', 'w') as f:
            f.write(text + '\n')


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--program', required=True)
    ap.add_argument('--minutes', type=float, required=True)
    ap.add_argument('--seed', type=int, default=int(time.time()) % 100000)
    ap.add_argument('--fs', default='local,sshfs,smb,exfat,faultfs')
    ap.add_argument('--exe', default='')
    ap.add_argument('--out', default='/tmp/ferrux-campaign')
    ap.add_argument('--shrink-seconds', type=int, default=120)
    ap.add_argument('--no-replays', action='store_true')
    ap.add_argument('--switches', default='/R:3 /W:1,/V,/O,/R:5 /W:3,/BW:16M',
                    help='the switches a copy draws from (an older build may lack some)')
    a = ap.parse_args()
    a.out = os.path.realpath(a.out)  # (the worlds' shells work elsewhere)
    start = time.time()
    exe = os.path.realpath(a.exe or f'{os.path.dirname(a.program)}/../../mingw/bin/ferrux.exe')
    CFG.update(switches=a.switches.split(','), fss=a.fs.split(','), shrink=a.shrink_seconds, out=a.out, wine=os.path.exists(exe),
               deadline=start + a.minutes * 60)
    CFG['env'].update(F=os.path.realpath(a.program), EXE=exe, CAMPAIGN_WORK=f'{a.out}/work',
                      CAMPAIGN_SHARES=f'{a.out}/shares', WINEDEBUG='-all')
    os.makedirs(f'{a.out}/work', exist_ok=True)
    # One Wine server for all the examples, so that each starts at once, and
    # none left after: one that a run started under its narrowed privileges
    # would fail later Wine programs (a read-only file's attributes).
    if CFG['wine']:
        subprocess.run([f'{HERE}/../../tools/wine-up'])
    sys.modules['campaign'] = sys.modules[__name__]
    import replays
    failed, found, broken, s, left_out = [], [], None, a.seed, 0
    tests = [] if a.no_replays else [(n, f) for n, f in vars(replays).items() if n.startswith('test_')]
    CFG['replaying'] = True
    for name, test in tests:
        fs = re.search(r"fs='(\w+)", inspect.getsource(test)).group(1)
        if fs not in CFG['fss']:
            print(f'campaign: replay {name} left out: {fs} not among --fs')
            left_out += 1
            continue
        Campaign.shrink_until, Campaign.first, Campaign.found = time.time(), None, {}
        try:
            test()
            print(f'campaign: replay {name}: ok', flush=True)
        except Violation:
            failed.append(name)
            CFG['seen'].add(Campaign.first)
            report(f'replay {name} failed', Campaign.found[Campaign.first], f'replay_{name[5:]}')
        except (Broken, Exception) as e:  # the world could not be made
            failed.append(name)
            print(f'campaign: replay {name} could not run: {type(e).__name__}: {e}', flush=True)
    CFG['replaying'] = False
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        while time.time() < CFG['deadline']:
            hits = run_seed(s)
            for kind, hit in hits.items():
                CFG['seen'].add(kind)
                found.append((s, kind))
                print(f'campaign: seed {s}: NEW {kind} ({time.time() - start:.0f} s in)', flush=True)
                report(f'seed {s} (tools/campaign --seed {s} --fs {a.fs})', hit, f'seed_{s}_{len(found)}')
            s += 1
    except (Broken, Exception) as e:  # the campaign itself failed
        broken = f'seed {s}: {type(e).__name__}: {e}\n' + ''.join(traceback.format_exc().splitlines(True)[-12:])
    finally:
        subprocess.run(['bash', '-c', f'source {HERE}/world.sh && campaign_end {a.out}'], capture_output=True)
        if CFG['wine']:
            subprocess.run(['wineserver', '-k'], capture_output=True)
    fss = ', '.join(f'{k} {v}' for k, v in sorted(STATS['fs'].items()))
    print(f'campaign: seeds {a.seed}..{s}: {STATS["examples"]} examples ({fss}; Windows '
          f'{STATS["windows"] if CFG["wine"] else "none, no " + exe}), {STATS["steps"]} steps, '
          f'{STATS["runs"]} runs in {time.time() - start:.0f} s; {STATS["flaky"]} seeds ended as flaky')
    print(f'campaign: replays: {len(tests) - left_out} tried, {len(failed)} failed {" ".join(failed)}')
    print(f'campaign: violations: {len(found)} new kinds' + ''.join(f'; seed {s}: {k}' for s, k in found)
          + ''.join(f'; met again {n}x: {k}' for k, n in STATS['again'].items()))
    if broken:
        print(f'campaign: BROKEN {broken}')
    return 1 if failed or found or broken else 0


if __name__ == '__main__':
    sys.exit(main())
