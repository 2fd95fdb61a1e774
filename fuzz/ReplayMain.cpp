// Runs a fuzz target over every file of the folders (or files) named on the command line, as
// libFuzzer would run one input, without libFuzzer: for replaying kept inputs under CTest.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

void RunOne(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

// Fails (exit code 1) when a folder or file named is missing or a folder holds no input: a
// replay of nothing would pass whatever the target does.
int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER-OR-FILE...\n", argv[0]);
        return 1;
    }
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path root(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(root, error)) {
            int inFolder = 0;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
                if (!entry.is_regular_file()) continue;
                RunOne(entry.path());
                ++inFolder;
            }
            if (inFolder == 0) {
                std::fprintf(stderr, "%s holds no input\n", argv[i]);
                return 1;
            }
            count += inFolder;
        } else if (std::filesystem::is_regular_file(root, error)) {
            RunOne(root);
            ++count;
        } else {
            std::fprintf(stderr, "%s: no such folder or file\n", argv[i]);
            return 1;
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
