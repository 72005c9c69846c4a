"""tamblo-directory-schema against a real PostgreSQL: its output and exit status on a fresh
database and again on it, on tables newer than the build, and without a database."""

import os
import subprocess

import pytest

import tamblo_postgres

TOOL = os.path.join(os.environ.get("TAMBLO_BUILD_DIR", "build"), "tamblo-directory-schema")
NEWER = "CREATE TABLE tamblo_directory_version (version integer); INSERT INTO tamblo_directory_version VALUES (2)"

# name, SQL run on the fresh database first, connection string (None: the database), status, text
CASES = [
    ("fresh", None, None, 0, "directory tables at version 1"),
    ("newer", NEWER, None, 1, "newer than this server knows (1)"),
    ("unreachable", None, "host=/nonexistent", 1, "Database connection failed"),
    ("bad_conninfo", None, "hots=x", 2, "bad database connection string"),
]


@pytest.fixture(scope="module")
def instance():
    if tamblo_postgres.unavailable_reason():
        pytest.skip(tamblo_postgres.unavailable_reason())
    with tamblo_postgres.PostgresServer() as server:
        yield server


@pytest.mark.parametrize("name,before,conninfo,status,text", CASES, ids=[c[0] for c in CASES])
def test_schema_tool(instance, name, before, conninfo, status, text):
    instance.psql("postgres", "CREATE DATABASE " + name)
    if before:
        instance.psql(name, before)
    for attempt in (1, 2):  # the second run finds the tables as the first left them
        result = subprocess.run([TOOL, conninfo or instance.conninfo(name)], capture_output=True,
                                text=True, timeout=60)
        assert result.returncode == status, result.stderr
        assert text in (result.stdout if status == 0 else result.stderr)
    tables = instance.psql(name, "SELECT count(*) FROM pg_tables WHERE tablename LIKE 'tamblo_%'")
    assert tables == {"fresh": "3", "newer": "1"}.get(name, "0")
