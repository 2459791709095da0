#include "movieModel.h"

namespace {

// Where mosaic coordinate `at` falls along one axis: the panel's index and its own
// coordinate, or -1 for a gap.
struct Place {
    int panel, at;
};

Place placeOf(int at, int size, int gap, int overlap)
{
    if (gap > 0)
        return at % (size + gap) < size ? Place{at / (size + gap), at % (size + gap)} : Place{-1, 0};
    if (at < size)
        return Place{0, at};
    const int shown = size - overlap;   // of every panel after the first
    return Place{1 + (at - size) / shown, overlap + (at - size) % shown};
}

}  // namespace

int modelWidth(const MovieGrid& g)
{
    return (g.ntx * g.nx + (g.ntx - 1) * (g.gapX - g.overlapX)) / g.nBlend;
}

int modelHeight(const MovieGrid& g)
{
    return (g.nty * g.ny + (g.nty - 1) * (g.gapY - g.overlapY)) / g.nBlend;
}

Bytes modelMovie(const MovieGrid& g)
{
    const int width = modelWidth(g);
    const int height = modelHeight(g);
    const long area = long(g.nBlend) * g.nBlend;
    const std::size_t panelFrame = std::size_t(3) * g.nx * g.ny;
    Bytes movie;
    for (int k = 0; k < g.nf; k++)
        for (int oy = 0; oy < height; oy++)
            for (int ox = 0; ox < width; ox++)
                for (int c = 0; c < 3; c++) {
                    long sum = g.round ? area / 2 : 0;
                    for (int y = oy * g.nBlend; y < (oy + 1) * g.nBlend; y++)
                        for (int x = ox * g.nBlend; x < (ox + 1) * g.nBlend; x++) {
                            const Place column = placeOf(x, g.nx, g.gapX, g.overlapX);
                            const Place row = placeOf(y, g.ny, g.gapY, g.overlapY);
                            if (column.panel < 0 || row.panel < 0) {
                                sum += g.fill[c];
                                continue;
                            }
                            const Bytes& panel = g.panels[std::size_t(row.panel * g.ntx + column.panel)];
                            sum += panel[k * panelFrame + std::size_t(3 * (row.at * g.nx + column.at) + c)];
                        }
                    movie.push_back((unsigned char)(sum / area));
                }
    return movie;
}
