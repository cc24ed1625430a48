"""A real PostgreSQL server for tests: Debian's postgresql binaries, a cluster
made by initdb in a folder of its own, listening on a free port of 127.0.0.1
only, with password (scram-sha-256) authentication for the user kelvora and a
database units. Run as root, the cluster belongs to the user nobody (the
server refuses to run as root).

As a context manager:

    with PostgresServer() as server:
        server.uri                      # postgresql://kelvora@127.0.0.1:PORT/units
        server.pause(); server.resume() # stopped, and started again on the same port

From a test in another language (the server outlives the command):

    postgres_server.py start DIR     prints the URI without the password
    postgres_server.py pause DIR | resume DIR | stop DIR

The password is PASSWORD below; give it as PGPASSWORD or in the URI. When the
binaries are missing, start exits 77 (and the context manager raises
Unavailable), so that a test can skip and say why.
"""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile

USER = "kelvora"
PASSWORD = "line-secret-7Q"
DATABASE = "units"
EXIT_UNAVAILABLE = 77


class Unavailable(Exception):
    pass


def binaries():
    """The folder of initdb and pg_ctl: PG_BINDIR, else the newest Debian one."""
    for folder in [os.environ.get("PG_BINDIR", "")] + sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True):
        if folder and os.access(os.path.join(folder, "initdb"), os.X_OK) and \
                os.access(os.path.join(folder, "pg_ctl"), os.X_OK):
            return folder
    found = shutil.which("initdb")
    if found and shutil.which("pg_ctl"):
        return os.path.dirname(found)
    raise Unavailable("no PostgreSQL server binaries (initdb, pg_ctl): install postgresql")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PostgresServer:
    """One cluster; folder (a new temporary one when None) keeps what another
    process needs to pause, resume or stop it: the port, and the path of the
    cluster's own folder, made apart in the temp folder so that the user
    nobody can reach it whatever folder the caller gave."""

    def __init__(self, folder=None):
        self.owns_folder = folder is None
        self.folder = folder or tempfile.mkdtemp(prefix="kelvora-pg-")
        self.bin = binaries()
        self.port_file = os.path.join(self.folder, "port")
        self.cluster_file = os.path.join(self.folder, "cluster")

    @property
    def port(self):
        with open(self.port_file) as f:
            return int(f.read())

    @property
    def cluster(self):
        with open(self.cluster_file) as f:
            return f.read()

    @property
    def data(self):
        return os.path.join(self.cluster, "data")

    @property
    def uri(self):
        return f"postgresql://{USER}@127.0.0.1:{self.port}/{DATABASE}"

    def _as_owner(self, *command, **kwargs):
        prefix = ["runuser", "-u", "nobody", "--"] if os.geteuid() == 0 else []
        return subprocess.run(prefix + [os.path.join(self.bin, command[0]), *command[1:]],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120,
                              **kwargs)

    def _checked(self, *command, **kwargs):
        done = self._as_owner(*command, **kwargs)
        if done.returncode != 0:
            raise RuntimeError(f"{command[0]} failed ({done.returncode}): {done.stdout}")
        return done

    def create(self):
        os.makedirs(self.folder, exist_ok=True)
        cluster = tempfile.mkdtemp(prefix="kelvora-pg-cluster-")
        with open(self.cluster_file, "w") as f:
            f.write(cluster)
        pwfile = os.path.join(cluster, "pwfile")
        with open(pwfile, "w") as f:
            f.write(PASSWORD + "\n")
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            for path in (cluster, pwfile):
                os.chown(path, nobody.pw_uid, nobody.pw_gid)
        self._checked("initdb", "-D", self.data, "-U", USER, "--pwfile", pwfile, "--auth", "scram-sha-256",
                      "--encoding", "UTF8", "--locale", "C", "--no-sync")
        os.remove(pwfile)
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as f:
            f.write("local all all scram-sha-256\nhost all all 127.0.0.1/32 scram-sha-256\n")
        with open(self.port_file, "w") as f:
            f.write(str(free_port()))
        self.resume()
        env = dict(os.environ, PGPASSWORD=PASSWORD)
        self._checked("createdb", "-h", "127.0.0.1", "-p", str(self.port), "-U", USER, DATABASE, env=env)
        return self

    def resume(self):
        # The socket folder is the cluster's own, so that nothing of the
        # machine's (/var/run/postgresql) is needed or touched.
        options = f"-p {self.port} -c listen_addresses=127.0.0.1 -k {self.cluster} -c fsync=off"
        self._checked("pg_ctl", "-D", self.data, "-o", options, "-l", os.path.join(self.cluster, "log"),
                      "-w", "-t", "60", "start")

    def pause(self):
        self._checked("pg_ctl", "-D", self.data, "-m", "fast", "-w", "-t", "60", "stop")

    def stop(self):
        if not os.path.exists(self.cluster_file):
            return
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self._as_owner("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "-t", "60", "stop")
        shutil.rmtree(self.cluster, ignore_errors=True)
        for path in (self.cluster_file, self.port_file):
            os.remove(path)

    def __enter__(self):
        try:
            return self.create()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()
        if self.owns_folder:
            shutil.rmtree(self.folder, ignore_errors=True)


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "pause", "resume", "stop"):
        print("usage: postgres_server.py start|pause|resume|stop DIR", file=sys.stderr)
        return 2
    action, folder = argv[1], argv[2]
    try:
        if action == "start":
            server = PostgresServer(folder)
            try:
                server.create()
            except BaseException:
                server.stop()
                raise
            print(server.uri)
        else:
            server = PostgresServer(folder)
            {"pause": server.pause, "resume": server.resume, "stop": server.stop}[action]()
    except Unavailable as e:
        print(f"postgres_server.py: {e}", file=sys.stderr)
        return EXIT_UNAVAILABLE
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print(f"postgres_server.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
