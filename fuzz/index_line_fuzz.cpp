// One index line: parse_index_line against the model of the format, with the
// key buffer exactly as large as the interface promises.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "index_model.h"
#include "zarafa_index_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    std::string line(input); // the caller's line, terminated as C text
    const std::string before = line;
    fuzz::ExactBuffer key(ZARAFA_RECORD_KEY_BUF);

    const int found = parse_index_line(line.data(), key.data());
    FUZZ_CHECK(line == before);

    const fuzz::ModelResult expected = fuzz::model_index_key(input);
    FUZZ_CHECK(found == (expected.status == fuzz::ModelKey::found ? 1 : 0));
    if (found) {
        FUZZ_CHECK(key.terminated());
        FUZZ_CHECK(expected.key == key.data());
    }
    return 0;
}
