#include "statement_catalogue.h"

#include <optional>
#include <stdexcept>
#include <utility>

namespace appserver {

namespace {

// The shapes, each the module's text with {M} for the month, {D} for the
// department and {S} for the salesman: every such slot is one quoted
// literal in the text. Everything else is matched byte for byte.
struct Shape {
    StatementId id;
    const char *name;
    bool changes_data;
    const char *pattern;
};

const Shape kShapes[] = {
    {StatementId::Departments, "departments", false,
     "SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F' AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND CKDM00<>'0F' "
     "AND CKDM00<>'0B' AND CKDM00<>'0P'"},
    {StatementId::Salesmen, "salesmen", false, "SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y' AND CKDM00={D}"},
    {StatementId::MonthPlanRows, "month plan rows", false, "SELECT * FROM XSTYZB02 WHERE NYUE00={M}"},
    {StatementId::RemainingQuantities, "remaining quantities", false,
     "Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 FROM XSTYZB01 "
     "WHERE NYUE00={M} And Ckdm00={D} Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 FROM XSTYZB02 "
     "WHERE NYUE00={M} AND Ckdm00={D} and Rydm00<>{S}) Group by Nyue00,Xhao00,Zbmc00"},
    {StatementId::DepartmentPlanCount, "department plan count", false,
     "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00={D} AND NYUE00={M}"},
    {StatementId::SalesmanPlanRows, "salesman plan rows", false,
     "SELECT * FROM XSTYZB02 WHERE NYUE00={M} AND CKDM00={D} AND RYDM00={S}"},
    {StatementId::SalesIndicators, "sales indicators", false, "SELECT * FROM XSTYXSZB WHERE NYUE00={M}"},
    {StatementId::PlanGeneration, "plan generation", true,
     "INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00) SELECT distinct "
     "'0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null,{D},{S} FROM XSTYZB01 WHERE NYUE00={M} AND CKDM00={D}"},
    {StatementId::PlanDeletion, "plan deletion", true,
     "DELETE XSTYZB02 WHERE NYUE00={M} And Ckdm00={D} And Rydm00={S}"},
};

// Reads the quoted literal that starts at text[pos]: on success pos is just
// past its closing quote and value holds what it stands for.
bool read_literal(std::string_view text, std::size_t &pos, std::string &value)
{
    if (pos >= text.size() || text[pos] != '\'') return false;
    ++pos;
    value.clear();
    while (pos < text.size()) {
        const char c = text[pos++];
        if (c != '\'') {
            value += c;
        } else if (pos < text.size() && text[pos] == '\'') {
            value += '\'';
            ++pos;
        } else {
            return true;
        }
    }
    return false;  // no closing quote
}

// The one slot kind's named value; a second slot of the same kind must hold
// the same value.
bool take_named(std::optional<std::string> &named, const std::string &value)
{
    if (named && *named != value) return false;
    named = value;
    return true;
}

std::optional<CataloguedStatement> match_shape(const Shape &shape, std::string_view text)
{
    std::string sql;
    sql.reserve(text.size());
    std::vector<std::string> values;
    std::optional<std::string> month, department, salesman;
    std::size_t pos = 0;
    std::string value;
    for (const char *p = shape.pattern; *p;) {
        if (*p != '{') {
            if (pos >= text.size() || text[pos] != *p) return std::nullopt;
            sql += *p++;
            ++pos;
            continue;
        }
        const char kind = p[1];
        p += 3;  // "{M}"
        if (!read_literal(text, pos, value)) return std::nullopt;
        auto &named = kind == 'M' ? month : kind == 'D' ? department : salesman;
        if (!take_named(named, value)) return std::nullopt;
        sql += '?';
        values.push_back(value);
    }
    if (pos != text.size()) return std::nullopt;  // anything after the statement
    return CataloguedStatement{shape.id,
                               shape.name,
                               shape.changes_data,
                               std::move(sql),
                               std::move(values),
                               month.value_or(std::string()),
                               department.value_or(std::string()),
                               salesman.value_or(std::string())};
}

}  // namespace

CataloguedStatement module_statement(StatementId id, const std::string &month, const std::string &department,
                                     const std::string &salesman)
{
    for (const auto &shape : kShapes) {
        if (shape.id != id) continue;
        CataloguedStatement out{shape.id, shape.name, shape.changes_data, {}, {}, {}, {}, {}};
        for (const char *p = shape.pattern; *p;) {
            if (*p != '{') {
                out.sql += *p++;
                continue;
            }
            const char kind = p[1];
            p += 3;  // "{M}"
            const std::string &value = kind == 'M' ? month : kind == 'D' ? department : salesman;
            (kind == 'M' ? out.month : kind == 'D' ? out.department : out.salesman) = value;
            out.sql += '?';
            out.values.push_back(value);
        }
        return out;
    }
    throw std::logic_error("no statement of that kind in the catalogue");
}

std::optional<CataloguedStatement> match_module_statement(std::string_view text)
{
    if (text.size() > kMaxStatementLength) return std::nullopt;
    // A NUL would cut the value short where the database reads C strings.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    for (const auto &shape : kShapes)
        if (auto m = match_shape(shape, text)) return m;
    return std::nullopt;
}

}  // namespace appserver
