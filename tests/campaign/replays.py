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
