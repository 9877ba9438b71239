"""N kill -9s of the server at random moments while an appliance uploads
configuration tables, log tables and attachment packages; after each kill
the server is started again and the appliance resumes. At the end every
file must be on the server byte for byte, with its CRC, and every table
row must be there exactly once. Prints what it did and what was lost."""

import collections
import os
import random
import subprocess
import sys
import time

import common
from common import say

# A file the server refuses this often in a row is given up (and reported).
MAX_REFUSALS = 20


def main():
    kills_wanted = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    seed = int(os.environ.get("SOAK_SEED", "17"))
    rng = random.Random(seed)
    if not common.PrivateDb.usable():
        say("soak-kill: 127.0.0.1:811 answers outside a network namespace of the run's own; "
            "not touching that MariaDB. Run it where unshare -n works or 811 is free.")
        return 2
    root = common.scratch_root("zv-soak-")
    say("soak-kill: %d kills, seed %d, scratch folder %s" % (kills_wanted, seed, root))
    db = common.PrivateDb(os.path.join(root, "db"))
    try:
        db.install()
        return run(kills_wanted, rng, root, db)
    finally:
        db.stop()


def run(kills_wanted, rng, root, db):
    inst = common.Installation(root)
    files = common.Files(root)
    server = common.Server(inst)
    server.start()

    stats = collections.Counter()
    refusals = collections.Counter()
    hit = collections.Counter()  # which kind of file was travelling at a kill
    refused_in_a_row = collections.Counter()
    problems = []
    pending = []
    done_configs = []
    started = time.monotonic()

    def account(out):
        results = common.parse_client(out)
        for name in list(pending):
            r = results.get(name)
            if r is None:
                return name  # not reached this time: the next file to travel
            if r[0] == "confirmed":
                pending.remove(name)
                stats["confirmed"] += 1
                if r[1] > 0:
                    stats["resumed from a saved offset"] += 1
                if r[2] != common.crc32(common.read(files.path(name))):
                    problems.append("%s: confirmed with CRC %08X" % (name, r[2]))
                if name in files.configs:
                    done_configs.append(name)
                refused_in_a_row[name] = 0
            elif r[1] == 12:  # the server holds the file complete already
                pending.remove(name)
                stats["already complete at the next try"] += 1
            else:
                refusals[r[1]] += 1
                refused_in_a_row[name] += 1
                if refused_in_a_row[name] >= MAX_REFUSALS:
                    problems.append("%s: refused %d times in a row (code %d)" %
                                    (name, MAX_REFUSALS, r[1]))
                    pending.remove(name)
                return name
        return None

    def kind(name):
        if name in files.configs:
            return "config table"
        return "package" if name.endswith("_X.dat") else "log table"

    kills = 0
    while kills < kills_wanted:
        if not pending:
            pending = files.next_generation()
        client = common.zvclient(inst, [files.path(n) for n in pending],
                                 compress=rng.choice(["stored", "lzo", "lzma"]),
                                 block_size=rng.choice([16384, 65536, 262144]))
        try:
            out, _ = client.communicate(timeout=rng.uniform(0.0, 1.5))
            account(out)
            continue
        except subprocess.TimeoutExpired:
            pass
        server.kill9()
        kills += 1
        out, _ = client.communicate(timeout=120)
        travelling = account(out)
        hit[kind(travelling) if travelling else "between files"] += 1
        server.start()
        if kills % 100 == 0:
            say("soak-kill: %d kills, %d files confirmed, %.0f s" %
                (kills, stats["confirmed"], time.monotonic() - started))

    # The rest of the last generation, without kills.
    for _ in range(MAX_REFUSALS):
        if not pending:
            break
        client = common.zvclient(inst, [files.path(n) for n in pending])
        out, _ = client.communicate(timeout=600)
        account(out)
    if pending:
        problems.append("never accepted: " + ", ".join(pending))
    server.stop()
    # Log tables whose import a kill cut off wait in the file list; the
    # next log table would start the importer for them. So does this.
    loader = inst.run_loader()
    if loader.returncode != 0:
        problems.append("the last importer run failed: " + loader.stderr.strip())
    problems += common.check_everything(inst, files, done_configs)

    say("")
    say("soak-kill: %d kills of the server in %.0f s (%d server starts)" %
        (kills, time.monotonic() - started, server.starts))
    say("  kills while a file travelled: " +
        ", ".join("%s %d" % kv for kv in sorted(hit.items())))
    say("  files: %d generations, %d config tables, %d log tables, %d packages" %
        (files.generation, len(files.configs), len(files.logs), len(files.packages)))
    for key in ("confirmed", "resumed from a saved offset", "already complete at the next try"):
        say("  uploads %s: %d" % (key, stats[key]))
    say("  refusals by result code: " +
        (", ".join("%d: %d" % kv for kv in sorted(refusals.items())) or "none"))
    rows = sum(common.read(files.path(n)).count(b"\n") - 1 for n in files.logs)
    say("  log table rows expected once each: %d" % rows)
    return common.finish(problems, root, "every file byte-identical, every CRC right, every "
                         "row once")


if __name__ == "__main__":
    sys.exit(main())
