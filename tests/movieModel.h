// The plain per-pixel model of a merged and blended movie, shared by the tests and the
// fuzz target of the frame pipeline.
#pragma once

#include <vector>

typedef std::vector<unsigned char> Bytes;

// Grid of panel movies, panel (i, j) at i * ntx + j (row 0 at the bottom), each nf frames
// of nx x ny pixels; and the wall's seams: gap columns and rows of the fill colour between
// neighbours, or columns and rows neighbours share (the left and lower panel's shown).
struct MovieGrid {
    int ntx, nty, nx, ny, nf, nBlend;
    std::vector<Bytes> panels;
    int gapX = 0, gapY = 0, overlapX = 0, overlapY = 0;
    unsigned char fill[3] = {0, 0, 0};
    bool round = false;   // means rounded to the nearest value, not truncated
};

// The merged movie's width and height in pixels.
int modelWidth(const MovieGrid& grid);
int modelHeight(const MovieGrid& grid);

// The merged and blended movie, pixel by pixel: every output byte the mean of its block,
// each block byte fetched from its panel, or the fill, by coordinates.
Bytes modelMovie(const MovieGrid& grid);
