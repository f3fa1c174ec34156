#include "database_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace appserver {

std::string accounts_file_of(const std::string &sqlite_file)
{
    const std::filesystem::path file(sqlite_file);
    const std::string extension = file.extension().string();
    return (file.parent_path() / (file.stem().string() + "-accounts" + extension)).string();
}

std::string accounts_connection_string(const std::string &connection_string)
{
    const ConnectionTarget target = parse_connection_string(connection_string);
    if (target.kind != DatabaseKind::Sqlite) return connection_string;
    return "sqlite3://db=" + accounts_file_of(target.sqlite_file);
}

std::string sqlite_file_of(Connection &db)
{
    const auto r = db.run("SELECT file FROM pragma_database_list WHERE name='main'").packet;
    return r.rows.empty() ? std::string() : wire::value_to_text(r.rows[0][0]);
}

std::unique_ptr<DatabaseFileLock> DatabaseFileLock::serving(const std::string &connection_string)
{
    const ConnectionTarget target = parse_connection_string(connection_string);
    if (target.kind != DatabaseKind::Sqlite) return nullptr;
    const int fd = ::open(target.sqlite_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;  // nothing to hold yet: the server answers 503 until there is
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        throw ServerError(ServerError::Kind::Unavailable,
                          "the database \"" + target.sqlite_file + "\" is being restored; try again when it is done");
    }
    return std::unique_ptr<DatabaseFileLock>(new DatabaseFileLock(fd));
}

std::unique_ptr<DatabaseFileLock> DatabaseFileLock::alone(const std::string &sqlite_file)
{
    const int fd = ::open(sqlite_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return nullptr;  // no database yet: no server can be serving it
    if (fd < 0)
        throw ServerError(ServerError::Kind::BadRequest,
                          "cannot open the database \"" + sqlite_file + "\": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw ServerError(ServerError::Kind::BadRequest,
                          "a server is running on the database \"" + sqlite_file +
                              "\" (it holds the database file's lock): stop it first; nothing was restored");
    }
    return std::unique_ptr<DatabaseFileLock>(new DatabaseFileLock(fd));
}

DatabaseFileLock::~DatabaseFileLock() { ::close(fd_); }

}  // namespace appserver
