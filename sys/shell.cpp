#include "sys/sys.h"

#include <cstdio>
#include <cstdlib>

struct SysPipe {
    FILE *f;
};

int sys_system(const char *cmd) {
    fflush(stdout);
    return std::system(cmd);
}

SysPipe *sys_popen(const char *cmd) {
    fflush(stdout);
    FILE *f = popen(cmd, "r");
    if (f == nullptr) return nullptr;
    return new SysPipe{f};
}

bool sys_pipe_gets(SysPipe *p, char *buf, int size) {
    if (p == nullptr || buf == nullptr || size <= 0) return false;
    return fgets(buf, size, p->f) != nullptr;
}

int sys_pclose(SysPipe *p) {
    if (p == nullptr) return -1;
    // Read what is left, so the command always runs to completion.
    char sink[256];
    while (fgets(sink, sizeof sink, p->f) != nullptr) {
    }
    int st = pclose(p->f);
    delete p;
    return st;
}
