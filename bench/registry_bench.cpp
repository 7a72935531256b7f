// The registry store: a DWORD set followed by a read, and last-write-time
// reads (what configuration pollers do), each against the same work on a plain
// file: write-to-temporary-and-rename, and fstat of the file; and several sets
// in one transaction against the same sets one by one; and a new value in a
// key of 100 000 values against one in a key of 1 000.
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "platform/registry/registry.h"

namespace {

using namespace ztbase::registry;

std::string scratch() {
    static const std::string dir = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zt-bench-reg.XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            abort();
        setenv("ZT_REGISTRY", (d + "/registry").c_str(), 1);
        return d;
    }();
    return dir;
}

Key bench_key() {
    scratch();
    Key key;
    if (Key::create(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Config", key) !=
        Status::Ok)
        abort();
    return key;
}

void BM_registry_set_read_dword(benchmark::State &state) {
    Key key = bench_key();
    uint32_t n = 0;
    for (auto _ : state) {
        key.set(Value::dword("VERBOSE", ++n));
        Value v;
        key.query("VERBOSE", v);
        benchmark::DoNotOptimize(v.number());
    }
}
BENCHMARK(BM_registry_set_read_dword);

void BM_file_rename_write_read(benchmark::State &state) {
    const std::string file = scratch() + "/verbose", tmp = file + ".tmp";
    uint32_t n = 0;
    for (auto _ : state) {
        ++n;
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        (void)!write(fd, &n, sizeof n);
        close(fd);
        rename(tmp.c_str(), file.c_str());
        uint32_t got = 0;
        fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        (void)!read(fd, &got, sizeof got);
        close(fd);
        benchmark::DoNotOptimize(got);
    }
}
BENCHMARK(BM_file_rename_write_read);

void BM_registry_last_write(benchmark::State &state) {
    Key key = bench_key();
    for (auto _ : state) {
        int64_t ns = 0;
        key.last_write(ns);
        benchmark::DoNotOptimize(ns);
    }
}
BENCHMARK(BM_registry_last_write);

void BM_file_stat_mtime(benchmark::State &state) {
    const std::string file = scratch() + "/verbose";
    for (auto _ : state) {
        struct stat st;
        stat(file.c_str(), &st);
        benchmark::DoNotOptimize(st.st_mtim.tv_nsec);
    }
}
BENCHMARK(BM_file_stat_mtime);

// Ten values set in one transaction (what a configuration update does), against
// the same ten set one by one, each in a transaction of its own.
void BM_registry_ten_sets_one_transaction(benchmark::State &state) {
    Key key = bench_key();
    uint32_t n = 0;
    for (auto _ : state) {
        ++n;
        transact(Root::LocalMachine, [&] {
            for (int i = 0; i < 10; ++i)
                if (Status s = key.set(Value::dword("V" + std::to_string(i), n)); s != Status::Ok)
                    return s;
            return Status::Ok;
        });
    }
}
BENCHMARK(BM_registry_ten_sets_one_transaction);

void BM_registry_ten_sets_one_by_one(benchmark::State &state) {
    Key key = bench_key();
    uint32_t n = 0;
    for (auto _ : state) {
        ++n;
        for (int i = 0; i < 10; ++i)
            key.set(Value::dword("V" + std::to_string(i), n));
    }
}
BENCHMARK(BM_registry_ten_sets_one_by_one);

// A new value in a key that already holds state.range(0) values: each new
// value takes the next enumeration number, which must not cost more as the
// key grows. Each iteration adds a value and deletes it again.
void BM_registry_insert_into(benchmark::State &state) {
    const int64_t count = state.range(0);
    Key key;
    const std::string path = "SOFTWARE\\Many\\" + std::to_string(count);
    scratch();
    if (Key::create(Root::LocalMachine, path, key) != Status::Ok)
        abort();
    transact(Root::LocalMachine, [&] {
        for (int64_t i = 0; i < count; ++i)
            key.set(Value::dword("v" + std::to_string(i), static_cast<uint32_t>(i)));
        return Status::Ok;
    });
    uint32_t n = 0;
    for (auto _ : state) {
        const std::string name = "new" + std::to_string(++n);
        key.set(Value::dword(name, n));
        key.remove_value(name);
    }
}
BENCHMARK(BM_registry_insert_into)->Arg(1000)->Arg(100000);

} // namespace

int main(int argc, char **argv) {
    int rc = zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_registry_set_read_dword", "BM_file_rename_write_read"},
         {"BM_registry_last_write", "BM_file_stat_mtime"},
         {"BM_registry_ten_sets_one_transaction", "BM_registry_ten_sets_one_by_one"},
         // at least 0.5: an insert among 100 000 values at most twice one among 1 000
         {"BM_registry_insert_into/100000", "BM_registry_insert_into/1000"}});
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    return rc;
}
