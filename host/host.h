// The host program's shared state and operations: start-up and terminal, the
// receive ring and byte transport, service requests, progress and downloads.
#pragma once

#include <stdint.h>

// Start-up, command line and main loop
extern int binary_mode;        // 1 with /B: downloads go as binary records
int open_link(int port_number, int32_t baud);  // 1 when open and set up, 0 when refused
void close_link(void);
void main_loop(void);          // never returns
void display_char(int byte);

// Receive ring and byte transport
int32_t on_port_event(uint8_t port, uint32_t events);
int rx_available(void);
int rx_get(void);              // next received byte, sign-extended; waits for one
int send_byte(int byte);       // queues the low 8 bits; waits for transmit room

// Service requests, upload and progress display
void serve_request(void);
void read_token(char *buffer); // buffer of 256 bytes
void upload_to_file(const char *name);
void show_progress(int character);

// Downloads
void download_binary(const char *name, int verify);
void download_text(const char *name, int verify);
int hex_digit_value(int character);
