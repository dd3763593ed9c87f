// libFuzzer target: qar-client-cli's reply decoder (length prefix and
// CLIResponse) against its contract (client-cli/tests/response_contract.h).
#include <google/protobuf/stubs/logging.h>

#include <cstdio>
#include <cstdlib>

#include "corpus_writer.h"
#include "response_contract.h"

#ifdef QAR_FUZZER
namespace {
void quiet(google::protobuf::LogLevel, const char*, int, const std::string&) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool silenced = (google::protobuf::SetLogHandler(quiet), true);
    (void)silenced;
    std::string broken = responsecontract::check(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "qar-client-cli.response: contract broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
#else
int main(int argc, char** argv) {
    return writeCorpus(argc, argv, responsecontract::corpus());
}
#endif
