#include "loopback_http_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace wbtest {

namespace {

constexpr char kPacScript[] =
    "function FindProxyForURL(url, host) {\n"
    "  if (host == \"direct.example\") return \"DIRECT\";\n"
    "  return \"PROXY 127.0.0.1:3128\";\n"
    "}\n";

bool sendAll(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        int chunk = static_cast<int>(std::min<size_t>(size, 1 << 16));
        int sent = send(s, data, chunk, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendAll(SOCKET s, const std::string& text) { return sendAll(s, text.data(), text.size()); }

std::string response(const std::string& status, const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" +
           body;
}

// Case-insensitive value of a request header, empty when absent.
std::string headerValue(const std::string& headers, const std::string& name) {
    std::string lower = headers, key = "\r\n" + name + ":";
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(tolower(c)); });
    std::transform(key.begin(), key.end(), key.begin(), [](char c) { return static_cast<char>(tolower(c)); });
    size_t at = ("\r\n" + lower).find(key);
    if (at == std::string::npos) return "";
    size_t begin = at + key.size() - 2, end = headers.find("\r\n", begin);
    std::string value = headers.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

}  // namespace

// recv that gives up when the server stops or after 10 s without data (a
// client may keep its connection open in a pool for as long as it likes).
int LoopbackHttpServer::receive(SOCKET client, char* buffer, int size) {
    for (int tick = 0; tick < 200; ++tick) {
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return 0;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait{0, 50 * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0) return 0;
        if (ready == 1) return recv(client, buffer, size, 0);
    }
    return 0;
}

std::string LoopbackHttpServer::largeBody(size_t n) {
    std::string body(n, '\0');
    for (size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 31 + (i >> 9)) & 0xff);
    return body;
}

LoopbackHttpServer::LoopbackHttpServer() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET || !stop_) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    if (stop_) SetEvent(stop_);
    if (acceptThread_.joinable()) acceptThread_.join();
    for (Worker& w : workers_) w.thread.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (stop_) CloseHandle(stop_);
    WSACleanup();
}

std::wstring LoopbackHttpServer::url(const std::wstring& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
}

std::vector<HttpExchange> LoopbackHttpServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackHttpServer::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HttpExchange>().swap(requests_);
    std::vector<Worker> open;
    for (Worker& w : workers_) {
        if (*w.ended) w.thread.join();
        else open.push_back(std::move(w));
    }
    workers_ = std::move(open);
}

void LoopbackHttpServer::acceptLoop() {
    while (WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval tick{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &tick) != 1) continue;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        auto ended = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([this, client, ended] {
                                serve(client);
                                *ended = true;
                            }),
                            ended});
    }
}

void LoopbackHttpServer::serve(SOCKET client) {
    std::string pending;
    char chunk[16384];
    for (;;) {
        // One request: the head up to the blank line, then Content-Length bytes.
        size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            int got = receive(client, chunk, sizeof(chunk));
            if (got <= 0) goto done;
            pending.append(chunk, static_cast<size_t>(got));
        }
        HttpExchange exchange;
        std::string head = pending.substr(0, headEnd + 2);
        size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        exchange.headers = head.substr(lineEnd + 2);
        size_t sp1 = requestLine.find(' '), sp2 = requestLine.rfind(' ');
        exchange.method = requestLine.substr(0, sp1);
        exchange.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t length = std::strtoul(headerValue(exchange.headers, "Content-Length").c_str(), nullptr, 10);
        pending.erase(0, headEnd + 4);
        while (pending.size() < length) {
            int got = receive(client, chunk, sizeof(chunk));
            if (got <= 0) goto done;
            pending.append(chunk, static_cast<size_t>(got));
        }
        exchange.body = pending.substr(0, length);
        pending.erase(0, length);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(exchange);
        }

        const std::string& path = exchange.target;
        if (path == "/hello") {
            if (!sendAll(client, response("200 OK", "hello, wbnative"))) break;
        } else if (path == "/echo") {
            if (!sendAll(client, response("200 OK", exchange.body, "Content-Type: application/octet-stream\r\n")))
                break;
        } else if (path.rfind("/large/", 0) == 0) {
            size_t n = std::strtoul(path.c_str() + 7, nullptr, 10);
            std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
            static const std::string body = largeBody(16 << 20);
            if (n > body.size() || !sendAll(client, head) || !sendAll(client, body.data(), n)) break;
        } else if (path == "/headers") {
            if (!sendAll(client, response("200 OK", "with headers", "X-Wizbuild-Test: one\r\nX-Second: two\r\n")))
                break;
        } else if (path == "/redirect") {
            if (!sendAll(client, response("302 Found", "moved", "Location: /hello\r\n"))) break;
        } else if (path == "/early") {
            sendAll(client, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'e'));
            break;
        } else if (path == "/stall") {
            WaitForSingleObject(stop_, 3000);
            break;
        } else if (path == "/noheaders") {
            sendAll(client, "a bare body\n");
            break;
        } else if (path == "/proxy.pac") {
            if (!sendAll(client, response("200 OK", kPacScript, "Content-Type: application/x-ns-proxy-autoconfig\r\n")))
                break;
        } else {
            if (!sendAll(client, response("404 Not Found", "not found"))) break;
        }
    }
done:
    shutdown(client, SD_SEND);
    closesocket(client);
}

}  // namespace wbtest
