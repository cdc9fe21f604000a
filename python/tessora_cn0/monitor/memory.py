"""A monitored station's part of a station store (``monitor --store``): the template it is judged
against, chosen by its set-up as the stream announces it (receiver, antenna and firmware, RTCM
1033), and its days recorded with their events as the stream passes midnight and when the monitor
stops. A live day teaches no template and yields to the day's file judged later (report or batch
with the same store)."""
import sys

from tessora_cn0.store.records import setup_of
from tessora_cn0.store.schema import StoreError


class StationMemory:
    """The store's template and day records of one station; not thread-safe (the station's lock
    guards it)."""

    def __init__(self, store, name, url):
        self.store, self.name, self.url = store, name, url
        self.setup = None                 # the set-up the stream announced, once it has
        self.template = self._template(None)
        self.days = {}                    # day -> closed confirmed event lines starting that day
        self.spans = {}                   # day -> [first, last] epoch judged
        self.current = None               # the day of the last epoch judged

    def _template(self, setup):
        try:
            return self.store.template(self.name, setup)
        except (StoreError, ValueError) as exc:
            self._warn(exc)
            return None

    def _warn(self, exc):
        sys.stderr.write(f"tessora-cn0 monitor: {self.store.path}: {self.name}: {exc}\n")

    def new_setup(self, epochs):
        """True when epochs announce a set-up other than the one known and the store's template for
        it differs from the one in use (self.template is then that one, or None for a set-up the
        store has not seen: a new set-up is never judged against another's template)."""
        setup = setup_of(epochs)
        if not (setup.receiver or setup.antenna or setup.firmware) or setup == self.setup:
            return False
        self.setup = setup
        template = self._template(setup)
        before = self.template.to_json() if self.template is not None else None
        self.template = template
        return (template.to_json() if template is not None else None) != before

    def judged(self, epoch_text, changes):
        """After a push: the epoch judged last and the changes it gave. A day the stream has left is
        recorded."""
        day = epoch_text[:10]
        if self.current is not None and day < self.current:
            # Re-dated by its first ephemeris (until then the host's clock dated it), as the
            # detector restarts: what was dated before is no day of the stream.
            self.days.clear()
            self.spans.clear()
            self.current = None
        span = self.spans.setdefault(day, [epoch_text, epoch_text])
        span[0], span[1] = min(span[0], epoch_text), max(span[1], epoch_text)
        self.keep(changes)
        if self.current is not None and day > self.current:
            for passed in sorted(d for d in self.spans if d < day):
                self._record(passed)
        self.current = day if self.current is None else max(self.current, day)

    def keep(self, changes):
        """The events of changes closed confirmed, for the day they start on."""
        for c in changes:
            if c["action"] == "close" and c["confirmed"] and c.get("start"):
                self.days.setdefault(c["start"][:10], []).append(c)

    def close(self, changes):
        """The monitor stops: the last changes, then every day not yet recorded."""
        self.keep(changes)
        for day in sorted(set(self.spans) | set(self.days)):
            self._record(day)

    def _record(self, day):
        events = self.days.pop(day, [])
        first, last = self.spans.pop(day, ("", ""))
        try:
            self.store.record_live(self.name, day, events, setup=self.setup, path=self.url,
                                   used_store=self.template is not None, first=first, last=last)
        except (StoreError, ValueError) as exc:
            self._warn(exc)
