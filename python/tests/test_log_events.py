"""read_log on a log with damage: the events pmctl log --json gives, as dicts."""

import portmdl


def test_damaged_lines_are_events_not_failures(tmp_path):
    # A log file whose only line is not Base64: reading goes on and says so.
    (tmp_path / "PM_LOG.dat").write_bytes(b";F===\n")
    events = list(portmdl.read_log(tmp_path / "PM_LOG.dat"))
    assert [e["event"] for e in events] == ["log", "damaged", "summary"]
    assert events[1]["line"] == 1 and events[1]["problem"]
    assert events[-1]["damaged_lines"] == 1
