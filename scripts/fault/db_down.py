"""MariaDB stopped and started again while the server works, against a
MariaDB of the run's own: once while the importer loads a log table (the
file must wait and be loaded when the database is back), once while files
arrive (the appliance gets error 16 and sends again later). Nothing may be
lost, nothing loaded twice. Prints what happened at each step."""

import os
import subprocess
import sys
import time

import common
from common import say


def wait_for_log(inst, text, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if text in inst.debug_log():
            return True
        time.sleep(0.01)
    return False


def upload(inst, names, files):
    """zvclient upload of names, once the last session has ended; the
    per-file results."""
    for _ in range(300):
        client = common.zvclient(inst, [files.path(n) for n in names], compress="lzo")
        out, err = client.communicate(timeout=600)
        if "MultipleLogin" not in out + err:
            return common.parse_client(out)
        time.sleep(0.1)
    return {}


def main():
    if not common.PrivateDb.usable():
        say("db-down: SKIPPED: 127.0.0.1:811 answers and this run has no network namespace of "
            "its own; it never stops a MariaDB it did not start. Run it on a quiet machine.")
        return 0
    root = common.scratch_root("zv-dbdown-")
    problems = []
    db = common.PrivateDb(os.path.join(root, "db"))
    db.install()
    inst = common.Installation(root)
    files = common.Files(root, log_rows=(300000, 2000, 2000))
    first = files.next_generation()
    second = files.next_generation()
    config1, big, small1, small2, package1 = first
    server = common.Server(inst)
    server.start()
    try:
        # 1. The database stops while the importer loads a big log table.
        say("db-down: 1. MariaDB stops while the importer loads %s (%d bytes)" %
            (big, os.path.getsize(files.path(big))))
        client = common.zvclient(inst, [files.path(config1), files.path(big)], compress="lzo")
        if not wait_for_log(inst, "Load log table " + os.path.join(inst.data, common.STORAGE), 120):
            problems.append("the importer never started for " + big)
        db.stop()
        say("   MariaDB stopped")
        out, err = client.communicate(timeout=600)
        results = common.parse_client(out)
        say("   appliance: %s" % ", ".join("%s %s" % (n, r) for n, r in results.items()))
        loader_words = common.read(os.path.join(root, "server.out")).decode("utf-8", "replace")
        waiting = "left waiting" in loader_words
        say("   importer: %s" % ("the file was left waiting for the database" if waiting else
                                 "finished before the stop reached it"))

        # 2. Files arrive while the database is down.
        say("db-down: 2. files arrive while MariaDB is down")
        results = upload(inst, [small1, small2], files)
        say("   appliance: %s" % ", ".join("%s %s" % (n, r) for n, r in results.items()))
        if results.get(small1) != ("refused", 16):
            problems.append("%s with the database down ended %s, not error 16" %
                            (small1, results.get(small1)))

        # 3. The database is back: the appliance sends again; the waiting
        # file is loaded with the next import.
        db.start()
        say("db-down: 3. MariaDB started again; the appliance sends what was refused")
        rest = [n for n in first + second if n not in (config1, big)]
        results = upload(inst, rest, files)
        say("   appliance: %s" % ", ".join("%s %s" % (n, r[0]) for n, r in results.items()))
        for name in rest:
            if not results.get(name) or results[name][0] != "confirmed":
                problems.append("%s not confirmed after the database came back: %s" %
                                (name, results.get(name)))
        server.stop()
        server = None
        problems += common.check_everything(inst, files, [files.configs[-1]])
    finally:
        if server:
            server.stop()
        db.stop()
    rows = sum(common.read(files.path(n)).count(b"\n") - 1 for n in files.logs)
    return common.finish(problems, root, "%d log tables with %d rows, each row once; %d packages "
                         "unpacked" % (len(files.logs), rows, len(files.packages)))


if __name__ == "__main__":
    sys.exit(main())
