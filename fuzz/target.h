// Glue between libFuzzer and the harness steps: a failed step or a block the
// library still holds afterwards aborts, which libFuzzer reports as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "harness.h"
#include "platform/testhooks.h"

inline void fuzzCheck(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "zeljbig fuzz: %s: %s\n", what, harness::failure());
        std::abort();
    }
}

// Runs one step and requires every block it allocated to be released.
template <typename Step>
inline void fuzzStep(const char *what, Step step) {
    const long live = zjLiveBlocks();
    fuzzCheck(step(), what);
    fuzzCheck(zjLiveBlocks() == live, "blocks left allocated");
}

// A scratch directory of this process under $TMPDIR, removed at exit.
inline const std::string &fuzzScratchDir() {
    static std::string dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zeljbig-fuzz-XXXXXX";
        fuzzCheck(mkdtemp(&tmpl[0]) != nullptr, "no scratch directory");
        return tmpl;
    }();
    return dir;
}

inline void fuzzRemoveScratchDir() {
    const std::string &dir = fuzzScratchDir();
    for (const char *name : {"/in.jbg", "/src.jbg", "/added.jbg", "/inplace.jbg", "/back.jbg", "/removed.jbg"})
        std::remove((dir + name).c_str());
    rmdir(dir.c_str());
}
