#include "tests/fakes/serial_fake.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "modem/serial.h"
#include "sys/sys.h"
#include "tests/fakes/sys_fake.h"

namespace {
constexpr int kFd = 7;
constexpr int kAnswerBuf = 1024;

struct Rule {
    std::string prefix;
    fake_serial::Responder fn;
    int delay_ms;
    bool once;
};
struct Chunk {
    uint64_t due_us;
    std::string bytes;
};

std::recursive_mutex g_mu;   // responders may call back into the fake
std::vector<Rule> g_rules;
std::deque<Chunk> g_queue;
std::vector<fake_serial::Sent> g_sent;
bool g_open = false;
int g_opens = 0, g_closes = 0, g_fail_open = 0, g_misuse = 0;
std::string g_path;

bool starts_with(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }

void queue_bytes(const std::string &bytes, int delay_ms) {
    if (bytes.empty()) return;
    uint64_t due = fake_sys::now_us() + static_cast<uint64_t>(delay_ms < 0 ? 0 : delay_ms) * 1000u;
    // Kept in arrival order, so a late answer never overtakes an earlier one.
    auto it = std::upper_bound(g_queue.begin(), g_queue.end(), due,
                               [](uint64_t d, const Chunk &c) { return d < c.due_us; });
    g_queue.insert(it, Chunk{due, bytes});
}

size_t arrived() {
    uint64_t now = fake_sys::now_us();
    size_t n = 0;
    for (const auto &c : g_queue) {
        if (c.due_us > now) break;
        n += c.bytes.size();
    }
    return n;
}

bool port_ok(int fd) {
    if (fd == kFd && g_open) return true;
    g_misuse++;
    return false;
}

void respond(const std::string &cmd) {
    const Rule *hit = nullptr;
    size_t once_at = g_rules.size();
    for (size_t i = 0; i < g_rules.size(); i++)
        if (g_rules[i].once && starts_with(cmd, g_rules[i].prefix)) {
            once_at = i;
            break;
        }
    Rule taken;
    if (once_at < g_rules.size()) {
        taken = g_rules[once_at];
        g_rules.erase(g_rules.begin() + static_cast<long>(once_at));
        hit = &taken;
    } else {
        for (const auto &r : g_rules)
            if (!r.once && starts_with(cmd, r.prefix)) hit = &r;
    }
    if (hit == nullptr) return;
    Rule r = *hit;   // the responder may add rules
    queue_bytes(r.fn(cmd), r.delay_ms);
}
}  // namespace

namespace fake_serial {
void reset() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_rules.clear();
    g_queue.clear();
    g_sent.clear();
    g_open = false;
    g_opens = g_closes = g_fail_open = g_misuse = 0;
    g_path.clear();
}
void answer(const std::string &prefix, const std::string &reply, int delay_ms) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_rules.push_back({prefix, [reply](const std::string &) { return reply; }, delay_ms, false});
}
void answer_once(const std::string &prefix, const std::string &reply, int delay_ms) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_rules.push_back({prefix, [reply](const std::string &) { return reply; }, delay_ms, true});
}
void answer_with(const std::string &prefix, Responder fn, int delay_ms) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_rules.push_back({prefix, std::move(fn), delay_ms, false});
}
void inject(const std::string &bytes, int delay_ms) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    queue_bytes(bytes, delay_ms);
}
void fail_open(int n) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_fail_open = n;
}
std::vector<Sent> sent() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    return g_sent;
}
std::vector<std::string> commands() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    std::vector<std::string> v;
    for (const auto &s : g_sent) v.push_back(s.data);
    return v;
}
int count(const std::string &prefix) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    int n = 0;
    for (const auto &s : g_sent)
        if (starts_with(s.data, prefix)) n++;
    return n;
}
int find(const std::string &prefix) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    for (size_t i = 0; i < g_sent.size(); i++)
        if (starts_with(g_sent[i].data, prefix)) return static_cast<int>(i);
    return -1;
}
void clear_sent() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_sent.clear();
}
int opens() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    return g_opens;
}
int closes() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    return g_closes;
}
bool is_open() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    return g_open;
}
std::string last_path() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    return g_path;
}
int pending() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    size_t n = 0;
    for (const auto &c : g_queue) n += c.bytes.size();
    return static_cast<int>(n);
}
int misuse() {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    return g_misuse;
}
}  // namespace fake_serial

// The seam: the same functions as modem/serial.cpp.

int set_opt(int fd, int, int, char, int) { return fd < 0 ? -1 : 0; }

int uart_open(const char *path, int, int, char, int) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    g_path = path ? path : "";
    if (g_fail_open > 0) {
        g_fail_open--;
        return -1;
    }
    g_open = true;
    g_opens++;
    // Opening discards what arrived while the port was closed.
    uint64_t now = fake_sys::now_us();
    while (!g_queue.empty() && g_queue.front().due_us <= now) g_queue.pop_front();
    return kFd;
}

void uart_close(int fd) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    if (fd < 0 || !port_ok(fd)) return;
    g_open = false;
    g_closes++;
}

namespace {
int write_cmd(int fd, const void *data, int len, int wait_ms) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    if (fd < 0 || data == nullptr || len < 0 || !port_ok(fd)) return -1;
    std::string cmd(static_cast<const char *>(data), static_cast<size_t>(len));
    g_sent.push_back({cmd, wait_ms, fake_sys::now_us()});
    respond(cmd);
    return len;
}
}  // namespace

int uart_write(int fd, const void *data, int len) { return write_cmd(fd, data, len, -1); }

int uart_datasize_in_com(int fd) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    if (fd < 0) return -1;
    if (!port_ok(fd)) return -2;
    return static_cast<int>(arrived());
}

int uart_read(int fd, void *buf, int cap) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    int waiting = uart_datasize_in_com(fd);
    if (waiting < 0 || buf == nullptr || cap < 0) return 0;
    int n = std::min(waiting, cap);
    auto *out = static_cast<char *>(buf);
    int done = 0;
    while (done < n) {
        Chunk &c = g_queue.front();
        size_t take = std::min(c.bytes.size(), static_cast<size_t>(n - done));
        memcpy(out + done, c.bytes.data(), take);
        done += static_cast<int>(take);
        c.bytes.erase(0, take);
        if (c.bytes.empty()) g_queue.pop_front();
    }
    return done;
}

int uart_write_read(int fd, const void *data, int len, char *buf, int wait_ms) {
    if (buf == nullptr) return 0;
    write_cmd(fd, data, len, wait_ms);
    if (wait_ms > 0) sys_usleep(static_cast<uint64_t>(wait_ms) * 1000u);
    memset(buf, 0, kAnswerBuf);
    return uart_read(fd, buf, kAnswerBuf - 1);
}

int uart_flush(int fd, int selector) {
    std::lock_guard<std::recursive_mutex> l(g_mu);
    if (fd < 0) return -1;
    if (!port_ok(fd)) return -1;
    if (selector != 0) {
        uint64_t now = fake_sys::now_us();
        while (!g_queue.empty() && g_queue.front().due_us <= now) g_queue.pop_front();
    }
    return 0;
}

int uart_rx_clear(int fd) { return uart_flush(fd, 1); }
int uart_tx_clear(int fd) { return uart_flush(fd, 0); }
