"""Every failure the campaign found, as the steps it printed for it: each
is tried before the random part, and must pass."""
from campaign import Campaign, MiB


# A plain copy on exFAT and on SMB kept no time: their FUSE file systems
# drop a time change that leaves the access time out.
def test_seed_1000_1():
    state = Campaign()
    state.world(fs='exfat', windows=False, size=5000)
    state.teardown()


def test_seed_1000_2():
    state = Campaign()
    state.world(fs='smb', windows=False, size=5000)
    state.teardown()


# A copy under a rate limit killed past its first checkpoint resumes and
# loses nothing.
def test_kill_and_resume_under_a_rate_limit():
    state = Campaign()
    state.world(fs='local', windows=False, size=40 * MiB + 12345)
    state.copy(switches='/BW:16M', block=2 * MiB, clock='x20', stop='after=2.0', fault=None, meanwhile=[])
    state.copy(switches='/BW:16M', block=2 * MiB, clock='', stop=None, fault=None, meanwhile=[])
    state.teardown()


# On sshfs after a drop, and on faultfs with the linked rename, the copy of
# an empty file seemed to keep mode 600: FUSE caches a name's mode.
def test_seed_1001_1():
    state = Campaign()
    state.world(fs='sshfs', windows=False, size=0)
    state.drop_the_share()
    state.copy(switches='', block=100000, clock='x20', stop=None, fault=None, meanwhile=[(2.0, 'drop the share')])
    state.teardown()


def test_seed_1004_7():
    state = Campaign()
    state.world(fs='faultfs-link', windows=False, size=0)
    state.teardown()


# The source edited while it was copied, with and without /V: exit 0 with
# the old bytes under the final name (the build before the mends).
def test_seed_1003_6():
    state = Campaign()
    state.world(fs='local', windows=False, size=2097153)
    state.copy(switches='', block=65536, clock='', stop='kill=linkat:1', fault='fail=unlinkat:EIO:2', meanwhile=[(2.0, 'edit the source')])
    state.teardown()


def test_seed_1003_5():
    state = Campaign()
    state.world(fs='local', windows=False, size=2097153)
    state.copy(switches='/R:5 /W:3 /V', block=2097152, clock='x400', stop='kill=linkat:3', fault='fail=unlinkat:EIO:2', meanwhile=[(2.0, 'edit the source'), (0.2, 'unmount the share')])
    state.teardown()


def test_seed_1006_3():
    state = Campaign()
    state.world(fs='smb', windows=False, size=5000)
    state.copy(switches='', block=4096, clock='x20', stop=None, fault=None, meanwhile=[(0.2, 'edit the source')])
    state.teardown()


# Windows: the source appended to (or a share unmounted) before Wine's run
# looked at it, which then copied what it found.
def test_seed_1004_8():
    state = Campaign()
    state.world(fs='faultfs', windows=True, size=0)
    state.copy(switches='', block=65536, clock='x20', stop=None, fault='fail=renameat2:ENOTCONN:2', meanwhile=[(1.0, 'append to the source')])
    state.cut_the_power(model='any', pick=1795)
    state.teardown()


def test_seed_1004_9():
    state = Campaign()
    state.world(fs='faultfs', windows=True, size=0)
    state.copy(switches='/R:3 /W:1', block=65536, clock='x20', stop=None, fault='fail=renameat2:ENOTCONN:2', meanwhile=[(0.2, 'unmount the share')])
    state.teardown()


# Windows on exFAT: the copy kept no time.
def test_seed_1007_4():
    state = Campaign()
    state.world(fs='exfat', windows=True, size=5000)
    state.teardown()


# A positional write failing once under /R: strace counts calls per thread,
# and each try's writer is a new one, so the shim fails it, by its count.
def test_seed_89221_1():
    state = Campaign()
    state.world(fs='faultfs-link', windows=False, size=5000)
    state.copy(switches='/R:3 /W:1', block=4096, clock='', stop=None, fault='fail=pwrite64:EIO:1', meanwhile=[])
    state.teardown()


# What was planted at a name is gone once something else is planted there,
# even where the share makes none (a FIFO on sshfs).
def test_seed_15314_1():
    state = Campaign()
    state.world(fs='sshfs', windows=False, size=4097)
    state.plant(name='f.bin', kind='copy')
    state.change_the_source(how='append', at=33)
    state.plant(name='f.bin', kind='fifo')
    state.teardown()


# A share dead before the run, unmounted during the retry's wait: the retry
# must not copy into the bare mount point.
def test_seed_5101_3():
    state = Campaign()
    state.world(fs='sshfs', windows=False, size=5000)
    state.drop_the_share()
    state.copy(switches='/R:3 /W:1', block=65536, clock='', stop=None, fault=None, meanwhile=[(1.2, 'unmount the share')])
    state.teardown()


# Another run finishes the copy during the retry's wait: the retry ends with
# the copy complete, not with its name taken.
def test_seed_5104_6():
    state = Campaign()
    state.world(fs='faultfs', windows=False, size=4097)
    state.copy(switches='/R:5 /W:3', block=65536, clock='', stop=None, fault='fail=pwrite64:EIO:1', meanwhile=[(1.0, 'copy plainly')])
    state.teardown()


# The size file, just closed, still held by the SMB server when deleted:
# exit 0 with it left over.
def test_seed_6000_1():
    state = Campaign()
    state.world(fs='smb', windows=False, size=41955385)
    state.copy(switches='/V', block=100000, clock='', stop='kill=fdatasync:2', fault=None, meanwhile=[])
    state.damage_the_copy(which='f.bin.tmp', at=47, keep_time=True)
    state.copy(switches='/V', block=100000, clock='', stop=None, fault=None, meanwhile=[])
    state.teardown()


# An empty copy named, and a temporary file just made within exFAT's time
# step: taken for a second name, with a remedy that could not help.
def test_seed_6001_2():
    state = Campaign()
    state.world(fs='exfat', windows=False, size=0)
    state.change_the_source(how='truncate', at=0)
    state.copy(switches='/V', block=4096, clock='', stop='kill=fsync:1', fault=None, meanwhile=[])
    state.damage_the_copy(which='f.bin.tmp', at=0, keep_time=True)
    state.copy(switches='/V', block=4096, clock='', stop=None, fault=None, meanwhile=[])
    state.teardown()


# A hard link planted as NAME.tmp on sshfs, then a file at NAME: the
# victim stays out of the checks (a known blind spot).
def test_seed_6002_3():
    state = Campaign()
    state.world(fs='sshfs', windows=True, size=41955385)
    state.change_the_source(how='touch', at=64)
    state.plant(name='f.bin.tmp', kind='hardlink')
    state.plant(name='f.bin', kind='file')
    state.copy(switches='', block=4096, clock='x20', stop='kill=renameat2:1', fault=None, meanwhile=[])
    state.teardown()


# A verified copy stopped past its first segment, a byte of it flipped: the
# resumed verified copy must see it (a seeded verify that never compared).
def test_seed_7500_1():
    state = Campaign()
    state.world(fs='local', windows=False, size=16777217)
    state.copy(switches='/V', block=4096, clock='x400', stop='after=0.8', fault=None, meanwhile=[])
    state.damage_the_copy(which='f.bin.tmp', at=0, keep_time=True)
    state.copy(switches='/V', block=4096, clock='', stop=None, fault=None, meanwhile=[])
    state.teardown()


# Found against the build before the mends where features meet: a hard
# link planted as NAME.size took the count (the victim's first bytes a
# count of 0, as a disk image's are); a named copy's complete mark let
# a verified run pass a copy damaged with its time kept.
def test_seed_8600_1():
    state = Campaign()
    state.world(fs='faultfs-link', windows=False, size=65537)
    state.plant(name='f.bin.size', kind='hardlink')
    state.copy(switches='', block=65536, clock='x400', stop='after=30', fault=None, meanwhile=[])
    state.teardown()


def test_seed_8601_2():
    state = Campaign()
    state.world(fs='faultfs', windows=False, size=2097153)
    state.copy(switches='', block=4096, clock='x400', stop='kill=unlinkat:1', fault=None, meanwhile=[])
    state.damage_the_copy(which='f.bin', at=35, keep_time=True)
    state.copy(switches='/V /R:3 /W:1', block=4096, clock='', stop=None, fault=None, meanwhile=[])
    state.teardown()


# An exFAT volume dropped and mounted again within a retry's wait comes on
# another loop device: the retry refuses it as another file system.
def test_seed_29116_1():
    state = Campaign()
    state.world(fs='exfat', windows=False, size=4097)
    state.copy(switches='/R:5 /W:3', block=65536, clock='', stop=None, fault=None, meanwhile=[(0.2, 'drop the share'), (0.7, 'unmount the share'), (1.7, 'mount the share again')])
    state.teardown()


# On sshfs (no link counts, no shared identity of two names) a copy stopped
# between the linked rename's two steps: the next run was refused beside
# the right named copy ("not renamed", or "has another name").
def test_linked_rename_stopped_on_sshfs():
    state = Campaign()
    state.world(fs='sshfs', windows=False, size=2 * MiB + 1)
    state.copy(switches='', block=65536, clock='x400', stop='kill=unlinkat:1', fault=None, meanwhile=[])
    state.copy(switches='', block=65536, clock='', stop=None, fault=None, meanwhile=[])
    state.teardown()
