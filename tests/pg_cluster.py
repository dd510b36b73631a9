"""A PostgreSQL cluster of a test's own: in a fresh folder under /tmp, on a
Unix socket in that folder and no TCP port, removed when the test ends.

    pg_cluster.py -- COMMAND ARGS...

runs COMMAND with ORVANE_TEST_PG set to the cluster's connection string, and
ORVANE_TEST_PG_CONTROL to a command that takes "stop" or "start" for a test
that takes the server away mid-test; it exits with COMMAND's status. Python
tests import Cluster instead. Run by Debian's /usr/bin/python3.

PostgreSQL will not run as root: as root the server runs as the postgres user,
and the cluster's superuser is named after the user who runs the tests, so
libpq's default role is the right one either way."""
import pwd
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

BIN = "/usr/lib/postgresql/15/bin"
DATABASE = "orvane_test"
PORT = 55432  # names the socket file only; the folder is the cluster's own
SETTINGS = """
listen_addresses = ''
unix_socket_directories = '{folder}'
port = {port}
shared_buffers = 16MB
max_connections = 50
logging_collector = off
"""


def as_root():
    return os.geteuid() == 0


def server_command(args):
    """As the postgres user when root, else as we are."""
    return (["runuser", "-u", "postgres", "--"] + args) if as_root() else args


def run(args, server=False, check=True):
    # From /: the postgres user may not enter the folder the tests run in.
    done = subprocess.run(server_command(args) if server else args, cwd="/",
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if check and done.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (" ".join(args), done.returncode,
                                                     done.stdout))
    return done


class Cluster:
    """create() makes and starts it; stop() and start() take the server away
    and bring it back with its data; remove() stops it and deletes it all.
    Cluster(folder) takes over one made before, to stop or start it."""

    def __init__(self, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="orvane-pg-", dir="/tmp")
        self.data = os.path.join(self.folder, "data")
        self.log = os.path.join(self.folder, "server.log")
        self.conninfo = "host=%s port=%d dbname=%s" % (self.folder, PORT, DATABASE)

    def __enter__(self):
        self.create()
        return self

    def __exit__(self, *exc):
        self.remove()

    def create(self):
        if as_root():
            shutil.chown(self.folder, "postgres", "postgres")
        os.chmod(self.folder, 0o700)
        user = pwd.getpwuid(os.geteuid()).pw_name
        run([BIN + "/initdb", "-D", self.data, "-U", user, "--auth=trust", "-E", "UTF8",
             "--no-locale", "--no-sync"], server=True)
        # Appended as root too: the file keeps its owner.
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.write(SETTINGS.format(folder=self.folder, port=PORT))
        self.start()
        run([BIN + "/createdb", "-h", self.folder, "-p", str(PORT), DATABASE])

    def start(self):
        try:
            run([BIN + "/pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60", "start"],
                server=True)
        except RuntimeError:
            sys.stderr.write(self.log_tail())
            raise

    def is_running(self):
        return run([BIN + "/pg_ctl", "-D", self.data, "status"], server=True,
                   check=False).returncode == 0

    def stop(self):
        """Fast (sessions ended, then a clean shutdown), else immediate."""
        if not os.path.isdir(self.data) or not self.is_running():
            return
        for mode in ("fast", "immediate"):
            done = run([BIN + "/pg_ctl", "-D", self.data, "-m", mode, "-w", "-t", "30", "stop"],
                       server=True, check=False)
            if done.returncode == 0:
                return
        raise RuntimeError("the test's PostgreSQL in %s did not stop" % self.folder)

    def remove(self):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)

    def control_command(self):
        return "%s %s --control %s" % (shlex.quote(sys.executable),
                                        shlex.quote(os.path.abspath(__file__)),
                                        shlex.quote(self.folder))

    def log_tail(self, lines=40):
        try:
            with open(self.log, errors="replace") as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return ""


class Interrupted(Exception):
    pass


def stop_child(child):
    try:
        child.wait(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()


def run_under_cluster(command):
    """Runs command beside a fresh cluster; its exit status, 128 + n for a
    signal n. The cluster goes however the command ends."""
    child = None

    def on_signal(number, frame):
        if child and child.poll() is None:
            child.send_signal(number)
        raise Interrupted(number)

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    cluster = Cluster()
    try:
        cluster.create()
        env = dict(os.environ, ORVANE_TEST_PG=cluster.conninfo,
                   ORVANE_TEST_PG_CONTROL=cluster.control_command())
        child = subprocess.Popen(command, env=env)
        status = child.wait()
        return 128 - status if status < 0 else status
    except Interrupted as e:
        return 128 + e.args[0]
    finally:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        if child:
            stop_child(child)
        cluster.remove()


def main(argv):
    if len(argv) == 3 and argv[0] == "--control" and argv[2] in ("stop", "start"):
        cluster = Cluster(argv[1])
        cluster.stop() if argv[2] == "stop" else cluster.start()
        return 0
    if len(argv) < 2 or argv[0] != "--":
        sys.stderr.write("usage: pg_cluster.py -- COMMAND ARGS...\n"
                         "       pg_cluster.py --control FOLDER stop|start\n")
        return 2
    try:
        return run_under_cluster(argv[1:])
    except (OSError, RuntimeError) as e:
        sys.stderr.write("pg_cluster.py: %s\n" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
