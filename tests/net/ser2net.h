// ser2net for the tests: started by the test itself, in the foreground, on 127.0.0.1
// and a free port, with a configuration file the test writes and a pseudo-terminal as
// its serial device (the test plays the board on the master), and stopped at the end.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>

struct Ser2net {
  pid_t pid = -1;
  int master = -1, slave = -1;  // the device's pair; the slave is held open so that the
                                // line keeps its settings between connections
  std::string dir;              // the configuration and ser2net's output
  uint16_t port = 0;
  bool rfc2217 = true;
};

// Starts ser2net on `device`, or on a new pseudo-terminal when it is empty; false with
// the reason when it cannot run here (not installed, no pseudo-terminals, no loopback).
bool ser2net_start(Ser2net *s, bool rfc2217, std::string *why, std::string device = "");
bool ser2net_installed();
void ser2net_stop(Ser2net *s);                         // the pseudo-terminal stays; safe twice
bool ser2net_restart(Ser2net *s, std::string *why);  // on the same port and device
void ser2net_close(Ser2net *s);                        // stops it, closes the pseudo-terminal
std::string ser2net_url(const Ser2net &s);             // "rfc2217://127.0.0.1:<port>" or tcp://
std::string ser2net_output(const Ser2net &s);          // what it printed, for a failure's message
// A socket listening on 127.0.0.1 and a free port (its number in *port), or -1.
int loopback_listen(int backlog, uint16_t *port);
