// libFuzzer target: the update service's marker line rules against their
// contract (update-service/tests/marker_contract.h), for the clone's buffer
// of 1024 units and for a small one.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "corpus_writer.h"
#include "marker_contract.h"

#ifdef QAR_FUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t units : {size_t{1024}, size_t{16}}) {
        // Exactly units long: AddressSanitizer sees a write past it.
        std::unique_ptr<char16_t[]> path(new char16_t[units]);
        markercontract::Outcome outcome;
        std::string broken = markercontract::check(data, size, path.get(), units, outcome);
        if (!broken.empty()) {
            std::fprintf(stderr, "qarupdateservice.marker-line (%zu units): contract broken: %s\n", units,
                         broken.c_str());
            std::abort();
        }
    }
    return 0;
}
#else
int main(int argc, char** argv) {
    return writeCorpus(argc, argv, markercontract::corpus());
}
#endif
