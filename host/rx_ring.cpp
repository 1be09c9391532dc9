// The host's receive ring and byte transport: on_port_event moves received bytes from
// the library into RxRing on the event thread; rx_available and rx_get take them out
// on the main thread; send_byte and send_bytes queue bytes for the target.
//
// Nothing here spins. rx_get blocks in rx_wait, which the handler ends through the
// console's wake-up after it has added bytes; the handler itself never waits, not even
// for the main thread's turn as the ring's producer. send_bytes naps 1 ms at a time
// while the transmit side is full: the host narrows the port's events to received
// characters, so the library has no event to wake it when room appears, and a full
// transmit side holds at least a whole driver queue, far more than the line sends in
// 1 ms, so the naps never leave the line idle.
#include <chrono>
#include <mutex>
#include <thread>

#include "host/console.h"
#include "host/host.h"
#include "serial/sio.h"

RxRing rx_ring;
std::atomic<int> link_lost{0};

static const uint8_t rx_port_direction = 0;
static const uint8_t tx_port_direction = 1;

static int next_position(int position) {
  return position + 1 == RX_RING_SIZE ? 0 : position + 1;
}

// A full ring is never overrun: the handler stops taking and the bytes wait in the
// library, whose queues fill and then hold the line back (a pseudo-terminal or a USB
// adapter stops the sender; a UART's own overrun is the driver's). Dropping them, as
// this did before, lost bytes whenever the screen stalled for longer than the ring
// lasts (a few milliseconds of a fast line). Once the main thread has made room it
// takes the held bytes itself (take_held_bytes), since the library sends no new
// receive event while its queues stay full.
//
// rx_held: 1 while bytes wait in the library for the main thread to take them: behind
// a full ring, or reported while the main thread was the producer. Raised by whichever
// thread found the ring full and by the handler when it could not become the producer,
// lowered by the main thread before it takes them.
// rx_producer: the handler (event thread) and take_held_bytes (main thread) take turns
// as the ring's producer, one at a time; rx_write_pos is only touched under it. The
// handler never waits for it: the main thread holds it while it calls into the
// library, and the library's thread must not wait for the main thread.
static std::atomic<int> rx_held{0};
static std::mutex rx_producer;

// Takes what the library delivers into the ring's free span at rx_write_pos, at most
// `want` bytes; 0 when the ring is full or the library delivered nothing.
static uint32_t take_block(uint8_t port, uint32_t want) {
  int count = rx_ring.rx_count.load(std::memory_order_acquire);
  int slot = rx_ring.rx_write_pos;
  // Free slots run from slot up to the read position, or to the end of the array.
  int free_run = RX_RING_SIZE - (slot > count ? slot : count);
  uint32_t span = (uint32_t)free_run < want ? (uint32_t)free_run : want;
  uint32_t got = span > 0 ? SioGetBytes(port, &rx_ring.data[slot], span) : 0;
  if (got == 0) {
    return 0;
  }
  rx_ring.rx_write_pos = (slot + (int)got) % RX_RING_SIZE;
  // Sequentially consistent: pairs with rx_wait's raise of rx_waiting, so that either
  // the main thread sees these bytes before it blocks or the handler sees it waiting.
  rx_ring.rx_count.fetch_add((int)got, std::memory_order_seq_cst);
  return got;
}

// Moves what the library holds into the ring, as far as it has room; 1 when the ring
// took any byte. A full ring with bytes left raises rx_held. The caller is the producer.
static int take_pending(uint8_t port) {
  uint32_t pending = SioPendingCount(port, rx_port_direction);
  uint32_t taken = 0;
  // A call that delivers nothing means the library has nothing more just now; the
  // rest, if any, comes with the next receive event.
  for (uint32_t got = 1; taken < pending && got > 0; taken += got) {
    got = take_block(port, pending - taken);
  }
  if (taken < pending && rx_ring.rx_count.load(std::memory_order_acquire) == RX_RING_SIZE) {
    rx_held.store(1, std::memory_order_seq_cst);
  }
  return taken > 0 ? 1 : 0;
}

// The loss comes after the port's last received bytes, which are in RxRing (or held
// in the library) by then; seq_cst pairs with rx_wait, as for a byte.
static void note_loss(void) {
  link_lost.store(1, std::memory_order_seq_cst);
  if (rx_ring.rx_waiting.load(std::memory_order_seq_cst)) {
    console_wake();
  }
}

int link_is_lost(void) {
  return link_lost.load(std::memory_order_seq_cst);
}

int32_t on_port_event(uint8_t port, uint32_t events) {
  if (events & SIO_EV_PORT_LOST) {
    note_loss();
  }
  if ((events & EV_RXCHAR) == 0) {
    return 0;
  }
  int added = 0;
  if (rx_producer.try_lock()) {
    added = take_pending(port);
    rx_producer.unlock();
  } else {
    // The main thread is taking held bytes; it looks at rx_held again once it has
    // left the producer role, and takes these too.
    rx_held.store(1, std::memory_order_seq_cst);
  }
  // seq_cst, pairing with rx_wait: a main thread about to block sees the byte or the
  // held flag, or is woken here.
  if ((added || rx_held.load(std::memory_order_seq_cst)) &&
      rx_ring.rx_waiting.load(std::memory_order_seq_cst)) {
    console_wake();
  }
  return 0;
}

// Main thread: once the ring is at most half full, takes the bytes the handler left
// in the library (under the link gate, so never from a port being closed).
// Looks again after each turn: the handler may have raised rx_held while this thread
// was the producer.
static void take_held_bytes(void) {
  while (rx_held.load(std::memory_order_seq_cst) &&
         rx_ring.rx_count.load(std::memory_order_acquire) <= RX_RING_SIZE / 2) {
    rx_held.store(0, std::memory_order_seq_cst);
    link_enter();
    int32_t port = port_index.load(std::memory_order_relaxed);
    if (port >= 0) {
      std::lock_guard<std::mutex> hold(rx_producer);
      take_pending((uint8_t)port);
    }
    link_leave();
  }
}

int rx_available(void) {
  take_held_bytes();
  return rx_ring.rx_count.load(std::memory_order_acquire) != 0 ? 1 : 0;
}

void rx_wait(int also_keys) {
  console_wake_init();
  rx_ring.rx_waiting.store(1, std::memory_order_seq_cst);
  take_held_bytes();
  if (rx_ring.rx_count.load(std::memory_order_seq_cst) == 0 &&
      !rx_held.load(std::memory_order_seq_cst) && !link_is_lost()) {
    console_wait(also_keys);
  }
  rx_ring.rx_waiting.store(0, std::memory_order_relaxed);
}

int rx_span(const uint8_t **bytes) {
  take_held_bytes();
  int count = rx_ring.rx_count.load(std::memory_order_acquire);
  int to_end = RX_RING_SIZE - rx_ring.rx_read_pos;
  *bytes = &rx_ring.data[rx_ring.rx_read_pos];
  return count < to_end ? count : to_end;
}

// Frees the slots once their bytes are used; the producer may then fill them again.
void rx_consume(int count) {
  rx_ring.rx_read_pos = (rx_ring.rx_read_pos + count) % RX_RING_SIZE;
  rx_ring.rx_count.fetch_sub(count, std::memory_order_acq_rel);
  take_held_bytes();
}

// Nothing more will come from a lost link once RxRing and the library are empty.
static int nothing_left(void) {
  return link_is_lost() && rx_ring.rx_count.load(std::memory_order_seq_cst) == 0 &&
         !rx_held.load(std::memory_order_seq_cst);
}

int rx_get(void) {
  while (rx_ring.rx_count.load(std::memory_order_acquire) == 0) {
    if (nothing_left()) {
      link_announce_loss();
      return RX_LOST;
    }
    rx_wait(0);
  }
  uint8_t byte = rx_ring.data[rx_ring.rx_read_pos];
  rx_ring.rx_read_pos = next_position(rx_ring.rx_read_pos);
  rx_ring.rx_count.fetch_sub(1, std::memory_order_acq_rel);
  take_held_bytes();
  return (int)(int8_t)byte;
}

// One try under the link gate: how many of the bytes the library took, 0 when the
// transmit side is full or no port is open.
static uint32_t try_send(const uint8_t *bytes, uint32_t length) {
  link_enter();
  uint32_t taken = 0;
  int32_t port = port_index.load(std::memory_order_relaxed);
  if (port >= 0 && !SioQueueFull((uint8_t)port, tx_port_direction)) {
    taken = length == 1 ? SioPutByteAtOnce((uint8_t)port, bytes[0])
                        : SioTxRingWrite((uint8_t)port, bytes, length);
  }
  link_leave();
  return taken;
}

static void nap(void) {
  console_flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Bytes the library refuses after reporting room are tried again: a typed key or a
// record byte is never dropped while the link is there. A lost link takes nothing:
// the board the bytes were meant for has gone.
void send_bytes(const uint8_t *bytes, int length) {
  uint32_t left = length > 0 ? (uint32_t)length : 0;
  while (left > 0 && !link_is_lost()) {
    uint32_t taken = try_send(bytes, left);
    if (taken == 0) {
      nap();
    }
    bytes += taken;
    left -= taken;
  }
}

int send_byte(int byte) {
  uint8_t low = (uint8_t)(byte & 0xFF);
  send_bytes(&low, 1);
  return 1;
}
