// vendrix-server's commands: user (accounts), init, migrate, backup,
// restore, audit, and session (the running server's sessions). Each reads its own words and database options and
// returns the program's exit status.
#pragma once

#include <string>
#include <vector>

namespace cli {

// vendrix-server user add|passwd|list|remove ... (argv[1] is "user")
int user_command(int argc, char **argv);
// vendrix-server init | migrate | backup FILE | restore FILE | session list|end ID
// (args[0] is the command)
int database_command(const std::vector<std::string> &args);
// vendrix-server audit ... (argv[1] is "audit")
int audit_command(int argc, char **argv);

}  // namespace cli
