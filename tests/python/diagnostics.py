"""The diagnostic blocks that internal failures write to standard error.

Every internal failure of the module writes a block straight to descriptor 2,
from whichever thread raised it::

    thread '<unnamed>' failed at src/radiation/rad_trans.cpp:31:
    array index out of bounds

(the first block of a process is followed by a one-line hint). A block may
start in the middle of a line: the synchrotron kernel's Romberg diagnostic
"RMA_qromb: too many steps" ends without a line end, so a failure raised
right after it continues that line. The tests that
provoke failures on purpose capture these blocks with pytest's ``capfd``
fixture and check them, so that a block standing in a test log always means
a fault nobody expected.
"""

import re

_HEAD = re.compile(r"thread '<unnamed>' failed at (src/[^:]+\.cpp):(\d+):$")


def failure_blocks(err):
    """(source file, message) of every block in the captured text, in order."""
    lines = err.splitlines()
    blocks = []
    for i, line in enumerate(lines):
        head = _HEAD.search(line)
        if head:
            blocks.append((head.group(1), lines[i + 1] if i + 1 < len(lines) else None))
    return blocks


def failure_messages(capfd):
    """Ends the current capture and returns the messages of its blocks."""
    return [message for _, message in failure_blocks(capfd.readouterr().err)]


def expect_single_block(capfd, message):
    """A serial failure writes exactly one block, carrying the message that
    reached the caller."""
    assert failure_messages(capfd) == [message]


def expect_blocks_carrying(capfd, message):
    """A failure inside a parallel map writes one block for every piece that
    failed; one of them carries the message that reached the caller."""
    messages = failure_messages(capfd)
    assert message in messages, messages
