"""Kernels for the Python example graph: arvex-core calls these through the bridge."""

frames_seen = 0


def measure(index):
    """One antenna's measurement for this frame: a made-up power level."""
    return 10.0 + index * 0.5


def report(first, powers):
    """Prints one line per frame with the antenna powers it was given."""
    global frames_seen
    frames_seen += 1
    print(f"python report {frames_seen}: first={first} powers={sorted(powers)}", flush=True)
