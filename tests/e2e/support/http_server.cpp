// A small static HTTP/1.1 server on loopback for the pages the program under test loads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "e2e/support/e2e_support.hpp"

namespace tarno_vesk::e2e {
namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
// Browsers open speculative connections that may never send anything; they must not
// keep a connection thread alive for long.
constexpr auto kIdleTimeout = std::chrono::seconds(20);

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string status_text(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::string content_type_for(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".html" || ext == ".htm") return "text/html; charset=utf-8";
    if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".json") return "application/json";
    if (ext == ".png") return "image/png";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".ico") return "image/x-icon";
    if (ext == ".txt") return "text/plain; charset=utf-8";
    if (ext == ".woff2") return "font/woff2";
    return "application/octet-stream";
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percent_decode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hex_value(text[i + 1]);
        int lo = hex_value(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

// Waits until `fd` is ready for `events`; false on timeout or shutdown.
bool wait_ready(int fd, short events, int stop_fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
        int r = ::poll(fds, 2, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool send_all(int fd, const std::string& data, int stop_fd,
              std::chrono::steady_clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(fd, POLLOUT, stop_fd, deadline)) return false;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

HttpServer::HttpServer(std::filesystem::path root) : root_(std::move(root)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
        int err = errno;
        ::close(listen_fd_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 64) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int err = errno;
        ::close(listen_fd_);
        ::close(stop_fd_);
        throw std::system_error(err, std::generic_category(), "HttpServer bind/listen");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

HttpServer::~HttpServer() {
    std::uint64_t one = 1;
    // Level-triggered: the eventfd stays readable, so every thread sees the stop.
    [[maybe_unused]] auto n = ::write(stop_fd_, &one, sizeof one);
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    for (auto& t : connections) {
        if (t.joinable()) t.join();
    }
    ::close(listen_fd_);
    ::close(stop_fd_);
}

std::string HttpServer::url(const std::string& path) const {
    std::string p = path.empty() || path.front() != '/' ? "/" + path : path;
    return "http://127.0.0.1:" + std::to_string(port_) + p;
}

void HttpServer::set_handler(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[path] = std::move(handler);
}

void HttpServer::set_content(const std::string& path, std::string content_type, std::string body) {
    set_handler(path, [type = std::move(content_type), body = std::move(body)](const HttpRequest&) {
        return HttpResponse{200, type, body, {}};
    });
}

std::vector<std::string> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpServer::request_count(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(requests_.begin(), requests_.end(), path));
}

void HttpServer::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        try {
            std::lock_guard lock(mutex_);
            connections_.emplace_back([this, fd] { serve(fd); });
        } catch (...) {
            ::close(fd);
        }
    }
}

void HttpServer::serve(int raw_fd) {
    Fd fd(raw_fd);
    try {
        const auto deadline = std::chrono::steady_clock::now() + kIdleTimeout;
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (head.size() > kMaxRequestHead) return;
            ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                head.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!wait_ready(fd.get(), POLLIN, stop_fd_, deadline)) return;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return;  // closed before a full request arrived
            }
        }

        HttpResponse response;
        HttpRequest request;
        const std::string line = head.substr(0, head.find("\r\n"));
        const auto sp1 = line.find(' ');
        const auto sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
        if (sp2 == std::string::npos) {
            response = {400, "text/plain; charset=utf-8", "bad request\n", {}};
        } else {
            request.method = line.substr(0, sp1);
            std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            auto q = target.find('?');
            if (q != std::string::npos) {
                request.query = target.substr(q + 1);
                target.erase(q);
            }
            auto decoded = percent_decode(target);
            request.path = decoded.value_or(target);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request.path);
            }
            if (!decoded) {
                response = {400, "text/plain; charset=utf-8", "bad request\n", {}};
            } else if (request.method != "GET" && request.method != "HEAD") {
                response = {405, "text/plain; charset=utf-8", "method not allowed\n", {}};
            } else {
                response = respond(request);
            }
        }

        std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                          status_text(response.status) + "\r\n";
        out += "Content-Type: " + response.content_type + "\r\n";
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
        // Reload tests need every load to reach the server.
        out += "Cache-Control: no-store\r\n";
        for (const auto& [name, value] : response.headers)
            out += name + ": " + value + "\r\n";
        out += "Connection: close\r\n\r\n";
        if (request.method != "HEAD") out += response.body;
        if (send_all(fd.get(), out, stop_fd_, deadline)) ::shutdown(fd.get(), SHUT_WR);
    } catch (...) {
        // A broken connection must not take the test runner down.
    }
}

HttpResponse HttpServer::respond(const HttpRequest& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        auto it = handlers_.find(request.path);
        if (it != handlers_.end()) handler = it->second;
    }
    if (handler) {
        try {
            return handler(request);
        } catch (const std::exception& e) {
            return {500, "text/plain; charset=utf-8", std::string(e.what()) + "\n", {}};
        } catch (...) {
            return {500, "text/plain; charset=utf-8", "handler failed\n", {}};
        }
    }

    const HttpResponse not_found{404, "text/plain; charset=utf-8", "not found\n", {}};
    if (request.path.empty() || request.path.front() != '/') return not_found;
    std::filesystem::path relative = std::filesystem::path(request.path).relative_path();
    for (const auto& part : relative) {
        if (part == "..") return not_found;
    }
    std::filesystem::path file = root_ / relative;
    std::error_code ec;
    if (request.path.back() == '/' || std::filesystem::is_directory(file, ec)) {
        file /= "index.html";
    }
    if (!std::filesystem::is_regular_file(file, ec)) return not_found;
    auto body = read_text_file(file);
    if (!body) return not_found;
    return {200, content_type_for(file), std::move(*body), {}};
}

}  // namespace tarno_vesk::e2e
