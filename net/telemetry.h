// Telemetry push over TCP: a status line once a second on a persistent
// connection, and two one-shot HTTP requests. The start-up does not start it.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> link_status;   // 0 last push succeeded, -1 otherwise (initial)

// Values of the web-API upload; nothing writes them, so they hold zeros.
extern uint8_t di_value[352];
extern uint8_t do_value[352];
extern uint16_t ai_value[352];

int tcp_send_recv3(const char *text);
void *thread_sck(void *);
void sck_pass();                           // one pass of thread_sck, its 1 s pause included
void tcp_send_line_notify();
int tcp_send_webapi_post();

constexpr int STATUS_LINE_LEN = 1000;
// The status line of pass `counter` from the modem's published state: exactly
// STATUS_LINE_LEN characters plus the terminator.
void telemetry_status_line(char out[STATUS_LINE_LEN + 1], int counter);

// Endpoints (net/endpoints.h gives the defaults; a null host restores them).
void telemetry_set_endpoint(const char *host, int port);
void telemetry_set_notify_endpoint(const char *host, int port);
void telemetry_set_webapi_endpoint(const char *host, int port);
// Drops the persistent connection and clears its counters and the pass counter.
void telemetry_reset_link();
