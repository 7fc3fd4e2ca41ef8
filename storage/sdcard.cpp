#include "storage/sdcard.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "sys/sys.h"

std::atomic<int32_t> if_sd_card{0};
int32_t if_config_exist = 0;
int32_t if_fw_exist = 0;
int32_t if_fw_update = 0;
int32_t if_fw_update_error = 0;

namespace {
constexpr int kLine = 128;   // 127 characters and the terminating zero

// Runs a command to completion; its exit status is not examined.
void run(const std::string &cmd, uint64_t pause_us) {
    sys_system(cmd.c_str());
    sys_usleep(pause_us);
}

// Calls f for each line of a listing. A line longer than the buffer arrives in
// pieces; only the first piece starts a line, so a tail piece never names a file.
template <typename F>
bool each_listed(const std::string &cmd, F f) {
    SysPipe *p = sys_popen(cmd.c_str());
    if (p == nullptr) {
        puts("popen() error!");
        return false;
    }
    char line[kLine];
    bool line_start = true;
    while (sys_pipe_gets(p, line, sizeof line)) {
        size_t len = strlen(line);
        if (line_start) f(line);
        line_start = len > 0 && line[len - 1] == '\n';
    }
    sys_pclose(p);
    return true;
}
}  // namespace

bool listing_names(const char *line, const char *name) {
    if (line == nullptr || name == nullptr) return false;
    size_t n = strlen(name);
    return strncmp(line, name, n) == 0 && line[n] == '\n' && line[n + 1] == '\0';
}

void sd_card_init() {
    std::string cmd = "df -h " + sys_path("/media/card");
    SysPipe *p = sys_popen(cmd.c_str());
    if (p == nullptr) {
        puts("popen() error!");
        return;
    }
    // df names the mount point only when a card is mounted there. Long enough
    // for a whole df line under a long board root, so the mount path is never
    // cut between two reads.
    char line[512];
    while (sys_pipe_gets(p, line, sizeof line))
        if (strstr(line, "/media/card") != nullptr) if_sd_card = 1;
    sys_pclose(p);
}

int check_if_config_update() {
    if_config_exist = 0;
    if (if_sd_card == 0) return 0;
    const std::string update = sys_path("/media/card/update");
    each_listed("ls " + update, [](const char *line) {
        if (listing_names(line, "config.ini")) {
            if_config_exist = 1;
            puts("Got the new config.ini!!\r");
        } else if (listing_names(line, "fw")) {
            if_fw_exist = 1;
            puts("Got the new fw!!\r");
        }
    });
    if (if_config_exist == 0) return 0;
    const std::string app_config = sys_path("/APP/config.ini");
    run("cp " + app_config + " " + update + "/config.ini.bck", 10000);
    run("mv " + update + "/config.ini " + app_config, 100000);
    return 1;
}

int check_if_fw_update() {
    if (if_sd_card == 0) return 0;
    const std::string update = sys_path("/media/card/update");
    const std::string app_fw = sys_path("/APP/fw");
    const std::string app_config = sys_path("/APP/config.ini");
    run("cp " + app_fw + " " + update + "/fw.bck", 10000);
    run("mv " + update + "/fw " + app_fw, 10000);
    if_fw_update = 1;
    if (if_config_exist != 1) {
        // The new firmware starts from the default configuration; the card keeps the old one.
        run("cp " + app_config + " " + update + "/config.ini.bck", 100000);
        run("rm " + app_config, 10000);
    }
    // Whatever is still listed was not moved.
    each_listed("ls " + update, [](const char *line) {
        if (listing_names(line, "fw")) {
            if_fw_update_error = 1;
            puts("fw still exist!!\r");
        } else if (listing_names(line, "config.ini")) {
            if_fw_update_error = 1;
            puts("config.ini still exist!!\r");
        }
    });
    return 0;
}
