// tarn-net-delay: holds every packet that netfilter queues to it for a fixed delay, then
// lets it go. With a rule that queues a network namespace's loopback output, every packet
// between processes of that namespace arrives late by the delay: a cluster a network away,
// on one machine whose kernel has no netem qdisc.
//
// Usage: tarn-net-delay MILLISECONDS [QUEUE]   (queue 0 by default; SIGTERM stops it)
//
// The delay is the same for every packet, so packets leave in the order they came; the
// verdicts go out in that order, each at its packet's arrival time plus the delay.

#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace {

struct held_packet {
  std::uint32_t id;
  std::int64_t due_ns;
};

std::deque<held_packet> held;
std::int64_t delay_ns = 0;
volatile sig_atomic_t stopping = 0;

std::int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int hold_packet(nfq_q_handle*, nfgenmsg*, nfq_data* packet, void*) {
  const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packet);
  if (header) held.push_back({ntohl(header->packet_id), now_ns() + delay_ns});
  return 0;
}

void release_due(nfq_q_handle* queue) {
  const std::int64_t now = now_ns();
  while (!held.empty() && held.front().due_ns <= now) {
    nfq_set_verdict(queue, held.front().id, NF_ACCEPT, 0, nullptr);
    held.pop_front();
  }
}

// How long to sleep for: until the first held packet is due, or until a packet comes.
timespec wait_time() {
  timespec t{0, 0};
  if (held.empty()) {
    t.tv_sec = 1;
    return t;
  }
  const std::int64_t left = held.front().due_ns - now_ns();
  if (left > 0) {
    t.tv_sec = time_t(left / 1000000000);
    t.tv_nsec = long(left % 1000000000);
  }
  return t;
}

void stop(int) { stopping = 1; }

int fail(const char* what) {
  std::fprintf(stderr, "tarn-net-delay: %s: %s\n", what, std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: tarn-net-delay MILLISECONDS [QUEUE]\n");
    return 2;
  }
  const double milliseconds = std::atof(argv[1]);
  const int queue_number = argc == 3 ? std::atoi(argv[2]) : 0;
  delay_ns = std::int64_t(milliseconds * 1e6);

  nfq_handle* handle = nfq_open();
  if (!handle) return fail("nfq_open");
  nfq_q_handle* queue = nfq_create_queue(handle, std::uint16_t(queue_number), &hold_packet, nullptr);
  if (!queue) return fail("nfq_create_queue (is another program bound to the queue?)");
  // Only the packet's metadata comes up: the verdict needs its id, not its bytes.
  if (nfq_set_mode(queue, NFQNL_COPY_META, 0) < 0) return fail("nfq_set_mode");
  nfq_set_queue_maxlen(queue, 1 << 16);
  nfnl_rcvbufsiz(nfq_nfnlh(handle), 16 << 20);

  struct sigaction action{};
  action.sa_handler = stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::printf("bound to queue %d, delay %g ms\n", queue_number, milliseconds);
  std::fflush(stdout);

  const int fd = nfq_fd(handle);
  alignas(8) char buffer[1 << 16];
  while (!stopping) {
    pollfd readable{fd, POLLIN, 0};
    const timespec wait = wait_time();
    const int ready = ppoll(&readable, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return fail("ppoll");
    if (ready > 0) {
      for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) break;  // EAGAIN, or ENOBUFS: the kernel dropped some (TCP resends them)
        nfq_handle_packet(handle, buffer, int(n));
      }
    }
    release_due(queue);
  }
  // What is still held goes out at once, so that no connection stalls after a stop.
  for (const held_packet& packet : held) nfq_set_verdict(queue, packet.id, NF_ACCEPT, 0, nullptr);
  nfq_destroy_queue(queue);
  nfq_close(handle);
  return 0;
}
