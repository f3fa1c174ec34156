// What a site administrator relies on: the config file, schema versions with
// their migration, and consistent backups of a live SQLite database.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "accounts.h"
#include "app_server.h"
#include "database_files.h"
#include "backup.h"
#include "database.h"
#include "database_setup.h"
#include "schema.h"
#include "schema_version.h"
#include "server_config.h"
#include "server_fixture.h"

namespace {

using appserver::Connection;
using testsupport::exec_sql;
using testsupport::query_sql;

std::string temp_path(const char *suffix)
{
    static int n = 0;
    return (std::filesystem::temp_directory_path() /
            ("saleplan-site-" + std::to_string(getpid()) + "-" + std::to_string(++n) + suffix))
        .string();
}

struct TempFile {
    std::string path;
    explicit TempFile(const char *suffix = ".txt") : path(temp_path(suffix)) {}
    ~TempFile()
    {
        for (const char *extra : {"", "-wal", "-shm", ".partial"}) std::remove((path + extra).c_str());
    }
    void write(const std::string &text) const { std::ofstream(path) << text; }
};

// --- the config file ----------------------------------------------------------------

const std::vector<std::string> kOptions = {"listen", "database", "session-timeout"};
const std::vector<std::string> kFlags = {"init", "demo"};

TEST(ConfigFile, OptionsAndFlagsBecomeArgumentsInTheFilesOrder)
{
    TempFile f;
    f.write("# comment\n; another\n\n  Listen = 0.0.0.0:7500 \ndatabase=sqlite3://db=/var/lib/x.db\n"
            "init = yes\ndemo = false\nsession-timeout = 30\n");
    EXPECT_EQ(appserver::config_arguments(f.path, kOptions, kFlags),
              (std::vector<std::string>{"--listen", "0.0.0.0:7500", "--database", "sqlite3://db=/var/lib/x.db",
                                        "--init", "--session-timeout", "30"}));
}

TEST(ConfigFile, AKeyMaySpellItsDashesAsUnderscores)
{
    TempFile f;
    f.write("session_timeout = 30\n");
    EXPECT_EQ(appserver::config_arguments(f.path, kOptions, kFlags),
              (std::vector<std::string>{"--session-timeout", "30"}));
}

TEST(ConfigFile, MistakesNameTheFileAndLine)
{
    const std::pair<const char *, const char *> cases[] = {
        {"listen = 1\nportt = 7\n", "line 2: \"portt\" is no option"},
        {"listen 127.0.0.1\n", "line 1: expected \"key = value\""},
        {"\ninit = maybe\n", "line 2: \"init\" takes true or false"},
    };
    for (const auto &[text, expected] : cases) {
        TempFile f;
        f.write(text);
        try {
            appserver::config_arguments(f.path, kOptions, kFlags);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(f.path), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(appserver::config_arguments("/nonexistent/vendrix.conf", kOptions, kFlags), std::runtime_error);
}

// --- schema versions ------------------------------------------------------------------

// The five tables as the releases before versions created them, with rows.
void make_old_layout(const std::string &cs)
{
    exec_sql(cs, "CREATE TABLE XSTYZB01 (NYUE00 VARCHAR(6) NOT NULL, CKDM00 VARCHAR(2) NOT NULL, XHAO00 DOUBLE "
                 "PRECISION, ZBLB00 VARCHAR(1), ZBMC00 VARCHAR(50), ZBSL00 DOUBLE PRECISION, SPDM00 VARCHAR(8), "
                 "SPDM01 VARCHAR(8), ZBLBMC VARCHAR(8))");
    exec_sql(cs, "CREATE TABLE XSTYZB02 (NYUE00 VARCHAR(6) NOT NULL, XHAO00 DOUBLE PRECISION, ZBLB00 VARCHAR(1), "
                 "ZBMC00 VARCHAR(50), ZBSL00 DOUBLE PRECISION, CKDM00 VARCHAR(2) NOT NULL, RYDM00 VARCHAR(4) NOT "
                 "NULL, SPDM00 VARCHAR(8), SPDM01 VARCHAR(8), ZBLBMC VARCHAR(8), ROWID00 INTEGER PRIMARY KEY "
                 "AUTOINCREMENT)");
    exec_sql(cs, "CREATE TABLE XSTYXSZB (NYUE00 VARCHAR(6) NOT NULL, XHAO00 DOUBLE PRECISION, ZBLB00 VARCHAR(1), "
                 "ZBMC00 VARCHAR(50), SPDM00 VARCHAR(8), XSSL00 DOUBLE PRECISION, XSJE00 DOUBLE PRECISION)");
    exec_sql(cs, "CREATE TABLE GSTCKGL0 (CKDM00 VARCHAR(2) NOT NULL PRIMARY KEY, CKMC00 VARCHAR(40), WDBJ00 "
                 "VARCHAR(1), ZZRQ00 DATE)");
    exec_sql(cs, "CREATE TABLE GSTRYGL0 (RYDM00 VARCHAR(4) NOT NULL PRIMARY KEY, RYMC00 VARCHAR(20), FXY000 "
                 "VARCHAR(1), CKDM00 VARCHAR(2))");
    exec_sql(cs, "INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBMC00,ZBSL00,CKDM00,RYDM00) "
                 "VALUES ('200303',1,'卷烟销售总量',1200,'01','0001')");
}

std::string expect_unavailable(Connection &db)
{
    try {
        appserver::check_schema_version(db);
    } catch (const appserver::ServerError &e) {
        EXPECT_EQ(e.kind(), appserver::ServerError::Kind::Unavailable);
        return e.what();
    }
    ADD_FAILURE() << "the layout was accepted";
    return {};
}

TEST(SchemaVersion, FreshDatabaseIsCurrentAndAcceptedEmptyOneNamesInit)
{
    testsupport::SqliteDb fresh;
    Connection db(fresh.connection_string());
    EXPECT_EQ(appserver::schema_version(db), appserver::kSchemaVersion);
    EXPECT_NO_THROW(appserver::check_schema_version(db));

    TempFile empty(".db");
    Connection none("sqlite3://db=" + empty.path, true);
    EXPECT_EQ(appserver::schema_version(none), 0);
    EXPECT_NE(expect_unavailable(none).find("--init"), std::string::npos);
    EXPECT_THROW(appserver::migrate_schema(none), appserver::ServerError);
}

TEST(SchemaVersion, OlderLayoutIsRefusedNamingMigrateThenMigratedWithItsRows)
{
    TempFile file(".db");
    const std::string cs = "sqlite3://db=" + file.path;
    { Connection create(cs, true); }
    make_old_layout(cs);
    Connection db(cs);
    EXPECT_EQ(appserver::schema_version(db), 1);
    EXPECT_NE(expect_unavailable(db).find("vendrix-server migrate"), std::string::npos);

    EXPECT_EQ(appserver::migrate_schema(db).was, 1);
    EXPECT_EQ(appserver::schema_version(db), appserver::kSchemaVersion);
    EXPECT_NO_THROW(appserver::check_schema_version(db));
    EXPECT_EQ(query_sql(cs, "SELECT ZBSL00, RYDM00 FROM XSTYZB02"),
              (std::vector<std::vector<std::string>>{{"1200", "0001"}}));
    // A second run finds it current and changes nothing.
    EXPECT_EQ(appserver::migrate_schema(db).was, appserver::kSchemaVersion);
}

TEST(SchemaVersion, NewerDatabaseIsRefusedAndLeftAsItWas)
{
    testsupport::SqliteDb newer;
    exec_sql(newer.connection_string(), "UPDATE XTBBXX00 SET BBHAO0=99");
    Connection db(newer.connection_string());
    EXPECT_NE(expect_unavailable(db).find("newer"), std::string::npos);
    EXPECT_THROW(appserver::migrate_schema(db), appserver::ServerError);
    EXPECT_EQ(query_sql(newer.connection_string(), "SELECT BBHAO0 FROM XTBBXX00"),
              (std::vector<std::vector<std::string>>{{"99"}}));
}

// --- PostgreSQL: the database's owner, the server role, migrate ----------------------

// A database made as the guide makes it: `createdb -O OWNER`, then init as
// the superuser with a server role. Dropped with its roles at the end.
class OwnedPgDb {
public:
    OwnedPgDb()
    {
        admin_db_ = std::make_unique<testsupport::PgDb>();
        const std::string n = admin_db_->name();
        owner_ = n + "_owner";
        role_ = n + "_role";
        name_ = n + "_owned";
        admin("CREATE ROLE " + owner_ + " LOGIN PASSWORD 'owner-password'");
        admin("CREATE DATABASE " + name_ + " OWNER " + owner_);
        superuser_ = with_database(admin_db_->connection_string(), name_);
        appserver::init_database(superuser_, false, appserver::ServerRole{role_, "role-password"});
    }
    ~OwnedPgDb()
    {
        try {
            admin("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
            admin("DROP ROLE IF EXISTS " + role_);
            admin("DROP ROLE IF EXISTS " + owner_);
        } catch (...) {
        }
    }
    void admin(const std::string &sql) const { exec_sql(admin_db_->connection_string(), sql); }
    // The superuser's, the owner's and the server role's connections to the database.
    const std::string &superuser() const { return superuser_; }
    std::string owner() const { return as(owner_, "owner-password"); }
    std::string server() const { return as(role_, "role-password"); }
    const std::string &owner_name() const { return owner_; }
    const std::string &role_name() const { return role_; }

private:
    static std::string with_database(std::string cs, const std::string &name)
    {
        const auto at = cs.find("dbname=");
        const auto end = cs.find(' ', at);
        return cs.replace(at, end == std::string::npos ? std::string::npos : end - at, "dbname=" + name);
    }
    std::string as(const std::string &user, const std::string &password) const
    {
        std::string cs = superuser_;
        const auto at = cs.find("user=");
        const auto end = cs.find(' ', at);
        cs.erase(at, end == std::string::npos ? std::string::npos : end - at + 1);
        return cs + " user=" + user + " password=" + password;
    }
    std::unique_ptr<testsupport::PgDb> admin_db_;
    std::string owner_, role_, name_, superuser_;
};

std::string ready_refusal(const std::string &cs)
{
    Connection db(cs);
    try {
        appserver::check_ready_to_serve(db);
    } catch (const appserver::ServerError &e) {
        return e.what();
    }
    return {};
}

TEST(PostgresSite, InitAsTheSuperuserLeavesTheLayoutToTheOwnerAndTheServerRoleItsRights)
{
    if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set";
    OwnedPgDb db;
    EXPECT_EQ(query_sql(db.superuser(), "SELECT DISTINCT tableowner FROM pg_tables WHERE schemaname='public'"),
              (std::vector<std::vector<std::string>>{{db.owner_name()}}));
    EXPECT_EQ(query_sql(db.superuser(), "SELECT pg_get_userbyid(proowner) FROM pg_proc WHERE proname='nvl'"),
              (std::vector<std::vector<std::string>>{{db.owner_name()}}));
    // The owner adds and lists the accounts; the server role serves.
    appserver::add_account(db.owner(), "wang", appserver::Role::Planner, "wang-password");
    EXPECT_EQ(appserver::list_accounts(db.owner()).size(), 1u);
    EXPECT_EQ(ready_refusal(db.server()), "");
    // Its rights are exactly the server's: no account can be added with them.
    EXPECT_THROW(appserver::add_account(db.server(), "li", appserver::Role::Planner, "li-password"),
                 appserver::ServerError);
}

TEST(PostgresSite, MigrateKeepsTheServerRolesRightsAndAServerWithoutThemNamesTheCommand)
{
    if (!testsupport::PgDb::available()) GTEST_SKIP() << "SALEPLAN_TEST_PG is not set";
    OwnedPgDb db;
    // The layout of the releases before versions: the five plan tables and
    // the server role's rights on them.
    for (const char *t : {"XTBBXX00", "XSTYZBRZ", "GSTYHLP0", "GSTYHZH0"}) exec_sql(db.superuser(), std::string("DROP TABLE ") + t);
    EXPECT_NE(ready_refusal(db.server()).find("vendrix-server migrate"), std::string::npos);
    {
        Connection as_superuser(db.superuser());
        const auto m = appserver::migrate_schema(as_superuser);
        EXPECT_EQ(m.was, 1);
        EXPECT_EQ(m.server_roles, std::vector<std::string>{db.role_name()});
    }
    EXPECT_EQ(ready_refusal(db.server()), "");
    EXPECT_EQ(query_sql(db.superuser(), "SELECT DISTINCT tableowner FROM pg_tables WHERE schemaname='public'"),
              (std::vector<std::vector<std::string>>{{db.owner_name()}}));

    // Rights lost otherwise: the server names the one command, and that
    // command (the owner's, the layout being current) gives them back.
    exec_sql(db.superuser(), "REVOKE SELECT ON XTBBXX00 FROM " + db.role_name());
    const std::string refusal = ready_refusal(db.server());
    EXPECT_NE(refusal.find("SELECT on XTBBXX00"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("vendrix-server migrate --server-role " + db.role_name()), std::string::npos) << refusal;
    Connection as_owner(db.owner());
    EXPECT_EQ(appserver::migrate_schema(as_owner, db.role_name()).was, appserver::kSchemaVersion);
    EXPECT_EQ(ready_refusal(db.server()), "");
    EXPECT_THROW(appserver::migrate_schema(as_owner, "no_such_role_here"), appserver::ServerError);
}

// --- backup and restore -------------------------------------------------------------

std::string plan_total(const std::string &cs) { return query_sql(cs, "SELECT SUM(ZBSL00) FROM XSTYZB02")[0][0]; }

TEST(Backup, LiveCopyIsConsistentAndRestoreUndoesLaterChanges)
{
    testsupport::SqliteDb live(true);
    const std::string cs = live.connection_string();
    const std::string total = plan_total(cs);
    // A planner's transaction is open while the copy is made: the copy holds
    // what was committed, not the half-done change.
    Connection planner(cs);
    planner.begin();
    planner.run("UPDATE XSTYZB02 SET ZBSL00 = ZBSL00 + 1000");

    TempFile copy(".db");
    appserver::backup_sqlite(cs, copy.path);
    planner.rollback();
    const std::string copy_cs = "sqlite3://db=" + copy.path;
    EXPECT_EQ(plan_total(copy_cs), total);
    EXPECT_FALSE(std::filesystem::exists(copy.path + ".partial"));

    exec_sql(cs, "DELETE FROM XSTYZB02");
    EXPECT_EQ(query_sql(cs, "SELECT COUNT(*) FROM XSTYZB02")[0][0], "0");
    appserver::restore_database(cs, copy.path);
    EXPECT_EQ(plan_total(cs), total);
}

TEST(Backup, RestoreOfAFileThatIsNoBackupChangesNothing)
{
    testsupport::SqliteDb live(true);
    const std::string cs = live.connection_string();
    const std::string total = plan_total(cs);
    TempFile not_db(".db");
    not_db.write("these are not the plans you are looking for\n");
    EXPECT_THROW(appserver::restore_database(cs, not_db.path), appserver::ServerError);
    TempFile empty(".db");
    { Connection create("sqlite3://db=" + empty.path, true); }
    EXPECT_THROW(appserver::restore_database(cs, empty.path), appserver::ServerError);
    EXPECT_THROW(appserver::restore_database(cs, "/nonexistent/backup.db"), appserver::ServerError);
    EXPECT_EQ(plan_total(cs), total);
    EXPECT_THROW(appserver::backup_sqlite("postgresql://dbname=x", "/tmp/x.db"), appserver::ServerError);
}


// A copy that is damaged, of a version this server does not know, or that
// brings in what init never makes is refused with the reason before the
// live database is touched; so is any restore while a server holds it.
TEST(Backup, RestoreRefusesAPoisonedCopyAndAServedDatabaseWithTheReason)
{
    testsupport::SqliteDb live(true);
    const std::string cs = live.connection_string();
    const std::string total = plan_total(cs);
    const std::string audit = query_sql(cs, "SELECT COUNT(*) FROM XSTYZBRZ")[0][0];
    struct Poison {
        const char *reason;
        std::function<void(const std::string &copy_cs, const std::string &file)> make;
    } poisons[] = {
        {"damaged",
         [](const std::string &, const std::string &file) {
             // A page of the plans' table overwritten in the middle.
             std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(file) / 2));
             const std::string junk(4096, '\x5a');
             f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
         }},
        {"schema version 99", [](const std::string &c, const std::string &) { exec_sql(c, "UPDATE XTBBXX00 SET BBHAO0=99"); }},
        {"trigger",
         [](const std::string &c, const std::string &) {
             exec_sql(c, "CREATE TRIGGER WIPE AFTER INSERT ON XSTYZB02 BEGIN DELETE FROM XSTYZBRZ; END");
         }},
        {"view", [](const std::string &c, const std::string &) { exec_sql(c, "CREATE VIEW V AS SELECT 1"); }},
        {"table", [](const std::string &c, const std::string &) { exec_sql(c, "CREATE TABLE EXTRA (A INTEGER)"); }},
    };
    for (const auto &p : poisons) {
        TempFile copy(".db");
        appserver::backup_sqlite(cs, copy.path);
        const std::string copy_cs = "sqlite3://db=" + copy.path;
        exec_sql(copy_cs, "PRAGMA journal_mode=DELETE");
        exec_sql(copy_cs, "DELETE FROM XSTYZB02");
        p.make(copy_cs, copy.path);
        try {
            appserver::restore_database(cs, copy.path);
            ADD_FAILURE() << "restored a copy with a " << p.reason;
        } catch (const appserver::ServerError &e) {
            EXPECT_NE(std::string(e.what()).find(p.reason), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("nothing was restored"), std::string::npos) << e.what();
        }
        std::remove(appserver::accounts_file_of(copy.path).c_str());
        EXPECT_EQ(plan_total(cs), total) << p.reason;
    }
    EXPECT_EQ(query_sql(cs, "SELECT COUNT(*) FROM XSTYZBRZ")[0][0], audit);

    // A sound copy, while a server holds the database: refused, naming why.
    TempFile sound(".db");
    appserver::backup_sqlite(cs, sound.path);
    {
        appserver::AppServer server(cs);
        try {
            appserver::restore_database(cs, sound.path);
            ADD_FAILURE() << "restored under a running server";
        } catch (const appserver::ServerError &e) {
            EXPECT_NE(std::string(e.what()).find("a server is running"), std::string::npos) << e.what();
        }
    }
    EXPECT_NO_THROW(appserver::restore_database(cs, sound.path));
    std::remove(appserver::accounts_file_of(sound.path).c_str());
}

// Migrate refuses plan tables it does not know, changing nothing.
TEST(SchemaVersion, MigrateRefusesAPlanTableWithoutItsRowIdentity)
{
    TempFile file(".db");
    const std::string cs = "sqlite3://db=" + file.path;
    { Connection create(cs, true); }
    make_old_layout(cs);
    exec_sql(cs, "CREATE TABLE P (NYUE00 VARCHAR(6), XHAO00 DOUBLE PRECISION, ZBLB00 VARCHAR(1), ZBMC00 VARCHAR(50), "
                 "ZBSL00 DOUBLE PRECISION, CKDM00 VARCHAR(2), RYDM00 VARCHAR(4), SPDM00 VARCHAR(8), SPDM01 VARCHAR(8), "
                 "ZBLBMC VARCHAR(8))");
    exec_sql(cs, "INSERT INTO P SELECT NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00,SPDM00,SPDM01,ZBLBMC FROM XSTYZB02");
    exec_sql(cs, "DROP TABLE XSTYZB02");
    exec_sql(cs, "ALTER TABLE P RENAME TO XSTYZB02");
    Connection db(cs);
    try {
        appserver::migrate_schema(db);
        ADD_FAILURE() << "migrated a layout without ROWID00";
    } catch (const appserver::ServerError &e) {
        EXPECT_NE(std::string(e.what()).find("has no column ROWID00"), std::string::npos) << e.what();
    }
    EXPECT_EQ(appserver::schema_version(db), 1);
    std::remove(appserver::accounts_file_of(file.path).c_str());
}

// What the server creates is never readable by others, whatever the umask.
TEST(Files, TheDatabaseAndItsAccountsAreCreatedWithoutRightsForOthers)
{
    TempFile file(".db");
    const std::string cmd = "umask 0; " + testsupport::server_executable() + " init --database sqlite3://db=" +
                            file.path + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    for (const std::string &f : {file.path, appserver::accounts_file_of(file.path)}) {
        ASSERT_TRUE(std::filesystem::exists(f)) << f;
        const auto perms = std::filesystem::status(f).permissions();
        EXPECT_EQ(perms & (std::filesystem::perms::others_all | std::filesystem::perms::group_write),
                  std::filesystem::perms::none)
            << f;
    }
    std::remove(appserver::accounts_file_of(file.path).c_str());
}

}  // namespace
