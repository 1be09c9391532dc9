// The simulated board: its options, the line to the host, the ROM monitor and the
// file transfers it asks the host for.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct BoardOptions {
  int port = 0;                       // COMn given to the host; 0 leaves the host's default
  const char *memory_dump = nullptr;  // memory image written at exit
  const char *preload = nullptr;      // S-record file put into memory before the host starts
  const char *log_path = nullptr;     // copy of the monitor's messages
  std::vector<std::string> script;    // monitor commands run once the host is ready
  bool exit_when_done = false;        // end the host with SIGINT after the script
  bool quiet = false;                 // no note on standard error at the end
  int quiet_ms = 300;                 // silence that ends a binary download
  int reply_ms = 10000;               // longest wait for an answer the host owes
  int settle_ms = 300;                // quiet after the host's last open of the line
  int retries = 3;                    // NAKs for one record before it is skipped
  std::string host_program;           // the program to start, tavo by default
  std::vector<std::string> host_args; // its arguments
};
extern BoardOptions board_options;

// The line: the master end of the pseudo-terminal. Every wait also watches the stop
// pipe, which the main thread fills when the host has ended.
enum { LINE_TIMEOUT = -1, LINE_STOPPED = -2 };
void line_attach(int master_fd, int stop_fd, FILE *log);
int line_get(int timeout_ms);                  // a byte, LINE_TIMEOUT or LINE_STOPPED; -1 ms waits for ever
void line_put(const void *bytes, size_t length);
void line_put_byte(uint8_t byte);
void line_say(const char *format, ...) __attribute__((format(printf, 1, 2)));  // '\n' goes out as CR LF
void line_log(const char *format, ...) __attribute__((format(printf, 1, 2)));  // log file only
bool line_stopped(void);

// The file services of the host, asked for by the monitor. Each returns true when
// the transfer did what was asked and reports on the line either way.
enum TransferKind { TRANSFER_LOAD, TRANSFER_VERIFY, TRANSFER_TYPE, TRANSFER_GO };
bool transfer_download(const char *name, TransferKind kind);
// Saves [start, start + length) as S-records; a length of 0 saves every written range.
bool transfer_save(const char *name, uint32_t start, uint64_t length);
// Start address of the program that `go` handed over to, for the note at the end.
bool transfer_started(uint32_t *address);

// Reads an S-record file into memory on the board's side (for --preload).
bool preload_file(const char *path);

// The monitor: waits for the host, greets, runs the script, then serves the user
// until the line stops. True when every scripted command succeeded.
bool monitor_run(void);
bool monitor_command(const char *line);  // runs one command line; false when it failed

// The host program on the slave end (host_process.cpp). host_watch_begin watches the
// slave for opens before the host starts; host_wait_ready then waits until the host
// has opened the line and left it alone for the settle time (false when stopped).
int host_watch_begin(const char *slave_path);
bool host_wait_ready(int watch_fd, int stop_fd);
// Starts the host with TAVO_COM1..TAVO_COM4 naming the slave; its process id or -1.
int host_start(const char *slave_path);
