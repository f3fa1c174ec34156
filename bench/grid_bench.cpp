// How the data grid copes with 100,000 rows: rebinding (a model reset, as
// after every open or refilter), the footer sum after a value change, and a
// resize (column widths are recomputed per column, never per row).
#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "TdxDBGrid.h"
#include "client_dataset.h"
#include "remote_connection.h"

namespace {

constexpr int kRows = 100000;

wire::DataPacket plan_rows()
{
    wire::DataPacket p;
    p.fields = {{"NYUE00", wire::FieldType::String, 6}, {"XHAO00", wire::FieldType::Float, 0},
                {"ZBMC00", wire::FieldType::String, 50}, {"ZBSL00", wire::FieldType::Float, 0}};
    for (int i = 0; i < kRows; ++i) {
        char month[8];
        std::snprintf(month, sizeof month, "2003%02d", 1 + i % 12);
        p.rows.push_back({std::string(month), static_cast<double>(i), std::string("indicator"),
                          static_cast<double>(i % 97)});
        p.row_ids.push_back(i + 1);
    }
    return p;
}

class MemoryLink : public remote::Link {
public:
    wire::DataPacket get_records(const std::string &, const std::string &) override
    {
        static const wire::DataPacket plan = plan_rows();
        return plan;
    }
    std::int64_t execute(const std::string &, const std::string &) override { return 0; }
    wire::ApplyResult apply_updates(const std::string &, const wire::Delta &, int) override { return {}; }
    void call_method(const std::string &) override {}
};

TdxDBGridColumn column(const char *field, int width, SummaryKind kind)
{
    TdxDBGridColumn c;
    c.name = QStringLiteral("dxDBGrid1") + QString::fromLatin1(field);
    c.field_name = QString::fromLatin1(field);
    c.width = width;
    c.summary_kind = kind;
    return c;
}

// One open dataset of kRows rows shown in a grid with a footer.
struct Fixture {
    Fixture() : connection(remote::cust_object()), plan("cds_xstyzb02"), source(&plan)
    {
        remote::set_link_factory(
            [](const remote::ServerObject &, const std::string &) { return std::make_unique<MemoryLink>(); });
        plan.set_connection(&connection);
        plan.open();
        grid.set_columns({column("XHAO00", 80, SummaryKind::None), column("ZBMC00", 113, SummaryKind::Count),
                          column("ZBSL00", 108, SummaryKind::Sum)});
        grid.set_show_footer(true);
        grid.set_data_source(&source);
        grid.resize(800, 600);
        grid.show();
    }
    remote::RemoteConnection connection;
    dataset::ClientDataset plan;
    dataset::DataSource source;
    TdxDBGrid grid;
};

std::unique_ptr<Fixture> g_fixture;  // dropped before the application ends

Fixture &fixture()
{
    if (!g_fixture) g_fixture = std::make_unique<Fixture>();
    return *g_fixture;
}

void BM_ModelReset(benchmark::State &state)
{
    auto &f = fixture();
    for (auto _ : state) {
        f.grid.set_data_source(nullptr);
        f.grid.set_data_source(&f.source);
        benchmark::DoNotOptimize(f.grid.model()->rowCount());
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_ModelReset)->Unit(benchmark::kMillisecond);

void BM_FooterSumAfterChange(benchmark::State &state)
{
    auto &f = fixture();
    f.plan.first();
    double v = 0;
    for (auto _ : state) {
        f.plan.set_value("ZBSL00", v += 1);  // invalidates the sums
        benchmark::DoNotOptimize(f.grid.footer_text(2));
    }
    f.plan.cancel();
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_FooterSumAfterChange)->Unit(benchmark::kMicrosecond);

void BM_ModelResetAndFooterSum(benchmark::State &state)
{
    auto &f = fixture();
    for (auto _ : state) {
        f.grid.set_data_source(nullptr);
        f.grid.set_data_source(&f.source);
        benchmark::DoNotOptimize(f.grid.footer_text(2));
        benchmark::DoNotOptimize(f.grid.footer_text(1));
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_ModelResetAndFooterSum)->Unit(benchmark::kMillisecond);

void BM_Resize(benchmark::State &state)
{
    auto &f = fixture();
    int w = 800;
    for (auto _ : state) {
        w = w == 800 ? 1000 : 800;
        f.grid.resize(w, 600);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_Resize)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_fixture.reset();
    remote::set_link_factory({});
    return 0;
}
