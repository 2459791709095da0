#include <vector>

#include "output/output.h"

// Far longer than any line Mozaro writes; anything longer is not a descriptor.
static const std::size_t largestDescriptorBytes = 65536;

// A whole decimal number below 2^31: digits only, nothing before or after them.
static bool parseCount(const std::string& text, std::int32_t* value)
{
    std::int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || (n = n * 10 + (c - '0')) > 2147483647)
            return false;
    }
    *value = std::int32_t(n);
    return !text.empty();
}

std::string readMovieDescription(const char* name, MovieDescription* description)
{
    osFile file;
    std::vector<char> bytes(largestDescriptorBytes + 1);
    std::size_t count = 0;
    int error = osOpenForReading(name, &file);
    if (error == 0) {
        error = osReadFull(file, bytes.data(), bytes.size(), osAtPosition, &count);
        osCloseAfterReading(file);
    }
    if (error != 0)
        return std::string("cannot read descriptor ") + name + ": " + osErrorText(error);

    std::string line(bytes.data(), count);
    const std::string host = std::string(descriptorHost) + "  ";
    const std::string notOneLine =
        std::string("descriptor ") + name + " is not one line \"" + host + "PATH WIDTH HEIGHT FRAMES\"";
    if (count > largestDescriptorBytes || line.empty() || line.back() != '\n')
        return notOneLine;
    line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.compare(0, host.size(), host) != 0 || line.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        return notOneLine;
    for (std::int32_t* number : {&description->frames, &description->height, &description->width}) {
        std::size_t blank = line.rfind(' ');
        if (blank < host.size() || !parseCount(line.substr(blank + 1), number))
            return notOneLine;
        line.erase(blank);
    }
    description->path = line.substr(host.size());
    return description->path.empty() ? notOneLine : "";
}
