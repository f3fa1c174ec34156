// The benchmarks' history databases on PostgreSQL: the rows of a database
// made by make_history_db.py copied into one made by the server's own --init
// (its tables and its least-privilege role), then analysed.
#pragma once

#include <string>

void copy_to_postgres(const std::string &sqlite_file, const std::string &pg);
