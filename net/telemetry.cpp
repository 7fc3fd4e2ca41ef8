#include "net/telemetry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "modem/sim7100.h"
#include "net/data_conn.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "sys/sys.h"

std::atomic<int32_t> link_status{-1};
uint8_t di_value[352];
uint8_t do_value[352];
uint16_t ai_value[352];

namespace {
constexpr int kRecvSize = 1500;

struct Endpoint {
    char host[128];
    int port;
};

std::mutex g_ep_mu;
Endpoint g_telemetry{"", 0}, g_notify{"", 0}, g_webapi{"", 0};

// The persistent connection of the status push; <= 0 means none.
int sck_fd = 0;
int reconnect_count = 0;
int pass_counter = 0;

void set_endpoint(Endpoint *ep, const char *host, int port) {
    std::lock_guard<std::mutex> l(g_ep_mu);
    if (host == nullptr) {
        ep->host[0] = '\0';
        ep->port = 0;
        return;
    }
    snprintf(ep->host, sizeof ep->host, "%s", host);
    ep->port = port;
}

Endpoint get_endpoint(const Endpoint &ep, const char *def_host, int def_port) {
    std::lock_guard<std::mutex> l(g_ep_mu);
    Endpoint out = ep;
    if (out.host[0] == '\0') {
        snprintf(out.host, sizeof out.host, "%s", def_host);
        out.port = def_port;
    }
    return out;
}

void local_time_text(char *out, size_t size, const char *fmt) {
    time_t now = sys_time();
    struct tm t;
    localtime_r(&now, &t);
    if (strftime(out, size, fmt, &t) == 0) out[0] = '\0';
}

// The header lines shared by both requests, the Host naming the web-API server.
int format_headers(char *out, size_t size) {
    Endpoint web = get_endpoint(g_webapi, WEBAPI_HOST, WEBAPI_PORT);
    return snprintf(out, size,
                    "Host: %s:%d\r\n"
                    "User-Agent: python-requests/2.18.4\r\n"
                    "Accept-Encoding: gzip, deflate\r\n"
                    "Accept: */*\r\n"
                    "Connection: keep-alive\r\n"
                    "Content-Length: 0\r\n"
                    "\r\n\r\n",
                    web.host, web.port);
}

}  // namespace

void telemetry_set_endpoint(const char *host, int port) { set_endpoint(&g_telemetry, host, port); }
void telemetry_set_notify_endpoint(const char *host, int port) { set_endpoint(&g_notify, host, port); }
void telemetry_set_webapi_endpoint(const char *host, int port) { set_endpoint(&g_webapi, host, port); }

void telemetry_reset_link() {
    if (sck_fd > 0) net_close(sck_fd);
    sck_fd = 0;
    reconnect_count = 0;
    pass_counter = 0;
    net_write_fail_reset();
}

int tcp_send_recv3(const char *text) {
    if (text == nullptr) text = "";
    if (sck_fd <= 0) {
        puts("--> no socket connect, try link");
        Endpoint ep = get_endpoint(g_telemetry, TELEMETRY_HOST, TELEMETRY_PORT);
        int fd = net_connect(ep.host, ep.port);
        if (fd < 0) {
            puts("net_connect() fial");
            if (++reconnect_count > 2) {
                // Every third failure since the last hang-up (a good connect does
                // not clear the count): have the data connection dialled afresh.
                reconnect_count = 0;
                hangup_actions();
            }
            return -1;
        }
        if (fd == 0) {
            // Descriptor 0 would read as "no connection": move it.
            int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
            net_close(fd);
            if (moved < 0) return -1;
            fd = moved;
        }
        sck_fd = fd;
    }

    if (isDebug) puts("--> send tcp data");
    int rc = static_cast<int>(write(sck_fd, text, strlen(text)));
    if (isDebug) printf("write() result: %d\n", rc);
    if (net_check_write_status(rc, sck_fd) == -2) {
        sck_fd = 0;
        return -1;
    }
    sys_usleep(500 * 1000);

    char buf[kRecvSize + 1];
    for (int i = 0; i < 5; i++) {
        int r = recv_NonBlocking(sck_fd, buf, kRecvSize);
        if (isDebug) printf("recv. result:%d\n", r);
        if (r > 0) {
            if (isDebug) printf("recv. data (%d): \n", r);
            continue;
        }
        if (r == -2) {
            if (isDebug) printf("socket=%d\n", sck_fd);
            net_close(sck_fd);
            if (isDebug) printf("after close, socket=%d\n", sck_fd);
            sck_fd = 0;
            sys_usleep(500 * 1000);
            return -2;
        }
        break;
    }
    return 0;
}

void telemetry_status_line(char out[STATUS_LINE_LEN + 1], int counter) {
    // The filler pads every line past its cut: "_123456789" x 95, then "_".
    static const std::string filler = [] {
        std::string f;
        for (int i = 0; i < 95; i++) f += "_123456789";
        return f + "_";
    }();
    char ts[26];
    local_time_text(ts, sizeof ts, "%Y-%m-%d %H:%M:%S");
    char imei[16], gprmc[200];
    modem_get_imei(imei);
    modem_get_gprmc(gprmc);
    imei[sizeof imei - 1] = '\0';
    gprmc[sizeof gprmc - 1] = '\0';
    int n = snprintf(out, STATUS_LINE_LEN + 1, "-<%08d>-[CSQ=%2d][net=%d][GPS=%.4f/%.4f][IMEI=%s][t=%s][gps=%s]%s",
                     counter, modem_csq.load(), modem_net_type.load(), static_cast<double>(gps_lat.load()),
                     static_cast<double>(gps_log.load()), imei, ts, gprmc, filler.c_str());
    if (n < 0) out[0] = '\0';
}

void sck_pass() {
    char line[STATUS_LINE_LEN + 1];
    telemetry_status_line(line, pass_counter);
    int r = tcp_send_recv3(line);
    pass_counter++;
    link_status = r == 0 ? 0 : -1;
    sys_sleep(1);
}

void *thread_sck(void *) {
    for (;;) sck_pass();
    return nullptr;
}

void tcp_send_line_notify() {
    puts("=== line notify ===");
    Endpoint ep = get_endpoint(g_notify, NOTIFY_HOST, NOTIFY_PORT);
    int fd = net_connect(ep.host, ep.port);
    if (fd < 0) {
        puts("net_connect() fial");
        return;
    }
    char headers[512];
    format_headers(headers, sizeof headers);
    char req[1024];
    int len = snprintf(req, sizeof req, "POST /line?token=%s&message=hello,ZRB-318 HTTP/1.1\r\n%s", NOTIFY_TOKEN,
                       headers);
    if (len < 0) len = 0;
    if (len >= static_cast<int>(sizeof req)) len = sizeof req - 1;
    int rc = static_cast<int>(write(fd, req, static_cast<size_t>(len)));
    printf("write(): %d\n", rc);
    sys_sleep(1);
    net_close(fd);
    puts("=== tcp end ===");
}

int tcp_send_webapi_post() {
    puts("=== webapi post ===");
    Endpoint ep = get_endpoint(g_webapi, WEBAPI_HOST, WEBAPI_PORT);
    int fd = net_connect(ep.host, ep.port);
    if (fd < 0) {
        puts("net_connect() fial");
        return -1;
    }
    char ts[40];
    local_time_text(ts, sizeof ts, "%Y-%m-%d%%20%H:%M:%S");
    char io[256];
    snprintf(io, sizeof io, "time=%s;di=%d,%d,%d,%d,%d;do=%d,%d;ai=%d,%d,%d,%d", ts, di_value[0], di_value[1],
             di_value[2], di_value[3], di_value[4], do_value[0], do_value[1], ai_value[0], ai_value[1], ai_value[2],
             ai_value[3]);
    printf("io_data:\n%s\n", io);

    char imei[16];
    modem_get_imei(imei);
    imei[sizeof imei - 1] = '\0';
    char headers[512];
    format_headers(headers, sizeof headers);
    char req[1024];
    int len = snprintf(req, sizeof req, "POST /webapi/s?key=%s&uid=%s&data=[\"%s\"] HTTP/1.1\r\n%s", WEBAPI_KEY,
                       imei, io, headers);
    if (len < 0) len = 0;
    if (len >= static_cast<int>(sizeof req)) len = sizeof req - 1;
    printf("send_data:\n%s", req);
    int rc = static_cast<int>(write(fd, req, static_cast<size_t>(len)));
    printf("write(): %d\n", rc);
    puts("recv. start:");

    char buf[kRecvSize];
    for (int i = 0; i < 5; i++) {
        memset(buf, 0, sizeof buf);
        int r = recv_NonBlocking(fd, buf, kRecvSize - 1);
        printf("[%d], ", r);
        if (r > 0) {
            printf("recv. data (%d): \n%s\n", r, buf);
        } else if (r == -2) {
            break;
        } else {
            sys_usleep(200 * 1000);
        }
    }
    net_close(fd);
    puts("\n=== Web API end ===");
    return -1;
}
