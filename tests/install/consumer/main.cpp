#include <iostream>

#include <ztbase/frame.h>
#include <ztbase/status.h>

int main() {
    ztbase_tss_data *block = nullptr;
    if (ztbase_get_tss_data(&block) != 0 || block == nullptr)
        return 1;
    std::cout << getECmsgl_ts(36, nullptr) << '\n';
    return 0;
}
