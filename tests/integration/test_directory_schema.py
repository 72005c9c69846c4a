"""tamblo-directory-schema against a real PostgreSQL: what it prints and its exit status on a
fresh database, on one it already set up, on tables newer than the build, and when the
database cannot be reached or the connection string is bad."""

import os
import subprocess

import pytest

import tamblo_postgres
from tamblo_postgres import PostgresServer

BUILD_DIR = os.environ.get("TAMBLO_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
TOOL = os.path.join(BUILD_DIR, "tamblo-directory-schema")
NEWER = ("CREATE TABLE tamblo_directory_version (version integer NOT NULL);"
         "INSERT INTO tamblo_directory_version VALUES (2)")


@pytest.fixture(scope="module")
def database():
    reason = tamblo_postgres.unavailable_reason()
    if reason:
        pytest.skip(reason)
    with PostgresServer() as server:
        yield server


def run(conninfo):
    return subprocess.run([TOOL, conninfo], capture_output=True, text=True, timeout=60)


# name, what is done to the fresh database first, its connection string (None: the database),
# exit status, text expected on stdout (status 0) or stderr
CASES = [
    ("fresh", None, None, 0, "directory tables at version 1"),
    ("again", "tool", None, 0, "directory tables at version 1"),
    ("newer", NEWER, None, 1, "newer than this server knows (1)"),
    ("unreachable", None, "host=/nonexistent dbname=x", 1, "Database connection failed"),
    ("bad_conninfo", None, "hots=x", 2, "bad database connection string"),
]


@pytest.mark.parametrize("name,before,conninfo,status,text", CASES, ids=[c[0] for c in CASES])
def test_schema_tool(database, name, before, conninfo, status, text):
    database.psql("postgres", "CREATE DATABASE %s" % name)
    target = database.conninfo(name)
    if before == "tool":
        assert run(target).returncode == 0
    elif before:
        database.psql(name, before)
    result = run(conninfo or target)
    assert result.returncode == status, result.stderr
    assert text in (result.stdout if status == 0 else result.stderr)
    if name == "again":
        assert database.psql(name, "SELECT count(*) FROM tamblo_directory_version") == "1"
