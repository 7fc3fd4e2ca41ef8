#include "sys/sys.h"

#include <cstdlib>
#include <mutex>

namespace {
// Never destroyed: threads still resolve paths while the process exits
// (the LED thread runs on when main returns after a firmware update).
std::string &g_root = *new std::string;
std::once_flag g_once;
bool g_overridden = false;

void load_root() {
    if (g_overridden) return;
    const char *r = std::getenv("ALARMGW_ROOT");
    if (r != nullptr && r[0] != '\0') {
        g_root = r;
        while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
    }
}
}  // namespace

const std::string &sys_root() {
    std::call_once(g_once, load_root);
    return g_root;
}

void sys_set_root(const char *root) {
    std::call_once(g_once, load_root);
    g_overridden = true;
    g_root = root != nullptr ? root : "";
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
}

std::string sys_path(const char *board_path) {
    const std::string &root = sys_root();
    if (root.empty() || board_path == nullptr || board_path[0] != '/') return board_path ? board_path : "";
    return root + board_path;
}
