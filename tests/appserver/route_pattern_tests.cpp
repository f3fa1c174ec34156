// A route's path pattern matched without a regular expression gives what
// std::regex gives for the same pattern, captures included.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "exchange.h"

namespace {

TEST(PathPattern, MatchesAndCapturesAsTheRegularExpressionDoes)
{
    const std::vector<std::string> patterns = {
        "/v1/login",
        "/v1/sessions/([^/]+)",
        "/v1/sessions/([^/]+)/providers/([^/]+)/(records|execute|apply)",
        "/v1/sessions/([^/]+)/methods/([^/]+)",
        "/v1/sessions/([0-9a-f]+)/x",  // another form: the regular expression itself
    };
    const std::vector<std::string> paths = {
        "/v1/login", "/v1/login/", "/v1/logi", "/v1/login/x", "v1/login", "",
        "/v1/sessions/abc", "/v1/sessions/", "/v1/sessions", "/v1/sessions/abc/", "/v1/sessions//",
        "/v1/sessions/abc/providers/dsp_temp/records", "/v1/sessions/abc/providers/dsp_temp/apply",
        "/v1/sessions/abc/providers/dsp_temp/recordsx", "/v1/sessions/abc/providers//records",
        "/v1/sessions/abc/providers/dsp_temp/records/", "/v1/sessions/abc/methods/CompanydbTranStart",
        "/v1/sessions/abc/methods/a/b", "/v1/sessions/0f/x", "/v1/sessions/zz/x",
    };
    for (const auto &pattern : patterns) {
        const appserver::PathPattern ours(pattern);
        const std::regex theirs(pattern);
        for (const auto &path : paths) {
            std::vector<std::string> groups;
            std::smatch m;
            const bool expected = std::regex_match(path, m, theirs);
            EXPECT_EQ(ours.match(path, groups), expected) << pattern << " on " << path;
            if (expected) EXPECT_EQ(groups, std::vector<std::string>(m.begin(), m.end())) << pattern << " on " << path;
        }
    }
}

}  // namespace
