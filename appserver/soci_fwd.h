// The one place that includes SOCI. Its installed configuration header claims
// Boost support, but Boost is not installed here; the macros are dropped
// before any other SOCI header sees them.
#pragma once

#include <soci/soci-config.h>
#undef SOCI_HAVE_BOOST
#undef SOCI_HAVE_BOOST_DATE_TIME

#include <soci/soci.h>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/sqlite3/soci-sqlite3.h>
