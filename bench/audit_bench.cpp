// The server's commands on a large SQLite database: `audit --csv` and the
// table over an audit trail of N records against the sqlite3 shell's CSV of
// the same query, and `init` on a database whose plan table holds N rows.
// Each command runs as a process of its own with its output to a file; its
// time and peak memory come from wait4. Never a test.
//
//   audit_bench [--records N] [--runs R] [--server PATH] [--keep DIR]
//
// --server runs another vendrix-server (an older build, for a before and
// after on the same database).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "database.h"
#include "server_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0, cpu = 0;
    long peak_kib = 0;
    int status = -1;
    long long bytes = 0;
};

// Runs argv with its standard output to `out`, its standard error dropped.
Run run(const std::vector<std::string> &argv, const std::string &out)
{
    Run r;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(fd, 1);
        ::dup2(null, 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.peak_kib = usage.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    struct stat st{};
    if (::stat(out.c_str(), &st) == 0) r.bytes = st.st_size;
    return r;
}

// The best of `runs` (time), with the largest peak seen.
Run best_of(int runs, const std::vector<std::string> &argv, const std::string &out)
{
    Run best;
    best.seconds = 1e30;
    for (int i = 0; i < runs; ++i) {
        const Run r = run(argv, out);
        if (r.status != 0) return r;
        const long peak = std::max(best.peak_kib, r.peak_kib);
        if (r.seconds < best.seconds) best = r;
        best.peak_kib = peak;
    }
    return best;
}

void report(const char *what, const Run &r)
{
    if (r.status != 0) {
        std::printf("  %-34s failed (exit %d)\n", what, r.status);
        return;
    }
    std::printf("  %-34s %7.2f s  cpu %7.2f s  peak %8.1f MiB  output %8.1f MiB\n", what, r.seconds, r.cpu,
                static_cast<double>(r.peak_kib) / 1024.0, static_cast<double>(r.bytes) / (1024.0 * 1024.0));
}

}  // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    long records = 1000000;
    int runs = 3;
    std::string server = testsupport::server_executable(), keep;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--records" && i + 1 < argc) records = std::atol(argv[++i]);
        else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--server" && i + 1 < argc) server = argv[++i];
        else if (a == "--keep" && i + 1 < argc) keep = argv[++i];
        else {
            std::fprintf(stderr, "usage: audit_bench [--records N] [--runs R] [--server PATH] [--keep DIR]\n");
            return 2;
        }
    }
    char pattern[] = "/tmp/audit-bench.XXXXXX";
    const std::string dir = keep.empty() ? ::mkdtemp(pattern) : keep;
    ::mkdir(dir.c_str(), 0700);
    const std::string file = dir + "/saleplan.db", cs = "sqlite3://db=" + file;
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0) {
        std::printf("making %ld audit records and %ld plan rows in %s\n", records, records, file.c_str());
        if (run({server, "init", "--database", cs}, "/dev/null").status != 0) {
            std::fprintf(stderr, "audit_bench: init failed\n");
            return 1;
        }
        appserver::Connection db(cs);
        db.begin_write();
        // A month's records of a site: quantities changed by a few planners,
        // indicators with Chinese names, now and then a reason with a comma.
        db.run("INSERT INTO XSTYZBRZ (CZSJ00,YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0,"
               "JHHANG,LYOU00) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<?) "
               "SELECT printf('2026-%02d-%02dT%02d:%02d:%02dZ',1+i/100000%12,1+i/3000%28,i/600%24,i/10%60,i%60),"
               "'planner'||(i%40),'10.0.'||(i%7)||'.'||(i%200),CASE WHEN i%50=0 THEN 'generated' ELSE "
               "'quantity changed' END,printf('%06d',201801+i/10000%100),printf('%02d',1+i%6),"
               "printf('%04d',101+i%300),1+i%12,'卷烟销售总量'||(i%12),i%1000,i%1000+5,i,"
               "CASE WHEN i%997=0 THEN '调整, 见\"说明\"' ELSE NULL END FROM n",
               {wire::Value(static_cast<double>(records))});
        // One plan per salesman and month: every key distinct.
        db.run("INSERT INTO XSTYZB02 (NYUE00,XHAO00,ZBLB00,ZBMC00,ZBSL00,CKDM00,RYDM00) "
               "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<?-1) "
               "SELECT printf('%06d',200001+i/10000),i%50,'1','指标'||(i%50),i%900,'01',printf('%04d',i/50%200) FROM n",
               {wire::Value(static_cast<double>(records))});
        db.commit();
    }
    const std::string query = "SELECT CZSJ00,YHMC00,KHDZ00,CZLX00,NYUE00,CKDM00,RYDM00,XHAO00,ZBMC00,SLQIAN,SLHOU0,"
                              "LYOU00 FROM XSTYZBRZ ORDER BY JLHAO0";
    std::printf("audit_bench: %ld records, best of %d, server %s\n", records, runs, server.c_str());
    report("sqlite3 -csv (the same query)", best_of(runs, {"sqlite3", "-csv", "-header", file, query}, dir + "/shell.csv"));
    report("vendrix-server audit --csv", best_of(runs, {server, "audit", "--csv", "--database", cs}, dir + "/audit.csv"));
    report("vendrix-server audit (table)", best_of(runs, {server, "audit", "--database", cs}, dir + "/audit.txt"));
    report("vendrix-server init (plan rows)", best_of(runs, {server, "init", "--database", cs}, "/dev/null"));
    if (keep.empty()) std::printf("  (database left in %s; remove it when done)\n", dir.c_str());
    return 0;
}
