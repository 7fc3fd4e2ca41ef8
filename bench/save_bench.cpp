// save_config (temporary file, fsync, rename, fsync of the directory) against
// a plain open-write-close of an image's worth of bytes, and against the plain
// write followed by fsync, in a scratch board root. Prints the median and the
// 90th percentile in milliseconds as "name median p90" on standard error (the
// daemon's own messages go to standard output, which is discarded).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "modbus/config.h"
#include "modbus/regmap.h"
#include "sys/sys.h"

using Clock = std::chrono::steady_clock;

static double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

static void report(const char *name, std::vector<double> &v) {
    std::sort(v.begin(), v.end());
    fprintf(stderr, "%s %.3f %.3f\n", name, v[v.size() / 2], v[v.size() * 9 / 10]);
}

static bool plain_write(const std::string &path, const std::vector<char> &image, bool sync) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
    if (sync) ok = fsync(fd) == 0 && ok;
    return close(fd) == 0 && ok;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s SCRATCH_ROOT [rounds]\n", argv[0]);
        return 2;
    }
    int rounds = argc > 2 ? atoi(argv[2]) : 50;
    if (rounds < 1) rounds = 1;
    sys_set_root(argv[1]);
    std::string app = sys_path("/APP");
    if (mkdir(argv[1], 0755) != 0 && errno != EEXIST) return 1;
    if (mkdir(app.c_str(), 0755) != 0 && errno != EEXIST) {
        perror(app.c_str());
        return 1;
    }
    data_mapping = modbus_mapping_new(layout::COILS, layout::DISCRETE, layout::HOLDING, layout::INPUT);
    if (data_mapping.load() == nullptr) return 1;
    set_config_default();
    // Keep the daemon's messages out of the figures.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
    std::vector<double> atomic_ms, plain_ms, plain_sync_ms;
    std::vector<char> image(CONFIG_SIZE, 1);
    std::string plain = app + "/plain.bin";
    for (int r = 0; r < rounds; r++) {
        auto t0 = Clock::now();
        if (save_config() != 0) return 1;
        atomic_ms.push_back(ms_since(t0));
        t0 = Clock::now();
        if (!plain_write(plain, image, false)) return 1;
        plain_ms.push_back(ms_since(t0));
        t0 = Clock::now();
        if (!plain_write(plain, image, true)) return 1;
        plain_sync_ms.push_back(ms_since(t0));
    }
    report("save_config", atomic_ms);
    report("plain_write", plain_ms);
    report("plain_write_fsync", plain_sync_ms);
    return 0;
}
