// A plain main() for a fuzz target: runs every file named on the command line, and every file under
// every folder named there, through LLVMFuzzerTestOneInput once. Built by any compiler, so the corpus
// and every past crasher are replayed on every build; a broken invariant aborts the run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsUnder(const std::filesystem::path& path)
{
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(path)) {
        for (const auto& item : std::filesystem::recursive_directory_iterator(path)) {
            if (item.is_regular_file() && item.path().filename().string().front() != '.')
                inputs.push_back(item.path());
        }
    } else if (std::filesystem::is_regular_file(path)) {
        inputs.push_back(path);
    }
    // A fixed order makes a failing run repeat the same way.
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

bool replay(const std::filesystem::path& input)
{
    std::ifstream stream(input, std::ios::binary);
    if (!stream) {
        std::fprintf(stderr, "cannot read %s\n", input.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's length, so that a read past the end is caught by the sanitizers.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    // libFuzzer never passes a null pointer, not even for an empty input.
    static const std::uint8_t nothing = 0;
    LLVMFuzzerTestOneInput(exact.empty() ? &nothing : exact.data(), exact.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t replayed = 0;
    for (int index = 1; index < argc; ++index) {
        // A folder may be empty (no crasher found yet); a path that is not there is a mistake.
        if (!std::filesystem::exists(argv[index])) {
            std::fprintf(stderr, "no such input: %s\n", argv[index]);
            return 1;
        }
        const std::vector<std::filesystem::path> inputs = inputsUnder(argv[index]);
        for (const std::filesystem::path& input : inputs) {
            if (!replay(input))
                return 1;
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
