// agwctl's site file is written by hand: any text must give either a clear
// error naming the file, or settings that survive show and a second parse.
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_util.h"
#include "tools/site.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    Site s;
    std::string err = site_parse(text, "f.toml", s);
    if (!err.empty()) {
        check(err.rfind("f.toml:", 0) == 0);
        return 0;
    }
    Site again;
    check(site_parse(site_emit(s, false), "e.toml", again).empty());
    check(again == s);
    return 0;
}
