// Scaffolding shared by the fuzz targets that work on files in a scratch
// board root: an invariant check that stops the run, file writing, and the
// root itself (made once, removed when the process exits).
#pragma once
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace fuzz_util {

// Says which invariant broke (a replayed input under emulation has no
// debugger at hand), then stops the run.
inline void check_at(bool ok, const char *file, int line) {
    if (!ok) {
        std::fprintf(stderr, "check failed at %s:%d\n", file, line);
        std::abort();
    }
}
#define check(ok) ::fuzz_util::check_at((ok), __FILE__, __LINE__)

inline void write_file(const std::string &path, const void *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0);
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, p + done, size - done);
        check(w > 0);
        done += static_cast<size_t>(w);
    }
    close(fd);
}

inline std::string &scratch_root() {
    static std::string root;
    return root;
}

inline int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }
inline void remove_scratch_root() {
    if (!scratch_root().empty()) nftw(scratch_root().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes $TMPDIR/alarmgw-fuzz-<name>-XXXXXX with the given subdirectories
// (in order, parents first) and removes it at exit.
inline const std::string &make_scratch_root(const char *name, std::initializer_list<const char *> subdirs) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/alarmgw-fuzz-" + name + "-XXXXXX";
    check(mkdtemp(tmpl.data()) != nullptr);
    scratch_root() = tmpl;
    std::atexit(remove_scratch_root);
    for (const char *sub : subdirs) check(mkdir((tmpl + sub).c_str(), 0755) == 0);
    return scratch_root();
}

}  // namespace fuzz_util
