"""Failed authentications counted per peer address, and the delay they cost the next attempt.

After :data:`~vantrel.server.limits.AUTH_FREE_FAILURES` failures from one
address, each further handshake from it waits before its record is checked:
0.1 s after the first such failure, twice as long after each next one, at
most ``max_delay``.  Attempts from one address take their turns one after
the other, so many connections at once do not guess faster than one; an
attempt whose turn comes after the client's handshake deadline is refused at
once, without its record being checked.  A success clears the address; an
address without a failure for ``forget`` seconds is forgotten, and the table
keeps at most ``size`` addresses (the least recently seen go first).  Other
addresses are never slowed.  IPv6 addresses are counted by their /64 prefix.
"""

from __future__ import annotations

import ipaddress
from collections import OrderedDict
from typing import List, Optional

__all__ = ["AuthThrottle", "address_key"]

_FIRST_DELAY = 0.1


def address_key(host: str) -> str:
    """The address under which failures are counted: an IPv4 address, an IPv6 /64."""
    try:
        ip = ipaddress.ip_address(host.split("%", 1)[0])
    except ValueError:
        return host
    if ip.version == 6:
        mapped = ip.ipv4_mapped
        if mapped is not None:
            return str(mapped)
        return str(ipaddress.ip_network("%s/64" % ip, strict=False))
    return str(ip)


class AuthThrottle:
    """The failures of each peer address; ``max_delay`` 0 turns the throttle off."""

    def __init__(self, max_delay: float, free: int, size: int = 4096, forget: float = 600.0) -> None:
        if not max_delay >= 0:
            raise ValueError("auth_delay must be a number of seconds >= 0, not %r" % (max_delay,))
        self.max_delay = max_delay
        self.free = free
        self.size = size
        self.forget = forget
        # key -> [failures, time of the last failure, time the next attempt may run]
        self._table: OrderedDict[str, List[float]] = OrderedDict()

    def __len__(self) -> int:
        return len(self._table)

    def wait(self, key: str, now: float, limit: float) -> Optional[float]:
        """How long an attempt from ``key`` starting ``now`` must wait for its turn, which
        it then takes: 0 for an address with few failures, None (no turn taken) when
        the wait would be longer than ``limit``."""
        entry = self._table.get(key)
        if entry is None or not self.max_delay:
            return 0.0
        failures, last, turn = entry[0], entry[1], entry[2]
        if now - last > self.forget:
            del self._table[key]
            return 0.0
        if failures < self.free:
            return 0.0
        step = min(self.max_delay, _FIRST_DELAY * 2.0 ** (failures - self.free))
        wait: float = max(now, turn) + step - now
        if wait > limit:
            return None
        entry[2] = now + wait
        return wait

    def failed(self, key: str, now: float) -> None:
        if not self.max_delay:
            return
        entry = self._table.get(key)
        if entry is None:
            self._table[key] = [1, now, now]
            while len(self._table) > self.size:
                self._table.popitem(last=False)
        else:
            entry[0] += 1
            entry[1] = now
            self._table.move_to_end(key)

    def succeeded(self, key: str) -> None:
        self._table.pop(key, None)
