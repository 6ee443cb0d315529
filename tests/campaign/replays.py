"""Every failure the campaign found, as the steps it printed for it: each
is tried before the random part, and must pass."""
from campaign import Campaign
