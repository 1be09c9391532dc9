// Test-only hooks into the library's state, built into the test program only.
#include "library_hooks.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

void sio_test_reinit(bool win95) {
  sim_set_win95(win95);
  port_table.store(nullptr);
  SioInitLibrary();
}

SimDevice *sio_test_open(uint8_t port) {
  std::string name = "COM" + std::to_string(port + 1);
  SimDevice *dev = sim_attach(name.c_str());
  EXPECT_NE(dev, nullptr) << name;
  SioOpen(port);
  EXPECT_TRUE(SioIsOpen(port)) << name << " did not open";
  return dev;
}

void sio_test_close_all(void) {
  if (port_table.load() != nullptr) {
    for (uint8_t port = 0; port < SIO_PORT_COUNT; port++)
      if (table().ports[port].handle.load() != nullptr) SioClose(port);
  }
  sim_reset_all();
}

static std::mutex handler_mutex;
static std::vector<HandlerCall> handler_calls;

int32_t sio_test_record_handler(uint8_t port, uint32_t events) {
  std::lock_guard<std::mutex> lock(handler_mutex);
  handler_calls.push_back({port, events});
  return 0;
}

std::vector<HandlerCall> sio_test_handler_calls(void) {
  std::lock_guard<std::mutex> lock(handler_mutex);
  return handler_calls;
}

void sio_test_clear_handler_calls(void) {
  std::lock_guard<std::mutex> lock(handler_mutex);
  handler_calls.clear();
}
