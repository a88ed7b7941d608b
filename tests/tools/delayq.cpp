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

namespace {

using Clock = std::chrono::steady_clock;

struct Held {
    uint32_t id;
    Clock::time_point due;
};

struct Queue {
    std::chrono::milliseconds delay{0};
    std::deque<Held> held;
};

struct CloseHandle {
    void operator()(nfq_handle* h) const { nfq_close(h); }
};
struct DestroyQueue {
    void operator()(nfq_q_handle* q) const { nfq_destroy_queue(q); }
};
struct CloseFd {
    int fd;
    ~CloseFd() {
        if (fd >= 0) close(fd);
    }
};

int onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* nfa, void* data) {
    auto* queue = static_cast<Queue*>(data);
    const nfqnl_msg_packet_hdr* hdr = nfq_get_msg_packet_hdr(nfa);
    if (hdr) queue->held.push_back({ntohl(hdr->packet_id), Clock::now() + queue->delay});
    return 0;
}

// Accepts every held packet that is due (all of them with `all`); returns
// the poll timeout until the next one, -1 when none is held.
int release(nfq_q_handle* q, Queue& queue, bool all) {
    const auto now = Clock::now();
    while (!queue.held.empty() && (all || queue.held.front().due <= now)) {
        nfq_set_verdict(q, queue.held.front().id, NF_ACCEPT, 0, nullptr);
        queue.held.pop_front();
    }
    if (queue.held.empty()) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(queue.held.front().due - now);
    return static_cast<int>(wait.count());
}

bool parseArgs(int argc, char** argv, int& num, int& delay) {
    int opt;
    while ((opt = getopt(argc, argv, "q:d:")) != -1) {
        if (opt == 'q')
            num = atoi(optarg);
        else if (opt == 'd')
            delay = atoi(optarg);
        else
            return false;
    }
    return num >= 0 && delay >= 0 && optind == argc;
}

}  // namespace

int main(int argc, char** argv) {
    int num = -1, delay = -1;
    if (!parseArgs(argc, argv, num, delay)) {
        fprintf(stderr, "usage: delayq -q QUEUE -d MILLISECONDS\n");
        return 2;
    }
    Queue queue;
    queue.delay = std::chrono::milliseconds(delay);
    std::unique_ptr<nfq_handle, CloseHandle> h(nfq_open());
    if (!h) return perror("nfq_open"), 1;
    std::unique_ptr<nfq_q_handle, DestroyQueue> q(nfq_create_queue(h.get(), num, &onPacket, &queue));
    if (!q || nfq_set_mode(q.get(), NFQNL_COPY_META, 0) < 0) return perror("nfq_create_queue"), 1;
    nfq_set_queue_maxlen(q.get(), 65536);
    nfnl_rcvbufsiz(nfq_nfnlh(h.get()), 8 << 20);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    CloseFd sig{signalfd(-1, &stop, SFD_CLOEXEC)};
    pollfd fds[2] = {{nfq_fd(h.get()), POLLIN, 0}, {sig.fd, POLLIN, 0}};
    printf("delayq: queue %d, %d ms\n", num, delay);
    fflush(stdout);

    char buf[65536];
    int timeout = -1;
    while (poll(fds, 2, timeout) >= 0 || errno == EINTR) {
        if (fds[1].revents) break;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = recv(fds[0].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) nfq_handle_packet(h.get(), buf, static_cast<int>(n));
        }
        timeout = release(q.get(), queue, false);
    }
    release(q.get(), queue, true);
    return 0;
}
