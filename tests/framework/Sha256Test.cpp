#include "framework/Sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Sha(const std::string& text) {
    Sha256 sha;
    sha.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return sha.HexDigest();
}

} // namespace

// The published examples: the empty text, one block, a message that needs a second block for
// its length alone (448 bits), two whole blocks (896 bits) and a million bytes.
TEST(Sha256, FipsVectors) {
    struct Case {
        std::string Text;
        const char* Digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Sha(c.Text), c.Digest) << c.Text.size() << " bytes";
}

TEST(Sha256, PiecesGiveTheSameDigestAsTheWhole) {
    const std::string text(200, 'q');
    for (size_t cut : {1u, 55u, 56u, 63u, 64u, 65u, 128u, 199u}) {
        Sha256 sha;
        sha.Update(reinterpret_cast<const uint8_t*>(text.data()), cut);
        sha.Update(reinterpret_cast<const uint8_t*>(text.data()) + cut, text.size() - cut);
        EXPECT_EQ(sha.HexDigest(), Sha(text)) << cut;
    }
}
