// Test tool: holds every packet of an NFQUEUE queue for a fixed delay, then
// accepts it, in the order the packets came. The lab has no netem; this is
// its added latency:
//
//   iptables -A OUTPUT -j NFQUEUE --queue-num 3
//   delayq -q 3 -d 300
//
// The delay is the same for every packet, so the packets' deadlines come in
// the order of the packets: one FIFO is the timer queue, and poll() sleeps
// until the first deadline or the next packet. SIGTERM and SIGINT accept
// what is held and end.

#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <libnetfilter_queue/libnetfilter_queue.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// The packets held: their ids and when each is due.
struct Queue {
    std::chrono::milliseconds delay;
    std::deque<std::pair<uint32_t, Clock::time_point>> held;
};

int onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* nfa, void* data) {
    auto& queue = *static_cast<Queue*>(data);
    if (const nfqnl_msg_packet_hdr* hdr = nfq_get_msg_packet_hdr(nfa))
        queue.held.emplace_back(ntohl(hdr->packet_id), Clock::now() + queue.delay);
    return 0;
}

// Accepts every held packet that is due (all of them with `all`); returns
// the poll timeout until the next one, -1 when none is held.
int release(nfq_q_handle* q, Queue& queue, bool all) {
    const auto now = Clock::now();
    for (; !queue.held.empty() && (all || queue.held.front().second <= now); queue.held.pop_front())
        nfq_set_verdict(q, queue.held.front().first, NF_ACCEPT, 0, nullptr);
    if (queue.held.empty()) return -1;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(queue.held.front().second - now).count());
}

}  // namespace

int main(int argc, char** argv) {
    int num = -1, delay = -1, opt;
    while ((opt = getopt(argc, argv, "q:d:")) == 'q' || opt == 'd')
        (opt == 'q' ? num : delay) = atoi(optarg);
    if (opt != -1 || num < 0 || delay < 0 || optind != argc) {
        fprintf(stderr, "usage: delayq -q QUEUE -d MILLISECONDS\n");
        return 2;
    }
    Queue queue{std::chrono::milliseconds(delay), {}};
    std::unique_ptr<nfq_handle, decltype(&nfq_close)> h(nfq_open(), nfq_close);
    if (!h) return perror("nfq_open"), 1;
    std::unique_ptr<nfq_q_handle, decltype(&nfq_destroy_queue)> q(nfq_create_queue(h.get(), num, &onPacket, &queue),
                                                                  nfq_destroy_queue);
    if (!q || nfq_set_mode(q.get(), NFQNL_COPY_META, 0) < 0) return perror("nfq_create_queue"), 1;
    nfq_set_queue_maxlen(q.get(), 65536);
    nfnl_rcvbufsiz(nfq_nfnlh(h.get()), 8 << 20);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    pollfd fds[2] = {{nfq_fd(h.get()), POLLIN, 0}, {signalfd(-1, &stop, SFD_CLOEXEC), POLLIN, 0}};
    printf("delayq: queue %d, %d ms\n", num, delay);
    fflush(stdout);

    char buf[65536];
    for (int timeout = -1; (poll(fds, 2, timeout) >= 0 || errno == EINTR) && !fds[1].revents;) {
        const ssize_t n = fds[0].revents & POLLIN ? recv(fds[0].fd, buf, sizeof buf, MSG_DONTWAIT) : 0;
        if (n > 0) nfq_handle_packet(h.get(), buf, static_cast<int>(n));
        timeout = release(q.get(), queue, false);
    }
    release(q.get(), queue, true);
    return 0;
}
