#include "form_fixture.h"

#include <QDate>
#include <QDialog>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "Unit_dmYearplan.h"
#include "Unit_saleplan.h"
#include "inprocess_link.h"
#include "module_state.h"
#include "plan_vocabulary.h"
#include "ui.h"
#include "unit_getsetting.h"

namespace formtest {

namespace {

std::string month_offset(int months)
{
    return month_key(QDate::currentDate().addMonths(-months));
}

// Counts and logs every call, and fails the ones a test asked to fail.
class CountingLink : public remote::Link {
public:
    CountingLink(std::unique_ptr<remote::Link> inner, std::shared_ptr<std::map<std::string, int>> counts,
                 std::shared_ptr<std::vector<std::pair<std::string, std::string>>> log,
                 std::shared_ptr<std::map<std::string, int>> failures,
                 std::shared_ptr<std::vector<std::string>> plan_months)
        : inner_(std::move(inner)), counts_(std::move(counts)), log_(std::move(log)), failures_(std::move(failures)),
          plan_months_(std::move(plan_months))
    {
    }
    wire::DataPacket get_records(const std::string &provider, const std::string &text) override
    {
        return get_records(provider, text, {});
    }
    wire::DataPacket get_records(const std::string &provider, const std::string &text,
                                 const wire::ProviderParams &params) override
    {
        if (provider == "dsp_xstyzb02cys") {
            auto month = params.find("NYUE00");
            plan_months_->push_back(params.empty() ? kEveryMonth
                                                   : month == params.end() ? std::string("?") : month->second);
        }
        note("records:" + provider, text);
        return inner_->get_records(provider, text, params);
    }
    // Counted as a records call; one answered "current" (no rows moved) also
    // as "current:PROVIDER".
    wire::DataPacket revalidate_records(const std::string &provider, const std::string &text,
                                        const wire::ProviderParams &params, const std::string &held) override
    {
        if (provider == "dsp_xstyzb02cys") {
            auto month = params.find("NYUE00");
            plan_months_->push_back(params.empty() ? kEveryMonth
                                                   : month == params.end() ? std::string("?") : month->second);
        }
        note("records:" + provider, text);
        auto packet = inner_->revalidate_records(provider, text, params, held);
        if (packet.current) ++(*counts_)["current:" + provider];
        return packet;
    }
    std::int64_t execute(const std::string &provider, const std::string &text) override
    {
        note("execute:" + provider, text);
        return inner_->execute(provider, text);
    }
    wire::ApplyResult apply_updates(const std::string &provider, const wire::Delta &delta, int max_errors) override
    {
        note("apply:" + provider, std::to_string(delta.size()) + " changes");
        return inner_->apply_updates(provider, delta, max_errors);
    }
    void call_method(const std::string &name) override
    {
        note("method:" + name, {});
        inner_->call_method(name);
    }
    nlohmann::json call_method(const std::string &name, const wire::MethodParams &params) override
    {
        note("method:" + name, {});
        return inner_->call_method(name, params);
    }

private:
    void note(const std::string &kind, const std::string &text)
    {
        ++(*counts_)[kind];
        log_->emplace_back(kind, text);
        auto it = failures_->find(kind);
        if (it != failures_->end() && it->second > 0) {
            --it->second;
            throw remote::RemoteError("simulated failure of " + kind);
        }
    }
    std::unique_ptr<remote::Link> inner_;
    std::shared_ptr<std::map<std::string, int>> counts_;
    std::shared_ptr<std::vector<std::pair<std::string, std::string>>> log_;
    std::shared_ptr<std::map<std::string, int>> failures_;
    std::shared_ptr<std::vector<std::string>> plan_months_;
};

}  // namespace

std::string this_month() { return month_offset(0); }
std::string last_month() { return month_offset(1); }
std::string month_before_last() { return month_offset(2); }

SeededServer::SeededServer()
    : counts_(std::make_shared<std::map<std::string, int>>()),
      log_(std::make_shared<std::vector<std::pair<std::string, std::string>>>()),
      failures_(std::make_shared<std::map<std::string, int>>()),
      plan_months_(std::make_shared<std::vector<std::string>>())
{
    const std::string m = ::quoted(this_month()), p = ::quoted(last_month());
    const std::vector<std::string> seed = {
        "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('01','东区','F',NULL)",
        "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('HZ','汇总仓','F',NULL)",
        "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('02','西区','F',NULL)",
        "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('0F','废品仓','F',NULL)",
        "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('04','北区','F','2020-01-31')",
        "INSERT INTO GSTCKGL0(CKDM00,CKMC00,WDBJ00,ZZRQ00) VALUES ('03','南区','F',NULL)",
        "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0007','甲','Y','01')",
        "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0009','丙','N','01')",
        "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0008','乙','Y','01')",
        "INSERT INTO GSTRYGL0(RYDM00,RYMC00,FXY000,CKDM00) VALUES ('0010','丁','Y','02')",
        "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01',1,'1','卷烟销量',100)",
        "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01',2,'2','新品铺货',50)",
        "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01',3,'2','终端陈列',40)",
        "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'02',1,'1','卷烟销量',80)",
        "INSERT INTO XSTYZB01(NYUE00,CKDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + p + ",'01',1,'1','卷烟销量',90)",
        "INSERT INTO XSTYXSZB(NYUE00,XHAO00,ZBMC00) VALUES (" + m + ",1,'卷烟销量')",
        "INSERT INTO XSTYXSZB(NYUE00,XHAO00,ZBMC00) VALUES (" + p + ",1,'卷烟销量')",
        "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01','0007',1,'1','卷烟销量',10)",
        "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01','0007',2,'2','新品铺货',5)",
        "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01','0007',3,'2','终端陈列',0)",
        "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01','0008',1,'1','卷烟销量',30)",
        "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + m + ",'01','0008',2,'2','新品铺货',20)",
        "INSERT INTO XSTYZB02(NYUE00,CKDM00,RYDM00,XHAO00,ZBLB00,ZBMC00,ZBSL00) VALUES (" + p + ",'01','0007',1,'1','卷烟销量',9)",
    };
    for (const auto &sql : seed) exec(sql);
    server_ = std::make_unique<appserver::AppServer>(db_.connection_string());
    auto inner = remote::inprocess_link_factory(*server_);
    remote::set_link_factory([inner, counts = counts_, log = log_, failures = failures_, months = plan_months_](
                                 const remote::ServerObject &object, const std::string &computer) {
        return std::make_unique<CountingLink>(inner(object, computer), counts, log, failures, months);
    });
}

SeededServer::~SeededServer()
{
    // A data module left by a test must not outlive the server it talks to.
    delete saleplan::dm_yearplan;
    saleplan::dm_yearplan = nullptr;
    remote::set_link_factory({});
}

void SeededServer::exec(const std::string &sql) { testsupport::exec_sql(db_.connection_string(), sql); }

std::vector<std::vector<std::string>> SeededServer::query(const std::string &sql)
{
    return testsupport::query_sql(db_.connection_string(), sql);
}

std::string SeededServer::scalar(const std::string &sql)
{
    auto rows = query(sql);
    return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

int SeededServer::calls(const std::string &kind) const
{
    auto it = counts_->find(kind);
    return it == counts_->end() ? 0 : it->second;
}

int SeededServer::total_calls() const
{
    int total = 0;
    for (const auto &[kind, n] : *counts_)
        if (kind.rfind("current:", 0) != 0) total += n;  // a note on a call counted already
    return total;
}

void SeededServer::reset_calls()
{
    counts_->clear();
    log_->clear();
    plan_months_->clear();
}

void SeededServer::fail_next(const std::string &kind, int count) { (*failures_)[kind] = count; }

void reset_module_state()
{
    using namespace saleplan;
    server_name.clear();
    open_mode = nullptr;
    plan_month.clear();
    shown_month.clear();
    dept_code.clear();
    salesman_code.clear();
    dlg_dept_code.clear();
    dlg_salesman_code.clear();
    data_changed = false;
    short_date_format.clear();
    delete dm_yearplan;
    dm_yearplan = nullptr;
    delete settings_reader;
    settings_reader = new TGETFORMSETTING(QStringLiteral("/nonexistent/mis_system.ini"));
    ui::install_font_substitutions();
}

void run_main_form(ui::testing::Hooks &hooks, const std::function<void(TFm_saleplan *)> &steps,
                   const char *open_mode)
{
    saleplan::open_mode = open_mode;
    auto *form = new TFm_saleplan(nullptr);
    saleplan::Fm_saleplan = form;
    saleplan::settings_reader->apply_form_settings(form, QStringLiteral("B"));
    hooks.on_modal([&](QDialog *dialog) { steps(static_cast<TFm_saleplan *>(dialog)); });
    QPointer<TFm_saleplan> alive(form);
    ui::show_modal(form);
    delete alive.data();
}

std::vector<std::string> rows_in_view(const std::string &field)
{
    std::vector<std::string> out;
    auto &cds = saleplan::dm_yearplan->cds_xstyzb02;
    const int f = cds.field_index(field);
    for (int r = 0; r < cds.record_count(); ++r) out.push_back(wire::value_to_text(cds.value_at(r, f)));
    return out;
}

}  // namespace formtest
