// Loading an arbitrary config.txt: either incomplete with every value empty, or
// five non-empty single-line values of at most 1023 bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/brindlenet-fuzz-config-" + std::to_string(::getpid());
    if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, out);
        std::fclose(out);
    }
    brindle::ConfigFileContent content = brindle::ReadConfigFile(path);
    const brindle::AppSettings& v = content.values;
    if (!content.complete) {
        if (!(v == brindle::AppSettings{})) {
            std::abort();
        }
        return 0;
    }
    for (const std::string* value :
         {&v.serverUrl, &v.userName, &v.sharedDirectory, &v.connection, &v.password}) {
        if (value->empty() || value->size() > 1023 ||
            value->find_first_of("\r\n") != std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
