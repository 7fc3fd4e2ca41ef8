#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/sys.h"

std::atomic<void (*)(const std::string &)> sys_read_probe{nullptr};

namespace {
constexpr size_t kChunk = 64 * 1024;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Opens a regular file for reading; never waits on a FIFO or a device.
int open_regular(const std::string &path, struct stat *st) {
    if (auto probe = sys_read_probe.load()) probe(path);
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

ssize_t read_some(int fd, char *p, size_t n) {
    for (;;) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

// Reads exactly n bytes unless the file ends first.
ssize_t read_full(int fd, char *p, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read_some(fd, p + got, n - got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool same_bytes(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    Fd fa(open_regular(a, &sa));
    Fd fb(open_regular(b, &sb));
    if (fa.fd < 0 || fb.fd < 0 || sa.st_size != sb.st_size) return false;
    static thread_local char ba[kChunk], bb[kChunk];
    for (;;) {
        ssize_t ra = read_full(fa.fd, ba, kChunk);
        ssize_t rb = read_full(fb.fd, bb, kChunk);
        if (ra < 0 || rb < 0 || ra != rb) return false;
        if (ra == 0) return true;
        if (memcmp(ba, bb, static_cast<size_t>(ra)) != 0) return false;
    }
}

void sync_dir_of(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    Fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0) (void)fsync(d.fd);
}
}  // namespace

int sys_read_chunks(const std::string &path, uint64_t max, bool (*each)(void *ctx, const char *data, size_t n),
                    void *ctx) {
    struct stat st;
    errno = 0;
    Fd f(open_regular(path, &st));
    if (f.fd < 0) return errno == ENOENT ? SYS_READ_MISSING : SYS_READ_UNREADABLE;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > max) return SYS_READ_TOO_LARGE;
    static thread_local char buf[kChunk];
    uint64_t total = 0;
    for (;;) {
        ssize_t r = read_some(f.fd, buf, kChunk);
        if (r < 0) return SYS_READ_UNREADABLE;
        if (r == 0) return SYS_READ_OK;
        total += static_cast<uint64_t>(r);
        if (total > max) return SYS_READ_TOO_LARGE;
        if (!each(ctx, buf, static_cast<size_t>(r))) return SYS_READ_STOPPED;
    }
}

bool sys_copy_verified(const std::string &src, const std::string &dst) {
    const std::string tmp = dst + ".tmp";
    struct stat st;
    Fd in(open_regular(src, &st));
    if (in.fd < 0) return false;
    bool ok;
    {
        Fd out(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.fd < 0) return false;
        static thread_local char buf[kChunk];
        ok = true;
        for (;;) {
            ssize_t r = read_some(in.fd, buf, kChunk);
            if (r < 0) ok = false;
            if (r <= 0) break;
            if (!write_all(out.fd, buf, static_cast<size_t>(r))) {
                ok = false;
                break;
            }
        }
        if (ok && fsync(out.fd) != 0) ok = false;
        if (close(out.fd) != 0) ok = false;
        out.fd = -1;
    }
    // Checked against the source before it takes the destination's name, so
    // dst is always either its old content or the complete copy.
    if (ok) ok = same_bytes(src, tmp);
    if (ok) ok = rename(tmp.c_str(), dst.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    sync_dir_of(dst);
    return true;
}

bool sys_file_digest(const std::string &path, uint64_t *size, uint64_t *digest) {
    struct stat st;
    Fd f(open_regular(path, &st));
    if (f.fd < 0) return false;
    constexpr off_t kSpan = 64 * 1024;
    static thread_local char buf[kSpan];
    uint64_t h = 1469598103934665603ull;   // FNV-1a
    auto mix = [&h](const void *p, size_t n) {
        for (size_t i = 0; i < n; i++) {
            h ^= static_cast<const unsigned char *>(p)[i];
            h *= 1099511628211ull;
        }
    };
    const int64_t stamp[3] = {static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                              static_cast<int64_t>(st.st_mtim.tv_nsec)};
    mix(stamp, sizeof stamp);
    const off_t tail = st.st_size > 2 * kSpan ? st.st_size - kSpan : kSpan;
    for (off_t at : {off_t{0}, tail}) {
        if (at >= st.st_size && at != 0) break;
        if (lseek(f.fd, at, SEEK_SET) != at) return false;
        ssize_t r = read_full(f.fd, buf, sizeof buf);
        if (r < 0) return false;
        mix(buf, static_cast<size_t>(r));
    }
    *size = static_cast<uint64_t>(st.st_size);
    *digest = h;
    return true;
}

bool sys_is_regular(const std::string &path, uint64_t *size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool sys_rename(const std::string &from, const std::string &to) {
    if (rename(from.c_str(), to.c_str()) != 0) return false;
    sync_dir_of(to);
    return true;
}

bool sys_remove(const std::string &path) {
    if (unlink(path.c_str()) != 0) return false;
    sync_dir_of(path);
    return true;
}
