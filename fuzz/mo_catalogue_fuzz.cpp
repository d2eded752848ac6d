// links: quorvel_i18n
// The MO catalogue reader on any bytes as a catalogue file, then lookups through the file
// and through the runtime. A reference reader with bounds checks on every read says what the
// bytes hold. Holds: a file with a good header and tables inside it opens, any other is
// refused; an answer is always the translation of an entry whose original equals the msgid;
// a sorted catalogue with every entry inside the file finds every original; a failure is an
// Exception, never a crash or a read outside the file. Plural lookups (the header's rule) and
// the wide lookup run on every probe. Then the input's text pairs written as a well-formed
// catalogue (either byte order) must translate each of them.
#include "framework/Exception.h"
#include "i18n/MoFile.h"
#include "i18n/Translation.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using gnugettext::TGnuGettextInstance;
using gnugettext::TMoFile;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "mo catalogue: %s\n", what);
        std::abort();
    }
}

// What the bytes hold, read with a bounds check on every access.
struct Reference {
    bool HeaderOk = false; // magic known, tables inside the file
    bool EntriesOk = true; // every entry inside the file and zero-terminated
    std::vector<std::string> Originals, Translations; // only when EntriesOk
    std::vector<std::optional<std::string>> RawOriginals, RawTranslations;
};

uint32_t WordAt(std::string_view b, uint64_t at, bool swapped) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return swapped ? __builtin_bswap32(v) : v;
}

std::optional<std::string> EntryAt(std::string_view b, uint64_t table, uint32_t i, bool swapped) {
    const uint64_t at = table + 8ull * i;
    const uint64_t length = WordAt(b, at, swapped);
    const uint64_t offset = WordAt(b, at + 4, swapped);
    if (offset + length + 1 > b.size() || b[offset + length] != '\0') {
        return std::nullopt;
    }
    return std::string(b.substr(offset, length));
}

Reference Read(std::string_view b) {
    Reference r;
    if (b.size() < 28) {
        return r;
    }
    const uint32_t magic = WordAt(b, 0, false);
    if (magic != 0x950412de && magic != 0xde120495) {
        return r;
    }
    const bool swapped = magic == 0xde120495;
    const uint64_t n = WordAt(b, 8, swapped);
    const uint64_t originals = WordAt(b, 12, swapped);
    const uint64_t translations = WordAt(b, 16, swapped);
    if (originals + 8 * n > b.size() || translations + 8 * n > b.size()) {
        return r;
    }
    r.HeaderOk = true;
    for (uint32_t i = 0; i < n; ++i) {
        r.RawOriginals.push_back(EntryAt(b, originals, i, swapped));
        r.RawTranslations.push_back(EntryAt(b, translations, i, swapped));
        r.EntriesOk = r.EntriesOk && r.RawOriginals.back() && r.RawTranslations.back();
    }
    return r;
}

bool Sorted(const std::vector<std::optional<std::string>>& originals) {
    for (std::size_t i = 1; i < originals.size(); ++i) {
        if (!(*originals[i - 1] < *originals[i])) {
            return false;
        }
    }
    return true;
}

std::string AddCr(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += '\r';
        }
        out += text[i];
    }
    return out;
}

struct Place {
    std::string Locale; // the locale directory
    std::string File;   // <locale>/xx/LC_MESSAGES/fz.mo
};

const Place& TheCatalogue() {
    static const Place place = [] {
        const char* shm = "/dev/shm";
        std::string base = (access(shm, W_OK) == 0 ? std::string(shm) : "/tmp") + "/mo-fuzz-XXXXXX";
        Check(mkdtemp(base.data()) != nullptr, "no temporary directory");
        Place p{base + "/locale/", base + "/locale/xx/LC_MESSAGES/fz.mo"};
        mkdir((base + "/locale").c_str(), 0700);
        mkdir((base + "/locale/xx").c_str(), 0700);
        mkdir((base + "/locale/xx/LC_MESSAGES").c_str(), 0700);
        return p;
    }();
    return place;
}

TGnuGettextInstance& Runtime() {
    static TGnuGettextInstance* runtime = [] {
        auto* r = new TGnuGettextInstance(TheCatalogue().Locale);
        r->UseLanguage("xx");
        return r;
    }();
    return *runtime;
}

void WriteCatalogue(std::string_view bytes) {
    Runtime().bindtextdomain("fz", TheCatalogue().Locale); // drops the previous file
    FILE* f = std::fopen(TheCatalogue().File.c_str(), "wb");
    Check(f != nullptr, "cannot write the catalogue");
    Check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), "short write");
    std::fclose(f);
}

// A lookup through the file and the same through the runtime, checked against the reference.
void Probe(const TMoFile& file, const Reference& ref, const std::string& msgid, bool mustFind) {
    std::optional<std::string> answer;
    bool failed = false;
    try {
        if (auto found = file.Find(msgid)) {
            answer = std::string(*found);
        }
    } catch (const Exception&) {
        failed = true;
    }
    if (failed) {
        Check(!ref.EntriesOk, "lookup failed on a catalogue whose entries are all sound");
    } else if (answer) {
        bool matches = false;
        for (std::size_t i = 0; i < ref.RawOriginals.size() && !matches; ++i) {
            matches = ref.RawOriginals[i] == msgid && ref.RawTranslations[i] == *answer;
        }
        Check(matches, "an answer that is no entry's translation");
    } else {
        Check(!mustFind, "an original of a sorted catalogue not found");
    }

    try {
        const std::string viaRuntime = Runtime().dgettextUtf8("fz", msgid);
        if (!failed && msgid.find('\r') == std::string::npos) {
            Check(viaRuntime == AddCr(answer ? *answer : msgid), "runtime answer differs");
        }
    } catch (const Exception&) {
        Check(!ref.EntriesOk || !ref.HeaderOk, "runtime lookup failed on a sound catalogue");
    }

    // The header's plural rule chooses among an entry's forms.
    for (unsigned long n : {0ul, 1ul, 2ul, 5ul, 11ul, 4294967296ul}) {
        try {
            (void)Runtime().dngettextUtf8("fz", msgid, msgid + "s", n);
        } catch (const Exception&) {
            Check(!ref.EntriesOk || !ref.HeaderOk, "plural lookup failed on a sound catalogue");
        }
    }
    try {
        const std::u16string wide(msgid.begin(), msgid.end());
        (void)Runtime().dgettext("fz", wide);
    } catch (const Exception&) {
        // Refused catalogues, and answers that are not UTF-8, fail by design.
    }
}

void AnyBytes(std::string_view bytes) {
    WriteCatalogue(bytes);
    const Reference ref = Read(bytes);
    TMoFile file;
    try {
        file.Open(TheCatalogue().File);
    } catch (const Exception&) {
        Check(!ref.HeaderOk, "a sound header refused");
        try {
            Runtime().dgettextUtf8("fz", "x"); // the runtime reports the same failure
        } catch (const Exception&) {
            return;
        }
        Check(false, "runtime took a refused catalogue");
    }
    Check(ref.HeaderOk, "a broken header accepted");
    const bool mustFind = ref.EntriesOk && Sorted(ref.RawOriginals);
    std::size_t probes = 0;
    for (const auto& original : ref.RawOriginals) {
        if (original && probes++ < 64) {
            Probe(file, ref, *original, mustFind);
            Probe(file, ref, *original + "\x01", false);
        }
    }
    Probe(file, ref, "", false);
    Probe(file, ref, "Unable to open com port", false);
}

void Put(std::string& out, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>(big ? v >> (24 - 8 * i) : v >> (8 * i));
    }
}

// The input's texts as msgid/msgstr pairs, written as a catalogue the way msgfmt does.
void WellFormed(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool big = in.ConsumeBool();
    std::map<std::string, std::string> pairs;
    while (in.remaining_bytes() > 0 && pairs.size() < 200) {
        std::string id = in.ConsumeRandomLengthString(40);
        std::string str = in.ConsumeRandomLengthString(40);
        id.erase(std::remove(id.begin(), id.end(), '\0'), id.end());
        str.erase(std::remove(str.begin(), str.end(), '\0'), str.end());
        pairs[id] = str;
    }
    const uint32_t n = static_cast<uint32_t>(pairs.size());
    const uint32_t originals = 28, translations = 28 + 8 * n;
    std::string head, strings;
    uint32_t at = 28 + 16 * n;
    std::string origTable, transTable;
    for (const auto& [id, str] : pairs) {
        Put(origTable, static_cast<uint32_t>(id.size()), big);
        Put(origTable, at, big);
        strings += id + '\0';
        at += static_cast<uint32_t>(id.size() + 1);
    }
    for (const auto& [id, str] : pairs) {
        Put(transTable, static_cast<uint32_t>(str.size()), big);
        Put(transTable, at, big);
        strings += str + '\0';
        at += static_cast<uint32_t>(str.size() + 1);
    }
    for (uint32_t v : {0x950412deu, 0u, n, originals, translations, 0u, 0u}) {
        Put(head, v, big);
    }
    const std::string bytes = head + origTable + transTable + strings;
    WriteCatalogue(bytes);
    TMoFile file;
    file.Open(TheCatalogue().File);
    for (const auto& [id, str] : pairs) {
        const auto found = file.Find(id);
        Check(found && *found == str, "a well-formed catalogue misses an entry");
        const auto absent = file.Find(id + "\x01");
        Check(!absent || pairs.count(id + "\x01"), "an absent msgid found");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    AnyBytes({reinterpret_cast<const char*>(data), size});
    WellFormed(data, size);
    return 0;
}
