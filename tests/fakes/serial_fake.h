// A scripted modem behind the uart_* functions of modem/serial.h, driven by the
// virtual clock of sys_fake.h. Every command written is recorded with the wait
// its exchange used and the virtual time. Answers are chosen per command:
//   - answer_once(prefix, ...): queued answers, used in the order given, each once;
//   - answer(prefix, ...):      a standing answer (the last matching one wins);
//   - answer_with(prefix, fn):  a standing answer computed from the command.
// Once-answers are tried before standing ones. A command nothing matches gets
// no answer. An answer may come late (delay_ms after the write): an exchange
// whose wait is shorter leaves it queued for a later read. inject() queues
// unsolicited bytes. Opening the port discards whatever has arrived so far, as
// the real port does.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fake_serial {

struct Sent {
    std::string data;   // bytes written
    int wait_ms;        // wait of uart_write_read; -1 for a plain uart_write
    uint64_t at_us;     // virtual time of the write
};

using Responder = std::function<std::string(const std::string &cmd)>;

void reset();   // no answers, nothing queued or recorded, port closed, opens succeed

void answer(const std::string &prefix, const std::string &reply, int delay_ms = 0);
void answer_once(const std::string &prefix, const std::string &reply, int delay_ms = 0);
void answer_with(const std::string &prefix, Responder fn, int delay_ms = 0);
// Bytes the modem sends by itself, arriving delay_ms from now.
void inject(const std::string &bytes, int delay_ms = 0);
// The next n opens fail (uart_open returns -1).
void fail_open(int n);

std::vector<Sent> sent();
std::vector<std::string> commands();            // just the texts, in order
int count(const std::string &prefix);           // commands that begin with prefix
// Index in commands() of the first command beginning with prefix, or -1.
int find(const std::string &prefix);
void clear_sent();

int opens();                     // successful opens since reset
int closes();
bool is_open();
std::string last_path();         // path of the last uart_open
int pending();                   // bytes queued, arrived or not yet
int misuse();                    // calls on a descriptor that is not the open port

}  // namespace fake_serial
