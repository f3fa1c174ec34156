#include "Unit_dmYearplan.h"

#include <stdexcept>

#include "module_state.h"

using dataset::FieldDef;
using wire::FieldType;

Tdm_yearplan::Tdm_yearplan()
    : Dcom_cominfo(remote::company_info_object()),
      Dcom_cocustobj(remote::cust_object()),
      cds_temp("cds_temp"),
      CDS_LOOKUP("CDS_LOOKUP"),
      cds_xstyzb02("cds_xstyzb02"),
      ds_xstnzb02(&cds_xstyzb02)
{
    cds_temp.set_connection(&Dcom_cominfo);
    cds_temp.set_provider_name(server_contract::kTempProvider);

    CDS_LOOKUP.set_connection(&Dcom_cominfo);
    CDS_LOOKUP.set_provider_name(server_contract::kTempProvider);
    CDS_LOOKUP.set_fixed_fields({
        {"ZBMC00", FieldType::String, 50},
        {"ZBSL00", FieldType::Float, 0},
        {"XHAO00", FieldType::Float, 0},
    });

    cds_xstyzb02.set_connection(&Dcom_cocustobj);
    cds_xstyzb02.set_provider_name(server_contract::kPlanProvider);
    std::vector<FieldDef> plan_fields;
    for (const auto &f : contract::plan_fields()) plan_fields.push_back({f.name, f.type, f.size});
    cds_xstyzb02.set_fixed_fields(std::move(plan_fields));
    // A reopen asks whether the month's rows are still those held, and
    // takes them again as fetched when they are.
    cds_xstyzb02.set_keeps_versions(true);
    // The quantity still free for the salesman: the CDS_LOOKUP row of the same
    // sequence number.
    cds_xstyzb02.add_lookup_field({"SHZBSL", FieldType::Float, &CDS_LOOKUP, "XHAO00", "XHAO00", "ZBSL00"});
}

Tdm_yearplan::~Tdm_yearplan()
{
    // The plan dataset reads CDS_LOOKUP: close it first.
    cds_xstyzb02.close();
    CDS_LOOKUP.close();
    cds_temp.close();
}

void Tdm_yearplan::set_computer_name(const std::string &server_name)
{
    Dcom_cominfo.set_computer_name(server_name);
    Dcom_cocustobj.set_computer_name(server_name);
}

Tdm_yearplan &current_data_module()
{
    if (!saleplan::dm_yearplan) throw std::runtime_error("数据模块未打开");
    return *saleplan::dm_yearplan;
}

void open_statement(dataset::ClientDataset &cds, const std::string &statement)
{
    cds.close();
    cds.set_command_text(statement);
    cds.open();
}

void run_in_server_transaction(Tdm_yearplan &dm, const std::string &statement,
                               const std::function<void()> &after_commit)
{
    try {
        dm.Dcom_cominfo.call_method(server_contract::kTranStart);
        dm.cds_temp.close();
        dm.cds_temp.set_command_text(statement);
        dm.cds_temp.execute();
        dm.Dcom_cominfo.call_method(server_contract::kTranCommit);
        if (after_commit) after_commit();
    } catch (...) {
        dm.Dcom_cominfo.call_method(server_contract::kRollback);
        throw;
    }
}
