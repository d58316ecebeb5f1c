"""The results database waits for the disk once per run, when it ends: a run's opening and rows are
committed without waiting (write-ahead log, synchronous NORMAL), and the end commits with a full sync,
which puts everything committed before it on disk too."""
import sqlite3

import pytest

from telvar.host.store.results_db import ResultsDB, ResultsError


def test_only_the_end_of_a_run_waits_for_the_disk(tmp_path):
    db = ResultsDB(tmp_path / "results.sqlite")
    sid = db.begin_run("cross", 20251103, 20251104, {"Name": "cross"}, None)
    statements = []
    db._con.set_trace_callback(statements.append)
    db.put_rows(sid, "daily_equity", ["date", "equity"], [[20251103, 1.0], [20251104, 1.5]])
    assert not any("synchronous" in s for s in statements)
    assert db._con.execute("PRAGMA synchronous").fetchone()[0] == 1  # NORMAL
    del statements[:]
    db.end_run(sid, {"TotalReturn": 0.5})
    syncs = [i for i, s in enumerate(statements) if "synchronous" in s]
    begin = statements.index("BEGIN IMMEDIATE")
    assert [statements[i] for i in syncs] == ["PRAGMA synchronous = FULL", "PRAGMA synchronous = NORMAL"]
    assert syncs[0] < begin < statements.index("COMMIT") < syncs[1]
    assert db._con.execute("PRAGMA synchronous").fetchone()[0] == 1
    db.close()
    # everything is in the file for another reader
    con = sqlite3.connect(str(tmp_path / "results.sqlite"))
    assert con.execute("SELECT status FROM runs WHERE strategy_id = ?", [sid]).fetchone() == ("complete",)
    assert con.execute("SELECT count(*) FROM daily_equity WHERE strategy_id = ?", [sid]).fetchone() == (2,)
    con.close()


def test_a_failed_end_leaves_the_connection_not_waiting(tmp_path):
    db = ResultsDB(tmp_path / "results.sqlite")
    sid = db.begin_run("cross", 20251103, 20251104, {"Name": "cross"}, None)
    db.end_run(sid, {})
    with pytest.raises(ResultsError, match="has ended"):
        db.end_run(sid, {})
    assert db._con.execute("PRAGMA synchronous").fetchone()[0] == 1
    db.close()
