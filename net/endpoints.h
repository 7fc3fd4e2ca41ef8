// Where the telemetry push and the two HTTP requests go, and the credentials
// they carry. Everything points at the local machine until a build sets the
// operator's servers here.
#pragma once

// Status push: a dotted IPv4 address.
constexpr const char *TELEMETRY_HOST = "127.0.0.1";
constexpr int TELEMETRY_PORT = 8765;
// Notification relay (host name).
constexpr const char *NOTIFY_HOST = "localhost";
constexpr int NOTIFY_PORT = 80;
// Web-API server (host name); the Host header of both requests names it.
constexpr const char *WEBAPI_HOST = "localhost";
constexpr int WEBAPI_PORT = 80;

// Access token of the notification relay (43 alphanumerics) and the web-API key (15).
constexpr const char NOTIFY_TOKEN[] = "alarmgwLocalNotifyToken00000000000000000000";
constexpr const char WEBAPI_KEY[] = "alarmgwLocalKey";
static_assert(sizeof NOTIFY_TOKEN - 1 == 43);
static_assert(sizeof WEBAPI_KEY - 1 == 15);
