#include "tests/fakes/sys_fake.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "sys/sys.h"

namespace {
constexpr uint64_t kStart = 1760000000ull * 1000000ull;  // a fixed, recent wall-clock time
std::atomic<uint64_t> g_now{kStart};
std::atomic<uint64_t> g_slept{0};
std::mutex g_mu;
struct Script {
    std::string prefix, output;
    int status;
    bool fail;
};
std::vector<Script> g_scripts;
std::vector<std::string> g_cmds;
bool g_pass = false;
std::function<void(uint64_t)> g_hook;
std::function<void(const std::string &)> g_read_hook;

void read_probe(const std::string &path) {
    std::function<void(const std::string &)> hook;
    {
        std::lock_guard<std::mutex> l(g_mu);
        hook = g_read_hook;
    }
    if (hook) hook(path);
}

std::multimap<uint64_t, std::function<void()>> g_events;   // at(): due virtual time -> action

// The earliest event due at or before t (removed), or an empty function.
std::function<void()> take_event(uint64_t t) {
    std::lock_guard<std::mutex> l(g_mu);
    auto it = g_events.begin();
    if (it == g_events.end() || it->first > t) return {};
    auto fn = std::move(it->second);
    g_events.erase(it);
    return fn;
}
uint64_t next_event_due() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_events.empty() ? UINT64_MAX : g_events.begin()->first;
}

const Script *match(const std::string &cmd) {
    const Script *hit = nullptr;
    for (const auto &s : g_scripts)
        if (cmd.compare(0, s.prefix.size(), s.prefix) == 0) hit = &s;
    return hit;
}
}  // namespace

struct SysPipe {
    std::vector<std::string> lines;
    size_t next = 0;
    int status = 0;
};

namespace fake_sys {
void reset() {
    std::lock_guard<std::mutex> l(g_mu);
    g_now = kStart;
    g_slept = 0;
    g_scripts.clear();
    g_cmds.clear();
    g_pass = false;
    g_hook = nullptr;
    g_read_hook = nullptr;
    sys_read_probe = nullptr;
    g_events.clear();
}
void at(uint64_t at_us, std::function<void()> fn) {
    std::lock_guard<std::mutex> l(g_mu);
    g_events.emplace(at_us, std::move(fn));
}
uint64_t now_us() { return g_now.load(); }
void set_now_us(uint64_t us) { g_now = us; }
uint64_t slept_us() { return g_slept.load(); }
std::vector<std::string> commands() {
    std::lock_guard<std::mutex> l(g_mu);
    return g_cmds;
}
void clear_commands() {
    std::lock_guard<std::mutex> l(g_mu);
    g_cmds.clear();
}
void script(const std::string &prefix, const std::string &output, int status) {
    std::lock_guard<std::mutex> l(g_mu);
    g_scripts.push_back({prefix, output, status, false});
}
void fail_start(const std::string &prefix) {
    std::lock_guard<std::mutex> l(g_mu);
    g_scripts.push_back({prefix, "", -1, true});
}
void passthrough(bool on) {
    std::lock_guard<std::mutex> l(g_mu);
    g_pass = on;
}
void on_sleep(std::function<void(uint64_t)> hook) {
    std::lock_guard<std::mutex> l(g_mu);
    g_hook = std::move(hook);
}
void on_read(std::function<void(const std::string &)> hook) {
    std::lock_guard<std::mutex> l(g_mu);
    g_read_hook = std::move(hook);
    sys_read_probe = g_read_hook ? read_probe : nullptr;
}
}  // namespace fake_sys

// Commands that change the machine itself are never run for real, even in
// passthrough: a test must not set the clock or reboot the host.
static bool dangerous(const std::string &c) {
    size_t i = c.find_first_not_of(" \t");
    if (i == std::string::npos) return false;
    std::string word = c.substr(i, c.find_first_of(" \t;&|", i) - i);
    return word == "date" || word == "init" || word == "reboot" || word == "shutdown" ||
           word == "hwclock" || word == "halt" || word == "poweroff";
}

int sys_system(const char *cmd) {
    std::string c = cmd ? cmd : "";
    std::lock_guard<std::mutex> l(g_mu);
    g_cmds.push_back(c);
    if (g_pass && !dangerous(c)) return std::system(cmd);
    const Script *s = match(c);
    return s ? s->status : 0;
}

SysPipe *sys_popen(const char *cmd) {
    std::string c = cmd ? cmd : "";
    std::lock_guard<std::mutex> l(g_mu);
    g_cmds.push_back(c);
    const Script *s = match(c);
    if (s && s->fail) return nullptr;
    auto *p = new SysPipe;
    std::string out;
    if (g_pass && !dangerous(c)) {
        FILE *f = popen(cmd, "r");
        if (f) {
            char buf[512];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
            p->status = pclose(f);
        }
    } else if (s) {
        out = s->output;
        p->status = s->status;
    }
    size_t i = 0;
    while (i < out.size()) {
        size_t e = out.find('\n', i);
        if (e == std::string::npos) {
            p->lines.push_back(out.substr(i));
            break;
        }
        p->lines.push_back(out.substr(i, e - i + 1));
        i = e + 1;
    }
    return p;
}

// Hands out a line in pieces of at most size-1 bytes, as fgets does.
bool sys_pipe_gets(SysPipe *p, char *buf, int size) {
    if (p == nullptr || buf == nullptr || size <= 0) return false;
    while (p->next < p->lines.size() && p->lines[p->next].empty()) p->next++;
    if (p->next >= p->lines.size()) return false;
    std::string &line = p->lines[p->next];
    size_t n = std::min(line.size(), static_cast<size_t>(size - 1));
    memcpy(buf, line.data(), n);
    buf[n] = '\0';
    line.erase(0, n);
    if (line.empty()) p->next++;
    return true;
}

int sys_pclose(SysPipe *p) {
    if (p == nullptr) return -1;
    int st = p->status;
    delete p;
    return st;
}

void sys_usleep(uint64_t usec) {
    uint64_t now = (g_now += usec);
    g_slept += usec;
    while (auto ev = take_event(now)) ev();
    std::function<void(uint64_t)> hook;
    {
        std::lock_guard<std::mutex> l(g_mu);
        hook = g_hook;
    }
    if (hook) hook(now);
}

// A wake that came since seq ends the wait at once; otherwise the wait passes
// on the virtual clock until an event of at() wakes it, or whole.
static std::atomic<uint64_t> g_wake_seq{0};
uint64_t sys_wake_seq() { return g_wake_seq.load(); }
void sys_wake() { g_wake_seq++; }
void sys_wait(uint64_t seq, uint64_t usec) {
    const uint64_t end = g_now.load() + usec;
    for (;;) {
        if (g_wake_seq.load() != seq) return;
        uint64_t now = g_now.load(), due = next_event_due();
        if (due > end) {
            if (end > now) sys_usleep(end - now);
            return;
        }
        sys_usleep(due > now ? due - now : 0);   // runs the event
    }
}

void sys_sleep(unsigned sec) { sys_usleep(static_cast<uint64_t>(sec) * 1000000u); }

void sys_gettimeofday(struct timeval *tv) {
    uint64_t n = g_now.load();
    tv->tv_sec = static_cast<time_t>(n / 1000000u);
    tv->tv_usec = static_cast<suseconds_t>(n % 1000000u);
}

uint64_t sys_monotonic_us() { return g_now.load(); }

time_t sys_time() { return static_cast<time_t>(g_now.load() / 1000000u); }
