// What wbnative's WinInet read0 costs on a download, as a ratio against a raw
// InternetReadFile loop over the same body from the same server in the same
// run: a large body from a loopback HTTP server inside this process, read in
// chunks of 8 KiB and of 64 KiB.
//
// The natives run against a minimal JNI environment that does what a VM does
// for the calls they make here (strings, array length, SetByteArrayRegion as
// a copy), so that the figures are read0's own, not a test VM's.
// Usage: wininet_bench [runs [megabytes]]; prints medians and ratios, and
// exits 1 if a download did not arrive whole.
#include <jni.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "loopback_http_server.h"

namespace {

using bench::median;
using bench::now;

// The minimal VM: a jstring points at a Text, a jbyteArray at a Bytes.
struct Text {
    std::u16string chars;
};
struct Bytes {
    std::vector<jbyte> data;
};

jsize JNICALL getStringLength(JNIEnv*, jstring s) {
    return static_cast<jsize>(reinterpret_cast<Text*>(s)->chars.size());
}
const jchar* JNICALL getStringChars(JNIEnv*, jstring s, jboolean* isCopy) {
    if (isCopy) *isCopy = JNI_FALSE;
    return reinterpret_cast<const jchar*>(reinterpret_cast<Text*>(s)->chars.data());
}
void JNICALL releaseStringChars(JNIEnv*, jstring, const jchar*) {}
jsize JNICALL getArrayLength(JNIEnv*, jarray a) {
    return static_cast<jsize>(reinterpret_cast<Bytes*>(a)->data.size());
}
void JNICALL setByteArrayRegion(JNIEnv*, jbyteArray a, jsize start, jsize length, const jbyte* from) {
    memcpy(reinterpret_cast<Bytes*>(a)->data.data() + start, from, static_cast<size_t>(length));
}

struct Natives {
    jboolean(JNICALL* init0)(JNIEnv*, jclass);
    jlong(JNICALL* connect0)(JNIEnv*, jclass, jstring, jint, jstring, jstring, jint, jstring, jint, jint);
    void(JNICALL* openRequest0)(JNIEnv*, jclass, jlong, jstring, jstring, jint, jint);
    jint(JNICALL* sendRequest0)(JNIEnv*, jclass, jlong, jstring, jbyteArray);
    jint(JNICALL* read0)(JNIEnv*, jclass, jlong, jbyteArray, jint, jint);
    void(JNICALL* destroy0)(JNIEnv*, jclass, jlong);
};

// The export a VM binds: decorated with the arguments' size on 32-bit.
template <typename F>
bool bind(HMODULE dll, F& fn, const char* method, int argBytes) {
    std::string name = std::string("Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_") + method;
    if (sizeof(void*) == 4) name = "_" + name + "@" + std::to_string(argBytes);
    fn = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name.c_str())));
    if (!fn) fprintf(stderr, "wbnative does not export %s\n", name.c_str());
    return fn != nullptr;
}

const DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// Seconds to read the whole body with InternetReadFile in chunks; bytes gets
// the number of bytes read (0 when a step failed).
double rawDownload(int port, const std::wstring& path, DWORD chunk, size_t* bytes) {
    *bytes = 0;
    HINTERNET session = InternetOpenW(L"wininet bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection = session ? InternetConnectW(session, L"127.0.0.1", static_cast<INTERNET_PORT>(port),
                                                      nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0)
                                   : nullptr;
    LPCWSTR accept[] = {L"*/*", nullptr};
    HINTERNET request =
        connection ? HttpOpenRequestW(connection, L"GET", path.c_str(), nullptr, nullptr, accept, kFlags, 0) : nullptr;
    double elapsed = 0;
    if (request && HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
        std::vector<char> buffer(chunk);
        double start = now();
        DWORD count = 0;
        while (InternetReadFile(request, buffer.data(), chunk, &count) && count > 0) *bytes += count;
        elapsed = now() - start;
    }
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
    return elapsed;
}

// The same through the natives: connect0, openRequest0, sendRequest0, then
// read0 into a Java array until it reports the end.
double nativeDownload(const Natives& n, JNIEnv* env, int port, const std::wstring& path, jint chunk, size_t* bytes) {
    *bytes = 0;
    Text agent{u"wininet bench"}, server{u"127.0.0.1"}, verb{u"GET"};
    Text object{std::u16string(path.begin(), path.end())};
    auto str = [](Text& t) { return reinterpret_cast<jstring>(&t); };
    jlong h = n.connect0(env, nullptr, str(agent), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0, str(server), port, 0);
    if (!h) return 0;
    n.openRequest0(env, nullptr, h, str(verb), str(object), static_cast<jint>(kFlags), 0);
    double elapsed = 0;
    if (n.sendRequest0(env, nullptr, h, nullptr, nullptr) == 200) {
        Bytes array{std::vector<jbyte>(static_cast<size_t>(chunk))};
        jbyteArray target = reinterpret_cast<jbyteArray>(&array);
        double start = now();
        for (jint got; (got = n.read0(env, nullptr, h, target, 0, chunk)) > 0;) *bytes += static_cast<size_t>(got);
        elapsed = now() - start;
    }
    n.destroy0(env, nullptr, h);
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    int megabytes = argc > 2 ? std::atoi(argv[2]) : 16;
    if (runs < 1 || megabytes < 1 || megabytes > 16) {
        fprintf(stderr, "usage: wininet_bench [runs [megabytes (1 to 16)]]\n");
        return 2;
    }
    HMODULE dll = LoadLibraryW(WBNATIVE_DLL);
    if (!dll) {
        fprintf(stderr, "cannot load wbnative: %lu\n", GetLastError());
        return 1;
    }
    Natives n{};
    if (!bind(dll, n.init0, "init0", 8) || !bind(dll, n.connect0, "connect0", 40) ||
        !bind(dll, n.openRequest0, "openRequest0", 32) || !bind(dll, n.sendRequest0, "sendRequest0", 24) ||
        !bind(dll, n.read0, "read0", 28) || !bind(dll, n.destroy0, "destroy0", 16))
        return 1;
    JNINativeInterface_ table{};
    table.GetStringLength = getStringLength;
    table.GetStringChars = getStringChars;
    table.ReleaseStringChars = releaseStringChars;
    table.GetArrayLength = getArrayLength;
    table.SetByteArrayRegion = setByteArrayRegion;
    JNIEnv_ envObject{};
    envObject.functions = &table;
    JNIEnv* env = &envObject;
    if (!n.init0(env, nullptr)) return 1;

    wbtest::LoopbackHttpServer server;
    if (!server.ok()) {
        fprintf(stderr, "no loopback server\n");
        return 1;
    }
    const size_t size = static_cast<size_t>(megabytes) << 20;
    const std::wstring path = L"/large/" + std::to_wstring(size);
    int failures = 0;
    printf("WinInet download of %d MiB from 127.0.0.1, medians of %d runs\n", megabytes, runs);
    for (jint chunk : {8192, 65536}) {
        std::vector<double> raw, native;
        for (int i = 0; i < runs + 1; ++i) {  // the first pair warms up
            size_t rawBytes = 0, nativeBytes = 0;
            double r = rawDownload(server.port(), path, static_cast<DWORD>(chunk), &rawBytes);
            double t = nativeDownload(n, env, server.port(), path, chunk, &nativeBytes);
            if (rawBytes != size || nativeBytes != size) {
                fprintf(stderr, "run %d, chunk %d: raw loop read %zu bytes, read0 %zu of %zu\n", i, static_cast<int>(chunk), rawBytes,
                        nativeBytes, size);
                ++failures;
            }
            if (i == 0) continue;
            raw.push_back(r);
            native.push_back(t);
        }
        double rawMedian = median(raw), nativeMedian = median(native);
        printf("  %2d KiB chunks: raw InternetReadFile loop %8.2f ms (%7.1f MB/s)\n", static_cast<int>(chunk / 1024), rawMedian * 1e3,
               size / rawMedian / 1e6);
        printf("                 read0 into a Java array    %8.2f ms (%7.1f MB/s)\n", nativeMedian * 1e3,
               size / nativeMedian / 1e6);
        printf("                 ratio                      %8.2f\n", nativeMedian / rawMedian);
    }
    if (failures) printf("  %d downloads did not arrive whole\n", failures);
    return failures ? 1 : 0;
}
