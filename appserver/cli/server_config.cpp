#include "server_config.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>

namespace appserver {

namespace {

std::string trimmed(const std::string &s)
{
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string lower(std::string s)
{
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool contains(const std::vector<std::string> &names, const std::string &name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::vector<std::string> config_arguments(const std::string &file, const std::vector<std::string> &options,
                                          const std::vector<std::string> &flags)
{
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read the config file \"" + file + "\"");
    std::vector<std::string> args;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = file + ", line " + std::to_string(number) + ": ";
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        const auto eq = text.find('=');
        if (eq == std::string::npos) throw std::runtime_error(where + "expected \"key = value\"");
        std::string key = lower(trimmed(text.substr(0, eq)));
        std::replace(key.begin(), key.end(), '_', '-');  // actuals_view reads as actuals-view
        const std::string value = trimmed(text.substr(eq + 1));
        if (contains(flags, key)) {
            const std::string v = lower(value);
            if (v == "true" || v == "yes" || v == "on" || v == "1") args.push_back("--" + key);
            else if (!(v == "false" || v == "no" || v == "off" || v == "0"))
                throw std::runtime_error(where + "\"" + key + "\" takes true or false, not \"" + value + "\"");
        } else if (contains(options, key)) {
            args.push_back("--" + key);
            args.push_back(value);
        } else {
            throw std::runtime_error(where + "\"" + key + "\" is no option of vendrix-server (see --help)");
        }
    }
    if (in.bad()) throw std::runtime_error("cannot read the config file \"" + file + "\"");
    return args;
}

}  // namespace appserver
