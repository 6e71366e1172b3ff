"""Takes the X CLIPBOARD selection and never answers a request for it, for at most the number
of seconds given (default 120); prints "owner ready" once it owns the selection."""

import sys
import time

from Xlib import X, display


def main():
    lifetime = float(sys.argv[1]) if len(sys.argv) > 1 else 120.0
    d = display.Display()
    window = d.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    window.set_selection_owner(d.intern_atom("CLIPBOARD"), X.CurrentTime)
    d.sync()
    print("owner ready", flush=True)
    end = time.monotonic() + lifetime
    while time.monotonic() < end:
        while d.pending_events():
            d.next_event()  # read and ignored: no answer ever goes out
        time.sleep(0.05)


if __name__ == "__main__":
    main()
