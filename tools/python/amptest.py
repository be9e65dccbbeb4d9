"""What the tests and the measuring tools share: the panel's identifiers and the frames as the
simulator's log writes them; the simulator, ampd, the panel under Wine and its driver, a line-based
SCPI client and readers at 5 Hz; waits, figures, process figures, headless Chromium; and the runner
that prints PASS or FAIL for each test and the closing count.

A script finds it from its own place:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))

Every wait is 'until a condition holds or a deadline passes'.

Its parts, beside it, each importable alone: amptest_sim (identifiers, frames, waits, the
simulator), amptest_ampd (ampd, the SCPI client, readers, Chromium), amptest_wine (process figures,
the panel under Wine) and amptest_runner (figures, the runner). Everything they define is here too,
so `import amptest` and `from amptest import ...` take any of it."""

from amptest_sim import *  # noqa: F401,F403
from amptest_ampd import *  # noqa: F401,F403
from amptest_wine import *  # noqa: F401,F403
from amptest_runner import *  # noqa: F401,F403
