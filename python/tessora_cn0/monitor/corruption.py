"""Whether a stream's frames are being corrupted, judged against the stream's own history of
checksum failures."""
import math

ENTER_TAIL = 1e-4   # a window this unlikely under the stream's own failure fraction: corrupted
LEAVE_TAIL = 0.5    # a window no worse than a typical one again (k at most about the median): recovered


class CorruptionWatch:
    """Follows a decoder's cumulative counters (frames whose checksum held, candidate frames whose
    checksum failed) and says when the stream turns corrupted and when it recovers.

    The rule. The latest `window` frames (good and failed, counted by whole updates) are the recent
    window; the frames before it, while the stream was judged sound, are its history. The first
    `window` frames only build the history. The stream's own failure fraction is
    p = max(floor, (F + 1) / (N + 1)) for F failures among N frames of history: the plus-one keeps a
    short, clean history from claiming a fraction of zero, and `floor` (0.1 % by default) is the
    least any stream is granted. With k failures among the window's n frames, the stream turns
    "corrupted" when P(X >= k) < ENTER_TAIL (1e-4) for X ~ Binomial(n, p), that is when a window so
    bad would hardly ever happen at the stream's own rate, and "recovered" once P(X >= k) >=
    LEAVE_TAIL (0.5: the window no worse than a typical one of the stream), so that a corruption
    that only eases for a moment does not flap between the two. Frames that leave the window while
    the stream is corrupted are kept out of the history, so a long corruption never becomes the
    stream's normal; a stream that is corrupted from its first frames on sets its own normal
    there. Counters that go down (a new decoder) count again from their new values."""

    def __init__(self, window=200, floor=0.001):
        if window < 1 or not 0.0 < floor < 1.0:
            raise ValueError("window must be >= 1 and floor within (0, 1)")
        self.window, self.floor = window, floor
        self.corrupted = False
        self.history_frames = 0
        self.history_failures = 0
        self._pieces = []          # [(frames, failures)] of the window, oldest first
        self._warm = 0             # frames seen while the history was being built
        self._last = (0, 0)        # the cumulative counters of the previous update

    @property
    def state(self):
        return "corrupted" if self.corrupted else "sound"

    @property
    def baseline(self):
        """The stream's own failure fraction p (see the class's text)."""
        return max(self.floor, (self.history_failures + 1) / (self.history_frames + 1))

    @property
    def recent(self):
        """(failures, frames) of the recent window."""
        return sum(f for _, f in self._pieces), sum(n for n, _ in self._pieces)

    def update(self, good_frames, crc_failures):
        """Take the decoder's cumulative counters; "corrupted" or "recovered" when the state changes,
        else None."""
        good, failed = self._delta(good_frames, crc_failures)
        if good + failed == 0:
            return None
        if self._warm < self.window:
            self._warm += good + failed
            self.history_frames += good + failed
            self.history_failures += failed
            return None
        self._pieces.append((good + failed, failed))
        self._trim()
        return self._judge()

    def _delta(self, good_frames, crc_failures):
        last_good, last_failed = self._last
        self._last = (good_frames, crc_failures)
        if good_frames < last_good or crc_failures < last_failed:
            return good_frames, crc_failures
        return good_frames - last_good, crc_failures - last_failed

    def _trim(self):
        total = sum(n for n, _ in self._pieces)
        while len(self._pieces) > 1 and total - self._pieces[0][0] >= self.window:
            frames, failures = self._pieces.pop(0)
            total -= frames
            if not self.corrupted:
                self.history_frames += frames
                self.history_failures += failures

    def _judge(self):
        failures, frames = self.recent
        if frames < self.window:
            return None
        tail = binomial_tail(failures, frames, self.baseline)
        if not self.corrupted and tail < ENTER_TAIL:
            self.corrupted = True
            return "corrupted"
        if self.corrupted and tail >= LEAVE_TAIL:
            self.corrupted = False
            return "recovered"
        return None


def binomial_tail(k, n, p):
    """P(X >= k) for X ~ Binomial(n, p), summed in logarithms from k up when k is above the mean
    (the terms fall, and the sum stops once they no longer count), else as 1 − P(X < k)."""
    if k <= 0:
        return 1.0
    if k > n:
        return 0.0
    if k <= n * p:
        return max(0.0, 1.0 - sum(_pmf(i, n, p) for i in range(k)))
    total = 0.0
    for i in range(k, n + 1):
        term = _pmf(i, n, p)
        total += term
        if term < total * 1e-15:
            break
    return min(1.0, total)


def _pmf(i, n, p):
    return math.exp(math.lgamma(n + 1) - math.lgamma(i + 1) - math.lgamma(n - i + 1)
                    + i * math.log(p) + (n - i) * math.log1p(-p))
