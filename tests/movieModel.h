// The plain per-pixel model of a merged and blended movie, shared by the tests and the
// fuzz target of the frame pipeline.
#pragma once

#include <vector>

typedef std::vector<unsigned char> Bytes;

// Grid of panel movies, panel (i, j) at i * ntx + j, each nf frames of nx x ny pixels.
struct MovieGrid {
    int ntx, nty, nx, ny, nf, nBlend;
    std::vector<Bytes> panels;
};

// The merged and blended movie, pixel by pixel: every output byte the truncated mean of its
// block, each block byte fetched from its panel by coordinates.
Bytes modelMovie(const MovieGrid& grid);
