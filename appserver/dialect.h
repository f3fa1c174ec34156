// Adapts the module's SQL text to the database behind the server. Exactly
// these changes are made, and nothing else:
//  - "DELETE name WHERE ..." (a DELETE at the start of the text, then a
//    table name, then WHERE) becomes "DELETE FROM name WHERE ...";
//  - PostgreSQL only: a subquery in FROM or JOIN that has no alias gets one
//    ("AS subquery_1"), since PostgreSQL 15 refuses an unnamed one.
// Text between quotes and comments are never touched. NVL and the text to
// number assignment are not rewritten: the database provides them (a SQLite
// function on every connection, PostgreSQL objects created by --init).
#pragma once

#include <string>

#include "database.h"

namespace appserver {

std::string adapt_statement(const std::string &sql, DatabaseKind kind);

}  // namespace appserver
