// Captures what the process writes through the C runtime's standard output
// and error streams (where natives and routines print their diagnostic lines)
// while a ConsoleCapture is alive.
#pragma once

#include <string>

namespace qartest {

class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Ends the capture (once) and returns the bytes written, CR LF as written.
    const std::string& out();
    const std::string& err();

private:
    void finish();
    struct Stream {
        int fd;
        int saved = -1;
        int file = -1;
        std::string text;
    };
    Stream out_{1, -1, -1, {}};
    Stream err_{2, -1, -1, {}};
    bool finished_ = false;
};

}  // namespace qartest
