#include "framework/ResString.h"

#include <atomic>

namespace {
std::atomic<ResStringLoader> loader{nullptr};
}

const TResStringRec SReadError{"Error reading %s%s%s: %s"};

void SetResStringLoader(ResStringLoader l) { loader.store(l); }

std::string LoadResString(const TResStringRec& rec) {
    if (ResStringLoader l = loader.load())
        return l(rec.Text);
    return rec.Text;
}
