// How long a client dataset takes to open and filter 100,000 plan rows, and
// to recompute a lookup column over them when its source is reopened.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "client_dataset.h"
#include "remote_connection.h"

namespace {

constexpr int kRows = 100000;

wire::DataPacket plan_rows()
{
    wire::DataPacket p;
    p.fields = {{"NYUE00", wire::FieldType::String, 6}, {"XHAO00", wire::FieldType::Float, 0},
                {"ZBMC00", wire::FieldType::String, 50}, {"ZBSL00", wire::FieldType::Float, 0},
                {"CKDM00", wire::FieldType::String, 2},  {"RYDM00", wire::FieldType::String, 4}};
    for (int i = 0; i < kRows; ++i) {
        char month[8], dept[4], man[8];
        std::snprintf(month, sizeof month, "2003%02d", 1 + i % 12);
        std::snprintf(dept, sizeof dept, "%02d", i % 10);
        std::snprintf(man, sizeof man, "%04d", i % 50);
        p.rows.push_back({std::string(month), static_cast<double>(i % 500), std::string("indicator"),
                          static_cast<double>(i), std::string(dept), std::string(man)});
        p.row_ids.push_back(i + 1);
    }
    return p;
}

wire::DataPacket remaining_rows()
{
    wire::DataPacket p;
    p.fields = {{"ZBMC00", wire::FieldType::String, 50}, {"ZBSL00", wire::FieldType::Float, 0},
                {"XHAO00", wire::FieldType::Float, 0}};
    for (int i = 0; i < 500; ++i) p.rows.push_back({std::string("indicator"), i * 2.0, static_cast<double>(i)});
    return p;
}

class MemoryLink : public remote::Link {
public:
    wire::DataPacket get_records(const std::string &provider, const std::string &) override
    {
        static const wire::DataPacket plan = plan_rows();
        static const wire::DataPacket remaining = remaining_rows();
        return provider == "dsp_temp" ? remaining : plan;
    }
    std::int64_t execute(const std::string &, const std::string &) override { return 0; }
    wire::ApplyResult apply_updates(const std::string &, const wire::Delta &, int) override { return {}; }
    void call_method(const std::string &) override {}
};

void install_link()
{
    remote::set_link_factory(
        [](const remote::ServerObject &, const std::string &) { return std::make_unique<MemoryLink>(); });
}

void BM_OpenAndFilter(benchmark::State &state)
{
    install_link();
    remote::RemoteConnection connection(remote::cust_object());
    dataset::ClientDataset ds("cds_xstyzb02");
    ds.set_connection(&connection);
    ds.set_provider_name("dsp_xstyzb02cys");
    ds.set_fixed_fields({{"NYUE00", wire::FieldType::String, 6}, {"XHAO00", wire::FieldType::Float, 0},
                         {"ZBMC00", wire::FieldType::String, 50}, {"ZBSL00", wire::FieldType::Float, 0},
                         {"CKDM00", wire::FieldType::String, 2}, {"RYDM00", wire::FieldType::String, 4}});
    ds.set_filter("NYUE00='200303' AND CKDM00='02' AND RYDM00='0012'");
    ds.set_filtered(true);
    for (auto _ : state) {
        ds.close();
        ds.open();
        benchmark::DoNotOptimize(ds.record_count());
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_OpenAndFilter)->Unit(benchmark::kMillisecond);

void BM_Refilter(benchmark::State &state)
{
    install_link();
    remote::RemoteConnection connection(remote::cust_object());
    dataset::ClientDataset ds("cds_xstyzb02");
    ds.set_connection(&connection);
    ds.set_provider_name("dsp_xstyzb02cys");
    ds.open();
    ds.set_filtered(true);
    int i = 0;
    for (auto _ : state) {
        ds.set_filter("NYUE00='2003" + std::string(i % 2 ? "03" : "04") + "' AND CKDM00='02' AND RYDM00='0012'");
        benchmark::DoNotOptimize(ds.record_count());
        ++i;
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_Refilter)->Unit(benchmark::kMillisecond);

void BM_LookupRecompute(benchmark::State &state)
{
    install_link();
    remote::RemoteConnection info(remote::company_info_object());
    remote::RemoteConnection cust(remote::cust_object());
    dataset::ClientDataset lookup("CDS_LOOKUP");
    lookup.set_connection(&info);
    lookup.set_provider_name("dsp_temp");
    dataset::ClientDataset plan("cds_xstyzb02");
    plan.set_connection(&cust);
    plan.set_provider_name("dsp_xstyzb02cys");
    plan.add_lookup_field({"SHZBSL", wire::FieldType::Float, &lookup, "XHAO00", "XHAO00", "ZBSL00"});
    plan.open();
    for (auto _ : state) {
        lookup.close();
        lookup.open();  // every plan row's SHZBSL is computed again
        benchmark::DoNotOptimize(plan.value_at(0, plan.field_index("SHZBSL")));
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_LookupRecompute)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
