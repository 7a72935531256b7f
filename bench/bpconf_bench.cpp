// The local configuration store: reading the whole host configuration (the
// registry values of a fully populated record plus the cluster-aware file,
// parsed over the defaults) against reading and parsing the same image from
// one flat text file; the parser's throughput; updates of one item.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <ztbase/bpconf.h>
#include <ztbase/debuglog.h>
#include <ztbase/paths.h>

#include "bench_ratio.h"
#include "config/items/adhoc_config_ops.h"
#include "paths/pathconfig_internal.h"
#include "platform/registry/registry.h"

namespace {

namespace cfg = ztbase::config;

int quiet(int, int, const char *, const char *) {
    return 0;
}
c_shim_logging_fn g_quiet = quiet;

struct Record {
    std::unique_ptr<ZtConfig> p = std::make_unique<ZtConfig>();
    ~Record() { FreeConfig(p.get()); }
    ZtConfig *get() { return p.get(); }
};

// Lines that set every item: its default where that formats to something,
// else a value of its shape.
std::string full_text() {
    const char *shapes[] = {"hostA|hostB",
                            "alpha beta",
                            "alpha, beta",
                            "hostA 1 1 1",
                            "net1 ON",
                            "dom \"c\" LDAP broker 1556",
                            "hostA REQUIRED",
                            "net1 ONLY src",
                            "JOBID 5 1",
                            "file act 2",
                            "from to 7",
                            "net 7",
                            "name host /path",
                            "YES low high",
                            "a,b,c",
                            "\"Linux\" \"6\" \"linux_x64\" \"Zentor\" \"8.1\" 810000",
                            "vx"};
    std::string text;
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const char *label = getConfigLabelA(i);
        if (label == nullptr || isULParam(i) == 1 || i == getConfigIndexA("GENERIC_KEY_VAL_LIST"))
            continue;
        std::string value;
        cfg::format_item(i, &cfg::defaults(), value);
        if (!value.empty()) {
            for (size_t pos = 0; pos < value.size();) {
                size_t nul = value.find('\0', pos);
                if (nul == std::string::npos)
                    nul = value.size();
                text += std::string(label) + "=" + value.substr(pos, nul - pos) + "\n";
                pos = nul + 1;
            }
            continue;
        }
        for (const char *shape : shapes) {
            std::string lines, s = shape;
            for (size_t pos = 0; pos <= s.size();) {
                size_t bar = s.find('|', pos);
                if (bar == std::string::npos)
                    bar = s.size();
                lines += std::string(label) + "=" + s.substr(pos, bar - pos) + "\n";
                pos = bar + 1;
            }
            Record trial;
            InitConfig(nullptr, trial.get(), nullptr);
            if (ParseConfigExA(lines.data(), trial.get(), nullptr, ZTPARSE_STRICT) == 0) {
                text += lines;
                break;
            }
        }
    }
    for (int k = 0; k < 20; ++k)
        text += "site.key" + std::to_string(k) + "=value " + std::to_string(k) + "\n";
    return text;
}

struct Setup {
    std::string root, flat, image;
    Setup() {
        c_shim_mod_logging = &g_quiet;
        root = (std::filesystem::temp_directory_path() / "zt-bench-conf.XXXXXX").string();
        if (mkdtemp(root.data()) == nullptr)
            abort();
        setenv("ZT_REGISTRY", (root + "/registry").c_str(), 1);
        ztbase::registry::Key paths;
        ztbase::registry::Key::create(ztbase::registry::Root::LocalMachine,
                                      "SOFTWARE\\Halvane\\Zentor\\CurrentVersion\\Paths", paths);
        paths.set(ztbase::registry::Value::sz("_ql_fs", root + "/usr"));
        ztbase::pathconfig::reset_for_tests();
        std::filesystem::create_directories(getFennicString("VAR_GLOBAL_PATH"));
        std::string text = full_text();
        Record record;
        auto definition = std::make_unique<ZtConfig>();
        InitConfig(nullptr, record.get(), nullptr);
        if (ParseConfigExA(text.data(), record.get(), definition.get(), ZTPARSE_STRICT) != 0 ||
            UpdateLocalHostConfig(bpconfLocalSource, record.get(), definition.get()) != 0)
            abort();
        char *stored = nullptr;
        if (getLocalHostConfigImage(bpconfLocalSource, &stored) != 0)
            abort();
        image = stored;
        free(stored);
        flat = root + "/flat.conf";
        std::ofstream(flat) << image;
    }
    ~Setup() { std::filesystem::remove_all(root); }
};

Setup &setup() {
    static Setup s;
    return s;
}

void BM_local_store_read(benchmark::State &state) {
    setup();
    for (auto _ : state) {
        Record record;
        int rc = ReadHostConfigExA(bpconfLocalSource, record.get(), nullptr, nullptr, nullptr);
        if (rc != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(record.get()->VERBOSE);
    }
}
BENCHMARK(BM_local_store_read);

void BM_flat_file_read(benchmark::State &state) {
    const std::string &flat = setup().flat;
    for (auto _ : state) {
        std::ifstream in(flat);
        std::stringstream s;
        s << in.rdbuf();
        std::string text = s.str();
        Record record;
        InitConfig(bpconfLocalSource, record.get(), nullptr);
        ParseConfigExA(text.data(), record.get(), nullptr, ZTPARSE_RECORD_EMPTY);
        CheckSemantics(record.get());
        benchmark::DoNotOptimize(record.get()->VERBOSE);
    }
}
BENCHMARK(BM_flat_file_read);

void BM_parse_image(benchmark::State &state) {
    std::string text = setup().image;
    for (auto _ : state) {
        state.PauseTiming(); // a fresh record each time: lists would grow otherwise
        Record record;
        InitConfig(nullptr, record.get(), nullptr);
        state.ResumeTiming();
        ParseConfigExA(text.data(), record.get(), nullptr, ZTPARSE_RECORD_EMPTY);
        benchmark::ClobberMemory();
        state.PauseTiming();
        FreeConfig(record.get());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_parse_image);

void BM_update_one_item(benchmark::State &state) {
    setup();
    int n = 0;
    for (auto _ : state) {
        Record record;
        auto definition = std::make_unique<ZtConfig>();
        std::string text = "VERBOSE=" + std::to_string(++n % 10) + "\n";
        ParseConfigExA(text.data(), record.get(), definition.get(), 0);
        if (UpdateLocalHostConfig(bpconfLocalSource, record.get(), definition.get()) != 0)
            state.SkipWithError("update failed");
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_update_one_item);

// The floor under the local store: enumerating the Config key's values alone.
void BM_registry_values_only(benchmark::State &state) {
    setup();
    for (auto _ : state) {
        ztbase::registry::Key key;
        ztbase::registry::Key::open(ztbase::registry::Root::LocalMachine, ZTCONFIG_REGISTRY_KEY,
                                    key);
        std::vector<ztbase::registry::Value> values;
        key.values(values);
        benchmark::DoNotOptimize(values.size());
    }
}
BENCHMARK(BM_registry_values_only);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(argc, argv,
                                           {{"BM_local_store_read", "BM_flat_file_read"},
                                            {"BM_registry_values_only", "BM_flat_file_read"}});
}
