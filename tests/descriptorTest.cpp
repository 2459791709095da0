#include <gtest/gtest.h>

#include "output/output.h"

#include "testSupport.h"

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


// The reader the companions and --describe use takes back exactly what the writer wrote, in
// either line end.
TEST(DescriptorReading, ReadsBackWhatTheWriterWrites)
{
    struct Written {
        std::string directory;
        const char* name;
        RunParameters size;
        std::string path;
    };
    const Written cases[] = {
        {"/home/ann/movies", "B_a00", result(1024, 768, 300), "/home/ann/movies/B_a00"},
        {"/", " my  movie ", result(0, 1, 0), "// my  movie "},
        {"/w", "/data/9 9 9", result(2147483647, 2147483647, 2147483647), "/data/9 9 9"},
    };
    const std::string folder = makeScratchFolder();
    for (const Written& c : cases) {
        for (const char* lineEnd : {"\n", "\r\n"}) {
            std::string line = descriptorLine(c.directory, c.name, c.size);
            line.replace(line.size() - 1, 1, lineEnd);
            writeText(folder + "/m.mg", line);
            MovieDescription description{};
            ASSERT_EQ(readMovieDescription((folder + "/m.mg").c_str(), &description), "") << line;
            EXPECT_EQ(description.path, c.path) << line;
            EXPECT_EQ(description.width, c.size.outWidth) << line;
            EXPECT_EQ(description.height, c.size.outHeight) << line;
            EXPECT_EQ(description.frames, c.size.nf) << line;
        }
    }
}

}  // namespace
