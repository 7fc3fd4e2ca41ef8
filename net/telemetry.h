// Telemetry push over TCP: a status line once a second on a persistent
// connection, and two one-shot HTTP requests. The start-up does not start it.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> link_status;   // 0 last push succeeded, -1 otherwise (initial)

int tcp_send_recv3(const char *text);
void *thread_sck(void *);
void tcp_send_line_notify();
int tcp_send_webapi_post();
