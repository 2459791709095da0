// Writes a grid of small raw panel movies to merge: each panel a gradient in its own
// colours with a disc that moves across the whole grid, so that a wrong placement, a
// missing row or a swapped channel shows at a glance.
//
// usage: makeSampleMovies ntx nty nx ny nf folder
// Panel (i, j) (row i from the bottom, column j from the left) is written as a<i><j>.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static const int panelColours[10][3] = {
    {235, 90, 70},  {70, 180, 100}, {80, 120, 235}, {235, 200, 70}, {180, 90, 210},
    {70, 200, 210}, {245, 150, 70}, {130, 210, 80}, {215, 80, 140}, {160, 160, 160},
};

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fputs("usage: makeSampleMovies ntx nty nx ny nf folder\n", stderr);
        return 1;
    }
    const int ntx = std::atoi(argv[1]), nty = std::atoi(argv[2]);
    const int nx = std::atoi(argv[3]), ny = std::atoi(argv[4]), nf = std::atoi(argv[5]);
    if (ntx < 1 || ntx > 10 || nty < 1 || nty > 10 || nx < 1 || ny < 1 || nf < 0 || nx > 4096 || ny > 4096) {
        std::fputs("makeSampleMovies: sizes out of range\n", stderr);
        return 1;
    }
    const int width = nx * ntx, height = ny * nty;
    std::vector<unsigned char> frame(std::size_t(3) * nx * ny);
    for (int i = 0; i < nty; i++) {
        for (int j = 0; j < ntx; j++) {
            std::string name = std::string(argv[6]) + "/a" + std::to_string(i) + std::to_string(j);
            std::FILE* file = std::fopen(name.c_str(), "wb");
            if (file == nullptr) {
                std::perror(name.c_str());
                return 1;
            }
            const int panel = i * ntx + j;
            for (int k = 0; k < nf; k++) {
                // The disc travels along a diagonal of the whole picture, once per movie.
                const double t = nf > 1 ? double(k) / (nf - 1) : 0.0;
                const double cx = 0.15 * width + t * 0.7 * width, cy = 0.2 * height + t * 0.6 * height;
                const double radius = 0.18 * (width < height ? width : height);
                for (int y = 0; y < ny; y++) {
                    for (int x = 0; x < nx; x++) {
                        const int gx = j * nx + x, gy = i * ny + y;   // y counts from the bottom
                        unsigned char* p = &frame[std::size_t(3) * (std::size_t(y) * nx + x)];
                        const bool border = x < 2 || y < 2 || x >= nx - 2 || y >= ny - 2;
                        const double dx = gx - cx, dy = gy - cy;
                        if (dx * dx + dy * dy < radius * radius) {
                            p[0] = 250, p[1] = 245, p[2] = 230;
                        } else if (border) {
                            p[0] = p[1] = p[2] = 20;
                        } else {
                            // The panel's own colour, darker at the bottom left, lighter at
                            // the top right, so that the picture's orientation shows too.
                            const int shade = 90 + 165 * (x + y) / (nx + ny);
                            for (int c = 0; c < 3; c++)
                                p[c] = (unsigned char)(panelColours[panel % 10][c] * shade / 255);
                        }
                    }
                }
                if (std::fwrite(frame.data(), 1, frame.size(), file) != frame.size()) {
                    std::perror(name.c_str());
                    return 1;
                }
            }
            if (std::fclose(file) != 0) {
                std::perror(name.c_str());
                return 1;
            }
        }
    }
    return 0;
}
