// Replays a fuzz target's corpus as plain regression inputs, without libFuzzer,
// so the same inputs run under any compiler and under qemu on the board's
// architectures:  replay_<name> DIR|FILE...   (exit 0 when every input ran).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

static int replay_file(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", p.c_str());
        return 1;
    }
    std::vector<uint8_t> buf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // libFuzzer never passes a null pointer, not even for an empty input.
    static const uint8_t empty = 0;
    LLVMFuzzerTestOneInput(buf.empty() ? &empty : buf.data(), buf.size());
    return 0;
}

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int failed = 0, count = 0;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto &e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file()) {
                    failed += replay_file(e.path());
                    count++;
                }
        } else {
            failed += replay_file(argv[i]);
            count++;
        }
    }
    std::printf("replay: %d inputs, %d unreadable\n", count, failed);
    return (failed || count == 0) ? 1 : 0;
}
