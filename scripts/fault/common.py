"""What the fault runs share: a scratch installation of the server, a
MariaDB of the run's own, the server process, the appliance tool, and the
files the appliance uploads, with what each upload must leave behind.

The runs start inside a network namespace of their own (the shell wrappers
in scripts/ enter it), where 127.0.0.1:811 is free for the run's MariaDB:
the shared test database is never touched. Without a namespace a run uses
its own MariaDB only when nothing answers on 811 (see PrivateDb.usable).
"""

import atexit
import datetime
import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import tarfile
import tempfile
import time
import zlib

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("BUILD_DIR", os.path.join(SOURCE, "build"))
BIN = os.path.join(BUILD, "bin")
DB_PASSWORD = "qormelt"
USER, PASSWORD, DEVICE, STORAGE = "demo", "demo", "00A1B2C3", "soak"


def say(text):
    print(text, flush=True)


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def port_answers(port, host="127.0.0.1"):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex((host, port)) == 0


def listening(port):
    """True when some socket listens on the TCP port (read from /proc, so
    that asking opens no connection to the server)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].split(":")[1], 16) == port:
                        return True
        except FileNotFoundError:
            pass
    return False


def wait_until(predicate, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.02)
    raise RuntimeError("timed out waiting for " + what)


class PrivateDb:
    """A MariaDB of the run's own on 127.0.0.1:811, with a data folder that
    survives its stops, so that a stop and a start keep what was loaded."""

    def __init__(self, folder):
        self.folder = folder
        self.datadir = os.path.join(folder, "data")
        self.socket = os.path.join(folder, "mysqld.sock")
        self.process = None
        atexit.register(self.stop)

    @staticmethod
    def usable():
        return os.environ.get("ZV_FAULT_NETNS") == "1" or not port_answers(811)

    def install(self):
        os.makedirs(self.datadir, exist_ok=True)
        subprocess.run(["mariadb-install-db", "--no-defaults", "--datadir=" + self.datadir,
                        "--user=root", "--auth-root-authentication-method=normal",
                        "--skip-test-db"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.start()
        self.admin("ALTER USER root@localhost IDENTIFIED BY '%s';"
                   "CREATE USER IF NOT EXISTS root@'127.0.0.1' IDENTIFIED BY '%s';"
                   "ALTER USER root@'127.0.0.1' IDENTIFIED BY '%s';"
                   "GRANT ALL PRIVILEGES ON *.* TO root@'127.0.0.1' WITH GRANT OPTION;"
                   "FLUSH PRIVILEGES;" % ((DB_PASSWORD,) * 3), socket_login=True)

    def start(self):
        if port_answers(811):
            raise RuntimeError("something else answers on 127.0.0.1:811")
        self.process = subprocess.Popen(
            ["mariadbd", "--no-defaults", "--datadir=" + self.datadir, "--socket=" + self.socket,
             "--port=811", "--bind-address=127.0.0.1", "--user=root", "--skip-name-resolve",
             "--log-error=" + os.path.join(self.folder, "error.log"),
             "--innodb-log-file-size=8M", "--local-infile=1", "--max-connections=200"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: port_answers(811) or self.process.poll() is not None, 60,
                   "MariaDB to answer")
        if self.process.poll() is not None:
            raise RuntimeError("MariaDB ended at start; see " + self.folder + "/error.log")

    def stop(self):
        if self.process is None:
            return
        self.process.terminate()
        self.process.wait(60)
        self.process = None

    def admin(self, sql, socket_login=False):
        login = (["--socket=" + self.socket] if socket_login else
                 ["--protocol=TCP", "-h", "127.0.0.1", "-P", "811", "-p" + DB_PASSWORD])
        subprocess.run(["mariadb", "--no-defaults", "-uroot"] + login + ["-e", sql], check=True)


def query(sql, database=""):
    """Rows of a query as lists of strings (NULL as None)."""
    args = ["mariadb", "--no-defaults", "--protocol=TCP", "-h", "127.0.0.1", "-P", "811",
            "-uroot", "-p" + DB_PASSWORD, "-N", "-B", "-e", sql]
    if database:
        args.append(database)
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s: %s" % (sql, done.stderr.strip()))
    out = done.stdout
    return [[None if v == "NULL" else v for v in line.split("\t")] for line in out.splitlines()]


class Installation:
    """A server home below root: the programs side by side, the settings
    file, the ini files and the demo account. data_folder, when given, is
    the MySQL folder (received files go to its log_data/)."""

    def __init__(self, root, sync_port=8810, ui_port=8812, mysql_folder=None, settings=None):
        self.root = root
        self.home = os.path.join(root, "home")
        self.mysql = mysql_folder or os.path.join(root, "mysql")
        self.data = os.path.join(self.mysql, "log_data")
        self.attach = os.path.join(root, "attach")
        self.sync_port = sync_port
        self.ui_port = ui_port
        os.makedirs(os.path.join(self.home, "config"), exist_ok=True)
        os.makedirs(self.mysql, exist_ok=True)
        os.makedirs(self.attach, exist_ok=True)
        for program in ("Zentrovane.exe", "Loader.exe", "zvtar.exe"):
            shutil.copy2(os.path.join(BIN, program), os.path.join(self.home, program))
        values = {"SyncPort": sync_port, "UIPort": ui_port, "DisableWatchDog": 1,
                  "MinimumRequiredDiskSpace": 0, "LogLevel": 0x3F}
        values.update(settings or {})
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]"]
        lines += ['"%s"=dword:%08x' % (k, v) for k, v in values.items()]
        write(self.registry, ("\r\n".join(lines) + "\r\n").encode())
        write(os.path.join(self.home, "config", "dbconf.ini"),
              ("[DB_CONFIG]\r\nDbType=1\r\nSQLServer=127.0.0.1\r\nSQLPort=811\r\nSQLUser=root\r\n"
               "SQLPWD=\r\nFilePath=%s\r\n" % self.attach).encode())
        write(os.path.join(self.home, "config", "zvtools.ini"),
              b"[ZV_CONFIG]\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\nEncodeAttach=0\r\nDelMethod=2\r\n"
              b"DelDay=0\r\nDelPercent=0\r\nDelMid=0\r\nAutoDelMidDay=0\r\n")
        write(os.path.join(root, "mysql_path.ini"), ("[mysql]\r\npath=%s\r\n" % self.mysql).encode())
        subprocess.run([os.path.join(BIN, "zvaccount"), "add", self.account_file, "--user", USER,
                        "--password", PASSWORD, "--storage", STORAGE], check=True,
                       stdout=subprocess.DEVNULL, env=self.env())

    @property
    def registry(self):
        return os.path.join(self.home, "config", "registry.reg")

    @property
    def account_file(self):
        return os.path.join(self.home, "config", "syncaccount.dat")

    def env(self):
        env = dict(os.environ)
        env.update(ZENTROVANE_HOME=self.home, ZENTROVANE_REGISTRY=self.registry,
                   ZENTROVANE_OBJECT_NAMESPACE="fault%d" % os.getpid())
        return env

    def debug_log(self):
        folder = os.path.join(self.home, "debuglog")
        text = ""
        if os.path.isdir(folder):
            for name in sorted(os.listdir(folder)):
                text += read(os.path.join(folder, name)).decode("utf-8", "replace")
        return text

    def run_loader(self):
        """One LoadLogTable run, as the server starts it after a log table."""
        return subprocess.run([os.path.join(self.home, "Loader.exe"), "LoadLogTable"],
                              env=self.env(), capture_output=True, text=True)


class Server:
    def __init__(self, installation):
        self.inst = installation
        self.process = None
        self.starts = 0
        # A run that ends by an exception leaves no server behind.
        atexit.register(self._kill_if_running)

    def _kill_if_running(self):
        if self.process is not None and self.process.poll() is None:
            self.kill9()

    def start(self):
        out = open(os.path.join(self.inst.root, "server.out"), "ab")
        self.process = subprocess.Popen([os.path.join(self.inst.home, "Zentrovane.exe"), "-app"],
                                        env=self.inst.env(), stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=out, start_new_session=True)
        out.close()
        self.starts += 1
        wait_until(lambda: listening(self.inst.sync_port) or self.process.poll() is not None, 60,
                   "the server to listen")
        if self.process.poll() is not None:
            raise RuntimeError("the server ended at start (status %s); see %s/server.out" %
                               (self.process.returncode, self.inst.root))

    def kill9(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.process = None

    def stop(self):
        if self.process is None:
            return 0
        self.process.terminate()
        code = self.process.wait(60)
        self.process = None
        return code


def zvclient(inst, files, compress="lzo", block_size=65536, resume=True, timeout_ms=30000):
    args = [os.path.join(BIN, "zvclient"), "upload", "--host", "127.0.0.1",
            "--port", str(inst.sync_port), "--user", USER, "--password", PASSWORD,
            "--device", DEVICE, "--compress", compress, "--block-size", str(block_size),
            "--timeout", str(timeout_ms)]
    if resume:
        args.append("--resume")
    return subprocess.Popen(args + files, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=inst.env())


def parse_client(stdout):
    """{name: ("confirmed", start offset, crc) or ("refused", code)} of a
    zvclient upload's output."""
    result = {}
    for line in stdout.splitlines():
        name, _, rest = line.partition(": ")
        if rest.startswith("confirmed"):
            start = int(rest.split("sent from byte ")[1].split(",")[0])
            crc = int(rest.split("crc ")[1].rstrip(")"), 16)
            result[name] = ("confirmed", start, crc)
        elif rest.startswith("refused: "):
            result[name] = ("refused", int(rest.split()[1]))
    return result


# ---- The files an appliance uploads --------------------------------------

class Files:
    """Generations of files: each one configuration table, three log tables
    of kind A and one attachment package, with names of their own. The
    sources stay in root/source for the checks at the end."""

    def __init__(self, root, log_rows=(20000, 4000, 200000), package_members=4, member_size=300000,
                 date="20101216"):
        self.folder = os.path.join(root, "source")
        self.log_rows = log_rows
        self.package_members = package_members
        self.member_size = member_size
        self.date = date
        self.generation = 0
        self.logs, self.configs, self.packages = [], [], []
        self.rng = random.Random(1234)

    def _slot(self, index):
        """File name stem of time slot index: one minute each, from the first
        day on."""
        day = datetime.date(int(self.date[:4]), int(self.date[4:6]), int(self.date[6:]))
        day += datetime.timedelta(days=index // 1440)
        minute = index % 1440
        return "%s_%02d%02d_%s" % (day.strftime("%Y%m%d"), minute // 60, minute % 60, DEVICE)

    def next_generation(self):
        g = self.generation
        self.generation += 1
        names = []
        token = "%032x" % (0xC0FFEE000000 + g)
        config = "%s_%s_users.dat" % (token, DEVICE)
        rows = "".join("%d\tuser%d_%d\n" % (i, g, i) for i in range(50 + g % 7))
        self._put(config, ("id\tname\n" + rows).encode())
        self.configs.append(config)
        names.append(config)
        for k, count in enumerate(self.log_rows):
            name = self._slot(4 * g + k) + "_A.dat"
            # Every row names its file and its number: a row loaded twice
            # shows as a repeated id.
            body = ["id\tsrc\tdst\tbytes\n"]
            for i in range(count):
                body.append("%s:%d\t10.%d.%d.%d\t192.168.%d.%d\t%d\n" % (
                    name, i, k, i % 250, g % 250, i % 200, (i * 7) % 250, i * 13 % 100000))
            self._put(name, "".join(body).encode())
            self.logs.append(name)
            names.append(name)
        package = self._slot(4 * g + 3) + "_X.dat"
        date = package[:8]
        tar_path = os.path.join(self.folder, package)
        with tarfile.open(tar_path, "w", format=tarfile.PAX_FORMAT) as tar:
            for m in range(self.package_members):
                data = self.rng.randbytes(self.member_size)
                member = "actrace/%s/g%d_%d.bin" % (date, g, m)
                self._put("members/" + member, data)
                info = tarfile.TarInfo(member)
                info.size = len(data)
                info.mode = 0o644
                with open(os.path.join(self.folder, "members", member), "rb") as f:
                    tar.addfile(info, f)
        self.packages.append(package)
        names.append(package)
        return names

    def _put(self, name, data):
        write(os.path.join(self.folder, name), data)

    def path(self, name):
        return os.path.join(self.folder, name)

    def members(self, package):
        with tarfile.open(self.path(package)) as tar:
            return [m.name for m in tar.getmembers() if m.isfile()]


def log_table_of(name):
    return "A" + name[:8]


def check_everything(inst, files, done_configs):
    """The checks at the end of a run; returns a list of problems (empty:
    nothing lost, nothing twice, every byte and CRC right)."""
    problems = []
    storage_data = os.path.join(inst.data, STORAGE)
    listed = {}
    list_path = os.path.join(storage_data, "filelist", "data.lst2")
    if os.path.exists(list_path):
        con = sqlite3.connect(list_path)
        for path, crc in con.execute("SELECT path, crc FROM filelist"):
            listed.setdefault(os.path.basename(path), set()).add(crc & 0xFFFFFFFF)
        con.close()
    expected_rows = {}
    for name in files.logs:
        source = read(files.path(name))
        stored = os.path.join(storage_data, "logtable", name[:8], name)
        if not os.path.exists(stored):
            problems.append("log table %s: not on the server" % name)
            continue
        if read(stored) != source:
            problems.append("log table %s: stored bytes differ from the source" % name)
        if listed.get(name) != {crc32(source)}:
            problems.append("log table %s: file list CRCs %s, source CRC %08X" % (
                name, sorted("%08X" % c for c in listed.get(name, [])), crc32(source)))
        expected_rows[name] = source.count(b"\n") - 1
    tables = {}
    for name in files.logs:
        tables.setdefault(log_table_of(name), []).append(name)
    for table, names in tables.items():
        try:
            rows = query("SELECT substring_index(id, ':', 1), count(*), count(DISTINCT id) FROM `%s`"
                         " GROUP BY 1" % table, STORAGE)
        except RuntimeError as e:
            problems.append("table %s: cannot be read (%s)" % (table, e))
            continue
        got = {r[0]: (int(r[1]), int(r[2])) for r in rows}
        for name in names:
            total, distinct = got.get(name, (0, 0))
            if total != expected_rows[name] or distinct != total:
                problems.append("table %s: file %s has %d rows (%d distinct), the source %d" % (
                    table, name, total, distinct, expected_rows[name]))
    if done_configs:
        last = done_configs[-1]
        source = read(files.path(last)).decode().splitlines()[1:]
        try:
            rows = ["%s\t%s" % (r[0], r[1])
                    for r in query("SELECT id, name FROM users ORDER BY id+0", STORAGE)]
        except RuntimeError as e:
            rows = [str(e)]
        if rows != source:
            problems.append("config table users: %d rows, the last upload (%s) has %d" % (
                len(rows), last, len(source)))
    attach = os.path.join(inst.attach, STORAGE)
    for package in files.packages:
        for member in files.members(package):
            extracted = os.path.join(attach, member)
            if not os.path.exists(extracted):
                found = [os.path.join(d, f) for d, _, fs in os.walk(inst.attach) for f in fs
                         if f == os.path.basename(member)]
                extracted = found[0] if found else extracted
            if not os.path.exists(extracted):
                problems.append("package %s: %s not unpacked" % (package, member))
            elif read(extracted) != read(files.path("members/" + member)):
                problems.append("package %s: %s differs from the source" % (package, member))
    return problems


def finish(problems, root, lost_nothing):
    """Prints the problems (and keeps the scratch folder) or what was kept
    whole (and removes it); the exit code of the run."""
    if problems:
        say("  LOST OR WRONG: %d problem(s)" % len(problems))
        for p in problems[:50]:
            say("    " + p)
        say("  scratch folder kept: " + root)
        return 1
    say("  lost: nothing; " + lost_nothing)
    if os.environ.get("KEEP") != "1":
        subprocess.run(["rm", "-rf", root])
    return 0


def scratch_root(prefix):
    return tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("ZV_FAULT_TMP", "/tmp"))
