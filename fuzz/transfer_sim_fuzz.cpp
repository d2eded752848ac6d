// links: quorvel_transfersim
// The whole transfer on a virtual clock with the fault schedule taken from the input: which
// frames are lost or get a bit flipped, which replies are lost, late (up to 3 s), refused,
// turned into an unknown code or flipped, duplicated or made up, and when stray replies come.
// Holds: the completion only with the board holding exactly the image, unless an answer too
// many and one too few cancelled in the count, or two bit flips parted the keys and joined them
// again and left stray bytes outside the image (limits of the protocol); a bounded number of
// frames per block, an end within a bounded virtual time.
#include "tools/transfersim/TransferSim.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    transfersim::BytesPlan plan({data, size});
    const transfersim::RunResult r = transfersim::Run(plan, true);
    if (!r.Ok && !r.CountCanCancel && !r.KeysCanRejoin) {
        std::fprintf(stderr, "%s\n", plan.Describe().c_str());
        for (const std::string& line : r.Schedule)
            std::fprintf(stderr, "  %s\n", line.c_str());
        std::fprintf(stderr, "%s\n", r.Failure.c_str());
        std::abort();
    }
    return 0;
}
