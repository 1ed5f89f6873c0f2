// Build-time tool: reads the readable practice library, checks that it is JSON, compacts it onto
// one line (keeping its key order) and writes a C++ source holding the scrambled bytes.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "entry/library_key.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    std::ifstream in(argv[1], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto doc = nlohmann::ordered_json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        std::fprintf(stdout, "%s is not valid JSON\n", argv[1]);
        return 1;
    }
    std::string compact = doc.dump();
    mixengine::scramble_bytes(reinterpret_cast<unsigned char*>(compact.data()), compact.size(),
                              mixengine::kLibrarySeed, mixengine::kLibraryKey,
                              mixengine::kLibraryKeySize);

    std::ostringstream out;
    out << "// Generated at build time from the practice library; do not edit.\n"
        << "#include <cstddef>\n\nnamespace mixengine {\n"
        << "extern const unsigned char kScrambledLibrary[];\n"
        << "extern const std::size_t kScrambledLibrarySize;\n"
        << "const unsigned char kScrambledLibrary[] = {";
    for (std::size_t i = 0; i < compact.size(); ++i) {
        out << (i % 20 == 0 ? "\n    " : " ") << static_cast<unsigned>(
                                                      static_cast<unsigned char>(compact[i]))
            << ',';
    }
    out << "\n};\nconst std::size_t kScrambledLibrarySize = " << compact.size() << ";\n"
        << "}  // namespace mixengine\n";
    std::ofstream(argv[2], std::ios::binary) << out.str();
    return 0;
}
