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
  std::string device;           // the slave's path, which ser2net opens
  std::string dir;              // the configuration and ser2net's output
  uint16_t port = 0;
  bool rfc2217 = true;
};

// Starts ser2net on a new pseudo-terminal; false with the reason when it cannot run
// here (not installed, no pseudo-terminals, no loopback).
bool ser2net_start(Ser2net *s, bool rfc2217, std::string *why);
// Starts it on a device the caller has (master and slave stay -1).
bool ser2net_start_on(Ser2net *s, const std::string &device, bool rfc2217, std::string *why);
// Whether ser2net is installed.
bool ser2net_installed();
// Stops ser2net (the pseudo-terminal stays); safe to call twice.
void ser2net_stop(Ser2net *s);
// Starts it again on the same port and device after a stop.
bool ser2net_restart(Ser2net *s, std::string *why);
// Stops it and closes the pseudo-terminal.
void ser2net_close(Ser2net *s);
// "rfc2217://127.0.0.1:<port>" or "tcp://127.0.0.1:<port>".
std::string ser2net_url(const Ser2net &s);
// What ser2net printed, for a failure's message.
std::string ser2net_output(const Ser2net &s);
