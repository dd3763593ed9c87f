// A small HTTP/1.1 server on 127.0.0.1 (a port of its own, chosen by the
// system), run on threads of the test process, for tests and benchmarks of
// the HTTP natives. It records every request and answers by path:
//
//   /hello          200, "hello, wbnative"
//   /echo           200, the request's body
//   /large/<n>      200, n bytes of largeBody(n)
//   /headers        200 with "X-Wizbuild-Test: one" and "X-Second: two"
//   /redirect       302 to /hello
//   /early          200 announcing 1000 bytes; sends 100, then closes
//   /stall          nothing for up to 3 s, then closes
//   /noheaders      a bare body without status line or headers, then closes
//   /proxy.pac      a proxy auto-config script: "PROXY 127.0.0.1:3128"
//   anything else   404
//
// Connections stay open between requests (keep-alive) unless a route closes
// them. Every wait is bounded; the destructor stops everything.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wbtest {

struct HttpExchange {
    std::string method;
    std::string target;
    std::string headers;  // the request's header lines, CR LF as received
    std::string body;
};

class LoopbackHttpServer {
public:
    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }
    std::wstring url(const std::wstring& path) const;

    std::vector<HttpExchange> requests();
    // Drops the requests recorded so far and the threads of connections that
    // have ended, so that a long run (a soak) holds only what is still open.
    void forget();
    int connections() const { return connections_; }

    // The bytes of /large/<n>: a pattern no chunk size repeats evenly.
    static std::string largeBody(size_t n);

private:
    void acceptLoop();
    void serve(SOCKET client);
    int receive(SOCKET client, char* buffer, int size);

    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    HANDLE stop_ = nullptr;
    std::thread acceptThread_;
    std::mutex mutex_;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    std::vector<Worker> workers_;
    std::vector<HttpExchange> requests_;
    std::atomic<int> connections_{0};
};

}  // namespace wbtest
