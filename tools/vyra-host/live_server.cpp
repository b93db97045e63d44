#include "live_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "live_files.h"

#if defined(__SANITIZE_THREAD__)
// Debian's cpp-httplib is a library built without ThreadSanitizer: its function-local statics
// are read past their guard inline, where the sanitizer cannot see the guard, and the copies it
// makes through intercepted calls then look like races with our sends of them.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
#endif

namespace vyra::host {

namespace {

using Clock = std::chrono::steady_clock;
using Shared = std::shared_ptr<const std::string>;

void AppendJsonString(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void AppendJsonNumber(std::string& out, double v, int decimals) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char b[64];
  if (decimals >= 0) std::snprintf(b, sizeof b, "%.*f", decimals, v);
  else std::snprintf(b, sizeof b, "%.10g", v);
  out += b;
}

// A number as the device wrote it is passed on as a JSON number; anything else as a string.
void AppendJsonNumberText(std::string& out, const std::string& text) {
  char* end = nullptr;
  const double v = text.empty() ? NAN : std::strtod(text.c_str(), &end);
  if (std::isfinite(v) && end && *end == '\0') {
    AppendJsonNumber(out, v, -1);
  } else {
    AppendJsonString(out, text);
  }
}

std::string SseEvent(const char* type, const std::string& json) {
  std::string e = "event: ";
  e += type;
  e += "\ndata: ";
  e += json;
  e += "\n\n";
  return e;
}

thread_local bool t_reject = false;        // the connection is over the cap
thread_local bool t_writeTimedOut = false;  // the client took no data within the write time-out

// The connection the HTTP thread of a request is serving, with the limits httplib's own socket
// stream does not have: a byte budget and a deadline for the request, and waits that a stop
// wakes at once.
class CappedStream : public httplib::Stream {
 public:
  CappedStream(int sock, int wake, std::chrono::milliseconds writeTimeout)
      : sock_(sock), wake_(wake), writeTimeout_(writeTimeout) {}

  // Waits for the next request's first byte; false on time-out or stop.
  bool WaitRequest(std::chrono::milliseconds idle) {
    if (begin_ < end_) return true;
    return Wait(POLLIN, Clock::now() + idle);
  }
  void BeginRequest(std::size_t budget, Clock::time_point deadline) {
    budget_ = budget;
    deadline_ = deadline;
    exhausted_ = false;
  }
  bool Exhausted() const { return exhausted_; }

  bool is_readable() const override { return begin_ < end_ || Wait(POLLIN, deadline_); }
  bool is_writable() const override { return Wait(POLLOUT, Clock::now() + writeTimeout_); }

  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) {
      exhausted_ = true;
      return 0;  // httplib takes this as the end of the request and answers 400 or 414
    }
    if (begin_ == end_) {
      if (!Wait(POLLIN, deadline_)) return -1;
      ssize_t n = ::recv(sock_, buffer_, sizeof buffer_, 0);
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min({size, end_ - begin_, budget_});
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!Wait(POLLOUT, Clock::now() + writeTimeout_)) {
      t_writeTimedOut = true;
      return -1;
    }
    return ::send(sock_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
  socket_t socket() const override { return sock_; }

  // After a request cut short, what the client still sends is read and dropped for a moment,
  // so that closing does not reset the connection before it has read the answer.
  void Drain(std::chrono::milliseconds span, size_t most) {
    const auto until = Clock::now() + span;
    char sink[4096];
    while (most > 0 && Wait(POLLIN, until)) {
      ssize_t n = ::recv(sock_, sink, sizeof sink, 0);
      if (n <= 0) break;
      most -= std::min(most, static_cast<size_t>(n));
    }
  }

 private:
  bool Wait(short events, Clock::time_point until) const {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return false;
      pollfd fds[2] = {{sock_, events, 0}, {wake_, POLLIN, 0}};
      int r = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1 << 30)));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || (fds[1].revents & POLLIN)) return false;
      return (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
    }
  }
  void Address(bool local, std::string& ip, int& port) const {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ip.clear();
    port = 0;
    if ((local ? getsockname : getpeername)(sock_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
    char host[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&a);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      port = ntohs(in->sin_port);
    } else if (a.ss_family == AF_INET6) {
      auto* in = reinterpret_cast<sockaddr_in6*>(&a);
      inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
      port = ntohs(in->sin6_port);
    }
    ip = host;
  }

  int sock_, wake_;
  std::chrono::milliseconds writeTimeout_;
  size_t budget_ = 0;
  Clock::time_point deadline_{};
  bool exhausted_ = false;
  char buffer_[4096];
  size_t begin_ = 0, end_ = 0;
};


// One thread per open connection, so connections held open never starve the others, up to
// a cap; a connection beyond it is answered 503 on the accepting thread and closed.
class ConnectionQueue : public httplib::TaskQueue {
 public:
  ConnectionQueue(size_t most, std::atomic<int>& threads) : most_(most), count_(threads) {}
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (busy_ < most_) {
        ++busy_;
        jobs_.push_back(std::move(fn));
        if (jobs_.size() > idle_) {
          threads_.emplace_back([this] { Work(); });
          ++count_;
        }
        cv_.notify_one();
        return;
      }
    }
    t_reject = true;
    fn();
    t_reject = false;
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) {
      t.join();
      --count_;
    }
  }

 private:
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      cv_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;
      auto fn = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      fn();
      lock.lock();
      --busy_;
    }
  }

  const size_t most_;
  std::atomic<int>& count_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::list<std::thread> threads_;  // touched by the accepting thread only, and at shutdown
  size_t busy_ = 0, idle_ = 0;
  bool shutdown_ = false;
};

}  // namespace

bool ParseServeAddress(const std::string& text, std::string& address, int& port, std::string& error) {
  std::string portText = text;
  address = "127.0.0.1";
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) {
      error = "expected [IPv6]:PORT";
      return false;
    }
    address = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  char* end = nullptr;
  const long p = portText.empty() ? -1 : std::strtol(portText.c_str(), &end, 10);
  if (address.empty() || p < 0 || p > 65535 || *end != '\0') {
    error = "expected [ADDR:]PORT with a port from 0 to 65535";
    return false;
  }
  port = static_cast<int>(p);
  return true;
}

struct LiveServer::Impl {
  struct Client {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Shared> queue;
    size_t bytes = 0;
    bool dropped = false, closing = false;
  };
  struct Segment {
    int channel;
    double t0, period;
    std::vector<double> values;
  };
  struct Device {
    std::mutex mutex;
    LiveDevice info;
    std::vector<int> decimals;  // by channel number
    std::string state = "streaming";
    bool stateWaiting = false;  // a state event is in events
    std::vector<Segment> pending;
    std::vector<int> open;  // by channel number: its segment in pending, or -1
    std::vector<std::string> events;  // comments, cycles and states since the last flush
    std::deque<std::string> history;  // comments and cycles, for clients that come later
    size_t unflushedKept = 0;         // the last ones of history, still in events
  };

  class Server : public httplib::Server {
   public:
    explicit Server(Impl& impl) : impl_(impl) {}
    // httplib listens with a backlog of 5: a burst of connections would wait for SYN retries.
    bool WidenBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }

   private:
    bool process_and_close_socket(socket_t sock) override {
      if (t_reject) {
        static const char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        {
          std::lock_guard<std::mutex> cl(impl_.clientsMutex);
          ++impl_.rejected;
        }
        impl_.streamsCv.notify_all();
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
      }
      const LiveLimits& l = impl_.limits;
      // A fixed send buffer: the kernel's autotuning would let a client that never reads hold
      // megabytes before its writes stall and it is dropped.
      const int sndbuf = 64 << 10;
      setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
      CappedStream s(sock, impl_.wake, l.write);
      constexpr int kRequestsPerConnection = 100;
      for (int n = 0; n < kRequestsPerConnection && s.WaitRequest(l.idle); ++n) {
        s.BeginRequest(l.requestBytes, Clock::now() + l.request);
        bool closed = false;
        const bool ok = process_request(s, n + 1 == kRequestsPerConnection, closed, [](httplib::Request&) {});
        if (!ok || closed || s.Exhausted()) break;
      }
      if (s.Exhausted()) {
        ::shutdown(sock, SHUT_WR);
        s.Drain(std::chrono::milliseconds(1000), 4 << 20);
      }
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
      return true;
    }
    Impl& impl_;
  };

  explicit Impl(LiveLimits l) : limits(l) {}

  Device* Find(const std::string& serial) {
    std::shared_lock<std::shared_mutex> lock(devicesMutex);
    for (auto& d : devices) {
      if (d->info.serial == serial) return d.get();
    }
    return nullptr;
  }

  std::string DevicesJson() {
    std::string j = "[";
    std::shared_lock<std::shared_mutex> lock(devicesMutex);
    for (size_t i = 0; i < devices.size(); ++i) {
      Device& d = *devices[i];
      std::lock_guard<std::mutex> dl(d.mutex);
      if (i) j += ',';
      j += "{\"serial\":";
      AppendJsonString(j, d.info.serial);
      j += ",\"name\":";
      AppendJsonString(j, d.info.name);
      j += ",\"firmware\":";
      AppendJsonString(j, d.info.firmware);
      j += ",\"state\":";
      AppendJsonString(j, d.state);
      j += ",\"channels\":[";
      for (size_t k = 0; k < d.info.channels.size(); ++k) {
        const LiveChannel& c = d.info.channels[k];
        if (k) j += ',';
        j += "{\"number\":" + std::to_string(c.number) + ",\"name\":";
        AppendJsonString(j, c.name);
        j += ",\"unit\":";
        AppendJsonString(j, c.unit);
        j += ",\"min\":";
        AppendJsonNumber(j, c.min, c.decimals);
        j += ",\"max\":";
        AppendJsonNumber(j, c.max, c.decimals);
        j += ",\"period_us\":" + std::to_string(c.periodUs) + "}";
      }
      j += "]}";
    }
    j += "]";
    return j;
  }

  // Moves every device's batch into each client's queue. Holds clientsMutex throughout, so a
  // client that joins sees each event either in its replayed history or in a flush, never both.
  void Flush() {
    std::lock_guard<std::mutex> cl(clientsMutex);
    std::vector<Device*> list;
    {
      std::shared_lock<std::shared_mutex> lock(devicesMutex);
      for (auto& d : devices) list.push_back(d.get());
    }
    for (Device* d : list) {
      std::vector<Segment> segments;
      std::vector<std::string> events;
      std::vector<int> decimals;
      std::string serial;
      {
        std::lock_guard<std::mutex> dl(d->mutex);
        if (d->pending.empty() && d->events.empty()) continue;
        segments.swap(d->pending);
        events.swap(d->events);
        std::fill(d->open.begin(), d->open.end(), -1);
        d->unflushedKept = 0;
        d->stateWaiting = false;
        decimals = d->decimals;
        serial = d->info.serial;
      }
      std::string text;
      std::string key;
      AppendJsonString(key, serial);
      for (const Segment& s : segments) {
        std::string j = "{\"serial\":" + key + ",\"channel\":" + std::to_string(s.channel) + ",\"t0\":";
        AppendJsonNumber(j, s.t0, 6);
        j += ",\"period_s\":";
        AppendJsonNumber(j, s.period, -1);
        j += ",\"values\":[";
        const int dec = s.channel < static_cast<int>(decimals.size()) ? decimals[static_cast<size_t>(s.channel)] : -1;
        for (size_t i = 0; i < s.values.size(); ++i) {
          if (i) j += ',';
          AppendJsonNumber(j, s.values[i], dec);
        }
        j += "]}";
        text += SseEvent("samples", j);
      }
      for (const std::string& e : events) text += e;
      Distribute(std::make_shared<const std::string>(std::move(text)));
    }
  }

  // clientsMutex held.
  void Distribute(const Shared& text) {
    for (auto it = clients.begin(); it != clients.end();) {
      Client& c = **it;
      bool drop = false;
      {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.dropped) {
          // dropped on its own thread, which counted it; the releaser unlists it
        } else if (c.bytes + text->size() > limits.clientQueueBytes) {
          c.dropped = drop = true;
          c.queue.clear();
          c.bytes = 0;
        } else {
          c.queue.push_back(text);
          c.bytes += text->size();
        }
      }
      c.cv.notify_one();
      if (drop) {
        ++dropped;
        streamsCv.notify_all();
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Event(const std::string& serial, const char* type, const std::string& json, bool keep) {
    Device* d = Find(serial);
    if (!d) return;
    std::string e = SseEvent(type, json);
    std::lock_guard<std::mutex> lock(d->mutex);
    if (keep) {
      d->history.push_back(e);
      ++d->unflushedKept;
      if (d->history.size() > limits.history) d->history.pop_front();
    }
    d->events.push_back(std::move(e));
  }

  void HandleEvents(const httplib::Request&, httplib::Response& res) {
    auto client = std::make_shared<Client>();
    {
      std::lock_guard<std::mutex> cl(clientsMutex);
      if (stopping) {
        res.status = 503;
        return;
      }
      // What a late page needs to be whole: each device's state, its comments and cycles.
      std::string text = "retry: 2000\n\n";
      {
        std::shared_lock<std::shared_mutex> lock(devicesMutex);
        for (auto& d : devices) {
          std::lock_guard<std::mutex> dl(d->mutex);
          if (!d->stateWaiting) {
            std::string j = "{\"serial\":";
            AppendJsonString(j, d->info.serial);
            j += ",\"state\":";
            AppendJsonString(j, d->state);
            j += "}";
            text += SseEvent("state", j);
          }
          // Events waiting for the flush are in history already; the flush brings them.
          const size_t waiting = std::min(d->unflushedKept, d->history.size());
          for (size_t i = 0; i + waiting < d->history.size(); ++i) text += d->history[i];
        }
      }
      client->bytes = text.size();
      client->queue.push_back(std::make_shared<const std::string>(std::move(text)));
      clients.push_back(client);
      ++streams;  // the releaser below counts it off, whatever becomes of the response
    }
    streamsCv.notify_all();
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client](size_t, httplib::DataSink& sink) {
          std::deque<Shared> batch;
          bool closing = false;
          {
            std::unique_lock<std::mutex> lock(client->mutex);
            client->cv.wait_for(lock, limits.heartbeat,
                                [&] { return !client->queue.empty() || client->dropped || client->closing; });
            if (client->dropped) return false;
            batch.swap(client->queue);
            client->bytes = 0;
            closing = client->closing;
          }
          t_writeTimedOut = false;
          auto failed = [&] {
            bool first = false;
            if (t_writeTimedOut) {
              std::lock_guard<std::mutex> lock(client->mutex);
              first = !client->dropped;
              client->dropped = true;
            }
            if (first) {
              ++dropped;
              streamsCv.notify_all();
            }
            return false;
          };
          if (batch.empty() && !closing) return sink.write(":\n\n", 3) || failed();  // a dead peer shows on writing
          std::string text;
          for (const Shared& s : batch) text += *s;
          if (!text.empty() && !sink.write(text.data(), text.size())) return failed();
          if (closing) sink.done();
          return true;
        },
        [this, client](bool) {
          {
            std::lock_guard<std::mutex> cl(clientsMutex);
            clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
            --streams;
          }
          streamsCv.notify_all();
        });
  }

  void Routes() {
    server.set_payload_max_length(limits.requestBytes);
    server.set_keep_alive_max_count(100);
    server.set_read_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.request).count() + 1);
    server.set_write_timeout(std::chrono::duration_cast<std::chrono::seconds>(limits.write).count() + 1);
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'"}});
    // Read-only: nothing but GET (and the HEAD httplib derives from it).
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::to_string(res.status) + "\n", "text/plain");
    });
    for (size_t i = 0; i < kLiveFileCount; ++i) {
      const EmbeddedFile& f = kLiveFiles[i];
      // Exact paths only: the pattern is the file's path with its dots escaped.
      std::string pattern;
      for (const char* p = f.path; *p; ++p) {
        if (*p == '.') pattern += '\\';
        pattern += *p;
      }
      server.Get(pattern, [&f](const httplib::Request&, httplib::Response& res) {
        res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.type);
      });
    }
    server.Get("/api/devices", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(DevicesJson(), "application/json");
    });
    server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) { HandleEvents(req, res); });
  }

  void FlushLoop() {
    std::unique_lock<std::mutex> lock(stateMutex);
    while (!flusherStop) {
      stateCv.wait_for(lock, limits.flush, [&] { return flusherStop; });
      lock.unlock();
      Flush();
      lock.lock();
    }
  }

  const LiveLimits limits;
  Server server{*this};
  std::string address;
  int port = 0;
  int wake = -1;
  std::thread listener, flusher;

  std::mutex stateMutex;  // listening, flusherStop
  std::condition_variable stateCv;
  bool listening = false, flusherStop = false, started = false;

  std::shared_mutex devicesMutex;
  std::vector<std::unique_ptr<Device>> devices;

  std::mutex clientsMutex;  // clients, streams, stopping
  std::condition_variable streamsCv;
  std::vector<std::shared_ptr<Client>> clients;
  size_t streams = 0;
  bool stopping = false;
  std::atomic<size_t> dropped{0}, rejected{0};
  std::atomic<int> threads{0};  // connection threads
};

LiveServer::LiveServer(LiveLimits limits) : impl_(std::make_unique<Impl>(limits)) {}

LiveServer::~LiveServer() { Stop(); }

bool LiveServer::Start(const std::string& address, int port, std::string& error) {
  Impl& s = *impl_;
  if (s.started) {
    error = "already started";
    return false;
  }
  s.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.wake < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  s.Routes();
  s.server.new_task_queue = [&s]() -> httplib::TaskQueue* {
    {
      // httplib asks for its queue once it is running, so stop() from here on is heard.
      std::lock_guard<std::mutex> lock(s.stateMutex);
      s.listening = true;
    }
    s.stateCv.notify_all();
    return new ConnectionQueue(static_cast<size_t>(std::max(1, s.limits.maxConnections)), s.threads);
  };
  errno = 0;
  int bound = port;
  if (port == 0) {
    bound = s.server.bind_to_any_port(address);
  } else if (!s.server.bind_to_port(address, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + (errno ? std::string(": ") + std::strerror(errno) : "");
    close(s.wake);
    s.wake = -1;
    return false;
  }
  s.server.WidenBacklog();
  s.address = address;
  s.port = bound;
  s.started = true;
  s.listener = std::thread([&s] { s.server.listen_after_bind(); });
  {
    std::unique_lock<std::mutex> lock(s.stateMutex);
    s.stateCv.wait(lock, [&] { return s.listening; });
  }
  s.flusher = std::thread([&s] { s.FlushLoop(); });
  return true;
}

void LiveServer::Stop() {
  Impl& s = *impl_;
  if (!s.started) return;
  s.started = false;
  {
    std::lock_guard<std::mutex> lock(s.stateMutex);
    s.flusherStop = true;
  }
  s.stateCv.notify_all();
  s.flusher.join();
  s.Flush();  // what came after the flusher's last round
  {
    std::unique_lock<std::mutex> cl(s.clientsMutex);
    s.stopping = true;
    for (auto& c : s.clients) {
      {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->closing = true;
      }
      c->cv.notify_one();
    }
    s.streamsCv.wait_for(cl, s.limits.drain, [&] { return s.streams == 0; });
  }
  const uint64_t one = 1;
  if (::write(s.wake, &one, sizeof one) < 0) {
    // The waits still end at their time-outs.
  }
  s.server.stop();
  s.listener.join();
  close(s.wake);
  s.wake = -1;
}

std::string LiveServer::Url() const {
  const std::string& a = impl_->address;
  const bool v6 = a.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + a + "]" : a) + ":" + std::to_string(impl_->port) + "/";
}

int LiveServer::Port() const { return impl_->port; }

int LiveServer::Threads() const { return impl_->started ? impl_->threads.load() + 2 : 0; }  // + listener, flusher

void LiveServer::AddDevice(const LiveDevice& device) {
  Impl& s = *impl_;
  std::vector<int> decimals;
  for (const auto& c : device.channels) {
    if (c.number >= 0 && c.number < 4096) {
      if (decimals.size() <= static_cast<size_t>(c.number)) decimals.resize(static_cast<size_t>(c.number) + 1, -1);
      decimals[static_cast<size_t>(c.number)] = c.decimals;
    }
  }
  if (Impl::Device* d = s.Find(device.serial)) {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->info = device;
    d->decimals = decimals;
    return;
  }
  auto d = std::make_unique<Impl::Device>();
  d->info = device;
  d->decimals = decimals;
  std::unique_lock<std::shared_mutex> lock(s.devicesMutex);
  s.devices.push_back(std::move(d));
}

void LiveServer::Samples(const std::string& serial, int channel, double t0, double period,
                         const std::vector<double>& values) {
  if (values.empty() || channel < 0 || channel >= 4096) return;
  Impl::Device* d = impl_->Find(serial);
  if (!d) return;
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->open.size() <= static_cast<size_t>(channel)) d->open.resize(static_cast<size_t>(channel) + 1, -1);
  int& open = d->open[static_cast<size_t>(channel)];
  if (open >= 0) {
    Impl::Segment& s = d->pending[static_cast<size_t>(open)];
    const double next = s.t0 + static_cast<double>(s.values.size()) * s.period;
    if (s.period == period && std::abs(t0 - next) < period / 2) {
      s.values.insert(s.values.end(), values.begin(), values.end());
      return;
    }
  }
  open = static_cast<int>(d->pending.size());
  d->pending.push_back({channel, t0, period, values});
}

void LiveServer::Comment(const std::string& serial, double t, int channel, const std::string& text) {
  std::string j = "{\"serial\":";
  AppendJsonString(j, serial);
  j += ",\"t\":";
  AppendJsonNumber(j, t, 6);
  j += ",\"channel\":" + (channel > 0 ? std::to_string(channel) : std::string("null")) + ",\"text\":";
  AppendJsonString(j, text);
  j += "}";
  impl_->Event(serial, "comment", j, true);
}

void LiveServer::Cycle(const std::string& serial, int index, double t, const std::string& systolic,
                       const std::string& diastolic, const std::string& error) {
  std::string j = "{\"serial\":";
  AppendJsonString(j, serial);
  j += ",\"index\":" + std::to_string(index) + ",\"t\":";
  AppendJsonNumber(j, t, 6);
  if (error.empty()) {
    j += ",\"systolic\":";
    AppendJsonNumberText(j, systolic);
    j += ",\"diastolic\":";
    AppendJsonNumberText(j, diastolic);
  } else {
    j += ",\"error\":";
    AppendJsonString(j, error);
  }
  j += "}";
  impl_->Event(serial, "cycle", j, true);
}

void LiveServer::State(const std::string& serial, const std::string& state) {
  Impl::Device* d = impl_->Find(serial);
  if (!d) return;
  std::string j = "{\"serial\":";
  AppendJsonString(j, serial);
  j += ",\"state\":";
  AppendJsonString(j, state);
  j += "}";
  std::string e = SseEvent("state", j);
  // One lock: a client joining sees the new state either in its snapshot or as this event.
  std::lock_guard<std::mutex> lock(d->mutex);
  d->state = state;
  d->stateWaiting = true;
  d->events.push_back(std::move(e));
}

LiveServer::Counts LiveServer::GetCounts() const {
  std::lock_guard<std::mutex> cl(impl_->clientsMutex);
  return {impl_->streams, impl_->dropped.load(), impl_->rejected.load()};
}

bool LiveServer::WaitForCounts(const std::function<bool(const Counts&)>& done, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> cl(impl_->clientsMutex);
  return impl_->streamsCv.wait_for(cl, timeout, [&] {
    return done(Counts{impl_->streams, impl_->dropped.load(), impl_->rejected.load()});
  });
}

}  // namespace vyra::host
