#include "msg/phone.h"

#include <cstring>

namespace {
// The digits of a number without its '+'; 0 for anything else.
int digits_of(const char *p, char out[32]) {
    int n = 0;
    out[0] = 0;
    for (int i = p[0] == '+' ? 1 : 0; p[i] != 0; i++) {
        if (p[i] < '0' || p[i] > '9' || n >= 31) return 0;
        out[n++] = p[i];
    }
    out[n] = 0;
    return n;
}
}  // namespace

bool phone_same(const char *a, const char *b) {
    char da[32], db[32];
    int na = digits_of(a, da), nb = digits_of(b, db);
    if (na == 0 || nb == 0) return false;
    if (na == nb && std::strcmp(da, db) == 0) return true;
    constexpr int TAIL = 9;
    return na >= TAIL && nb >= TAIL && std::strcmp(da + na - TAIL, db + nb - TAIL) == 0;
}
