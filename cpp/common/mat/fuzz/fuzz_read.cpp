// The MAT reader as a fuzz target on its own, without Python: libFuzzer
// (clang -fsanitize=fuzzer, TELVAR_LIBFUZZER defined) calls
// LLVMFuzzerTestOneInput; otherwise main() runs it over the files named on
// the command line. Refusing a file is the expected outcome; anything else
// (a crash, a sanitizer report, another exception) is a finding.
#include "common/mat/errors.hpp"
#include "common/mat/reader.hpp"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    telvar::mat::Limits limits;
    limits.max_output_bytes = size_t(256) << 20;
    try {
        telvar::mat::read_bytes(data, size, limits);
    } catch (const telvar::mat::FormatError &) {
    } catch (const std::bad_alloc &) {
    }
    return 0;
}

#ifndef TELVAR_LIBFUZZER
int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("%d files read\n", argc - 1);
    return 0;
}
#endif
