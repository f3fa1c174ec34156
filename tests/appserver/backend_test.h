// Tests that run once on SQLite and once on PostgreSQL (skipped when
// SALEPLAN_TEST_PG is unset), each on a fresh database.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "database_files.h"
#include "server_fixture.h"
#include "wire.h"

namespace apptest {

enum class Backend { Sqlite, Postgresql };

inline std::string backend_name(const ::testing::TestParamInfo<Backend> &info)
{
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgresql";
}

class BackendTest : public ::testing::TestWithParam<Backend> {
protected:
    // Whether the database starts with the demo data.
    virtual bool demo() const { return false; }

    void SetUp() override
    {
        if (GetParam() == Backend::Postgresql) {
            if (!testsupport::PgDb::available())
                GTEST_SKIP() << "SALEPLAN_TEST_PG is not set: the PostgreSQL run is skipped";
            pg_ = std::make_unique<testsupport::PgDb>(demo());
        } else {
            sqlite_ = std::make_unique<testsupport::SqliteDb>(demo());
        }
    }

    bool postgres() const { return GetParam() == Backend::Postgresql; }
    // The database's owner (setting up data) and the connection the server
    // runs with (on PostgreSQL the server role made by --init).
    std::string cs() const { return pg_ ? pg_->connection_string() : sqlite_->connection_string(); }
    std::string server_cs() const { return testsupport::server_connection_for(cs()); }

    std::vector<std::vector<std::string>> query(const std::string &sql) const { return testsupport::query_sql(cs(), sql); }
    void exec(const std::string &sql) const { testsupport::exec_sql(cs(), sql); }
    std::string scalar(const std::string &sql) const { return query(sql).at(0).at(0); }
    // The accounts and tokens: on SQLite in a file of their own beside the plans'.
    std::string accounts_scalar(const std::string &sql) const
    {
        return testsupport::query_sql(appserver::accounts_connection_string(cs()), sql).at(0).at(0);
    }

private:
    std::unique_ptr<testsupport::SqliteDb> sqlite_;
protected:
    std::unique_ptr<testsupport::PgDb> pg_;
};

#define BACKEND_TEST_SUITE(Suite)                                                                      \
    INSTANTIATE_TEST_SUITE_P(Databases, Suite,                                                         \
                             ::testing::Values(::apptest::Backend::Sqlite, ::apptest::Backend::Postgresql), \
                             ::apptest::backend_name)

// Column index by name, without regard to case (PostgreSQL gives lower case).
inline std::size_t column(const wire::DataPacket &p, const std::string &name)
{
    for (std::size_t i = 0; i < p.fields.size(); ++i) {
        const auto &f = p.fields[i].name;
        if (f.size() == name.size() &&
            std::equal(f.begin(), f.end(), name.begin(), [](char a, char b) { return std::toupper(a) == std::toupper(b); }))
            return i;
    }
    ADD_FAILURE() << "no column " << name;
    return 0;
}

}  // namespace apptest
