// An RFC 2217 server in the test process, for what ser2net on a pseudo-terminal cannot
// show: modem-state and line-state notifications, a server that never answers, one
// that closes at once, telnet sequences split across reads. It serves one connection
// at a time on 127.0.0.1 and a free port, and parses the client's stream with its own
// small decoder, independent of the one under test.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Silent takes up the options and answers no command; Raw is a plain TCP server.
enum class ServerMode { Answer, Silent, CloseAtOnce, Raw };

struct FakeServer {
  ServerMode mode = ServerMode::Answer;
  int listen_fd = -1;
  int wake[2] = {-1, -1};  // a pipe that ends the server thread
  uint16_t port = 0;
  std::thread thread;

  std::mutex lock;  // guards everything below
  std::condition_variable changed;
  int client = -1;
  bool paused = false;  // the client's bytes are left in the socket (server_pause)
  int connections = 0;
  bool client_gone = false;
  std::vector<uint8_t> data;                   // data bytes the client sent
  std::vector<std::vector<uint8_t>> commands;  // COM-PORT-OPTION payloads the client sent
  std::vector<std::pair<uint8_t, uint8_t>> negotiations;  // verb, option
  // Sent around the answer to the command `around`, in one write with it.
  uint8_t around = 0;
  std::vector<uint8_t> before_answer, after_answer;
  uint32_t baud = 9600;
  uint8_t datasize = 8, parity = 1, stopsize = 1;
  int state = 0;  // the parser's, between reads
  std::vector<uint8_t> sb;
};

std::string server_url(const FakeServer &s, bool rfc2217 = true);
bool server_start(FakeServer *s, ServerMode mode, std::string *why);
void server_stop(FakeServer *s);
bool server_send(FakeServer *s, const std::vector<uint8_t> &wire);  // wire bytes as they are
void server_pause(FakeServer *s, bool paused);  // stops or resumes reading the client's bytes
void server_drop(FakeServer *s);                // closes the connection from the server's side
// Waits, within a bound, until pred() holds under the server's lock.
bool server_wait(FakeServer *s, const std::function<bool()> &pred, int timeout_ms = 10000);
// IAC SB 44 code value... IAC SE.
std::vector<uint8_t> com_port(uint8_t code, std::vector<uint8_t> value);
