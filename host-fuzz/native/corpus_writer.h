// The corpus writer's entry point: writes each entry of a target's corpus as
// one file into the folder named on its command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline int writeCorpus(int argc, char** argv, const std::vector<std::vector<uint8_t>>& corpus) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    for (size_t i = 0; i < corpus.size(); ++i) {
        std::string path = std::string(argv[1]) + "/seed-" + std::to_string(i);
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) {
            std::perror(path.c_str());
            return 1;
        }
        bool ok = std::fwrite(corpus[i].data(), 1, corpus[i].size(), f) == corpus[i].size();
        if (std::fclose(f) != 0 || !ok) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
