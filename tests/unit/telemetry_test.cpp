// The telemetry push and the HTTP requests against a loopback server on
// 127.0.0.1 (ephemeral port); sleeps run on the virtual clock, and a sleep hook
// lets the server act at a known point of a send.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modem/sim7100.h"
#include "net/data_conn.h"
#include "net/endpoints.h"
#include "net/net.h"
#include "net/qmi_client.h"
#include "net/telemetry.h"
#include "tests/fakes/sys_fake.h"

namespace {
using namespace std::chrono_literals;

// Accepts connections and records what each one receives, in its own thread.
// The test answers or hangs up through the server side of a connection.
class LoopServer {
public:
    LoopServer() {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd_, 8) != 0) abort();
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        th_ = std::thread([this] { run(); });
    }
    ~LoopServer() {
        stop_ = true;
        th_.join();
        for (auto &c : conns_)
            if (c.fd >= 0) close(c.fd);
        close(lfd_);
    }
    int port() const { return port_; }
    int connections() {
        std::lock_guard<std::mutex> l(mu_);
        return static_cast<int>(conns_.size());
    }
    // What connection i has received once it holds n bytes (waits up to 3 s).
    std::string received(int i, size_t n) {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait_for(l, 3s, [&] { return i < static_cast<int>(conns_.size()) && conns_[i].data.size() >= n; });
        return i < static_cast<int>(conns_.size()) ? conns_[i].data : std::string();
    }
    // Everything connection i received up to the client's close (waits up to 3 s).
    std::string until_eof(int i) {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait_for(l, 3s, [&] { return i < static_cast<int>(conns_.size()) && conns_[i].eof; });
        return i < static_cast<int>(conns_.size()) ? conns_[i].data : std::string();
    }
    // Loopback delivers at once: the client can read it when this returns.
    void send_to(int i, const std::string &text) {
        std::lock_guard<std::mutex> l(mu_);
        ASSERT_EQ(write(conns_.at(i).fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void hang_up(int i) {
        std::lock_guard<std::mutex> l(mu_);
        shutdown(conns_.at(i).fd, SHUT_RDWR);
    }

private:
    struct Conn {
        int fd;
        std::string data;
        bool eof;
    };
    void run() {
        while (!stop_) {
            std::vector<pollfd> p{{lfd_, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> l(mu_);
                for (auto &c : conns_)
                    if (!c.eof) p.push_back({c.fd, POLLIN, 0});
            }
            if (poll(p.data(), p.size(), 10) <= 0) continue;
            std::lock_guard<std::mutex> l(mu_);
            if (p[0].revents & POLLIN) {
                int fd = accept(lfd_, nullptr, nullptr);
                if (fd >= 0) conns_.push_back({fd, "", false});
            }
            for (size_t k = 1; k < p.size(); k++) {
                if (!p[k].revents) continue;
                for (auto &c : conns_) {
                    if (c.fd != p[k].fd || c.eof) continue;
                    char buf[4096];
                    ssize_t n = read(c.fd, buf, sizeof buf);
                    if (n > 0)
                        c.data.append(buf, static_cast<size_t>(n));
                    else
                        c.eof = true;
                }
            }
            cv_.notify_all();
        }
    }
    int lfd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Conn> conns_;
    std::thread th_;
};

// A loopback port bound but not listening: connections are refused, and the
// port stays ours while the object lives.
class DeadPort {
public:
    DeadPort() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) abort();
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~DeadPort() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1, port_ = 0;
};

std::string local_time(const char *fmt) {
    time_t now = static_cast<time_t>(fake_sys::now_us() / 1000000u);
    struct tm t;
    localtime_r(&now, &t);
    char buf[64];
    strftime(buf, sizeof buf, fmt, &t);
    return buf;
}

std::string imei() {
    char s[16];
    modem_get_imei(s);
    s[15] = '\0';
    return s;
}

std::string filler() {
    std::string f;
    for (int i = 0; i < 95; i++) f += "_123456789";
    return f + "_";
}

const std::string kHeaders =
    "User-Agent: python-requests/2.18.4\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "Accept: */*\r\n"
    "Connection: keep-alive\r\n"
    "Content-Length: 0\r\n"
    "\r\n\r\n";

int stops() { return qmi_service::count(QMI_SVC_WDS, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01); }

class Telemetry : public ::testing::Test {
protected:
    void SetUp() override {
        fake_sys::reset();
        qmi_service::reset();
        QMI_Init();
        ASSERT_EQ(QMI_wds_getObj(), 0);
        telemetry_reset_link();
        telemetry_set_endpoint("127.0.0.1", server.port());
        telemetry_set_notify_endpoint(nullptr, 0);
        telemetry_set_webapi_endpoint(nullptr, 0);
        link_status = -1;
        modem_csq = 0;
        modem_net_type = 0;
        gps_lat = 0.0f;
        gps_log = 0.0f;
    }
    void TearDown() override {
        fake_sys::on_sleep(nullptr);
        telemetry_reset_link();
    }
    // Runs action once, at the first sleep (the pause right after a write).
    void at_first_sleep(std::function<void()> action) {
        auto done = std::make_shared<bool>(false);
        fake_sys::on_sleep([done, action](uint64_t) {
            if (*done) return;
            *done = true;
            action();
        });
    }
    LoopServer server;
    DeadPort dead;
};

TEST_F(Telemetry, EndpointDefaultsStayOnThisMachine) {
    EXPECT_STREQ(TELEMETRY_HOST, "127.0.0.1");
    EXPECT_EQ(TELEMETRY_PORT, 8765);
    EXPECT_STREQ(NOTIFY_HOST, "localhost");
    EXPECT_STREQ(WEBAPI_HOST, "localhost");
    EXPECT_EQ(NOTIFY_PORT, 80);
    EXPECT_EQ(WEBAPI_PORT, 80);
}

TEST_F(Telemetry, StatusLineIsExactly1000Characters) {
    modem_csq = 7;
    modem_net_type = 8;
    gps_lat = 25.052059f;
    gps_log = -121.576141f;
    char gprmc[200];
    modem_get_gprmc(gprmc);
    gprmc[199] = '\0';
    std::string head = "-<00000000>-[CSQ= 7][net=8][GPS=25.0521/-121.5761][IMEI=" + imei() + "][t=" +
                       local_time("%Y-%m-%d %H:%M:%S") + "][gps=" + gprmc + "]";
    std::string expect = (head + filler()).substr(0, 1000);

    char line[STATUS_LINE_LEN + 1];
    telemetry_status_line(line, 0);
    EXPECT_EQ(std::string(line), expect);

    testing::internal::CaptureStdout();
    sck_pass();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("--> no socket connect, try link\n->net_connect OK\r\n"), std::string::npos);
    EXPECT_EQ(link_status, 0);
    EXPECT_EQ(server.received(0, 1000), expect);
    EXPECT_EQ(fake_sys::slept_us(), 500000u + 1000000u);

    // The connection persists; the pass counter goes on.
    modem_csq = 23;
    sck_pass();
    std::string both = server.received(0, 2000);
    ASSERT_EQ(both.size(), 2000u);
    EXPECT_EQ(both.substr(1000, 20), "-<00000001>-[CSQ=23]");
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Telemetry, WriteFailureCounterClosesAtTheFourth) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    net_write_fail_reset();
    testing::internal::CaptureStdout();
    EXPECT_EQ(net_check_write_status(0, sv[0]), -1);
    EXPECT_EQ(net_check_write_status(-1, sv[0]), -1);
    EXPECT_EQ(net_check_write_status(0, sv[0]), -1);
    EXPECT_EQ(net_check_write_status(12, sv[0]), 0);
    EXPECT_EQ(net_write_fail_count(), 3);   // a good write does not clear it
    EXPECT_EQ(fcntl(sv[0], F_GETFD), 0);
    EXPECT_EQ(net_check_write_status(-1, sv[0]), -2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "write fail, rc=0\r\nwrite fail, rc=-1\r\nwrite fail, rc=0\r\n"
              "write-fail-counter > WriteCounterMax --> close socket, rc=-1\r\n");
    EXPECT_EQ(net_write_fail_count(), 0);
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);   // closed
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(fake_sys::slept_us(), 500000u);
    close(sv[1]);
}

TEST_F(Telemetry, FailedWritesOnTheLinkThenAGoodOne) {
    // An empty text writes nothing: a failed write that does not stop the send.
    for (int i = 0; i < 3; i++) EXPECT_EQ(tcp_send_recv3(""), 0);
    EXPECT_EQ(net_write_fail_count(), 3);
    EXPECT_EQ(tcp_send_recv3("hello"), 0);
    EXPECT_EQ(net_write_fail_count(), 3);
    EXPECT_EQ(server.received(0, 5), "hello");
    EXPECT_EQ(tcp_send_recv3(""), -1);   // the fourth: closed
    EXPECT_EQ(net_write_fail_count(), 0);
    EXPECT_EQ(server.until_eof(0), "hello");
    EXPECT_EQ(tcp_send_recv3("again"), 0);   // connects afresh
    EXPECT_EQ(server.received(1, 5), "again");
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(Telemetry, ReadTimeOutAfterSendingEndsWithZero) {
    EXPECT_EQ(tcp_send_recv3("ping"), 0);   // the server says nothing
    EXPECT_EQ(server.received(0, 4), "ping");

    // An answer is read, then the quiet ends the reads.
    at_first_sleep([&] {
        server.received(0, 8);
        server.send_to(0, "ack");
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(tcp_send_recv3("pong"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "read success\r\n");
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(Telemetry, ServerClosingTheConnectionGivesMinus2) {
    at_first_sleep([&] {
        server.received(0, 4);
        server.hang_up(0);
    });
    EXPECT_EQ(tcp_send_recv3("ping"), -2);
    EXPECT_EQ(fake_sys::slept_us(), 500000u + 500000u);
    fake_sys::on_sleep(nullptr);
    // Not connected any more: the next send links again.
    EXPECT_EQ(tcp_send_recv3("next"), 0);
    EXPECT_EQ(server.connections(), 2);
    EXPECT_EQ(server.received(1, 4), "next");

    // Through the thread's pass: a lost connection is a failed push.
    at_first_sleep([&] {
        server.received(1, 1004);
        server.hang_up(1);
    });
    sck_pass();
    EXPECT_EQ(link_status, -1);
}

TEST_F(Telemetry, UnreachableServerHangsUpEveryThirdAttempt) {
    telemetry_set_endpoint("127.0.0.1", dead.port());
    link_status = 0;
    for (int pass = 1; pass <= 7; pass++) {
        testing::internal::CaptureStdout();
        sck_pass();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(link_status, -1);
        EXPECT_EQ(stops(), pass / 3) << "pass " << pass;
        if (pass == 1) {
            EXPECT_NE(out.find("->net_connect Error: connecting Error, -1, 111\r\n"), std::string::npos);
        }
    }
    EXPECT_EQ(fake_sys::slept_us(), 7 * 1000000u);

    // A good connection in between does not reset the count.
    telemetry_reset_link();
    int before = stops();
    tcp_send_recv3("x");
    tcp_send_recv3("x");
    telemetry_set_endpoint("127.0.0.1", server.port());
    EXPECT_EQ(tcp_send_recv3("up"), 0);
    telemetry_set_endpoint("127.0.0.1", dead.port());
    at_first_sleep([&] {
        server.received(0, 3);
        server.hang_up(0);
    });
    EXPECT_EQ(tcp_send_recv3("up"), -2);
    EXPECT_EQ(stops(), before);
    EXPECT_EQ(tcp_send_recv3("x"), -1);
    EXPECT_EQ(stops(), before + 1);
}

TEST_F(Telemetry, ConnectSetsBuffersTimeOutsAndIgnoresBrokenPipe) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
    int fd = net_connect("127.0.0.1", server.port());
    ASSERT_GT(fd, 0);
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);   // a server going away must not end the daemon
    sigaction(SIGPIPE, &old, nullptr);

    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &len), 0);
    EXPECT_EQ(v, 2 * 10000);   // the kernel doubles what was asked
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, &len), 0);
    EXPECT_LE(v, 4608);        // 100 bytes asked: the kernel's floor
    struct timeval tv {};
    len = sizeof tv;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 5);
    EXPECT_EQ(tv.tv_usec, 0);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 5);
    EXPECT_EQ(tv.tv_usec, 0);
    net_close(fd);

    testing::internal::CaptureStdout();
    EXPECT_EQ(net_connect("", 80), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "->net_connect Error: get host Error\r\n");
}

TEST_F(Telemetry, AtMostFiveReadsAfterASendWithDebugTraces) {
    ASSERT_EQ(tcp_send_recv3("a"), 0);
    // 8000 bytes wait when the reads start: five reads of 1500 take 7500 of them.
    at_first_sleep([&] {
        server.received(0, 2);
        server.send_to(0, std::string(8000, 'z'));
    });
    int32_t saved = isDebug;
    isDebug = 1;
    testing::internal::CaptureStdout();
    int r = tcp_send_recv3("b");
    std::string out = testing::internal::GetCapturedStdout();
    isDebug = saved;
    EXPECT_EQ(r, 0);
    std::string read1500 = "recv. result:1500\nrecv. data (1500): \n";
    std::string expect = "--> send tcp data\nwrite() result: 1\n";
    for (int i = 0; i < 5; i++) expect += "read success\r\n" + read1500;
    EXPECT_EQ(out, expect);

    // The rest stays for the next send's reads.
    testing::internal::CaptureStdout();
    EXPECT_EQ(tcp_send_recv3("c"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(server.received(0, 3), "abc");
}

TEST_F(Telemetry, SocketLayerResults) {
    EXPECT_EQ(net_connect(nullptr, 80), -2);
    EXPECT_EQ(net_connect("127.0.0.1", dead.port()), -3);

    int fd = net_connect("127.0.0.1", server.port());
    ASSERT_GT(fd, 0);
    char buf[16];
    EXPECT_EQ(recv_NonBlocking(fd, buf, sizeof buf), -4);
    server.received(0, 0);
    server.send_to(0, "abc");
    EXPECT_EQ(net_readn(fd, buf, sizeof buf), 3);
    server.hang_up(0);
    EXPECT_EQ(net_readn(fd, buf, sizeof buf), -2);
    net_close(fd);

    int dir = open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(net_readn(dir, buf, sizeof buf), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read error\r\nperror: Is a directory\n");
    close(dir);
}

TEST_F(Telemetry, NotifyRequestBytes) {
    // A 27-character web-API host name gives the 259-character request.
    const std::string web = "zrb318-webapi.example.local";
    ASSERT_EQ(web.size(), 27u);
    telemetry_set_notify_endpoint("127.0.0.1", server.port());
    telemetry_set_webapi_endpoint(web.c_str(), 80);
    testing::internal::CaptureStdout();
    tcp_send_line_notify();
    std::string out = testing::internal::GetCapturedStdout();
    std::string expect = std::string("POST /line?token=") + NOTIFY_TOKEN +
                         "&message=hello,ZRB-318 HTTP/1.1\r\n"
                         "Host: zrb318-webapi.example.local:80\r\n" +
                         kHeaders;
    ASSERT_EQ(expect.size(), 259u);
    EXPECT_EQ(server.until_eof(0), expect);
    EXPECT_EQ(out, "=== line notify ===\n->net_connect OK\r\nwrite(): 259\n=== tcp end ===\n");
    EXPECT_EQ(fake_sys::slept_us(), 1000000u);

    // Defaults: the request names localhost:80.
    telemetry_set_webapi_endpoint(nullptr, 0);
    tcp_send_line_notify();
    EXPECT_NE(server.until_eof(1).find("\r\nHost: localhost:80\r\nUser-Agent"), std::string::npos);

    telemetry_set_notify_endpoint("127.0.0.1", dead.port());
    testing::internal::CaptureStdout();
    tcp_send_line_notify();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("net_connect() fial\n"), std::string::npos);
    EXPECT_EQ(out.find("=== tcp end ==="), std::string::npos);
}

TEST_F(Telemetry, WebApiRequestBytes) {
    telemetry_set_webapi_endpoint("127.0.0.1", server.port());
    const uint8_t di[5] = {1, 0, 1, 1, 0};
    memcpy(di_value, di, sizeof di);
    do_value[0] = 0;
    do_value[1] = 1;
    ai_value[0] = 100;
    ai_value[1] = 2000;
    ai_value[2] = 65535;
    ai_value[3] = 3;
    std::string io = "time=" + local_time("%Y-%m-%d%%20%H:%M:%S") + ";di=1,0,1,1,0;do=0,1;ai=100,2000,65535,3";
    std::string expect = std::string("POST /webapi/s?key=") + WEBAPI_KEY + "&uid=" + imei() + "&data=[\"" + io +
                         "\"] HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n" + kHeaders;
    // The first read finds nothing; during the pause after it the server answers and hangs up.
    at_first_sleep([&] {
        server.received(0, expect.size());
        server.send_to(0, "HTTP/1.1 200 OK\r\n\r\n");
        server.hang_up(0);
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(tcp_send_webapi_post(), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(server.received(0, expect.size()), expect);
    EXPECT_EQ(out, "=== webapi post ===\n->net_connect OK\r\nio_data:\n" + io + "\nsend_data:\n" + expect +
                       "write(): " + std::to_string(expect.size()) +
                       "\nrecv. start:\n[-4], read success\r\n[19], recv. data (19): \nHTTP/1.1 200 OK\r\n\r\n\n"
                       "[-2], \n=== Web API end ===\n");
    EXPECT_EQ(fake_sys::slept_us(), 200000u);
    memset(di_value, 0, sizeof di_value);
    memset(do_value, 0, sizeof do_value);
    memset(ai_value, 0, sizeof ai_value);

    telemetry_set_webapi_endpoint("127.0.0.1", dead.port());
    EXPECT_EQ(tcp_send_webapi_post(), -1);
}
}  // namespace
