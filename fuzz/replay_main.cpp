// Runs a fuzz target over saved inputs without libFuzzer, so every test run replays the committed
// corpus through the same checks. Arguments: files, or folders whose files are all replayed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional, as libFuzzer has it: a target without set-up leaves it undefined.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& e : std::filesystem::directory_iterator(argv[i], ec)) {
                if (e.is_regular_file(ec)) {
                    // Absolute: a target may change the current folder (the locator does).
                    files.push_back(std::filesystem::absolute(e.path()));
                }
            }
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", argv[i], ec.message().c_str());
                return 1;
            }
        } else {
            files.push_back(std::filesystem::absolute(argv[i]));
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        if (!Replay(f)) {
            return 1;
        }
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
