"""A data disk that fills during an upload: the server's folder of received
files lies on an 8 MiB tmpfs. An upload that does not fit must end with
error 15 and a position that names exactly the bytes on disk; while the
disk is short, logins are refused (error 4); once space is freed the
appliance resumes from that position and the file arrives whole, with its
CRC, and is loaded once. Prints what happened at each step."""

import os
import struct
import subprocess
import sys
import time

import common
from common import say

SLOT_A = 16 + 0xA6  # the position file's header, then slot 0 (kind A) of its record


def position_of_slot_a(inst):
    path = os.path.join(inst.home, "config", "syncpos", "%s-%s.dat" % (common.USER,
                                                                       common.DEVICE.lower()))
    data = common.read(path)
    name = data[SLOT_A:SLOT_A + 64].split(b"\0")[0].decode()
    stored, announced, crc = struct.unpack_from("<III", data, SLOT_A + 68)
    return name, stored, announced, crc


def free_bytes(folder):
    st = os.statvfs(folder)
    return st.f_bavail * st.f_frsize


def login(inst):
    """zvclient login's exit code and words, once the session of the last
    connection has ended (until then the server sees a second login of the
    same device and refuses it with error 5)."""
    for _ in range(300):
        code, text = login_once(inst)
        if "MultipleLogin" not in text:
            return code, text
        time.sleep(0.1)
    return code, text


def upload(inst, path, **options):
    for _ in range(300):
        client = common.zvclient(inst, [path], **options)
        out, err = client.communicate(timeout=300)
        if "MultipleLogin" not in out + err:
            return client.returncode, out, err
        time.sleep(0.1)
    return client.returncode, out, err


def login_once(inst):
    done = subprocess.run([os.path.join(common.BIN, "zvclient"), "login", "--port",
                           str(inst.sync_port), "--user", common.USER, "--password",
                           common.PASSWORD, "--device", common.DEVICE],
                          capture_output=True, text=True, env=inst.env())
    return done.returncode, (done.stdout + done.stderr).strip()


def main():
    root = common.scratch_root("zv-diskfull-")
    mysql = os.path.join(root, "mysql")
    os.makedirs(mysql)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", mysql],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        say("disk-full: SKIPPED: mounting an 8 MiB tmpfs was refused here (%s)" %
            mounted.stderr.strip())
        subprocess.run(["rm", "-rf", root])
        return 0
    problems = []
    db = None
    server = None
    try:
        if not common.PrivateDb.usable():
            say("disk-full: SKIPPED: 127.0.0.1:811 answers outside a namespace of the run's own")
            return 0
        db = common.PrivateDb(os.path.join(root, "db"))
        db.install()
        # Logins and announcements need 1 MiB free on both data disks.
        inst = common.Installation(root, mysql_folder=mysql,
                                   settings={"MinimumRequiredDiskSpace": 1})
        files = common.Files(root, log_rows=(100000,))
        files.next_generation()
        name = files.logs[0]
        source = common.read(files.path(name))
        server = common.Server(inst)
        server.start()
        say("disk-full: data disk %s: 8 MiB tmpfs; log table %s of %d bytes" %
            (mysql, name, len(source)))

        # Leave about 3.5 MiB: the file (5.5 MiB) starts, then meets the end.
        ballast = os.path.join(mysql, "ballast")
        with open(ballast, "wb") as f:
            f.write(b"\0" * (free_bytes(mysql) - int(3.5 * 1024 * 1024)))
        say("  free before the upload: %d bytes" % free_bytes(mysql))
        code, out, err = upload(inst, files.path(name), compress="stored", block_size=65536,
                                resume=False)
        result = common.parse_client(out).get(name)
        say("  upload: %s (exit %d) %s" % (result, code, err.strip()))
        if result != ("refused", 15):
            problems.append("the upload that filled the disk ended with %s, not error 15" %
                            (result,))
        stored_path = os.path.join(inst.data, common.STORAGE, "logtable", name[:8], name)
        on_disk = os.path.getsize(stored_path) if os.path.exists(stored_path) else 0
        slot_name, stored, announced, crc = position_of_slot_a(inst)
        say("  position: %s, %d of %d bytes, CRC %08X; on disk %d bytes; free %d bytes" %
            (slot_name, stored, announced, crc, on_disk, free_bytes(mysql)))
        if slot_name != name or stored > on_disk:
            problems.append("the position (%d bytes) is ahead of the disk (%d bytes)" %
                            (stored, on_disk))
        if crc != common.crc32(source[:stored]):
            problems.append("the position's CRC %08X is not that of the first %d bytes" %
                            (crc, stored))
        if common.read(stored_path)[:stored] != source[:stored]:
            problems.append("the stored bytes differ from the source")

        # Short of space: logins are refused.
        code, text = login(inst)
        say("  login while short of space: exit %d: %s" % (code, text))
        if code != 1 or "ServerDiskFull" not in text:
            problems.append("a login while the disk was short was not refused with error 4")

        os.remove(ballast)
        say("  ballast removed: free %d bytes" % free_bytes(mysql))
        code, text = login(inst)
        say("  login after freeing space: exit %d" % code)
        if code != 0:
            problems.append("the login after freeing space failed: " + text)
        code, out, err = upload(inst, files.path(name), compress="lzo", block_size=65536)
        result = common.parse_client(out).get(name)
        say("  resumed upload: %s %s" % (result, err.strip()))
        if not result or result[0] != "confirmed":
            problems.append("the resumed upload was not confirmed: %s" % (result,))
        else:
            if result[1] != stored:
                problems.append("the upload resumed at %d, the position said %d" %
                                (result[1], stored))
            if result[2] != common.crc32(source):
                problems.append("the confirmed CRC %08X is not the source's" % result[2])
        server.stop()
        server = None
        problems += common.check_everything(inst, files, [])
        # The configuration table of the generation was never sent.
        problems = [p for p in problems if "package" not in p]
    finally:
        if server:
            server.stop()
        if db:
            db.stop()
        subprocess.run(["umount", mysql])
    return common.finish(problems, root, "the file arrived whole after the resume and its rows "
                         "are there once")


if __name__ == "__main__":
    sys.exit(main())
