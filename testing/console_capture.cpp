#include "console_capture.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>

namespace qartest {

namespace {

// A temporary file that the C runtime deletes when it is closed.
int openTempFile() {
    wchar_t dir[MAX_PATH];
    wchar_t name[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, dir) || !GetTempFileNameW(dir, L"cap", 0, name)) return -1;
    return _wopen(name, _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_TRUNC, _S_IREAD | _S_IWRITE);
}

}  // namespace

ConsoleCapture::ConsoleCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (Stream* s : {&out_, &err_}) {
        s->file = openTempFile();
        s->saved = _dup(s->fd);
        if (s->file >= 0) _dup2(s->file, s->fd);
    }
}

ConsoleCapture::~ConsoleCapture() { finish(); }

void ConsoleCapture::finish() {
    if (finished_) return;
    finished_ = true;
    std::fflush(stdout);
    std::fflush(stderr);
    for (Stream* s : {&out_, &err_}) {
        if (s->saved >= 0) {
            _dup2(s->saved, s->fd);
            _close(s->saved);
        }
        if (s->file < 0) continue;
        _lseek(s->file, 0, SEEK_SET);
        char buffer[4096];
        int got;
        while ((got = _read(s->file, buffer, sizeof(buffer))) > 0) s->text.append(buffer, static_cast<size_t>(got));
        _close(s->file);
    }
}

const std::string& ConsoleCapture::out() {
    finish();
    return out_.text;
}

const std::string& ConsoleCapture::err() {
    finish();
    return err_.text;
}

}  // namespace qartest
