// What differs between the systems whose Mozaro the end-to-end tables run: each test program
// links one description, the native mozaroTests the POSIX one, mozaroWindowsTests (Mozaro.exe
// under Wine) the Windows one. A table shared by both writes what the tool prints with "\n"
// line ends and "<reason>" where the system puts its words for an error.
#pragma once

#include <string>

#include "testSupport.h"

// The system's words for one error; Wine and Windows word some differently, so a reason may
// have two wordings, either of which is right.
struct Reason {
    const char* wordings[2];
};

struct TestSystem {
    const char* name;
    std::string lineEnd;   // of standard output and of the descriptor
    // A folder's path as the tool sees it (Wine shows the Unix root as drive Z:).
    std::string (*toolPath)(const std::string& folder);
    char separator;        // what the descriptor puts between the folder and the movie
    Reason noSuchFolder;   // a movie in a folder that does not exist
    Reason isAFolder;      // a movie or a descriptor that is a folder
    Reason noSuchFile;     // an input that does not exist
    Reason inputIsAFolder; // an input that is a folder
    // The longest folder a test may make for a movie: a Windows program unaware of long
    // paths stops at 260 bytes for the whole path.
    std::size_t longestFolder;
};

// The system of this test program.
const TestSystem& testSystem();

// Which systems a row of a shared table is for.
enum Systems { bothSystems, posixOnly, windowsOnly };
bool runsHere(Systems systems);

// `text` as the system prints it: its line ends, and "<reason>" in the wording of `reason`
// that `printed` holds (the first, where it holds none), so that a mismatch shows as a diff.
std::string asPrinted(const std::string& text, const Reason& reason = Reason{}, const std::string& printed = "");

// The descriptor of a movie `movie` made in `folder` from `grid`.
std::string descriptorOf(const std::string& folder, const std::string& movie, const MovieGrid& grid);

// An earlier run's movie and descriptor under `movie` in `folder`, which a run that stops
// must leave as they were.
void writeEarlierMovie(const std::string& folder, const std::string& movie = "B_f0");
