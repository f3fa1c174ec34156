#include "commands.h"

#include <cctype>
#include <cstdio>
#include <optional>

#include "accounts.h"
#include "audit.h"
#include "backup.h"
#include "control_socket.h"
#include "database.h"
#include "database_setup.h"
#include "options.h"
#include "schema_version.h"
#include "server_text.h"

namespace cli {

namespace {

// The database options of a command: --database CONNECTION and
// --database-password-file FILE, with the rest of its words.
struct CommandArguments {
    std::string database, password_file;
    std::vector<std::string> words;
    bool demo = false;
    std::string server_role, server_role_password_file, control_socket;
};

CommandArguments command_arguments(const std::vector<std::string> &args, const std::string &command)
{
    CommandArguments c;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) usage_error(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--database") c.database = value();
        else if (arg == "--database-password-file") c.password_file = value();
        else if (command == "init" && arg == "--demo") c.demo = true;
        else if ((command == "init" || command == "migrate") && arg == "--server-role") c.server_role = value();
        else if (command == "init" && arg == "--server-role-password-file") c.server_role_password_file = value();
        else if (arg == "--control-socket") c.control_socket = value();
        else if (arg.rfind("--", 0) == 0) usage_error("unknown option \"" + arg + "\" of " + command);
        else c.words.push_back(arg);
    }
    if (c.database.empty()) c.database = default_database();
    warn_about_password_in_argv(c.database);
    c.database = with_password(c.database, c.password_file);
    return c;
}

}  // namespace

// vendrix-server user add|passwd|list|remove ...
int user_command(int argc, char **argv)
{
    std::vector<std::string> words;
    std::string database, password_file, role_text;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--database") database = value();
        else if (arg == "--database-password-file") password_file = value();
        else if (arg == "--role") role_text = value();
        else if (arg.rfind("--", 0) == 0) usage_error("unknown option \"" + arg + "\" of user");
        else words.push_back(arg);
    }
    if (words.empty()) usage_error("user needs add, passwd, list or remove");
    if (database.empty()) database = default_database();
    warn_about_password_in_argv(database);
    database = with_password(database, password_file);
    const std::string what = words[0];
    const bool needs_name = what == "add" || what == "passwd" || what == "remove";
    if ((needs_name && words.size() != 2) || (what == "list" && words.size() != 1))
        usage_error("user " + what + (needs_name ? " takes one account name" : " takes no name"));
    if (!role_text.empty() && what != "add") usage_error("--role belongs to user add");
    try {
        if (what == "add") {
            if (role_text.empty()) usage_error("user add needs --role planner|viewer|approver");
            const auto role = appserver::role_from_name(role_text);
            if (!role) usage_error("--role is planner, viewer or approver, not \"" + role_text + "\"");
            appserver::add_account(database, words[1], *role, read_password("Password for " + words[1] + ": ", true));
            std::fprintf(stderr, "vendrix-server: account %s added (%s)\n", words[1].c_str(), role_text.c_str());
        } else if (what == "passwd") {
            appserver::set_account_password(database, words[1], read_password("New password for " + words[1] + ": ", true));
            std::fprintf(stderr, "vendrix-server: password of %s changed; its sign-ins are ended\n", words[1].c_str());
        } else if (what == "remove") {
            appserver::remove_account(database, words[1]);
            std::fprintf(stderr, "vendrix-server: account %s removed, its sign-ins ended\n", words[1].c_str());
        } else if (what == "list") {
            for (const auto &a : appserver::list_accounts(database))
                std::printf("%-32s %-8s %s\n", a.name.c_str(), appserver::role_name(a.role), a.created.c_str());
        } else {
            usage_error("user needs add, passwd, list or remove, not \"" + what + "\"");
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}

// vendrix-server session list | session end ID: the running server's
// sessions, through its control socket.
int session_command(const CommandArguments &c)
{
    const std::string socket = c.control_socket.empty() ? appserver::default_control_socket() : c.control_socket;
    if (c.words.empty() || (c.words[0] == "list" && c.words.size() != 1) || (c.words[0] == "end" && c.words.size() != 2) ||
        (c.words[0] != "list" && c.words[0] != "end"))
        usage_error("session needs list, or end ID");
    if (socket.empty())
        usage_error("no control socket: give --control-socket FILE as the server has it (or control-socket in the config)");
    try {
        const std::string answer =
            appserver::ask_control_socket(socket, c.words[0] == "list" ? std::string("list") : "end " + c.words[1]);
        if (c.words[0] == "list") {
            std::printf("%s", answer.empty() ? "no sessions\n" : answer.c_str());
        } else {
            std::fprintf(stderr, "vendrix-server: %s", answer.c_str());
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", e.what());
        return 1;
    }
    return 0;
}

// vendrix-server init | migrate | backup FILE | restore FILE | session ...
int database_command(const std::vector<std::string> &args)
{
    const std::string what = args[0];
    if (what == "session") {
        // The server's socket is all it needs; no database is opened.
        CommandArguments c;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--control-socket" && i + 1 < args.size()) c.control_socket = args[++i];
            else if (args[i] == "--database" || args[i] == "--database-password-file") ++i;  // from the config file
            else if (args[i].rfind("--", 0) == 0) usage_error("unknown option \"" + args[i] + "\" of session");
            else c.words.push_back(args[i]);
        }
        return session_command(c);
    }
    CommandArguments c = command_arguments(args, what);
    const std::size_t files = (what == "backup" || what == "restore") ? 1 : 0;
    if (c.words.size() != files)
        usage_error(what + (files ? " takes one file name" : " takes no file name"));
    if (!c.server_role_password_file.empty() && c.server_role.empty())
        usage_error("--server-role-password-file needs --server-role");
    try {
        if (what == "init") {
            std::optional<appserver::ServerRole> role;
            if (!c.server_role.empty())
                role = appserver::ServerRole{
                    c.server_role, c.server_role_password_file.empty()
                                       ? read_password("Password for the server role " + c.server_role + ": ", true)
                                       : first_line_of(c.server_role_password_file, "server role password")};
            appserver::init_database(c.database, c.demo, role);
            std::fprintf(stderr, "vendrix-server: database ready (schema version %d)\n", appserver::kSchemaVersion);
        } else if (what == "migrate") {
            appserver::Connection db(c.database);
            const auto m = appserver::migrate_schema(db, c.server_role);
            if (m.was == appserver::kSchemaVersion)
                std::fprintf(stderr, "vendrix-server: the database is up to date (schema version %d)\n", m.was);
            else
                std::fprintf(stderr, "vendrix-server: database migrated from schema version %d to %d\n", m.was,
                             appserver::kSchemaVersion);
            for (const auto &role : m.server_roles)
                std::fprintf(stderr, "vendrix-server: the server role %s has its rights on every table\n",
                             role.c_str());
            if (db.kind() == appserver::DatabaseKind::Postgresql && m.server_roles.empty())
                std::fprintf(stderr,
                             "vendrix-server: no role holds the server's rights; if the service connects as a role "
                             "of its own, give it them with `vendrix-server migrate --server-role NAME`\n");
        } else if (what == "backup") {
            appserver::backup_sqlite(c.database, c.words[0]);
            std::fprintf(stderr, "vendrix-server: backup written to %s\n", c.words[0].c_str());
        } else {
            appserver::restore_database(c.database, c.words[0]);
            std::fprintf(stderr, "vendrix-server: database restored from %s\n", c.words[0].c_str());
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}

// vendrix-server audit [--month YYYYMM] [--department CODE] [--salesman CODE]
// [--since DATE] [--csv] [--database ...]: the audit trail of
// the salesman plans, read with the administrator's connection.
int audit_command(int argc, char **argv)
{
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
    appserver::AuditFilter filter;
    std::string database, password_file;
    bool csv = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) usage_error(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--database") database = value();
        else if (arg == "--database-password-file") password_file = value();
        else if (arg == "--month") filter.month = value();
        else if (arg == "--department") filter.department = value();
        else if (arg == "--salesman") filter.salesman = value();
        else if (arg == "--since") filter.since = value();
        else if (arg == "--csv") csv = true;
        else usage_error("unknown option \"" + arg + "\" of audit");
    }
    if (!filter.month.empty() &&
        (filter.month.size() != 6 || filter.month.find_first_not_of("0123456789") != std::string::npos))
        usage_error("--month is YYYYMM, not \"" + filter.month + "\"");
    const auto &since = filter.since;
    const bool since_ok = since.size() >= 10 && since[4] == '-' && since[7] == '-' &&
                          std::isdigit(static_cast<unsigned char>(since[0])) &&
                          since.find_first_not_of("0123456789-T:Z ") == std::string::npos;
    if (!since.empty() && !since_ok) usage_error("--since is a date YYYY-MM-DD (UTC), not \"" + since + "\"");
    if (database.empty()) database = default_database();
    warn_about_password_in_argv(database);
    database = with_password(database, password_file);
    try {
        // Written while it is read: memory stays the same however long the trail.
        appserver::write_audit(database, filter, csv ? appserver::AuditFormat::Csv : appserver::AuditFormat::Table,
                               [](std::string_view piece) { std::fwrite(piece.data(), 1, piece.size(), stdout); });
        std::fflush(stdout);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vendrix-server: %s\n", appserver::redact_connection_string(e.what()).c_str());
        return 1;
    }
    return 0;
}

}  // namespace cli
