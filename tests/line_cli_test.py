#!/usr/bin/python3
"""orvane-flash line's database commands against a PostgreSQL of the test's own
(run under pg_cluster.py, which sets ORVANE_TEST_PG and ORVANE_TEST_PG_CONTROL).

    pg_cluster.py -- line_cli_test.py BIN_DIR
"""
import hashlib
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from line_lib import CONTROL, DB, flash_line, sql  # noqa: E402
from station_lib import Checks  # noqa: E402

flash = flash_line


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    c = Checks("line commands")
    name = "bench 3 '); DROP TABLE stations; -- \u5de5\u4f4d"
    got = flash(bin_dir, "add-station", name, "--db", DB)
    key = got.stdout.strip().splitlines()[-1] if got.stdout.strip() else ""
    c.check(got.returncode == 0 and len(key) == 64, "add-station prints a key last: %r" % got)
    stored = sql("select key_hash from stations where name = $1", name)
    c.check(stored == hashlib.sha256(key.encode()).hexdigest(),
            "only the key's hash is kept, under the name exactly as typed: %r" % stored)
    again = flash(bin_dir, "add-station", name, "--db", DB)
    c.check(again.returncode == 1 and again.stderr.strip(), "a name in use is refused: %r" % again)
    long_name = flash(bin_dir, "add-station", "x" * 10000, "--db", DB)
    c.check(long_name.returncode == 1 and "64" in long_name.stderr and
            sql("select count(*) from stations") == "1", "a name of 10 000 characters is refused")
    revoked = flash(bin_dir, "revoke-station", name, "--db", DB)
    c.check(revoked.returncode == 0 and
            sql("select revoked_at is not null from stations where name = $1", name) == "t",
            "revoke-station ends the key: %r" % revoked)
    first = flash(bin_dir, "new-view-token", "--db", DB).stdout.strip().splitlines()[-1]
    second = flash(bin_dir, "new-view-token", "--db", DB).stdout.strip().splitlines()[-1]
    c.check(first != second and sql("select value from line_settings") == second,
            "new-view-token replaces the token: %s, %s" % (first, second))

    # The database gone: a clear error and an end, not a wait.
    subprocess.run(CONTROL + " stop", shell=True, check=True, timeout=120)
    gone = flash(bin_dir, "add-station", "bench-4", "--db", DB)
    c.check(gone.returncode == 1 and "database" in gone.stderr,
            "without its database the command says so: %r" % gone)
    subprocess.run(CONTROL + " start", shell=True, check=True, timeout=120)
    back = flash(bin_dir, "add-station", "bench-4", "--db", DB)
    c.check(back.returncode == 0, "with it back, it works: %r" % back)
    c.finish()


if __name__ == "__main__":
    main()
