// Counts the bytes at which two files of one length differ.
//
// usage: countDifferentBytes fileA fileB   (prints: differing bytes, compared bytes)
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: countDifferentBytes fileA fileB\n", stderr);
        return 1;
    }
    std::FILE* a = std::fopen(argv[1], "rb");
    std::FILE* b = std::fopen(argv[2], "rb");
    if (a == nullptr || b == nullptr) {
        std::perror(a == nullptr ? argv[1] : argv[2]);
        return 1;
    }
    std::vector<unsigned char> bufferA(1 << 20), bufferB(1 << 20);
    long long compared = 0, different = 0;
    for (;;) {
        std::size_t gotA = std::fread(bufferA.data(), 1, bufferA.size(), a);
        std::size_t gotB = std::fread(bufferB.data(), 1, bufferB.size(), b);
        if (gotA != gotB) {
            std::fputs("countDifferentBytes: the files differ in length\n", stderr);
            return 1;
        }
        if (gotA == 0)
            break;
        for (std::size_t k = 0; k < gotA; k++)
            different += bufferA[k] != bufferB[k];
        compared += (long long)gotA;
    }
    std::printf("%lld %lld\n", different, compared);
    return 0;
}
