// The in-process RFC 2217 test server: accept, parse, answer.
#include "fake_server.h"

#include "ser2net.h"

#include <poll.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

namespace {

enum : uint8_t { SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255, COM = 44 };

void send_all(int fd, const std::vector<uint8_t> &wire) {
  for (size_t done = 0; done < wire.size();) {
    ssize_t n = send(fd, wire.data() + done, wire.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += size_t(n);
  }
}

// A client command: answered with code + 100 and the value in force (a zero asks for it).
void answer_command(FakeServer *s, const std::vector<uint8_t> &cmd, std::vector<uint8_t> *reply) {
  if (cmd.size() < 2 || cmd[0] == 10 || cmd[0] == 11) return;  // masks are not answered here
  uint8_t code = cmd[0];
  std::vector<uint8_t> value(cmd.begin() + 1, cmd.end());
  if (code == 1 && cmd.size() == 5) {
    uint32_t b = uint32_t(cmd[1]) << 24 | uint32_t(cmd[2]) << 16 | uint32_t(cmd[3]) << 8 | cmd[4];
    s->baud = b ? b : s->baud;
    value = {uint8_t(s->baud >> 24), uint8_t(s->baud >> 16), uint8_t(s->baud >> 8), uint8_t(s->baud)};
  }
  uint8_t *line[] = {nullptr, nullptr, &s->datasize, &s->parity, &s->stopsize};
  if (code >= 2 && code <= 4) *line[code] = cmd[1] ? cmd[1] : *line[code], value = {*line[code]};
  std::vector<uint8_t> r = com_port(uint8_t(code + 100), value);
  if (code == s->around) r.insert(r.begin(), s->before_answer.begin(), s->before_answer.end());
  if (code == s->around) r.insert(r.end(), s->after_answer.begin(), s->after_answer.end());
  reply->insert(reply->end(), r.begin(), r.end());
}

void answer_option(FakeServer *s, uint8_t verb, uint8_t option, std::vector<uint8_t> *reply) {
  s->negotiations.push_back({verb, option});
  if (verb == WILL) reply->insert(reply->end(), {IAC, uint8_t(option == COM || option == 0 || option == 3 ? DO : DONT), option});
  if (verb == DO) reply->insert(reply->end(), {IAC, uint8_t(option == 0 || option == 3 ? WILL : WONT), option});
}

// The client's stream, a byte at a time: 0 data, 1 after IAC, 2 negotiation (verb in
// sb[0]), 3 subnegotiation, 4 IAC inside it.
void parse(FakeServer *s, uint8_t b, std::vector<uint8_t> *reply) {
  switch (s->state) {
    case 0:
      if (b == IAC && s->mode != ServerMode::Raw) s->state = 1; else s->data.push_back(b);
      return;
    case 1:
      if (b == IAC) s->data.push_back(b), s->state = 0;
      else if (b == SB) s->sb.clear(), s->state = 3;
      else if (b >= WILL) s->sb = {b}, s->state = 2;
      else s->state = 0;
      return;
    case 2:
      answer_option(s, s->sb[0], b, reply);  // Answer and Silent alone parse telnet
      s->state = 0;
      return;
    case 3:
      if (b == IAC) s->state = 4; else s->sb.push_back(b);
      return;
    case 4:
      if (b != SE) { s->sb.push_back(b), s->state = 3; return; }
      s->state = 0;
      if (s->sb.empty() || s->sb[0] != COM) return;
      s->commands.emplace_back(s->sb.begin() + 1, s->sb.end());
      if (s->mode == ServerMode::Answer) answer_command(s, s->commands.back(), reply);
      return;
  }
}

void serve_bytes(FakeServer *s, int fd) {
  uint8_t buf[65536];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  std::vector<uint8_t> reply;
  std::lock_guard<std::mutex> hold(s->lock);
  if (n <= 0) {
    close(s->client);
    s->client = -1;
    s->client_gone = true;
  } else {
    for (ssize_t i = 0; i < n; i++) parse(s, buf[i], &reply);
    if (!reply.empty()) send_all(fd, reply);
  }
  s->changed.notify_all();
}

void accept_client(FakeServer *s) {
  int fd = accept(s->listen_fd, nullptr, nullptr);
  if (fd < 0) return;
  std::lock_guard<std::mutex> hold(s->lock);
  s->connections++;
  if (s->mode == ServerMode::CloseAtOnce || s->client >= 0) {
    close(fd);
  } else {
    s->client = fd;
    s->client_gone = false;
    s->state = 0;
  }
  s->changed.notify_all();
}

void serve(FakeServer *s) {
  for (;;) {
    int client;
    {
      std::lock_guard<std::mutex> hold(s->lock);
      client = s->paused ? -1 : s->client;
    }
    struct pollfd fds[3] = {{s->wake[0], POLLIN, 0}, {s->listen_fd, POLLIN, 0}, {client, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) continue;
    char why = 0;
    if (fds[0].revents && read(s->wake[0], &why, 1) == 1 && why == 'x') return;
    if (fds[1].revents & POLLIN) accept_client(s);
    if (client >= 0 && fds[2].revents) serve_bytes(s, client);
  }
}

}  // namespace

std::vector<uint8_t> com_port(uint8_t code, std::vector<uint8_t> value) {
  std::vector<uint8_t> out = {IAC, SB, COM, code};
  for (uint8_t b : value) {
    out.push_back(b);
    if (b == IAC) out.push_back(IAC);
  }
  out.insert(out.end(), {IAC, SE});
  return out;
}

std::string server_url(const FakeServer &s, bool rfc2217) {
  return std::string(rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(s.port);
}

bool server_start(FakeServer *s, ServerMode mode, std::string *why) {
  s->mode = mode;
  if ((s->listen_fd = loopback_listen(4, &s->port)) < 0 || pipe(s->wake) != 0) {
    *why = "no TCP socket on 127.0.0.1";
    return false;
  }
  s->thread = std::thread(serve, s);
  return true;
}

void server_pause(FakeServer *s, bool paused) {
  {
    std::lock_guard<std::mutex> hold(s->lock);
    s->paused = paused;
  }
  if (write(s->wake[1], "p", 1) != 1) return;  // polls again with or without the client
}

void server_stop(FakeServer *s) {
  if (s->thread.joinable()) {
    if (write(s->wake[1], "x", 1) != 1) abort();
    s->thread.join();
  }
  for (int fd : {s->listen_fd, s->client, s->wake[0], s->wake[1]})
    if (fd >= 0) close(fd);
  s->listen_fd = s->client = s->wake[0] = s->wake[1] = -1;
}

bool server_send(FakeServer *s, const std::vector<uint8_t> &wire) {
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->client < 0) return false;
  send_all(s->client, wire);
  return true;
}

void server_drop(FakeServer *s) {
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->client >= 0) shutdown(s->client, SHUT_RDWR);
}

bool server_wait(FakeServer *s, const std::function<bool()> &pred, int timeout_ms) {
  std::unique_lock<std::mutex> hold(s->lock);
  return s->changed.wait_for(hold, std::chrono::milliseconds(timeout_ms), pred);
}
