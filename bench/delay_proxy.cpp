// A TCP relay on 127.0.0.1 that holds every chunk for half a round trip in
// each direction, so a server on this machine answers like a distant one.
// Order is kept; throughput is not otherwise limited.
//
//   delay-proxy PORT TARGET_PORT RTT_MS [COUNTS_FILE]
//
// COUNTS_FILE always holds "EXCHANGES WAITS". An exchange is client-to-
// server traffic that follows server-to-client traffic. A wait is an
// exchange that starts while nothing is in flight through the relay: the
// client had every answer and nothing outstanding, so it paid a whole
// round trip.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = size_t{256} << 10;
// A receiver that stops reading stops the sender once this much waits.
constexpr size_t kMaxQueued = size_t{64} << 20;

Clock::duration half_rtt;
std::atomic<size_t> in_flight{0};
std::mutex count_mutex;
bool last_up = false;  // direction of the latest chunk (count_mutex)
unsigned long exchanges = 0, waits = 0;
int counts_fd = -1;

void Publish() {
  char line[64];
  int n = std::snprintf(line, sizeof line, "%lu %lu\n", exchanges, waits);
  if (counts_fd >= 0) {
    [[maybe_unused]] auto written =
        pwrite(counts_fd, line, static_cast<size_t>(n), 0);
  }
}

// Called for every chunk read, before it is queued.
void Note(bool up, size_t bytes) {
  std::lock_guard lock(count_mutex);
  if (up && !last_up) {
    ++exchanges;
    if (in_flight == 0) ++waits;
    Publish();
  }
  last_up = up;
  in_flight += bytes;
}

struct Chunk {
  Clock::time_point due;
  std::vector<char> data;  // empty: the sender closed its side
};

// One direction of one connection: a reader that stamps chunks and a
// writer that sends each when it is due.
class Direction {
 public:
  Direction(int from, int to, bool up) : from_(from), to_(to), up_(up) {}

  void Read() {
    std::vector<char> buffer(kChunk);
    for (;;) {
      ssize_t n = read(from_, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      Note(up_, static_cast<size_t>(n));
      Push({Clock::now() + half_rtt,
            std::vector<char>(buffer.begin(), buffer.begin() + n)});
    }
    Push({Clock::now(), {}});
  }

  void Write() {
    bool broken = false;
    for (;;) {
      Chunk chunk = Pop();
      if (chunk.data.empty()) break;
      std::this_thread::sleep_until(chunk.due);
      if (!broken && !WriteAll(chunk.data)) {
        broken = true;  // the peer is gone: stop the reader, drop the rest
        shutdown(from_, SHUT_RD);
      }
      in_flight -= chunk.data.size();
    }
    shutdown(to_, SHUT_WR);
  }

 private:
  bool WriteAll(const std::vector<char>& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = write(to_, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void Push(Chunk chunk) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return queued_ < kMaxQueued; });
    queued_ += chunk.data.size();
    queue_.push_back(std::move(chunk));
    ready_.notify_one();
  }

  Chunk Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty(); });
    Chunk chunk = std::move(queue_.front());
    queue_.pop_front();
    queued_ -= chunk.data.size();
    room_.notify_one();
    return chunk;
  }

  int from_, to_;
  bool up_;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<Chunk> queue_;
  size_t queued_ = 0;
};

// Both sockets close when the last of the four threads lets go.
struct Connection {
  Connection(int client_fd, int server_fd)
      : client(client_fd),
        server(server_fd),
        up(client_fd, server_fd, true),
        down(server_fd, client_fd, false) {}
  ~Connection() {
    close(client);
    close(server);
  }
  int client, server;
  Direction up, down;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: delay-proxy PORT TARGET_PORT RTT_MS [COUNTS_FILE]\n");
    return 2;
  }
  int port = std::atoi(argv[1]), target = std::atoi(argv[2]);
  half_rtt = std::chrono::microseconds(std::atol(argv[3]) * 500);
  std::signal(SIGPIPE, SIG_IGN);
  if (argc > 4) {
    counts_fd = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (counts_fd < 0) {
      std::perror(argv[4]);
      return 1;
    }
    Publish();
  }
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address = Loopback(port);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      listen(listener, 16)) {
    std::perror("delay-proxy: listen");
    return 1;
  }
  for (;;) {
    int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = Loopback(target);
    if (connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to)) {
      close(client);
      close(server);
      continue;
    }
    NoDelay(client);
    NoDelay(server);
    auto connection = std::make_shared<Connection>(client, server);
    std::thread([connection] { connection->up.Read(); }).detach();
    std::thread([connection] { connection->up.Write(); }).detach();
    std::thread([connection] { connection->down.Read(); }).detach();
    std::thread([connection] { connection->down.Write(); }).detach();
  }
}
