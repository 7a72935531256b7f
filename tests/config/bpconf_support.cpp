#include "bpconf_support.h"

#include <cstring>

#include "config/items/adhoc_config_table.h"

namespace bpconf_test {

std::string image_of(const ZtConfig *record, const ZtConfig *definition) {
    char *image = nullptr;
    int status = makeConfigImageA(record, definition, &image);
    EXPECT_EQ(status, 0);
    std::string out = image != nullptr ? image : "";
    free(image);
    return out;
}

int parse_over_defaults(const std::string &text, ZtConfig *record, ZtConfig *definition,
                        int flags) {
    int status = InitConfig(nullptr, record, nullptr);
    if (status != 0)
        return status;
    std::string copy = text;
    return ParseConfigExA(copy.data(), record, definition, flags);
}

std::string formatted(const ZtConfig *record, const char *label) {
    char *buffer = nullptr;
    int size = 0;
    int n = getFormattedConfigItemA(record, getConfigIndexA(label), &buffer, &size);
    std::string out;
    if (n > 0)
        out.assign(buffer, size_t(n - 1));
    free(buffer);
    return out;
}

namespace {

using ztbase::config::EnumRow;
using ztbase::config::kRows;
using ztbase::config::Type;

// Values tried in order; '|' separates the lines of a multi-line item.
std::vector<std::string> candidates(int index) {
    const auto &row = kRows[index];
    switch (row.type) {
    case Type::Int:
    case Type::Int64:
        if (isULParam(index) == 1)
            return {"-9"}; // what the local store's extra lines give back
        return {"7", "61", "2", "99", "1541", "3"};
    case Type::Enum: {
        std::vector<std::string> out;
        for (auto *e = static_cast<const EnumRow *>(row.arg2); e->name != nullptr; ++e)
            out.push_back(e->name);
        return out;
    }
    case Type::Flags:
        return {"DBR|TAR"};
    case Type::String:
        return {"vx", "/some/dir", "value_x"};
    case Type::Units:
        return {"3 hours", "20 GB", "2 days", "9 minutes"};
    default:
        return {"hostA|hostB",
                "hostA",
                "alpha beta|gamma delta",
                "alpha, beta|gamma",
                "hostA 1 1 1|hostB 0 2 3",
                "1 1 3",
                "100 200",
                "\"Linux\" \"6\" \"linux_x64\" \"Zentor\" \"8.1\" 810000",
                "a,b,c",
                "121 3601 200 40 3 1 30 5 1793 32 0 0",
                "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24",
                "authhost 1556",
                "dom \"a comment\" LDAP broker 1556|dom2 \"c\" NIS broker2 13",
                "hostA REQUIRED|hostB AUTOMATIC",
                "net1 ONLY src|net2 MATCH",
                "net1 ON|net2 OFF",
                "name host /path|n2 h2 /p2",
                "YES low high|NO a b",
                "JOBID 5 1|POLICY 7 0",
                "file act 2|f2 a2 3",
                "from to 7|f2 t2 8",
                "net 7|net2 8",
                "hostA hostB|hostC"};
    }
}

} // namespace

std::string full_text(std::vector<std::string> *unset) {
    Record defaults;
    EXPECT_EQ(InitConfig(nullptr, defaults.get(), nullptr), 0);
    std::string text;
    for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
        const char *label = getConfigLabelA(i);
        if (label == nullptr || strcmp(label, "GENERIC_KEY_VAL_LIST") == 0)
            continue;
        const std::string before = formatted(defaults.get(), label);
        bool done = false;
        for (const std::string &candidate : candidates(i)) {
            std::string lines;
            for (size_t pos = 0; pos <= candidate.size();) {
                size_t bar = candidate.find('|', pos);
                if (bar == std::string::npos)
                    bar = candidate.size();
                lines += std::string(label) + "=" + candidate.substr(pos, bar - pos) + "\n";
                pos = bar + 1;
            }
            Record trial;
            if (parse_over_defaults(lines, trial.get(), nullptr, ZTPARSE_STRICT) != 0)
                continue;
            std::string after = formatted(trial.get(), label);
            if (after.empty() || after == before)
                continue;
            text += lines;
            done = true;
            break;
        }
        if (!done && unset != nullptr)
            unset->push_back(label);
    }
    text += "custom_key_one=first value\nCUSTOM.KEY.TWO=(in parens)\n";
    return text;
}

} // namespace bpconf_test
