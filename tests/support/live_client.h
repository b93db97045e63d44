#pragma once
// A client of the live view for tests: raw requests, an event-stream reader, and the fields of
// its flat JSON objects.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vyra::test {

// A connected socket to 127.0.0.1:port; rcvbuf > 0 shrinks its receive buffer first.
inline int Connect(int port, int rcvbuf = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const std::string& data) {
  for (size_t at = 0; at < data.size();) {
    ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Everything until the peer closes or the time is up.
inline std::string ReadAll(int fd, std::chrono::milliseconds limit, bool* closed = nullptr) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + limit;
  if (closed) *closed = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return out;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      return out;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

// One request on its own connection; the status of the answer, -1 for none.
inline int RawStatus(int port, const std::string& request, std::string* answer = nullptr) {
  int fd = Connect(port);
  if (fd < 0) return -1;
  SendAll(fd, request);  // the server may answer and close before all of it is sent
  std::string r = ReadAll(fd, std::chrono::seconds(10));
  close(fd);
  if (answer) *answer = r;
  if (r.rfind("HTTP/1.1 ", 0) != 0 || r.size() < 12) return -1;
  return std::atoi(r.c_str() + 9);
}

struct SseEvent {
  std::string type, data;
};

// The events in an event stream's text (the body, chunked framing already removed).
inline std::vector<SseEvent> ParseSse(const std::string& text) {
  std::vector<SseEvent> events;
  SseEvent e;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) {
      if (!e.data.empty()) events.push_back(e);
      e = {};
    } else if (line.rfind("event: ", 0) == 0) {
      e.type = line.substr(7);
    } else if (line.rfind("data: ", 0) == 0) {
      e.data += line.substr(6);
    }
  }
  return events;
}

// The value of `key` in a flat JSON object: a string without its quotes (escapes kept), a
// number or an array as written; empty when absent.
inline std::string Field(const std::string& json, const std::string& key) {
  // Scanned by hand: std::regex recurses once per character and overflows the stack on a
  // long array of samples.
  const std::string name = "\"" + key + "\":";
  const size_t at = json.find(name);
  if (at == std::string::npos) return {};
  size_t i = at + name.size();
  if (i >= json.size()) return {};
  if (json[i] == '"') {
    size_t j = i + 1;
    while (j < json.size() && json[j] != '"') j += json[j] == '\\' ? 2 : 1;
    return j < json.size() ? json.substr(i + 1, j - i - 1) : std::string();
  }
  if (json[i] == '[') {
    const size_t close = json.find(']', i);
    return close == std::string::npos ? std::string() : json.substr(i, close - i + 1);
  }
  const size_t end = json.find_first_of(",}]", i);
  return end == i ? std::string() : json.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

// The numbers of a JSON array as written, "[1.0,2.5]" -> {"1.0", "2.5"}.
inline std::vector<std::string> Items(const std::string& array) {
  std::vector<std::string> out;
  if (array.size() < 2) return out;
  std::string inner = array.substr(1, array.size() - 2);
  size_t at = 0;
  while (at <= inner.size() && !inner.empty()) {
    size_t comma = inner.find(',', at);
    out.push_back(inner.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

// An event stream read on its own thread until the server ends it.
struct EventReader {
  explicit EventReader(int port) : client("127.0.0.1", port) {
    client.set_read_timeout(30, 0);
    thread = std::thread([this] {
      client.Get("/api/events", [this](const char* d, size_t n) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          text.append(d, n);
        }
        cv.notify_all();
        return true;
      });
    });
  }
  ~EventReader() {
    if (thread.joinable()) thread.join();
  }
  bool WaitFor(const std::string& what, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, limit, [&] { return text.find(what) != std::string::npos; });
  }
  std::vector<SseEvent> Finish() {
    thread.join();
    return ParseSse(text);
  }
  httplib::Client client;
  std::mutex mutex;
  std::condition_variable cv;
  std::string text;
  std::thread thread;
};

#ifdef VYRA_SOURCE_DIR
// The page check in a real browser (tests/integration/live_page_check.py).
inline bool HaveBrowser() {
  static const bool have = access("/usr/bin/chromium", X_OK) == 0 && access("/usr/bin/chromedriver", X_OK) == 0 &&
                           std::system("/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1") == 0;
  return have;
}
inline int RunPageCheck(const std::string& url, const std::string& channels, int devices, double cycleWithin,
                        const std::string& screenshot = {}) {
  std::string command = "/usr/bin/python3 " VYRA_SOURCE_DIR "/tests/integration/live_page_check.py '" + url +
                        "' --channels '" + channels + "' --devices " + std::to_string(devices) + " --cycle-within " +
                        std::to_string(cycleWithin);
  if (!screenshot.empty()) command += " --screenshot '" + screenshot + "'";
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
}
#endif

}  // namespace vyra::test
