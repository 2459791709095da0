#include "movieModel.h"

Bytes modelMovie(const MovieGrid& g)
{
    const int width = g.nx * g.ntx / g.nBlend;
    const int height = g.ny * g.nty / g.nBlend;
    const std::size_t panelFrame = std::size_t(3) * g.nx * g.ny;
    Bytes movie;
    for (int k = 0; k < g.nf; k++)
        for (int oy = 0; oy < height; oy++)
            for (int ox = 0; ox < width; ox++)
                for (int c = 0; c < 3; c++) {
                    long sum = 0;
                    for (int y = oy * g.nBlend; y < (oy + 1) * g.nBlend; y++)
                        for (int x = ox * g.nBlend; x < (ox + 1) * g.nBlend; x++) {
                            const Bytes& panel = g.panels[std::size_t((y / g.ny) * g.ntx + x / g.nx)];
                            sum += panel[k * panelFrame + std::size_t(3 * ((y % g.ny) * g.nx + x % g.nx) + c)];
                        }
                    movie.push_back((unsigned char)(sum / (long(g.nBlend) * g.nBlend)));
                }
    return movie;
}
