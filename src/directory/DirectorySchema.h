// The tables of the gateway directory in PostgreSQL and the one statement that creates or
// upgrades them: run by every server when it connects (Directory.h) and by the package's
// command tamblo-directory-schema.
//
//   tamblo_directory_version (version)            one row per step applied
//   tamblo_servers  (server_id, peer_address, last_seen)
//   tamblo_gateways (key bytea, gateway_id, server_id, registered_at, expires_at)
//
// The statement is one transaction that first takes an advisory lock, so servers that start
// together apply each step once, one after the other; it reads the version and applies only
// the steps that are missing, so running it again changes nothing. A database whose version is
// newer than this build knows is refused with an error that says so, rather than used with
// tables this build does not understand. With the tables in place the statement needs no
// right to create anything: the servers may run with a role that may only read and write the
// two tables, and an operator's role applies the steps with the command.
#pragma once

#include "directory/PgClient.h"

namespace directory_schema {

constexpr int kVersion = 1;

// An unnamed statement without parameters (a DO block).
const PgStatement& upgradeStatement();

// The version of the tables: one row, one column (after the upgrade, which makes the table).
const PgStatement& versionStatement();

}  // namespace directory_schema
