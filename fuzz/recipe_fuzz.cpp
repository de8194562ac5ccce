// A recipe's text: ParseRecipe either refuses it with a one-line RecipeError
// or gives a recipe whose values are within their bounds; CheckRecipe against
// a fixed image accepts only fields inside their sections that do not
// overlap; and every accepted field's bytes read back as a value that
// encodes to the same bytes.
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "production/Recipe.h"
#include "production/SerialFormat.h"

using namespace qmb::production;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Recipe r;
    try {
        r = ParseRecipe(text, "fuzz.recipe");
    } catch (const RecipeError& e) {
        const std::string why = e.what();
        FUZZ_CHECK(why.rfind("fuzz.recipe:", 0) == 0);
        FUZZ_CHECK(why.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(!r.product.empty() && r.product.size() <= 64);
    FUZZ_CHECK(r.image.empty() != (r.section == 0));
    FUZZ_CHECK(r.image.empty() || r.sections.empty() || r.sections.front() >= 1);
    FUZZ_CHECK(r.lease >= 0 && r.lease <= 100000);
    for (const auto& f : r.serials) {
        FUZZ_CHECK(f.section >= 1 && f.section <= 255 && f.offset >= 0 && f.offset <= 254);
        FUZZ_CHECK(f.format.size >= 1 && f.format.size <= kMaxSerialBytes);
        SerialFormat again;
        FUZZ_CHECK(ParseSerialFormat(f.format.Name(), again, nullptr) && again.Name() == f.format.Name());
    }

    // Sections 1..255 of the fixed image hold (n * 7) % 256 + 1 bytes,
    // byte i being the input's byte at i (wrapping), so fields read what
    // the fuzzer chose.
    std::vector<ImageSection> image;
    for (int n = 1; n <= 255; n += 2) {
        ImageSection s{n, std::vector<uint8_t>(static_cast<size_t>((n * 7) % 255 + 1))};
        for (size_t i = 0; i < s.bytes.size(); ++i)
            s.bytes[i] = size ? data[(i + static_cast<size_t>(n)) % size] : 0;
        image.push_back(s);
    }
    if (!CheckRecipe(r, image).empty()) return 0;
    std::set<std::string> pools;
    for (size_t i = 0; i < r.serials.size(); ++i) {
        const SerialField& f = r.serials[i];
        FUZZ_CHECK(f.section % 2 == 1);
        const auto& bytes = image[static_cast<size_t>(f.section / 2)].bytes;
        FUZZ_CHECK(static_cast<size_t>(f.offset + f.format.size) <= bytes.size());
        FUZZ_CHECK(pools.insert(f.pool).second);
        for (size_t j = 0; j < i; ++j) {
            const SerialField& g = r.serials[j];
            FUZZ_CHECK(g.section != f.section || f.offset >= g.offset + g.format.size ||
                       g.offset >= f.offset + f.format.size);
        }
        const std::vector<uint8_t> field(bytes.begin() + f.offset,
                                         bytes.begin() + f.offset + f.format.size);
        std::string value;
        if (!DecodeSerial(f.format, field, value)) continue;
        std::vector<uint8_t> back;
        FUZZ_CHECK(EncodeSerial(f.format, value, back, nullptr));
        FUZZ_CHECK(back == field);
        FUZZ_CHECK(CanonicalSerial(f.format, value) == value);
    }
    return 0;
}
