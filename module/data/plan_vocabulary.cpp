#include "plan_vocabulary.h"

#include "module_state.h"

#include <algorithm>

std::string quoted(std::string_view value)
{
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

std::string month_key(int year, int month) { return contract::month_key(year, month); }

std::string month_key(const QDate &date) { return month_key(date.year(), date.month()); }

std::string code_of(std::string_view item)
{
    auto bar = item.find('|');
    if (bar == std::string_view::npos) return {};
    return std::string(item.substr(0, bar));
}

std::string name_of(std::string_view item)
{
    auto bar = item.find('|');
    if (bar == std::string_view::npos) return std::string(item);
    return std::string(item.substr(bar + 1));
}

std::string department_statement()
{
    return std::string("SELECT CKDM00,CKMC00 FROM GSTCKGL0 WHERE WDBJ00='F'") +
           " AND ZZRQ00 IS NULL AND CKDM00<>'HZ' AND CKDM00<>'0F' AND CKDM00<>'0B' AND CKDM00<>'0P'";
}

std::string salesman_statement(const std::string &dept)
{
    return std::string("SELECT RYDM00,RYMC00 FROM GSTRYGL0 WHERE FXY000='Y'") + " AND CKDM00=" + quoted(dept);
}

std::string month_plan_rows_statement(const std::string &month)
{
    return "SELECT * FROM XSTYZB02 WHERE NYUE00=" + quoted(month);
}

std::string remaining_quantity_statement(const std::string &month, const std::string &dept,
                                         const std::string &salesman)
{
    return "Select NYUE00,XHAO00,ZBMC00,SUM(ZBSL00) Zbsl00 FROM (SELECT NYUE00,XHAO00,ZBMC00,ZBSL00 ZBSL00 "
           "FROM XSTYZB01 WHERE NYUE00=" +
           quoted(month) + " And Ckdm00=" + quoted(dept) +
           " Union all SELECT NYUE00,XHAO00,ZBMC00,NVL(-ZBSL00,0) ZBSL00 FROM XSTYZB02 WHERE NYUE00=" +
           quoted(month) + " AND Ckdm00=" + quoted(dept) + " and Rydm00<>" + quoted(salesman) +
           ") Group by Nyue00,Xhao00,Zbmc00";
}

std::string department_plan_count_statement(const std::string &dept, const std::string &month)
{
    return "SELECT COUNT(*) SL FROM XSTYZB01 WHERE CKDM00=" + quoted(dept) + " AND NYUE00=" + quoted(month);
}

std::string salesman_plan_statement(const std::string &month, const std::string &dept,
                                    const std::string &salesman)
{
    return "SELECT * FROM XSTYZB02 WHERE NYUE00=" + quoted(month) + " AND CKDM00=" + quoted(dept) +
           " AND RYDM00=" + quoted(salesman);
}

std::string sales_indicator_statement(const std::string &month)
{
    return "SELECT * FROM XSTYXSZB WHERE NYUE00=" + quoted(month);
}

std::string generation_statement(const std::string &month, const std::string &dept, const std::string &salesman)
{
    return std::string("INSERT INTO XSTYZB02(ZBSL00,NYUE00,XHAO00,ZBLB00,ZBMC00,SPDM00,SPDM01,CKDM00,RYDM00)") +
           " SELECT distinct '0',NYUE00,XHAO00,ZBLB00,ZBMC00,null,null," + quoted(dept) + "," +
           quoted(salesman) + " FROM XSTYZB01 WHERE NYUE00=" + quoted(month) + " AND CKDM00=" + quoted(dept);
}

std::string delete_plan_statement(const std::string &month, const std::string &dept, const std::string &salesman)
{
    return "DELETE XSTYZB02 WHERE NYUE00=" + quoted(month) + " And Ckdm00=" + quoted(dept) +
           " And Rydm00=" + quoted(salesman);
}

std::string plan_row_filter(const std::string &month, const std::string &dept, const std::string &salesman)
{
    return "NYUE00=" + quoted(month) + " AND CKDM00=" + quoted(dept) + " AND RYDM00=" + quoted(salesman);
}

void apply_plan_filter(Tdm_yearplan &dm)
{
    using namespace saleplan;
    dm.cds_xstyzb02.set_filtered(false);
    dm.cds_xstyzb02.set_filter(plan_row_filter(plan_month, dept_code, salesman_code));
    dm.cds_xstyzb02.set_filtered(true);
    dm.plan_filter_in_force = {plan_month, dept_code, salesman_code};
    dm.plan_view_loaded = dm.cds_xstyzb02.active();
    if (dm.on_selection_in_force) dm.on_selection_in_force();
}

void reload_plan_view(Tdm_yearplan &dm)
{
    // Until the rows are back the view holds nothing the commands may act on.
    dm.plan_view_loaded = false;
    // The rows of the month the filter below selects from.
    open_plan_rows(dm, saleplan::plan_month);
    apply_plan_filter(dm);
    saleplan::shown_month = saleplan::plan_month;
}

void open_plan_rows(Tdm_yearplan &dm, const std::string &month)
{
    dm.cds_xstyzb02.close();
    dm.cds_xstyzb02.set_provider_params({{kPlanMonthParam, month}});
    dm.cds_xstyzb02.open();
}

std::string plan_rows_month(const Tdm_yearplan &dm)
{
    if (!dm.cds_xstyzb02.active()) return {};
    const auto &params = dm.cds_xstyzb02.provider_params();
    auto it = params.find(kPlanMonthParam);
    return it == params.end() ? std::string() : it->second;
}

namespace {

// The value of `result_field` in the first row of cds_temp whose `key_field`
// is `key`; nullopt when there is none.
std::optional<std::string> find_row(dataset::ClientDataset &cds_temp, const char *key_field, const std::string &key,
                                    const char *result_field)
{
    for (cds_temp.first(); !cds_temp.eof(); cds_temp.next())
        if (cds_temp.as_string(key_field) == key) return cds_temp.as_string(result_field);
    return std::nullopt;
}

}  // namespace

std::string fetch_department_name(dataset::ClientDataset &cds_temp, const std::string &dept)
{
    if (dept.empty()) return {};
    open_statement(cds_temp, department_statement());
    return find_row(cds_temp, "CKDM00", dept, "CKMC00").value_or(std::string());
}

std::string fetch_salesman_name(dataset::ClientDataset &cds_temp, const std::string &salesman,
                                const std::vector<std::string> &departments)
{
    if (salesman.empty()) return {};
    std::vector<std::string> tried;
    for (const std::string &dept : departments) {
        if (dept.empty() || std::find(tried.begin(), tried.end(), dept) != tried.end()) continue;
        tried.push_back(dept);
        open_statement(cds_temp, salesman_statement(dept));
        if (auto name = find_row(cds_temp, "RYDM00", salesman, "RYMC00")) return *name;
    }
    return {};
}

void fill_list(dataset::ClientDataset &cds_temp, const std::string &statement, const char *code_field,
               const char *name_field, CodeNameList &list)
{
    open_statement(cds_temp, statement);
    list.clear_all();
    for (cds_temp.first(); !cds_temp.eof(); cds_temp.next())
        list.add_item(cds_temp.as_string(code_field) + "|" + cds_temp.as_string(name_field));
    list.set_text(list.item_count() > 0 ? list.item(0) : std::string());
}

void fill_departments(dataset::ClientDataset &cds_temp, CodeNameList &list)
{
    fill_list(cds_temp, department_statement(), "CKDM00", "CKMC00", list);
}

void fill_salesmen(dataset::ClientDataset &cds_temp, const std::string &dept, CodeNameList &list)
{
    fill_list(cds_temp, salesman_statement(dept), "RYDM00", "RYMC00", list);
}

bool show_item_with_code(CodeNameList &list, const std::string &code)
{
    for (int i = 0; i < list.item_count(); ++i) {
        std::string item = list.item(i);
        if (item.find('|') != std::string::npos && code_of(item) == code) {
            list.set_text(item);
            return true;
        }
    }
    return false;
}

std::optional<std::string> name_in_list(const CodeNameList &list, const std::string &code)
{
    for (int i = 0; i < list.item_count(); ++i) {
        const std::string item = list.item(i);
        if (item.find('|') != std::string::npos && code_of(item) == code) return name_of(item);
    }
    return std::nullopt;
}

void show_code_in_force(CodeNameList &list, const std::string &code,
                        const std::function<std::string()> &fetch_name)
{
    if (code.empty()) {
        list.set_text(std::string());
        return;
    }
    if (show_item_with_code(list, code)) return;
    const std::string item = code + "|" + (fetch_name ? fetch_name() : std::string());
    list.add_item(item);
    list.set_text(item);
}
