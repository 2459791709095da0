#include <gtest/gtest.h>

#include "output/output.h"

namespace {

// A run of one panel, nBlend 1: its movie is outWidth x outHeight pixels.
RunParameters result(int outWidth, int outHeight, int nf)
{
    return runParametersOf(1, 1, outWidth, outHeight, nf, 1);
}

TEST(DescriptorLine, JoinsDirectoryAndNameWithTheSystemSeparator)
{
    EXPECT_EQ(descriptorLine("/home/ann/movies", "B_a00", result(1024, 768, 300)),
              "localhost  /home/ann/movies/B_a00 1024 768 300\n");
    // The directory is written as the system reports it, so a root gives two separators.
    EXPECT_EQ(descriptorLine("/", "B_a00", result(1, 2, 3)), "localhost  //B_a00 1 2 3\n");
    // A name with a directory part of its own stays unchanged after the separator.
    EXPECT_EQ(descriptorLine("/w", "out/B_dir/a00", runParametersOf(1, 1, 1, 10, 0, 2)), "localhost  /w/out/B_dir/a00 0 5 0\n");
}

TEST(DescriptorLine, AnAbsoluteNameIsThePathAlone)
{
    EXPECT_EQ(descriptorLine("/w", "/data/m", result(8, 4, 2)), "localhost  /data/m 8 4 2\n");
}

TEST(DescriptorLine, KeepsALongDirectoryWhole)
{
    std::string directory = "/" + std::string(300, 'd') + "/" + std::string(300, 'e');
    EXPECT_EQ(descriptorLine(directory, "m", result(8, 4, 2)), "localhost  " + directory + "/m 8 4 2\n");
}

}  // namespace
